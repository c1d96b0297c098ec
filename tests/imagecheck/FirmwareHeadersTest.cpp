// Header searches and the parameter-section checksum, on generated files with either line end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagecheck/FirmwareHeaders.h"
#include "tests/support/HexText.h"

using testsupport::Data;
using testsupport::EndLine;
using testsupport::Record;

namespace {

std::vector<uint8_t> Bytes(size_t count, uint8_t value) {
    return std::vector<uint8_t>(count, value);
}

std::vector<uint8_t> Concat(std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Header bytes: magic, version (LE), three words, checksum.
std::vector<uint8_t> UptHeaderBytes(uint16_t version, uint8_t checksum) {
    return Concat({{0xA5, 0xA5, uint8_t(version), uint8_t(version >> 8)},
                   {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAB, 0xBC, 0xCD},
                   {checksum}});
}

struct UptCase {
    const char* name;
    std::vector<std::string> lines;
    bool found;
    uint16_t version;
    uint8_t headerChecksum;
    uint8_t calculated;
    friend void PrintTo(const UptCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<UptCase> UptCases() {
    return {
        // 18 x 0xFF + 0x46 = 0x1234 in front of the header: checksum 0xCC. Records of other
        // types add nothing.
        {"sum_0x1234",
         {Record(4, 0, {0x00, 0x00}), Data(0, Bytes(16, 0xFF)), Record(5, 0, {0x12, 0x34, 0x56, 0x78}),
          Data(0x10, Concat({{0xFF, 0xFF, 0x46}, UptHeaderBytes(0x0102, 0xCC)})), EndLine()},
         true,
         0x0102,
         0xCC,
         0xCC},
        // Header 8 bytes before the end of a 16-byte record runs on into the next one.
        {"header_into_next_record",
         {Data(0, Concat({{1, 2, 3, 4, 5, 6, 7, 8}, {0xA5, 0xA5, 0x34, 0x12, 0x11, 0x22, 0x33, 0x44}})),
          Data(0x10, {0x55, 0x66, 0x77, 0x88, 0x99, 0xAB, 0xBC, 0xCD, 0xDC, 0, 0, 0, 0, 0, 0, 0}), EndLine()},
         true,
         0x1234,
         0xDC,
         0xDC},
        // "A5A5" as an address: the search takes that line, the checksum looks at data only.
        {"magic_in_address_field",
         {Data(0xA5A5, {1, 2, 3, 4}), Data(0, {0x11, 0x11, 0x11, 0x11}),
          Data(0x10, UptHeaderBytes(0x0001, 0xB2)), EndLine()},
         true,
         0x0100,
         0x00,
         0xB2},
        // Header cut by the end of the file: the missing fields read as 0.
        {"cut_header", {Data(0, {7}), ":06001000A5A53412FF"}, true, 0x1234, 0x00, 0xF9},
        // An odd count of data characters: the last one reads as a byte of its own.
        {"cut_magic", {Data(0, {7}), ":0600100001A5A"}, false, 0, 0, 0xEE},
        {"no_header", {Data(0, Bytes(16, 1)), EndLine()}, false, 0, 0, 0xF0},
    };
}

class UptSearch : public testing::TestWithParam<std::tuple<UptCase, const char*>> {};

TEST_P(UptSearch, HeaderAndChecksum) {
    const auto& [c, eol] = GetParam();
    testsupport::TempDir dir;
    std::string path = dir.Write("params.upt", c.lines, eol);

    std::optional<UptHeader> header = FindUptHeader(path.c_str());
    ASSERT_EQ(header.has_value(), c.found);
    if (c.found) {
        EXPECT_EQ(header->magic, kUptMagic);
        EXPECT_EQ(header->version, c.version);
        EXPECT_EQ(header->checksum, c.headerChecksum);
    }
    EXPECT_EQ(UptChecksum(path.c_str()), c.calculated);
}

INSTANTIATE_TEST_SUITE_P(Files, UptSearch,
                         testing::Combine(testing::ValuesIn(UptCases()), testing::Values("\n", "\r\n")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::string(std::get<1>(info.param)) == "\n" ? "_LF" : "_CRLF");
                         });

TEST(UptSearch, HeaderFieldsAcrossTheJoinComeOutLittleEndian) {
    testsupport::TempDir dir;
    std::string path = dir.Write("p.upt", UptCases()[1].lines, "\r\n");
    std::optional<UptHeader> header = FindUptHeader(path.c_str());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->words[0], 0x44332211u);
    EXPECT_EQ(header->words[1], 0x88776655u);
    EXPECT_EQ(header->words[2], 0xCDBCAB99u);
}

TEST(UptSearch, RejectedMagicGoesOnWithTheJoinedLine) {
    // The data end in A5 and the record checksum is A5 too: "A5A5" straddles the checksum, so
    // the joined text does not start with the magic. The real header is in the joined line.
    std::string straddling = Data(0, {0xB4, 0xA5});
    ASSERT_EQ(straddling.substr(straddling.size() - 4), "A5A5");
    testsupport::TempDir dir;
    std::string path =
        dir.Write("p.upt", {straddling, Data(2, Concat({{0x00}, UptHeaderBytes(0x0203, 0)})), EndLine()});
    std::optional<UptHeader> header = FindUptHeader(path.c_str());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->version, 0x0203);
}

TEST(UptSearch, UnreadableInputFindsNothing) {
    testsupport::TempDir dir;
    std::string missing = dir.Path() + "/absent.upt";
    EXPECT_FALSE(FindUptHeader(missing.c_str()));
    EXPECT_FALSE(FindUptHeader(nullptr));
    EXPECT_EQ(UptChecksum(missing.c_str()), 0);

    std::string binary;
    for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 7) & 0xFF));
    std::string path = dir.WriteRaw("blob.upt", binary);
    EXPECT_FALSE(FindUptHeader(path.c_str()));
    EXPECT_FALSE(FindFwHeader(path.c_str()));
    UptChecksum(path.c_str());
}

TEST(UptSearch, MagicCutByTheReadSizeIsNotFound) {
    // A line is read in pieces of 1022 characters; a magic across the cut is in neither piece.
    std::string line = std::string(":").append(1019, '0') + "A5A5" + std::string(20, '0');
    testsupport::TempDir dir;
    EXPECT_FALSE(FindUptHeader(dir.Write("long.upt", {line}).c_str()));
    std::string later = std::string(":").append(1029, '0') + "A5A50300" + std::string(20, '0');
    std::optional<UptHeader> header = FindUptHeader(dir.Write("later.upt", {later}).c_str());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->version, 3);
}

// Marnel header: side word, magic, six words.
std::vector<uint8_t> FwHeaderBytes(uint8_t sideByte, bool newMagic) {
    std::vector<uint8_t> magic = newMagic ? std::vector<uint8_t>{0xDE, 0xC0, 0xDD, 0xBA}
                                          : std::vector<uint8_t>{0xAF, 0xBE, 0xAD, 0xDE};
    return Concat({{sideByte, 0x00, 0x00, 0x01}, magic, Bytes(24, 0x42)});
}

struct FwCase {
    const char* name;
    std::vector<std::string> lines;
    bool found;
    uint32_t firstWord;
    uint32_t magic;
    friend void PrintTo(const FwCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<FwCase> FwCases() {
    std::string bothMagics = std::string(":").append(8, '0') + "AFBEADDE" + "7F000000" + "DEC0DDBA" + "00";
    return {
        {"source_new_magic",
         {Data(0, Bytes(8, 0)), Data(8, FwHeaderBytes(0x9F, true)), EndLine()},
         true,
         0x9F000001,
         kFwMagicNew},
        {"sink_old_magic", {Data(0, FwHeaderBytes(0x0F, false)), EndLine()}, true, 0x0F000001, kFwMagicOld},
        // Header 8 bytes before the end of a record: the six words come from the next one.
        {"header_into_next_record",
         {Data(0, Concat({Bytes(8, 0), {0x8F, 0, 0, 1, 0xDE, 0xC0, 0xDD, 0xBA}})),
          Data(0x10, Bytes(24, 0x42)), EndLine()},
         true,
         0x8F000001,
         kFwMagicNew},
        {"new_magic_preferred", {bothMagics}, true, 0x7F000000, kFwMagicNew},
        // Magic text right after the colon leaves no room for the side word: passed over.
        {"magic_too_early", {":DEC0DDBA00000000", EndLine()}, false, 0, 0},
        {"later_occurrence_counts",
         {":AFBEADDE2F000000AFBEADDE00", EndLine()},
         true,
         0x2F000000,
         kFwMagicOld},
        {"cut_header", {":0800000001000000DEC0DD"}, false, 0, 0},
        {"cut_words", {":0800000031000000DEC0DDBA"}, true, 0x31000000, kFwMagicNew},
        {"no_header", {Data(0, Bytes(32, 0xDE)), EndLine()}, false, 0, 0},
    };
}

class FwSearch : public testing::TestWithParam<std::tuple<FwCase, const char*>> {};

TEST_P(FwSearch, Header) {
    const auto& [c, eol] = GetParam();
    testsupport::TempDir dir;
    std::string path = dir.Write("fw.hex", c.lines, eol);
    std::optional<FwHeader> header = FindFwHeader(path.c_str());
    ASSERT_EQ(header.has_value(), c.found);
    if (!c.found) return;
    EXPECT_EQ(header->words[0], c.firstWord);
    EXPECT_EQ(header->words[1], c.magic);
}

INSTANTIATE_TEST_SUITE_P(Files, FwSearch,
                         testing::Combine(testing::ValuesIn(FwCases()), testing::Values("\n", "\r\n")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::string(std::get<1>(info.param)) == "\n" ? "_LF" : "_CRLF");
                         });

TEST(FwSearch, WordsAfterTheMagicAreByteReversed) {
    testsupport::TempDir dir;
    std::vector<uint8_t> bytes = FwHeaderBytes(0x1F, true);
    bytes[8] = 0x01, bytes[9] = 0x02, bytes[10] = 0x03, bytes[11] = 0x04;
    std::optional<FwHeader> header = FindFwHeader(dir.Write("fw.hex", {Data(0, bytes), EndLine()}).c_str());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->words[2], 0x04030201u);
    EXPECT_EQ(header->words[7], 0x42424242u);
}

}  // namespace
