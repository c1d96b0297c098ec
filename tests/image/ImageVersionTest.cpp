#include <gtest/gtest.h>

#include "console/CxException.h"
#include "image/HexReader.h"
#include "tests/support/Console.h"
#include "tests/support/HexText.h"

namespace {

using namespace testsupport;

const std::vector<uint8_t> kMarkerMsbFirst = {0x12, 0x34, 0xFE, 0xDC, 0x00, 0x00, 0x30, 0x91};
const std::vector<uint8_t> kMarkerLsbFirst = {0xDC, 0xFE, 0x34, 0x12, 0x91, 0x30, 0x00, 0x00};

// Runs extractImageVersion; the exit code when the process would have ended.
struct VersionRun {
    uint32_t version = 0;
    int exitCode = 0;
    bool exited = false;
};

VersionRun extract(const std::string& path) {
    VersionRun run;
    try {
        run.version = extractImageVersion(path);
    } catch (const ProcessExit& exit) {
        run.exited = true;
        run.exitCode = exit.code;
    }
    return run;
}

TEST(ExtractImageVersion, ByteOrderFollowsTheFileName) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t version;
    };
    const Case cases[] = {
        {"fw.hex", kMarkerMsbFirst, 0x3091},
        {"FW.HEX", kMarkerMsbFirst, 0x3091},
        {"fw.ihex", kMarkerLsbFirst, 0x3091},
        {"xfilename.iHex", kMarkerLsbFirst, 0x3091},
    };
    for (const Case& c : cases) {
        ConsoleRecorder console;
        const auto run = extract(dir.Write(c.name, ImageText({{0x200, c.bytes}})));
        EXPECT_FALSE(run.exited) << c.name;
        EXPECT_EQ(run.version, c.version) << c.name;
        EXPECT_EQ(console.printed, "") << c.name;
    }
}

TEST(ExtractImageVersion, NoMarkerAsksAndGoesOnOnlyWithYes) {
    TempDir dir;
    const std::string path = dir.Write("fw.ihex", ImageText({{0x200, kMarkerMsbFirst}}));
    {
        ConsoleRecorder console({true});
        const auto run = extract(path);
        EXPECT_FALSE(run.exited);
        EXPECT_EQ(run.version, 0u);
        EXPECT_EQ(console.printed, "Warning: Could not extract version number from the firmware hex file.\n");
        EXPECT_EQ(console.questions, 1);
    }
    {
        ConsoleRecorder console({false});
        const auto run = extract(path);
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, -1);
        EXPECT_EQ(console.pauses, 0);  // a declined question ends without the error pause
    }
}

TEST(ExtractImageVersion, BaseRecordsPlaceTheData) {
    TempDir dir;
    ConsoleRecorder console;
    // Segment 1 as the library writes it: base 0x10000.
    const std::string text = BaseRecord(0x5001) + DataRecord(0x0010, kMarkerMsbFirst) + EndRecord();
    EXPECT_EQ(extract(dir.Write("fw.hex", text)).version, 0x3091u);
}

TEST(ExtractImageVersion, AShortLastGroupIsAWordOfItsOwn) {
    TempDir dir;
    ConsoleRecorder console;
    // Marker at 0x100; the fifth byte alone is the word at 0x104.
    const std::string text = DataRecord(0x100, {0xDC, 0xFE, 0x34, 0x12, 0x5A}) + EndRecord();
    EXPECT_EQ(extract(dir.Write("fw.ihex", text)).version, 0x5Au);
}

TEST(ExtractImageVersion, UnknownRecordTypesAreReportedAndSkipped) {
    TempDir dir;
    ConsoleRecorder console;
    const std::string text = RecordLine(2, 0, {0x00, 0x00}) + DataRecord(0x40, kMarkerMsbFirst) + EndRecord();
    testing::internal::CaptureStdout();
    const auto run = extract(dir.Write("fw.hex", text));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nunknown code: 2\n");
    EXPECT_EQ(run.version, 0x3091u);  // the type-2 record did not move the data
}

TEST(ExtractImageVersion, CompletenessNeedsAnEndRecordOrTheBufferEnd) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string text;
        bool complete;
    };
    const std::string marker = DataRecord(0x40, kMarkerMsbFirst);
    const Case cases[] = {
        {"end record last", marker + EndRecord(), true},
        {"end record earlier", EndRecord() + marker, true},
        {"no end record", marker, false},
        {"empty file", "", false},
        {"binary file", std::string("\x00\x01\xff\x7f\n\x80", 6), false},
        {"data at 0xC0000 ends the reading",
         marker + BaseRecord(0x000C) + DataRecord(0, {1, 2, 3, 4}) + EndRecord(), true},
    };
    for (const Case& c : cases) {
        ConsoleRecorder console({true});
        const std::string path = dir.Write("fw.hex", c.text);
        const auto run = extract(path);
        if (c.complete) {
            EXPECT_FALSE(run.exited) << c.what;
        } else {
            EXPECT_TRUE(run.exited) << c.what;
            EXPECT_EQ(run.exitCode, -1) << c.what;
            EXPECT_EQ(console.pauses, 1) << c.what;
            EXPECT_EQ(console.printed, "No end of file encountered. Error on reading file.\nFile " + path +
                                           " has no end record.\n")
                << c.what;
        }
    }
}

TEST(ExtractImageVersion, TheMarkerCountsOnlyWithItsVersionInsideTheBuffer) {
    TempDir dir;
    {
        ConsoleRecorder console;
        const std::string text = BaseRecord(0x000B) + DataRecord(0xFFF8, kMarkerMsbFirst) + EndRecord();
        EXPECT_EQ(extract(dir.Write("fw.hex", text)).version, 0x3091u);
    }
    {
        ConsoleRecorder console({true});
        const std::string text = BaseRecord(0x000B) + DataRecord(0xFFFC, kMarkerMsbFirst) + EndRecord();
        const auto run = extract(dir.Write("fw.hex", text));
        EXPECT_EQ(run.version, 0u);
        EXPECT_EQ(console.questions, 1);
    }
}

TEST(ExtractImageVersion, BadFilesEndWithTheirMessage) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string path;
        std::string printed;
    };
    const std::string cut = dir.Write("cut.hex", DataRecord(0, {1, 2}) + ":10000000AABB\n" + EndRecord());
    const std::string named = dir.Write("fw.txt", DataRecord(0, {1, 2}) + EndRecord());
    const Case cases[] = {
        {"missing", dir.Path("none.hex"), "Can't open file: " + dir.Path("none.hex") + "\n"},
        {"directory", dir.Path(""), "Can't open file: " + dir.Path("") + "\n"},
        {"cut record", cut,
         "Record on line 2 of file " + cut +
             " is not valid: ':10000000AABB'\nThe 'byteCount' field value is '0x10', but record contains "
             "0x01 data "
             "bytes.\n"},
        {"name without a byte order", named,
         "The image file " + named +
             " must be named .hex (each word most significant byte first) or .ihex (bytes in image "
             "order).\n"},
    };
    for (const Case& c : cases) {
        ConsoleRecorder console;
        const auto run = extract(c.path);
        EXPECT_TRUE(run.exited) << c.what;
        EXPECT_EQ(run.exitCode, -1) << c.what;
        EXPECT_EQ(console.printed, c.printed) << c.what;
        EXPECT_EQ(console.pauses, 1) << c.what;
    }
}

TEST(ExtractImageVersion, LongLinesAndCrLfAreHarmless) {
    TempDir dir;
    ConsoleRecorder console;
    const std::string longJunk = std::string(5000, 'Z') + "\n";
    std::string text = longJunk + DataRecord(0x40, kMarkerMsbFirst) + EndRecord();
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(extract(dir.Write("lf.hex", text)).version, 0x3091u);
    EXPECT_EQ(extract(dir.Write("crlf.hex", crlf)).version, 0x3091u);
}

}  // namespace
