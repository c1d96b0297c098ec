// Arbitrary file contents through the image reader: the line pieces, the record parser and the
// version lookup with its 768 KiB buffer. Whatever the input, never a crash or an access outside
// the line or the buffer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "front/ConsoleUi.h"
#include "front/CxException.h"
#include "image/HexReader.h"

namespace {

void readEveryLine(const std::string& path) {
    std::unique_ptr<FILE, ImageFileCloser> file(openImageFile(path));
    if (!file) return;
    const int32_t lines = countLines(file.get());
    findCutRecord(file.get());
    HexLine line;
    HexRecord record;
    int32_t pieces = 0;
    while (readLinePiece(file.get(), line)) {
        ++pieces;
        if (line.length >= kHexLineSize || line.text[line.length] != 0) __builtin_trap();
        if (parseHexLine(line, record) && 9u + 2u * record.count > line.length) __builtin_trap();
    }
    if (pieces != lines) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("image-reader-fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    ConsoleUi::instance().Install(
        ConsoleUi::Operations{[](const std::string&) {}, [](int32_t) {}, [] { return true; }, [] {}});

    readEveryLine(path);
    try {
        extractImageVersion(path);
    } catch (const ProcessExit&) {
        // A file without an end record ends the run; that is an answer, not a fault.
    }
    return 0;
}
