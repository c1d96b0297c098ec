#include "tests/link/BoardPorts.h"

#include "tests/link/LinkTestSupport.h"

namespace linktest {

BoardPorts::BoardPorts(board::BoardPair& pair, board::DebugPortOptions options)
    : m_pair(pair), m_options(options), m_scope([this](const std::string& name) { return Open(name); }) {}

platform::DeviceOpenResult BoardPorts::Open(const std::string& portName) {
    opened.push_back(portName);
    const auto wired = m_wiring.find(portName);
    if (wired == m_wiring.end() || m_pair.DebugFirmware(wired->second).Gone()) {
        return OpenFailed(platform::OpenFailure::Open, "No such file or directory\n");
    }
    platform::DeviceOpenResult result;
    result.device = m_pair.OpenDebugPort(wired->second, m_options);
    return result;
}

}  // namespace linktest
