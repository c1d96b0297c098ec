#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "tests/support/Console.h"
#include "tests/support/ToolInProcess.h"

namespace {

using namespace testsupport;

class ConsoleUiTest : public FreshSession {
  protected:
    // Runs `use` with the console on scripted input; returns what it printed.
    template <typename Use>
    std::string WithConsole(const std::string& input, Use use) {
        ConsoleStreams streams(input);
        ConsoleUi::instance().Install(StandardConsoleOperations(streams.In(), streams.Out()));
        use(ConsoleUi::instance());
        ConsoleUi::instance().Install(StandardConsoleOperations(stdin, stdout));
        return streams.Output();
    }
};

TEST_F(ConsoleUiTest, ProgressRewritesTheLineOverThePreviousText) {
    std::string out = WithConsole("", [](ConsoleUi& ui) {
        ui.progress(5);
        ui.progress(50);
        ui.progress(100);
        ui.progress(7);
    });
    EXPECT_EQ(out, "Progress: 5%" + std::string(12, '\r') + "Progress: 50%" + std::string(13, '\r') +
                       "Progress: 100%" + std::string(14, '\r') + "Progress: 7%");
    EXPECT_EQ(ConsoleUi::instance().progressTextLength(), 12);
}

TEST_F(ConsoleUiTest, ConfirmAcceptsOnlyAOneLetterYes) {
    struct Case {
        std::string input;
        bool expected;
    };
    const Case cases[] = {
        {"y\n", true},    {"Y\n", true},   {"y", true},       {"y\r\n", true},
        {"yes\n", false}, {" y\n", false}, {"\n", false},     {"", false},
        {"n\n", false},   {"Y \n", false}, {"\xff\n", false}, {std::string(300, 'y') + "\n", false},
    };
    for (const Case& c : cases) {
        bool answer = !c.expected;
        std::string out = WithConsole(c.input, [&](ConsoleUi& ui) { answer = ui.confirm(); });
        EXPECT_EQ(answer, c.expected) << c.input;
        EXPECT_EQ(out, "Do you wish to continue? [enter y to continue]\n");
    }
}

TEST_F(ConsoleUiTest, ConfirmReadsOneWholeLine) {
    std::string longLine = std::string(300, 'x') + "\ny\n";
    bool first = true, second = false;
    WithConsole(longLine, [&](ConsoleUi& ui) {
        first = ui.confirm();
        second = ui.confirm();
    });
    EXPECT_FALSE(first);
    EXPECT_TRUE(second);
}

TEST_F(ConsoleUiTest, PrintIsLiteralAndErrorPauseSurvivesClosedInput) {
    std::string out = WithConsole("", [](ConsoleUi& ui) {
        ui.print("%d %s 100%\n");
        ui.errorPause();
    });
    EXPECT_EQ(out, "%d %s 100%\nError occurred. Press any key to continue . . .\n");
}

TEST_F(ConsoleUiTest, FatalExitPausesThenEndsWithMinusOne) {
    int code = 0;
    std::string out = WithConsole("x", [&](ConsoleUi&) {
        try {
            fatalExit();
        } catch (const ProcessExit& exit) {
            code = exit.code;
        }
    });
    EXPECT_EQ(code, -1);
    EXPECT_EQ(out, "Error occurred. Press any key to continue . . .\n");
}

TEST(FormatTextTest, GrowsPastTheFirstHundredCharacters) {
    const size_t lengths[] = {0, 1, 99, 100, 101, 250, 10000};
    for (size_t length : lengths) {
        std::string word(length, 'a');
        EXPECT_EQ(formatText("%s", word.c_str()), word);
        EXPECT_EQ(formatText("<%s>%d", word.c_str(), 42), "<" + word + ">42");
    }
}

TEST(FormatBoundedTest, CutsToTheBufferAndReportsTheNeededLength) {
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(formatBounded(buffer, 0, "%s", "abcdefghij"), 10);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "########");

    EXPECT_EQ(formatBounded(buffer, sizeof buffer, "%d", 1234), 4);
    EXPECT_STREQ(buffer, "1234");
    EXPECT_EQ(formatBounded(buffer, sizeof buffer, "%s", "abcdefghij"), 10);
    EXPECT_STREQ(buffer, "abcdefg");
}

TEST(LastErrorTextTest, SystemTextCutToTheBufferAndErrnoKept) {
    char buffer[64];
    errno = ENOENT;
    EXPECT_STREQ(lastErrorText(buffer, sizeof buffer), "No such file or directory\n");
    EXPECT_EQ(errno, ENOENT);
    char small[5];
    errno = EACCES;
    EXPECT_STREQ(lastErrorText(small, sizeof small), "Perm");
    char untouched = '#';
    lastErrorText(&untouched, 0);
    EXPECT_EQ(untouched, '#');
}

TEST(CxExceptionTest, CaughtAsEitherClassWithItsFields) {
    try {
        throw CxExceptionError("x", -1);
    } catch (const CxExceptionBase& error) {
        EXPECT_EQ(error.message, "x");
        EXPECT_EQ(error.code, -1);
    }
    try {
        throw CxExceptionError("x", -1);
    } catch (const CxExceptionError& error) {
        EXPECT_EQ(error.message, "x");
    }
}

}  // namespace
