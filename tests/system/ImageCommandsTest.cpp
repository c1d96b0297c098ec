// The image commands through the real Tolvar, over pseudo-terminals to tolvar-board: transcripts,
// exit codes, and the memory the board saves at its exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <tuple>

#include "tests/support/BoardProcess.h"
#include "tests/support/HexText.h"
#include "tests/support/PortServer.h"
#include "tests/support/ToolProcess.h"

namespace {

using testsupport::ImageText;
using testsupport::Pattern;
using testsupport::Segment;
using namespace testsupport;

constexpr size_t kFlashSize = 0x400000;

// A Marnel firmware image: its header (side byte, magic) at 0, data across 128-byte, sector and
// 64 KiB boundaries.
std::vector<Segment> marnelImage(uint8_t sideByte, size_t firstRecords = 0x2000) {
    return MarnelSegments(sideByte, firstRecords, 11,
                          {{0x3010, Pattern(0x1F0, 12)}, {0xFF00, Pattern(0x300, 13)}});
}

std::string withImage(std::string memory, const std::vector<Segment>& segments) {
    for (const Segment& s : segments) std::copy(s.bytes.begin(), s.bytes.end(), memory.begin() + s.address);
    return memory;
}

class ImageCommands : public ::testing::Test {
  protected:
    void StartBoard(const std::string& sourceMemory = "", const std::string& sinkMemory = "") {
        if (!sourceMemory.empty()) WriteFile(sourceImage, sourceMemory);
        if (!sinkMemory.empty()) WriteFile(sinkImage, sinkMemory);
        std::vector<std::string> args{"--source", "image=" + sourceImage + sourceSpec,
                                      "--sink",   "image=" + sinkImage,
                                      "--audit",  audit};
        args.insert(args.end(), boardExtra.begin(), boardExtra.end());
        board = std::make_unique<BoardProcess>(dir.Path("prefix"), args);
        ASSERT_TRUE(board->Started());
    }
    ToolRun Run(const std::vector<std::string>& args, const std::string& input = "") {
        return RunTolvar(dir.Path("prefix"), args, input);
    }
    // Stops the board; its saved memories and audit are then on disk.
    void StopBoard() { EXPECT_EQ(board->Stop(), 0); }
    void ExpectCleanAudit() { EXPECT_EQ(ReadFile(audit), "audit: 0 finding(s)\n"); }

    TempDir dir;
    std::string sourceImage = dir.Path("source.bin");
    std::string sinkImage = dir.Path("sink.bin");
    std::string audit = dir.Path("audit.txt");
    std::string sourceSpec;               // settings after the source's image
    std::vector<std::string> boardExtra;  // more board arguments (faults)
    std::unique_ptr<BoardProcess> board;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Memories are compared without printing megabytes: the first difference is enough.
::testing::AssertionResult sameMemory(const std::string& saved, const std::string& expected) {
    if (saved.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "saved " << saved.size() << " bytes, expected " << expected.size();
    }
    const auto diff = std::mismatch(saved.begin(), saved.end(), expected.begin());
    if (diff.first == saved.end()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << std::hex << "first difference at 0x" << (diff.first - saved.begin()) << ": 0x"
           << int{static_cast<uint8_t>(*diff.first)} << " instead of 0x"
           << int{static_cast<uint8_t>(*diff.second)};
}

std::string erased(size_t size = kFlashSize) {
    return std::string(size, '\xFF');
}

TEST_F(ImageCommands, FastBurnAndVerifyOfTheSourceFoundByPortSearch) {
    StartBoard();
    const auto segments = marnelImage(0x9F);
    const std::string hex = dir.Path("fw_src.hex");
    WriteFile(hex, ImageText(segments, 32));
    const ToolRun run = Run({"uasrc", "FBV", hex});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "Detected Marnel source on port 1\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "Set fast burn\n"));
    EXPECT_TRUE(contains(run.output, "Partial erase succeeded.\n\n"));
    EXPECT_TRUE(contains(run.output, "Burn succeeded.\n\n"));
    EXPECT_TRUE(contains(run.output, "Verification succeeded!!! :-)\n\n"));
    StopBoard();
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), withImage(erased(), segments)));
    EXPECT_TRUE(sameMemory(ReadFile(sinkImage), erased()));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, SlowBurnAndVerifyOfTheSink) {
    StartBoard();
    const auto segments = marnelImage(0x8F, 0x200);
    const std::string hex = dir.Path("fw.hex");
    WriteFile(hex, ImageText(segments));
    const ToolRun run = Run({"uasnk", "BV", hex});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "Detected Marnel sink on port 2\n")) << run.output;
    EXPECT_FALSE(contains(run.output, "Set fast burn"));
    EXPECT_TRUE(contains(run.output, "Burn succeeded.\n\n"));
    EXPECT_TRUE(contains(run.output, "Verification succeeded!!! :-)\n\n"));
    StopBoard();
    EXPECT_TRUE(sameMemory(ReadFile(sinkImage), withImage(erased(), segments)));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, AVerifyMismatchIsReportedAndTheRunEndsWithMinusOne) {
    const auto segments = marnelImage(0x9F, 0x200);
    std::string memory = withImage(erased(), segments);
    memory[0x3104] = '\x00';
    StartBoard(memory);
    const std::string hex = dir.Path("fw.hex");
    WriteFile(hex, ImageText(segments));
    const ToolRun run = Run({"src", "u1", "V", hex});
    EXPECT_EQ(run.exitCode, 255) << run.output;
    EXPECT_TRUE(contains(run.output, "Error verifying eprom on address: 3104, eprom: ")) << run.output;
    EXPECT_TRUE(contains(run.output, "***************Verification failed*********************\n\n"));
    StopBoard();
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), memory));
    ExpectCleanAudit();
}

// The fingerprint sha256sum gives the file.
std::string Sha256sum(const std::string& path) {
    std::string out;
    return RunProgram("/usr/bin/sha256sum", {path}, out) == 0 ? out.substr(0, 64) : "sha256sum failed";
}

// Sets an environment variable for the runs of one test.
struct ScopedVariable {
    ScopedVariable(const char* name, const std::string& value) : name(name) {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() { unsetenv(name); }
    const char* name;
};

// With TOLVAR_REPORT every run appends one line of JSON: what it was asked, what it found and did
// to the memory, and how it ended, with the reason a failed run printed; words no JSON string may
// hold as they are stay valid JSON. A report file that cannot be written costs a passed run nothing.
TEST_F(ImageCommands, EveryRunAppendsItsRecord) {
    const auto segments = marnelImage(0x9F, 0x200);
    StartBoard();
    const std::string image = dir.Path("fw_source.hex");
    WriteFile(image, ImageText(segments));
    auto changed = segments;
    changed[1].bytes[0x3104 - 0x3010] ^= 0xFF;
    const std::string other = dir.Path("changed_source.hex");
    WriteFile(other, ImageText(changed));
    const std::string ostral = WriteOstralImage(dir, "ostral_src.ihex", 0x23091000, Crc::Good);
    const std::string saved = dir.Path("saved.bin");
    const std::string report = dir.Path("runs.jsonl");
    const std::string oddWord("4\x01\"\\\xff", 5);
    {
        ScopedVariable variable("TOLVAR_REPORT", report);
        const std::vector<std::vector<std::string>> runs = {
            {"src", "u1", "FBV", image},      {"src", "u1", "V", other},
            {"src", "u1", "FUV", other},      {"src", "u1", "R", "0", "4096", saved},
            {"src", "u1", "OB", ostral},      {"src", "u1", "B", dir.Path("missing.hex")},
            {"src", "u1", "R", "0", oddWord},
        };
        for (const auto& words : runs) Run(words);
    }
    const std::vector<FlatRecord> records = ReadJsonLines(report);
    ASSERT_EQ(records.size(), 7u) << ReadFile(report);
    const std::string imageBytes = std::to_string(0x200 + 0x1F0 + 0x300);
    struct Expected {
        const char* key;
        std::string value;
    };
    const std::vector<std::vector<Expected>> expected = {
        {{"result", "passed"},
         {"exit_code", "0"},
         {"reason", "null"},
         {"words.2", "FBV"},
         {"port.name", "com1"},
         {"side", "source"},
         {"link", "uart"},
         {"chip.family", "Marnel"},
         {"memory.name", "Macronix SPI flash"},
         {"memory.size", "4194304"},
         {"image.path", image},
         {"image.size", std::to_string(ReadFile(image).size())},
         {"image.sha256", Sha256sum(image)},
         {"image.crc", "null"},
         {"bytes_written", imageBytes},
         {"bytes_compared", imageBytes},
         {"units_skipped", "null"},
         {"version", "1.0.0.45"}},
        {{"result", "failed"}, {"exit_code", "255"}, {"bytes_written", "0"}, {"bytes_compared", imageBytes}},
        {{"result", "passed"}, {"units_skipped", "3"}, {"units_rewritten", "1"}, {"bytes_written", "496"}},
        {{"result", "passed"},
         {"image", "null"},
         {"saved.path", saved},
         {"saved.size", "4096"},
         {"saved.sha256", Sha256sum(saved)},
         {"bytes_written", "0"}},
        {{"result", "passed"}, {"image.firmware_version", "0x3091"}, {"image.firmware_type", "2"}},
        {{"result", "failed"},
         {"exit_code", "255"},
         {"image.size", "null"},
         {"image.sha256", "null"},
         {"reason", "Can't open file: " + dir.Path("missing.hex") + "\\nReason: No such file or directory"}},
        {{"result", "failed"},
         {"words.4", "4\\x01\"\\\\\\ufffd"},
         {"chip", "null"},
         {"memory", "null"},
         {"reason", "Error: '4\\x01\"\\\\\\ufffd' is not a number (decimal, 0x hexadecimal or b binary)."}},
    };
    for (size_t i = 0; i < records.size(); ++i) {
        const FlatRecord& record = records[i];
        for (const Expected& e : expected[i]) {
            const auto found = record.find(e.key);
            EXPECT_TRUE(found != record.end() && found->second == e.value)
                << "run " << i << ": " << e.key << " is "
                << (found == record.end() ? "missing" : found->second) << ", not " << e.value;
        }
        // Start time in UTC to the millisecond, the chip's identification value in full.
        const std::string start = record.count("start") ? record.at("start") : "";
        EXPECT_TRUE(start.size() == 24 && start[10] == 'T' && start.back() == 'Z') << start;
        if (i < 5) {
            EXPECT_EQ(record.count("chip.id") ? record.at("chip.id").size() : 0, 10u) << i;
        }
    }
    EXPECT_EQ(records[1].count("reason")
                  ? records[1].at("reason").rfind("Error verifying eprom on address: 3104, ", 0)
                  : std::string::npos,
              0u);
    EXPECT_EQ(records[4].count("image.crc") ? records[4].at("image.crc").size() : 0, 10u);
    // The port as the words gave it, and the device its entry in the prefix leads to.
    EXPECT_EQ(records[0].count("port.device") ? records[0].at("port.device").rfind("/dev/pts/", 0) : 1, 0u);

    ScopedVariable variable("TOLVAR_REPORT", dir.Path("no-such-folder/runs.jsonl"));
    const TimedRun run = RunTimed(dir.Path("prefix"), "src u1 R 0 4");
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_TRUE(contains(run.out, "Warning: the run record could not be written to " +
                                      dir.Path("no-such-folder/runs.jsonl") +
                                      ": No such file or directory\n"))
        << run.out;
    StopBoard();
    ExpectCleanAudit();
}

TEST_F(ImageCommands, EraseEmptiesTheWholeFlash) {
    StartBoard(std::string(0x30000, '\x00'));
    const ToolRun run = Run({"src", "u1", "E", dir.Path("unused.hex")});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    StopBoard();
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), erased()));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, FillWritesThePatternAndReadsItBack) {
    StartBoard();
    const ToolRun run = Run({"src", "u1", "FF", "256", "0x5A"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "Filling Eprom from address 0x0 to 0x100 with data 0x5a\n"))
        << run.output;
    EXPECT_TRUE(contains(run.output, "Verify filling eprom...\nReading eprom...\nEnd filling Eprom.\n\n"));
    StopBoard();
    std::string expected(kFlashSize, '\xFF');
    for (size_t a = 0; a < 256; a += 4) expected.replace(a, 4, std::string("\x00\x00\x00\x5A", 4));
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), expected));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, ReadPrintsFourWordsALine) {
    std::string memory(0x200, '\xFF');
    for (size_t i = 0; i < 24; ++i) memory[0x100 + i] = static_cast<char>(0x10 + i);
    StartBoard(memory);
    const ToolRun run = Run({"src", "u1", "R", "0x100", "26"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string lines =
        "Reading eprom...\n"
        "00100:\t10111213\t14151617\t18191a1b\t1c1d1e1f\t\n"
        "00110:\t20212223\t24252627\t\n";
    EXPECT_TRUE(contains(run.output, lines)) << run.output;
    StopBoard();
    ExpectCleanAudit();
}

TEST_F(ImageCommands, SectorAndBlockErasesTouchOnlyTheirRange) {
    StartBoard(std::string(0x60000, '\x00'));
    EXPECT_EQ(Run({"src", "u1", "ES", "0x1001", "14"}).exitCode, 0);
    EXPECT_EQ(Run({"src", "u1", "ES", "0X50000", "4096"}).exitCode, 0);
    const ToolRun blocks = Run({"src", "u1", "EB", "0x20fff", "79999"});
    EXPECT_EQ(blocks.exitCode, 0) << blocks.output;
    StopBoard();
    std::string expected(kFlashSize, '\xFF');
    expected.replace(0, 0x60000, std::string(0x60000, '\x00'));
    expected.replace(0x1000, 0x1000, std::string(0x1000, '\xFF'));
    expected.replace(0x50000, 0x1000, std::string(0x1000, '\xFF'));
    expected.replace(0x20000, 0x20000, std::string(0x20000, '\xFF'));
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), expected));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, ABadImageStopsWithTheErrorPause) {
    StartBoard();
    struct Case {
        std::string letters;
        std::string path;
        std::string message;
    };
    const std::string cut = dir.Path("cut.hex");
    WriteFile(cut, ":10000000AABB\n:00000001FF\n");
    // A file that cannot be opened is said with its reason before any board is looked for, with
    // the image check (B) as without it (OB).
    const Case cases[] = {
        {"OB", dir.Path("missing.hex"),
         "Can't open file: " + dir.Path("missing.hex") + "\nReason: No such file or directory\n"},
        {"B", dir.Path("missing.hex"),
         "Can't open file: " + dir.Path("missing.hex") + "\nReason: No such file or directory\n"},
        {"OB", dir.Path(""), "Can't open file: " + dir.Path("") + "\nReason: Is a directory\n"},
        {"OB", cut,
         "Record on line 1 of file " + cut +
             " is not valid: ':10000000AABB'\nThe 'byteCount' field value is '0x10', but record "
             "contains 0x01 "
             "data bytes.\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Run({"src", "u1", c.letters, c.path});
        EXPECT_EQ(contains(run.output, "Detected"), c.path == cut) << run.output;
        EXPECT_EQ(run.exitCode, 255) << run.output;
        EXPECT_TRUE(contains(run.output, c.message + "Error occurred. Press any key to continue . . .\n"))
            << run.output;
    }
    StopBoard();
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), erased()));
    ExpectCleanAudit();
}

// Runs that cannot do what was asked stop with 255 before they write anything.
TEST_F(ImageCommands, RunsThatCannotDoTheirWorkEndWithMinusOneAndWriteNothing) {
    const auto segments = marnelImage(0x9F, 0x200);
    const std::string memory = withImage(std::string(0x20000, '\x00'), segments);
    StartBoard(memory, memory);
    const std::string hex = dir.Path("fw.hex");
    WriteFile(hex, ImageText(segments));
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
    const Case cases[] = {
        {{"u7", "FF", "4", "0"}, "Exception: Failed to open com port com7, reason: "},
        {{"snk", "u1", "OB", hex},
         "Detected Marnel source on port 1\nError: The sink was asked for, but the chip on port 1 is the "
         "source.\n"},
        {{"src", "u2", "E", hex},
         "Detected Marnel sink on port 2\nError: The source was asked for, but the chip on port 2 is the "
         "sink.\n"},
        {{"src", "u0", "OB", hex}, "Error: Could not find target. Please check board connectivity.\n"},
        {{"src", "u1", "i", "OB", hex},
         "Error: I2C was asked for, but the memory of this board is not an I2C EEPROM.\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Run(c.words);
        EXPECT_EQ(run.exitCode, 255) << run.output;
        EXPECT_TRUE(contains(run.output, c.message)) << run.output;
        if (c.words[1] == "u0") {
            EXPECT_FALSE(contains(run.output, "Detected")) << run.output;
        }
    }
    StopBoard();
    const std::string untouched = memory + std::string(kFlashSize - memory.size(), '\xFF');
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), untouched));
    EXPECT_TRUE(sameMemory(ReadFile(sinkImage), untouched));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, AFlashNoRowKnowsIsNeitherErasedNorWritten) {
    sourceSpec = ",memory=unknown";
    const std::string memory(0x20000, '\x00');
    StartBoard(memory);
    const std::string hex = dir.Path("fw_src.hex");
    WriteFile(hex, ImageText(marnelImage(0x9F, 0x200)));
    const std::vector<std::vector<std::string>> cases = {
        {"src", "u1", "OB", hex},       {"src", "u1", "V", hex},          {"src", "u1", "E", hex},
        {"src", "u1", "FF", "16", "1"}, {"src", "u1", "ES", "0", "4096"}, {"src", "u1", "EB", "0", "16"},
        {"src", "u1", "OU", hex},
    };
    for (const auto& words : cases) {
        const ToolRun run = Run(words);
        EXPECT_EQ(run.exitCode, 255) << run.output;
        EXPECT_TRUE(
            contains(run.output,
                     "Warning: Unrecognized flash device type id: 0xef!\n"
                     "Error: Unrecognized flash device: can't erase, burn, verify or fill it. Nothing "
                     "was written.\nError occurred. Press any key to continue . . .\n"))
            << run.output;
    }
    StopBoard();
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), memory + erased(kFlashSize - memory.size())));
    ExpectCleanAudit();
}

// "i" asks for the I2C EEPROM of the chip's family: on a Marnel board it burns and verifies it.
TEST_F(ImageCommands, TheMemoryWordIBurnsTheI2cEeprom) {
    sourceSpec = ",memory=i2c-eeprom,size=128k";
    StartBoard();
    const auto segments = marnelImage(0x9F, 0x200);
    const std::string hex = dir.Path("fw_src.hex");
    WriteFile(hex, ImageText(segments));
    const ToolRun run = Run({"src", "u1", "i", "OBV", hex});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "Burn succeeded.\n\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "Verification succeeded!!! :-)\n\n"));
    StopBoard();
    std::string expected = withImage(erased(0x20000), segments);
    expected.replace(0x1FFF0, 4, std::string(4, '\x00'));  // the update-section mark, cleared
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), expected));
    ExpectCleanAudit();
}

// A reader that goes away early (a pager, `head`) does not end the burn halfway.
TEST_F(ImageCommands, ABurnOutlivesTheReaderOfItsOutput) {
    StartBoard();
    const auto segments = marnelImage(0x9F, 0x200);
    const std::string hex = dir.Path("fw_src.hex");
    WriteFile(hex, ImageText(segments));
    setenv("TOLVAR_PREFIX", dir.Path("prefix").c_str(), 1);
    const std::string command = std::string("bash -c '\"") + TOLVAR_BINARY + "\" uasrc OB " + hex +
                                " </dev/null | head -6 >/dev/null; exit ${PIPESTATUS[0]}'";
    const int status = std::system(command.c_str());
    unsetenv("TOLVAR_PREFIX");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    StopBoard();
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), withImage(erased(), segments)));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, FillChecksItsWholeRange) {
    // Blank for the first 2 KiB only: the flash cannot raise the zero bits behind it.
    std::string memory = erased(0x800) + std::string(0x800, '\x00');
    StartBoard(memory);
    const ToolRun failed = Run({"src", "u1", "FF", "0x1000", "0x12345678"});
    EXPECT_EQ(failed.exitCode, 255) << failed.output;
    EXPECT_TRUE(contains(failed.output,
                         "Error filling eprom!. Address 0x800, fill: 0x12345678, read: 00000000\n"
                         "Error occurred. Press any key to continue . . .\n"))
        << failed.output;
    EXPECT_FALSE(contains(failed.output, "End filling Eprom."));
    // A zero pattern holds over anything: a fill across a 64 KiB boundary, its last word short.
    const ToolRun passed = Run({"src", "u1", "FF", "0x10102", "0"});
    EXPECT_EQ(passed.exitCode, 0) << passed.output;
    EXPECT_TRUE(contains(passed.output, "Verify filling eprom...\nReading eprom...\nEnd filling Eprom.\n\n"))
        << passed.output;
    StopBoard();
    EXPECT_TRUE(
        sameMemory(ReadFile(sourceImage), std::string(0x10104, '\x00') + erased(kFlashSize - 0x10104)));
}

// A fast verify that stops in the middle of its read leaves the flash released: the next run
// identifies it as it is.
TEST_F(ImageCommands, AStoppedFastVerifyDoesNotSpoilTheNextIdentification) {
    const auto segments = marnelImage(0x9F, 0x200);
    std::string memory = withImage(erased(), segments);
    memory[0x3104] = '\x00';
    StartBoard(memory);
    const std::string hex = dir.Path("fw_src.hex");
    WriteFile(hex, ImageText(segments));
    const ToolRun verify = Run({"u1", "FV", hex});
    EXPECT_EQ(verify.exitCode, 255) << verify.output;
    EXPECT_TRUE(contains(verify.output, "Quick Verifiyng Failed at address")) << verify.output;
    const ToolRun read = Run({"src", "u1", "R", "0", "8"});
    EXPECT_EQ(read.exitCode, 0) << read.output;
    EXPECT_TRUE(contains(read.output, "Memory MACRONIX SPI serial flash.\n")) << read.output;
    EXPECT_TRUE(contains(read.output, "00000:\t9f000000\tdec0ddba\t\n")) << read.output;
    StopBoard();
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), memory));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, ABoardGoneDuringAReadEndsWithMinusOne) {
    boardExtra = {"--fault", "gone,after=30"};
    StartBoard();
    const ToolRun run = Run({"src", "u1", "R", "0", "0x400"});
    EXPECT_EQ(run.exitCode, 255) << run.output;
    EXPECT_TRUE(contains(run.output, "Reading eprom...\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "Exception: ")) << run.output;
    StopBoard();
}

// Intel HEX read without the project's code, from the format's definition: every record checked,
// data bytes placed at extended linear address x 0x10000 + offset, the end record last. Writes the
// bytes of [first, first + length) in file order; a byte the file does not hold fails the read.
constexpr const char* kIndependentReader = R"PY(
import sys
data, upper, ended = {}, 0, False
for number, line in enumerate(open(sys.argv[1], newline=""), 1):
    assert line.endswith("\n") and line[0] == ":" and not ended, number
    raw = bytes.fromhex(line[1:-1])
    assert raw[0] == len(raw) - 5 and sum(raw) % 256 == 0, number
    kind, offset, payload = raw[3], raw[1] << 8 | raw[2], raw[4:-1]
    if kind == 0:
        assert len(payload) <= 32 and offset + len(payload) <= 0x10000, number
        for i, b in enumerate(payload):
            data[(upper << 16) + offset + i] = b
    elif kind == 4:
        upper = payload[0] << 8 | payload[1]
    elif kind == 1:
        ended = True
    else:
        sys.exit("record type %d on line %d" % (kind, number))
assert ended
first, length = int(sys.argv[2], 0), int(sys.argv[3], 0)
open(sys.argv[4], "wb").write(bytes(data[first + i] for i in range(length)))
)PY";

TEST_F(ImageCommands, ASavedRangeBurnsBackIntoAFreshBoard) {
    struct Case {
        std::string file;
        std::string memory;
        size_t size;
        uint32_t address;
        uint32_t length;
        std::string fault = "";  // on the board saved from
    };
    // The flash range crosses a 64 KiB segment, the I2C one the EEPROM's 64 KiB block. A word whose
    // answer drowns in a flood is read again at its own address, not taken from the next one.
    const Case cases[] = {{"backup.hex", "memory=mx25", kFlashSize, 0xF800, 0x1000},
                          {"backup.ihex", "memory=mx25", kFlashSize, 0xF800, 0x1000},
                          {"eeprom.hex", "memory=i2c-eeprom,size=128k", 0x20000, 0xF000, 0x2000},
                          {"flooded.hex", "memory=mx25", kFlashSize, 0, 0x100, "flood,after=15,times=1"}};
    const std::string reader = dir.Path("reader.py");
    WriteFile(reader, kIndependentReader);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string memory = AsText(RandomBytes(c.size, c.address + c.size));
        std::remove(sourceImage.c_str());
        sourceSpec = "," + c.memory;
        boardExtra.clear();
        if (!c.fault.empty()) boardExtra = {"--fault", c.fault};
        StartBoard(memory);
        const std::string file = dir.Path(c.file);
        const ToolRun save =
            Run({"src", "u1", "R", std::to_string(c.address), std::to_string(c.length), file});
        EXPECT_EQ(save.exitCode, 0) << save.output;
        EXPECT_TRUE(contains(save.output, "\nTotal bytes: " + std::to_string(c.length) + ". Total time: "))
            << save.output;
        StopBoard();
        ExpectCleanAudit();

        // The file as any reader sees it: a .hex file holds memory in address order, an .ihex file
        // each word least significant byte first.
        const std::string range = memory.substr(c.address, c.length);
        std::string inFile = range;
        if (c.file.ends_with(".ihex"))
            for (size_t w = 0; w < inFile.size(); w += 4)
                std::reverse(inFile.begin() + w, inFile.begin() + w + 4);
        const std::string read = dir.Path("read.bin");
        const std::string command = "python3 " + reader + " " + file + " " +
                                    std::to_string(0x50000000 + c.address) + " " + std::to_string(c.length) +
                                    " " + read;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_TRUE(sameMemory(ReadFile(read), inFile));

        std::remove(sourceImage.c_str());
        boardExtra.clear();
        StartBoard();
        const ToolRun burn = Run({"src", "u1", "OB", file});
        EXPECT_TRUE(contains(burn.output, "Burn succeeded.\n\n")) << burn.output;
        StopBoard();
        EXPECT_TRUE(sameMemory(ReadFile(sourceImage).substr(c.address, c.length), range));
        ExpectCleanAudit();
    }
}

TEST_F(ImageCommands, ASavedBinaryHoldsTheBytesInAddressOrder) {
    const std::string memory = AsText(RandomBytes(0x1000, 5));
    StartBoard(memory);
    const std::string file = dir.Path("part.BIN");
    const ToolRun run = Run({"src", "u1", "R", "0x104", "0x200", file});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "Saving 512 bytes from address 0x104 to file " + file + "\n"))
        << run.output;
    EXPECT_TRUE(contains(run.output, "Save succeeded.\n\n")) << run.output;
    EXPECT_TRUE(sameMemory(ReadFile(file), memory.substr(0x104, 0x200)));
    StopBoard();
    ExpectCleanAudit();
}

TEST_F(ImageCommands, ASaveThatCannotBeMadeLeavesNoFile) {
    boardExtra = {"--fault", "gone,after=600,chip=source"};
    StartBoard();
    WriteFile(dir.Path("old.hex"), "previous");
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
    const Case cases[] = {
        {{"0x3FFFF0", "0x20", dir.Path("past.hex")},
         "Error: the range of 0x20 bytes at 0x3ffff0 runs past the end of the memory (0x400000 bytes).\n"},
        {{"0", "16", dir.Path("x.txt")}, "the name must end in .hex, .ihex or .bin.\n"},
        {{"2", "16", dir.Path("odd.bin")}, "address and length must be multiples of 4.\n"},
        {{"0", "16", dir.Path("none/x.hex")}, "No such file or directory\n"},
        // The board goes away in the middle of the read.
        {{"0", "0x1000", dir.Path("old.hex")},
         "Saving 4096 bytes from address 0x0 to file " + dir.Path("old.hex")},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"src", "u1", "R"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        const ToolRun run = Run(args);
        SCOPED_TRACE(run.output);
        EXPECT_TRUE(contains(run.output, c.message));
        EXPECT_FALSE(contains(run.output, "Save succeeded"));
        EXPECT_EQ(run.exitCode, 255);
        if (c.message.starts_with("Saving")) {
            EXPECT_TRUE(contains(run.output, "Exception: "));
        }
    }
    EXPECT_EQ(ReadFile(dir.Path("old.hex")), "previous");
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        if (entry.is_regular_file()) files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"old.hex"});
    StopBoard();
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

// What a save does to the name it is given on a shared machine: an existing file keeps its mode
// (and owner), a link is written through where the kernel lets the user follow it and stays a
// link, a device or a FIFO stays a node, and a name that cannot be written is refused before the
// read, with its reason on a line of its own.
TEST_F(ImageCommands, ASaveKeepsWhatItsTargetWas) {
    const std::string memory = AsText(RandomBytes(0x1000, 6));
    StartBoard(memory);
    const std::string bytes = memory.substr(0, 16);
    const bool root = geteuid() == 0;
    const std::string w = dir.Path("w");
    ASSERT_EQ(mkdir(w.c_str(), 0755), 0);
    const auto file = [&](const std::string& name, mode_t mode) {
        const std::string path = w + "/" + name;
        WriteFile(path, "old");
        chmod(path.c_str(), mode);
        return path;
    };
    const auto link = [&](const std::string& name, const std::string& to) {
        const std::string path = w + "/" + name;
        symlink(to.c_str(), path.c_str());
        return path;
    };
    const auto holds = [&](const std::string& path, const std::string& content, mode_t mode) {
        EXPECT_EQ(ReadFile(path), content) << path;
        EXPECT_EQ(ModeOf(path), S_IFREG | mode) << path;
    };
    const auto stillLink = [](const std::string& path) { EXPECT_TRUE(S_ISLNK(ModeOf(path))) << path; };
    const std::string denied = "Permission denied\n";

    struct Case {
        std::string target;
        bool saved;
        std::string reason;  // the system text after "Can't write file: TARGET\n"
        std::function<void()> check;
    };
    std::vector<Case> cases;
    for (const mode_t mode : {0600, 0640, 0755}) {
        const std::string path = file("mode" + std::to_string(mode) + ".bin", mode);
        cases.push_back({path, true, "", [=] { holds(path, bytes, mode); }});
    }
    const std::string readOnly = file("read-only.bin", 0444);
    // Root writes it as cp does; an ordinary user is refused as cp refuses.
    cases.push_back(
        {readOnly, root, root ? "" : denied, [=] { holds(readOnly, root ? bytes : "old", 0444); }});
    const std::string real = file("real.bin", 0640);
    const std::string toReal = link("to-real.bin", real);
    cases.push_back({toReal, true, "", [=] {
                         stillLink(toReal);
                         holds(real, bytes, 0640);
                     }});
    const std::string first = file("first.bin", 0644);
    ASSERT_EQ(::link(first.c_str(), (w + "/second.bin").c_str()), 0);
    // Replaced in one step: another hard link keeps the old contents.
    cases.push_back({first, true, "", [=] {
                         holds(first, bytes, 0644);
                         holds(w + "/second.bin", "old", 0644);
                     }});
    const std::string toNull = link("null.bin", "/dev/null");
    cases.push_back({toNull, true, "", [=] {
                         stillLink(toNull);
                         EXPECT_TRUE(S_ISCHR(ModeOf("/dev/null")));
                     }});
    // Written through, so the device's own error ends the run (after the read).
    const std::string toFull = link("full.bin", "/dev/full");
    cases.push_back({toFull, false, "No space left on device\n", [=] {
                         stillLink(toFull);
                         EXPECT_TRUE(S_ISCHR(ModeOf("/dev/full")));
                     }});
    const std::string dangling = link("dangling.bin", w + "/nowhere.bin");
    cases.push_back({dangling, false, "No such file or directory\n", [=] {
                         stillLink(dangling);
                         EXPECT_EQ(ModeOf(w + "/nowhere.bin"), 0u);
                     }});
    const std::string loop = link("loop.bin", w + "/loop.bin");
    cases.push_back({loop, false, "Too many levels of symbolic links\n", [=] { stillLink(loop); }});
    const std::string lonely = w + "/lonely.bin";
    ASSERT_EQ(mkfifo(lonely.c_str(), 0600), 0);
    cases.push_back(
        {lonely, false, "No such device or address\n", [=] { EXPECT_TRUE(S_ISFIFO(ModeOf(lonely))); }});
    const std::string fifo = w + "/fifo.bin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    cases.push_back({fifo, true, "", [=] {
                         EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));
                         char got[64] = {};
                         EXPECT_EQ(read(reader, got, sizeof got), 16);
                         EXPECT_EQ(std::string(got, 16), bytes);
                     }});
    // cp takes the name; a temporary name made from it would be too long. A new file gets 0666
    // less the umask.
    const std::string longName = w + "/" + std::string(249, 'n') + ".bin";
    const mode_t mask = umask(0);
    umask(mask);
    cases.push_back({longName, true, "", [=] { holds(longName, bytes, 0666 & ~mask); }});
    if (root) {
        // Root may keep another user's ownership, and so it does.
        const std::string theirs = file("theirs.bin", 0640);
        ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
        cases.push_back({theirs, true, "", [=] {
                             holds(theirs, bytes, 0640);
                             struct stat info {};
                             stat(theirs.c_str(), &info);
                             EXPECT_EQ(info.st_uid, 65534u);
                             EXPECT_EQ(info.st_gid, 65534u);
                         }});
    }
    if (root) {
        // Another user's link in a sticky world-writable folder, leading to a private file.
        const std::string victim = file("victim.bin", 0600);
        const std::string shared = dir.Path("shared");
        ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
        ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
        const std::string planted = shared + "/backup.bin";
        ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
        ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
        cases.push_back({planted, false, denied, [=] {
                             stillLink(planted);
                             holds(victim, "old", 0600);
                         }});
    }

    for (const Case& c : cases) {
        const ToolRun run = Run({"src", "u1", "R", "0", "16", c.target});
        SCOPED_TRACE(c.target + "\n" + run.output);
        EXPECT_EQ(run.exitCode, c.saved ? 0 : 255);
        EXPECT_EQ(contains(run.output, "Save succeeded.\n"), c.saved);
        if (!c.reason.empty()) {
            EXPECT_TRUE(contains(run.output, "\nCan't write file: " + c.target + "\n" + c.reason));
            // Only a node's own refusal comes after the read: a FIFO is not opened before, since
            // its reader would take that for the end of the data.
            EXPECT_EQ(contains(run.output, "Saving 16 bytes"), c.target == toFull || c.target == lonely);
        }
        c.check();
    }
    close(reader);
    StopBoard();
    ExpectCleanAudit();
    // No temporary file is left anywhere.
    for (const auto& entry : std::filesystem::directory_iterator(w))
        EXPECT_NE(entry.path().filename().string().rfind(".tolvar-", 0), 0u) << entry.path();
}

// A prefix another user could change is refused before anything is made in it, whatever links
// were planted there.
TEST(SharedPrefix, APrefixOthersMayWriteIsRefused) {
    TempDir dir;
    const std::string shared = dir.Path("shared");
    const std::string victim = dir.Path("victim");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(victim.c_str(), 0700), 0);
    ASSERT_EQ(symlink(victim.c_str(), (shared + "/locks").c_str()), 0);
    const ToolRun run = RunTolvar(shared, {"src", "u1", "R", "0", "16"});
    EXPECT_EQ(run.exitCode, 255) << run.output;
    EXPECT_EQ(run.output,
              "The folder " + shared + " may be written by group or others: chmod go-w " + shared + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(victim));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(shared)) ++entries;
    EXPECT_EQ(entries, 1u);  // the planted link alone
}

// A range or an image that reaches past the memory would wrap round to its start, a segment base
// would move the data, a word that is not a number or a line that is not a sound record would put
// something else in the memory than was asked for. Each is refused with its reason before anything
// is erased or written: the E in front of a B would show.
TEST_F(ImageCommands, WhatRunsPastTheMemoryIsRefusedBeforeAnythingIsTouched) {
    StartBoard(std::string(0x20000, '\x00'));
    const auto file = [&](const std::string& name, const std::string& text) {
        WriteFile(dir.Path(name), text);
        return dir.Path(name);
    };
    using testsupport::BaseRecord;
    using testsupport::DataRecord;
    using testsupport::EndRecord;
    const std::string beyond = file("beyond.hex", DataRecord(0, Pattern(16)) + BaseRecord(0x003F) +
                                                      DataRecord(0xFFF8, Pattern(16)) + EndRecord());
    const std::string segment =
        file("segment.hex", ":020000021000EC\n" + DataRecord(0, Pattern(16)) + EndRecord());
    // An 8 KiB image whose line 10 carries a checksum of 00.
    std::string text = ImageText({{0, Pattern(0x2000)}});
    const size_t line10 = [&] {
        size_t at = 0;
        for (int i = 1; i < 10; ++i) at = text.find('\n', at) + 1;
        return at;
    }();
    const size_t checksumAt = text.find('\n', line10) - 2;
    const std::string calculated = text.substr(checksumAt, 2);
    text.replace(checksumAt, 2, "00");
    const std::string line10Text = text.substr(line10, checksumAt + 2 - line10);
    const std::string checksum = file("checksum.hex", text);
    const std::string zees = file("zees.hex", ":5zzzzzzzzzzzzzzzzzzzzzzzz\n:zzzzzz01zz\n");
    const std::string noEnd = file("noend.hex", ImageText({{0, Pattern(0x200)}}, 16, false));
    const std::string lostColon = file("colon.hex", DataRecord(0, Pattern(16)).substr(1) + EndRecord());
    // CR CR LF: the first CR stays in the line, at position 75.
    const std::string withCr = file("cr.hex", ":20000000" + std::string(64, '0') + "E0\r\r\n" + EndRecord());
    const std::string type6 = file("type6.hex", testsupport::RecordLine(6, 0, {1, 2, 3, 4}) + EndRecord());
    const std::string longEnd =
        file("longend.hex", DataRecord(0, Pattern(16)) + testsupport::RecordLine(1, 0, {0}));
    const std::string overlap =
        file("overlap.hex", DataRecord(0x100, std::vector<uint8_t>(8, 0xF0)) + DataRecord(0x108, Pattern(8)) +
                                DataRecord(0x100, std::vector<uint8_t>(8, 0x0F)) + EndRecord());
    const std::string textName = file("fw.txt", DataRecord(0, Pattern(16)) + EndRecord());
    const std::string fifo = dir.Path("fifo.hex");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
    const std::string past = " runs past the end of the memory (0x400000 bytes).\n";
    const std::string notANumber = "' is not a number (decimal, 0x hexadecimal or b binary).\n";
    const auto hex4 = [](uint16_t value) {
        char digits[5];
        std::snprintf(digits, sizeof digits, "%04x", value);
        return std::string(digits);
    };
    const auto window = [&](const std::string& name, uint16_t value) {
        return "Record on line 1 of file " +
               file(name, BaseRecord(value) + DataRecord(0, std::vector<uint8_t>(16, 0x5A)) + EndRecord()) +
               " sets the extended linear address 0x" + hex4(value) +
               ", which does not address the memory of 0x400000 bytes.\n";
    };
    const Case cases[] = {
        // A word that is not wholly a number stops the run before the link is opened.
        {{"src", "u1", "ES", "1e5", "4096"}, "ES 1e5 4096 \nError: '1e5" + notANumber},
        {{"src", "u1", "ES", "65,536", "4096"}, "ES 65,536 4096 \nError: '65,536" + notANumber},
        {{"src", "u1", "ES", "0x1_0000", "4096"}, "ES 0x1_0000 4096 \nError: '0x1_0000" + notANumber},
        {{"src", "u1", "ES", "", "4096"}, "ES  4096 \nError: '" + notANumber},
        {{"src", "u1", "EB", "0", "1 "}, "EB 0 1  \nError: '1 " + notANumber},
        {{"src", "u1", "FF", "8", "0x5A."}, "FF 8 0x5A. \nError: '0x5A." + notANumber},
        {{"src", "u1x", "R", "0", "16"},
         "u1x R 0 16 \nError: '1x' in 'u1x" + notANumber +
             "A port word is u followed by a number, a device path (u/dev/ttyACM0) or a network port "
             "(usocket://HOST:PORT, urfc2217://HOST:PORT).\n"},
        {{"src", "u1", "ES", "0x1000000", "16"}, "Error: the range of 0x10 bytes at 0x1000000" + past},
        {{"src", "u1", "EB", "0x3F0000", "0x10001"}, "Error: the range of 0x10001 bytes at 0x3f0000" + past},
        {{"src", "u1", "FF", "0x400004", "0x5A"}, "Error: the range of 0x400004 bytes at 0x0" + past},
        {{"src", "u1", "R", "0", "-4"}, "Error: the range of 0xfffffffc bytes at 0x0" + past},
        {{"src", "u1", "OB", beyond},
         "Data at 0x3ffff8-0x400007 on line 3 of file " + beyond +
             " lies beyond the memory of 0x400000 bytes.\n"},
        {{"src", "u1", "OB", segment},
         "Record on line 1 of file " + segment + " sets the segment base 0x1000, which is not supported.\n"},
        // Every line is checked before the first erase, the E of EOBV included.
        {{"src", "u1", "EOBV", checksum},
         "Record on line 10 of file " + checksum + " is not valid: '" + line10Text +
             "'\nThe checksum at the end of the record is: '0x00', but calculated: 0x" + calculated + ".\n"},
        {{"src", "u1", "EOB", zees},
         "Record on line 1 of file " + zees +
             " is not valid: ':5zzzzzzzzzzzzzzzzzzzzzzzz'\nA non-hex digit is occurred: 'z'  (at position: "
             "2).\n"},
        {{"src", "u1", "V", noEnd},
         "No end of file encountered. Error on reading file.\nFile " + noEnd + " has no end record.\n"},
        {{"src", "u1", "OU", lostColon},
         "Record on line 1 of file " + lostColon + " is not valid: '" +
             testsupport::Data(0, Pattern(16)).substr(1) +
             "'\nThe first character is expected to be: ':',  but got: '1'.\n"},
        {{"src", "u1", "OB", withCr},
         "Record on line 1 of file " + withCr + " is not valid: '..." + std::string(37, '0') +
             "E0\\r'\nA non-hex digit is occurred: '\\r'  (at position: 75).\n"},
        {{"src", "u1", "OB", type6},
         "Record on line 1 of file " + type6 + " is not valid: '" + testsupport::Record(6, 0, {1, 2, 3, 4}) +
             "'\nThe record type 0x06 is not one of 00 to 05.\n"},
        {{"src", "u1", "OB", longEnd},
         "Record on line 2 of file " + longEnd + " is not valid: '" + testsupport::Record(1, 0, {0}) +
             "'\nA record of type 0x01 needs 0 data bytes, but has 1.\n"},
        // Data past the memory through the segment bits: only segments of the memory, or the
        // library's 0x5000 window, are taken.
        {{"src", "u1", "OB", dir.Path("w40.hex")}, window("w40.hex", 0x0040)},
        {{"src", "u1", "OB", dir.Path("w41.hex")}, window("w41.hex", 0x0041)},
        {{"src", "u1", "OB", dir.Path("w8000.hex")}, window("w8000.hex", 0x8000)},
        {{"src", "u1", "OB", dir.Path("w100.hex")}, window("w100.hex", 0x0100)},
        {{"src", "u1", "OB", overlap},
         "Line 3 of file " + overlap + " gives the byte at 0x100 the value 0x0f, but line 1 gave it 0xf0.\n"},
        {{"src", "u1", "OB", textName},
         "The image file " + textName +
             " must be named .hex (each word most significant byte first) or .ihex (bytes in image "
             "order).\n"},
        {{"src", "u1", "OB", fifo},
         "Can't open file: " + fifo +
             "\nIt is not a regular file: an image is read more than once, which a pipe or a device cannot "
             "give.\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Run(c.words);
        EXPECT_EQ(run.exitCode, 255) << run.output;
        EXPECT_TRUE(contains(run.output, c.message + "Error occurred. Press any key to continue . . .\n"))
            << run.output;
    }
    StopBoard();
    std::string expected = erased();
    expected.replace(0, 0x20000, std::string(0x20000, '\x00'));
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), expected));
    ExpectCleanAudit();
}

// Every memory kind on both sides, slow and fast, from images of whole aligned words and from
// images of short records at odd addresses that cross 128-byte edges: the memory the board saves
// holds the image's bytes where the file puts them and nothing else changed.
struct KindCase {
    const char* name;
    const char* chip;  // board chip setting, the same on both sides
    uint32_t size;
    bool fast;
};

const KindCase kKinds[] = {
    {"spi eeprom", "memory=spi-eeprom,size=64k", 0x10000, false},
    {"ostral i2c", "family=ostral,memory=i2c-eeprom,size=64k", 0x10000, false},
    {"macronix", "memory=mx25", 0x400000, false},
    {"macronix fast", "memory=mx25", 0x400000, true},
    {"spansion fast", "memory=spansion", 0x400000, true},
    {"marnel i2c 64k", "memory=i2c-eeprom,size=64k", 0x10000, false},
    {"marnel i2c 64k fast", "memory=i2c-eeprom,size=64k", 0x10000, true},
    {"marnel i2c 128k fast", "memory=i2c-eeprom,size=128k", 0x20000, true},
};

bool isFlash(const KindCase& c) {
    return c.size == 0x400000;
}
bool isI2c(const KindCase& c) {
    return std::string(c.chip).find("i2c") != std::string::npos;
}

// Image bytes by address, and the Intel HEX text that carries them in records of the given sizes
// (cycled), with a harmless zero segment record in front.
struct Image {
    std::vector<std::pair<uint32_t, uint8_t>> bytes;
    std::string text;
};

Image makeImage(uint32_t size, bool odd, unsigned seed) {
    const std::vector<size_t> lengths =
        odd ? std::vector<size_t>{3, 5, 1, 7, 2, 6, 4} : std::vector<size_t>{16};
    std::vector<Segment> segments = odd ? std::vector<Segment>{{0x0003, Pattern(0x3F1, seed)},
                                                               {0x0410, Pattern(3, seed + 1)},
                                                               {0x0421, Pattern(1, seed + 2)},
                                                               {0x7F7E, Pattern(0x105, seed + 3)}}
                                        : std::vector<Segment>{{0x0000, Pattern(0x200, seed)},
                                                               {0x0440, Pattern(0x60, seed + 1)},
                                                               {0x7F00, Pattern(0x100, seed + 2)}};
    if (size > 0x10000) segments.push_back({odd ? 0xFF83u : 0xFF80u, Pattern(0x100, seed + 4)});
    Image image;
    image.text = testsupport::RecordLine(2, 0, {0, 0});
    uint32_t base = 0;
    size_t n = 0;
    for (const Segment& s : segments) {
        for (size_t i = 0; i < s.bytes.size();) {
            const uint32_t address = s.address + static_cast<uint32_t>(i);
            if ((address >> 16) != base) {
                base = address >> 16;
                image.text += testsupport::BaseRecord(static_cast<uint16_t>(base));
            }
            const size_t length = std::min(
                {lengths[n++ % lengths.size()], s.bytes.size() - i, size_t{0x10000 - (address & 0xFFFF)}});
            image.text += testsupport::DataRecord(
                static_cast<uint16_t>(address),
                std::vector<uint8_t>(s.bytes.begin() + static_cast<long>(i),
                                     s.bytes.begin() + static_cast<long>(i + length)));
            for (size_t k = 0; k < length; ++k) image.bytes.emplace_back(address + k, s.bytes[i + k]);
            i += length;
        }
    }
    image.text += testsupport::EndRecord();
    return image;
}

// The memory before: flash erased, an EEPROM full of one value that no image byte shares with
// the erased state, so a byte written that the image does not give shows.
std::string before(const KindCase& c) {
    return std::string(c.size, isFlash(c) ? '\xFF' : '\x5A');
}

// What the burn must leave: the EEPROM without an I2C bus is burned without erase (N); the I2C
// burn clears the update-section mark 16 bytes before the end of the memory first.
std::string expected(const KindCase& c, const Image& image) {
    std::string memory = before(c);
    if (isI2c(c)) memory.replace(c.size - 16, 4, std::string(4, '\0'));
    for (const auto& [address, byte] : image.bytes) memory[address] = static_cast<char>(byte);
    return memory;
}

std::string letters(const KindCase& c) {
    std::string word = c.fast ? "FOBV" : "OBV";
    if (!isFlash(c) && !isI2c(c)) word = "N" + word;
    return word;
}

void PrintTo(const KindCase& c, std::ostream* out) {
    *out << c.name;
}

// How the tool reaches the board's ports: the ptys themselves, or ser2net in front of them, raw or
// with RFC 2217, named by dosdevices/com1 and com2 (so the search goes through the server too).
enum class Path { Pty, RawServer, Rfc2217Server };

void PrintTo(Path path, std::ostream* out) {
    constexpr const char* kNames[] = {"pty", "raw server", "rfc2217 server"};
    *out << kNames[static_cast<int>(path)];
}

// One case a memory kind, a record shape and a path, so the cases run side by side.
class EveryByteLands : public ::testing::TestWithParam<std::tuple<KindCase, bool, Path>> {};

TEST_P(EveryByteLands, EveryKindSideModeAndRecordShape) {
    const auto& [c, odd, path] = GetParam();
    TempDir dir;
    const std::string images[2] = {dir.Path("sink.bin"), dir.Path("source.bin")};
    for (const std::string& image : images) WriteFile(image, before(c));
    const std::string audit = dir.Path("audit.txt");
    const std::string prefix = dir.Path("prefix");
    // Served through ser2net, the board's ports are com11 and com12, out of the search's way.
    const bool served = path != Path::Pty;
    BoardProcess board(
        prefix,
        {"--source", std::string(c.chip) + ",image=" + images[1] + (served ? ",uart=com11" : ""), "--sink",
         std::string(c.chip) + ",image=" + images[0] + (served ? ",uart=com12" : ""), "--audit", audit});
    ASSERT_TRUE(board.Started());
    std::unique_ptr<PortServer> servers[2];
    if (served) {
        const ServerMode mode = path == Path::RawServer ? ServerMode::Raw : ServerMode::Rfc2217;
        for (int side : {0, 1}) {
            servers[side] = std::make_unique<PortServer>(
                dir, prefix + "/dosdevices/com1" + (side == 1 ? "1" : "2"), mode);
            ASSERT_TRUE(servers[side]->Listening()) << servers[side]->Server().Poll(0);
            WriteFile(prefix + "/dosdevices/com" + (side == 1 ? "1" : "2"), servers[side]->Url() + "\n");
        }
    }
    Image written[2];
    for (int side : {0, 1}) {
        written[side] = makeImage(c.size, odd, 10 + static_cast<unsigned>(side));
        const std::string hex = dir.Path("fw.hex");
        WriteFile(hex, written[side].text);
        const ToolRun run = RunTolvar(dir.Path("prefix"), {side == 1 ? "uasrc" : "uasnk", letters(c), hex});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(contains(run.output, "Verification succeeded!!! :-)\n\n")) << run.output;
    }
    EXPECT_EQ(board.Stop(), 0);
    for (int side : {0, 1})
        EXPECT_TRUE(sameMemory(ReadFile(images[side]), expected(c, written[side]))) << "side " << side;
    EXPECT_EQ(ReadFile(audit), "audit: 0 finding(s)\n");
}

std::string EveryByteLandsName(const ::testing::TestParamInfo<std::tuple<KindCase, bool, Path>>& info) {
    constexpr const char* kPaths[] = {"", " raw server", " rfc2217 server"};
    std::string name = std::string(std::get<0>(info.param).name) +
                       (std::get<1>(info.param) ? " odd" : " aligned") +
                       kPaths[static_cast<int>(std::get<2>(info.param))];
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(System, EveryByteLands,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Bool(),
                                            ::testing::Values(Path::Pty)),
                         EveryByteLandsName);
// Through a port server, the aligned shape is enough: the bytes are the same, only the path differs.
INSTANTIATE_TEST_SUITE_P(PortServer, EveryByteLands,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Values(false),
                                            ::testing::Values(Path::RawServer, Path::Rfc2217Server)),
                         EveryByteLandsName);

}  // namespace
