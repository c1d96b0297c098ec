#pragma once
// A port server's TCP connection as a ByteDevice: raw (the bytes as they are) or Telnet with the
// serial settings of RFC 2217 (115200 8N1 set on the server, 0xFF escaped both ways, the server's
// option talk kept out of the data). No Nagle delay: every write leaves at once.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ByteDevice.h"
#include "platform/PortId.h"
#include "platform/SerialDevice.h"

namespace platform {

class NetworkDevice final : public ByteDevice {
  public:
    // Connects (waiting up to the connect limit on the current Clock) and, for RFC 2217, has the
    // server confirm the line settings. A failure's text ends in "\n".
    static DeviceOpenResult Open(const PortId& port);

    ~NetworkDevice() override;
    NetworkDevice(const NetworkDevice&) = delete;
    NetworkDevice& operator=(const NetworkDevice&) = delete;

    bool Write(const uint8_t* data, size_t size) override;
    size_t WrittenBeforeFailure() const override { return m_written; }
    // -1 once the server closed the connection or it failed; ErrorText() says which.
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override;
    void Flush() override;
    std::string ErrorText() const override { return m_errorText; }
    std::string Peer() const override { return m_peer; }

    // The Telnet layer, exposed for tests: decodes bytes received into data (and answers the
    // server's option requests through the socket).
    void Decode(const uint8_t* bytes, size_t size);
    const std::string& Pending() const { return m_pending; }

  private:
    NetworkDevice(int fd, bool telnet, std::string peer)
        : m_fd(fd), m_telnet(telnet), m_peer(std::move(peer)) {}
    bool Negotiate();
    bool SendAll(const uint8_t* data, size_t size);
    // Reads what the socket has (waiting up to timeoutMs for it) into the pending data; false when
    // the connection ended or failed.
    bool Receive(uint32_t timeoutMs);
    void OnOption(uint8_t verb, uint8_t option);
    void OnSubnegotiation();
    void NoteError(int error);

    enum class State { Data, Command, Option, Sub, SubCommand };
    enum Side { Ours = 0, Theirs = 1 };
    enum class Agreed : uint8_t { Off, Asked, On };

    int m_fd;
    bool m_telnet;
    std::string m_peer;
    State m_state = State::Data;
    uint8_t m_verb = 0;
    std::string m_sub;
    Agreed m_options[2][256] = {};
    bool m_comPortRefused = false;
    uint8_t m_settingsConfirmed = 0;  // one bit per line setting the server answered
    std::string m_pending;            // data received and not yet read
    size_t m_written = 0;
    std::string m_errorText;
};

}  // namespace platform
