#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "image/HexReader.h"

namespace {

using FilePtr = std::unique_ptr<FILE, ImageFileCloser>;

FilePtr fileWith(const std::string& content) {
    FilePtr file(tmpfile());
    fwrite(content.data(), 1, content.size(), file.get());
    rewind(file.get());
    return file;
}

std::vector<std::string> pieces(const std::string& content) {
    FilePtr file = fileWith(content);
    std::vector<std::string> result;
    HexLine line;
    while (readLinePiece(file.get(), line)) {
        EXPECT_EQ(line.text[line.length], 0);
        result.emplace_back(line.text, line.length);
    }
    return result;
}

HexLine lineOf(const std::string& text) {
    HexLine line;
    text.copy(line.text, kHexLineSize - 1);
    line.length = std::min(text.size(), kHexLineSize - 1);
    return line;
}

TEST(ReadHexField, TakesLeadingDigitsAndAlwaysAdvances) {
    struct Case {
        const char* text;
        int n;
        uint32_t value;
    };
    const Case cases[] = {
        {"1A", 2, 0x1A},   {"ff00", 4, 0xFF00}, {"DEADBEEF", 8, 0xDEADBEEF},
        {"1G", 2, 0x1},    {"zz", 2, 0},        {"7", 2, 0x7},  // stops at the terminator
        {"12 4", 4, 0x12}, {"0010FF", 2, 0x00},
    };
    for (const Case& c : cases) {
        const char* cursor = c.text;
        EXPECT_EQ(readHexField(cursor, c.n), c.value) << c.text;
        EXPECT_EQ(cursor, c.text + c.n) << c.text;
    }
}

TEST(ReadLinePiece, CrLfAndLfGiveTheSameLines) {
    EXPECT_EQ(pieces(":00000001FF\r\nabc\r\n"), pieces(":00000001FF\nabc\n"));
    EXPECT_EQ(pieces("a\rb\n"), std::vector<std::string>({"a\rb\n"}));  // a lone CR is text
    EXPECT_EQ(pieces("last\r"), std::vector<std::string>({"last\r"}));
    EXPECT_EQ(pieces("no end"), std::vector<std::string>({"no end"}));
    EXPECT_TRUE(pieces("").empty());
}

TEST(ReadLinePiece, LongLinesComeInPiecesOf1023) {
    const std::string longLine(2500, 'x');
    const auto result = pieces(longLine + "\n");
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result[0].size(), 1023u);
    EXPECT_EQ(result[1].size(), 1023u);
    EXPECT_EQ(result[2], std::string(454, 'x') + "\n");
    // A CR LF split by the piece limit is still one line end.
    const auto split = pieces(std::string(1022, 'y') + "\r\nz\n");
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0], std::string(1022, 'y') + "\n");
}

TEST(ReadLinePiece, BinaryBytesAreKeptWithTheirLength) {
    const std::string binary("\x00\xff:\x00\n", 5);
    const auto result = pieces(binary);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0], binary);
}

TEST(ParseHexLine, ReadsTheFieldsOfAWholeRecord) {
    HexRecord record;
    ASSERT_TRUE(parseHexLine(lineOf(":0401000012345678E9\n"), record));
    EXPECT_EQ(record.count, 4);
    EXPECT_EQ(record.address, 0x0100);
    EXPECT_EQ(record.type, 0);
    EXPECT_EQ(record.data[0], 0x12);
    EXPECT_EQ(record.data[3], 0x78);
    EXPECT_EQ(record.checksum, 0xE9);
}

TEST(ParseHexLine, TheLargestRecordFits) {
    std::string text = ":FF000000";
    for (int i = 0; i < 255; ++i) text += "A5";
    text += "5A\r\n";
    HexRecord record;
    ASSERT_TRUE(parseHexLine(lineOf(text), record));
    EXPECT_EQ(record.count, 255);
    EXPECT_EQ(record.data[254], 0xA5);
    EXPECT_EQ(record.checksum, 0x5A);
}

TEST(ParseHexLine, RefusesWhatIsNotAWholeRecord) {
    const char* refused[] = {
        "",
        "00000001FF\n",       // no colon
        " :00000001FF\n",     // colon not first
        ":\n",                // nothing after it
        ":000000\n",          // type cut
        ":10000000112233\n",  // count runs past the line
        ":02000000AA",        // second data byte missing at the end of the file
    };
    for (const char* text : refused) {
        HexRecord record;
        EXPECT_FALSE(parseHexLine(lineOf(text), record)) << text;
    }
}

TEST(ParseHexLine, StaleTextBehindTheLineIsNeverRead) {
    HexLine line = lineOf(":10000000" + std::string(32, 'C') + "00\n");
    const std::string shorter = ":10000000AA\n";
    shorter.copy(line.text, shorter.size());
    line.text[shorter.size()] = 0;
    line.length = shorter.size();
    HexRecord record;
    EXPECT_FALSE(parseHexLine(line, record));
}

TEST(ParseHexLine, AMissingChecksumReadsAsZero) {
    HexRecord record;
    ASSERT_TRUE(parseHexLine(lineOf(":00000001\n"), record));
    EXPECT_EQ(record.type, 1);
    EXPECT_EQ(record.checksum, 0);
}

TEST(CountLines, CountsPiecesAndRewinds) {
    FilePtr file = fileWith(":00000001FF\r\nsecond\nthird" + std::string(1500, 'q') + "\n");
    EXPECT_EQ(countLines(file.get()), 4);
    EXPECT_EQ(ftell(file.get()), 0);
    FilePtr empty = fileWith("");
    EXPECT_EQ(countLines(empty.get()), 0);
}

TEST(FindCutRecord, NamesTheFirstCutRecordLine) {
    FilePtr whole = fileWith("comment\n:0400000001020304F2\n:00000001FF\n");
    EXPECT_EQ(findCutRecord(whole.get()), 0);
    FilePtr cut = fileWith("comment\n:0400000001020304F2\n:04000400010203\n:0100\n");
    EXPECT_EQ(findCutRecord(cut.get()), 3);
    EXPECT_EQ(ftell(cut.get()), 0);
}

TEST(ByteOrder, FollowsTheHexExtensionOnly) {
    struct Case {
        const char* path;
        bool firstByteMost;
    };
    const Case cases[] = {
        {"fw.hex", true},      {"FW.HEX", true},     {"dir/fw.Hex", true}, {"fw.ihex", false},
        {"fw.hex.bak", false}, {"fw", false},        {"hex", false},       {"fw.he", false},
        {"fw.hexx", false},    {"a.b/fw.hex", true}, {".hex", true},
    };
    for (const Case& c : cases) EXPECT_EQ(isHexExtension(c.path), c.firstByteMost) << c.path;
}

TEST(ByteOrder, ShortGroupsKeepTheirPositions) {
    EXPECT_EQ(placeByte(placeByte(0, 0x11, 0, true), 0x22, 1, true), 0x11220000u);
    EXPECT_EQ(placeByte(placeByte(0, 0x11, 0, false), 0x22, 1, false), 0x00002211u);
    uint32_t word = 0;
    for (int k = 0; k < 4; ++k) word = placeByte(word, static_cast<uint8_t>(0x12 + 0x22 * k), k, true);
    EXPECT_EQ(word, 0x12345678u);
}

TEST(ExtendedLinearBase, KeepsTheLowSixBitsOnly) {
    struct Case {
        const char* line;
        uint32_t base;
    };
    const Case cases[] = {
        {":020000040041B9\n", 0x10000},
        {":020000040040BA\n", 0},
        {":02000004003FBB\n", 0x3F0000},
        {":02000004FFFFFC\n", 0x3F0000},
    };
    for (const Case& c : cases) {
        HexRecord record;
        ASSERT_TRUE(parseHexLine(lineOf(c.line), record));
        EXPECT_EQ(extendedLinearBase(record), c.base) << c.line;
    }
}

TEST(OpenImageFile, RefusesDirectoriesAndMissingFiles) {
    EXPECT_EQ(openImageFile("/nonexistent/fw.hex"), nullptr);
    EXPECT_EQ(openImageFile("/tmp"), nullptr);
}

}  // namespace
