#pragma once
// Burning only what changed: the units an image touches (4 KiB sectors of an SPI flash, 128-byte
// pages of an EEPROM) are compared with the memory, and only those that differ are erased and
// written again. Every touched unit ends as a burn would leave it.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <vector>

// What the image puts into one unit. On an SPI flash the rest of the unit must be erased (0xFF), as
// a partial erase leaves it, so every byte counts; on an EEPROM only the image's own bytes do.
struct UnitContent {
    std::vector<uint8_t> bytes;
    std::vector<bool> counts;
};

class UnitImage {
  public:
    // Bytes at or above coveredBytes are not the memory's and are left out.
    UnitImage(uint32_t unitSize, uint32_t coveredBytes, bool restErased);

    // Reads every data byte of the image (first byte of a group most significant when
    // firstByteMost); the file is left at its start.
    void Read(FILE* file, bool firstByteMost);
    void Put(uint32_t address, uint8_t byte);

    uint32_t UnitSize() const { return m_unitSize; }
    // Keyed by the unit's address, ascending.
    const std::map<uint32_t, UnitContent>& Units() const { return m_units; }

  private:
    const uint32_t m_unitSize;
    const uint32_t m_coveredBytes;
    const bool m_restErased;
    std::map<uint32_t, UnitContent> m_units;
};

// Compares units with the memory: with fast set, whole 128-byte blocks by the UART block check
// (a mismatch is an answer here, not a stop); otherwise word by word. Consecutive units are read in
// one sequence.
class UnitComparer {
  public:
    UnitComparer(int32_t memoryKind, bool fast) : m_memoryKind(memoryKind), m_fast(fast) {}
    // Closes a read still open, except while an exception unwinds: the link that threw may be the
    // failure itself, and nothing may talk to it then (the next run ends what was left open).
    ~UnitComparer() {
        if (std::uncaught_exceptions() == m_uncaught) Close();
    }
    UnitComparer(const UnitComparer&) = delete;
    UnitComparer& operator=(const UnitComparer&) = delete;

    bool Matches(uint32_t unitAddress, const UnitContent& unit);
    void Close();

  private:
    void ReadFrom(uint32_t address);
    bool BlockMatches(const UnitContent& unit, size_t offset, size_t length);
    bool WordsMatch(const UnitContent& unit, size_t offset, size_t length);

    const int32_t m_memoryKind;
    const bool m_fast;
    bool m_open = false;
    uint32_t m_next = 0;
    const int m_uncaught = std::uncaught_exceptions();
};
