// Loads an image into the version buffer and finds the firmware version behind its marker.
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "image/BurnWalk.h"
#include "image/HexReader.h"

namespace {

constexpr uint32_t kVersionImageSize = 0xC0000;
constexpr uint32_t kVersionMarker = 0x1234FEDC;
constexpr uint32_t kChunkSize = 256;

// The version buffer: 768 KiB of zeros in which only the chunks an image writes are kept, so
// reading and searching an image costs what the image holds, not the buffer's size.
class VersionImage {
  public:
    void Store(uint32_t address, uint8_t byte) {
        if (address >= kVersionImageSize) return;
        auto [chunk, added] = m_chunks.try_emplace(address / kChunkSize);
        if (added) chunk->second.fill(0);
        chunk->second[address % kChunkSize] = byte;
    }
    uint8_t At(uint32_t address) const {
        const auto chunk = m_chunks.find(address / kChunkSize);
        return chunk == m_chunks.end() ? 0 : chunk->second[address % kChunkSize];
    }
    uint32_t LittleEndianAt(uint32_t offset) const {
        return uint32_t{At(offset)} | uint32_t{At(offset + 1)} << 8 | uint32_t{At(offset + 2)} << 16 |
               uint32_t{At(offset + 3)} << 24;
    }
    // The first marker from the lowest address: its bytes are all non-zero, so it starts in a kept
    // chunk. False when there is none.
    bool FindVersion(uint32_t& version) const {
        for (const auto& [index, bytes] : m_chunks) {
            for (uint32_t offset = index * kChunkSize; offset < (index + 1) * kChunkSize; ++offset) {
                if (offset + 8 > kVersionImageSize) return false;
                if (LittleEndianAt(offset) != kVersionMarker) continue;
                version = LittleEndianAt(offset + 4);
                return true;
            }
        }
        return false;
    }

  private:
    std::map<uint32_t, std::array<uint8_t, kChunkSize>> m_chunks;
};

void storeLittleEndian(VersionImage& image, uint32_t address, uint32_t word) {
    for (uint32_t k = 0; k < 4; ++k) image.Store(address + k, static_cast<uint8_t>(word >> (8 * k)));
}

// Words of a data record at the address of their first byte; bytes past the buffer are dropped.
void storeRecord(VersionImage& image, const HexRecord& record, uint32_t recordAddress, bool firstByteMost) {
    uint32_t word = 0;
    int k = 0;
    for (uint32_t i = 0; i < record.count; ++i) {
        word = placeByte(word, record.data[i], k++, firstByteMost);
        if (k == 4 || i + 1 == record.count) {
            const uint32_t wordAddress = recordAddress + i + 1 - static_cast<uint32_t>(k);
            if (wordAddress < kVersionImageSize) storeLittleEndian(image, wordAddress, word);
            word = 0;
            k = 0;
        }
    }
}

// Reads the image into the buffer; true when it is complete (end record or buffer overflow). Quiet:
// records of other types pass without a word.
bool loadVersionImage(FILE* file, bool firstByteMost, VersionImage& image, bool quiet = false) {
    bool complete = false;
    forEachHexRecord(file, [&](const HexRecordAt& at) {
        if (at.address >= kVersionImageSize) {
            complete = true;
            return HexLoop::Stop;
        }
        switch (at.record.type) {
            case HexData:
                storeRecord(image, at.record, at.address, firstByteMost);
                break;
            case HexEndOfFile:
                complete = true;
                break;
            case HexExtendedLinear:
            case HexStartLinear:
                break;
            // Written straight to standard output, not through the console object.
            default:
                if (!quiet) printf("\nunknown code: %d\n", at.record.type);
                break;
        }
        return HexLoop::Next;
    });
    return complete;
}

}  // namespace

std::optional<uint32_t> findImageVersion(const std::string& path) {
    const std::optional<bool> firstByteMost = firstByteMostOf(path);
    std::unique_ptr<FILE, ImageFileCloser> file(openImageFile(path));
    if (!firstByteMost || !file || findImageFault(file.get(), 0).kind != ImageFault::None)
        return std::nullopt;
    VersionImage image;
    uint32_t version = 0;
    if (!loadVersionImage(file.get(), *firstByteMost, image, true) || !image.FindVersion(version))
        return std::nullopt;
    return version;
}

uint32_t extractImageVersion(const std::string& path) {
    VersionImage image;
    {
        // The records are checked as for a burn before any is read; whether they fit the memory is
        // the burn's concern.
        const CheckedImage checked = openCheckedImage(path, 0);
        if (!loadVersionImage(checked.file.get(), checked.firstByteMost, image)) {
            ConsoleUi::instance().print("No end of file encountered. Error on reading file.\n");
            fatalExit();
        }
    }
    uint32_t version = 0;
    if (image.FindVersion(version)) return version;
    ConsoleUi::instance().print("Warning: Could not extract version number from the firmware hex file.\n");
    if (!ConsoleUi::instance().confirm()) throw ProcessExit{-1};
    return 0;
}
