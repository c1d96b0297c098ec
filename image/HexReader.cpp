#include "image/HexReader.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "console/TextHelpers.h"
#include "platform/TextFile.h"

FILE* openImageFile(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return nullptr;
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
        fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
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

void forEachHexRecord(FILE* file, const HexRecordVisitor& each, const HexCutVisitor& cut) {
    HexLine line;
    HexRecord record;
    uint32_t base = 0;
    for (int32_t number = 1; readLinePiece(file, line); ++number) {
        if (line.text[0] != ':') continue;
        HexLoop next = HexLoop::Next;
        if (!parseHexLine(line, record)) {
            if (cut) next = cut(number);
        } else {
            next = each(HexRecordAt{record, number, base + record.address});
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
        [&cut](int32_t line) {
            cut = line;
            return HexLoop::Stop;
        });
    return cut;
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

// The fault of one parsed record.
ImageFault recordFault(const HexRecordAt& at, uint32_t memorySize) {
    const HexRecord& record = at.record;
    ImageFault fault;
    if (record.type == HexExtendedSegment && recordValue16(record) != 0) {
        fault.kind = ImageFault::SegmentBase;
        fault.segment = recordValue16(record);
    } else if (record.type == HexData && record.count > 0 && memorySize > 0) {
        const uint64_t first = at.address;
        const uint64_t end = first + record.count;
        if (end > memorySize) {
            fault.kind = ImageFault::BeyondMemory;
            fault.first = static_cast<uint32_t>(first);
            fault.last = static_cast<uint32_t>(end - 1);
        }
    }
    return fault;
}

}  // namespace

ImageFault findImageFault(FILE* file, uint32_t memorySize) {
    ImageFault fault;
    forEachHexRecord(
        file,
        [&](const HexRecordAt& at) {
            fault = recordFault(at, memorySize);
            fault.line = at.line;
            return fault.kind == ImageFault::None ? HexLoop::Next : HexLoop::Stop;
        },
        [&](int32_t line) {
            fault.kind = ImageFault::CutRecord;
            fault.line = line;
            return HexLoop::Stop;
        });
    return fault;
}

bool isHexExtension(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.size() - dot != 4) return false;
    for (size_t i = 0; i < 3; ++i) {
        if (std::tolower(static_cast<unsigned char>(path[dot + 1 + i])) != "hex"[i]) return false;
    }
    return true;
}
