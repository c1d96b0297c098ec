#pragma once
// The tool's own Intel HEX reading rules, shared by the version lookup, the partial erase and the
// burn/verify walk. Images are streamed line by line; nothing here holds a whole image.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// A line is read in pieces of at most 1023 characters; each piece counts as a line.
inline constexpr size_t kHexLineSize = 1024;

struct HexLine {
    char text[kHexLineSize] = {};
    // Characters read, the line feed included; text[length] is always 0.
    size_t length = 0;
};

enum HexRecordType : uint8_t {
    HexData = 0,
    HexEndOfFile = 1,
    HexExtendedSegment = 2,
    HexStartSegment = 3,
    HexExtendedLinear = 4,
    HexStartLinear = 5,
};

struct HexRecord {
    uint8_t count = 0;
    uint16_t address = 0;
    uint8_t type = 0;
    uint8_t data[512] = {};
    uint8_t checksum = 0;
};

// Opens an image for reading; null (errno telling why) when it cannot be opened or is not a regular
// file (an image is read more than once, which a pipe or a device cannot give, and a FIFO would
// hold the open). Line ends are handled by readLinePiece, so the file is opened as bytes.
FILE* openImageFile(const std::string& path);

// True when the path names something other than a regular file or a folder (a FIFO, a device).
bool isSpecialFile(const std::string& path);

// Closes what openImageFile opened, for std::unique_ptr.
struct ImageFileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

// Next piece of the file as a text-mode stream gives it: a CR right before an LF is dropped.
// False at the end of the file.
bool readLinePiece(FILE* file, HexLine& line);

// Converts the next n (1 to 8) characters as hexadecimal (the leading hex digits count, a
// non-digit ends the value) and advances the cursor by n. Conversion stops at a 0 character, so
// a 0-terminated text is never read past its end.
uint32_t readHexField(const char*& cursor, int n);

// False when the line does not start with ":" or when the record's fields up to its data run
// past the end of the line (a cut record is never filled with whatever follows it). A missing
// checksum reads as 0: it is never checked.
bool parseHexLine(const HexLine& line, HexRecord& record);

// Pieces up to the end of the file; the file is left at its start.
int32_t countLines(FILE* file);

// A record as the record loop hands it on.
struct HexRecordAt {
    const HexRecord& record;
    // Number from 1 of the line piece that holds it.
    int32_t line;
    // Base + record address: where its first data byte belongs. The extended linear base a type-4
    // record sets applies from the record after it.
    uint32_t address;
    // The line piece without its line end.
    std::string_view text;
};

// What to do after a record: read on, or stop the loop.
enum class HexLoop { Next, Stop };

using HexRecordVisitor = std::function<HexLoop(const HexRecordAt& at)>;
// A record line that does not parse; gets its line number and text.
using HexCutVisitor = std::function<HexLoop(int32_t line, std::string_view text)>;

// The one record loop of the tool's readers: reads the file from where it stands piece by piece,
// passes over every line that is not a record line (one that starts with ":", or a record that
// lost its ":", holding hex digits only), hands each record that parses to `each` and each that
// does not to `cut` (passed over when there is none), and keeps the extended linear base. The
// file is left at its start.
void forEachHexRecord(FILE* file, const HexRecordVisitor& each, const HexCutVisitor& cut = nullptr);

// Number (from 1) of the first line starting with ":" that does not parse; 0 when every record
// is whole. The file is left at its start.
int32_t findCutRecord(FILE* file);

// What is wrong with a record line (without its line end), in the words of the library's own
// checks: no ":" first, too short, not a hex digit, longer than a line piece, a byte count that
// differs from the data, a wrong checksum, a record type other than 00 to 05 or a length its type
// does not have. Empty for a sound record. `position` is set to the character the fault is seen at.
std::string recordLineFault(std::string_view text, size_t& position);

// A line for a message: control and other non-printing characters escaped (\r, \x1b), and only a
// window of a few dozen characters around `position` when it is longer.
std::string quotedLine(std::string_view text, size_t position);

// The first thing in an image that must stop a burn or verify before the memory is touched.
struct ImageFault {
    enum Kind { None, BadRecord, SegmentBase, LinearBase, BeyondMemory, Overlap, NoEndRecord };
    Kind kind = None;
    int32_t line = 0;    // number from 1 of the record
    uint32_t first = 0;  // BeyondMemory: first and last address of the record's data; Overlap: the byte
    uint32_t last = 0;
    uint32_t segment = 0;  // SegmentBase, LinearBase: the record's value
    std::string what;      // BadRecord: what is wrong, and the line quoted
    std::string quoted;
    int32_t otherLine = 0;  // Overlap: the earlier line and the values the two lines give the byte
    uint8_t value = 0;
    uint8_t otherValue = 0;
};

// Every line checked in one pass: lines that start with ":" must be sound records (and lines of hex
// digits alone, records that lost their ":", are refused too; other lines are passed over), an
// extended segment record must give segment 0 and an extended linear one a segment inside the memory
// (value 0x0000 + segment, or 0x5000 + segment as the library writes it), no data may reach
// memorySize (no check when it is 0), no two records may give one byte different values, and an
// end record must be there. The file is left at its start.
ImageFault findImageFault(FILE* file, uint32_t memorySize);

// Byte order of an image, from its name (compared without case): ".ihex" holds the bytes in image
// order (the library's little-endian data format), ".hex" each word most significant byte first,
// so that the first byte of each group of four is the word's most significant byte; a ".upt"
// parameter section is in image order too. None for any other name: such a file is not used.
std::optional<bool> firstByteMostOf(const std::string& path);

// Puts byte k (0-3) of a group into the word at the position the byte order gives it.
constexpr uint32_t placeByte(uint32_t word, uint8_t byte, int k, bool firstByteMost) {
    const int shift = firstByteMost ? 24 - 8 * k : 8 * k;
    return word | (uint32_t{byte} << shift);
}

// The memory address where a burn puts the byte the file gives for this address: the word's most
// significant byte lies at the lowest address of its aligned 4-byte cell, so the other byte order
// turns each cell around. Agrees with placeByte for a group at its cell.
constexpr uint32_t landingAddress(uint32_t address, bool firstByteMost) {
    return firstByteMost ? address : (address & ~uint32_t{3}) | (3 - (address & 3));
}

// Base address set by an extended linear address record: only its low 6 bits count, so the
// base wraps at 4 MiB.
uint32_t extendedLinearBase(const HexRecord& record);

// The firmware version word found behind the version marker; 0 when there is none and the user
// chose to go on (a no ends the process).
uint32_t extractImageVersion(const std::string& path);
// The same word without a word on the console and without a question; empty when the file cannot
// be read, is not a sound image or has no marker.
std::optional<uint32_t> findImageVersion(const std::string& path);
