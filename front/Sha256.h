#pragma once
// SHA-256 (FIPS 180-4), for the run record's fingerprint of the files a run read or wrote.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
  public:
    using Digest = std::array<uint8_t, 32>;

    void Update(const uint8_t* data, size_t size);
    // The digest of everything given; the object is spent afterwards.
    Digest Finish();

    // Lower-case hex, as sha256sum prints it.
    static std::string Hex(const Digest& digest);

  private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<uint8_t, 64> m_buffer{};
    size_t m_buffered = 0;
    uint64_t m_length = 0;  // bytes given so far
};

// The digest of what the descriptor reads to its end, in hex; empty when a read fails.
std::string Sha256OfDescriptor(int fd);
