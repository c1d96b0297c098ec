// CRC-32, the CRC record of Ostral images, the firmware range image and the version marker.
#include <zlib.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "HexFiles.h"

namespace hextest {
namespace {

constexpr uint32_t kCrcAt = 0x1FFF4;

uint32_t ZlibCrc(const uint8_t* data, size_t length, uint32_t crc = 0) {
    return uint32_t(crc32(crc, data, uInt(length)));
}

TEST(Crc32, AgreesWithZlibAndContinuesAcrossCalls) {
    std::mt19937 random(7);
    Bytes buffer(1 << 20);
    for (uint8_t& b : buffer) b = uint8_t(random());
    const std::string check = "123456789";
    EXPECT_EQ(ihex_crc32(reinterpret_cast<const uint8_t*>(check.data()), 9, 0), 0xCBF43926u);
    for (const size_t length : {size_t{1}, size_t{3}, size_t{255}, size_t{4096}, buffer.size()}) {
        SCOPED_TRACE(length);
        const uint32_t whole = ihex_crc32(buffer.data(), uint32_t(length), 0);
        EXPECT_EQ(whole, ZlibCrc(buffer.data(), length));
        const size_t half = length / 2;
        EXPECT_EQ(ihex_crc32(buffer.data() + half, uint32_t(length - half),
                             ihex_crc32(buffer.data(), uint32_t(half), 0)),
                  whole);
        EXPECT_EQ(ihex_crc32(buffer.data(), uint32_t(length), 0x12345678u),
                  ZlibCrc(buffer.data(), length, 0x12345678u));
    }
    EXPECT_EQ(ihex_crc32(buffer.data(), 0, 0xDEADBEEFu), 0xDEADBEEFu);
    EXPECT_EQ(ihex_crc32(nullptr, 0, 0), 0u);
}

struct Firmware {
    size_t size = 0x1FFF8;
    uint32_t start = 0x50000100;  // bits above 21 are dropped
    uint32_t end = 0x8000;
    std::optional<uint16_t> tail = 0x4000;  // word count; none: a tail word without its complement
    bool marker = true;
};

Bytes MakeImage(const Firmware& f) {
    Bytes image(f.size);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + 3);
    if (f.size >= 0x304) PutWord(image, 0x300, f.marker ? 0xDEADBEEF : 0xDEADBEEE);
    if (f.size >= 0x310) PutWord(image, 0x30C, f.start);
    if (f.size >= 0x324) PutWord(image, 0x320, f.end);
    if (f.size >= 0x1FFF4)
        PutWord(image, 0x1FFF0, f.tail ? uint32_t(uint16_t(~*f.tail)) << 16 | *f.tail : 0x00010001);
    return image;
}

// The CRC the image should carry, computed with zlib: zero-extended to the range end, first range
// from address 0, then the tail range when the tail word is sound and starts before the CRC word.
uint32_t ReferenceCrc(Bytes image, const Firmware& f) {
    if (image.size() < f.end) image.resize(f.end, 0x00);
    uint32_t crc = ZlibCrc(image.data(), f.end);
    if (image.size() >= kCrcAt && f.tail && 4u * *f.tail < kCrcAt)
        crc = ZlibCrc(image.data() + 4 * *f.tail, kCrcAt - 4 * *f.tail, crc);
    return crc;
}

class OstralCrc : public ScratchDir {
  protected:
    std::string WriteImage(const std::string& name, const Bytes& image) {
        return Write(name, HexOfImage(image, ihex_fileHasLittleEndianDataFormat(name.c_str())));
    }

    // Both flags start true, so that each test sees them cleared.
    struct Validation {
        bool hasCrcRecord = true;
        bool crcMatches = true;
    };
    static Validation Validate(const std::string& path) {
        Validation v;
        ihex_OstralCRC_validate(path.c_str(), &v.hasCrcRecord, &v.crcMatches);
        return v;
    }
};

TEST_F(OstralCrc, CalculateReadAndValidate) {
    struct Case {
        std::string name;
        Firmware firmware;
        bool storeGoodCrc;
        bool hasCrc;
        bool matches;
    };
    Firmware longTail;
    longTail.size = 0x20010;
    longTail.tail = 0x7FFE;  // starts beyond the CRC word: no tail range
    Firmware noTail;
    noTail.tail.reset();
    Firmware noMarker;
    noMarker.marker = false;
    Firmware upToTheTail;
    upToTheTail.end = 0x1FFF0;
    const std::vector<Case> cases = {
        {"good", {}, true, true, true},
        {"stored CRC wrong", {}, false, true, false},
        {"tail beyond the CRC word", longTail, true, true, true},
        {"tail word without complement", noTail, true, true, true},
        {"no marker", noMarker, true, false, false},
        {"range up to the tail word", upToTheTail, true, true, true},
    };
    for (const char* name : {"fw.ihex", "fw.hex"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(name) + ": " + c.name);
            Bytes image = MakeImage(c.firmware);
            const uint32_t crc = ReferenceCrc(image, c.firmware);
            PutWord(image, kCrcAt, c.storeGoodCrc ? crc : ~crc);
            const std::string path = WriteImage(name, image);
            EXPECT_EQ(ihex_OstralCRC_calculate(path.c_str()), crc);
            const Validation v = Validate(path);
            EXPECT_EQ(v.hasCrcRecord, c.hasCrc);
            EXPECT_EQ(v.crcMatches, c.matches);
            bool hasCrcRecord = !c.hasCrc;
            uint32_t read = 0xA5A5A5A5;
            ihex_OstralCRC_read(path.c_str(), &hasCrcRecord, &read);
            EXPECT_EQ(hasCrcRecord, c.hasCrc);
            EXPECT_EQ(read, c.hasCrc ? WordOf(image, kCrcAt) : 0xA5A5A5A5);
        }
    }
}

// Records out of address order, each ending inside a group the next one in the file began: the
// padding of the short records must not undo the bytes the other records gave.
TEST_F(OstralCrc, RecordsOutOfOrderKeepEachOthersBytes) {
    const Firmware f;
    Bytes image = MakeImage(f);
    const uint32_t crc = ReferenceCrc(image, f);
    PutWord(image, kCrcAt, crc);
    const std::string path = Write("linked.ihex", HexOfImageBackwards(image));
    // The padding of the last record grows the image a byte past the firmware's end.
    const Bytes padded = image + Bytes{0xFF};
    EXPECT_EQ(ImageOf(path), padded);
    const Validation v = Validate(path);
    EXPECT_TRUE(v.hasCrcRecord);
    EXPECT_TRUE(v.crcMatches);
    EXPECT_EQ(ihex_OstralCRC_calculate(path.c_str()), crc);
    ihex_OstralCRC_update(path.c_str());
    EXPECT_EQ(ImageOf(path), padded);
}

TEST_F(OstralCrc, ZeroExtensionBeyondTheImage) {
    Firmware f;
    f.size = 0x1000;
    f.end = 0x3000;
    const Bytes image = MakeImage(f);
    EXPECT_EQ(ihex_OstralCRC_calculate(WriteImage("fw.ihex", image).c_str()), ReferenceCrc(image, f));
}

TEST_F(OstralCrc, WithoutAFirmwareRange) {
    Firmware empty;
    empty.end = 0x100;  // equals the masked start
    Firmware shortImage;
    shortImage.size = 0x320;  // ends before the end-address word
    for (const Firmware& f : {empty, shortImage}) {
        const std::string path = WriteImage("fw.hex", MakeImage(f));
        const std::string before = Read(path);
        EXPECT_EQ(ihex_OstralCRC_calculate(path.c_str()), 0u);
        ihex_OstralCRC_update(path.c_str());
        EXPECT_EQ(Read(path), before);
        ihex_makeOstralFWImage(path.c_str(), Path("fw.bin").c_str());
        EXPECT_FALSE(std::filesystem::exists(Path("fw.bin")));
    }
    const Validation v = Validate(WriteImage("fw.ihex", MakeImage(empty)));
    EXPECT_TRUE(v.hasCrcRecord);
    EXPECT_FALSE(v.crcMatches);
}

TEST_F(OstralCrc, MarkerNeedsTheWholeCrcWord) {
    // One byte short of the CRC word: 0x1FFF7 bytes, the last record starting off a word boundary.
    const Bytes image = MakeImage({});
    std::string text = HexOfImage(Bytes(image.begin(), image.begin() + 0x1FFF0), true);
    text.erase(text.size() - kEof.size() - 1);
    text += DataLine(0xFFF0, {1, 2, 3}) + "\n" + DataLine(0xFFF3, {4, 5, 6, 7}) + "\n" + kEof + "\n";
    const std::string path = Write("short.ihex", text);
    ASSERT_EQ(ImageOf(path).size(), 0x1FFF7u);
    EXPECT_FALSE(Validate(path).hasCrcRecord);
}

TEST_F(OstralCrc, WritingAddsTheRecordOnceThenRewritesIt) {
    const std::string head = SegmentLine(0x5000) + "\n" + DataLine(0, {1, 2, 3, 4}) + "\n";
    for (const bool little : {false, true}) {
        const std::string name = little ? "w.ihex" : "w.hex";
        const std::string path = Write(name, head + kEof + "\n");
        ihex_OstralCRC_write(path.c_str(), 0x12345678);
        const Bytes bytes = little ? Bytes{0x78, 0x56, 0x34, 0x12} : Bytes{0x12, 0x34, 0x56, 0x78};
        EXPECT_EQ(Read(path), head + ":020000045001A9\n" + DataLine(0xFFF4, bytes) + "\n" + kEof + "\n");
        EXPECT_EQ(ihex_readRegisterFromFile(path.c_str(), kCrcAt), 0x12345678u);
        ihex_OstralCRC_write(path.c_str(), 0xCAFEBABE);
        const Bytes again = little ? Bytes{0xBE, 0xBA, 0xFE, 0xCA} : Bytes{0xCA, 0xFE, 0xBA, 0xBE};
        EXPECT_EQ(Read(path), head + ":020000045001A9\n" + DataLine(0xFFF4, again) + "\n" + kEof + "\n");
        EXPECT_EQ(ihex_readRegisterFromFile(path.c_str(), kCrcAt), 0xCAFEBABEu);
    }
}

TEST_F(OstralCrc, WritingFindsOrPlacesTheRecordInSegmentOne) {
    const Bytes sixteen(16, 0xEE);
    Bytes patched = sixteen;
    patched[4] = 0x44, patched[5] = 0x33, patched[6] = 0x22, patched[7] = 0x11;
    struct Case {
        std::string name;
        std::string before;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"existing record covering the word",
         SegmentLine(0x5001) + "\n" + DataLine(0xFFF0, sixteen) + "\n" + kEof,
         SegmentLine(0x5001) + "\n" + DataLine(0xFFF0, patched) + "\n" + kEof},
        {"new record after the data of segment one",
         SegmentLine(0x0001) + "\n" + DataLine(0, {1}) + "\n" + SegmentLine(0x5002) + "\n" + kEof,
         SegmentLine(0x0001) + "\n" + DataLine(0, {1}) + "\n" + DataLine(0xFFF4, {0x44, 0x33, 0x22, 0x11}) +
             "\n" + SegmentLine(0x5002) + "\n" + kEof},
        {"covering record in another segment is not the one",
         SegmentLine(0x5002) + "\n" + DataLine(0xFFF0, sixteen) + "\n" + kEof,
         SegmentLine(0x5002) + "\n" + DataLine(0xFFF0, sixteen) + "\n" + SegmentLine(0x5001) + "\n" +
             DataLine(0xFFF4, {0x44, 0x33, 0x22, 0x11}) + "\n" + kEof},
        {"lower case is written back upper case", ":0400000001020304f2\n:00000001ff",
         DataLine(0, {1, 2, 3, 4}) + "\n" + SegmentLine(0x5001) + "\n" +
             DataLine(0xFFF4, {0x44, 0x33, 0x22, 0x11}) + "\n" + kEof},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write("c.ihex", c.before + "\n");
        ihex_OstralCRC_write(path.c_str(), 0x11223344);
        EXPECT_EQ(Read(path), c.after + "\n");
    }
}

TEST_F(OstralCrc, UpdateStoresTheCalculatedCrc) {
    for (const char* name : {"u.hex", "u.ihex"}) {
        SCOPED_TRACE(name);
        const Firmware f;
        const Bytes image = MakeImage(f);
        const std::string path = WriteImage(name, image);
        ihex_OstralCRC_update(path.c_str());
        const Validation v = Validate(path);
        EXPECT_TRUE(v.hasCrcRecord && v.crcMatches);
        EXPECT_EQ(ihex_readRegisterFromFile(path.c_str(), kCrcAt), ReferenceCrc(image, f));
    }
}

TEST_F(OstralCrc, FirmwareImageIsTheZeroExtendedRange) {
    Firmware f;
    f.end = 0x20100;  // past the image: the last 0x100 bytes come from the zero extension
    const Bytes image = MakeImage(f);
    const std::string path = WriteImage("fw.hex", image);
    ihex_makeOstralFWImage(path.c_str(), Path("fw.bin").c_str());
    Bytes expected(image.begin() + 0x100, image.end());
    expected.resize(0x20000, 0x00);
    EXPECT_EQ(ReadBytes(Path("fw.bin")), expected);

    Firmware noMarker;
    noMarker.marker = false;
    ihex_makeOstralFWImage(WriteImage("nm.hex", MakeImage(noMarker)).c_str(), Path("nm.bin").c_str());
    EXPECT_FALSE(std::filesystem::exists(Path("nm.bin")));
}

TEST_F(OstralCrc, FirmwareVersionAfterTheMarker) {
    struct Case {
        std::string name;
        std::string text;
        uint32_t version;
    };
    const Bytes marker{0xDC, 0xFE, 0x34, 0x12};
    const auto withWord = [&](const Bytes& lead) {
        return lead + marker + Bytes{0x23, 0xD1, 0xBC, 0x0A};  // 0x0ABCD123 -> 0xABCD
    };
    const std::vector<Case> cases = {
        {"v.ihex", DataLine(0, withWord(Bytes(8, 0))) + "\n" + DataLine(0x10, Bytes(4, 0)), 0xABCD},
        {"v.ihex", DataLine(0, withWord(Bytes(3, 0))) + "\n" + DataLine(0x0B, Bytes(1, 0)), 0xABCD},
        // The version word ends on the last image byte: not found.
        {"v.ihex", DataLine(0, withWord(Bytes(8, 0))), 0},
        {"v.ihex", DataLine(0, withWord({})) + "\n" + DataLine(8, marker) + "\n" + DataLine(0x20, {0}),
         0xABCD},
        {"v.ihex", DataLine(0, marker) + "\n" + DataLine(8, withWord({})) + "\n" + DataLine(0x20, {0}),
         0xFFFF},
        {"v.hex", DataLine(0, {0, 0, 0, 0, 0x12, 0x34, 0xFE, 0xDC, 0x0A, 0xBC, 0xD1, 0x23, 0, 0, 0, 0}),
         0xABCD},
        {"v.hex", DataLine(0, withWord(Bytes(4, 0))) + "\n" + DataLine(0x10, Bytes(4, 0)), 0},
        {"v.ihex", DataLine(0, {1, 2, 3}), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + c.text);
        const std::string path = Write(c.name, c.text + "\n" + kEof + "\n");
        EXPECT_EQ(ihex_readFWVersion(path.c_str()), c.version);
    }
}

}  // namespace
}  // namespace hextest
