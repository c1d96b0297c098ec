#include "tests/system/ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace systemtest {
namespace {

uint64_t NowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// Forks a child with standard output and error on a pipe and standard input on /dev/null; the
// child runs in dir with TOLVAR_PREFIX set and execs argv. out is the pipe's read end.
pid_t Spawn(const std::string& dir, const std::vector<std::string>& argv, int& out) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(pipeEnds[1], STDOUT_FILENO);
        dup2(pipeEnds[1], STDERR_FILENO);
        setenv("TOLVAR_PREFIX", dir.c_str(), 1);
        unsetenv("TOLVAR_TRACE");
        if (chdir(dir.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    out = pipeEnds[0];
    return pid;
}

// Appends what the descriptor has within ms; false at its end.
bool ReadSome(int fd, std::string& into, int ms) {
    pollfd poller{fd, POLLIN, 0};
    if (poll(&poller, 1, ms) <= 0) return true;
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    into.append(chunk, static_cast<size_t>(n));
    return true;
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> SplitWords(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

}  // namespace

ToolProcess::ToolProcess(const TempDir& prefix, const std::string& arguments) : m_startUs(NowUs()) {
    std::vector<std::string> argv = SplitWords(arguments);
    argv.insert(argv.begin(), TOLVAR_BINARY);
    m_pid = Spawn(prefix.Path(), argv, m_out);
}

ToolProcess::~ToolProcess() {
    if (m_pid > 0) Finish(0);
}

const std::string& ToolProcess::Poll(int ms) {
    if (m_out >= 0) ReadSome(m_out, m_output, ms);
    return m_output;
}

TimedRun ToolProcess::Finish(uint32_t limitMs) {
    TimedRun run;
    const uint64_t deadline = m_startUs + uint64_t{limitMs} * 1000;
    bool open = m_out >= 0;
    while (open && NowUs() < deadline) open = ReadSome(m_out, m_output, 50);
    if (open) {
        run.hung = true;
        kill(m_pid, SIGKILL);
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    while (m_out >= 0 && ReadSome(m_out, m_output, 0)) {
    }
    if (m_out >= 0) close(m_out);
    m_out = -1;
    m_pid = -1;
    run.code = ExitCode(status);
    run.out = m_output;
    run.ms = static_cast<uint32_t>((NowUs() - m_startUs) / 1000);
    return run;
}

TimedRun RunTimed(const TempDir& prefix, const std::string& arguments, uint32_t limitMs) {
    ToolProcess tool(prefix, arguments);
    return tool.Finish(limitMs);
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char line[64];
    for (size_t at = 0; at < bytes.size(); at += 16) {
        const size_t count = std::min<size_t>(16, bytes.size() - at);
        uint8_t sum = static_cast<uint8_t>(count + (at >> 8) + (at & 0xff));
        std::snprintf(line, sizeof line, ":%02zX%04zX00", count, at & 0xffff);
        text += line;
        for (size_t i = 0; i < count; ++i) {
            std::snprintf(line, sizeof line, "%02X", bytes[at + i]);
            text += line;
            sum = static_cast<uint8_t>(sum + bytes[at + i]);
        }
        std::snprintf(line, sizeof line, "%02X\n", static_cast<uint8_t>(-sum));
        text += line;
    }
    return text + ":00000001FF\n";
}

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
    std::vector<uint8_t> bytes(size);
    std::mt19937 random(seed);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

std::string AsText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace systemtest
