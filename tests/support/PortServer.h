#pragma once
// ser2net serving a device on a loopback TCP port, as a board farm runs it: raw TCP or Telnet with
// the serial settings of RFC 2217. The device is opened (and locked) when a client connects.
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/TempDir.h"
#include "tests/support/ToolProcess.h"

namespace testsupport {

// A free TCP port on the loopback address, for a server started next.
uint16_t FreeLoopbackPort();
// A connection to the loopback port, tried for up to two seconds; -1 when none was made.
int ConnectLoopback(uint16_t port);

enum class ServerMode { Raw, Rfc2217 };

// The configuration the README gives: no wait for more characters before sending, no Nagle delay.
std::string PortServerConfig(const std::string& device, uint16_t port, ServerMode mode);

class PortServer {
  public:
    PortServer(const TempDir& dir, const std::string& device, ServerMode mode = ServerMode::Raw);
    ~PortServer();
    PortServer(const PortServer&) = delete;
    PortServer& operator=(const PortServer&) = delete;

    // Started again on the same port after Stop; true once it listens.
    bool Start();
    // Ends the server (SIGTERM: it closes its connections and its device).
    void Stop(int signal = SIGTERM);
    // True once the server listens on its port (within two seconds of its start).
    bool Listening() const { return m_listening; }
    // "socket://127.0.0.1:PORT" or "rfc2217://127.0.0.1:PORT".
    std::string Url() const;
    uint16_t Port() const { return m_port; }

    // A client's connection; false when the server did not take it.
    bool Connect();
    // True when the server ended the client's connection within ms (it could not open the device).
    bool DropsTheClientWithin(int ms);
    Program& Server() { return *m_server; }

  private:
    std::string m_config;
    ServerMode m_mode;
    uint16_t m_port;
    std::unique_ptr<Program> m_server;
    bool m_listening = false;
    int m_client = -1;
};

}  // namespace testsupport
