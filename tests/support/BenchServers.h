#pragma once
// Bench servers for the bench-link tests: the simulated bench server on a free port in a thread
// (over storage chips or a simulated pair), and a scripted server that misbehaves on cue.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board/BoardPair.h"
#include "board/bench/BenchServer.h"

namespace testsupport {

// A chip that is nothing but storage, with an identification value.
class StorageChip : public board::BenchChip {
  public:
    explicit StorageChip(uint32_t id) { m_registers[0x80000000] = id; }
    uint32_t ReadRegister(uint32_t address) override { return m_registers[address]; }
    void WriteRegister(uint32_t address, uint32_t value) override { m_registers[address] = value; }
    std::map<uint32_t, uint32_t> m_registers;
};

// The simulated bench server serving two storage chips in a background thread; points
// $TOLVAR_BENCH_PORT at it.
class ServerThread {
  public:
    explicit ServerThread(std::vector<board::BenchFault> faults = {});
    // Serves the given chips instead of the two storage chips.
    ServerThread(board::BenchChip* sinkChip, board::BenchChip* sourceChip);
    ~ServerThread();
    // Stops serving; the log may be read after this.
    const board::BenchLog& Stop();

    StorageChip sink{0x00010023};
    StorageChip source{0x01010023};

  private:
    void Start();

    board::BenchServer m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A server that answers by script: reply(index, line) gives the bytes to send for the index-th
// line (the handshake is 0), or nothing to close the connection. Points $TOLVAR_BENCH_PORT at it.
class ScriptedServer {
  public:
    using Reply = std::function<std::optional<std::string>(int index, const std::string& line)>;
    explicit ScriptedServer(Reply reply);
    ~ScriptedServer();
    // Lines received so far.
    std::vector<std::string> Lines();

    // The well-behaved answer to a line.
    static std::string Honest(const std::string& line);

  private:
    void Serve();
    bool ServeConnection(int fd);

    Reply m_reply;
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::thread m_thread;
};

// Points $TOLVAR_BENCH_PORT at a port nobody listens on.
void PointAtClosedPort();

// The simulated board pair behind the bench server, served from a thread on a free loopback
// port, with the bench configuration in the prefix's user.reg.
class BenchOverPair {
  public:
    // selectedInterface: the Talmer value "SelectedInterface" ("1" Ethernet, "2" Corvane).
    explicit BenchOverPair(const std::string& prefix, const char* selectedInterface = "1");
    ~BenchOverPair();
    // Stops serving, so the pair may be looked at from the test.
    void Stop() { m_server.Stop(); }

    board::BoardPair pair;

  private:
    board::PairChip m_sink{pair.Sink()};
    board::PairChip m_source{pair.Source()};
    ServerThread m_server{&m_sink, &m_source};
};

}  // namespace testsupport
