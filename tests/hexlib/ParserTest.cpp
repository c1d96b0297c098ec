// Line syntax, messages and the image model, seen through the exports as a caller sees them.
#include <string>
#include <vector>

#include "HexFiles.h"

namespace hextest {
namespace {

class Parser : public ScratchDir {};

struct BadLine {
    std::string line;
    std::string inner;
};

TEST_F(Parser, EachLineCheckGivesItsMessageWithFileAndLine) {
    const std::vector<BadLine> cases = {
        {"", "Invalid iHex record: ''\nThe first character is expected to be: ':',  but got: '"},
        {"x00000001FF",
         "Invalid iHex record: 'x00000001FF'\nThe first character is expected to be: ':',  but got: 'x'"},
        {":0000001FF",
         "Invalid iHex record: ':0000001FF'\nThe record lengh is: 10, but the minimum size is 11 characters"},
        {"::00000001FF",
         "Invalid iHex record: '::00000001FF'\r\nA non-hex digit is occurred: ':'  (at position: 1)"},
        {":00000001FF ",
         "Invalid iHex record: ':00000001FF '\r\nA non-hex digit is occurred: ' '  (at position: 11)"},
        {":00000001FF\t",
         "Invalid iHex record: ':00000001FF\t'\r\nA non-hex digit is occurred: '\t'  (at position: 11)"},
        {":0000g001FF",
         "Invalid iHex record: ':0000g001FF'\r\nA non-hex digit is occurred: 'g'  (at position: 5)"},
        {":01000000FF",
         "Invalid iHex record: ':01000000FF'\r\nThe 'byteCount' field value is '0x01', but record contains "
         "0x00 data "
         "bytes"},
        {":0200000001FF",
         "Invalid iHex record: ':0200000001FF'\r\nThe 'byteCount' field value is '0x02', but record contains "
         "0x01 data "
         "bytes"},
        {":00000001FE",
         "Invalid iHex record: ':00000001FE'\nThe checksum at the end of the record is: '0xFE', but "
         "calculated: 0xFF"},
        {":0400000001020304F3",
         "Invalid iHex record: ':0400000001020304F3'\nThe checksum at the end of the record is: '0xF3', but "
         "calculated: "
         "0xF2"},
        {":0100000401FA",
         "Invalid iHex record: ':0100000401FA'\nAn extended linear address record needs 2 data bytes, but "
         "has 1"},
        {":020000021000EC",
         "Invalid iHex record: ':020000021000EC'\nAn extended segment address record other than segment 0 is "
         "not supported"},
        {":0100000200FD",
         "Invalid iHex record: ':0100000200FD'\nAn extended segment address record other than segment 0 is "
         "not supported"},
        {":" + std::string(1100, '0'),
         "Invalid iHex record: ':" + std::string(63, '0') +
             "...'\nThe record is longer than the maximum size of 1024 characters"},
    };
    for (const BadLine& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string path =
            Write("bad.hex", DataLine(0, {1, 2, 3, 4}) + "\n" + c.line + "\n" + kEof + "\n");
        EXPECT_EQ(ErrorOf([&] { ihex_makeImage(path.c_str(), Path("out.bin").c_str()); }),
                  "Error during parsing iHex file: '" + path + "', line: 2\n" + c.inner);
    }
}

TEST_F(Parser, OverlongMessagesAreCutTo999Characters) {
    for (const size_t length : {size_t{1200}, size_t{100000}}) {
        // Reading stops after the longest line a record can have; a bad digit before that is named.
        std::string line = std::string(":").append(length - 1, '0');
        line[1000] = 'G';
        const std::string path = Write("long.hex", line + "\n" + kEof + "\n");
        const std::string message = ErrorOf([&] { ihex_readFWVersion(path.c_str()); });
        EXPECT_EQ(message.size(), 999u);
        EXPECT_EQ(message,
                  ("Error during parsing iHex file: '" + path + "', line: 1\nInvalid iHex record: '" + line)
                      .substr(0, 999));
    }
}

// A line without end is refused where it passes the longest record, not read on until memory runs out.
TEST_F(Parser, EndlessLineIsRefusedWhereItIsMet) {
    EXPECT_EQ(ErrorOf([&] { ihex_readFWVersion("/dev/zero"); }),
              "Error during parsing iHex file: '/dev/zero', line: 1\nInvalid iHex record: ''\nThe first "
              "character is expected to be: ':',  but got: '");
}

TEST_F(Parser, LatestErrorSurvivesALaterSuccess) {
    const std::string bad =
        Write("bad.hex", DataLine(0, {1}) + "\n" + DataLine(4, {2}) + "\n:00000001FE\n" + kEof);
    const std::string good = Write("good.hex", kEof + "\n");
    const std::string expected =
        "Error during parsing iHex file: '" + bad +
        "', line: 3\nInvalid iHex record: ':00000001FE'\nThe checksum at the end of the "
        "record is: '0xFE', but calculated: 0xFF";
    EXPECT_EQ(ErrorOf([&] { ihex_OstralCRC_calculate(bad.c_str()); }), expected);
    EXPECT_EQ(ihex_OstralCRC_calculate(good.c_str()), 0u);
    EXPECT_EQ(ihex_getLatestErrorMessage(), expected);
}

TEST_F(Parser, FileLevelFailures) {
    const std::string dataLast = DataLine(0, {1, 2, 3, 4});
    struct Case {
        std::string name;
        std::string text;
        std::string message;  // after the path
    };
    const std::vector<Case> cases = {
        {"data-last.hex", dataLast + "\n", "' is not a EOF record: '" + dataLast + "'"},
        {"eof-then-data.hex", kEof + "\n" + dataLast + "\n", "' is not a EOF record: '" + dataLast + "'"},
        {"lower-case.hex", ":0400000001020304f2", "' is not a EOF record: ':0400000001020304F2'"},
        {"segment-last.hex", SegmentLine(0x5001) + "\r\n", "' is not a EOF record: ':020000045001A9'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write(c.name, c.text);
        EXPECT_EQ(ErrorOf([&] { ihex_readFWVersion(path.c_str()); }),
                  "Last record in the iHex file '" + path + c.message);
    }
    const std::string empty = Write("empty.hex", "");
    EXPECT_EQ(ErrorOf([&] { ihex_readFWVersion(empty.c_str()); }),
              "The iHex file '" + empty + "' holds no record");
    const std::string missing = Path("missing.hex");
    EXPECT_EQ(ErrorOf([&] { ihex_readFWVersion(missing.c_str()); }),
              "Unable to open the iHex file: '" + missing + "'\nNo such file or directory");
    EXPECT_EQ(ErrorOf([&] { ihex_readFWVersion(m_dir.c_str()); }),
              "Unable to read the iHex file: '" + m_dir.string() + "'\nIs a directory");
}

TEST_F(Parser, BinaryContentFailsCleanly) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += char((i * 131 + 7) & 0xFF);
    const std::string path = Write("junk.hex", junk);
    EXPECT_EQ(
        ErrorOf([&] { ihex_readFWVersion(path.c_str()); }).rfind("Error during parsing iHex file: '", 0), 0u);
}

TEST_F(Parser, LineEndsAndEndOfFileRecords) {
    const std::string body = DataLine(0, {1, 2, 3, 4});
    const Bytes expected{1, 2, 3, 4};
    for (const std::string& text :
         {body + "\n" + kEof + "\n", body + "\r\n" + kEof + "\r\n", body + "\n" + kEof,
          body + "\n:00000001ff\n", body + "\n:00000001FFF\n", kEof + "\n" + body + "\n" + kEof + "\n"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ImageOf(Write("x.ihex", text)), expected);
    }
    // A CR not followed by LF is part of the line.
    const std::string path = Write("cr.hex", body + "\n" + kEof + "\r");
    EXPECT_NE(ErrorOf([&] { ihex_readFWVersion(path.c_str()); }).find("(at position: 11)"),
              std::string::npos);
}

TEST_F(Parser, ByteOrderFollowsTheFileName) {
    const std::string text = DataLine(0x10, {0xD0, 0xD1, 0xD2, 0xD3, 0xD4}) + "\n" + kEof + "\n";
    const Bytes little = Bytes(0x10, 0xFF) + Bytes{0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xFF, 0xFF, 0xFF};
    const Bytes big = Bytes(0x10, 0xFF) + Bytes{0xD3, 0xD2, 0xD1, 0xD0, 0xFF, 0xFF, 0xFF, 0xD4};
    EXPECT_EQ(ImageOf(Write("x.ihex", text)), little);
    EXPECT_EQ(ImageOf(Write("x.IHEX", text)), little);
    EXPECT_EQ(ImageOf(Write("x.hex", text)), big);
    EXPECT_EQ(ImageOf(Write("x", text)), big);
}

TEST_F(Parser, ImageAddresses) {
    struct Case {
        std::string name;
        std::string text;
        uint32_t address;  // where the bytes 11 22 33 44 land
        size_t size;
    };
    const Bytes data{0x11, 0x22, 0x33, 0x44};
    const std::vector<Case> cases = {
        {"segment 50 01", SegmentLine(0x5001) + "\n" + DataLine(0xFFF4, data), 0x1FFF4, 0x1FFF8},
        {"segment 00 01", SegmentLine(0x0001) + "\n" + DataLine(0xFFF4, data), 0x1FFF4, 0x1FFF8},
        {"only six bits", SegmentLine(0x50C1) + "\n" + DataLine(0xFFF4, data), 0x1FFF4, 0x1FFF8},
        {"segment type 02 of segment 0", Record(0x02, 0, {0x00, 0x00}) + "\n" + DataLine(0x20, data), 0x20,
         0x24},
        {"top of the image", SegmentLine(0x503F) + "\n" + DataLine(0xFFFC, data), 0x3FFFFC, 0x400000},
        {"segment resets nothing else",
         SegmentLine(0x5002) + "\n" + DataLine(0, {9, 9, 9, 9}) + "\n" + SegmentLine(0x5000) + "\n" +
             DataLine(8, data),
         8, 0x20004},
        {"later record wins", DataLine(4, {9, 9, 9, 9}) + "\n" + DataLine(4, data), 4, 8},
        {"padding keeps what another record gave",
         DataLine(3, {0x44}) + "\n" + DataLine(0, {0x11, 0x22, 0x33}), 0, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image = ImageOf(Write("x.ihex", c.text + "\n" + kEof + "\n"));
        ASSERT_EQ(image.size(), c.size);
        EXPECT_EQ(Bytes(image.begin() + c.address, image.begin() + c.address + 4), data);
    }
}

TEST_F(Parser, EdgesOfTheImage) {
    // A data record without bytes still grows the image to its address.
    EXPECT_EQ(ImageOf(Write("x.ihex", DataLine(0x100, {}) + "\n" + kEof + "\n")), Bytes(0x100, 0xFF));
    EXPECT_EQ(ImageOf(Write("y.ihex", kEof + "\n")), Bytes{});
    // One byte at the very last image address is padded to a full word, past 0x3FFFFF.
    const Bytes image =
        ImageOf(Write("z.ihex", SegmentLine(0x503F) + "\n" + DataLine(0xFFFF, {0xAB}) + "\n" + kEof));
    ASSERT_EQ(image.size(), 0x400003u);
    EXPECT_EQ(image[0x3FFFFF], 0xAB);
    EXPECT_EQ(image[0x400002], 0xFF);
}

}  // namespace
}  // namespace hextest
