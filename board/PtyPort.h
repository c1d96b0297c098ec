#pragma once
// A chip's debug UART served on a pseudo-terminal. The board keeps its own slave descriptor open so
// the tool may close and reopen the port; with a baud rate both directions are paced at 10 bit
// times per byte (8N1) on the current Clock.
#include <cstdint>
#include <deque>
#include <string>

#include "board/Firmware.h"

namespace board {

class PtyPort {
  public:
    // Throws std::runtime_error when no pty can be had.
    PtyPort(Firmware& firmware, uint32_t baud);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    int MasterFd() const { return m_master; }
    // False once the UART went away (fault "gone"): the pty is closed.
    bool Alive() const { return m_master >= 0; }

    // Takes what the tool wrote.
    void OnReadable();
    // Hands due bytes to the firmware and due answers to the tool.
    void Pump();
    // When Pump has something to do next (microseconds on the Clock); UINT64_MAX when idle.
    uint64_t NextDueUs() const;
    // Answers are due but the tool is not reading them.
    bool Blocked() const { return m_blocked; }
    // A serial adapter drops the tty exclusive flag with its last close; a pty keeps it while its
    // master is open, so a tool killed outright (SIGKILL) would leave an ordinary user's next open
    // failing with EBUSY. The flag is cleared when no process holds the port's flock.
    void ReleaseAbandonedExclusive();

  private:
    struct Timed {
        uint64_t dueUs;
        uint8_t byte;
    };
    void Close();
    uint64_t ByteUs() const { return m_baud ? 10'000'000ull / m_baud : 0; }

    Firmware& m_firmware;
    uint32_t m_baud;
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    std::deque<Timed> m_in;
    std::deque<Timed> m_out;
    uint64_t m_inDueUs = 0;
    uint64_t m_outDueUs = 0;
    bool m_blocked = false;
};

// dosdevices/<port> in prefix, pointing to target (replacing what was there).
bool LinkPort(const std::string& prefix, const std::string& port, const std::string& target,
              std::string& error);
// Removes the link when it still points to target.
void UnlinkPort(const std::string& prefix, const std::string& port, const std::string& target);

}  // namespace board
