#include "tests/support/Ports.h"

#include <gtest/gtest.h>

namespace testsupport {

board::ChipConfig Chip(board::Side side, const std::string& setting) {
    board::ChipConfig config = board::DefaultChipConfig(side);
    std::string error;
    if (!setting.empty() && !board::ParseChipSpec(setting, config, error))
        ADD_FAILURE() << "chip setting '" << setting << "': " << error;
    return config;
}

platform::DeviceOpenResult OpenFailed(platform::OpenFailure failure, const std::string& text) {
    platform::DeviceOpenResult result;
    result.failure = failure;
    result.errorText = text;
    return result;
}

platform::DeviceOpenResult NoSuchDevice() {
    return OpenFailed(platform::OpenFailure::Open, "No such file or directory\n");
}

CountingOpener::CountingOpener(Factory factory)
    : m_factory(std::move(factory)), m_scope([this](const std::string& name) {
          ++opens;
          lastName = name;
          return m_factory(name);
      }) {}

BoardPorts::BoardPorts(board::BoardPair& pair, board::DebugPortOptions options)
    : m_pair(pair), m_options(options), m_scope([this](const std::string& name) { return Open(name); }) {}

platform::DeviceOpenResult BoardPorts::Open(const std::string& portName) {
    opened.push_back(portName);
    const auto wired = m_wiring.find(portName);
    if (wired == m_wiring.end() || m_pair.DebugFirmware(wired->second).Gone()) return NoSuchDevice();
    platform::DeviceOpenResult result;
    result.device = m_pair.OpenDebugPort(wired->second, m_options);
    return result;
}

UartOverPair::UartOverPair()
    : m_opener([this](const std::string& name) {
          if (!(name == "com3" && sourcePresent) && !(name == "com4" && sinkPresent)) return NoSuchDevice();
          platform::DeviceOpenResult result;
          result.device = pair.OpenDebugPort(name == "com3" ? 1 : 0, board::DebugPortOptions{115200});
          return result;
      }) {}

}  // namespace testsupport
