#pragma once
// The real programs as separate processes: tolvar-board serving its ptys in a fresh prefix, and
// Tolvar runs against it with a hang limit. Images are written as Intel HEX for the tool and as
// raw memory files for the board.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace systemtest {

// A fresh directory, removed with everything in it.
class TempPrefix {
  public:
    TempPrefix();
    ~TempPrefix();
    TempPrefix(const TempPrefix&) = delete;
    TempPrefix& operator=(const TempPrefix&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// tolvar-board with the given options in the prefix; Start waits for its "ready".
class BoardProcess {
  public:
    BoardProcess(const TempPrefix& prefix, std::vector<std::string> options);
    ~BoardProcess();
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;
    // False (with the reason) when it did not report ready within a few seconds.
    bool Start(std::string& error);
    // SIGTERM, then its exit code; the images and the audit are saved after this.
    int Stop();

  private:
    std::string m_prefix;
    std::vector<std::string> m_options;
    pid_t m_pid = -1;
    int m_out = -1;
};

struct ToolRun {
    int code = -1;      // exit code as the shell sees it (255 for -1); -1 when killed
    bool hung = false;  // still running at the limit, killed
    std::string out;    // standard output and error
    uint32_t ms = 0;    // wall time
};

// A Tolvar process started in the prefix directory with TOLVAR_PREFIX set; stdin is /dev/null.
class ToolProcess {
  public:
    ToolProcess(const TempPrefix& prefix, const std::string& arguments);
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;
    pid_t Pid() const { return m_pid; }
    // Output collected so far (reads what is there, waits up to ms for more).
    const std::string& Poll(int ms);
    // Waits for the end, killing the process after limitMs.
    ToolRun Finish(uint32_t limitMs);

  private:
    pid_t m_pid = -1;
    int m_out = -1;
    uint64_t m_startUs = 0;
    std::string m_output;
};

// Runs Tolvar to its end (hang limit 60 s).
ToolRun RunTolvar(const TempPrefix& prefix, const std::string& arguments, uint32_t limitMs = 60000);

// Intel HEX of the bytes at address 0: 16-byte data records and the end record.
std::string HexText(const std::vector<uint8_t>& bytes);
// Pseudo-random bytes.
std::vector<uint8_t> RandomBytes(size_t size, unsigned seed);
void WriteFile(const std::string& path, const std::string& bytes);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);

}  // namespace systemtest
