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

std::vector<std::string> MarnelImage(uint8_t sideByte) {
    std::vector<uint8_t> header = {sideByte, 0, 0, 0, 0xDE, 0xC0, 0xDD, 0xBA};
    header.reserve(32);  // GCC 12 -O3 misreads the growth in place as out of bounds
    header.resize(32, 0x11);
    return {Record(4, 0, {0x50, 0x00}), Data(0, std::vector<uint8_t>(16, 0x5A)), Data(0x10, header),
            EndRecord()};
}

namespace {
std::vector<uint8_t> Le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
}  // namespace

std::string WriteOstralImage(const TempDir& dir, const std::string& name, uint32_t versionWord, Crc crc) {
    std::vector<uint8_t> version = {0xDC, 0xFE, 0x34, 0x12};
    for (uint8_t b : Le32(versionWord)) version.push_back(b);
    std::vector<uint8_t> header = Le32(crc == Crc::None ? 0 : 0xDEADBEEF);
    header.resize(12, 0);
    for (uint8_t b : Le32(0x50000000)) header.push_back(b);  // firmware range starts at 0
    std::string path = dir.Write(name, {Record(4, 0, {0x50, 0x00}), Data(0x100, version), Data(0x300, header),
                                        Data(0x320, Le32(0x400)), Record(4, 0, {0x50, 0x01}),
                                        Data(0xFFF4, {0, 0, 0, 0}), EndRecord()});
    if (crc == Crc::Good) ihex_OstralCRC_update(path.c_str());
    if (crc == Crc::Wrong) ihex_OstralCRC_write(path.c_str(), ihex_OstralCRC_calculate(path.c_str()) ^ 1);
    return path;
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
