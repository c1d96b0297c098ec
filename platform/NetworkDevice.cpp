#include "platform/NetworkDevice.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Clock.h"
#include "platform/DescriptorWait.h"
#include "platform/SystemError.h"

namespace platform {
namespace {

constexpr uint32_t kConnectLimitMs = 3000;
constexpr uint32_t kSettingsLimitMs = 2000;
constexpr size_t kReceiveBytes = 4096;
constexpr size_t kLargestSubnegotiation = 64;

// Telnet (RFC 854) and its options.
constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;
constexpr uint8_t kBinary = 0;
constexpr uint8_t kSuppressGoAhead = 3;
constexpr uint8_t kComPortOption = 44;
// COM-PORT-OPTION commands of the client; the server answers each with the command plus 100.
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kServerOffset = 100;
constexpr uint8_t kParityNone = 1;
constexpr uint8_t kOneStopBit = 1;
constexpr uint32_t kBaudRate = 115200;
constexpr uint8_t kAllSettings = 0x0F;

const char kClosedText[] = "The server closed the connection\n";
// At the start, a port server closes the connection when its device is in use or cannot be opened.
const char kClosedAtOpenText[] =
    "The server closed the connection (a port server does so when its device is in use or cannot be "
    "opened)\n";
const char kRefusedSettingsText[] =
    "The port server refused the serial settings (RFC 2217); if it serves the port as raw TCP, name it "
    "socket://HOST:PORT\n";
const char kNoSettingsText[] =
    "The port server did not confirm the serial settings (RFC 2217) within 2 s; if it serves the port as raw "
    "TCP, name it socket://HOST:PORT\n";

bool Wanted(int side, uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || (side == 0 && option == kComPortOption);
}

DeviceOpenResult Failed(std::string text, const std::string& server) {
    DeviceOpenResult result;
    result.failure = OpenFailure::Open;
    result.errorText = std::move(text);
    result.server = server;
    return result;
}

// "HOST port PORT", the host as given.
std::string ServerName(const PortId& port) {
    return port.host + " port " + std::to_string(port.tcpPort);
}

// A connected, non-blocking socket; -1 with error set when no address took the connection.
int Connect(const PortId& port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int looked = ::getaddrinfo(port.host.c_str(), std::to_string(port.tcpPort).c_str(), &hints, &found);
    if (looked != 0) {
        error = std::string(::gai_strerror(looked)) + "\n";
        return -1;
    }
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    int connected = -1;
    for (const addrinfo* address = found; address != nullptr && connected < 0; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd < 0) {
            error = SystemErrorText(errno);
            continue;
        }
        int failure = ::connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (failure == EINPROGRESS) {
            const uint32_t elapsed = clock.TickMs() - start;
            const int waited = elapsed < kConnectLimitMs
                                   ? WaitForDescriptor(fd, POLLOUT, kConnectLimitMs - elapsed, failure)
                                   : 0;
            socklen_t length = sizeof failure;
            if (waited > 0) {
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
            } else if (waited == 0) {
                failure = ETIMEDOUT;
            }
        }
        if (failure == 0) {
            connected = fd;
        } else {
            error = SystemErrorText(failure);
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    return connected;
}

}  // namespace

DeviceOpenResult NetworkDevice::Open(const PortId& port) {
    std::string error;
    const int fd = Connect(port, error);
    if (fd < 0) return Failed(error, ServerName(port));
    // Every command is one write and waits for its answer: Nagle's wait for an acknowledgement
    // would hold each one back.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    std::unique_ptr<NetworkDevice> device(
        new NetworkDevice(fd, port.kind == PortKind::Rfc2217, "the port server " + ServerName(port)));
    if (device->m_telnet && !device->Negotiate()) {
        const bool closed = device->m_errorText == kClosedText;
        return Failed(closed ? kClosedAtOpenText : device->m_errorText, ServerName(port));
    }
    DeviceOpenResult result;
    result.server = ServerName(port);
    result.device = std::move(device);
    return result;
}

NetworkDevice::~NetworkDevice() {
    ::close(m_fd);
}

// A server that ends the connection shows as a broken pipe or a reset when sending; said as it is.
void NetworkDevice::NoteError(int error) {
    m_errorText = (error == EPIPE || error == ECONNRESET) ? kClosedText : SystemErrorText(error);
}

// Binary both ways and no go-aheads, so that the data passes unchanged; then the line settings,
// once the server agreed to take them, each confirmed by the server.
bool NetworkDevice::Negotiate() {
    const uint8_t offers[] = {kIac, kWill, kBinary,          kIac, kDo, kBinary,
                              kIac, kWill, kSuppressGoAhead, kIac, kDo, kSuppressGoAhead,
                              kIac, kWill, kComPortOption};
    m_options[Ours][kBinary] = m_options[Theirs][kBinary] = Agreed::Asked;
    m_options[Ours][kSuppressGoAhead] = m_options[Theirs][kSuppressGoAhead] = Agreed::Asked;
    m_options[Ours][kComPortOption] = Agreed::Asked;
    if (!SendAll(offers, sizeof offers)) return false;
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    const auto waitUntil = [&](auto done) {
        for (uint32_t elapsed = 0; !done() && !m_comPortRefused; elapsed = clock.TickMs() - start) {
            if (elapsed >= kSettingsLimitMs) {
                m_errorText = kNoSettingsText;
                return false;
            }
            if (!Receive(kSettingsLimitMs - elapsed)) return false;
        }
        if (!m_comPortRefused) return true;
        m_errorText = kRefusedSettingsText;
        return false;
    };
    if (!waitUntil([&] { return m_options[Ours][kComPortOption] == Agreed::On; })) return false;
    const uint8_t b = kBaudRate & 0xFF, b1 = (kBaudRate >> 8) & 0xFF, b2 = (kBaudRate >> 16) & 0xFF;
    const uint8_t settings[] = {
        kIac, kSb, kComPortOption, kSetBaudRate, 0,           b2,   b1,  b, kIac, kSe,  //
        kIac, kSb, kComPortOption, kSetDataSize, 8,           kIac, kSe,                //
        kIac, kSb, kComPortOption, kSetParity,   kParityNone, kIac, kSe,                //
        kIac, kSb, kComPortOption, kSetStopSize, kOneStopBit, kIac, kSe,
    };
    if (!SendAll(settings, sizeof settings)) return false;
    if (!waitUntil([&] { return m_settingsConfirmed == kAllSettings; })) return false;
    // What the board said before the run began is not an answer to it.
    m_pending.clear();
    return true;
}

void NetworkDevice::OnOption(uint8_t verb, uint8_t option) {
    // DO and DONT are about our side, WILL and WONT about the server's.
    const int side = (verb == kDo || verb == kDont) ? Ours : Theirs;
    const bool enable = verb == kDo || verb == kWill;
    Agreed& state = m_options[side][option];
    const uint8_t yes = side == Ours ? kWill : kDo;
    const uint8_t no = side == Ours ? kWont : kDont;
    uint8_t reply = 0;
    if (enable) {
        if (state == Agreed::Off) reply = Wanted(side, option) ? yes : no;
        if (state != Agreed::Off || Wanted(side, option)) state = Agreed::On;
    } else {
        if (side == Ours && option == kComPortOption) m_comPortRefused = true;
        if (state == Agreed::On) reply = no;
        state = Agreed::Off;
    }
    if (reply != 0) {
        const uint8_t answer[] = {kIac, reply, option};
        (void)SendAll(answer, sizeof answer);
    }
}

void NetworkDevice::OnSubnegotiation() {
    if (m_sub.size() < 2 || static_cast<uint8_t>(m_sub[0]) != kComPortOption) return;
    const uint8_t command = static_cast<uint8_t>(m_sub[1]);
    if (command >= kServerOffset + kSetBaudRate && command <= kServerOffset + kSetStopSize)
        m_settingsConfirmed |= static_cast<uint8_t>(1u << (command - kServerOffset - kSetBaudRate));
}

void NetworkDevice::Decode(const uint8_t* bytes, size_t size) {
    if (!m_telnet) {
        m_pending.append(reinterpret_cast<const char*>(bytes), size);
        return;
    }
    for (size_t i = 0; i < size; ++i) {
        const uint8_t byte = bytes[i];
        switch (m_state) {
            case State::Data:
                if (byte == kIac) {
                    m_state = State::Command;
                } else {
                    m_pending += static_cast<char>(byte);
                }
                break;
            case State::Command:
                m_state = State::Data;
                if (byte == kIac) {
                    m_pending += static_cast<char>(byte);
                } else if (byte >= kWill && byte <= kDont) {
                    m_verb = byte;
                    m_state = State::Option;
                } else if (byte == kSb) {
                    m_sub.clear();
                    m_state = State::Sub;
                }
                break;
            case State::Option:
                OnOption(m_verb, byte);
                m_state = State::Data;
                break;
            case State::Sub:
                if (byte == kIac) {
                    m_state = State::SubCommand;
                } else if (m_sub.size() < kLargestSubnegotiation) {
                    m_sub += static_cast<char>(byte);
                }
                break;
            case State::SubCommand:
                if (byte == kSe) {
                    OnSubnegotiation();
                    m_state = State::Data;
                } else if (byte == kIac) {
                    if (m_sub.size() < kLargestSubnegotiation) m_sub += static_cast<char>(byte);
                    m_state = State::Sub;
                } else {
                    m_state = State::Data;
                }
                break;
        }
    }
}

bool NetworkDevice::Receive(uint32_t timeoutMs) {
    int error = 0;
    const int waited = WaitForDescriptor(m_fd, POLLIN, timeoutMs, error);
    if (waited == 0) return true;
    uint8_t bytes[kReceiveBytes];
    const ssize_t count = waited > 0 ? ::recv(m_fd, bytes, sizeof bytes, MSG_DONTWAIT) : -1;
    if (count > 0) {
        Decode(bytes, static_cast<size_t>(count));
        return true;
    }
    if (count == 0) {
        m_errorText = kClosedText;
        return false;
    }
    if (waited > 0 && (errno == EAGAIN || errno == EINTR)) return true;
    NoteError(waited > 0 ? errno : error);
    return false;
}

long NetworkDevice::Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) {
    if (maxBytes == 0) return 0;
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    // Option talk alone is no data: the wait goes on to the deadline.
    for (uint32_t elapsed = 0; m_pending.empty(); elapsed = clock.TickMs() - start) {
        if (elapsed >= timeoutMs) return 0;
        if (!Receive(timeoutMs - elapsed)) return -1;
        if (m_pending.empty() && clock.TickMs() - start >= timeoutMs) return 0;
    }
    const size_t count = std::min(maxBytes, m_pending.size());
    std::copy(m_pending.begin(), m_pending.begin() + static_cast<long>(count), data);
    m_pending.erase(0, count);
    return static_cast<long>(count);
}

bool NetworkDevice::SendAll(const uint8_t* data, size_t size) {
    size_t done = 0;
    const int error = WriteWithinLimit(m_fd, data, size, true, done);
    if (error != 0) NoteError(error);
    return error == 0;
}

bool NetworkDevice::Write(const uint8_t* data, size_t size) {
    m_written = 0;
    if (!m_telnet) {
        const bool sent = SendAll(data, size);
        m_written = sent ? size : 0;
        return sent;
    }
    // 0xFF is doubled so that the server takes it as data; one write all the same.
    std::string escaped;
    escaped.reserve(size + 8);
    for (size_t i = 0; i < size; ++i) {
        escaped += static_cast<char>(data[i]);
        if (data[i] == kIac) escaped += static_cast<char>(kIac);
    }
    const bool sent = SendAll(reinterpret_cast<const uint8_t*>(escaped.data()), escaped.size());
    m_written = sent ? size : 0;
    return sent;
}

void NetworkDevice::Flush() {
    uint8_t bytes[kReceiveBytes];
    ssize_t count = 0;
    while ((count = ::recv(m_fd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0)
        Decode(bytes, static_cast<size_t>(count));
    m_pending.clear();
}

}  // namespace platform
