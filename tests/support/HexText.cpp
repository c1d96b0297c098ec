#include "tests/support/HexText.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "hexlib/include/quillan.h"

namespace testsupport {

std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    char field[24];
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    std::string line = field;
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    for (uint8_t byte : data) {
        std::snprintf(field, sizeof field, "%02X", byte);
        line += field;
        sum += byte;
    }
    std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field;
}

std::string Data(uint16_t address, const std::vector<uint8_t>& data) {
    return Record(0, address, data);
}

std::string EndLine() {
    return ":00000001FF";
}

std::vector<uint8_t> MarnelHeader(uint8_t sideByte) {
    return {sideByte, 0, 0, 0, 0xDE, 0xC0, 0xDD, 0xBA};
}

std::vector<Segment> MarnelSegments(uint8_t sideByte, size_t firstBytes, unsigned seed,
                                    const std::vector<Segment>& further) {
    std::vector<uint8_t> first = MarnelHeader(sideByte);
    const std::vector<uint8_t> rest = Pattern(firstBytes - first.size(), seed);
    first.insert(first.end(), rest.begin(), rest.end());
    std::vector<Segment> segments{{0x0000, first}};
    segments.insert(segments.end(), further.begin(), further.end());
    return segments;
}

std::vector<std::string> MarnelImage(uint8_t sideByte) {
    std::vector<uint8_t> header = MarnelHeader(sideByte);
    header.reserve(32);  // GCC 12 -O3 misreads the growth in place as out of bounds
    header.resize(32, 0x11);
    return {Record(4, 0, {0x50, 0x00}), Data(0, std::vector<uint8_t>(16, 0x5A)), Data(0x10, header),
            EndLine()};
}

namespace {
std::vector<uint8_t> Le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
}  // namespace

std::string WriteOstralImage(const TempDir& dir, const std::string& name, uint32_t versionWord, Crc crc) {
    std::vector<uint8_t> version = {0xDC, 0xFE, 0x34, 0x12};
    for (uint8_t b : Le32(versionWord)) version.push_back(b);
    std::vector<uint8_t> header = Le32(crc == Crc::None ? 0 : 0xDEADBEEF);
    header.reserve(16);  // GCC 12 -O3 misreads the growth in place as out of bounds
    header.resize(12, 0);
    for (uint8_t b : Le32(0x50000000)) header.push_back(b);  // firmware range starts at 0
    std::string path = dir.Write(
        name, {Record(4, 0, {0x50, 0x00}), Data(0x100, version), Data(0x300, header),
               Data(0x320, Le32(0x400)), Record(4, 0, {0x50, 0x01}), Data(0xFFF4, {0, 0, 0, 0}), EndLine()});
    if (crc == Crc::Good) ihex_OstralCRC_update(path.c_str());
    if (crc == Crc::Wrong) ihex_OstralCRC_write(path.c_str(), ihex_OstralCRC_calculate(path.c_str()) ^ 1);
    return path;
}

std::string ImageText(const std::vector<Segment>& segments, size_t recordSize, bool withEnd) {
    std::string text;
    uint32_t currentBase = 0;
    for (const Segment& segment : segments) {
        size_t i = 0;
        while (i < segment.bytes.size()) {
            const uint32_t address = segment.address + static_cast<uint32_t>(i);
            if ((address >> 16) != currentBase) {
                currentBase = address >> 16;
                text += BaseRecord(static_cast<uint16_t>(currentBase));
            }
            const size_t room = 0x10000 - (address & 0xFFFF);
            const size_t n = std::min({recordSize, segment.bytes.size() - i, room});
            text += DataRecord(static_cast<uint16_t>(address),
                               std::vector<uint8_t>(segment.bytes.begin() + static_cast<long>(i),
                                                    segment.bytes.begin() + static_cast<long>(i + n)));
            i += n;
        }
    }
    if (withEnd) text += EndRecord();
    return text;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    return ImageText({{0, bytes}});
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 12345u;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>((state >> 16) % 0xFF);  // never 0xFF
    }
    return bytes;
}

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
    std::vector<uint8_t> bytes(size);
    std::mt19937 random(seed);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

}  // namespace testsupport
