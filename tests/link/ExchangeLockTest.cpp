// The exchange lock of a port: another instance holding it delays an exchange but never stops it;
// every exchange gives it back, a failed one too; other ports' locks do not delay it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "console/CxException.h"
#include "platform/NamedMutex.h"
#include "platform/Prefix.h"
#include "tests/link/ScriptedDevice.h"
#include "tests/support/Ports.h"
#include "tests/support/UartTest.h"

namespace linktest {
using namespace testsupport;
namespace {

const char kExchangeLock[] = "__MUTEX_FOR_UART_com3";

// Whether another process could take the lock right now. The child goes to the lock file itself:
// it inherits this process's ownership counts, which would make the lock look recursive to it.
bool OtherProcessCanTake(const char* name) {
    const std::string path = platform::LocksDir() + "/" + name + ".lock";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ::_exit(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Another process holding a lock until destroyed.
class OtherHolder {
  public:
    explicit OtherHolder(const char* name) {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(m_release) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(m_release[1]);
            platform::NamedMutex lock(name);
            const char held = lock.Wait(0) ? 'y' : 'n';
            (void)!::write(ready[1], &held, 1);
            char ignored;
            (void)!::read(m_release[0], &ignored, 1);
            ::_exit(0);
        }
        ::close(m_release[0]);
        char held = 0;
        m_holding = ::read(ready[0], &held, 1) == 1 && held == 'y';
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~OtherHolder() {
        ::close(m_release[1]);
        int status = 0;
        if (m_pid > 0) ::waitpid(m_pid, &status, 0);
    }
    bool Holding() const { return m_holding; }

  private:
    pid_t m_pid = -1;
    int m_release[2] = {-1, -1};
    bool m_holding = false;
};

class ExchangeLockTest : public UartTest {
  protected:
    ScriptedDevice device;
    CountingOpener opener{[this](const std::string&) {
        platform::DeviceOpenResult result;
        result.device = std::make_unique<BorrowedDevice>(device);
        return result;
    }};
};

TEST_F(ExchangeLockTest, HeldElsewhereDelaysTheExchangeThreeSecondsThenGoesAhead) {
    CUartLib uart;
    uart.Open("com3", 600);
    OtherHolder other(kExchangeLock);
    ASSERT_TRUE(other.Holding());
    device.answers.push_back({"\r\nReady\r\n"});
    const uint64_t start = clock.NowUs();
    EXPECT_NO_THROW(uart.WriteRegister(0x80000050, 1));
    const uint64_t waitedMs = (clock.NowUs() - start) / 1000;
    EXPECT_GE(waitedMs, 3000u);
    EXPECT_LT(waitedMs, 3100u);
    EXPECT_EQ(device.written.size(), 1u);
}

TEST_F(ExchangeLockTest, ExchangesOnAnotherPortDoNotWait) {
    CUartLib uart;
    uart.Open("com3", 600);
    OtherHolder machineWide("__MUTEX_FOR_UART");
    OtherHolder otherPort("__MUTEX_FOR_UART_com4");
    ASSERT_TRUE(machineWide.Holding() && otherPort.Holding());
    device.answers.push_back({"\r\nReady\r\n"});
    device.answers.push_back({"00000010=00000001\r\nReady\r\n"});
    const uint64_t start = clock.NowUs();
    uart.WriteRegister(0x80000050, 1);
    EXPECT_EQ(uart.ReadRegister(0x10), 1u);
    EXPECT_LT(clock.NowUs() - start, 1000u);
}

// Every way out of an exchange gives the lock back, also where a caller absorbs the failure.
TEST_F(ExchangeLockTest, EveryExchangeReleasesTheLockFailedOnesIncluded) {
    const uint8_t block[128] = {};
    struct Case {
        const char* name;
        std::vector<std::vector<std::string>> answers;
        std::function<void(CUartLib&)> exchange;
    };
    const std::vector<Case> cases = {
        {"read", {{"00000010=00000001\r\nReady\r\n"}}, [](CUartLib& u) { u.ReadRegister(0x10); }},
        {"failed write",
         {{"\r\nError\r\n"}},
         [](CUartLib& u) { EXPECT_THROW(u.WriteRegister(0x10, 2), CxExceptionError); }},
        {"silent read",
         {{""}, {""}},
         [](CUartLib& u) { EXPECT_THROW(u.ReadRegister(0x10), CxExceptionError); }},
        {"invalid read",
         {{"\r\nnonsense\r\nReady\r\n"}},
         [](CUartLib& u) { EXPECT_THROW(u.ReadRegister(0x10), CxExceptionError); }},
        {"failed block burn",
         {{"\r\nError\r\n"}},
         [&block](CUartLib& u) { EXPECT_THROW(u.BurnBlock(block, 128), CxExceptionError); }},
        {"absorbed direct write", {{""}}, [](CUartLib& u) { EXPECT_FALSE(u.WriteDirect(0x10, 2, true)); }},
        {"absorbed mailbox choice", {{""}, {""}}, [](CUartLib& u) { u.PrepareIndirect(1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CUartLib uart;
        uart.Open("com3", 600);
        device.answers.assign(c.answers.begin(), c.answers.end());
        c.exchange(uart);
        EXPECT_TRUE(OtherProcessCanTake(kExchangeLock));
        device.answers.clear();
        device.pending.clear();
    }
}

TEST_F(ExchangeLockTest, OpenPortHoldsItsPortLockUntilClosed) {
    {
        CUartLib uart;
        uart.Open("com3", 600);
        EXPECT_FALSE(OtherProcessCanTake("MutexUart_com3"));
        EXPECT_TRUE(OtherProcessCanTake("MutexUart_com4"));
    }
    EXPECT_TRUE(OtherProcessCanTake("MutexUart_com3"));
}

}  // namespace
}  // namespace linktest
