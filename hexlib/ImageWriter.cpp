// ihex_writeImage: image bytes out as an Intel HEX file that builds back into the same image.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "IntelHex.h"
#include "platform/WholeFile.h"
#include "quillan.h"

using namespace Quillan;

namespace {

constexpr uint32_t kRecordBytes = 16;
constexpr uint32_t kSegmentBytes = 0x10000;
constexpr uint64_t kImageAddressLimit = 0x400000;

[[noreturn]] void CannotWrite(const std::string& fileName, int error) {
    throw ErrorMessage("Unable to write the iHex file: '%s'\n%s", fileName.c_str(), std::strerror(error));
}

// The whole file as text, written in one step the way every file of the project is written.
class HexText {
  public:
    explicit HexText(const char* fileName) : m_shown(fileName) {}

    void Line(const IntelHexRecord& record) { m_text += encodeRecord(record) + '\n'; }

    void Commit() const {
        if (const int error = platform::WriteWholeFile(m_shown, m_text); error != 0)
            CannotWrite(m_shown, error);
    }

  private:
    std::string m_shown;
    std::string m_text;
};

IntelHexRecord SegmentRecord(uint32_t segment) {
    const uint32_t value = ihex_formatExtendedLinearAddr(segment);
    return {kExtendedLinearAddress, 0, {uint8_t(value >> 8), uint8_t(value)}};
}

// The image bytes to write: files other than .ihex hold each 4-byte group most significant byte
// first, so they need whole aligned groups; bytes around the given range are then 0xFF, which
// building an image reads as no data.
class ImageRange {
  public:
    ImageRange(const uint8_t* image, uint32_t length, uint32_t imageAddress, bool wholeWords)
        : m_image(image), m_begin(imageAddress), m_end(imageAddress + length) {
        m_first = wholeWords ? m_begin & ~3u : m_begin;
        m_last = wholeWords ? (m_end + 3) & ~3u : m_end;
    }
    uint32_t First() const { return m_first; }
    uint32_t End() const { return m_last; }
    uint8_t At(uint32_t address) const {
        return address >= m_begin && address < m_end ? m_image[address - m_begin] : 0xFF;
    }

  private:
    const uint8_t* m_image;
    uint32_t m_begin, m_end, m_first, m_last;
};

// Data records end at 16-byte address boundaries, so none crosses a segment, and every record of
// a file with whole groups starts on a group.
IntelHexRecord DataRecord(const ImageRange& range, uint32_t from, uint32_t to, bool littleEndian) {
    IntelHexRecord record{kData, from & 0xFFFF, {}};
    for (uint32_t a = from; a < to; ++a) {
        const uint32_t source = littleEndian ? a : a - a % 4 + 3 - a % 4;
        record.data.push_back(range.At(source));
    }
    return record;
}

}  // namespace

extern "C" void ihex_writeImage(const char* hexFileName, const uint8_t* image, uint32_t length,
                                uint32_t imageAddress) {
    if (uint64_t{imageAddress} + length > kImageAddressLimit) {
        throw ErrorMessage("The image range 0x%X..0x%X lies beyond the image addresses 0..0x3FFFFF: '%s'",
                           unsigned(imageAddress), unsigned(imageAddress + uint64_t{length} - 1),
                           hexFileName);
    }
    const bool littleEndian = hasLittleEndianDataFormat(hexFileName);
    const ImageRange range(image, length, imageAddress, !littleEndian);
    // Refused before the text is made.
    if (const int error = platform::CheckWritable(hexFileName); error != 0) CannotWrite(hexFileName, error);
    HexText file(hexFileName);
    uint32_t segment = UINT32_MAX;
    for (uint32_t at = range.First(); at < range.End();) {
        if (at / kSegmentBytes != segment) {
            segment = at / kSegmentBytes;
            file.Line(SegmentRecord(segment));
        }
        const uint32_t to = std::min(range.End(), at - at % kRecordBytes + kRecordBytes);
        file.Line(DataRecord(range, at, to, littleEndian));
        at = to;
    }
    file.Line({kEndOfFile, 0, {}});
    file.Commit();
}
