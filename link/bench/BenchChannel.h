#pragma once
// The TCP connection under the bench-server objects: one request line out, one answer line back,
// every exchange bounded in time. Once an exchange fails the channel stays dead, so later calls
// fail at once instead of waiting again.
#include <cstdint>
#include <optional>
#include <string>

inline constexpr size_t kBenchMaxLine = 512;  // bytes, LF included

// A string argument: "-" when absent, else its byte count, a colon and the bytes. Empty when the
// text cannot travel on one line (it holds a CR or LF).
std::optional<std::string> EncodeBenchString(const std::optional<std::string>& text);

// "SSSSSSSS VVVVVVVV": status and value as eight hex digits each.
bool ParseBenchAnswer(const std::string& line, int32_t& status, uint32_t& value);

// The port of $TOLVAR_BENCH_PORT, the default when unset, empty when the value is not a port.
std::optional<uint16_t> BenchPort();

class CBenchChannel {
  public:
    explicit CBenchChannel(uint32_t timeoutMs) : m_timeoutMs(timeoutMs) {}
    ~CBenchChannel();
    CBenchChannel(const CBenchChannel&) = delete;
    CBenchChannel& operator=(const CBenchChannel&) = delete;

    // Connects to the first address of the host that answers and shakes hands.
    bool Open(const std::string& hostName, uint16_t port);

    // One request; the answer's status (BenchStatus::Unreachable when the exchange failed) and value.
    int32_t Call(const std::string& request, uint32_t& value);

  private:
    bool ConnectTo(const void* address, unsigned addressLength, int family);
    bool SendLine(const std::string& line, uint32_t startMs);
    std::optional<std::string> ReceiveLine(uint32_t startMs);
    std::optional<std::string> TakeLine(size_t end);
    bool NothingUnasked();
    // Traces why the link went down and closes it; false.
    bool Fail(const std::string& why);
    void Drop();

    int m_fd = -1;
    uint32_t m_timeoutMs;
    std::string m_received;
};
