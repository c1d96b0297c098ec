#include "image/FlashMap.h"

#include <memory>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "flash/FlashDriver.h"
#include "image/HexReader.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

[[noreturn]] void assertionFailed(const char* format, int line, const char* function) {
    throw CxExceptionError(formatText(format, __FILE__, line, function), -1);
}

}  // namespace

void FlashMap::clear(uint32_t baseAddress) {
    m_baseAddress = baseAddress;
    m_map.fill(0);
}

bool FlashMap::markAddressSelected(uint32_t address) {
    const uint32_t offset = address - m_baseAddress;
    if (offset >= kCoveredBytes) return false;
    const uint32_t sectorNum = offset / kSectorSize;
    if (!(sectorNum < kSectors)) {
        assertionFailed("Assertion 'sectorNum < countof(map.sector)' failed at %s:%d in function %s",
                        __LINE__, "FlashMap::markAddressSelected");
    }
    m_map[sectorNum] = 1;
    return true;
}

bool FlashMap::isBlockSelected(uint32_t blockNum) const {
    if (!(blockNum < kBlocks)) {
        assertionFailed("Assertion 'blockNum < countof(map.block)' failed at %s:%d in function %s", __LINE__,
                        "FlashMap::isBlockSelected");
    }
    for (uint32_t s = 0; s < kSectorsPerBlock; ++s) {
        if (m_map[blockNum * kSectorsPerBlock + s] == 0) return false;
    }
    return true;
}

bool FlashMap::isSectorSelected(uint32_t blockNum, uint32_t sectorRelativeToBlock) const {
    if (!(blockNum < kBlocks)) {
        assertionFailed("Assertion 'blockNum < countof(map.block)' failed at %s:%d in function %s", __LINE__,
                        "FlashMap::isSectorSelected");
    }
    if (!(sectorRelativeToBlock < kSectorsPerBlock)) {
        assertionFailed(
            "Assertion 'sectorRelativeToBlock < countof(map.block[0].sectors)' failed at %s:%d in function "
            "%s",
            __LINE__, "FlashMap::isSectorSelected");
    }
    return m_map[blockNum * kSectorsPerBlock + sectorRelativeToBlock] != 0;
}

namespace {

// Marks every sector holding a data byte of the image; true when the end record was seen.
bool markImage(FILE* file, FlashMap& map) {
    bool endSeen = false;
    forEachHexRecord(file, [&](const HexRecordAt& at) {
        const HexRecord& record = at.record;
        if (record.type == HexData) {
            for (uint32_t i = 0; i < record.count; ++i) map.markAddressSelected(at.address + i);
        } else if (record.type == HexEndOfFile) {
            endSeen = true;
        } else if (record.type > HexStartLinear) {
            ConsoleUi::instance().print(formatText("\nunknown code: 0x%x\n", record.type));
        }
        return HexLoop::Next;
    });
    return endSeen;
}

}  // namespace

bool eraseSelected(const FlashMap& map, int32_t memoryKind, uint32_t startMs) {
    ConsoleUi& console = ConsoleUi::instance();
    if (Session().options.progress) console.progress(0);
    bool erased = true;
    const auto eraseUnit = [&](uint32_t address, uint32_t transmitWord) {
        erased = EraseSingleSectorOrBlock(memoryKind, address, transmitWord) && erased;
    };
    for (uint32_t b = 0; b < FlashMap::kBlocks; ++b) {
        const uint32_t blockAddress = b * FlashMap::kBlockSize;
        if (map.isBlockSelected(b)) {
            eraseUnit(blockAddress, kBlockEraseWord);
        } else {
            for (uint32_t s = 0; s < FlashMap::kSectorsPerBlock; ++s) {
                if (map.isSectorSelected(b, s))
                    eraseUnit(blockAddress + s * FlashMap::kSectorSize, kSectorEraseWord);
            }
        }
        console.progress(static_cast<int32_t>(b * 100 / FlashMap::kBlocks));
    }
    console.progress(100);
    const float seconds = static_cast<float>(platform::CurrentClock().TickMs() - startMs) / 1000.0f;
    console.print(formatText("\nErase time: %f seconds\n", static_cast<double>(seconds)));
    return erased;
}

bool eraseForImage(const std::string& path, int32_t memoryKind) {
    std::unique_ptr<FILE, ImageFileCloser> file(openImageFile(path));
    if (!file) {
        ConsoleUi::instance().print(formatText("Can't open file: %s\n", path.c_str()));
        fatalExit();
    }
    const int32_t totalLines = countLines(file.get());
    FlashMap map;
    map.clear(0);
    ConsoleUi& console = ConsoleUi::instance();
    console.print(formatText("Erasing blocks and sectors based on image %s, total lines: %d\n", path.c_str(),
                             totalLines));
    const uint32_t startMs = platform::CurrentClock().TickMs();
    const bool endSeen = markImage(file.get(), map);
    const bool erased = eraseSelected(map, memoryKind, startMs);
    if (!endSeen) {
        console.print("No end of file encountered. Error on reading file.\n");
    } else {
        // A unit still busy at its time-out was not erased: no success line over it.
        console.print(erased ? "Partial erase succeeded.\n\n" : "Partial erase failed.\n\n");
    }
    return erased;
}
