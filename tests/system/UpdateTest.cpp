// The letter U through the real Tolvar against tolvar-board: whatever the memory held, every unit
// the image touches ends as a burn leaves it, nothing else changes, and only the units that differed
// are counted as rewritten.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "tests/support/BenchServers.h"
#include "tests/support/BoardProcess.h"
#include "tests/support/HexText.h"
#include "tests/support/TempDir.h"
#include "tests/support/ToolProcess.h"

namespace {

using namespace testsupport;

enum class Memory { Flash, SpiEeprom, I2cEeprom };

constexpr size_t kFlashSize = 0x400000;
constexpr size_t kSpiEepromSize = 0x10000;
// A Marnel I2C EEPROM is taken as 128 KiB: its update mark lies 16 bytes before that end.
constexpr size_t kI2cEepromSize = 0x20000;
constexpr size_t kSector = 0x1000;
constexpr size_t kPage = 128;
constexpr size_t kUpdateMark = kI2cEepromSize - 16;

size_t MemorySize(Memory memory) {
    return memory == Memory::Flash       ? kFlashSize
           : memory == Memory::SpiEeprom ? kSpiEepromSize
                                         : kI2cEepromSize;
}

// A source firmware image: the header the image check looks for at 0, then data in two segments.
// Whole: the segments fill their sectors; otherwise they start and end inside sectors and pages.
std::vector<Segment> Firmware(bool whole, unsigned seed) {
    std::vector<uint8_t> first = Pattern(whole ? 2 * kSector : 0x1234, seed);
    const std::vector<uint8_t> header = MarnelHeader(0x9F);
    std::copy(header.begin(), header.end(), first.begin());
    if (whole) return {{0x0000, first}, {0x5000, Pattern(kSector, seed + 1)}};
    return {{0x0000, first}, {0x5013, Pattern(0x1E9, seed + 1)}};
}

// Where an image byte lands: with an extension other than "hex" each aligned 4-byte cell is turned
// around.
size_t Landing(size_t address, bool hexOrder) {
    return hexOrder ? address : (address & ~size_t{3}) | (3 - (address & 3));
}

void Overlay(std::vector<uint8_t>& memory, const std::vector<Segment>& image, bool hexOrder) {
    for (const Segment& s : image) {
        for (size_t i = 0; i < s.bytes.size(); ++i) memory[Landing(s.address + i, hexOrder)] = s.bytes[i];
    }
}

// What a burn leaves: on a flash the touched sectors erased first; on an I2C EEPROM the update mark
// cleared. (A burn erases a whole SPI EEPROM; an update leaves its untouched bytes alone.)
std::vector<uint8_t> Burned(std::vector<uint8_t> memory, const std::vector<Segment>& image, Memory kind,
                            bool hexOrder) {
    if (kind == Memory::Flash) {
        for (const Segment& s : image) {
            const size_t from = s.address - s.address % kSector;
            const size_t to = (s.address + s.bytes.size() + kSector - 1) / kSector * kSector;
            std::fill(memory.begin() + from, memory.begin() + to, 0xFF);
        }
    } else if (kind == Memory::I2cEeprom) {
        std::fill_n(memory.begin() + kUpdateMark, 4, 0x00);
    }
    Overlay(memory, image, hexOrder);
    return memory;
}

// Units the image touches.
size_t Touched(const std::vector<Segment>& image, size_t unit) {
    std::vector<size_t> units;
    for (const Segment& s : image) {
        for (size_t a = s.address / unit; a <= (s.address + s.bytes.size() - 1) / unit; ++a)
            units.push_back(a);
    }
    std::sort(units.begin(), units.end());
    return static_cast<size_t>(std::unique(units.begin(), units.end()) - units.begin());
}

struct Case {
    const char* name;
    Memory memory;
    bool bench;
    const char* letters;
    bool wholeSectors;
    // The memory before the run, from the old content and what a burn of the image leaves.
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>& old, const std::vector<uint8_t>& burned)>
        before;
    size_t rewritten;  // kAll: every touched unit
    const char* file = "fw_src.hex";
};

constexpr size_t kAll = SIZE_MAX;

std::vector<uint8_t> Same(const std::vector<uint8_t>&, const std::vector<uint8_t>& burned) {
    return burned;
}
std::vector<uint8_t> Old(const std::vector<uint8_t>& old, const std::vector<uint8_t>&) {
    return old;
}
// One byte of the image changed in the second sector (and the second page).
std::vector<uint8_t> OneChanged(const std::vector<uint8_t>&, const std::vector<uint8_t>& burned) {
    std::vector<uint8_t> memory = burned;
    memory[0x1084] ^= 0x5A;
    return memory;
}
// The image's bytes all in place, but a byte the image does not cover in a touched sector is not
// erased: a burn would have erased it.
std::vector<uint8_t> StrayByte(const std::vector<uint8_t>&, const std::vector<uint8_t>& burned) {
    std::vector<uint8_t> memory = burned;
    memory[0x5008] = 0x00;
    return memory;
}

// Writes the prefix's bench configuration; the board's arguments that serve the bench link.
std::vector<std::string> BenchBoard(const TempDir& dir) {
    PointAtClosedPort();
    std::filesystem::create_directories(dir.Path("prefix"));
    WriteFile(dir.Path("prefix/user.reg"),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VB and VBA Program "
              "Settings\\Talmer\\Startup]\n\"SelectedInterface\"=\"0\"\n\"comPort2\"=\"7\"\n");
    return {"--bench", std::getenv("TOLVAR_BENCH_PORT")};
}

TEST(Update, LeavesWhatABurnLeavesRewritingOnlyWhatDiffers) {
    const Case cases[] = {
        {"identical flash, slow", Memory::Flash, false, "U", true, Same, 0},
        {"identical flash, fast, verified", Memory::Flash, false, "FUV", true, Same, 0},
        {"one flash sector changed, slow", Memory::Flash, false, "U", true, OneChanged, 1},
        {"one flash sector changed, fast", Memory::Flash, false, "FU", true, OneChanged, 1},
        {"partial sectors over old data, fast", Memory::Flash, false, "FU", false, Old, kAll},
        {"partial sectors, a stray byte", Memory::Flash, false, "U", false, StrayByte, 1},
        {"SPI EEPROM, one page changed", Memory::SpiEeprom, false, "UV", false, OneChanged, 1},
        {"SPI EEPROM over old data", Memory::SpiEeprom, false, "U", false, Old, kAll},
        {"I2C EEPROM over old data, fast", Memory::I2cEeprom, false, "FUV", false, Old, kAll},
        {"I2C EEPROM, one page changed, slow", Memory::I2cEeprom, false, "U", true, OneChanged, 1},
        {"I2C EEPROM, cells turned around", Memory::I2cEeprom, false, "FUV", false, Old, kAll, "fw_src.ihex"},
        {"flash, cells turned around", Memory::Flash, false, "UV", false, StrayByte, 1, "fw_src.ihex"},
        {"bench link, one sector changed", Memory::Flash, true, "U", true, OneChanged, 1},
        {"bench link, partial sectors over old data", Memory::Flash, true, "UV", false, Old, kAll},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string chip = c.memory == Memory::Flash       ? ""
                                 : c.memory == Memory::SpiEeprom ? ",memory=spi-eeprom,size=64k"
                                                                 : ",memory=i2c-eeprom,size=128k";
        const std::string saved = dir.Path("source.bin");
        const std::vector<Segment> image = Firmware(c.wholeSectors, 7);
        const std::vector<uint8_t> old = RandomBytes(MemorySize(c.memory), 3);
        const bool hexOrder = std::string(c.file).ends_with(".hex");
        const std::vector<uint8_t> burned = Burned(old, image, c.memory, hexOrder);
        WriteFile(saved, AsText(c.before(old, burned)));
        const std::string hex = dir.Path(c.file);
        WriteFile(hex, ImageText(image));

        std::vector<std::string> boardArgs = {"--source", "image=" + saved + chip, "--audit",
                                              dir.Path("audit")};
        std::vector<std::string> args = {"src", "u1", c.letters, hex};
        if (c.bench) {
            const std::vector<std::string> bench = BenchBoard(dir);
            boardArgs.insert(boardArgs.end(), bench.begin(), bench.end());
            args = {"src", "d", c.letters, hex};
        }
        BoardProcess board(dir.Path("prefix"), boardArgs);
        ASSERT_TRUE(board.Started());
        const ToolRun run = RunTolvar(dir.Path("prefix"), args);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        const size_t touched = Touched(image, c.memory == Memory::Flash ? kSector : kPage);
        const size_t rewritten = c.rewritten == kAll ? touched : c.rewritten;
        const std::string counts = "\nUpdate: " + std::to_string(touched - rewritten) + " " +
                                   (c.memory == Memory::Flash ? "sectors" : "pages") +
                                   " unchanged and skipped, " + std::to_string(rewritten) + " rewritten.\n";
        EXPECT_NE(run.output.find(counts), std::string::npos) << counts << run.output;
        EXPECT_NE(run.output.find("Burn succeeded.\n"), std::string::npos) << run.output;
        if (std::string(c.letters).find('V') != std::string::npos) {
            EXPECT_NE(run.output.find("Verification succeeded!!! :-)\n"), std::string::npos) << run.output;
        }
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(ReadFile(dir.Path("audit")), "audit: 0 finding(s)\n");
        const std::vector<uint8_t> after = ReadBytes(saved);
        ASSERT_EQ(after.size(), burned.size());
        const auto diff = std::mismatch(after.begin(), after.end(), burned.begin());
        EXPECT_TRUE(diff.first == after.end())
            << "the memory is not what a burn leaves, from 0x" << std::hex << (diff.first - after.begin());
    }
}

TEST(Update, LinkFailureInsideTheCompareEndsWithTheExceptionLine) {
    // The fault lands while U compares the unit with the image, before anything is written.
    const struct {
        const char* fault;
        const char* prefix;
        const char* letters;
        Memory memory;
    } cases[] = {
        {"--fault=flood,after=22,times=1", "u1", "FOU", Memory::Flash},
        {"--fault=silence,after=64,times=0", "u1", "OU", Memory::Flash},
        {"--fault=silence,after=64,times=0", "u1", "FOU", Memory::Flash},
        {"--fault=gone,after=22", "u1", "FOU", Memory::Flash},
        {"--fault=gone,after=64", "u1", "OU", Memory::Flash},
        {"--bench-fault=read@40", "d", "OU", Memory::SpiEeprom},
        {"--bench-fault=read@40", "d", "OU", Memory::Flash},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " " + c.letters);
        TempDir dir;
        const std::string saved = dir.Path("source.bin");
        const std::vector<Segment> image = {{0x1000, Pattern(256, 11)}};
        // All of the unit matches but its last byte, so the whole unit is compared.
        std::vector<uint8_t> before = Burned(RandomBytes(MemorySize(c.memory), 5), image, c.memory, true);
        before[0x1FFF] ^= 0x01;
        WriteFile(saved, AsText(before));
        WriteFile(dir.Path("fw.hex"), ImageText(image));
        const std::string option = c.fault;
        const size_t equals = option.find('=');
        std::vector<std::string> boardArgs = {
            "--source", "image=" + saved + (c.memory == Memory::Flash ? "" : ",memory=spi-eeprom,size=64k"),
            option.substr(0, equals), option.substr(equals + 1)};
        if (std::string(c.prefix) == "d") {
            const std::vector<std::string> bench = BenchBoard(dir);
            boardArgs.insert(boardArgs.end(), bench.begin(), bench.end());
        }
        BoardProcess board(dir.Path("prefix"), boardArgs);
        ASSERT_TRUE(board.Started());
        const TimedRun run = RunTimed(
            dir.Path("prefix"), std::string("src ") + c.prefix + " " + c.letters + " " + dir.Path("fw.hex"));
        EXPECT_EQ(run.signal, 0) << run.out;
        EXPECT_EQ(run.code, 255) << run.out;
        EXPECT_NE(run.out.find("Exception: "), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("terminate called"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("succeeded"), std::string::npos) << run.out;
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_TRUE(ReadBytes(saved) == before) << "the memory changed";
    }
}

TEST(Update, MemoryThatRefusesTheWritesNeverEndsAsASuccess) {
    // A source firmware of 256 bytes at 0: two EEPROM pages, one flash sector.
    std::vector<uint8_t> bytes = Pattern(256, 21);
    const uint8_t header[] = {0x9F, 0x00, 0x00, 0x00, 0xDE, 0xC0, 0xDD, 0xBA};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    enum class Left { Unchanged, SectorErased, ImageAndedIn };
    const struct {
        const char* name;
        const char* chip;
        const char* fault;
        const char* arguments;
        Left left;
        const char* error;
    } cases[] = {
        // Write protected once the negotiation is done: the erase goes through, then the status
        // shows the protection while it is waited for.
        {"protected, OB", "", "status,after=60", "u1 OB", Left::SectorErased,
         "Error: the memory reports itself write protected (status 0x9c)"},
        {"protected, FOU", "", "status,after=60", "u1 FOU", Left::SectorErased,
         "Error: the memory reports itself write protected (status 0x9c)"},
        // Protected before the negotiation: nothing is erased.
        {"protected, OU", "", "status,after=60", "u1 OU", Left::Unchanged,
         "Error: Could not negotiate with serial flash."},
        // A flash driven as an EEPROM is written over without an erase: its cells only go to 0.
        {"flash driven as an EEPROM", "", "", "u1 s OU", Left::ImageAndedIn,
         "Error: 2 of the 2 rewritten pages still differ from the image, the first at 0x0"},
        {"flash on an Ostral chip", ",family=ostral,memory=mx25", "", "u1 OU", Left::ImageAndedIn,
         "Error: 2 of the 2 rewritten pages still differ from the image, the first at 0x0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string saved = dir.Path("source.bin");
        const std::vector<uint8_t> old = RandomBytes(kFlashSize, 9);
        WriteFile(saved, AsText(old));
        WriteFile(dir.Path("fw.hex"), ImageText({{0, bytes}}));
        std::vector<std::string> boardArgs = {"--source", "image=" + saved + c.chip};
        if (*c.fault) boardArgs.insert(boardArgs.end(), {"--fault", c.fault});
        BoardProcess board(dir.Path("prefix"), boardArgs);
        ASSERT_TRUE(board.Started());
        const TimedRun run =
            RunTimed(dir.Path("prefix"), std::string("src ") + c.arguments + " " + dir.Path("fw.hex"));
        EXPECT_EQ(run.code, 255) << run.out;
        EXPECT_NE(run.out.find(c.error), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("succeeded"), std::string::npos) << run.out;
        EXPECT_EQ(board.Stop(), 0);
        std::vector<uint8_t> expected = old;
        if (c.left == Left::SectorErased) std::fill_n(expected.begin(), kSector, 0xFF);
        if (c.left == Left::ImageAndedIn)
            for (size_t i = 0; i < bytes.size(); ++i) expected[i] &= bytes[i];
        const std::vector<uint8_t> after = ReadBytes(saved);
        ASSERT_EQ(after.size(), expected.size());
        const auto diff = std::mismatch(after.begin(), after.end(), expected.begin());
        EXPECT_TRUE(diff.first == after.end()) << "the memory differs from what the run left, from 0x"
                                               << std::hex << (diff.first - after.begin());
    }
}

}  // namespace
