// Arbitrary image files through the header searches of the image checks: the parameter-section
// and firmware headers and the parameter checksum. Any text gives a header or none, never a crash
// or a read past the file's lines.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "imagecheck/FirmwareHeaders.h"

namespace {

std::string g_path;

const char* PathOnce() {
    if (g_path.empty()) {
        char directory[] = "/tmp/tolvar-fuzz-XXXXXX";
        if (::mkdtemp(directory) == nullptr) std::abort();
        g_path = std::string(directory) + "/image.hex";
    }
    return g_path.c_str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = PathOnce();
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
    std::fclose(out);
    if (const auto upt = FindUptHeader(path); upt && upt->magic != kUptMagic) std::abort();
    if (const auto fw = FindFwHeader(path); fw && fw->words[1] != kFwMagicOld && fw->words[1] != kFwMagicNew) {
        std::abort();
    }
    (void)UptChecksum(path);
    return 0;
}
