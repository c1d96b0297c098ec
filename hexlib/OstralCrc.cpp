#include "OstralCrc.h"

#include <algorithm>

#include "quillan.h"

namespace Quillan {

namespace {

constexpr uint32_t kSegmentOne = 0x10000;

bool IsSegmentOneRecord(const IntelHexRecord& record) {
    return record.type == kExtendedLinearAddress && SegmentBase(record) == kSegmentOne;
}

bool CoversCrcWord(const IntelHexRecord& record) {
    return record.type == kData && record.address <= kCrcOffset &&
           record.address + record.data.size() >= kCrcOffset + 4;
}

// Start of the tail range, when the tail word holds a count and its complement.
std::optional<uint32_t> TailStart(const Image& image) {
    if (image.size() < kCrcAddress) return std::nullopt;
    const uint32_t word = WordAt(image, kTailStartAddress);
    const uint32_t count = word & 0xFFFF;
    if (count != (~word >> 16 & 0xFFFF)) return std::nullopt;
    if (4 * count >= image.size()) return std::nullopt;
    return 4 * count;
}

}  // namespace

bool carriesCrc(const Image& image) {
    return image.size() >= kCrcAddress + 4 && WordAt(image, kMarkerAddress) == kCrcMarker;
}

std::optional<FirmwareRange> firmwareRange(const Image& image) {
    if (image.size() < kFwEndAddress + 4) return std::nullopt;
    const FirmwareRange range{WordAt(image, kFwStartAddress) & kImageAddressMask,
                              WordAt(image, kFwEndAddress) & kImageAddressMask};
    if (range.start >= range.end) return std::nullopt;
    return range;
}

void applyZeroExtension(Image& image, const FirmwareRange& range) {
    if (image.size() < range.end) image.resize(range.end, 0x00);
}

uint32_t imageCrc(const Image& image, const FirmwareRange& range) {
    const auto firstEnd = uint32_t(std::min<size_t>(range.end, image.size()));
    uint32_t crc = ihex_crc32(image.data(), firstEnd, 0);
    // A tail that starts at or beyond the CRC word covers nothing.
    const std::optional<uint32_t> tail = TailStart(image);
    if (tail && *tail < kCrcAddress) crc = ihex_crc32(image.data() + *tail, kCrcAddress - *tail, crc);
    return crc;
}

void CrcRecordFinder::Add(const IntelHexRecord& record) {
    const size_t index = m_count++;
    if (m_seekingEnd && record.type != kData) {
        m_afterSegmentOne = index;
        m_seekingEnd = false;
    }
    if (record.type == kExtendedLinearAddress) m_inSegmentOne = IsSegmentOneRecord(record);
    if (IsSegmentOneRecord(record)) {
        m_afterSegmentOne.reset();
        m_seekingEnd = true;
    }
    if (m_inSegmentOne && CoversCrcWord(record)) m_found = index;
}

std::optional<size_t> findCrcRecord(const std::vector<IntelHexRecord>& records) {
    CrcRecordFinder finder;
    for (const IntelHexRecord& record : records) finder.Add(record);
    return finder.Found();
}

void putCrcValue(IntelHexRecord& record, uint32_t value, bool littleEndian) {
    const size_t offset = kCrcOffset - record.address;
    if (record.data.size() < offset + 4) record.data.resize(offset + 4, 0x00);
    for (size_t i = 0; i < 4; ++i) {
        const size_t shift = littleEndian ? 8 * i : 8 * (3 - i);
        record.data[offset + i] = uint8_t(value >> shift);
    }
}

}  // namespace Quillan
