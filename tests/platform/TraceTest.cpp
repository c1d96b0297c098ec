#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "platform/SystemError.h"
#include "platform/TextFile.h"
#include "platform/Trace.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::TempPrefix;

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(TraceTest, AppendsOneLinePerMessageOnlyWhenConfigured) {
    TempPrefix prefix;
    std::string path = prefix.Dir() + "/trace.log";
    unsetenv("TOLVAR_TRACE");
    EXPECT_FALSE(platform::TraceEnabled());
    platform::Trace("dropped");

    std::ofstream(path) << "earlier\n";
    setenv("TOLVAR_TRACE", path.c_str(), 1);
    EXPECT_TRUE(platform::TraceEnabled());
    platform::Trace("w 80000050 00000201");
    platform::Trace("answer\n");
    platform::Trace("");
    unsetenv("TOLVAR_TRACE");
    platform::Trace("dropped too");
    EXPECT_EQ(Contents(path), "earlier\nw 80000050 00000201\nanswer\n\n");
}

// A target that cannot be written: one warning line, whatever the number of messages, and the
// run goes on; a FIFO nobody reads does not hold the run waiting for a reader.
TEST(TraceTest, UnwritableTargetIsReportedOnce) {
    TempPrefix prefix;
    const std::string fifo = prefix.Dir() + "/trace.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string target;
        std::string reason;
    } cases[] = {
        {prefix.Dir(), "Is a directory\n"},
        {prefix.Dir() + "/missing/trace.log", "No such file or directory\n"},
        {"/dev/full", "No space left on device\n"},
        {fifo, "No such device or address\n"},
    };
    for (const auto& one : cases) {
        setenv("TOLVAR_TRACE", one.target.c_str(), 1);
        testing::internal::CaptureStderr();
        platform::Trace("first");
        platform::Trace("second");
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said, "Warning: the trace cannot be written to " + one.target + ": " + one.reason);
    }
    unsetenv("TOLVAR_TRACE");
}

TEST(SystemErrorTest, TextOfTheErrorWithALineEnd) {
    EXPECT_EQ(platform::SystemErrorText(ENOENT), "No such file or directory\n");
    EXPECT_EQ(platform::SystemErrorText(EACCES), "Permission denied\n");
}

TEST(TextFileTest, CrBeforeLfBelongsToTheLineEnd) {
    const std::string text = "a\r\nb\n\r\nc\rd\r\n\re";
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ASSERT_NE(file, nullptr);
    std::vector<std::string> lines;
    std::string line;
    while (platform::ReadTextLine(file, line)) lines.push_back(line);
    std::fclose(file);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "", "c\rd", "\re"}));
    const std::vector<std::string_view> views = platform::TextLines(text);
    EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()), lines);
}

// Configuration files are read whole or not at all, and never wait: a FIFO without a writer would
// hold the open for ever, a device would never end.
TEST(TextFileTest, ConfigFilesAreReadOnlyWhenRegularAndSmall) {
    TempPrefix prefix;
    const std::string dir = prefix.Dir();
    std::ofstream(dir + "/small.cfg") << "3 4";
    std::ofstream(dir + "/large.cfg") << std::string(5000, '1');
    ASSERT_EQ(mkfifo((dir + "/fifo.cfg").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir + "/zero.cfg").c_str()), 0);
    struct Case {
        std::string name;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {"small.cfg", "3 4"},       {"large.cfg", std::nullopt},   {"fifo.cfg", std::nullopt},
        {"zero.cfg", std::nullopt}, {"missing.cfg", std::nullopt}, {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::ReadConfigFile(dir + "/" + c.name, 4096), c.text) << c.name;
}

}  // namespace
