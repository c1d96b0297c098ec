#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
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

TEST(ByteOrder, FollowsTheNameHexOrIhexAndNothingElse) {
    struct Case {
        const char* path;
        std::optional<bool> firstByteMost;  // none: the name is refused
    };
    const Case cases[] = {
        {"fw.hex", true},          {"FW.HEX", true},   {"dir/fw.Hex", true}, {"fw.ihex", false},
        {"xfilename.iHex", false}, {"FW.IHEX", false}, {"a.b/fw.hex", true}, {".hex", true},
        {"fw.hex.bak", {}},        {"fw", {}},         {"hex", {}},          {"fw.he", {}},
        {"fw.hexx", {}},           {"fw.txt", {}},     {"fw.ihx", {}},       {"dir.ihex/fw", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(firstByteMostOf(c.path), c.firstByteMost) << c.path;
}

// Each check of the pass before the memory is touched, with the line it names.
TEST(FindImageFault, EveryLineIsCheckedBeforeTheMemoryIsTouched) {
    const std::string end = ":00000001FF\n";
    const std::string data = ":0400000001020304F2\n";
    struct Case {
        const char* what;
        std::string text;
        uint32_t memorySize;
        ImageFault::Kind kind;
        int32_t line;
        std::string detail;  // what is wrong, for a bad record
    };
    const Case cases[] = {
        {"sound, comments and CR LF passed over", "# comment\r\n" + data + ":00000001ff\r\n", 0x10000,
         ImageFault::None, 0, ""},
        {"types 03 and 05", ":0400000300000000F9\n:0400000500000000F7\n" + data + end, 0x10000,
         ImageFault::None, 0, ""},
        {"the same value twice", data + data + end, 0x10000, ImageFault::None, 0, ""},
        {"library window", ":020000045000AA\n" + data + end, 0x10000, ImageFault::None, 0, ""},
        {"checksum", data + ":0400000001020304F3\n" + end, 0, ImageFault::BadRecord, 2,
         "The checksum at the end of the record is: '0xF3', but calculated: 0xF2"},
        {"not hex", ":5zzzzzzzzzzzzzzzzzzzzzzzz\n" + end, 0, ImageFault::BadRecord, 1,
         "A non-hex digit is occurred: 'z'  (at position: 2)"},
        {"lost colon", "0400000001020304F2\n" + end, 0, ImageFault::BadRecord, 1,
         "The first character is expected to be: ':',  but got: '0'"},
        {"short", ":0000001FF\n" + end, 0, ImageFault::BadRecord, 1,
         "The record lengh is: 10, but the minimum size is 11 characters"},
        {"count", ":0500000001020304F1\n" + end, 0, ImageFault::BadRecord, 1,
         "The 'byteCount' field value is '0x05', but record contains 0x04 data bytes"},
        {"type", ":00000006FA\n" + end, 0, ImageFault::BadRecord, 1,
         "The record type 0x06 is not one of 00 to 05"},
        {"length of its type", ":0100000400FB\n" + end, 0, ImageFault::BadRecord, 1,
         "A record of type 0x04 needs 2 data bytes, but has 1"},
        {"longer than a piece", std::string(":").append(1100, '0') + "\n" + end, 0, ImageFault::BadRecord, 1,
         "The record is longer than the maximum size of 1022 characters"},
        {"segment", ":020000020001FB\n" + data + end, 0, ImageFault::SegmentBase, 1, ""},
        {"linear value past the segments", ":020000040040BA\n" + data + end, 0, ImageFault::LinearBase, 1,
         ""},
        {"segment outside the memory", ":020000045001A9\n" + data + end, 0x10000, ImageFault::LinearBase, 1,
         ""},
        {"beyond", ":02FFFF000102FD\n" + end, 0x10000, ImageFault::BeyondMemory, 1, ""},
        {"overlap", data + ":0100020009F4\n" + end, 0, ImageFault::Overlap, 2, ""},
        {"no end", data, 0, ImageFault::NoEndRecord, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FilePtr file = fileWith(c.text);
        const ImageFault fault = findImageFault(file.get(), c.memorySize);
        EXPECT_EQ(fault.kind, c.kind);
        if (c.kind != ImageFault::None && c.kind != ImageFault::NoEndRecord) {
            EXPECT_EQ(fault.line, c.line);
        }
        EXPECT_EQ(fault.what, c.detail);
        EXPECT_EQ(ftell(file.get()), 0);
        if (c.kind == ImageFault::Overlap) {
            EXPECT_EQ(fault.otherLine, 1);
            EXPECT_EQ(fault.first, 2u);
            EXPECT_EQ(fault.value, 0x09);
            EXPECT_EQ(fault.otherValue, 0x03);
        }
    }
}

TEST(QuotedLine, ControlCharactersEscapedAndLongLinesShortenedAroundTheFault) {
    EXPECT_EQ(quotedLine(":00\r\x1b\t\\", 0), ":00\\r\\x1b\\t\\\\");
    const std::string line = std::string(":").append(74, '0') + "\r" + std::string(20, '1');
    EXPECT_EQ(quotedLine(line, 0), std::string(":").append(39, '0') + "...");
    EXPECT_EQ(quotedLine(line, 75), std::string("...").append(30, '0') + "\\r" + std::string(9, '1') + "...");
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
