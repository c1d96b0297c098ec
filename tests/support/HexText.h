#pragma once
// Intel HEX text for tests: record lines, whole images, and the firmware images the image checks
// know. Record and Data give a line without its end (for TempDir::Write with lines); the *Record
// forms and the images give text with "\n" after every line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace testsupport {

// One record line without line end, checksum computed.
std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data);
std::string Data(uint16_t address, const std::vector<uint8_t>& data);
std::string EndLine();

// The same with the line end.
inline std::string RecordLine(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    return Record(type, address, data) + "\n";
}
inline std::string DataRecord(uint16_t address, const std::vector<uint8_t>& data) {
    return RecordLine(0, address, data);
}
inline std::string BaseRecord(uint16_t value) {
    return RecordLine(4, 0, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}
inline std::string EndRecord() {
    return EndLine() + "\n";
}

struct Segment {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// Data records of at most recordSize bytes (cut at 64 KiB boundaries), base records where the
// upper address changes, and the end record unless told otherwise.
std::string ImageText(const std::vector<Segment>& segments, size_t recordSize = 16, bool withEnd = true);
// The bytes at address 0 in 16-byte data records, then the end record.
std::string HexText(const std::vector<uint8_t>& bytes);

// Bytes that differ from their neighbours and from the erased value.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed = 1);
std::vector<uint8_t> RandomBytes(size_t size, unsigned seed);

// The firmware header a Marnel image starts with: the side byte (0x9F source, 0x8F sink), then
// the header magic.
std::vector<uint8_t> MarnelHeader(uint8_t sideByte);
// Marnel firmware image lines whose header starts with sideByte.
std::vector<std::string> MarnelImage(uint8_t sideByte);
// A Marnel firmware image as segments: firstBytes bytes at 0 (the header, then Pattern bytes of
// the seed), then the further segments.
std::vector<Segment> MarnelSegments(uint8_t sideByte, size_t firstBytes, unsigned seed,
                                    const std::vector<Segment>& further = {});

enum class Crc { None, Good, Wrong };
// Ostral firmware image (image byte order, for a ".ihex" name) with the version word behind the
// version marker; with a CRC its header, firmware range and CRC record are filled in by Quillan.
std::string WriteOstralImage(const TempDir& dir, const std::string& name, uint32_t versionWord, Crc crc);

}  // namespace testsupport
