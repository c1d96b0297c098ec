#include "imagecheck/ImageCheck.h"

#include <strings.h>

#include <array>
#include <cstring>
#include <exception>

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "flash/FlashDriver.h"
#include "hexlib/include/quillan.h"
#include "image/HexReader.h"
#include "imagecheck/ChipIdentity.h"

namespace {

// Images from this firmware version on must carry a CRC record.
constexpr uint32_t kCrcRequiredVersion = 0x3091;

// Chip class that each firmware type 0 to 3 needs. No known revision has class 2, so a type-3
// image is always refused.
constexpr std::array<int32_t, 4> firmwareClass = {0, 0, 1, 2};

[[noreturn]] void Refuse(const std::string& text) {
    ConsoleUi::instance().print(text);
    fatalExit();
}

bool HasUptExtension(const char* path) {
    const char* dot = path ? std::strrchr(path, '.') : nullptr;
    return dot && strcasecmp(dot + 1, "upt") == 0;
}

}  // namespace

bool CheckImageFile(const char* path) {
    if (HasUptExtension(path)) return CheckUptFile(path);
    CheckFirmwareImage(path);
    return true;
}

void CheckFirmwareImage(const char* path) {
    if (ReadIdRegister() & chip::kMarnelFamilyBit) {
        CheckMarnelImage(path);
    } else {
        CheckOstralImage(path);
    }
}

void CheckOstralImage(const char* path) {
    uint32_t version = extractImageVersion(path ? path : "");
    if (((version >> 12) & 0xFFFF) >= kCrcRequiredVersion) CheckCrcRecord(path);

    uint32_t id = ReadIdRegister();
    int32_t chipType = ReadChipType();
    if (chipType == 2 || chipType == 3) {
        Refuse("Error: Marnel chip detected during validation of an Ostral firmware file. Exiting....");
    }
    uint32_t revision = id & chip::kRevisionBits;
    if (revision >= 3) Refuse("Error: Unknown chip type. Exiting....");
    int32_t chipClass = revision == 2 ? 1 : static_cast<int32_t>(revision);

    uint32_t type = version >> 28;
    if (type >= firmwareClass.size()) Refuse("Error: Unknown firmware type. Exiting....");
    if (firmwareClass[type] != chipClass) {
        Refuse(formatText(
            "Error: Firmware mismatch. You are trying to burn a non compatible firmware into QXxxx "
            "chip. ErrorCode: %d%d, Exiting....\n",
            chipClass, static_cast<int32_t>(type)));
    }
}

void CheckCrcRecord(const char* path) {
    bool hasCrcRecord = false;
    bool crcMatches = false;
    ihex_OstralCRC_validate(path, &hasCrcRecord, &crcMatches);
    if (!hasCrcRecord) Refuse("Error: unsupported file format (no CRC32 record found)\r\n");
    if (!crcMatches) Refuse("Error: CRC32 mismatch\r\n");
}

std::optional<uint32_t> FindCrcRecord(const char* path) {
    bool hasCrcRecord = false;
    uint32_t crc = 0;
    try {
        ihex_OstralCRC_read(path, &hasCrcRecord, &crc);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!hasCrcRecord) return std::nullopt;
    return crc;
}
