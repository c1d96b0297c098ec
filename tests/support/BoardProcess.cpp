#include "tests/support/BoardProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "console/CxException.h"
#include "link/uart/CUartLib.h"
#include "platform/Prefix.h"

namespace testsupport {
namespace {

constexpr int kReadyWaitMs = 10000;

// True when the text holds the line (a whole line, not a part of one).
bool HasLine(const std::string& text, const std::string& line) {
    return text.rfind(line + "\n", 0) == 0 || text.find("\n" + line + "\n") != std::string::npos;
}

// Reads what the child writes until the line or the deadline; true when the line came.
bool WaitForLine(int fd, const std::string& line, std::string& output) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyWaitMs);
    while (!HasLine(output, line)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, int(left.count())) <= 0) return false;
        char chunk[256];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) return false;
        output.append(chunk, size_t(got));
    }
    return true;
}

}  // namespace

BoardProcess::BoardProcess(const std::vector<std::string>& arguments) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDERR_FILENO);
        ::close(pipeEnds[0]);
        std::vector<char*> argv{const_cast<char*>(TOLVAR_BOARD_BINARY)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(TOLVAR_BOARD_BINARY, argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    // Kept open while the board runs, so that its later output never meets a closed pipe.
    m_outputFd = pipeEnds[0];
    m_ready = m_pid > 0 && WaitForLine(m_outputFd, "ready", m_output);
}

BoardProcess::BoardProcess(const std::string& prefix, std::vector<std::string> arguments)
    : BoardProcess([&] {
          arguments.insert(arguments.begin(), {"--prefix", prefix});
          return arguments;
      }()) {}

BoardProcess::~BoardProcess() {
    Stop(SIGTERM);
}

namespace {

bool DeviceLeftExclusive(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;
    int exclusive = 0;
    const bool held = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(fd);
    return held;
}

// A holder that ends without clearing the flag (killed outright, or by _exit) leaves it to the
// board, which clears it within 20 ms once the port's lock is free.
void WaitUntilReleased(const std::string& path) {
    for (int i = 0; i < 200 && DeviceLeftExclusive(path); ++i) ::usleep(5000);
}

}  // namespace

bool PortLeftExclusive(const std::string& prefix, const std::string& portName) {
    return DeviceLeftExclusive(prefix + "/dosdevices/" + portName);
}

int BoardProcess::Stop(int signal) {
    if (m_pid > 0) {
        ::kill(m_pid, signal);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (m_outputFd >= 0) ::close(m_outputFd);
    m_outputFd = -1;
    return m_exitCode;
}

PortHolder::PortHolder(const std::string& portName) : m_device(platform::ComPortDevicePath(portName)) {
    int report[2], command[2];
    if (::pipe(report) != 0 || ::pipe(command) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(report[0]);
        ::close(command[1]);
        int result = 2;
        try {
            CUartLib port;
            port.Open(portName, 600);
            (void)!::write(report[1], "open\n", 5);
            char go = 0;
            if (::read(command[0], &go, 1) != 1) ::_exit(3);
            result = int((port.ReadRegister(0x80000000) >> 24) & 1);
        } catch (const CxExceptionError&) {
            (void)!::write(report[1], "failed\n", 7);
        }
        ::_exit(result);
    }
    ::close(report[1]);
    ::close(command[0]);
    m_command = command[1];
    std::string output;
    m_holding = m_pid > 0 && WaitForLine(report[0], "open", output) && output == "open\n";
    ::close(report[0]);
}

PortHolder::~PortHolder() {
    Kill();
}

int PortHolder::ReadAndExit() {
    if (m_pid <= 0) return -1;
    (void)!::write(m_command, "g", 1);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    if (m_holding) WaitUntilReleased(m_device);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PortHolder::Kill() {
    if (m_command >= 0) ::close(m_command);
    m_command = -1;
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    if (m_holding) WaitUntilReleased(m_device);
}

}  // namespace testsupport
