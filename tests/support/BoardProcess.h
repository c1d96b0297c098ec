#pragma once
// The program tolvar-board serving the simulated pair on pseudo-terminals (or as the bench server),
// for tests that go through real tty devices; and a process that holds a port open.
#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class BoardProcess {
  public:
    // Starts tolvar-board with the arguments and waits until it reports its ports ready.
    explicit BoardProcess(const std::vector<std::string>& arguments);
    // The same with "--prefix PREFIX" in front of the arguments.
    BoardProcess(const std::string& prefix, std::vector<std::string> arguments);
    ~BoardProcess();
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    bool Ready() const { return m_ready; }
    bool Started() const { return m_ready; }
    // What the program printed before it became ready (or failed to).
    const std::string& Output() const { return m_output; }
    // Sends the signal and reaps the process (SIGTERM: the board saves its images and audit).
    // Returns its exit code, -1 when it did not end normally.
    int Stop(int signal = SIGTERM);

  private:
    pid_t m_pid = -1;
    int m_outputFd = -1;
    bool m_ready = false;
    int m_exitCode = -1;
    std::string m_output;
};

// True while the device of the port in the prefix carries the tty exclusive flag. A run must clear
// it on every way out: a pty keeps it after the last close, and an ordinary user's next open of
// the port then fails (root is exempt, so this asks the flag itself).
bool PortLeftExclusive(const std::string& prefix, const std::string& portName);

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
    // 2 when the read raised. Here and in Kill, returns once the board cleared the exclusive flag
    // the holder left (at most 1 s).
    int ReadAndExit();
    void Kill();

  private:
    std::string m_device;
    pid_t m_pid = -1;
    int m_command = -1;
    bool m_holding = false;
};

}  // namespace testsupport
