#pragma once
// The firmware header and CRC record of Ostral images.
#include <cstdint>
#include <optional>
#include <vector>

#include "IntelHex.h"

namespace Quillan {

constexpr uint32_t kMarkerAddress = 0x300;
constexpr uint32_t kFwStartAddress = 0x30C;
constexpr uint32_t kFwEndAddress = 0x320;
constexpr uint32_t kTailStartAddress = 0x1FFF0;
constexpr uint32_t kCrcAddress = 0x1FFF4;
constexpr uint32_t kCrcMarker = 0xDEADBEEF;
constexpr uint32_t kImageAddressMask = 0x3FFFFF;
// The CRC record lies at this load offset of segment 1.
constexpr uint32_t kCrcOffset = 0xFFF4;

struct FirmwareRange {
    uint32_t start;
    uint32_t end;  // exclusive
};

// At least 0x1FFF8 bytes with the marker word.
bool carriesCrc(const Image& image);

// The header's firmware range; none when it is empty or the image is too short to hold the header.
std::optional<FirmwareRange> firmwareRange(const Image& image);

// Grows the image to the end of the range with 0x00 bytes.
void applyZeroExtension(Image& image, const FirmwareRange& range);

// CRC over the image start up to the range end, continued over the tail range when the tail word is
// sound. The image must already hold the whole range (zero extension).
uint32_t imageCrc(const Image& image, const FirmwareRange& range);

// Index of the CRC record in a list as read, if any.
std::optional<size_t> findCrcRecord(const std::vector<IntelHexRecord>& records);

// Index of the CRC record, inserting it (and its segment record) before the end-of-file record when missing.
size_t ensureCrcRecord(std::vector<IntelHexRecord>& records);

void putCrcValue(IntelHexRecord& record, uint32_t value, bool littleEndian);

}  // namespace Quillan
