#include "platform/PortId.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>

#include "platform/Prefix.h"

namespace platform {
namespace {

constexpr const char kRawScheme[] = "socket://";
constexpr const char kRfc2217Scheme[] = "rfc2217://";

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// "HOST:PORT", "[V6HOST]:PORT"; false when either part is missing or the port is not 1 to 65535.
bool SplitHostAndPort(const std::string& address, std::string& host, uint16_t& port) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size()) return false;
    host = address.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find_first_of(":/[]") != std::string::npos) {
        return false;
    }
    const std::string digits = address.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::strtoul(digits.c_str(), nullptr, 10);
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

std::optional<PortId> NetworkPort(const std::string& text, PortKind kind, size_t schemeLength) {
    PortId port;
    port.kind = kind;
    port.name = text;
    if (!SplitHostAndPort(text.substr(schemeLength), port.host, port.tcpPort)) return std::nullopt;
    return port;
}

std::string Flat(std::string text) {
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

// The numeric address the host name gives first, as a connection would take it; the name itself
// when it does not resolve.
std::string NumericHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return host;
    char text[NI_MAXHOST] = {};
    const int named =
        ::getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    ::freeaddrinfo(found);
    return named == 0 ? std::string(text) : host;
}

}  // namespace

PortId ComPort(uint32_t number) {
    PortId port;
    port.name = "com" + std::to_string(number);
    port.number = number;
    return port;
}

bool LooksLikeUrl(const std::string& text) {
    const size_t marker = text.find("://");
    return marker != std::string::npos && marker > 0 &&
           std::all_of(text.begin(), text.begin() + static_cast<long>(marker),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

std::optional<PortId> PortFromText(const std::string& text) {
    if (StartsWith(text, "/")) {
        PortId port;
        port.kind = PortKind::Device;
        port.name = text;
        return port;
    }
    if (StartsWith(text, kRawScheme)) return NetworkPort(text, PortKind::RawTcp, sizeof kRawScheme - 1);
    if (StartsWith(text, kRfc2217Scheme))
        return NetworkPort(text, PortKind::Rfc2217, sizeof kRfc2217Scheme - 1);
    return std::nullopt;
}

std::string PortLockKey(const PortId& port) {
    switch (port.kind) {
        case PortKind::Device: {
            const std::string device = ResolvedPath(port.name);
            return StartsWith(device, "/dev/") ? "dev" + Flat(device.substr(4)) : "path" + Flat(device);
        }
        case PortKind::RawTcp:
        case PortKind::Rfc2217:
            return "tcp_" + Flat(NumericHost(port.host)) + "_" + std::to_string(port.tcpPort);
        case PortKind::Com:
            break;
    }
    return port.name;
}

}  // namespace platform
