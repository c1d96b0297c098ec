#pragma once
// Which 4 KiB sectors of an SPI flash an image touches, so that a burn erases only those (whole
// 64 KiB blocks where every sector is touched).
#include <array>
#include <cstdint>
#include <string>

class FlashMap {
  public:
    static constexpr uint32_t kSectorSize = 0x1000;
    static constexpr uint32_t kBlockSize = 0x10000;
    static constexpr uint32_t kSectorsPerBlock = 16;
    static constexpr uint32_t kBlocks = 64;
    static constexpr uint32_t kSectors = kBlocks * kSectorsPerBlock;
    static constexpr uint32_t kCoveredBytes = kSectors * kSectorSize;

    // All sectors unselected, sector 0 at the base address.
    void clear(uint32_t baseAddress);

    // False (nothing changed) for an address 4 MiB or more above the base, or below it.
    bool markAddressSelected(uint32_t address);
    // True when all 16 sectors of the block are selected.
    bool isBlockSelected(uint32_t blockNum) const;
    bool isSectorSelected(uint32_t blockNum, uint32_t sectorRelativeToBlock) const;

  private:
    uint32_t m_baseAddress = 0;
    // One flag per sector; block b, sector s is entry 16 * b + s.
    std::array<uint8_t, kSectors> m_map{};
};

// Erases the selected sectors, a whole block where all 16 of its sectors are selected, and prints
// the erase time counted from startMs. False when a unit was still busy at its time-out.
[[nodiscard]] bool eraseSelected(const FlashMap& map, int32_t memoryKind, uint32_t startMs);

// Erases the sectors and blocks that the image's data touch, after reading the whole image.
// False when a unit was still busy at its time-out.
[[nodiscard]] bool eraseForImage(const std::string& path, int32_t memoryKind);
