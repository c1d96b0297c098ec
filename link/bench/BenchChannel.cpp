#include "link/bench/BenchChannel.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "link/bench/BenchObjects.h"
#include "platform/Clock.h"
#include "platform/Trace.h"

namespace {

constexpr const char* kHandshake = "NORVIK-BENCH 1";

bool IsHexWord(const std::string& text, size_t at) {
    if (text.size() < at + 8) return false;
    return std::all_of(text.begin() + at, text.begin() + at + 8,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

uint32_t HexWord(const std::string& text, size_t at) {
    return static_cast<uint32_t>(std::strtoul(text.substr(at, 8).c_str(), nullptr, 16));
}

// Waits until the socket is ready or the exchange's time is up. Time is read and spent through the
// installed clock, so the wait also ends under a clock that only moves when someone sleeps.
bool WaitReady(int fd, short events, uint32_t startMs, uint32_t timeoutMs) {
    platform::Clock& clock = platform::CurrentClock();
    for (;;) {
        uint32_t elapsed = clock.TickMs() - startMs;
        if (elapsed >= timeoutMs) return false;
        uint32_t sliceMs = std::min<uint32_t>(timeoutMs - elapsed, 10);
        uint64_t before = clock.MicroSeconds();
        pollfd ready{fd, events, 0};
        int result = poll(&ready, 1, static_cast<int>(sliceMs));
        if (result > 0) return true;
        if (result < 0 && errno != EINTR) return false;
        uint64_t spent = clock.MicroSeconds() - before;
        if (spent < uint64_t{sliceMs} * 1000) clock.SleepUs(uint64_t{sliceMs} * 1000 - spent);
    }
}

}  // namespace

std::optional<std::string> EncodeBenchString(const std::optional<std::string>& text) {
    if (!text) return std::string("-");
    if (text->find_first_of("\r\n") != std::string::npos) return std::nullopt;
    return std::to_string(text->size()) + ":" + *text;
}

bool ParseBenchAnswer(const std::string& line, int32_t& status, uint32_t& value) {
    if (line.size() != 17 || line[8] != ' ' || !IsHexWord(line, 0) || !IsHexWord(line, 9)) return false;
    status = static_cast<int32_t>(HexWord(line, 0));
    value = HexWord(line, 9);
    return true;
}

std::optional<uint16_t> BenchPort() {
    const char* text = std::getenv("TOLVAR_BENCH_PORT");
    if (!text) return kBenchDefaultPort;
    char* end = nullptr;
    errno = 0;
    long port = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || port < 1 || port > 65535) return std::nullopt;
    return static_cast<uint16_t>(port);
}

CBenchChannel::~CBenchChannel() {
    Drop();
}

bool CBenchChannel::Open(const std::string& hostName, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostName.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
    bool connected = false;
    for (addrinfo* at = found; at && !connected; at = at->ai_next) {
        connected = ConnectTo(at->ai_addr, at->ai_addrlen, at->ai_family);
    }
    freeaddrinfo(found);
    if (!connected) {
        platform::Trace("bench: no server at " + hostName + " port " + std::to_string(port));
        return false;
    }
    uint32_t startMs = platform::CurrentClock().TickMs();
    std::optional<std::string> answer;
    if (SendLine(kHandshake, startMs)) answer = ReceiveLine(startMs);
    if (answer == kHandshake) return true;
    if (answer) Fail("handshake answered " + *answer);
    Drop();
    return false;
}

bool CBenchChannel::ConnectTo(const void* address, unsigned addressLength, int family) {
    Drop();
    m_fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    int on = 1;  // one short line each way per call: never hold one back
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    uint32_t startMs = platform::CurrentClock().TickMs();
    if (connect(m_fd, static_cast<const sockaddr*>(address), addressLength) == 0) return true;
    int error = errno;
    socklen_t errorLength = sizeof error;
    if (error == EINPROGRESS && WaitReady(m_fd, POLLOUT, startMs, m_timeoutMs) &&
        getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) == 0 && error == 0) {
        return true;
    }
    Drop();
    return false;
}

int32_t CBenchChannel::Call(const std::string& request, uint32_t& value) {
    if (m_fd < 0) return BenchStatus::Unreachable;
    uint32_t startMs = platform::CurrentClock().TickMs();
    int32_t status = BenchStatus::Unreachable;
    if (!NothingUnasked() || !SendLine(request, startMs)) return BenchStatus::Unreachable;
    std::optional<std::string> answer = ReceiveLine(startMs);
    if (!answer) return BenchStatus::Unreachable;
    if (ParseBenchAnswer(*answer, status, value)) return status;
    Fail("not an answer: " + *answer);
    return BenchStatus::Unreachable;
}

bool CBenchChannel::SendLine(const std::string& line, uint32_t startMs) {
    if (platform::TraceEnabled()) platform::Trace("bench> " + line);
    std::string data = line + "\n";
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t count = send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<size_t>(count);
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
            return Fail(std::string("cannot send: ") + std::strerror(errno));
        } else if (!WaitReady(m_fd, POLLOUT, startMs, m_timeoutMs)) {
            return Fail("cannot send within the time-out");
        }
    }
    return true;
}

std::optional<std::string> CBenchChannel::ReceiveLine(uint32_t startMs) {
    for (;;) {
        size_t end = m_received.find('\n');
        if (std::min(end, m_received.size()) >= kBenchMaxLine) {
            Fail("answer longer than " + std::to_string(kBenchMaxLine) + " bytes");
            return std::nullopt;
        }
        if (end != std::string::npos) return TakeLine(end);
        char buffer[kBenchMaxLine];
        ssize_t count = recv(m_fd, buffer, sizeof buffer, 0);
        if (count > 0) {
            m_received.append(buffer, static_cast<size_t>(count));
        } else if (count == 0) {
            Fail("server closed the connection");
            return std::nullopt;
        } else if (errno != EAGAIN && errno != EINTR) {
            Fail(std::string("cannot receive: ") + std::strerror(errno));
            return std::nullopt;
        } else if (!WaitReady(m_fd, POLLIN, startMs, m_timeoutMs)) {
            Fail("no answer within " + std::to_string(m_timeoutMs) + " ms");
            return std::nullopt;
        }
    }
}

// The line up to the LF at end; anything after it came unasked.
std::optional<std::string> CBenchChannel::TakeLine(size_t end) {
    std::string line = m_received.substr(0, end);
    m_received.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (platform::TraceEnabled()) platform::Trace("bench< " + line);
    if (m_received.empty()) return line;
    Fail("more than one answer");
    return std::nullopt;
}

// Bytes the server sent without being asked mean the answers are out of step.
bool CBenchChannel::NothingUnasked() {
    char byte;
    ssize_t count = recv(m_fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return Fail(count == 0 ? "server closed the connection" : "unasked bytes from the server");
}

bool CBenchChannel::Fail(const std::string& why) {
    platform::Trace("bench: " + why + "; the link is down");
    Drop();
    return false;
}

void CBenchChannel::Drop() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_received.clear();
}
