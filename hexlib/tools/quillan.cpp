// quillan: the library's exports from the shell, one subcommand per export family.
#include "quillan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;

constexpr const char* kHelp =
    "Usage: quillan COMMAND ARGUMENTS\n"
    "Intel HEX routines of the Quillan library.\n"
    "\n"
    "  crc calculate FILE      print the CRC-32 of the image's firmware range (0: no valid range)\n"
    "  crc read FILE           print the CRC word of the image; fails when it carries no CRC\n"
    "  crc validate FILE       check the CRC word against the image; fails when missing or wrong\n"
    "  crc write FILE CRC      store CRC in the file's CRC record, adding the record when missing\n"
    "  crc update FILE         store the calculated CRC (nothing happens without a firmware range)\n"
    "  image FILE.hex OUT.bin  write the whole image from address 0 as a binary file\n"
    "  fw-image FILE.hex OUT.bin\n"
    "                          write the firmware range of a CRC-carrying image as a binary file\n"
    "  hex IN.bin OUT.hex [ADDR]\n"
    "                          write a binary file as Intel HEX, its bytes at image address ADDR\n"
    "                          (default 0); the inverse of image\n"
    "  version FILE            print the firmware version after the version marker (0: none)\n"
    "  register FILE ADDR      print the little-endian 32-bit word at image address ADDR\n"
    "  --help                  show this text\n"
    "\n"
    "Numbers are decimal, or hexadecimal with a 0x prefix. Files whose name ends in .ihex hold\n"
    "their bytes in image order, all others each 32-bit word most significant byte first.\n"
    "OUT.bin is replaced. Exit code 0 on success, 1 on failure; errors go to standard error.\n";

int Usage() {
    std::fputs("quillan: wrong arguments (see quillan --help)\n", stderr);
    return kFailed;
}

std::optional<uint32_t> ParseNumber(std::string_view text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex) text.remove_prefix(2);
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return std::nullopt;
        value = value * (hex ? 16 : 10) + unsigned(digit);
    }
    if (value > UINT32_MAX) return std::nullopt;
    return uint32_t(value);
}

int Crc(std::string_view action, const char* file, const char* value) {
    if ((value != nullptr) != (action == "write")) return Usage();
    if (action == "calculate") {
        std::printf("0x%08X\n", unsigned(ihex_OstralCRC_calculate(file)));
        return kOk;
    }
    bool hasCrcRecord = false;
    if (action == "read") {
        uint32_t crc = 0;
        ihex_OstralCRC_read(file, &hasCrcRecord, &crc);
        if (!hasCrcRecord) std::puts("no CRC record");
        if (hasCrcRecord) std::printf("0x%08X\n", unsigned(crc));
        return hasCrcRecord ? kOk : kFailed;
    }
    if (action == "validate") {
        bool crcMatches = false;
        ihex_OstralCRC_validate(file, &hasCrcRecord, &crcMatches);
        std::puts(!hasCrcRecord ? "no CRC record" : crcMatches ? "CRC matches" : "CRC does not match");
        return crcMatches ? kOk : kFailed;
    }
    if (action == "write") {
        const auto crc = value ? ParseNumber(value) : std::nullopt;
        if (!crc) return Usage();
        ihex_OstralCRC_write(file, *crc);
        return kOk;
    }
    if (action == "update") {
        ihex_OstralCRC_update(file);
        return kOk;
    }
    return Usage();
}

// The image exports write nothing in some cases without saying so; the output's presence tells.
int Image(void (*make)(const char*, const char*), const char* hexFile, const char* binFile) {
    if (std::remove(binFile) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "quillan: cannot replace '%s': %s\n", binFile, std::strerror(errno));
        return kFailed;
    }
    make(hexFile, binFile);
    struct stat info;
    if (stat(binFile, &info) == 0) return kOk;
    std::fprintf(stderr, "quillan: nothing written to '%s'\n", binFile);
    return kFailed;
}

// The inverse of image: the bytes of a binary file at an image address, written as Intel HEX.
int HexFromBinary(const char* binFile, const char* hexFile, const char* address) {
    const auto start = address ? ParseNumber(address) : std::optional<uint32_t>(0);
    if (!start) return Usage();
    std::FILE* in = std::fopen(binFile, "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "quillan: cannot read '%s': %s\n", binFile, std::strerror(errno));
        return kFailed;
    }
    // One byte more than the image addresses hold lets the library refuse a file that is too big.
    std::vector<uint8_t> bytes(0x400001);
    const size_t length = std::fread(bytes.data(), 1, bytes.size(), in);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        std::fprintf(stderr, "quillan: cannot read '%s'\n", binFile);
        return kFailed;
    }
    ihex_writeImage(hexFile, bytes.data(), uint32_t(length), *start);
    return kOk;
}

int Run(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kHelp, stdout);
        return kOk;
    }
    if (command == "crc" && (argc == 4 || argc == 5))
        return Crc(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if (command == "image" && argc == 4) return Image(ihex_makeImage, argv[2], argv[3]);
    if (command == "fw-image" && argc == 4) return Image(ihex_makeOstralFWImage, argv[2], argv[3]);
    if (command == "hex" && (argc == 4 || argc == 5))
        return HexFromBinary(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if (command == "version" && argc == 3) {
        std::printf("0x%04X\n", unsigned(ihex_readFWVersion(argv[2])));
        return kOk;
    }
    if (command == "register" && argc == 4) {
        const auto address = ParseNumber(argv[3]);
        if (!address) return Usage();
        std::printf("0x%08X\n", unsigned(ihex_readRegisterFromFile(argv[2], *address)));
        return kOk;
    }
    return Usage();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const Quillan::ErrorMessage& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillan: %s\n", e.what());
    }
    return kFailed;
}
