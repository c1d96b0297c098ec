// Binary images, address forms and register lookup.
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "HexFiles.h"

namespace hextest {
namespace {

TEST(AddressForms, ConvertWithoutMaskingTowardsFullAddresses) {
    EXPECT_EQ(ihex_remapFullAddr(0x5001FFF4), 0x1FFF4u);
    EXPECT_EQ(ihex_remapFullAddr(0xFFFFFFFF), 0x3FFFFFu);
    EXPECT_EQ(ihex_formatFullAddr(0x1FFF4), 0x5001FFF4u);
    EXPECT_EQ(ihex_formatFullAddr(0x5001FFF4), 0xA001FFF4u);
    EXPECT_EQ(ihex_formatFullAddr(0xB0000001), 0x00000001u);
    EXPECT_EQ(ihex_remapExtendedLinearAddr(0x5001), 1u);
    EXPECT_EQ(ihex_remapExtendedLinearAddr(0x50C1), 1u);
    EXPECT_EQ(ihex_formatExtendedLinearAddr(1), 0x5001u);
    EXPECT_EQ(ihex_formatExtendedLinearAddr(0xFFFFF000), 0x00004000u);
}

TEST(AddressForms, LittleEndianDataFormatByExtension) {
    for (const char* name : {"fw.ihex", "FW.IHEX", "C:\\dir\\fw.IHex", "/a.b/fw.iHeX"}) {
        EXPECT_TRUE(ihex_fileHasLittleEndianDataFormat(name)) << name;
    }
    for (const char* name : {"fw.hex", "fw.ihex.bak", "fw.", "fw", "dir.ihex/fw", "fw.ihexx", ".ihe", ""}) {
        EXPECT_FALSE(ihex_fileHasLittleEndianDataFormat(name)) << name;
    }
    EXPECT_FALSE(ihex_fileHasLittleEndianDataFormat(nullptr));
}

class Image : public ScratchDir {};

TEST_F(Image, StartsAtAddressZeroWithGapsOfFF) {
    const std::string path =
        Write("x.ihex", SegmentLine(0x5001) + "\n" + DataLine(0, {1, 2, 3, 4}) + "\n" + kEof);
    EXPECT_EQ(ImageOf(path), (Bytes(0x10000, 0xFF) + Bytes{1, 2, 3, 4}));
}

TEST_F(Image, OutputUntouchedOnParseErrorAndUnopenableOutputIgnored) {
    const std::string out = Write("out.bin", "previous");
    const std::string bad = Write("bad.hex", DataLine(0, {1}));
    EXPECT_NE(ErrorOf([&] { ihex_makeImage(bad.c_str(), out.c_str()); }), "(no error)");
    EXPECT_EQ(Read(out), "previous");
    const std::string good = Write("good.hex", DataLine(0, {1}) + "\n" + kEof);
    EXPECT_EQ(ErrorOf([&] { ihex_makeImage(good.c_str(), Path("no/such/dir.bin").c_str()); }), "(no error)");
}

TEST_F(Image, RegisterIsTheLittleEndianWordInsideTheImage) {
    const Bytes data{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
    const std::string little = Write("r.ihex", DataLine(0, data) + "\n" + kEof);
    const std::string big = Write("r.hex", DataLine(0, data) + "\n" + kEof);
    EXPECT_EQ(ihex_readRegisterFromFile(little.c_str(), 4), 0x17161514u);
    EXPECT_EQ(ihex_readRegisterFromFile(little.c_str(), 1), 0x14131211u);
    EXPECT_EQ(ihex_readRegisterFromFile(big.c_str(), 4), 0x14151617u);
    struct Case {
        uint32_t address;
        std::string shown;
    };
    for (const Case& c :
         {Case{5, "0x0009"}, Case{0x12345678, "0x1234567C"}, Case{0xFFFFFFFE, "0xFFFFFFFF"}}) {
        EXPECT_EQ(ErrorOf([&] { ihex_readRegisterFromFile(little.c_str(), c.address); }),
                  "Address '" + c.shown + "' is bigger than the highest addr '0x0008' contained in '" +
                      little + "'.");
    }
}

// Runs srec_cat; false when it is not installed.
bool SrecCat(const std::string& arguments) {
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) return false;
    const int status = std::system(("srec_cat " + arguments + " >/dev/null 2>&1").c_str());
    EXPECT_EQ(status, 0) << arguments;
    return true;
}

TEST_F(Image, AgreesWithSrecCatOnAMultiMegabyteFile) {
    // Random records of whole words at word addresses over 40 segments (2.5 MiB), with a few gaps.
    std::mt19937 random(11);
    std::string text;
    size_t end = 0;
    for (uint32_t segment = 0; segment < 40; ++segment) {
        text += SegmentLine(uint16_t(0x5000 + segment)) + "\n";
        for (uint32_t offset = 0; offset < 0x10000;) {
            const uint32_t length = 4 * (1 + random() % 8);
            if (offset + length > 0x10000) break;
            if (random() % 512 != 0) {
                Bytes data(length);
                for (uint8_t& b : data) b = uint8_t(random());
                text += DataLine(uint16_t(offset), data) + "\n";
                end = segment * 0x10000 + offset + length;
            }
            offset += length;
        }
    }
    text += kEof + "\n";
    for (const bool little : {true, false}) {
        SCOPED_TRACE(little ? "x.ihex" : "x.hex");
        const std::string hex = Write(little ? "x.ihex" : "x.hex", text);
        const std::string ours = Path("ours.bin");
        const std::string theirs = Path("theirs.bin");
        ihex_makeImage(hex.c_str(), ours.c_str());
        if (!SrecCat(hex + " -intel -offset -0x50000000 -fill 0xFF 0 " + std::to_string(end) +
                     (little ? "" : " -byte-swap 4") + " -o " + theirs + " -binary")) {
            GTEST_SKIP() << "srec_cat is not installed";
        }
        const Bytes image = ReadBytes(ours);
        EXPECT_EQ(image.size(), end);
        EXPECT_TRUE(image == ReadBytes(theirs));
    }
}

class WriteImage : public ScratchDir {};

TEST_F(WriteImage, BuildsBackIntoTheSameImage) {
    std::mt19937 random(16);
    struct Case {
        const char* name;
        uint32_t address;
        uint32_t length;
        // .hex files carry whole aligned groups: bytes around the range come back as 0xFF.
        uint32_t before;
        uint32_t after;
    };
    for (const Case& c : {Case{"a.ihex", 0, 0x10010, 0, 0}, Case{"b.hex", 0xFFF8, 0x20, 0, 0},
                          Case{"c.ihex", 0xFFF3, 41, 0, 0}, Case{"d.hex", 0x102, 9, 2, 1},
                          Case{"e.HEX", 0x3FFFF0, 16, 0, 0}, Case{"f.hex", 0x40, 0, 0, 0}}) {
        SCOPED_TRACE(c.name);
        Bytes data(c.length);
        for (uint8_t& b : data) b = uint8_t(random());
        const std::string hex = Path(c.name);
        ihex_writeImage(hex.c_str(), data.data(), c.length, c.address);
        const Bytes expected = c.length == 0 ? Bytes{}
                                             : Bytes(c.address - c.before, 0xFF) + Bytes(c.before, 0xFF) +
                                                   data + Bytes(c.after, 0xFF);
        EXPECT_TRUE(ImageOf(hex) == expected);
    }
}

TEST_F(WriteImage, WritesTheRecordsTheLibraryReads) {
    Bytes image(0x10020);
    std::mt19937 random(17);
    for (uint8_t& b : image) b = uint8_t(random());
    for (const bool little : {true, false}) {
        const std::string hex = Path(little ? "x.ihex" : "x.hex");
        ihex_writeImage(hex.c_str(), image.data(), uint32_t(image.size()), 0);
        EXPECT_EQ(Read(hex), HexOfImage(image, little));
    }
}

TEST_F(WriteImage, AFailureLeavesTheOldFileAndNoTemporaryOne) {
    const std::string old = Write("old.hex", "previous");
    const uint8_t bytes[8] = {};
    EXPECT_EQ(
        ErrorOf([&] { ihex_writeImage(old.c_str(), bytes, 8, 0x3FFFFC); }),
        "The image range 0x3FFFFC..0x400003 lies beyond the image addresses 0..0x3FFFFF: '" + old + "'");
    const std::string missing = Path("no/such/dir.hex");
    EXPECT_EQ(ErrorOf([&] { ihex_writeImage(missing.c_str(), bytes, 8, 0); }),
              "Unable to write the iHex file: '" + missing + "'\nNo such file or directory");
    EXPECT_EQ(Read(old), "previous");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir), {}), 1);
}

TEST_F(WriteImage, AgreesWithSrecCat) {
    Bytes image(0x24000);
    std::mt19937 random(18);
    for (uint8_t& b : image) b = uint8_t(random());
    for (const bool little : {true, false}) {
        SCOPED_TRACE(little ? "x.ihex" : "x.hex");
        const std::string hex = Path(little ? "x.ihex" : "x.hex");
        const std::string theirs = Path("theirs.bin");
        ihex_writeImage(hex.c_str(), image.data(), uint32_t(image.size()), 0x8000);
        if (!SrecCat(hex + " -intel -offset -0x50008000" + (little ? "" : " -byte-swap 4") + " -o " + theirs +
                     " -binary")) {
            GTEST_SKIP() << "srec_cat is not installed";
        }
        EXPECT_TRUE(ReadBytes(theirs) == image);
    }
}

}  // namespace
}  // namespace hextest
