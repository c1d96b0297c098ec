// The image commands through the real Tolvar, over pseudo-terminals to tolvar-board: transcripts,
// exit codes, and the memory the board saves at its exit.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "tests/support/HexText.h"
#include "tests/support/BoardProcess.h"
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
    std::vector<uint8_t> header = {sideByte, 0x00, 0x00, 0x00, 0xDE, 0xC0, 0xDD, 0xBA};
    const auto rest = Pattern(firstRecords - header.size(), 11);
    header.insert(header.end(), rest.begin(), rest.end());
    return {{0x0000, header}, {0x3010, Pattern(0x1F0, 12)}, {0xFF00, Pattern(0x300, 13)}};
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
        std::vector<std::string> args{"--source", "image=" + sourceImage + sourceSpec, "--sink",
                                      "image=" + sinkImage, "--audit", audit};
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
    const ToolRun blocks = Run({"src", "u1", "EB", "0x20fff", "79999"});
    EXPECT_EQ(blocks.exitCode, 0) << blocks.output;
    StopBoard();
    std::string expected(kFlashSize, '\xFF');
    expected.replace(0, 0x60000, std::string(0x60000, '\x00'));
    expected.replace(0x1000, 0x1000, std::string(0x1000, '\xFF'));
    expected.replace(0x20000, 0x20000, std::string(0x20000, '\xFF'));
    EXPECT_TRUE(sameMemory(ReadFile(sourceImage), expected));
    ExpectCleanAudit();
}

TEST_F(ImageCommands, ABadImageStopsWithTheErrorPause) {
    StartBoard();
    struct Case {
        std::string path;
        std::string message;
    };
    const std::string cut = dir.Path("cut.hex");
    WriteFile(cut, ":10000000AABB\n:00000001FF\n");
    const Case cases[] = {
        {dir.Path("missing.hex"), "Can't open file: " + dir.Path("missing.hex") + "\n"},
        {dir.Path(""), "Can't open file: " + dir.Path("") + "\n"},
        {cut, "Record on line 1 of file " + cut + " runs past the end of its line.\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Run({"src", "u1", "OB", c.path});
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

}  // namespace
