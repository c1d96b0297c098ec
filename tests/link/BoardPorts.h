#pragma once
// Port names wired to the chips of an in-process board pair, as a port opener. A name without
// a chip, or whose chip's UART went away, is a port that cannot be opened.
#include <map>
#include <string>
#include <vector>

#include "board/BoardPair.h"
#include "link/uart/CUartLib.h"

namespace linktest {

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

}  // namespace linktest
