// Arbitrary file contents through the header searches and the parameter-section checksum:
// whatever they find, never a crash or a read outside the text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "imagecheck/FirmwareHeaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("imagecheck-fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;

    std::optional<UptHeader> upt = FindUptHeader(path.c_str());
    if (upt && upt->magic != kUptMagic) __builtin_trap();
    std::optional<FwHeader> fw = FindFwHeader(path.c_str());
    if (fw && fw->words[1] != kFwMagicOld && fw->words[1] != kFwMagicNew) __builtin_trap();
    UptChecksum(path.c_str());
    return 0;
}
