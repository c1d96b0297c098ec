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

std::optional<size_t> findCrcRecord(const std::vector<IntelHexRecord>& records) {
    std::optional<size_t> candidate;
    for (size_t i = records.size(); i-- > 0;) {
        const IntelHexRecord& record = records[i];
        if (!candidate) {
            if (CoversCrcWord(record)) candidate = i;
        } else if (record.type == kExtendedLinearAddress) {
            if (IsSegmentOneRecord(record)) return candidate;
            candidate.reset();
        }
    }
    return std::nullopt;
}

size_t ensureCrcRecord(std::vector<IntelHexRecord>& records) {
    if (const auto found = findCrcRecord(records)) return *found;
    size_t segment = records.size();
    for (size_t i = records.size(); i-- > 0;) {
        if (IsSegmentOneRecord(records[i])) {
            segment = i;
            break;
        }
    }
    if (segment == records.size()) {
        // Just before the end-of-file record, which a parsed list always ends with.
        segment = records.size() - 1;
        records.insert(records.begin() + segment, IntelHexRecord{kExtendedLinearAddress, 0, {0x50, 0x01}});
    }
    size_t at = segment + 1;
    while (at < records.size() && records[at].type == kData) ++at;
    records.insert(records.begin() + at, IntelHexRecord{kData, kCrcOffset, {0, 0, 0, 0}});
    return findCrcRecord(records).value_or(at);
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
