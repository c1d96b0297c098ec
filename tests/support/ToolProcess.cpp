#include "tests/support/ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>

namespace testsupport {
namespace {

constexpr int kToolTimeoutMs = 120000;

// In a forked child: runs the words as a program (a bare name is looked up in PATH).
[[noreturn]] void execWith(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
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

uint64_t NowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// Forks a child with standard output and error on a pipe and standard input on the input file; the
// child runs in dir with TOLVAR_PREFIX (and TOLVAR, the tool's path) set and execs argv. out is the
// pipe's read end.
pid_t Spawn(const std::string& dir, const std::vector<std::string>& argv, int& out,
            const std::string& input = "/dev/null") {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        // A terminal given as input becomes the child's: a session of its own, the terminal
        // controlling it.
        setsid();
        const int inputFd = open(input.c_str(), O_RDWR);
        dup2(inputFd, STDIN_FILENO);
        dup2(pipeEnds[1], STDOUT_FILENO);
        dup2(pipeEnds[1], STDERR_FILENO);
        setenv("TOLVAR_PREFIX", dir.c_str(), 1);
        setenv("TOLVAR", TOLVAR_BINARY, 1);
        unsetenv("TOLVAR_TRACE");
        if (chdir(dir.c_str()) != 0) _exit(126);
        execWith(argv);
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

ToolProcess::ToolProcess(const std::string& prefix, const std::string& arguments) : m_startUs(NowUs()) {
    std::vector<std::string> argv = SplitWords(arguments);
    argv.insert(argv.begin(), TOLVAR_BINARY);
    m_pid = Spawn(prefix, argv, m_out);
}

ToolProcess::ToolProcess(const std::string& prefix, const std::string& arguments,
                         const std::string& inputPath)
    : m_startUs(NowUs()) {
    std::vector<std::string> argv = SplitWords(arguments);
    argv.insert(argv.begin(), TOLVAR_BINARY);
    m_pid = Spawn(prefix, argv, m_out, inputPath);
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
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.out = m_output;
    run.ms = static_cast<uint32_t>((NowUs() - m_startUs) / 1000);
    return run;
}

Program::Program(const std::vector<std::string>& argv) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execWith(argv);
    }
    close(in[0]);
    close(out[1]);
    m_in = in[1];
    m_out = out[0];
}

Program::~Program() {
    Stop(SIGKILL);
}

const std::string& Program::Poll(int ms) {
    if (m_out >= 0 && !ReadSome(m_out, m_output, ms)) {
        close(m_out);
        m_out = -1;
    }
    return m_output;
}

bool Program::EndsWithin(int ms) {
    for (int waited = 0; !m_reaped && waited <= ms; waited += 20) {
        if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
            m_reaped = true;
        } else if (m_out >= 0) {
            Poll(20);
        } else {
            usleep(20000);  // its output has ended, the process not yet
        }
    }
    return m_reaped;
}

int Program::Stop(int signal) {
    if (m_pid <= 0) return -1;
    if (!m_reaped) {
        kill(m_pid, signal);
        waitpid(m_pid, &m_status, 0);
        m_reaped = true;
    }
    // What it wrote before it ended; a pipe that a child of its own keeps open ends the wait.
    for (size_t before = m_output.size() + 1; m_out >= 0 && m_output.size() != before;) {
        before = m_output.size();
        Poll(20);
    }
    if (m_out >= 0) close(m_out);
    m_out = -1;
    if (m_in >= 0) close(m_in);
    m_in = -1;
    return ExitCode(m_status);
}

TimedRun RunShell(const std::string& prefix, const std::string& script, uint32_t limitMs) {
    // A process of its own to finish: the script's children are its own.
    int out = -1;
    const uint64_t start = NowUs();
    const pid_t pid = Spawn(prefix, {"/bin/sh", "-c", script}, out);
    TimedRun run;
    std::string output;
    const uint64_t deadline = start + uint64_t{limitMs} * 1000;
    bool open = out >= 0;
    while (open && NowUs() < deadline) open = ReadSome(out, output, 50);
    if (open) {
        run.hung = true;
        kill(-pid, SIGKILL);  // the script leads its own session: its children go with it
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (out >= 0) close(out);
    run.code = ExitCode(status);
    run.out = output;
    run.ms = static_cast<uint32_t>((NowUs() - start) / 1000);
    return run;
}

TimedRun RunTimed(const std::string& prefix, const std::string& arguments, uint32_t limitMs) {
    ToolProcess tool(prefix, arguments);
    return tool.Finish(limitMs);
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

std::vector<FlatRecord> ReadJsonLines(const std::string& path) {
    static const char* const kFlatten = R"PY(
import json, sys
def flat(path, value, out):
    if isinstance(value, dict):
        for key, item in value.items(): flat(path + [key], item, out)
    elif isinstance(value, list):
        for index, item in enumerate(value): flat(path + [str(index)], item, out)
    elif isinstance(value, str):
        out.append((".".join(path), value.encode("unicode_escape").decode("ascii")))
    else:
        out.append((".".join(path), json.dumps(value)))
lines = open(sys.argv[1], "rb").read().split(b"\n")
if lines.pop():
    lines.append(b"a last line without its line end")
for line in lines:
    try:
        record = json.loads(line.decode("utf-8"))
        out = []
        flat([], record, out) if isinstance(record, dict) else out.append(("error", "not an object"))
    except ValueError as error:
        out = [("error", str(error).encode("unicode_escape").decode("ascii"))]
    for key, value in out: print(key + "\t" + value)
    print()
)PY";
    std::string output;
    std::vector<FlatRecord> records;
    if (RunProgram("/usr/bin/python3", {"-c", kFlatten, path}, output) != 0) return records;
    std::istringstream lines(output);
    FlatRecord record;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) {
            records.push_back(std::move(record));
            record = {};
            continue;
        }
        const size_t tab = line.find('\t');
        record[line.substr(0, tab)] = tab == std::string::npos ? "" : line.substr(tab + 1);
    }
    return records;
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

}  // namespace testsupport
