// Exports around the CRC record and version marker of Ostral firmware images.
#include "IntelHex.h"
#include "OstralCrc.h"
#include "quillan.h"

using namespace Quillan;

namespace {

constexpr uint8_t kVersionMarker[4] = {0xDC, 0xFE, 0x34, 0x12};  // the word 0x1234FEDC

template <typename T>
void Set(T* output, T value) {
    if (output != nullptr) *output = value;
}

}  // namespace

extern "C" uint32_t ihex_OstralCRC_calculate(const char* fileName) {
    Image image = buildImage(fileName);
    const auto range = firmwareRange(image);
    if (!range) return 0;
    applyZeroExtension(image, *range);
    return imageCrc(image, *range);
}

extern "C" void ihex_OstralCRC_read(const char* fileName, bool* hasCrcRecord, uint32_t* crc) {
    Set(hasCrcRecord, false);
    const Image image = buildImage(fileName);
    if (!carriesCrc(image)) return;
    Set(hasCrcRecord, true);
    Set(crc, WordAt(image, kCrcAddress));
}

extern "C" void ihex_OstralCRC_validate(const char* fileName, bool* hasCrcRecord, bool* crcMatches) {
    Image image = buildImage(fileName);
    Set(hasCrcRecord, false);
    Set(crcMatches, false);
    if (!carriesCrc(image)) return;
    Set(hasCrcRecord, true);
    const auto range = firmwareRange(image);
    if (!range) return;
    applyZeroExtension(image, *range);
    Set(crcMatches, WordAt(image, kCrcAddress) == imageCrc(image, *range));
}

// The file is read twice, never held: once to find the CRC record or its place, once to write it anew.
extern "C" void ihex_OstralCRC_write(const char* fileName, uint32_t crc) {
    CrcRecordFinder finder;
    forEachRecord(fileName, [&](size_t, const IntelHexRecord& record) { finder.Add(record); });
    const bool littleEndian = hasLittleEndianDataFormat(fileName);
    writeRecords(fileName, [&](const RecordSink& sink) {
        forEachRecord(fileName, [&](size_t index, const IntelHexRecord& record) {
            if (!finder.Found() && index == finder.InsertAt()) {
                if (finder.NeedsSegmentRecord())
                    sink(IntelHexRecord{kExtendedLinearAddress, 0, {0x50, 0x01}});
                IntelHexRecord added{kData, kCrcOffset, {0, 0, 0, 0}};
                putCrcValue(added, crc, littleEndian);
                sink(added);
            }
            if (finder.Found() != index) return sink(record);
            IntelHexRecord changed = record;
            putCrcValue(changed, crc, littleEndian);
            sink(changed);
        });
    });
}

extern "C" void ihex_OstralCRC_update(const char* fileName) {
    Image image = buildImage(fileName);
    const auto range = firmwareRange(image);
    if (!range) return;
    applyZeroExtension(image, *range);
    ihex_OstralCRC_write(fileName, imageCrc(image, *range));
}

extern "C" void ihex_makeOstralFWImage(const char* hexFileName, const char* binFileName) {
    Image image = buildImage(hexFileName);
    const auto range = firmwareRange(image);
    if (!carriesCrc(image) || !range) return;
    applyZeroExtension(image, *range);
    writeBinaryFile(binFileName, image.data() + range->start, range->end - range->start);
}

extern "C" uint32_t ihex_readFWVersion(const char* fileName) {
    const Image image = buildImage(fileName);
    // The version word after the marker must lie wholly inside the image, short of its last byte.
    for (size_t i = 0; i + 8 < image.size(); ++i) {
        if (image[i] == kVersionMarker[0] && image[i + 1] == kVersionMarker[1] &&
            image[i + 2] == kVersionMarker[2] && image[i + 3] == kVersionMarker[3]) {
            return WordAt(image, uint32_t(i + 4)) >> 12 & 0xFFFF;
        }
    }
    return 0;
}
