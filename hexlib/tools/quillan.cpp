// quillan: the library's exports from the shell, one subcommand per export family.
#include "quillan.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "StagedFile.h"

using quillan_tool::StagedFile;
using quillan_tool::ToolError;

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kWrongArguments = 2;

constexpr const char* kUsage =
    "Usage: quillan crc calculate|read|validate|update FILE\n"
    "       quillan crc write FILE CRC\n"
    "       quillan image|fw-image FILE.hex OUT.bin\n"
    "       quillan hex IN.bin OUT.hex [ADDR]\n"
    "       quillan version FILE\n"
    "       quillan register FILE ADDR\n"
    "       quillan --help | --version\n";

constexpr const char* kHelp =
    "\n"
    "Intel HEX routines of the Quillan library; an example follows each command.\n"
    "\n"
    "  crc calculate FILE      print the CRC-32 of the image's firmware range (0: no valid range)\n"
    "                            quillan crc calculate fw.hex\n"
    "  crc read FILE           print the CRC word of the image; fails when it carries no CRC\n"
    "                            quillan crc read fw.hex\n"
    "  crc validate FILE       check the CRC word against the image; fails when missing or wrong\n"
    "                            quillan crc validate fw.hex\n"
    "  crc write FILE CRC      store CRC in the file's CRC record, adding the record when missing\n"
    "                            quillan crc write fw.hex 0x1A2B3C4D\n"
    "  crc update FILE         store the calculated CRC (nothing happens without a firmware range)\n"
    "                            quillan crc update fw.hex\n"
    "  image FILE.hex OUT.bin  write the whole image from address 0 as a binary file\n"
    "                            quillan image fw.hex fw.bin\n"
    "  fw-image FILE.hex OUT.bin\n"
    "                          write the firmware range of a CRC-carrying image as a binary file\n"
    "                            quillan fw-image fw.hex fw-range.bin\n"
    "  hex IN.bin OUT.hex [ADDR]\n"
    "                          write a binary file as Intel HEX, its bytes at image address ADDR\n"
    "                          (default 0); the inverse of image\n"
    "                            quillan hex fw.bin fw.hex 0x100\n"
    "  version FILE            print the firmware version after the version marker (0: none)\n"
    "                            quillan version fw.hex\n"
    "  register FILE ADDR      print the little-endian 32-bit word at image address ADDR\n"
    "                            quillan register fw.hex 0x1FFF4\n"
    "  -h, --help              show this text\n"
    "  --version               print the version\n"
    "\n"
    "Numbers are decimal, or hexadecimal with a 0x prefix. Files whose name ends in .ihex hold\n"
    "their bytes in image order, all others each 32-bit word most significant byte first.\n"
    "A file is written whole beside its place under a temporary name and then renamed into place,\n"
    "so a failure leaves the old file as it was; it keeps its mode, and links to it other than the\n"
    "name given keep the old contents. A name that is a symbolic link, a device or a FIFO is written\n"
    "through (the link and the node stay). OUT as - is standard output. An output that is the input\n"
    "file is refused.\n"
    "Exit code 0 on success, 1 on failure, 2 on wrong arguments; errors go to standard error.\n";

// A library error raised on a staged file, worded with the name the user gave.
class LibraryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

int WrongArguments() {
    std::fputs("quillan: wrong arguments (see quillan --help)\n", stderr);
    return kWrongArguments;
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

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

template <typename Export>
void RunOnStaged(const StagedFile& staged, const std::string& shownName, Export run) {
    try {
        run(staged.Path().c_str());
    } catch (const Quillan::ErrorMessage& e) {
        throw LibraryError(Replaced(e.what(), staged.Path(), shownName));
    }
}

// Changes a file through a staged copy that replaces it only when complete and different.
template <typename Edit>
int Rewrite(const char* file, Edit edit) {
    // Written through the name the user gave: a link stays a link, the file it leads to gets the
    // new contents (when the kernel lets this user follow it).
    StagedFile copy(file);
    copy.CopyFrom(file);
    RunOnStaged(copy, file, edit);
    // crc update without a firmware range changes nothing; the file then stays untouched.
    if (!copy.SameContentsAs(file)) copy.Commit();
    return kOk;
}

void RefuseOverwritingInput(const char* input, const char* output) {
    if (quillan_tool::SameFile(input, output)) {
        throw ToolError(std::string("'") + output + "' is the input file; nothing written");
    }
}

int WriteImage(void (*make)(const char*, const char*), const char* hexFile, const char* binFile) {
    RefuseOverwritingInput(hexFile, binFile);
    StagedFile output(binFile);
    RunOnStaged(output, binFile, [&](const char* staged) { make(hexFile, staged); });
    // The image exports write nothing in some cases without saying so.
    if (!output.Written()) {
        std::fprintf(stderr, "quillan: nothing written to '%s'\n", binFile);
        return kFailed;
    }
    output.Commit();
    return kOk;
}

int Crc(std::string_view action, const char* file, const char* value) {
    if ((value != nullptr) != (action == "write")) return WrongArguments();
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
        const auto crc = ParseNumber(value);
        if (!crc) return WrongArguments();
        return Rewrite(file, [&](const char* staged) { ihex_OstralCRC_write(staged, *crc); });
    }
    if (action == "update") return Rewrite(file, ihex_OstralCRC_update);
    return WrongArguments();
}

// The inverse of image: the bytes of a binary file at an image address, written as Intel HEX.
int HexFromBinary(const char* binFile, const char* hexFile, const char* address) {
    const auto start = address ? ParseNumber(address) : std::optional<uint32_t>(0);
    if (!start) return WrongArguments();
    RefuseOverwritingInput(binFile, hexFile);
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
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kWrongArguments;
    }
    const std::string_view command = argv[1];
    if ((command == "--help" || command == "-h") && argc == 2) {
        std::printf("%s%s", kUsage, kHelp);
        return kOk;
    }
    if (command == "--version" && argc == 2) {
        std::puts("quillan " QUILLAN_TOOL_VERSION);
        return kOk;
    }
    if (command == "crc" && (argc == 4 || argc == 5))
        return Crc(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if (command == "image" && argc == 4) return WriteImage(ihex_makeImage, argv[2], argv[3]);
    if (command == "fw-image" && argc == 4) return WriteImage(ihex_makeOstralFWImage, argv[2], argv[3]);
    if (command == "hex" && (argc == 4 || argc == 5))
        return HexFromBinary(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if (command == "version" && argc == 3) {
        std::printf("0x%04X\n", unsigned(ihex_readFWVersion(argv[2])));
        return kOk;
    }
    if (command == "register" && argc == 4) {
        const auto address = ParseNumber(argv[3]);
        if (!address) return WrongArguments();
        std::printf("0x%08X\n", unsigned(ihex_readRegisterFromFile(argv[2], *address)));
        return kOk;
    }
    return WrongArguments();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const LibraryError& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const Quillan::ErrorMessage& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillan: %s\n", e.what());
    }
    return kFailed;
}
