#include "IntelHex.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "LineReader.h"
#include "platform/WholeFile.h"
#include "quillan.h"

namespace Quillan {

namespace {

constexpr size_t kMinimumLineLength = 11;  // ':' and five bytes
constexpr size_t kMaximumLineBytes = 255 + 5;
// How much of a line too long for any record its message shows.
constexpr int kQuotedStart = 64;

// Hex digit values, -1 for everything else; indexed by unsigned char.
constexpr std::array<int8_t, 256> kHexValue = [] {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 10; ++i) table['0' + i] = int8_t(i);
    for (int i = 0; i < 6; ++i) table['A' + i] = table['a' + i] = int8_t(10 + i);
    return table;
}();

int HexValue(char c) {
    return kHexValue[static_cast<unsigned char>(c)];
}

uint8_t ByteAt(std::string_view line, size_t index) {
    return uint8_t(HexValue(line[1 + 2 * index]) << 4 | HexValue(line[2 + 2 * index]));
}

uint8_t Checksum(const uint8_t* bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += bytes[i];
    return uint8_t(0x100 - (sum & 0xFF));
}

void CheckSyntax(std::string_view line) {
    const std::string text(line);
    if (line.empty() || line[0] != ':') {
        throw ErrorMessage(
            "Invalid iHex record: '%s'\nThe first character is expected to be: ':',  but got: '%c'",
            text.c_str(), line.empty() ? '\0' : line[0]);
    }
    if (line.size() < kMinimumLineLength) {
        throw ErrorMessage(
            "Invalid iHex record: '%s'\nThe record lengh is: %d, but the minimum size is %d characters",
            text.c_str(), int(line.size()), int(kMinimumLineLength));
    }
    for (size_t i = 1; i < line.size(); ++i) {
        if (HexValue(line[i]) < 0) {
            throw ErrorMessage(
                "Invalid iHex record: '%s'\r\nA non-hex digit is occurred: '%c'  (at position: %d)",
                text.c_str(), line[i], int(i));
        }
    }
}

bool IsWellFormed(std::string_view line) {
    if (line.size() < kMinimumLineLength || line[0] != ':') return false;
    for (size_t i = 1; i < line.size(); ++i) {
        if (HexValue(line[i]) < 0) return false;
    }
    return true;
}

// What the first characters of a line too long for any record show wrong, else its length.
[[noreturn]] void RefuseLongLine(std::string_view start) {
    CheckSyntax(start);
    throw ErrorMessage(
        "Invalid iHex record: '%.*s...'\nThe record is longer than the maximum size of %d characters",
        kQuotedStart, std::string(start).c_str(), int(LineReader::kLongestLine));
}

// Runs every line through parseRecord, hands each record on, and insists on a final end-of-file record.
template <typename OnRecord>
void ForEachRecord(const char* fileName, OnRecord onRecord) {
    LineReader reader(fileName);
    IntelHexRecord record;
    unsigned lineNumber = 0;
    while (const auto line = reader.NextLine()) {
        ++lineNumber;
        try {
            record.type = 0;
            record.address = 0;
            record.data.clear();
            if (reader.Cut()) RefuseLongLine(*line);
            parseRecord(*line, record);
            onRecord(size_t{lineNumber - 1}, record);
        } catch (const std::exception& e) {
            throw ErrorMessage("Error during parsing iHex file: '%s', line: %d\n%s", fileName,
                               int(lineNumber), e.what());
        }
    }
    if (lineNumber == 0) throw ErrorMessage("The iHex file '%s' holds no record", fileName);
    if (record.type != kEndOfFile) {
        throw ErrorMessage("Last record in the iHex file '%s' is not a EOF record: '%s'", fileName,
                           encodeRecord(record).c_str());
    }
}

}  // namespace

bool hasLittleEndianDataFormat(const char* fileName) {
    if (fileName == nullptr) return false;
    const char* dot = std::strrchr(fileName, '.');
    if (dot == nullptr) return false;
    const std::string_view extension(dot + 1);
    constexpr std::string_view kLittleEndianExtension = "ihex";
    if (extension.size() != kLittleEndianExtension.size()) return false;
    for (size_t i = 0; i < extension.size(); ++i) {
        const char c = extension[i];
        const char lower = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
        if (lower != kLittleEndianExtension[i]) return false;
    }
    return true;
}

void parseRecord(std::string_view line, IntelHexRecord& record) {
    // Well-formed lines skip building the message text; the checks then run again to report.
    if (!IsWellFormed(line)) CheckSyntax(line);
    const size_t count = (line.size() - 1) / 2;
    const uint8_t byteCount = ByteAt(line, 0);
    if (byteCount != count - 5) {
        throw ErrorMessage(
            "Invalid iHex record: '%s'\r\nThe 'byteCount' field value is '0x%02X', but record contains "
            "0x%02X data "
            "bytes",
            std::string(line).c_str(), unsigned(byteCount), unsigned(count - 5));
    }
    std::array<uint8_t, kMaximumLineBytes> bytes;
    for (size_t i = 0; i < count; ++i) bytes[i] = ByteAt(line, i);
    const uint8_t expected = Checksum(bytes.data(), count - 1);
    if (bytes[count - 1] != expected) {
        throw ErrorMessage(
            "Invalid iHex record: '%s'\nThe checksum at the end of the record is: '0x%02X', but calculated: "
            "0x%02X",
            std::string(line).c_str(), unsigned(bytes[count - 1]), unsigned(expected));
    }
    record.address = uint32_t(bytes[1]) << 8 | bytes[2];
    record.type = bytes[3];
    record.data.assign(bytes.begin() + 4, bytes.begin() + (count - 1));
    // Its second data byte selects the segment; a shorter one would leave the address undefined.
    if (record.type == kExtendedLinearAddress && record.data.size() < 2) {
        throw ErrorMessage(
            "Invalid iHex record: '%s'\nAn extended linear address record needs 2 data bytes, but has %d",
            std::string(line).c_str(), int(record.data.size()));
    }
    // Segment addresses are not applied: data behind a segment other than 0 would land in the first
    // 64 KiB, elsewhere than the file says.
    if (record.type == kExtendedSegmentAddress &&
        (record.data.size() != 2 || record.data[0] != 0 || record.data[1] != 0)) {
        throw ErrorMessage(
            "Invalid iHex record: '%s'\nAn extended segment address record other than segment 0 is not "
            "supported",
            std::string(line).c_str());
    }
}

std::string encodeRecord(const IntelHexRecord& record) {
    std::vector<uint8_t> bytes;
    bytes.reserve(record.data.size() + 5);
    bytes.push_back(uint8_t(record.data.size()));
    bytes.push_back(uint8_t(record.address >> 8));
    bytes.push_back(uint8_t(record.address));
    bytes.push_back(record.type);
    for (const uint8_t byte : record.data) bytes.push_back(byte);
    bytes.push_back(Checksum(bytes.data(), bytes.size()));
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(1 + 2 * bytes.size(), ':');
    for (size_t i = 0; i < bytes.size(); ++i) {
        text[1 + 2 * i] = kDigits[bytes[i] >> 4];
        text[2 + 2 * i] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

void forEachRecord(const char* fileName, const std::function<void(size_t, const IntelHexRecord&)>& onRecord) {
    ForEachRecord(fileName, onRecord);
}

std::vector<IntelHexRecord> parseFile(const char* fileName) {
    std::vector<IntelHexRecord> records;
    ForEachRecord(fileName, [&](size_t, const IntelHexRecord& record) { records.push_back(record); });
    return records;
}

namespace {

// Copies the staged text from its start into the descriptor; 0 or the error.
int copyStaged(std::FILE* staged, int fd) {
    std::rewind(staged);
    std::array<char, 1 << 16> chunk;
    size_t count = 0;
    while ((count = std::fread(chunk.data(), 1, chunk.size(), staged)) > 0) {
        if (const int error = platform::WriteAll(fd, chunk.data(), count); error != 0) return error;
    }
    return std::ferror(staged) != 0 ? EIO : 0;
}

}  // namespace

void writeRecords(const char* fileName, const std::function<void(const RecordSink&)>& produce) {
    if (platform::CheckWritable(fileName) != 0) return;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> staged(std::tmpfile(), std::fclose);
    bool ok = staged != nullptr;
    if (ok) {
        produce([&](const IntelHexRecord& record) {
            const std::string line = encodeRecord(record) + '\n';
            ok = ok && std::fwrite(line.data(), 1, line.size(), staged.get()) == line.size();
        });
        ok = ok && std::fflush(staged.get()) == 0;
    }
    if (!ok) throw ErrorMessage("Unable to write the iHex file: '%s'\n%s", fileName, std::strerror(errno));
    const int error =
        platform::WriteWholeFile(fileName, [&](int fd) { return copyStaged(staged.get(), fd); });
    if (error != 0)
        throw ErrorMessage("Unable to write the iHex file: '%s'\n%s", fileName, std::strerror(error));
}

void resolveAddresses(std::vector<IntelHexRecord>& records) {
    uint32_t upper = 0;
    for (IntelHexRecord& record : records) {
        if (record.type == kData) record.address |= upper;
        if (record.type == kExtendedLinearAddress) upper = SegmentBase(record);
    }
}

void placeData(Image& image, uint32_t address, const std::vector<uint8_t>& data, bool littleEndian) {
    const size_t size = data.size();
    const size_t padded = (size + 3) & ~size_t{3};
    const size_t end = size_t{address} + padded;
    if (end > image.size()) image.resize(end, 0xFF);
    uint8_t* target = image.data() + address;
    for (size_t i = 0; i < padded; ++i) {
        // Other files hold each group of four bytes most significant first.
        const size_t source = littleEndian ? i : i - i % 4 + 3 - i % 4;
        // A padding byte is 0xFF already where no record wrote, and must not undo one that did.
        if (source < size) target[i] = data[source];
    }
}

Image buildImage(const char* fileName) {
    const bool littleEndian = hasLittleEndianDataFormat(fileName);
    Image image;
    // Resolves and places each record as it is read: the same image as resolving the whole list
    // first, without holding the list in memory.
    uint32_t upper = 0;
    ForEachRecord(fileName, [&](size_t, const IntelHexRecord& record) {
        if (record.type == kExtendedLinearAddress) upper = SegmentBase(record);
        if (record.type == kData) placeData(image, record.address | upper, record.data, littleEndian);
    });
    return image;
}

void writeBinaryFile(const char* fileName, const uint8_t* bytes, size_t count) {
    if (platform::CheckWritable(fileName) != 0) return;
    if (const int error = platform::WriteWholeFile(fileName, bytes, count); error != 0)
        throw ErrorMessage("Unable to write the binary file: '%s'\n%s", fileName, std::strerror(error));
}

}  // namespace Quillan
