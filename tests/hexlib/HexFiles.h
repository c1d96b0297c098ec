#pragma once
// Test helpers: Intel HEX text built independently of the library, and files in a scratch directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillan.h"

namespace hextest {

using Bytes = std::vector<uint8_t>;

// Concatenation (vector::insert trips a false array-bounds warning of GCC 12 here).
inline Bytes operator+(Bytes head, const Bytes& tail) {
    for (const uint8_t b : tail) head.push_back(b);
    return head;
}

inline std::string Record(uint8_t type, uint16_t address, const Bytes& data) {
    Bytes bytes = Bytes{uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address), type} + data;
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(uint8_t(0x100 - (sum & 0xFF)));
    std::string line = ":";
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        line += digits;
    }
    return line;
}

inline std::string DataLine(uint16_t address, const Bytes& data) {
    return Record(0x00, address, data);
}
inline std::string SegmentLine(uint16_t value) {
    return Record(0x04, 0, {uint8_t(value >> 8), uint8_t(value)});
}
inline const std::string kEof = ":00000001FF";

// Hex text of an image, 16-byte records, segment records 0x5000 + segment as the library writes them.
// A big-endian file (.hex) stores each 4-byte group most significant byte first.
inline std::string HexOfImage(const Bytes& image, bool littleEndianFile) {
    std::string text;
    for (size_t at = 0; at < image.size(); at += 16) {
        if (at % 0x10000 == 0) text += SegmentLine(uint16_t(0x5000 + at / 0x10000)) + "\n";
        Bytes chunk(image.begin() + at, image.begin() + std::min(at + 16, image.size()));
        if (!littleEndianFile) {
            for (size_t g = 0; g + 4 <= chunk.size(); g += 4)
                std::swap(chunk[g], chunk[g + 3]), std::swap(chunk[g + 1], chunk[g + 2]);
        }
        text += DataLine(uint16_t(at), chunk) + "\n";
    }
    return text + kEof + "\n";
}

// Hex text of an image in image order (.ihex), as 7-byte records from the last to the first, the way
// some linkers emit sections: every record but the last ends inside a 4-byte group another one fills.
inline std::string HexOfImageBackwards(const Bytes& image) {
    std::string text;
    long segment = -1;
    size_t end = image.size();
    while (end > 0) {
        const size_t segmentStart = (end - 1) / 0x10000 * 0x10000;
        const size_t at = std::max(segmentStart, end < 7 ? 0 : end - 7);
        if (long(at / 0x10000) != segment) {
            segment = long(at / 0x10000);
            text += SegmentLine(uint16_t(0x5000 + segment)) + "\n";
        }
        text += DataLine(uint16_t(at), Bytes(image.begin() + at, image.begin() + end)) + "\n";
        end = at;
    }
    return text + kEof + "\n";
}

inline void PutWord(Bytes& image, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = uint8_t(value >> (8 * i));
}

inline uint32_t WordOf(const Bytes& image, size_t at) {
    return image[at] | image[at + 1] << 8 | image[at + 2] << 16 | uint32_t(image[at + 3]) << 24;
}

// A fresh directory per test, removed afterwards.
class ScratchDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillan-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name), std::ios::binary) << text;
        return Path(name);
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static Bytes ReadBytes(const std::string& path) {
        const std::string text = Read(path);
        return Bytes(text.begin(), text.end());
    }

    // The image as the library builds it, read back through ihex_makeImage.
    Bytes ImageOf(const std::string& hexPath) const {
        const std::string bin = Path("image.bin");
        ihex_makeImage(hexPath.c_str(), bin.c_str());
        return ReadBytes(bin);
    }

    // The message of the ErrorMessage a call throws, or "(no error)".
    template <typename Call>
    static std::string ErrorOf(Call call) {
        try {
            call();
        } catch (const Quillan::ErrorMessage& e) {
            EXPECT_STREQ(e.what(), ihex_getLatestErrorMessage());
            return e.what();
        }
        return "(no error)";
    }

    std::filesystem::path m_dir;
};

}  // namespace hextest
