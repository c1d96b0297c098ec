#include <array>

#include "quillan.h"

namespace {

// The standard table of the reflected polynomial 0xEDB88320.
constexpr std::array<uint32_t, 256> kCrcTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

}  // namespace

extern "C" uint32_t ihex_crc32(const uint8_t* data, uint32_t length, uint32_t crc) {
    if (length == 0) return crc;
    uint32_t reg = ~crc;
    for (uint32_t i = 0; i < length; ++i) reg = (reg >> 8) ^ kCrcTable[(reg ^ data[i]) & 0xFF];
    return ~reg;
}
