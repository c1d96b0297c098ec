#include "image/HexReader.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bitset>
#include <cstring>
#include <map>
#include <memory>

#include "console/TextHelpers.h"
#include "platform/TextFile.h"
#include "quillan.h"

FILE* openImageFile(const std::string& path) {
    // Non-blocking, so that a FIFO without a writer does not hold the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    FILE* file = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) close(fd);
    return file;
}

bool isSpecialFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

bool readLinePiece(FILE* file, HexLine& line) {
    line.length = 0;
    while (line.length < kHexLineSize - 1) {
        const int c = platform::GetTextChar(file);
        if (c == EOF) break;
        line.text[line.length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line.text[line.length] = 0;
    return line.length > 0;
}

uint32_t readHexField(const char*& cursor, int n) {
    const auto width = static_cast<size_t>(n);
    const uint32_t value = LeadingHexValue(std::string_view(cursor, strnlen(cursor, width)), width);
    cursor += n;
    return value;
}

namespace {
// Reads a field only when all its characters lie inside the line.
bool readWholeField(const HexLine& line, const char*& cursor, int n, uint32_t& value) {
    if (static_cast<size_t>(cursor - line.text) + static_cast<size_t>(n) > line.length) return false;
    value = readHexField(cursor, n);
    return true;
}
}  // namespace

bool parseHexLine(const HexLine& line, HexRecord& record) {
    if (line.length == 0 || line.text[0] != ':') return false;
    const char* cursor = line.text + 1;
    uint32_t count = 0, address = 0, type = 0;
    if (!readWholeField(line, cursor, 2, count) || !readWholeField(line, cursor, 4, address) ||
        !readWholeField(line, cursor, 2, type)) {
        return false;
    }
    record.count = static_cast<uint8_t>(count);
    record.address = static_cast<uint16_t>(address);
    record.type = static_cast<uint8_t>(type);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t byte = 0;
        if (!readWholeField(line, cursor, 2, byte)) return false;
        record.data[i] = static_cast<uint8_t>(byte);
    }
    // The checksum is never checked; a missing one reads as 0 (conversion stops at the end).
    record.checksum = static_cast<uint8_t>(readHexField(cursor, 2));
    return true;
}

int32_t countLines(FILE* file) {
    HexLine line;
    int32_t count = 0;
    while (readLinePiece(file, line)) ++count;
    rewind(file);
    return count;
}

namespace {

// A line of hex digits alone is a record that lost its ":"; other lines are passed over.
bool isHexDigitsOnly(std::string_view text) {
    constexpr size_t kShortestRecordDigits = 10;
    if (text.size() < kShortestRecordDigits) return false;
    for (const char c : text) {
        if (HexDigitValue(c) == kNotHexDigit) return false;
    }
    return true;
}

std::string_view withoutLineEnd(const HexLine& line) {
    std::string_view text(line.text, line.length);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

}  // namespace

void forEachHexRecord(FILE* file, const HexRecordVisitor& each, const HexCutVisitor& cut) {
    HexLine line;
    HexRecord record;
    uint32_t base = 0;
    for (int32_t number = 1; readLinePiece(file, line); ++number) {
        const std::string_view text = withoutLineEnd(line);
        const bool recordLine = line.text[0] == ':';
        if (!recordLine && !isHexDigitsOnly(text)) continue;
        HexLoop next = HexLoop::Next;
        if (!recordLine || !parseHexLine(line, record)) {
            if (cut) next = cut(number, text);
        } else {
            next = each(HexRecordAt{record, number, base + record.address, text});
            if (record.type == HexExtendedLinear) base = extendedLinearBase(record);
        }
        if (next == HexLoop::Stop) break;
    }
    rewind(file);
}

int32_t findCutRecord(FILE* file) {
    int32_t cut = 0;
    forEachHexRecord(
        file, [](const HexRecordAt&) { return HexLoop::Next; },
        [&cut](int32_t line, std::string_view) {
            cut = line;
            return HexLoop::Stop;
        });
    return cut;
}

namespace {

constexpr size_t kMinimumRecordLength = 11;  // ':' and five bytes
// Data bytes each record type carries; -1: any number.
constexpr std::array<int, 6> kTypeLengths = {-1, 0, 2, 4, 2, 4};

std::string escapedChar(char c) {
    switch (c) {
        case '\r':
            return "\\r";
        case '\n':
            return "\\n";
        case '\t':
            return "\\t";
        case '\\':
            return "\\\\";
        default:
            break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) return std::string(1, c);
    return formatText("\\x%02x", byte);
}

// Bytes of a record line whose characters are all hex digits, high digit first; a last digit
// without its partner is left out, as the library leaves it out.
size_t decodeBytes(std::string_view text, std::array<uint8_t, kHexLineSize / 2>& bytes) {
    const size_t count = (text.size() - 1) / 2;
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(HexDigitValue(text[1 + 2 * i]) << 4 | HexDigitValue(text[2 + 2 * i]));
    return count;
}

// The faults of the record's bytes: count, checksum, type and the length of its type.
std::string recordBytesFault(const uint8_t* bytes, size_t count) {
    if (bytes[0] != count - 5) {
        return formatText("The 'byteCount' field value is '0x%02X', but record contains 0x%02X data bytes",
                          bytes[0], static_cast<unsigned>(count - 5));
    }
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < count; ++i) sum += bytes[i];
    const auto expected = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    if (bytes[count - 1] != expected) {
        return formatText("The checksum at the end of the record is: '0x%02X', but calculated: 0x%02X",
                          bytes[count - 1], expected);
    }
    const uint8_t type = bytes[3];
    if (type >= kTypeLengths.size()) return formatText("The record type 0x%02X is not one of 00 to 05", type);
    const int length = kTypeLengths[type];
    if (length >= 0 && static_cast<size_t>(length) != count - 5) {
        return formatText("A record of type 0x%02X needs %d data bytes, but has %d", type, length,
                          static_cast<int>(count - 5));
    }
    return "";
}

}  // namespace

std::string recordLineFault(std::string_view text, size_t& position) {
    position = 0;
    if (text.empty() || text[0] != ':') {
        return "The first character is expected to be: ':',  but got: '" +
               (text.empty() ? std::string() : escapedChar(text[0])) + "'";
    }
    if (text.size() < kMinimumRecordLength) {
        return formatText("The record lengh is: %d, but the minimum size is %d characters",
                          static_cast<int>(text.size()), static_cast<int>(kMinimumRecordLength));
    }
    for (size_t i = 1; i < text.size(); ++i) {
        if (HexDigitValue(text[i]) != kNotHexDigit) continue;
        position = i;
        return formatText("A non-hex digit is occurred: '%s'  (at position: %d)",
                          escapedChar(text[i]).c_str(), static_cast<int>(i));
    }
    // A piece as long as the line buffer did not hold the whole line.
    if (text.size() >= kHexLineSize - 1) {
        return formatText("The record is longer than the maximum size of %d characters",
                          static_cast<int>(kHexLineSize - 2));
    }
    std::array<uint8_t, kHexLineSize / 2> bytes{};
    const size_t count = decodeBytes(text, bytes);
    return recordBytesFault(bytes.data(), count);
}

std::string quotedLine(std::string_view text, size_t position) {
    constexpr size_t kShown = 40;
    constexpr size_t kBefore = 30;
    size_t first = 0;
    size_t end = text.size();
    if (text.size() > kShown + 8) {
        first = position > kBefore ? std::min(position - kBefore, text.size() - kShown) : 0;
        end = first + kShown;
    }
    std::string quoted = first > 0 ? "..." : "";
    for (size_t i = first; i < end; ++i) quoted += escapedChar(text[i]);
    if (end < text.size()) quoted += "...";
    return quoted;
}

namespace {

uint32_t recordValue16(const HexRecord& record) {
    const uint32_t high = record.count > 0 ? record.data[0] : 0;
    const uint32_t low = record.count > 1 ? record.data[1] : 0;
    return (high << 8) | low;
}

}  // namespace

uint32_t extendedLinearBase(const HexRecord& record) {
    return (recordValue16(record) & 0x3F) << 16;
}

namespace {

// The value each byte of the image was given so far, kept by 64 KiB page: an image touches few.
class GivenBytes {
  public:
    // False when an earlier record gave the byte another value, which `before` then holds.
    bool Give(uint32_t address, uint8_t value, uint8_t& before) {
        std::unique_ptr<Page>& page = m_pages[address >> 16];
        if (!page) page = std::make_unique<Page>();
        const uint32_t offset = address & 0xFFFF;
        before = page->value[offset];
        if (page->given[offset] && before != value) return false;
        page->given[offset] = true;
        page->value[offset] = value;
        return true;
    }

  private:
    struct Page {
        std::array<uint8_t, 0x10000> value{};
        std::bitset<0x10000> given;
    };
    std::map<uint32_t, std::unique_ptr<Page>> m_pages;
};

// Extended linear address values that address the memory: the segment itself, or 0x5000 plus
// the segment as the library writes it.
bool addressesTheMemory(uint32_t value, uint32_t memorySize) {
    constexpr uint32_t kLibraryWindow = 0x5000;
    constexpr uint32_t kSegments = 0x40;
    const uint32_t segment = value >= kLibraryWindow ? value - kLibraryWindow : value;
    if (segment >= kSegments) return false;
    return memorySize == 0 || segment << 16 < memorySize;
}

ImageFault badRecord(int32_t line, std::string_view text) {
    ImageFault fault;
    size_t position = 0;
    fault.what = recordLineFault(text, position);
    if (fault.what.empty()) fault.what = "The record runs past the end of its line";
    fault.kind = ImageFault::BadRecord;
    fault.line = line;
    fault.quoted = quotedLine(text, position);
    return fault;
}

// The faults of a record that is sound on its own, against the memory and the records before it.
ImageFault recordFault(const HexRecordAt& at, uint32_t memorySize, GivenBytes& given) {
    const HexRecord& record = at.record;
    ImageFault fault;
    fault.line = at.line;
    if (record.type == HexExtendedSegment && recordValue16(record) != 0) {
        fault.kind = ImageFault::SegmentBase;
        fault.segment = recordValue16(record);
    } else if (record.type == HexExtendedLinear && !addressesTheMemory(recordValue16(record), memorySize)) {
        fault.kind = ImageFault::LinearBase;
        fault.segment = recordValue16(record);
    } else if (record.type == HexData && record.count > 0) {
        const uint64_t end = uint64_t{at.address} + record.count;
        if (memorySize > 0 && end > memorySize) {
            fault.kind = ImageFault::BeyondMemory;
            fault.first = at.address;
            fault.last = static_cast<uint32_t>(end - 1);
            return fault;
        }
        for (uint32_t i = 0; i < record.count; ++i) {
            if (given.Give(at.address + i, record.data[i], fault.otherValue)) continue;
            fault.kind = ImageFault::Overlap;
            fault.first = at.address + i;
            fault.value = record.data[i];
            break;
        }
    }
    return fault;
}

// The last line before `before` whose data gave the byte at this address.
int32_t lineGiving(FILE* file, uint32_t address, int32_t before) {
    int32_t giving = 0;
    forEachHexRecord(file, [&](const HexRecordAt& at) {
        if (at.line >= before) return HexLoop::Stop;
        if (at.record.type == HexData && address >= at.address && address - at.address < at.record.count)
            giving = at.line;
        return HexLoop::Next;
    });
    return giving;
}

}  // namespace

ImageFault findImageFault(FILE* file, uint32_t memorySize) {
    ImageFault fault;
    GivenBytes given;
    bool endSeen = false;
    forEachHexRecord(
        file,
        [&](const HexRecordAt& at) {
            size_t position = 0;
            const bool sound = recordLineFault(at.text, position).empty();
            fault = sound ? recordFault(at, memorySize, given) : badRecord(at.line, at.text);
            endSeen = endSeen || at.record.type == HexEndOfFile;
            return fault.kind == ImageFault::None ? HexLoop::Next : HexLoop::Stop;
        },
        [&](int32_t line, std::string_view text) {
            fault = badRecord(line, text);
            return HexLoop::Stop;
        });
    if (fault.kind == ImageFault::Overlap) fault.otherLine = lineGiving(file, fault.first, fault.line);
    if (fault.kind == ImageFault::None && !endSeen) fault.kind = ImageFault::NoEndRecord;
    return fault;
}

std::optional<bool> firstByteMostOf(const std::string& path) {
    // The library's rule for ".ihex", so that its CRC check sees the image the burn writes.
    if (ihex_fileHasLittleEndianDataFormat(path.c_str())) return false;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    if (strcasecmp(path.c_str() + dot, ".hex") == 0) return true;
    // A parameter section, which the library never reads.
    if (strcasecmp(path.c_str() + dot, ".upt") == 0) return false;
    return std::nullopt;
}
