#pragma once
// The tool (or any program) as a process beside the test: run to its end with its output and exit
// code collected, or started in the prefix directory (so relative image names tell the side),
// watched while it runs, killed if it hangs.
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace testsupport {

// Runs the program with the arguments, standard input empty; its exit status (-1 when it did not
// end normally) and what it printed on standard output.
int RunProgram(const std::string& program, const std::vector<std::string>& arguments, std::string& output);

// One line of a JSON Lines file as Python's json module reads it, flattened: "port.name" and
// "words.0" name the values. Strings come as Python's unicode_escape writes them (a backslash
// doubled, a newline as \n, anything not ASCII escaped), other values as JSON (null, 12, true). A
// line that is not a JSON object comes as the one key "error".
using FlatRecord = std::map<std::string, std::string>;
std::vector<FlatRecord> ReadJsonLines(const std::string& path);

struct ToolRun {
    int exitCode = -1;
    std::string output;
};

// Runs Tolvar with the arguments in the prefix, input on its standard input; standard output only.
ToolRun RunTolvar(const std::string& prefix, const std::vector<std::string>& args,
                  const std::string& input = "");

struct TimedRun {
    int code = -1;      // exit code as the shell sees it (255 for -1); -1 when killed
    bool hung = false;  // still running at the limit, killed
    int signal = 0;     // the signal that ended it, 0 when it exited
    std::string out;    // standard output and error
    uint32_t ms = 0;    // wall time
};

// Started in the prefix directory with TOLVAR_PREFIX set; standard input is /dev/null.
class ToolProcess {
  public:
    ToolProcess(const std::string& prefix, const std::string& arguments);
    // Standard input from the file (a pseudo-terminal's path: the run then has a terminal).
    ToolProcess(const std::string& prefix, const std::string& arguments, const std::string& inputPath);
    ToolProcess(const TempDir& prefix, const std::string& arguments)
        : ToolProcess(prefix.Path(), arguments) {}
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;
    pid_t Pid() const { return m_pid; }
    // Output so far, after waiting up to ms for more.
    const std::string& Poll(int ms);
    // Waits for the end; kills the process limitMs after its start.
    TimedRun Finish(uint32_t limitMs);

  private:
    pid_t m_pid = -1;
    int m_out = -1;
    uint64_t m_startUs = 0;
    std::string m_output;
};

// Runs the shell script (sh -c) in the prefix directory with TOLVAR set to the tool's path and
// standard input on /dev/null; killed after limitMs.
TimedRun RunShell(const std::string& prefix, const std::string& script, uint32_t limitMs = 60000);

// Another program beside the tool (a serial terminal, a port server): standard input a pipe kept
// open until it is stopped, standard output and error collected.
class Program {
  public:
    explicit Program(const std::vector<std::string>& argv);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    pid_t Pid() const { return m_pid; }
    // Output so far, after waiting up to ms for more.
    const std::string& Poll(int ms);
    // Has it ended by itself within ms? Its exit code is then Stop's.
    bool EndsWithin(int ms);
    // Sends the signal (unless it ended) and reaps it; its exit code, -1 when a signal ended it.
    int Stop(int signal = SIGTERM);

  private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_status = -1;
    bool m_reaped = false;
    std::string m_output;
};

// Runs Tolvar to its end, killed after limitMs.
TimedRun RunTimed(const std::string& prefix, const std::string& arguments, uint32_t limitMs = 60000);
inline TimedRun RunTimed(const TempDir& prefix, const std::string& arguments, uint32_t limitMs = 60000) {
    return RunTimed(prefix.Path(), arguments, limitMs);
}

}  // namespace testsupport
