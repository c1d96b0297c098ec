#pragma once
// The simulated board pair behind the bench server, served from a thread on a free loopback
// port, with the bench configuration in the prefix's user.reg.
#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "board/bench/BenchServer.h"
#include "board/BoardPair.h"
#include "link/uart/CUartLib.h"
#include "platform/SerialDevice.h"

class BenchOverPair {
  public:
    // selectedInterface: the Talmer value "SelectedInterface" ("1" Ethernet, "2" Corvane).
    BenchOverPair(const std::string& prefix, const char* selectedInterface = "1") {
        std::ofstream(prefix + "/user.reg")
            << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Talmer\\Startup]\n"
            << "\"SelectedInterface\"=\"" << selectedInterface << "\"\n";
        std::optional<uint16_t> port = m_server.Listen(0);
        EXPECT_TRUE(port) << m_server.ErrorText();
        setenv("TOLVAR_BENCH_PORT", std::to_string(port.value_or(1)).c_str(), 1);
        m_thread = std::thread([this] { m_server.Run(m_stop); });
    }
    ~BenchOverPair() {
        Stop();
        unsetenv("TOLVAR_BENCH_PORT");
    }
    // Stops serving, so the pair may be looked at from the test.
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }

    board::BoardPair pair;

  private:
    board::PairChip m_sink{pair.Sink()};
    board::PairChip m_source{pair.Source()};
    board::BenchServer m_server{&m_sink, &m_source};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The simulated pair on com ports: the source chip's debug UART on com3, the sink's on com4;
// every other port fails to open as a missing device does. The ports take a real line's time per
// byte (on the current clock), so busy waits see time pass as they would on a board.
class UartOverPair {
  public:
    UartOverPair()
        : m_opener([this](const std::string& name) {
              platform::DeviceOpenResult result;
              if ((name == "com3" && sourcePresent) || (name == "com4" && sinkPresent)) {
                  result.device = pair.OpenDebugPort(name == "com3" ? 1 : 0, board::DebugPortOptions{115200});
              } else {
                  result.failure = platform::OpenFailure::Open;
                  result.errorText = "No such file or directory\n";
              }
              return result;
          }) {}

    board::BoardPair pair;
    // A chip whose port is not present fails to open as a missing device does.
    bool sourcePresent = true;
    bool sinkPresent = true;

  private:
    ScopedPortOpener m_opener;
};
