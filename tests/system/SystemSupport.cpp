#include "tests/system/SystemSupport.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace systemtest {

namespace {

constexpr int kReadyTimeoutMs = 10000;
constexpr int kToolTimeoutMs = 120000;

[[noreturn]] void execWith(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

std::string readLine(int fd, int timeoutMs) {
    std::string line;
    char c = 0;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) > 0 && read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

// Everything the descriptor gives until it closes or the deadline passes.
std::string readAll(int fd, int timeoutMs) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "system_tests.XXXXXX").string();
    m_path = mkdtemp(pattern.data());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

BoardProcess::BoardProcess(const std::string& prefix, std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    args.insert(args.begin(), {TOLVAR_BOARD_BINARY, "--prefix", prefix});
    m_pid = fork();
    if (m_pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execWith(args);
    }
    close(fds[1]);
    m_out = fds[0];
    m_started = m_pid > 0 && readLine(m_out, kReadyTimeoutMs) == "ready";
}

BoardProcess::~BoardProcess() {
    if (m_pid > 0) Stop();
}

int BoardProcess::Stop() {
    if (m_pid <= 0) return -1;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    close(m_out);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ToolRun RunTolvar(const std::string& prefix, const std::vector<std::string>& args, const std::string& input) {
    ToolRun run;
    int out[2];
    int in[2];
    if (pipe(out) != 0 || pipe(in) != 0) return run;
    std::vector<std::string> argv = {TOLVAR_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("TOLVAR_PREFIX", prefix.c_str(), 1);
        unsetenv("TOLVAR_TRACE");
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        execWith(argv);
    }
    close(in[0]);
    close(out[1]);
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    run.output = readAll(out[0], kToolTimeoutMs);
    close(out[0]);
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited >= 5000) {
            kill(pid, SIGKILL);  // hanging: its output ended but it did not
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace systemtest
