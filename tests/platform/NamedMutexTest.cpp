#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/NamedMutex.h"
#include "platform/Prefix.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::TempPrefix;

// Takes the lock file of a name as any other process does, without this process's records
// (which a forked child would inherit).
bool TakeAsAnotherProcess(const std::string& name) {
    int fd = open((platform::LocksDir() + "/" + name + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// A child process that takes the name, reports through a pipe and then waits to be killed.
class Holder {
  public:
    explicit Holder(const std::string& name) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[0]);
            char held = TakeAsAnotherProcess(name) ? 'y' : 'n';
            if (write(fds[1], &held, 1) != 1) _exit(2);
            for (;;) pause();
        }
        close(fds[1]);
        char held = 0;
        EXPECT_EQ(read(fds[0], &held, 1), 1);
        close(fds[0]);
        m_held = held == 'y';
    }
    ~Holder() { Kill(); }
    bool Held() const { return m_held; }
    void Kill() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

  private:
    pid_t m_pid = -1;
    bool m_held = false;
};

// Whether a fresh process can take the name right now.
bool FreeInAnotherProcess(const std::string& name) {
    Holder probe(name);
    return probe.Held();
}

class NamedMutexTest : public ::testing::Test {
  protected:
    TempPrefix m_prefix;
    platform::VirtualClock m_clock;
    platform::ScopedClock m_scoped{m_clock};
};

TEST_F(NamedMutexTest, TimedWaitOnANameHeldElsewhereTimesOutAndIsFreeOnceTheHolderIsKilled) {
    Holder holder("Eprom");
    ASSERT_TRUE(holder.Held());
    platform::NamedMutex mutex("Eprom");
    uint64_t before = m_clock.NowUs();
    EXPECT_FALSE(mutex.Wait(3000));
    EXPECT_GE(m_clock.NowUs() - before, 3000u * 1000);
    EXPECT_FALSE(mutex.Wait(0));

    holder.Kill();
    EXPECT_TRUE(mutex.Wait(0));
    mutex.Release();
}

TEST_F(NamedMutexTest, RecursiveWithinTheProcessAcrossHandles) {
    platform::NamedMutex first("MutexUart_com3");
    platform::NamedMutex second("MutexUart_com3");
    ASSERT_TRUE(first.Wait(0));
    EXPECT_TRUE(first.Wait(0));
    EXPECT_TRUE(second.Wait(3000));
    EXPECT_FALSE(FreeInAnotherProcess("MutexUart_com3"));

    first.Release();
    second.Release();
    EXPECT_FALSE(FreeInAnotherProcess("MutexUart_com3"));
    first.Release();
    EXPECT_TRUE(FreeInAnotherProcess("MutexUart_com3"));
}

TEST_F(NamedMutexTest, ReleasingANameNotHeldDoesNothing) {
    platform::NamedMutex mutex("__MUTEX_FOR_UART");
    mutex.Release();
    ASSERT_TRUE(mutex.Wait(0));
    mutex.Release();
    mutex.Release();
    EXPECT_TRUE(FreeInAnotherProcess("__MUTEX_FOR_UART"));
    EXPECT_TRUE(mutex.Wait(0));
    EXPECT_FALSE(FreeInAnotherProcess("__MUTEX_FOR_UART"));
    mutex.Release();
}

TEST_F(NamedMutexTest, DifferentNamesAreDifferentLocks) {
    platform::NamedMutex eprom("Eprom");
    ASSERT_TRUE(eprom.Wait(0));
    EXPECT_TRUE(FreeInAnotherProcess("MutexUart_com1"));
    eprom.Release();
}

// A process that takes the name, holds it 5 ms, gives it back and takes it again at once, as a
// run does exchange after exchange, until killed.
// A forked child has its own open lock files: the ones it inherits share their lock with the
// parent, and would let it in while the parent holds the name.
TEST_F(NamedMutexTest, AForkedChildWaitsForTheNameItsParentHolds) {
    platform::NamedMutex mutex("Eprom");
    ASSERT_TRUE(mutex.Wait(0));
    mutex.Release();
    int go[2], told[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(told), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(go[1]);
        char ignored;
        if (read(go[0], &ignored, 1) != 1) _exit(2);
        const char taken = platform::NamedMutex("Eprom").Wait(0) ? 'y' : 'n';
        _exit(write(told[1], &taken, 1) == 1 ? 0 : 2);
    }
    close(go[0]);
    close(told[1]);
    ASSERT_TRUE(mutex.Wait(0));
    ASSERT_EQ(write(go[1], "g", 1), 1);
    char taken = 0;
    EXPECT_EQ(read(told[0], &taken, 1), 1);
    EXPECT_EQ(taken, 'n');
    mutex.Release();
    waitpid(child, nullptr, 0);
    close(go[1]);
    close(told[0]);
}

pid_t StartBusyHolder(const std::string& name) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        static platform::RealClock real;
        platform::InstallClock(&real);
        platform::NamedMutex mutex(name);
        bool reported = false;
        for (;;) {
            const bool held = mutex.Wait(0);
            if (held && !reported) reported = write(fds[1], "y", 1) == 1;
            real.SleepMs(5);
            if (held) mutex.Release();
        }
    }
    close(fds[1]);
    char held = 0;
    EXPECT_EQ(read(fds[0], &held, 1), 1);
    close(fds[0]);
    return pid;
}

TEST_F(NamedMutexTest, ABusyHolderHandsTheLockToAWaiterInsteadOfTakingItBackFirst) {
    platform::RealClock real;
    platform::ScopedClock scoped(real);
    const pid_t holder = StartBusyHolder("__MUTEX_FOR_UART_com3");
    platform::NamedMutex mutex("__MUTEX_FOR_UART_com3");
    const uint32_t start = real.TickMs();
    const bool got = mutex.Wait(500);
    const uint32_t waited = real.TickMs() - start;
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    ASSERT_TRUE(got);
    EXPECT_LT(waited, 100u);
    mutex.Release();
}

TEST_F(NamedMutexTest, UnusableLockDirectoryGivesUpAtOnce) {
    std::string blocked = m_prefix.Dir() + "/file";
    std::FILE* file = std::fopen(blocked.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    setenv("TOLVAR_PREFIX", blocked.c_str(), 1);
    platform::NamedMutex mutex("Eprom");
    uint64_t before = m_clock.NowUs();
    EXPECT_FALSE(mutex.Wait(3000));
    EXPECT_LT(m_clock.NowUs() - before, 1000u);
    setenv("TOLVAR_PREFIX", m_prefix.Dir().c_str(), 1);
}

}  // namespace
