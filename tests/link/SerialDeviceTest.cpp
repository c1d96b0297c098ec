// The tty byte device over a pseudo-terminal: raw bytes, exclusivity, deadlines, hang-ups.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/SerialDevice.h"
#include "tests/support/Ports.h"
#include "tests/support/UartTest.h"

namespace {

// The controlling side of a pseudo-terminal; the device under test opens its slave path.
class PtyMaster {
  public:
    PtyMaster() {
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0) throw std::runtime_error("no pty");
        m_slave = ::ptsname(m_fd);
    }
    ~PtyMaster() { Close(); }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    const std::string& SlavePath() const { return m_slave; }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::write(m_fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    std::string Receive(size_t count) {
        std::string bytes;
        while (bytes.size() < count) {
            char chunk[256];
            const ssize_t got = ::read(m_fd, chunk, std::min(sizeof chunk, count - bytes.size()));
            if (got <= 0) break;
            bytes.append(chunk, size_t(got));
        }
        return bytes;
    }

  private:
    int m_fd = -1;
    std::string m_slave;
};

std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    return bytes;
}

std::string ReadAll(platform::ByteDevice& device, size_t count) {
    std::string bytes;
    uint8_t chunk[64];
    while (bytes.size() < count) {
        const long got = device.Read(chunk, sizeof chunk, 200);
        if (got <= 0) break;
        bytes.append(reinterpret_cast<const char*>(chunk), size_t(got));
    }
    return bytes;
}

TEST(SerialDeviceTest, BytesPassUnchangedBothWays) {
    PtyMaster master;
    auto opened = platform::SerialDevice::Open(master.SlavePath());
    ASSERT_TRUE(opened.device) << opened.errorText;
    const std::string bytes = AllByteValues();
    master.Send(bytes);
    EXPECT_EQ(ReadAll(*opened.device, bytes.size()), bytes);
    ASSERT_TRUE(opened.device->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    EXPECT_EQ(master.Receive(bytes.size()), bytes);
}

TEST(SerialDeviceTest, ReadTakesAtMostTheCountAndWaitsOnlyUpToItsDeadline) {
    PtyMaster master;
    auto opened = platform::SerialDevice::Open(master.SlavePath());
    ASSERT_TRUE(opened.device);
    master.Send("0123456789");
    uint8_t chunk[16];
    EXPECT_EQ(opened.device->Read(chunk, 4, 2000), 4);
    EXPECT_EQ(ReadAll(*opened.device, 6), "456789");
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(opened.device->Read(chunk, 16, 30), 0);
    const uint32_t elapsed = clock.TickMs() - start;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 2000u);  // a loaded machine may wake the wait late
}

TEST(SerialDeviceTest, AVirtualClockCatchesUpWithTheWait) {
    PtyMaster master;
    auto opened = platform::SerialDevice::Open(master.SlavePath());
    ASSERT_TRUE(opened.device);
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    const uint64_t start = clock.NowUs();
    uint8_t chunk[8];
    EXPECT_EQ(opened.device->Read(chunk, sizeof chunk, 10), 0);
    EXPECT_GE(clock.NowUs() - start, 10'000u);
}

TEST(SerialDeviceTest, SecondOpenOfAHeldDeviceFailsUntilTheFirstCloses) {
    PtyMaster master;
    auto first = platform::SerialDevice::Open(master.SlavePath());
    ASSERT_TRUE(first.device);
    auto second = platform::SerialDevice::Open(master.SlavePath());
    EXPECT_FALSE(second.device);
    EXPECT_EQ(second.failure, platform::OpenFailure::Open);
    // Root passes the exclusive-open flag and meets the lock; everyone else meets the flag.
    EXPECT_TRUE(second.errorText == "Resource temporarily unavailable\n" ||
                second.errorText == "Device or resource busy\n")
        << second.errorText;
    first.device.reset();
    EXPECT_TRUE(platform::SerialDevice::Open(master.SlavePath()).device);
}

TEST(SerialDeviceTest, WhatIsNoTerminalFailsWithTheSystemText) {
    testsupport::TempDir dir;
    const std::string file = dir.Path() + "/plain";
    std::ofstream(file) << "not a tty";
    ASSERT_EQ(::symlink((dir.Path() + "/nowhere").c_str(), (dir.Path() + "/dangling").c_str()), 0);
    const struct {
        std::string path;
        platform::OpenFailure failure;
        const char* text;
    } cases[] = {
        {dir.Path() + "/missing", platform::OpenFailure::Open, "No such file or directory\n"},
        {dir.Path() + "/dangling", platform::OpenFailure::Open, "No such file or directory\n"},
        {dir.Path(), platform::OpenFailure::Open, "Is a directory\n"},
        {file, platform::OpenFailure::Mask, "Inappropriate ioctl for device\n"},
    };
    for (const auto& c : cases) {
        auto opened = platform::SerialDevice::Open(c.path);
        EXPECT_FALSE(opened.device) << c.path;
        EXPECT_EQ(opened.failure, c.failure) << c.path;
        EXPECT_EQ(opened.errorText, c.text) << c.path;
    }
}

TEST(SerialDeviceTest, PermissionDeniedNamesTheGroupToJoin) {
    testsupport::TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    const std::string locked = dir.Path() + "/locked";
    std::ofstream(locked) << "x";
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Root passes every permission check: ask as nobody.
        if (::getuid() == 0 && ::setuid(65534) != 0) ::_exit(2);
        auto opened = platform::SerialDevice::Open(locked);
        const bool expected = !opened.device && opened.failure == platform::OpenFailure::Open &&
                              opened.errorText ==
                                  "Permission denied\nSerial devices need membership of the dialout group: "
                                  "sudo usermod -aG dialout $USER\n";
        ::_exit(expected ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SerialDeviceTest, HungUpLineFailsReadsAndWritesAtOnce) {
    PtyMaster master;
    auto opened = platform::SerialDevice::Open(master.SlavePath());
    ASSERT_TRUE(opened.device);
    master.Close();
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    uint8_t chunk[8];
    EXPECT_EQ(opened.device->Read(chunk, sizeof chunk, 500), -1);
    EXPECT_FALSE(opened.device->ErrorText().empty());
    const uint8_t command[] = {'r', '\n'};
    EXPECT_FALSE(opened.device->Write(command, sizeof command));
    EXPECT_LT(clock.TickMs() - start, 2000u);  // nothing waits out a time-out
}

TEST(SerialDeviceTest, WriteCutShortByAHangUpTellsHowMuchWentOut) {
    PtyMaster master;
    auto opened = platform::SerialDevice::Open(master.SlavePath());
    ASSERT_TRUE(opened.device);
    // Nobody reads: the line's buffer fills, then the far end hangs up in the middle of the write.
    std::thread hangUp([&master] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        master.Close();
    });
    const std::vector<uint8_t> bytes(1 << 20, 'w');
    EXPECT_FALSE(opened.device->Write(bytes.data(), bytes.size()));
    hangUp.join();
    EXPECT_GT(opened.device->WrittenBeforeFailure(), 0u);
    EXPECT_LT(opened.device->WrittenBeforeFailure(), bytes.size());
}

}  // namespace
