#pragma once
// Temporary image files and a console that records what the image operations print.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/ConsoleUi.h"

namespace imagetest {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "image_tests.XXXXXX").string();
        m_path = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = (m_path / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string Path(const std::string& name) const { return (m_path / name).string(); }

  private:
    std::filesystem::path m_path;
};

// Installs itself as the console's operations; the answers to confirm are given in order (no
// when they run out).
struct ConsoleRecorder {
    explicit ConsoleRecorder(std::vector<bool> confirmAnswers = {}) : answers(std::move(confirmAnswers)) {
        ConsoleUi::instance().Install(ConsoleUi::Operations{
            [this](const std::string& text) { printed += text; },
            [this](int32_t percent) { progress.push_back(percent); },
            [this] {
                ++questions;
                if (answers.empty()) return false;
                const bool answer = answers.front();
                answers.erase(answers.begin());
                return answer;
            },
            [this] { ++pauses; },
        });
    }

    std::string printed;
    std::vector<int32_t> progress;
    std::vector<bool> answers;
    int questions = 0;
    int pauses = 0;
};

// One Intel HEX record line with its checksum.
inline std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    static const char* digits = "0123456789ABCDEF";
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    std::string line = ":";
    for (uint8_t b : bytes) {
        sum = static_cast<uint8_t>(sum + b);
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    const auto checksum = static_cast<uint8_t>(0x100 - sum);
    line += digits[checksum >> 4];
    line += digits[checksum & 15];
    return line + "\n";
}

inline std::string DataRecord(uint16_t address, const std::vector<uint8_t>& data) {
    return Record(0, address, data);
}
inline std::string BaseRecord(uint16_t value) {
    return Record(4, 0, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}
inline std::string EndRecord() {
    return Record(1, 0, {});
}

}  // namespace imagetest

namespace imagetest {

struct Segment {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// Data records of at most recordSize bytes (cut at 64 KiB boundaries), base records where the
// upper address changes, and the end record unless told otherwise.
inline std::string ImageText(const std::vector<Segment>& segments, size_t recordSize = 16,
                             bool withEnd = true) {
    std::string text;
    uint32_t currentBase = 0;
    for (const Segment& segment : segments) {
        size_t i = 0;
        while (i < segment.bytes.size()) {
            const uint32_t address = segment.address + static_cast<uint32_t>(i);
            if ((address >> 16) != currentBase) {
                currentBase = address >> 16;
                text += BaseRecord(static_cast<uint16_t>(currentBase));
            }
            const size_t room = 0x10000 - (address & 0xFFFF);
            const size_t n = std::min({recordSize, segment.bytes.size() - i, room});
            text += DataRecord(static_cast<uint16_t>(address),
                               std::vector<uint8_t>(segment.bytes.begin() + static_cast<long>(i),
                                                    segment.bytes.begin() + static_cast<long>(i + n)));
            i += n;
        }
    }
    if (withEnd) text += EndRecord();
    return text;
}

// Bytes that differ from their neighbours and from the erased value.
inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 12345u;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>((state >> 16) % 0xFF);  // never 0xFF
    }
    return bytes;
}

}  // namespace imagetest
