#pragma once
// The bench server over the simulated pair: register reads and writes of either chip served over
// TCP on the loopback host, in the protocol of docs/bench-protocol.md.
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/Chip.h"

namespace board {

// A chip as the bench server reaches it.
class BenchChip {
  public:
    virtual ~BenchChip() = default;
    virtual uint32_t ReadRegister(uint32_t address) = 0;
    virtual void WriteRegister(uint32_t address, uint32_t value) = 0;
};

// A chip of the simulated pair, reached at every address as the bench server reaches it.
class PairChip final : public BenchChip {
  public:
    explicit PairChip(Chip& chip) : m_chip(chip) {}
    uint32_t ReadRegister(uint32_t address) override { return m_chip.ReadRegister(address); }
    void WriteRegister(uint32_t address, uint32_t value) override { m_chip.WriteRegister(address, value); }

  private:
    Chip& m_chip;
};

enum class BenchFaultKind {
    Create,
    GetInterface,
    Query,
    Uart,
    Ethernet,
    Corvane,
    Read,
    Write,
    Silent,
    Hangup,
    Garbage
};

// From the fromCall-th call of its kind on, that call fails (counted over the server's life).
struct BenchFault {
    BenchFaultKind kind;
    uint32_t fromCall = 1;
};

// "KIND" or "KIND@N" as --bench-fault takes it.
std::optional<BenchFault> ParseBenchFault(const std::string& text);

// The bench server's part of the board program's command line.
struct BenchOptions {
    bool enabled = false;
    uint16_t port = 0;  // 0: $TOLVAR_BENCH_PORT, else 47011
    std::vector<BenchFault> faults;
};

// Takes "--bench [PORT]" or "--bench-fault KIND[@N]" (or "--bench=PORT", "--bench-fault=KIND[@N]")
// at argv[index] and moves index to the last
// word it used. False when argv[index] is neither; error is set when it is one but malformed.
bool TakeBenchOption(int argc, const char* const* argv, int& index, BenchOptions& options,
                     std::string& error);

// The port --bench serves when it names none.
uint16_t DefaultBenchPort();

// Usage lines of the two options, for the program's --help.
extern const char* const kBenchOptionsHelp;

// What the server saw, for tests and the board's own report.
struct BenchLog {
    std::vector<std::string> commands;         // command texts, "-" for an absent one
    std::map<std::string, uint32_t> requests;  // requests per verb
};

// One connection's protocol state: a request line in, what to do about it out.
class BenchConversation {
  public:
    enum class Outcome { Answer, Silent, Hangup };

    BenchConversation(BenchChip* sink, BenchChip* source, std::vector<BenchFault>& faults,
                      std::map<BenchFaultKind, uint32_t>& calls, BenchLog& log);

    Outcome Handle(const std::string& line, std::string& answer);

  private:
    enum class Step { Greeting, Greeted, Created, ProductMade, ProductQueried, Connected };

    int32_t Dispatch(const std::string& verb, const std::string& arguments, uint32_t& value);
    int32_t Create(const std::string& arguments);
    int32_t GetInterface(const std::string& arguments, uint32_t& value);
    int32_t Query(const std::string& arguments);
    int32_t Target(const std::string& arguments);
    int32_t Command(const std::string& arguments);
    int32_t Read(const std::string& arguments, uint32_t& value);
    int32_t Write(const std::string& arguments);
    bool Faulted(BenchFaultKind kind);
    BenchChip* Chip(const std::string& target);

    BenchChip* m_sink;
    BenchChip* m_source;
    std::vector<BenchFault>& m_faults;
    std::map<BenchFaultKind, uint32_t>& m_calls;
    BenchLog& m_log;
    Step m_step = Step::Greeting;
};

class BenchServer {
  public:
    BenchServer(BenchChip* sink, BenchChip* source, std::vector<BenchFault> faults = {});
    ~BenchServer();
    BenchServer(const BenchServer&) = delete;
    BenchServer& operator=(const BenchServer&) = delete;

    // Listens on 127.0.0.1 (and ::1 when there is one); port 0 takes a free port. The port, or
    // nothing with ErrorText() telling why.
    std::optional<uint16_t> Listen(uint16_t port);
    const std::string& ErrorText() const { return m_errorText; }

    // For a caller's own poll loop: the server's descriptors are added to fds before the wait,
    // and after it the server serves those of them that are ready.
    void AddPollFds(std::vector<pollfd>& fds) const;
    void ServeReady(const std::vector<pollfd>& fds);

    // Serves whatever is waiting, waiting up to timeoutMs for something to happen.
    void Poll(int timeoutMs);
    // Serves until stop is set.
    void Run(const std::atomic<bool>& stop);

    const BenchLog& Log() const { return m_log; }

  private:
    struct Connection;

    void Accept(int listener);
    bool Serve(Connection& connection);

    BenchChip* m_sink;
    BenchChip* m_source;
    std::vector<BenchFault> m_faults;
    std::map<BenchFaultKind, uint32_t> m_calls;
    BenchLog m_log;
    std::vector<int> m_listeners;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::string m_errorText;
};

}  // namespace board
