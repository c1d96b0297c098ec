// ihex_crc32 against a bitwise reference, and continued over any split of the buffer.
#include <cstdint>
#include <cstdlib>

#include "quillan.h"

namespace {

uint32_t BitwiseCrc(const uint8_t* data, size_t size, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint32_t seed =
        uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
    const size_t split = data[4] % (size - 4);
    const uint8_t* buffer = data + 5;
    const size_t length = size - 5;
    const uint32_t whole = ihex_crc32(buffer, uint32_t(length), seed);
    if (length > 0 && whole != BitwiseCrc(buffer, length, seed)) std::abort();
    if (length == 0 && whole != seed) std::abort();
    const uint32_t first = ihex_crc32(buffer, uint32_t(split), seed);
    if (ihex_crc32(buffer + split, uint32_t(length - split), first) != whole) std::abort();
    return 0;
}
