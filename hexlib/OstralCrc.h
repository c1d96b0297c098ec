#pragma once
// The firmware header and CRC record of Ostral images.
#include <cstdint>
#include <optional>
#include <vector>

#include "IntelHex.h"

namespace Quillan {

inline constexpr uint32_t kMarkerAddress = 0x300;
inline constexpr uint32_t kFwStartAddress = 0x30C;
inline constexpr uint32_t kFwEndAddress = 0x320;
inline constexpr uint32_t kTailStartAddress = 0x1FFF0;
inline constexpr uint32_t kCrcAddress = 0x1FFF4;
inline constexpr uint32_t kCrcMarker = 0xDEADBEEF;
inline constexpr uint32_t kImageAddressMask = 0x3FFFFF;
// The CRC record lies at this load offset of segment 1.
inline constexpr uint32_t kCrcOffset = 0xFFF4;

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

// Finds, in one pass over a file's records, the CRC record: the last data record covering the CRC
// word whose extended linear address is segment 1. When there is none, it tells where one goes: after
// the data records that follow the last segment-1 record, or, without one, just before the end-of-file
// record together with a segment-1 record.
class CrcRecordFinder {
  public:
    // Each record as read, in file order.
    void Add(const IntelHexRecord& record);
    std::optional<size_t> Found() const { return m_found; }
    // Index of the record before which the new records go (when nothing was found).
    size_t InsertAt() const { return m_afterSegmentOne.value_or(m_count - 1); }
    bool NeedsSegmentRecord() const { return !m_afterSegmentOne; }

  private:
    size_t m_count = 0;
    bool m_inSegmentOne = false;
    bool m_seekingEnd = false;
    std::optional<size_t> m_found;
    std::optional<size_t> m_afterSegmentOne;
};

// Index of the CRC record in a list as read, if any.
std::optional<size_t> findCrcRecord(const std::vector<IntelHexRecord>& records);

void putCrcValue(IntelHexRecord& record, uint32_t value, bool littleEndian);

}  // namespace Quillan
