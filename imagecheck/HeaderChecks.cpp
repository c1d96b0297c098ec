#include "console/ConsoleUi.h"
#include "imagecheck/ChipIdentity.h"
#include "imagecheck/FirmwareHeaders.h"
#include "imagecheck/ImageCheck.h"

bool CheckUptFile(const char* path) {
    ConsoleUi& console = ConsoleUi::instance();
    std::optional<UptHeader> header = FindUptHeader(path);
    if (!header) {
        console.print(formatText("Error: unable to parse UPT header in '%s'\r\n", path ? path : ""));
        return false;
    }
    console.print(formatText("Update Parameters Section version: %#x\r\n", header->version));
    uint8_t calculated = UptChecksum(path);
    if (calculated == header->checksum) return true;
    console.print(formatText("Error: invalid UPT file checksum, in header: %#x, calculated: %#x\r\n",
                             header->checksum, calculated));
    return false;
}

void CheckMarnelImage(const char* path) {
    ConsoleUi& console = ConsoleUi::instance();
    uint32_t id = ReadIdRegister();
    std::optional<FwHeader> header = FindFwHeader(path);
    if (!header) {
        console.print(formatText("Marnel FW header is not found in: '%s'\n", path ? path : ""));
        fatalExit();
    }
    uint32_t side = header->words[0] >> 28;
    uint32_t isSource = chip::IsSourceId(id) ? 1 : 0;
    bool fits = isSource ? (side == 1 || side == 9) : (side == 0 || side == 8);
    if (fits) return;
    console.print(formatText(
        "Marnel FW source/sink mismatch. In ihex file: %#x, on the board: isSource=%#x\n", side, isSource));
    fatalExit();
}
