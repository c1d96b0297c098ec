// Loads an image into the version buffer and finds the firmware version behind its marker.
#include <cstdio>
#include <memory>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "image/HexReader.h"

namespace {

constexpr uint32_t kVersionImageSize = 0xC0000;
constexpr uint32_t kVersionMarker = 0x1234FEDC;

void storeLittleEndian(uint8_t* image, uint32_t address, uint32_t word) {
    for (uint32_t k = 0; k < 4 && address + k < kVersionImageSize; ++k) {
        image[address + k] = static_cast<uint8_t>(word >> (8 * k));
    }
}

uint32_t loadLittleEndian(const uint8_t* image, uint32_t offset) {
    return uint32_t{image[offset]} | uint32_t{image[offset + 1]} << 8 | uint32_t{image[offset + 2]} << 16 |
           uint32_t{image[offset + 3]} << 24;
}

// Words of a data record at the address of their first byte; bytes past the buffer are dropped.
void storeRecord(uint8_t* image, const HexRecord& record, uint32_t recordAddress, bool firstByteMost) {
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

[[noreturn]] void cutRecordExit(const std::string& path, int32_t lineNumber) {
    ConsoleUi::instance().print(formatText("Record on line %d of file %s runs past the end of its line.\n",
                                           lineNumber, path.c_str()));
    fatalExit();
}

// Reads the image into the buffer; true when it is complete (end record or buffer overflow).
bool loadVersionImage(FILE* file, const std::string& path, uint8_t* image) {
    const bool firstByteMost = isHexExtension(path);
    HexLine line;
    HexRecord record;
    uint32_t base = 0;
    bool endSeen = false;
    for (int32_t number = 1; readLinePiece(file, line); ++number) {
        if (line.text[0] != ':') continue;
        if (!parseHexLine(line, record)) cutRecordExit(path, number);
        const uint32_t recordAddress = base + record.address;
        if (recordAddress >= kVersionImageSize) return true;
        switch (record.type) {
            case HexData:
                storeRecord(image, record, recordAddress, firstByteMost);
                break;
            case HexEndOfFile:
                endSeen = true;
                break;
            case HexExtendedLinear:
                base = extendedLinearBase(record);
                break;
            case HexStartLinear:
                break;
            // Written straight to standard output, not through the console object.
            default:
                printf("\nunknown code: %d\n", record.type);
                break;
        }
    }
    return endSeen;
}

}  // namespace

uint32_t extractImageVersion(const std::string& path) {
    auto image = std::make_unique<uint8_t[]>(kVersionImageSize);  // zero-filled
    {
        std::unique_ptr<FILE, ImageFileCloser> file(openImageFile(path));
        if (!file) {
            ConsoleUi::instance().print(formatText("Can't open file: %s\n", path.c_str()));
            fatalExit();
        }
        if (!loadVersionImage(file.get(), path, image.get())) {
            ConsoleUi::instance().print("No end of file encountered. Error on reading file.\n");
            fatalExit();
        }
    }
    for (uint32_t offset = 0; offset + 8 <= kVersionImageSize; ++offset) {
        if (loadLittleEndian(image.get(), offset) == kVersionMarker)
            return loadLittleEndian(image.get(), offset + 4);
    }
    ConsoleUi::instance().print("Warning: Could not extract version number from the firmware hex file.\n");
    if (!ConsoleUi::instance().confirm()) throw ProcessExit{-1};
    return 0;
}
