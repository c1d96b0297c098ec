#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "platform/Clock.h"
#include "tests/support/Console.h"
#include "tests/support/ToolInProcess.h"
#include "tests/support/Transcript.h"

namespace {

using namespace testsupport;

class ConsoleUiTest : public FreshSession {
  protected:
    // Runs `use` with the console on scripted input; returns what it printed.
    // The streams count as a terminal on both ends unless told otherwise.
    template <typename Use>
    std::string WithConsole(const std::string& input, Use use, ConsoleTerminals terminals = {true, true}) {
        ConsoleStreams streams(input);
        ConsoleUi::instance().Install(StandardConsoleOperations(streams.In(), streams.Out(), terminals));
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

// Into a pipe or a file: a whole line for each tenth of the work that has been running for a
// second, nothing for shorter work; a lower percentage starts new work.
TEST_F(ConsoleUiTest, ProgressIntoAPipeComesAsAFewWholeLines) {
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, int32_t>> steps;  // ms since the last step, percent
        std::string out;
    };
    std::vector<std::pair<uint32_t, int32_t>> slow;
    for (int32_t percent = 0; percent <= 100; percent += 4) slow.push_back({100, percent});
    std::string slowLines;
    for (int32_t percent : {40, 52, 60, 72, 80, 92, 100})
        slowLines += "Progress: " + std::to_string(percent) + "%\n";
    const Case cases[] = {
        {"under a second", {{0, 0}, {300, 50}, {300, 100}}, ""},
        {"ten seconds in 4% steps", slow, slowLines},
        {"a second pass starts again",
         {{0, 0}, {1500, 100}, {0, 0}, {200, 100}, {0, 0}, {1000, 5}, {10, 10}},
         "Progress: 100%\nProgress: 10%\n"},
    };
    for (const Case& c : cases) {
        platform::VirtualClock clock;
        platform::ScopedClock installed(clock);
        const std::string out = WithConsole("",
                                            [&](ConsoleUi& ui) {
                                                for (const auto& [ms, percent] : c.steps) {
                                                    clock.Advance(uint64_t{ms} * 1000);
                                                    ui.progress(percent);
                                                }
                                            },
                                            {false, false});
        EXPECT_EQ(out, c.out) << c.what;
    }
}

// Not a terminal: nothing is read, so the input stays a script's; on a terminal one key is taken.
TEST_F(ConsoleUiTest, PausesReadOnlyFromATerminal) {
    for (bool terminal : {false, true}) {
        bool answer = false;
        const std::string out = WithConsole("y\n",
                                            [&](ConsoleUi& ui) {
                                                ui.errorPause();
                                                answer = ui.confirm();
                                            },
                                            {terminal, false});
        EXPECT_EQ(out, kErrorPause + kQuestion);
        EXPECT_EQ(answer, !terminal) << "input a terminal: " << terminal;
    }
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
