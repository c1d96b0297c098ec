#pragma once
// The real programs in child processes: tolvar-board serving a pair on pseudo-terminals in a
// private prefix, and Tolvar run against it with its output and exit code collected.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace systemtest {

// A fresh directory, removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

class BoardProcess {
  public:
    // Starts tolvar-board with the prefix and the arguments and waits for its "ready" line;
    // Started() tells whether it came.
    BoardProcess(const std::string& prefix, std::vector<std::string> args);
    ~BoardProcess();
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    bool Started() const { return m_started; }
    // SIGTERM, then waits: the board saves its images and audit. Returns its exit code.
    int Stop();

  private:
    pid_t m_pid = -1;
    int m_out = -1;
    bool m_started = false;
};

struct ToolRun {
    int exitCode = -1;
    std::string output;
};

// Runs Tolvar with the arguments in the prefix, input on its standard input.
ToolRun RunTolvar(const std::string& prefix, const std::vector<std::string>& args,
                  const std::string& input = "");

}  // namespace systemtest
