#include "platform/SerialDevice.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include "platform/Clock.h"
#include "platform/DescriptorWait.h"
#include "platform/PortHolder.h"
#include "platform/SystemError.h"
#include "platform/UucpLock.h"

namespace platform {
namespace {

std::string SystemText(int error) {
    return SystemErrorText(error);
}

DeviceOpenResult Failed(int fd, OpenFailure failure, int error) {
    if (fd >= 0) ::close(fd);
    DeviceOpenResult result;
    result.failure = failure;
    result.errorText = SystemText(error);
    if (error == EACCES) {
        result.errorText +=
            "Serial devices need membership of the dialout group: sudo usermod -aG dialout $USER\n";
    }
    return result;
}

// Raw 8N1 at 115200. Hardware flow control stays as the driver reported it; raw mode drops the
// XON/XOFF start-stop on output, which a stray 0x13 from a noisy line would otherwise trigger.
void MakeRawLine(termios& line) {
    cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    line.c_cflag |= CS8;
    cfsetispeed(&line, B115200);
    cfsetospeed(&line, B115200);
}

// USB adapters otherwise hold back replies for up to 16 ms; drivers that refuse are fine.
void TryLowLatency(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd, TIOCSSERIAL, &serial);
}

// The ports this process holds, released on every way out of it. The kernel closes them when the
// process ends, but a tty keeps the exclusive flag after its last close while the other end of a
// pty stays open, and every later open by an ordinary user then fails with EBUSY. Slots hold
// fd + 1 (0 is free) in lock-free atomics, so that a signal handler may read them.
constexpr size_t kHeldSlots = 16;
std::atomic<int> g_held[kHeldSlots];
std::atomic<pid_t> g_holder{0};  // the process the slots belong to (a forked child's are not its own)

// The signals that end the process by default and may be caught.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGABRT, SIGBUS,
                                  SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM,
                                  SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS};

// Async-signal-safe: atomics, ioctl and close only.
void ReleaseHeldPorts() {
    if (g_holder.load() != ::getpid()) return;
    for (std::atomic<int>& slot : g_held) {
        const int held = slot.exchange(0);
        if (held == 0) continue;
        (void)::ioctl(held - 1, TIOCNXCL);
        ::close(held - 1);
    }
    RemoveHeldLockFiles();
}

void ReleaseAtExit() {
    ReleaseHeldPorts();
}

// The ports are released, then the signal is delivered again with its default action, so that the
// process ends as the signal would have ended it.
void ReleaseOnSignal(int signal) {
    const int saved = errno;
    ReleaseHeldPorts();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
    errno = saved;
}

// Once per process: a handler for each ending signal nobody else handles or ignores.
void InstallRelease() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(ReleaseAtExit);
        for (const int signal : kEndingSignals) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
            struct sigaction release {};
            release.sa_handler = ReleaseOnSignal;
            sigemptyset(&release.sa_mask);
            ::sigaction(signal, &release, nullptr);
        }
    });
}

// False when every slot is taken.
bool Hold(int fd) {
    InstallRelease();
    const pid_t self = ::getpid();
    if (g_holder.exchange(self) != self) {
        // Slots inherited through fork() belong to the parent: forget them, never release them.
        for (std::atomic<int>& slot : g_held) slot.store(0);
    }
    for (std::atomic<int>& slot : g_held) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, fd + 1)) return true;
    }
    return false;
}

// Clears the flag and closes the port, unless that was done already (at the process's end).
void Release(int fd) {
    for (std::atomic<int>& slot : g_held) {
        int expected = fd + 1;
        if (!slot.compare_exchange_strong(expected, 0)) continue;
        (void)::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return;
    }
}

// A failed open after the port was held.
DeviceOpenResult Released(int fd, OpenFailure failure, int error) {
    Release(fd);
    return Failed(-1, failure, error);
}

// The device is held: by an flock (another serial program, another run) or by the exclusive flag.
DeviceOpenResult Busy(int fd, const std::string& path, int error) {
    DeviceOpenResult result = Failed(fd, OpenFailure::Open, error);
    result.busy = true;
    if (const pid_t holder = FlockHolder(path); holder > 0) result.holder = ProcessDescription(holder);
    return result;
}

// Opens and sets up the device; `opened` is its descriptor when nothing failed.
DeviceOpenResult TryOpen(const std::string& path, int& opened) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? Busy(-1, path, errno) : Failed(-1, OpenFailure::Open, errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? Busy(fd, path, errno) : Failed(fd, OpenFailure::Open, errno);
    termios line{};
    if (::tcgetattr(fd, &line) != 0) return Failed(fd, OpenFailure::Mask, errno);
    // Held before the flag is set, so that no way out between the two leaves the flag behind.
    if (!Hold(fd)) return Failed(fd, OpenFailure::Open, EMFILE);
    if (::ioctl(fd, TIOCEXCL) != 0) return Released(fd, OpenFailure::Mask, errno);
    MakeRawLine(line);
    if (::tcsetattr(fd, TCSANOW, &line) != 0) return Released(fd, OpenFailure::State, errno);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &line) != 0) return Released(fd, OpenFailure::TimeOuts, errno);
    ::tcflush(fd, TCIOFLUSH);
    TryLowLatency(fd);
    opened = fd;
    return DeviceOpenResult{};
}

// Another program keeps the device's lock file: a lock held, as a held flock says it.
DeviceOpenResult BusyByLockFile(pid_t holder) {
    DeviceOpenResult result = Failed(-1, OpenFailure::Open, EWOULDBLOCK);
    result.busy = true;
    result.holder = ProcessDescription(holder);
    return result;
}

}  // namespace

void ReleaseHeldPortsNow() {
    ReleaseHeldPorts();
}

DeviceOpenResult SerialDevice::Open(const std::string& path) {
    // The lock files first, as the serial programs take them: a device one of them holds is left
    // alone, not even opened. A device that is not there gets none.
    UucpLock lockFiles;
    const pid_t holder = ::access(path.c_str(), F_OK) == 0 ? lockFiles.Take(path) : 0;
    if (holder > 0) {
        DeviceOpenResult result = BusyByLockFile(holder);
        result.devicePath = path;
        return result;
    }
    int fd = -1;
    DeviceOpenResult result = TryOpen(path, fd);
    if (fd >= 0) result.device.reset(new SerialDevice(fd, std::move(lockFiles)));
    result.devicePath = path;
    return result;
}

SerialDevice::~SerialDevice() {
    Release(m_fd);
}

void SerialDevice::NoteError(int error) {
    m_errorText = SystemText(error);
}

int SerialDevice::WaitFor(short events, uint32_t timeoutMs) {
    int error = 0;
    const int waited = WaitForDescriptor(m_fd, events, timeoutMs, error);
    if (waited < 0) NoteError(error);
    return waited;
}

long SerialDevice::Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) {
    if (maxBytes == 0) return 0;
    // Waiting first costs nothing when bytes are there, and saves a read in the usual case of an
    // answer still on its way.
    const int waited = WaitFor(POLLIN, timeoutMs);
    if (waited <= 0) return waited;
    const ssize_t count = ::read(m_fd, data, maxBytes);
    if (count > 0) return count;
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // Readable yet nothing to read: the line was hung up.
    NoteError(count < 0 ? errno : EIO);
    return -1;
}

bool SerialDevice::Write(const uint8_t* data, size_t size) {
    const int error = WriteWithinLimit(m_fd, data, size, false, m_written);
    if (error != 0) NoteError(error);
    return error == 0;
}

void SerialDevice::Flush() {
    ::tcflush(m_fd, TCIOFLUSH);
}

}  // namespace platform
