#pragma once
// Builds Intel HEX text and files for the image-check tests.
#include <cstdint>
#include <string>
#include <vector>

namespace hextest {

// One record line without line end, checksum computed.
std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data);
std::string Data(uint16_t address, const std::vector<uint8_t>& data);
std::string EndRecord();

// Marnel firmware image whose header starts with sideByte (0x9F source, 0x8F sink).
std::vector<std::string> MarnelImage(uint8_t sideByte);

// A fresh directory for one test, removed with its files when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes the lines, each followed by eol, and returns the file's path.
    std::string Write(const std::string& name, const std::vector<std::string>& lines,
                      const std::string& eol = "\n") const;
    std::string WriteRaw(const std::string& name, const std::string& bytes) const;
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

enum class Crc { None, Good, Wrong };
// Ostral firmware image (image byte order, for a ".ihex" name) with the version word behind the
// version marker; with a CRC its header, firmware range and CRC record are filled in by Quillan.
std::string WriteOstralImage(const TempDir& dir, const std::string& name, uint32_t versionWord, Crc crc);

}  // namespace hextest
