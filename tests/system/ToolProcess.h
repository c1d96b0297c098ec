#pragma once
// Tolvar as a process that runs beside the test: started in the prefix directory (so relative image
// names tell the side), watched while it runs, killed if it hangs. Also the images and memory files
// the fault and concurrency tests prepare. Builds on SystemSupport.h.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/system/SystemSupport.h"

namespace systemtest {

struct TimedRun {
    int code = -1;      // exit code as the shell sees it (255 for -1); -1 when killed
    bool hung = false;  // still running at the limit, killed
    std::string out;    // standard output and error
    uint32_t ms = 0;    // wall time
};

// Started in the prefix directory with TOLVAR_PREFIX set; standard input is /dev/null.
class ToolProcess {
  public:
    ToolProcess(const TempDir& prefix, const std::string& arguments);
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

// Runs Tolvar to its end, killed after limitMs.
TimedRun RunTimed(const TempDir& prefix, const std::string& arguments, uint32_t limitMs = 60000);

// Intel HEX of the bytes at address 0: 16-byte data records and the end record.
std::string HexText(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> RandomBytes(size_t size, unsigned seed);
std::string AsText(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);

}  // namespace systemtest
