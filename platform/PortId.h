#pragma once
// Which port a run talks through: a numbered com port (its device found through the prefix), a
// device path, or a port server on the network, raw TCP or Telnet with serial settings (RFC 2217).
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

enum class PortKind { Com, Device, RawTcp, Rfc2217 };

struct PortId {
    PortKind kind = PortKind::Com;
    // "com3", "/dev/ttyACM0", "rfc2217://host:4000": what names the port in messages and traces.
    std::string name;
    uint32_t number = 0;  // of a com port
    std::string host;     // of a network port
    uint16_t tcpPort = 0;

    bool IsNetwork() const { return kind == PortKind::RawTcp || kind == PortKind::Rfc2217; }
};

// "com%u" with the number.
PortId ComPort(uint32_t number);

// A device path (it starts with "/") or a network port ("socket://HOST:PORT", "rfc2217://HOST:PORT";
// an IPv6 host in brackets); none for any other text, and for a URL without a host or with a port
// outside 1 to 65535.
std::optional<PortId> PortFromText(const std::string& text);
// True when the text starts like a URL ("scheme://"), whether or not the scheme is known.
bool LooksLikeUrl(const std::string& text);

// The part of the lock names that stands for the port. A com port keeps its name. A device path is
// named after the device it resolves to ("/dev/serial/by-id/usb-X" and "/dev/ttyACM0" both give
// "dev_ttyACM0"), a network port after the address and port it reaches ("tcp_127.0.0.1_4000"), so
// that two names of one device share their locks.
std::string PortLockKey(const PortId& port);

}  // namespace platform
