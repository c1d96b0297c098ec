#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/CxException.h"
#include "front/CommandLine.h"
#include "front/RunRecord.h"
#include "front/Sha256.h"
#include "tests/support/BenchServers.h"
#include "tests/support/Console.h"
#include "tests/support/HexText.h"
#include "tests/support/Ports.h"
#include "tests/support/TempDir.h"
#include "tests/support/ToolInProcess.h"
#include "tests/support/ToolProcess.h"
#include "tests/support/Transcript.h"

namespace {

using namespace testsupport;

TEST_F(CommandLineTest, TooFewWordsPrintTheUsageAndStop) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"FF", "256"},
        {"snk"},
        {"", ""},
        {std::string(10000, 'x'), "src"},
        {"\xc3\xa9\xff", "fw_source.hex"},
    };
    for (const auto& words : cases) {
        Outcome outcome = Run(words, "\n");
        EXPECT_EQ(outcome.code, -1);
        EXPECT_EQ(outcome.out, Echo(words) + kUsageText + kErrorPause);
    }
}

TEST_F(CommandLineTest, SideWordAgainstTheFileNameAsksFirst) {
    struct Case {
        std::vector<std::string> words;
        std::string input;
        std::string warning;
    };
    const Case cases[] = {
        {{"snk", "u3", "BV", "fw_source.hex"}, "n\n", Warning("source file", "sink")},
        {{"snk", "u3", "BV", "fw_source.hex"}, "yes\n", Warning("source file", "sink")},
        {{"snk", "u3", "BV", "fw_source.hex"}, "", Warning("source file", "sink")},
        {{"snk", "d", "BV", "FW_SRC_SNK.HEX"}, " y\n", Warning("source file", "sink")},
        {{"src", "d", "BV", "fw_sink.hex"}, "\n", Warning("sink file", "source")},
        // Only the file's own name counts, not the folder it lies in.
        {{"src", "d", "BV", "/home/me/src/fw_sink.hex"}, "\n", Warning("sink file", "source")},
        {{"src", "FF", "256", "snk"}, "N\n", Warning("sink file", "source")},
    };
    for (const Case& c : cases) {
        Outcome outcome = Run(c.words, c.input);
        EXPECT_EQ(outcome.code, -1);
        EXPECT_EQ(outcome.out, Echo(c.words) + c.warning);
    }
}

// E reads no image: the missing files below are not looked at before the link.
TEST_F(CommandLineTest, ConfirmedWarningGoesOnToTheLink) {
    for (const char* answer : {"y\n", "Y\n"}) {
        std::vector<std::string> words = {"snk", "u3", "E", "fw_source.hex"};
        Outcome outcome = Run(words, answer);
        EXPECT_EQ(outcome.code, -1);
        std::string expected = Echo(words) + Warning("source file", "sink") + "Exception: ";
        EXPECT_EQ(outcome.out.substr(0, expected.size()), expected);
        EXPECT_EQ(outcome.out.back(), '\n');
    }
}

TEST_F(CommandLineTest, LinkFailuresEndAsAPrintedExceptionWithExitMinusOne) {
    setenv("TOLVAR_BENCH_PORT", "1", 1);
    TempDir files;
    const std::string readable = files.Write("image.hex", ":00000001FF\n");
    const std::vector<std::vector<std::string>> cases = {
        {"u3", "E", "image.hex"},
        {"u0x10", "E", "image.hex"},
        {"ub101", "E", "image.hex"},
        {"d", "E", "image.hex"},
        {"x", "E", "image.hex"},
        {"UASNK", "BV", "image.hex"},
        // Letters after the u make the operation word (U, O, V), not a port: the bench link.
        {"src", "uov", readable},
    };
    for (const auto& words : cases) {
        Outcome outcome = Run(words);
        EXPECT_EQ(outcome.code, -1) << words[0];
        std::string expected = Echo(words) + "Exception: ";
        EXPECT_EQ(outcome.out.substr(0, expected.size()), expected) << outcome.out;
    }
    unsetenv("TOLVAR_BENCH_PORT");
}

TEST_F(CommandLineTest, WordCountIsCheckedOnceTheLinkIsOpen) {
    BenchOverPair bench(m_prefix);
    struct Case {
        std::vector<std::string> words;
        int expected;
    };
    const Case cases[] = {
        {{"UASNK", "BV", "image.hex"}, 3},
        {{"d", "FF", "256"}, 5},
        {{"d", "ff", "256", "1", "2"}, 5},
        {{"d", "s", "64k", "R", "0"}, 7},
        // Only R takes a fourth word, its output file.
        {{"d", "R", "0", "16", "x.hex", "more"}, 6},
        {{"d", "ES", "0", "16", "x.hex"}, 5},
        {{"src", "d", "I", "ES", "0x1001"}, 7},
        {{"snk", "d", "DM", "128k", "EB", "0", "1", "2"}, 8},
        {{"d", "BV", "a", "b"}, 4},
        {{"x", "BV", "image.hex"}, 3},
        {{"d", "dm", "128k"}, 6},
        {{"d", "64k", "r"}, 6},
        {{"d", "S", "", "", ""}, 5},
    };
    for (const Case& c : cases) {
        Outcome outcome = Run(c.words);
        EXPECT_EQ(outcome.code, -1);
        int count = static_cast<int>(c.words.size()) + 1;
        EXPECT_EQ(outcome.out, Echo(c.words) + "Expected " + std::to_string(c.expected) +
                                   " number of params, but got " + std::to_string(count) + " instead.\n" +
                                   kUsageText + kErrorPause);
    }
}

TEST(ReportExceptionTest, EachKindOfThrowGetsItsLine) {
    struct Case {
        std::function<void()> raise;
        std::string printed;
    };
    const Case cases[] = {
        {[] { throw CxExceptionError("Can't read from chip", 0); }, "Exception: Can't read from chip\n"},
        {[] { throw CxExceptionError("100% %s", -1); }, "Exception: 100% %s\n"},
        {[] { throw "plain text"; }, "Exception: plain text\n"},
        {[] { throw std::runtime_error("bad record"); }, "Exception: bad record\n"},
        {[] { throw std::bad_alloc(); }, "Exception: std::bad_alloc\n"},
        {[] { throw 42; },
         "Unknown exception. Please verify that WinPCap (G:\\sw_work.5.0.0.0\\norviktest\\WinPcap_4_0_2.exe) "
         "is "
         "installed correctly.\n"},
        {[] { throw CxExceptionBase("base only", 0); },
         "Unknown exception. Please verify that WinPCap (G:\\sw_work.5.0.0.0\\norviktest\\WinPcap_4_0_2.exe) "
         "is "
         "installed correctly.\n"},
    };
    for (const Case& c : cases) {
        ConsoleStreams streams;
        try {
            c.raise();
        } catch (...) {
            ReportException(streams.Out());
        }
        EXPECT_EQ(streams.Output(), c.printed);
    }
    ConsoleStreams streams;
    try {
        throw ProcessExit{-1};
    } catch (...) {
        EXPECT_THROW(ReportException(streams.Out()), ProcessExit);
    }
    EXPECT_EQ(streams.Output(), "");
}

TEST(ParseNumberTest, BasesSaturationAndWordsThatAreNotWhollyNumbers) {
    struct Case {
        std::string word;
        std::optional<uint32_t> value;  // none: refused
    };
    const Case cases[] = {
        {"", std::nullopt},
        {"14", 14},
        {"0x1001", 0x1001},
        {"0x5A", 0x5a},
        {"0X10000", 0x10000},
        {"0x", std::nullopt},
        {"0xg", std::nullopt},
        {"0x0x10", 0x10},
        {"b101", 5},
        {"b", std::nullopt},
        {"b102", std::nullopt},
        {"B101", std::nullopt},
        {"12abc", std::nullopt},
        {"1e5", std::nullopt},
        {"65,536", std::nullopt},
        {"0x1_0000", std::nullopt},
        {"4096 ", std::nullopt},
        {" 7", 7},
        {"+9", 9},
        {"-", std::nullopt},
        {"-1", 0xffffffff},
        {"-2", 0xfffffffe},
        {"4294967295", 0xffffffff},
        {"4294967296", 0xffffffff},
        {"0x1FFFFFFFF", 0xffffffff},
        {"0xFFFFFFFF", 0xffffffff},
        {"b" + std::string(64, '1'), 0xffffffff},
        {"b" + std::string(32, '1'), 0xffffffff},
        {std::string(10000, '9'), 0xffffffff},
        {std::string(10000, '9') + "x", std::nullopt},
        {"\xff\xfe", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parseNumber(c.word.c_str()), c.value) << c.word;
}

// The real program: exit status as the shell sees it, standard output only.
Outcome RunBinary(const std::string& prefix, const std::string& arguments) {
    std::string command =
        "TOLVAR_PREFIX='" + prefix + "' " TOLVAR_BINARY " " + arguments + " </dev/null 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1000, out};
}

using BinaryTest = FreshSession;

TEST_F(BinaryTest, FatalStopsReachTheShellAs255) {
    std::string binary = TOLVAR_BINARY;
    Outcome none = RunBinary(m_prefix, "");
    EXPECT_EQ(none.code, 255);
    EXPECT_EQ(none.out, "Ver 1.0.0.45\n" + binary + " \n" + kUsageText + kErrorPause);

    Outcome fill = RunBinary(m_prefix, "FF 256");
    EXPECT_EQ(fill.code, 255);
    EXPECT_EQ(fill.out, "Ver 1.0.0.45\n" + binary + " FF 256 \n" + kUsageText + kErrorPause);

    Outcome declined = RunBinary(m_prefix, "snk u3 BV fw_source.hex");
    EXPECT_EQ(declined.code, 255);
    EXPECT_EQ(declined.out,
              "Ver 1.0.0.45\n" + binary + " snk u3 BV fw_source.hex \n" + Warning("source file", "sink"));
}

// The run record's fingerprint against sha256sum, across the lengths where the padding changes
// (one block or two) and fed in pieces that straddle the blocks.
TEST(Sha256Test, AgreesWithSha256sum) {
    TempDir dir;
    for (const size_t size : {0u, 1u, 3u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u, 1048583u}) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> bytes = RandomBytes(size, static_cast<unsigned>(size) + 1);
        const std::string path = dir.Path("data.bin");
        WriteFile(path, AsText(bytes));
        std::string expected;
        ASSERT_EQ(RunProgram("/usr/bin/sha256sum", {path}, expected), 0);
        expected.resize(64);
        const int fd = ::open(path.c_str(), O_RDONLY);
        EXPECT_EQ(Sha256OfDescriptor(fd), expected);
        ::close(fd);
        Sha256 pieces;
        for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 7 % 150 + 1)
            pieces.Update(bytes.data() + at, std::min(piece, size - at));
        EXPECT_EQ(Sha256::Hex(pieces.Finish()), expected);
    }
}

// Whatever the words and messages hold, the record stays valid JSON in valid UTF-8.
TEST(RunRecordTest, StringsStayValidJson) {
    struct Case {
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {"plain", R"("plain")"},
        {"a\"b\\c/", R"("a\"b\\c/")"},
        {std::string("\n\r\t\x01\x1f\x7f\0!", 8), R"("\n\r\t\u0001\u001f\u007f\u0000!")"},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\xff", R"("\ufffd")"},
        {"a\xc3", R"("a\ufffd")"},                              // cut short
        {"\xc0\xaf", R"("\ufffd\ufffd")"},                      // overlong
        {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},            // a surrogate
        {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
        {"\xe2\x82x", R"("\ufffd\ufffdx")"},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonString(c.text), c.json) << c.json;
}

// A failed run's reason: the first error line it printed, else its last message; the line of an
// interruption wins.
TEST(RunRecordTest, TheReasonIsTheFirstErrorElseTheLastMessage) {
    struct Case {
        std::vector<std::string> messages;
        std::string conclusion;
        std::string reason;
    };
    const Case cases[] = {
        {{}, "", ""},
        {{"Burning file x.hex\n", "\nError verifying eprom on address: 10\n",
          "Error verifying eprom on address: 14\n", "***Verification failed***\n\n"},
         "",
         "Error verifying eprom on address: 10"},
        {{"Detected Marnel source on port 1\n",
          "Can't open file: a.hex\nReason: No such file or directory\n"},
         "",
         "Can't open file: a.hex\nReason: No such file or directory"},
        {{"Exception: Failed to open com port com7\n", "Error: later\n"},
         "",
         "Exception: Failed to open com port com7"},
        {{"Error: first\n", " \r\n"},
         "Interrupted by SIGINT during the burn.\n",
         "Interrupted by SIGINT during the burn."},
    };
    for (const Case& c : cases) {
        ReasonNotes notes;
        for (const std::string& message : c.messages) notes.Note(message);
        if (!c.conclusion.empty()) notes.Conclude(c.conclusion);
        EXPECT_EQ(notes.Reason(), c.reason);
    }
}

}  // namespace
