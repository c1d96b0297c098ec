// Any bytes as an Intel HEX file through the file exports: each ends in a result or an ErrorMessage,
// and a CRC written into the file is found again where it was put.
#include <vector>

#include "IntelHex.h"
#include "OstralCrc.h"
#include "QuillanFuzz.h"

using namespace Quillan;
using namespace quillanfuzz;

namespace {

void RunReadingExports(const char* hex, uint32_t address) {
    const char* sink = "/dev/null";
    ihex_OstralCRC_calculate(hex);
    bool hasCrcRecord = true;
    uint32_t crc = 0;
    ihex_OstralCRC_read(hex, &hasCrcRecord, &crc);
    bool crcMatches = true;
    ihex_OstralCRC_validate(hex, &hasCrcRecord, &crcMatches);
    Check(hasCrcRecord || !crcMatches);
    ihex_readFWVersion(hex);
    ErrorOf([&] { ihex_readRegisterFromFile(hex, address); });
    ihex_makeImage(hex, sink);
    ihex_makeOstralFWImage(hex, sink);
}

void CheckCrcWrite(const char* hex, bool littleEndian, uint32_t crc) {
    ihex_OstralCRC_write(hex, crc);
    const std::vector<IntelHexRecord> records = parseFile(hex);
    const auto index = findCrcRecord(records);
    Check(index.has_value());
    const IntelHexRecord& record = records[*index];
    const size_t offset = kCrcOffset - record.address;
    for (size_t i = 0; i < 4; ++i) {
        const size_t shift = littleEndian ? 8 * i : 8 * (3 - i);
        Check(record.data[offset + i] == uint8_t(crc >> shift));
    }
    ihex_OstralCRC_update(hex);
    ErrorOf([&] { parseFile(hex); });
}

}  // namespace

// The first byte picks the byte order, the next four a register address and a CRC; the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const bool littleEndian = data[0] & 1;
    const uint32_t number = Word(data + 1);
    const std::string hex = WriteInput(data + 5, size - 5, littleEndian);
    // A file that does not parse is the other target's business; every export fails on it alike.
    if (ErrorOf([&] { parseFile(hex.c_str()); })) return 0;
    RunReadingExports(hex.c_str(), number);
    CheckCrcWrite(hex.c_str(), littleEndian, number);
    return 0;
}
