#include "tests/link/BoardProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "console/CxException.h"
#include "link/uart/CUartLib.h"

namespace linktest {
namespace {

constexpr int kReadyWaitMs = 10000;

// Reads what the child writes until the marker or the deadline; true when the marker came.
bool WaitForLine(int fd, const std::string& marker, std::string& output) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyWaitMs);
    while (output.find(marker) == std::string::npos) {
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
        std::vector<char*> argv{const_cast<char*>(TOLVAR_BOARD_PROGRAM)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(TOLVAR_BOARD_PROGRAM, argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    // Kept open while the board runs, so that its later output never meets a closed pipe.
    m_outputFd = pipeEnds[0];
    m_ready = m_pid > 0 && WaitForLine(m_outputFd, "ready", m_output);
}

BoardProcess::~BoardProcess() {
    Stop(SIGTERM);
}

void BoardProcess::Stop(int signal) {
    if (m_pid > 0) {
        ::kill(m_pid, signal);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    if (m_outputFd >= 0) ::close(m_outputFd);
    m_outputFd = -1;
}

int RunProgram(const std::string& program, const std::vector<std::string>& arguments, std::string& output) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[0]);
        const int empty = ::open("/dev/null", O_RDONLY);
        ::dup2(empty, STDIN_FILENO);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    char chunk[512];
    for (ssize_t got; (got = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0;)
        output.append(chunk, size_t(got));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PortHolder::PortHolder(const std::string& portName) {
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
    m_holding = m_pid > 0 && WaitForLine(report[0], "\n", output) && output == "open\n";
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
}

}  // namespace linktest
