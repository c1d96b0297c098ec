// Exports that give callers the image model: binary output, address forms, register lookup.
#include <algorithm>
#include <cstdint>

#include "IntelHex.h"
#include "quillan.h"

using namespace Quillan;

namespace {

constexpr uint32_t kFullAddressBase = 0x50000000;
constexpr uint32_t kExtendedLinearBase = 0x5000;

}  // namespace

extern "C" void ihex_makeImage(const char* hexFileName, const char* binFileName) {
    const Image image = buildImage(hexFileName);
    writeBinaryFile(binFileName, image.data(), image.size());
}

extern "C" uint32_t ihex_remapExtendedLinearAddr(uint32_t value) {
    return value & 0x3F;
}

extern "C" uint32_t ihex_remapFullAddr(uint32_t fullAddress) {
    return fullAddress & 0x3FFFFF;
}

extern "C" uint32_t ihex_formatExtendedLinearAddr(uint32_t segment) {
    return segment + kExtendedLinearBase;
}

extern "C" uint32_t ihex_formatFullAddr(uint32_t imageAddress) {
    return imageAddress + kFullAddressBase;
}

extern "C" bool ihex_fileHasLittleEndianDataFormat(const char* fileName) {
    return hasLittleEndianDataFormat(fileName);
}

extern "C" uint32_t ihex_readRegisterFromFile(const char* fileName, uint32_t imageAddress) {
    const Image image = buildImage(fileName);
    const uint64_t end = uint64_t{imageAddress} + 4;
    if (end > image.size()) {
        // Near 2^32 the end does not fit the message's 32 bits; show the largest value instead.
        const auto shown = uint32_t(std::min<uint64_t>(end, UINT32_MAX));
        throw ErrorMessage("Address '0x%04X' is bigger than the highest addr '0x%04X' contained in '%s'.",
                           shown, unsigned(image.size()), fileName);
    }
    return WordAt(image, imageAddress);
}
