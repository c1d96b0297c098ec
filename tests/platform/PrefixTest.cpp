#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/PortList.h"
#include "platform/Prefix.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::TempPrefix;

class PrefixTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(platform::EnsureDirectory(m_prefix.Dir() + "/dosdevices")); }
    std::string Entry(const std::string& port) const { return m_prefix.Dir() + "/dosdevices/" + port; }
    TempPrefix m_prefix;
};

TEST_F(PrefixTest, NewPrefixIsCreatedPrivate) {
    std::string nested = m_prefix.Dir() + "/a/b";
    setenv("TOLVAR_PREFIX", (nested + "/").c_str(), 1);
    EXPECT_EQ(platform::PrefixDir(), nested);
    struct stat info {};
    ASSERT_EQ(stat(nested.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(platform::ComPortsCfgPath(), nested + "/comPorts.cfg");
    EXPECT_EQ(platform::UserRegPath(), nested + "/user.reg");
    EXPECT_EQ(platform::LocksDir(), nested + "/locks");
}

TEST_F(PrefixTest, PortNamesResolveThroughDosdevices) {
    ASSERT_EQ(symlink("/dev/pts/77", Entry("com3").c_str()), 0);
    std::ofstream(Entry("com4")) << "/tmp/board-sink\r\n";
    std::ofstream(Entry("com5")) << "";

    struct Case {
        const char* port;
        std::string device;
    };
    const Case cases[] = {
        {"com1", "/dev/ttyUSB0"},
        {"com12", "/dev/ttyUSB11"},
        {"com3", Entry("com3")},
        {"com4", "/tmp/board-sink"},
        {"com5", Entry("com5")},
        {"com0", ""},
        {"com", ""},
        {"com-1", ""},
        {"COM1", ""},
        {"com1x", ""},
        {"com99999999999999999999", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::ComPortDevicePath(c.port), c.device) << c.port;
}

// The port list over a made-up /dev and /sys: links and files of the prefix (devices and URLs),
// the default devices, the modems and the by-id links, with the USB facts above each tty and the
// process holding a device.
TEST_F(PrefixTest, PortListShowsEveryPortWithItsDeviceAdapterAndHolder) {
    const std::string dev = m_prefix.Path("dev"), sys = m_prefix.Path("sys");
    for (const std::string& folder :
         {dev + "/serial/by-id", sys + "/class/tty/ttyUSB1", sys + "/devices/usb1/1-2/1-2:1.0/ttyUSB1",
          sys + "/class/tty/ttyACM0", sys + "/devices/pci0/tty/ttyACM0"})
        ASSERT_TRUE(platform::EnsureDirectory(folder)) << folder;
    for (const char* device : {"ttyUSB1", "ttyACM0", "ttyACM12", "ttyACM3", "ttyACMx"})
        std::ofstream(dev + "/" + device) << "";
    std::ofstream(sys + "/devices/usb1/1-2/idVendor") << "0403\n";
    std::ofstream(sys + "/devices/usb1/1-2/idProduct") << "6001\n";
    std::ofstream(sys + "/devices/usb1/1-2/serial") << "A50285BI\n";
    std::ofstream(sys + "/devices/usb1/1-2/product") << "FT232R USB UART\n";
    // Above the tree's root lies a folder that looks like a USB device: the walk stops before it.
    std::ofstream(m_prefix.Path("idVendor")) << "ffff\n";
    std::ofstream(m_prefix.Path("idProduct")) << "ffff\n";
    ASSERT_EQ(
        symlink("../../../devices/usb1/1-2/1-2:1.0/ttyUSB1", (sys + "/class/tty/ttyUSB1/device").c_str()), 0);
    ASSERT_EQ(symlink("../../../devices/pci0/tty/ttyACM0", (sys + "/class/tty/ttyACM0/device").c_str()), 0);
    ASSERT_EQ(symlink("../../ttyUSB1", (dev + "/serial/by-id/usb-FTDI_FT232R-if00-port0").c_str()), 0);
    ASSERT_EQ(symlink((dev + "/ttyUSB1").c_str(), Entry("com3").c_str()), 0);
    ASSERT_EQ(symlink("socket://127.0.0.1:4001", Entry("com12").c_str()), 0);
    std::ofstream(Entry("com4")) << "rfc2217://bench-host:2000\r\n";
    ASSERT_EQ(symlink((dev + "/gone").c_str(), Entry("com5").c_str()), 0);
    std::ofstream(Entry("comX")) << "/dev/null";

    // Another process holds ttyUSB1 by an flock until told to go.
    int go[2], held[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(held), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        close(go[1]);
        const int fd = open((dev + "/ttyUSB1").c_str(), O_RDWR | O_CLOEXEC);
        const char answer = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        if (write(held[1], &answer, 1) != 1) _exit(1);
        char ignored;
        (void)!read(go[0], &ignored, 1);
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(read(held[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');
    const std::vector<platform::PortEntry> ports = platform::ListPorts({dev, sys});
    close(go[1]);
    waitpid(holder, nullptr, 0);

    const std::string usb1 = dev + "/ttyUSB1";
    const std::string holderText = "process " + std::to_string(holder);
    struct Case {
        std::string name, target, device;
        bool network, present;
        std::string usbId, serial, product;
        bool held;
    };
    const std::vector<Case> cases = {
        {"com1", "", dev + "/ttyUSB0", false, false, "", "", "", false},
        {"com2", "", usb1, false, true, "0403:6001", "A50285BI", "FT232R USB UART", true},
        {"com3", usb1, usb1, false, true, "0403:6001", "A50285BI", "FT232R USB UART", true},
        {"com4", "rfc2217://bench-host:2000", "", true, false, "", "", "", false},
        {"com5", dev + "/gone", Entry("com5"), false, false, "", "", "", false},
        {"com6", "", dev + "/ttyUSB5", false, false, "", "", "", false},
        {"com7", "", dev + "/ttyUSB6", false, false, "", "", "", false},
        {"com8", "", dev + "/ttyUSB7", false, false, "", "", "", false},
        {"com9", "", dev + "/ttyUSB8", false, false, "", "", "", false},
        {"com10", "", dev + "/ttyUSB9", false, false, "", "", "", false},
        {"com12", "socket://127.0.0.1:4001", "", true, false, "", "", "", false},
        {dev + "/ttyACM0", "", dev + "/ttyACM0", false, true, "", "", "", false},
        {dev + "/ttyACM3", "", dev + "/ttyACM3", false, true, "", "", "", false},
        {dev + "/ttyACM12", "", dev + "/ttyACM12", false, true, "", "", "", false},
        {dev + "/serial/by-id/usb-FTDI_FT232R-if00-port0", "../../ttyUSB1", usb1, false, true, "0403:6001",
         "A50285BI", "FT232R USB UART", true},
    };
    ASSERT_EQ(ports.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const platform::PortEntry& port = ports[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(port.name, c.name);
        EXPECT_EQ(port.target, c.target);
        EXPECT_EQ(port.device, c.device);
        EXPECT_EQ(port.network, c.network);
        EXPECT_EQ(port.present, c.present);
        EXPECT_EQ(port.usbId, c.usbId);
        EXPECT_EQ(port.serial, c.serial);
        EXPECT_EQ(port.product, c.product);
        EXPECT_EQ(port.holder.rfind(holderText, 0) == 0, c.held) << port.holder;
    }
}

// A prefix, locks/ or dosdevices/ that another user owns or that group or others may write is
// refused with the folder and the fix; nothing is made in it.
TEST_F(PrefixTest, FoldersOthersCouldChangeAreRefused) {
    const std::string base = m_prefix.Dir();
    struct Case {
        std::string prefix;
        std::string folder;  // the one to spoil
        mode_t mode;
        bool foreign;  // owned by another user (root only)
        std::string message;
        std::string (*use)();
    };
    const std::string fix = " may be written by group or others: chmod go-w ";
    const std::vector<Case> cases = {
        {base + "/open", base + "/open", 0777, false, "The folder " + base + "/open" + fix + base + "/open",
         platform::LocksDir},
        {base + "/group", base + "/group", 0770, false,
         "The folder " + base + "/group" + fix + base + "/group", platform::ComPortsCfgPath},
        {base + "/locks-open", base + "/locks-open/locks", 0757, false,
         "The folder " + base + "/locks-open/locks" + fix + base + "/locks-open/locks", platform::LocksDir},
        {base + "/theirs", base + "/theirs", 0700, true,
         "The folder " + base + "/theirs" +
             " belongs to another user (uid 65534): set TOLVAR_PREFIX to a folder of your own, or remove "
             "that folder.",
         platform::UserRegPath},
    };
    for (const Case& c : cases) {
        if (c.foreign && geteuid() != 0) continue;
        SCOPED_TRACE(c.folder);
        ASSERT_TRUE(platform::EnsureDirectory(c.folder));
        ASSERT_EQ(chmod(c.folder.c_str(), c.mode), 0);
        if (c.foreign) {
            ASSERT_EQ(chown(c.folder.c_str(), 65534, 65534), 0);
        }
        setenv("TOLVAR_PREFIX", c.prefix.c_str(), 1);
        try {
            c.use();
            ADD_FAILURE() << "not refused";
        } catch (const platform::PrefixRefused& refused) {
            EXPECT_EQ(refused.what(), c.message);
        }
    }
    // dosdevices/ is asked when a port name is looked up there.
    setenv("TOLVAR_PREFIX", base.c_str(), 1);
    ASSERT_EQ(chmod((base + "/dosdevices").c_str(), 0777), 0);
    EXPECT_THROW(platform::ComPortDevicePath("com1"), platform::PrefixRefused);
}

// Without HOME the passwd entry gives the home; without that there is no default at all (never
// a shared folder such as /tmp).
TEST_F(PrefixTest, NoHomeMeansNoDefaultPrefix) {
    if (geteuid() != 0) GTEST_SKIP() << "needs a user id without a passwd entry";
    const pid_t child = fork();
    if (child == 0) {
        unsetenv("TOLVAR_PREFIX");
        unsetenv("HOME");
        if (setgid(54321) != 0 || setuid(54321) != 0) _exit(2);
        try {
            platform::PrefixDir();
        } catch (const platform::PrefixRefused& refused) {
            _exit(std::string(refused.what()).find("set TOLVAR_PREFIX") != std::string::npos ? 0 : 3);
        }
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
