#pragma once
// Servers and surroundings for the bench-link tests: a temporary prefix with a user.reg, the
// simulated bench server on a free port in a thread, and a scripted server that misbehaves on cue.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board/bench/BenchServer.h"

// A chip that is nothing but storage, with an identification value.
class StorageChip : public board::BenchChip {
  public:
    explicit StorageChip(uint32_t id) { m_registers[0x80000000] = id; }
    uint32_t ReadRegister(uint32_t address) override { return m_registers[address]; }
    void WriteRegister(uint32_t address, uint32_t value) override { m_registers[address] = value; }
    std::map<uint32_t, uint32_t> m_registers;
};

// A fresh $TOLVAR_PREFIX for the test, removed afterwards.
class TempPrefix {
  public:
    TempPrefix();
    ~TempPrefix();
    // Writes user.reg with the given text.
    void WriteUserReg(const std::string& text) const;
    // user.reg with the Talmer key and the given values (name, value).
    void WriteTalmer(const std::vector<std::pair<std::string, std::string>>& values) const;
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
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
