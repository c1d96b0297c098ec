#include "board/PtyPort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/Clock.h"
#include "platform/Prefix.h"

namespace board {
namespace {

constexpr size_t kMaxQueued = 64 * 1024;

std::runtime_error SystemFailure(const char* what) {
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

PtyPort::PtyPort(Firmware& firmware, uint32_t baud) : m_firmware(firmware), m_baud(baud) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) throw SystemFailure("posix_openpt");
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        Close();
        throw SystemFailure("unlockpt");
    }
    char name[PATH_MAX];
    if (ptsname_r(m_master, name, sizeof name) != 0) {
        Close();
        throw SystemFailure("ptsname");
    }
    m_slavePath = name;
    m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        Close();
        throw SystemFailure(name);
    }
    // Raw from the start, so nothing the tool sends is echoed or translated.
    termios settings{};
    tcgetattr(m_slave, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B115200);
    tcsetattr(m_slave, TCSANOW, &settings);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PtyPort::~PtyPort() {
    Close();
}

void PtyPort::Close() {
    if (m_master >= 0) close(m_master);
    if (m_slave >= 0) close(m_slave);
    m_master = m_slave = -1;
    m_in.clear();
    m_out.clear();
}

void PtyPort::OnReadable() {
    if (!Alive()) return;
    uint8_t buffer[512];
    ssize_t n = read(m_master, buffer, sizeof buffer);
    if (n <= 0) return;
    uint64_t now = platform::CurrentClock().MicroSeconds();
    for (ssize_t i = 0; i < n; ++i) {
        m_inDueUs = std::max(now, m_inDueUs) + ByteUs();
        m_in.push_back({m_inDueUs, buffer[i]});
    }
}

void PtyPort::Pump() {
    if (!Alive()) return;
    uint64_t now = platform::CurrentClock().MicroSeconds();
    std::string command;
    uint64_t lastDue = 0;
    while (!m_in.empty() && m_in.front().dueUs <= now) {
        command += static_cast<char>(m_in.front().byte);
        lastDue = m_in.front().dueUs;
        m_in.pop_front();
    }
    if (!command.empty()) {
        std::string answer;
        m_firmware.Receive(reinterpret_cast<const uint8_t*>(command.data()), command.size(), answer);
        if (m_firmware.Gone()) {
            Close();
            return;
        }
        // Answers start when the command's last byte arrived, not when this loop came round.
        // A tool that writes and never reads overruns the line: later answers are lost.
        if (m_out.size() > kMaxQueued) answer.clear();
        for (char c : answer) {
            m_outDueUs = std::max(lastDue, m_outDueUs) + ByteUs();
            m_out.push_back({m_outDueUs, static_cast<uint8_t>(c)});
        }
    }
    std::string due;
    for (const Timed& t : m_out) {
        if (t.dueUs > now) break;
        due += static_cast<char>(t.byte);
    }
    m_blocked = false;
    if (due.empty()) return;
    ssize_t written = write(m_master, due.data(), due.size());
    if (written < 0) {
        m_blocked = errno == EAGAIN;
        return;
    }
    m_out.erase(m_out.begin(), m_out.begin() + written);
    m_blocked = static_cast<size_t>(written) < due.size();
}

void PtyPort::ReleaseAbandonedExclusive() {
    int exclusive = 0;
    if (m_slave < 0 || ioctl(m_slave, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) return;
    if (flock(m_slave, LOCK_EX | LOCK_NB) != 0) return;
    (void)ioctl(m_slave, TIOCNXCL);
    flock(m_slave, LOCK_UN);
}

uint64_t PtyPort::NextDueUs() const {
    uint64_t next = UINT64_MAX;
    if (!m_in.empty()) next = m_in.front().dueUs;
    if (!m_out.empty() && !m_blocked) next = std::min(next, m_out.front().dueUs);
    return next;
}

bool LinkPort(const std::string& prefix, const std::string& port, const std::string& target,
              std::string& error) {
    std::string dir = prefix + "/dosdevices";
    if (!platform::EnsureDirectory(dir)) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    std::string link = dir + "/" + port;
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) {
        error = link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void UnlinkPort(const std::string& prefix, const std::string& port, const std::string& target) {
    std::string link = prefix + "/dosdevices/" + port;
    char pointed[PATH_MAX];
    ssize_t n = readlink(link.c_str(), pointed, sizeof pointed - 1);
    if (n < 0) return;
    pointed[n] = '\0';
    if (target == pointed) unlink(link.c_str());
}

}  // namespace board
