#pragma once
// Intel HEX files as a record list (to change and write back) and as a flat image (to look at).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace Quillan {

struct IntelHexRecord {
    uint8_t type = 0;
    // The 16-bit load offset as read; once resolved, the full image address of a data record.
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

enum RecordType : uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegmentAddress = 0x02,
    kExtendedLinearAddress = 0x04,
};

// Indexed by image address; bytes no record wrote hold 0xFF. Words in it are little-endian.
using Image = std::vector<uint8_t>;

// Upper image-address bits that an extended linear address record selects.
inline uint32_t SegmentBase(const IntelHexRecord& record) {
    return record.data.size() < 2 ? 0 : uint32_t(record.data[1] & 0x3F) << 16;
}

bool hasLittleEndianDataFormat(const char* fileName);

void parseRecord(std::string_view line, IntelHexRecord& record);
std::string encodeRecord(const IntelHexRecord& record);
// Every record of a file with its index, in file order, as it is read; the checks of parseFile.
void forEachRecord(const char* fileName, const std::function<void(size_t, const IntelHexRecord&)>& onRecord);
std::vector<IntelHexRecord> parseFile(const char* fileName);
void resolveAddresses(std::vector<IntelHexRecord>& records);
Image buildImage(const char* fileName);

// Places the data of a data record at its image address, in the given data byte order.
void placeData(Image& image, uint32_t address, const std::vector<uint8_t>& data, bool littleEndian);

// Little-endian word at an image address; the caller makes sure it lies inside the image.
inline uint32_t WordAt(const Image& image, uint32_t address) {
    return uint32_t(image[address]) | uint32_t(image[address + 1]) << 8 | uint32_t(image[address + 2]) << 16 |
           uint32_t(image[address + 3]) << 24;
}

// Write a whole file as platform/WholeFile does (a regular file replaced with its mode kept, links
// and device nodes written through). A name that is refused is passed over; a write that fails
// once it began throws, so a cut file never passes for a good one.
// writeRecords takes the records that produce hands to the sink, in order, as the file's new
// contents. They wait in an unnamed file until complete, so that producing them may read the old
// file and memory use does not depend on the size of the file.
using RecordSink = std::function<void(const IntelHexRecord&)>;
void writeRecords(const char* fileName, const std::function<void(const RecordSink&)>& produce);
void writeBinaryFile(const char* fileName, const uint8_t* bytes, size_t count);

}  // namespace Quillan
