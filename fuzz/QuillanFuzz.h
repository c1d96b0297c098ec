#pragma once
// Helpers of the Quillan fuzz targets: the input as a file in a scratch directory.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "quillan.h"

namespace quillanfuzz {

inline void Check(bool condition) {
    if (!condition) std::abort();
}

// Writes the bytes to a file named by the byte order wanted and returns its name.
inline std::string WriteInput(const uint8_t* data, size_t size, bool littleEndian) {
    static const std::string dir = [] {
        std::string pattern =
            access("/dev/shm", W_OK) == 0 ? "/dev/shm/quillan-fuzz-XXXXXX" : "/tmp/quillan-fuzz-XXXXXX";
        Check(mkdtemp(pattern.data()) != nullptr);
        return pattern;
    }();
    const std::string path = dir + (littleEndian ? "/f.ihex" : "/f.hex");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    Check(file != nullptr);
    Check(size == 0 || std::fwrite(data, 1, size, file) == size);
    std::fclose(file);
    return path;
}

template <typename Call>
std::optional<std::string> ErrorOf(Call call) {
    try {
        call();
    } catch (const Quillan::ErrorMessage& e) {
        Check(std::string(e.what()) == ihex_getLatestErrorMessage());
        return std::string(e.what());
    }
    return std::nullopt;
}

inline uint32_t Word(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

}  // namespace quillanfuzz
