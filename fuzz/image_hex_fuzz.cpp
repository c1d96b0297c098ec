// Arbitrary image files through the tool's own hex reading: the field and line readers, the
// version lookup, the pre-scan before a burn and the sector scan of the partial erase. The version
// lookup keeps only what the image writes, so an input costs what it holds. Bad input may stop
// the run the way the tool stops (a printed reason and exit), never crash, overrun or trip a map
// assertion.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "flash/MemoryKind.h"
#include "image/FlashMap.h"
#include "image/HexReader.h"

namespace {

std::string g_path;

void PrepareOnce() {
    if (!g_path.empty()) return;
    // In memory where the system has it: an input is written and read back several times.
    char shm[] = "/dev/shm/tolvar-fuzz-XXXXXX";
    char tmp[] = "/tmp/tolvar-fuzz-XXXXXX";
    char* directory = ::mkdtemp(shm);
    if (directory == nullptr) directory = ::mkdtemp(tmp);
    if (directory == nullptr) std::abort();
    ::setenv("TOLVAR_PREFIX", directory, 1);
    ::unsetenv("TOLVAR_TRACE");
    // ".hex" gives the most-significant-first byte order; the other order is taken by the walk too.
    g_path = std::string(directory) + "/image.hex";
    ConsoleUi::Operations quiet = StandardConsoleOperations(stdin, stdout);
    quiet.print = [](const std::string&) {};
    quiet.progress = [](int32_t) {};
    quiet.confirm = [] { return true; };
    quiet.errorPause = [] {};
    ConsoleUi::instance().Install(std::move(quiet));
}

// Each field width over the start of the input, as a 0-terminated text.
void ReadFields(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    for (int n = 1; n <= 8; ++n) {
        const char* cursor = text.c_str();
        const char* const end = cursor + text.size();
        while (cursor < end) readHexField(cursor, n);
    }
}

// Every line of the input as the walk sees it, parsed on its own.
void ParseLines(FILE* file) {
    HexLine line;
    HexRecord record;
    while (readLinePiece(file, line)) {
        if (line.length >= kHexLineSize || line.text[line.length] != 0) std::abort();
        if (parseHexLine(line, record)) (void)extendedLinearBase(record);
    }
}

void WalkFile() {
    FILE* file = openImageFile(g_path);
    if (file == nullptr) std::abort();
    (void)countLines(file);
    (void)findCutRecord(file);
    const ImageFault fault = findImageFault(file, 0x10000);
    if (fault.kind == ImageFault::BeyondMemory && (fault.last < 0x10000 || fault.first > fault.last))
        std::abort();
    ParseLines(file);
    fclose(file);
    try {
        (void)extractImageVersion(g_path);
    } catch (const ProcessExit&) {
    }
    // An EEPROM kind: the scan and map run in full, the unit erases only print.
    try {
        static_cast<void>(eraseForImage(g_path, KindSpiEeprom));
    } catch (const ProcessExit&) {
    } catch (const CxExceptionError& error) {
        std::fprintf(stderr, "flash map assertion: %s\n", error.message.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PrepareOnce();
    ReadFields(data, size);
    FILE* out = std::fopen(g_path.c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
    std::fclose(out);
    WalkFile();
    return 0;
}
