#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

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

}  // namespace
