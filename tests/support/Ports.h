#pragma once
// Port openers for the tool's UART link in process: chip configs, port names wired to the chips of
// an in-process board pair, and devices that pass everything through while they watch.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board/BoardPair.h"
#include "link/uart/CUartLib.h"
#include "platform/ByteDevice.h"

namespace testsupport {

// A chip config of the side with a SPEC applied ("family=ostral,memory=spi-eeprom,size=64k").
board::ChipConfig Chip(board::Side side, const std::string& setting = "");

platform::DeviceOpenResult OpenFailed(platform::OpenFailure failure, const std::string& text);
// What opening a port that names no device gives.
platform::DeviceOpenResult NoSuchDevice();

// Passes everything to the inner device; subclasses watch.
class PassThroughPort : public platform::ByteDevice {
  public:
    explicit PassThroughPort(std::unique_ptr<platform::ByteDevice> inner) : m_inner(std::move(inner)) {}
    bool Write(const uint8_t* data, size_t size) override { return m_inner->Write(data, size); }
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override {
        return m_inner->Read(data, maxBytes, timeoutMs);
    }
    void Flush() override { m_inner->Flush(); }
    std::string ErrorText() const override { return m_inner->ErrorText(); }

  private:
    std::unique_ptr<platform::ByteDevice> m_inner;
};

// Keeps a copy of what the host sent.
class RecordingPort final : public PassThroughPort {
  public:
    RecordingPort(std::unique_ptr<platform::ByteDevice> inner, std::string& sent)
        : PassThroughPort(std::move(inner)), m_sent(sent) {}
    bool Write(const uint8_t* data, size_t size) override {
        m_sent.append(reinterpret_cast<const char*>(data), size);
        return PassThroughPort::Write(data, size);
    }

  private:
    std::string& m_sent;
};

// Opens every port name through the given factory; counts the opens.
class CountingOpener {
  public:
    using Factory = std::function<platform::DeviceOpenResult(const std::string&)>;
    explicit CountingOpener(Factory factory);
    int opens = 0;
    std::string lastName;

  private:
    Factory m_factory;
    ScopedPortOpener m_scope;
};

// Port names wired to the chips of an in-process board pair, as a port opener. A name without
// a chip, or whose chip's UART went away, is a port that cannot be opened.
class BoardPorts {
  public:
    explicit BoardPorts(board::BoardPair& pair, board::DebugPortOptions options = {});

    // Wires the port name to target 0 (sink) or 1 (source).
    void Attach(const std::string& portName, int target) { m_wiring[portName] = target; }
    void Detach(const std::string& portName) { m_wiring.erase(portName); }

    // Every port name opened, in order.
    std::vector<std::string> opened;

  private:
    platform::DeviceOpenResult Open(const std::string& portName);

    board::BoardPair& m_pair;
    board::DebugPortOptions m_options;
    std::map<std::string, int> m_wiring;
    ScopedPortOpener m_scope;
};

// The simulated pair on com ports: the source chip's debug UART on com3, the sink's on com4;
// every other port fails to open as a missing device does. The ports take a real line's time per
// byte (on the current clock), so busy waits see time pass as they would on a board.
class UartOverPair {
  public:
    UartOverPair();

    board::BoardPair pair;
    // A chip whose port is not present fails to open as a missing device does.
    bool sourcePresent = true;
    bool sinkPresent = true;

  private:
    ScopedPortOpener m_opener;
};

}  // namespace testsupport
