#pragma once
// The small headers that parameter-section files and Marnel firmware images carry inside their
// hex text. They are read straight from the hex characters; no image is built.
#include <array>
#include <cstdint>
#include <optional>

// Update-parameters section header; numbers as the little-endian values of the image.
struct UptHeader {
    uint16_t magic = 0;  // 0xA5A5
    uint16_t version = 0;
    std::array<uint32_t, 3> words{};  // not interpreted
    uint8_t checksum = 0;             // 0 - (sum of the data bytes in front of the header)
};

// Marnel firmware header. words[0] is kept in text order: its top nibble is the side code
// (0 or 8 sink, 1 or 9 source). words[1] is the magic 0xDEADBEAF or 0xBADDC0DE.
struct FwHeader {
    std::array<uint32_t, 8> words{};
};

inline constexpr uint16_t kUptMagic = 0xA5A5;
inline constexpr uint32_t kFwMagicOld = 0xDEADBEAF;
inline constexpr uint32_t kFwMagicNew = 0xBADDC0DE;

// None when the file cannot be opened or holds no header.
std::optional<UptHeader> FindUptHeader(const char* path);
std::optional<FwHeader> FindFwHeader(const char* path);

// Two's complement of the 8-bit sum of the data bytes in front of the "A5A5" text.
uint8_t UptChecksum(const char* path);
