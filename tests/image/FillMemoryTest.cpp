// Fill against the simulated board: the cells written, the read-back, the stop on a mismatch.
#include <gtest/gtest.h>

#include <algorithm>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "image/ImageOps.h"
#include "link/TargetSession.h"
#include "tests/support/BoardRig.h"
#include "tests/support/Console.h"
#include "tests/support/HexText.h"

namespace {

using namespace testsupport;

// The pattern's bytes as the memory holds them: most significant first.
std::vector<uint8_t> filled(uint32_t bytes, uint32_t pattern) {
    std::vector<uint8_t> cells;
    for (uint32_t a = 0; a < bytes; ++a) cells.push_back(static_cast<uint8_t>(pattern >> (24 - 8 * (a % 4))));
    return cells;
}

TEST(FillMemory, WritesWholeWordsAndReadsBackAtMostOneKilobyte) {
    struct Case {
        const char* setting;
        uint32_t length;
        uint32_t written;  // whole words
        uint32_t pattern;
    };
    const Case cases[] = {
        {"memory=mx25", 256, 256, 0x5A},
        {"memory=mx25", 6, 8, 0xA1B2C3D4},
        {"memory=mx25", 0x1000, 0x1000, 0x12345678},
        {"memory=spi-eeprom,size=64k", 0x204, 0x204, 0xCAFEF00D},
        {"memory=i2c-eeprom,size=128k", 0x90, 0x90, 0x01020304},
        {"family=ostral,memory=i2c-eeprom,size=64k", 0x81, 0x84, 0x55AA55AA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + " length " + std::to_string(c.length));
        ConsoleRecorder console;
        BoardRig rig(c.setting);
        const int32_t kind = rig.Connect(1);
        const std::vector<uint8_t> before = rig.Memory(1);
        console.printed.clear();
        try {
            fillMemory(c.length, c.pattern, kind);
        } catch (const ProcessExit&) {
            ADD_FAILURE() << console.printed;
            continue;
        }
        const auto& memory = rig.Memory(1);
        EXPECT_EQ(std::vector<uint8_t>(memory.begin(), memory.begin() + c.written),
                  filled(c.written, c.pattern));
        EXPECT_TRUE(std::equal(memory.begin() + c.written, memory.end(), before.begin() + c.written));
        EXPECT_EQ(console.printed.find(formatText("Filling Eprom from address 0x0 to 0x%x with data 0x%x\n",
                                                  c.length, c.pattern)),
                  0u)
            << console.printed;
        EXPECT_NE(console.printed.find(formatText("\nTotal bytes: %d. Total time: ", c.length)),
                  std::string::npos);
        const std::string tail = "Verify filling eprom...\nReading eprom...\nEnd filling Eprom.\n\n";
        ASSERT_GE(console.printed.size(), tail.size());
        EXPECT_EQ(console.printed.substr(console.printed.size() - tail.size()), tail) << console.printed;
        EXPECT_EQ(rig.EndAndAudit(), "");
    }
}

TEST(FillMemory, ZeroLengthWritesNothing) {
    ConsoleRecorder console;
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    const std::vector<uint8_t> before = rig.Memory(1);
    console.printed.clear();
    fillMemory(0, 0x5A, kind);
    EXPECT_EQ(rig.Memory(1), before);
    EXPECT_NE(console.printed.find("\nTotal bytes: 0. Total time: "), std::string::npos);
    EXPECT_NE(console.printed.find("End filling Eprom.\n\n"), std::string::npos);
    EXPECT_EQ(rig.EndAndAudit(), "");
}

TEST(FillMemory, AWordThatDoesNotTakeThePatternStopsTheRun) {
    ConsoleRecorder console;
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    // Flash programming only clears bits: a cell already at 0 keeps the word from taking the pattern.
    rig.Memory(1)[0xF] = 0x00;
    console.printed.clear();
    try {
        fillMemory(0x100, 0x5A, kind);
        ADD_FAILURE() << "the fill went on";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.code, -1);
    }
    EXPECT_NE(console.printed.find("Error filling eprom!. Address 0xc, fill: 0x00005a, read: 00000000\n"),
              std::string::npos)
        << console.printed;
    EXPECT_EQ(console.printed.find("End filling Eprom."), std::string::npos);
    EXPECT_EQ(console.pauses, 1);
}

TEST(FillMemory, ProgressOffShowsNoProgress) {
    ConsoleRecorder console;
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    Session().options.progress = false;
    fillMemory(0x10000, 0x5A, kind);
    EXPECT_TRUE(console.progress.empty());
    Session().options.progress = true;
    console.progress.clear();
    fillMemory(0x10000, 0x5A, kind);
    ASSERT_GE(console.progress.size(), 3u);
    EXPECT_EQ(console.progress.front(), 0);
    EXPECT_EQ(console.progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(console.progress.begin(), console.progress.end()));
}

}  // namespace
