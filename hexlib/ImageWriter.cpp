// ihex_writeImage: image bytes out as an Intel HEX file that builds back into the same image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "IntelHex.h"
#include "quillan.h"

using namespace Quillan;

namespace {

constexpr uint32_t kRecordBytes = 16;
constexpr uint32_t kSegmentBytes = 0x10000;
constexpr uint64_t kImageAddressLimit = 0x400000;

[[noreturn]] void CannotWrite(const std::string& fileName, int error) {
    throw ErrorMessage("Unable to write the iHex file: '%s'\n%s", fileName.c_str(), std::strerror(error));
}

// A name that is a link is written where the link leads, so the link stays.
std::string WrittenPath(const char* fileName) {
    struct stat info;
    if (lstat(fileName, &info) != 0 || !S_ISLNK(info.st_mode)) return fileName;
    char* resolved = realpath(fileName, nullptr);
    if (resolved == nullptr) return fileName;
    std::string path = resolved;
    std::free(resolved);
    return path;
}

// The new file under a temporary name beside the old one; renamed over it by Commit, removed
// otherwise, so a failed write leaves the old file as it was.
class StagedText {
  public:
    explicit StagedText(const char* fileName) : m_target(WrittenPath(fileName)), m_shown(fileName) {
        m_temporary = m_target + ".XXXXXX";
        const int fd = mkstemp(m_temporary.data());
        if (fd < 0) CannotWrite(m_shown, errno);
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        m_file = fdopen(fd, "w");
        if (m_file == nullptr) {
            const int error = errno;
            close(fd);
            unlink(m_temporary.c_str());
            CannotWrite(m_shown, error);
        }
    }
    ~StagedText() {
        if (m_file != nullptr) std::fclose(m_file);
        if (!m_committed) unlink(m_temporary.c_str());
    }
    StagedText(const StagedText&) = delete;
    StagedText& operator=(const StagedText&) = delete;

    void Line(const IntelHexRecord& record) {
        const std::string line = encodeRecord(record) + '\n';
        if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size()) CannotWrite(m_shown, errno);
    }

    void Commit() {
        bool ok = std::fflush(m_file) == 0 && fsync(fileno(m_file)) == 0;
        int error = errno;
        if (std::fclose(m_file) != 0 && ok) {
            ok = false;
            error = errno;
        }
        m_file = nullptr;
        if (!ok) CannotWrite(m_shown, error);
        if (std::rename(m_temporary.c_str(), m_target.c_str()) != 0) CannotWrite(m_shown, errno);
        m_committed = true;
    }

  private:
    std::string m_target;
    std::string m_shown;
    std::string m_temporary;
    std::FILE* m_file = nullptr;
    bool m_committed = false;
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
    StagedText file(hexFileName);
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
