// Any bytes as an Intel HEX file: the record list and the streamed image must agree, fail alike, and
// every parsed record must encode and parse back to itself.
#include <vector>

#include "IntelHex.h"
#include "QuillanFuzz.h"

using namespace Quillan;
using namespace quillanfuzz;

namespace {

// The image built the long way: the whole list, then its addresses, then the data.
Image ImageOfList(std::vector<IntelHexRecord> records, bool littleEndian) {
    resolveAddresses(records);
    Image image;
    for (const IntelHexRecord& record : records) {
        if (record.type == kData) placeData(image, record.address, record.data, littleEndian);
    }
    return image;
}

}  // namespace

// The first byte picks the byte order; the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool littleEndian = data[0] & 1;
    const std::string hex = WriteInput(data + 1, size - 1, littleEndian);

    std::vector<IntelHexRecord> records;
    Image image;
    const auto listError = ErrorOf([&] { records = parseFile(hex.c_str()); });
    const auto imageError = ErrorOf([&] { image = buildImage(hex.c_str()); });
    Check(listError == imageError);
    if (listError) return 0;

    Check(ImageOfList(records, littleEndian) == image);
    Check(image.size() <= 0x400000 + 0x100);
    for (const IntelHexRecord& record : records) {
        IntelHexRecord again;
        parseRecord(encodeRecord(record), again);
        Check(again.type == record.type && again.address == record.address && again.data == record.data);
    }
    return 0;
}
