#include <gtest/gtest.h>

#include <fstream>
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
// run goes on.
TEST(TraceTest, UnwritableTargetIsReportedOnce) {
    TempPrefix prefix;
    const struct {
        std::string target;
        std::string reason;
    } cases[] = {
        {prefix.Dir(), "Is a directory\n"},
        {prefix.Dir() + "/missing/trace.log", "No such file or directory\n"},
        {"/dev/full", "No space left on device\n"},
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
}

}  // namespace
