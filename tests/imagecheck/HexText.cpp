#include "tests/imagecheck/HexText.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "hexlib/include/quillan.h"

namespace hextest {

std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    char field[24];
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    std::string line = field;
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    for (uint8_t byte : data) {
        std::snprintf(field, sizeof field, "%02X", byte);
        line += field;
        sum += byte;
    }
    std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field;
}

std::string Data(uint16_t address, const std::vector<uint8_t>& data) {
    return Record(0, address, data);
}

std::string EndRecord() {
    return ":00000001FF";
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::path(testing::TempDir()) / "imagecheck.XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (!made) throw std::runtime_error("mkdtemp failed");
    m_path = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::Write(const std::string& name, const std::vector<std::string>& lines,
                           const std::string& eol) const {
    std::string text;
    for (const std::string& line : lines) text += line + eol;
    return WriteRaw(name, text);
}

std::string TempDir::WriteRaw(const std::string& name, const std::string& bytes) const {
    std::string path = m_path + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

}  // namespace hextest
