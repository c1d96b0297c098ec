#pragma once
// The program tolvar-board serving the simulated pair on pseudo-terminals, for tests that go
// through real tty devices.
#include <sys/types.h>

#include <string>
#include <vector>

namespace linktest {

class BoardProcess {
  public:
    // Starts tolvar-board with the arguments and waits until it reports its ports ready.
    explicit BoardProcess(const std::vector<std::string>& arguments);
    ~BoardProcess();
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    bool Ready() const { return m_ready; }
    // What the program printed before it became ready (or failed to).
    const std::string& Output() const { return m_output; }
    // Sends the signal and reaps the process.
    void Stop(int signal);

  private:
    pid_t m_pid = -1;
    int m_outputFd = -1;
    bool m_ready = false;
    std::string m_output;
};

// A forked process that holds a port open until told to exchange on it once and end.
class PortHolder {
  public:
    explicit PortHolder(const std::string& portName);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    // The port opened in the holder (false: it failed to open).
    bool Holding() const { return m_holding; }
    // Has the holder read register 0x80000000 and end; its exit status is the register's bit 24,
    // 2 when the read raised.
    int ReadAndExit();
    void Kill();

  private:
    pid_t m_pid = -1;
    int m_command = -1;
    bool m_holding = false;
};

// Runs the program with the arguments, standard input empty; its exit status (-1 when it did not
// end normally) and what it printed on standard output.
int RunProgram(const std::string& program, const std::vector<std::string>& arguments, std::string& output);

}  // namespace linktest
