#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

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
