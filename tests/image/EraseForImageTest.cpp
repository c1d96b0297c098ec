// Partial erase against the simulated flash: which erase commands reach the memory bus.
#include <gtest/gtest.h>

#include "console/CxException.h"
#include "flash/FlashDriver.h"
#include "image/FlashMap.h"
#include "link/TargetSession.h"
#include "tests/support/BoardRig.h"
#include "tests/support/Console.h"
#include "tests/support/HexText.h"

namespace {

using namespace testsupport;

TEST(EraseForImage, ErasesWhatTheRecordsTouch) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> erases;
    };
    std::string everySector;
    for (uint32_t s = 0; s < 16; ++s)
        everySector += DataRecord(static_cast<uint16_t>(s * 0x1000 + 0x10), {1});
    const Case cases[] = {
        {"every sector of block 0", everySector + EndRecord(), {"d8@000000"}},
        {"two sectors",
         ImageText({{0x0000, Pattern(0x1000)}, {0x3000, Pattern(0x11)}}),
         {"20@000000", "20@003000"}},
        {"the last bytes below 4 MiB",
         BaseRecord(0x3F) + DataRecord(0xFFF8, Pattern(16)) + EndRecord(),
         {"20@3ff000"}},
        {"a base past 4 MiB wraps",
         BaseRecord(0x0041) + DataRecord(0x2000, {1}) + EndRecord(),
         {"20@012000"}},
        {"types 2, 3 and 5 change nothing",
         RecordLine(2, 0, {0x10, 0x00}) + RecordLine(3, 0, {0, 0, 0, 0}) + RecordLine(5, 0, {0, 1, 0, 0}) +
             DataRecord(0x5000, {1}) + EndRecord(),
         {"20@005000"}},
        {"no data", EndRecord(), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConsoleRecorder console;
        TempDir dir;
        BoardRig rig;
        const int32_t kind = rig.Connect(1);
        PrepareMemory(kind);
        rig.TraceBus(1, true);
        console.printed.clear();
        EXPECT_TRUE(eraseForImage(dir.Write("fw.hex", c.text), kind));
        EXPECT_EQ(rig.Erases(1), c.erases);
        EXPECT_EQ(console.printed.find("\nunknown code"), std::string::npos);
        EXPECT_NE(console.printed.find("Partial erase succeeded.\n\n"), std::string::npos);
        EXPECT_EQ(rig.EndAndAudit(), "");
    }
}

TEST(EraseForImage, ReportsWhatItCannotUse) {
    ConsoleRecorder console;
    TempDir dir;
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    PrepareMemory(kind);
    rig.TraceBus(1, true);
    Session().options.progress = false;
    console.printed.clear();
    const std::string path = dir.Write("fw.hex", RecordLine(6, 0, {1}) + DataRecord(0x1000, {1}));
    EXPECT_TRUE(eraseForImage(path, kind));
    EXPECT_EQ(rig.Erases(1), std::vector<std::string>({"20@001000"}));
    const std::string head = "Erasing blocks and sectors based on image " + path + ", total lines: 2\n" +
                             "\nunknown code: 0x6\n\nErase time: ";
    EXPECT_EQ(console.printed.substr(0, head.size()), head) << console.printed;
    const std::string tail = " seconds\nNo end of file encountered. Error on reading file.\n";
    ASSERT_GT(console.printed.size(), tail.size());
    EXPECT_EQ(console.printed.substr(console.printed.size() - tail.size()), tail);
    // Block progress is shown even with progress output off; only the first 0 is left out.
    std::vector<int32_t> expected;
    for (int32_t b = 0; b < 64; ++b) expected.push_back(b * 100 / 64);
    expected.push_back(100);
    EXPECT_EQ(console.progress, expected);
    EXPECT_EQ(rig.EndAndAudit(), "");
}

TEST(EraseForImage, AMissingFileStopsTheRun) {
    ConsoleRecorder console;
    TempDir dir;
    try {
        static_cast<void>(eraseForImage(dir.Path("none.hex"), 3));
        ADD_FAILURE() << "went on";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.code, -1);
    }
    EXPECT_EQ(console.printed, "Can't open file: " + dir.Path("none.hex") + "\n");
    EXPECT_EQ(console.pauses, 1);
}

}  // namespace
