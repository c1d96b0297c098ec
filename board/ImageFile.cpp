#include "board/ImageFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/WholeFile.h"

namespace board {

bool LoadImage(const std::string& path, std::vector<uint8_t>& memory, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return true;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    in.seekg(0, std::ios::end);
    auto size = static_cast<size_t>(in.tellg());
    in.seekg(0);
    if (size > memory.size()) {
        error = path + ": " + std::to_string(size) + " bytes do not fit a memory of " +
                std::to_string(memory.size());
        return false;
    }
    in.read(reinterpret_cast<char*>(memory.data()), static_cast<std::streamsize>(size));
    if (!in) {
        error = path + ": read failed";
        return false;
    }
    return true;
}

bool SaveImage(const std::string& path, const std::vector<uint8_t>& memory, std::string& error) {
    if (const int failure = platform::WriteWholeFile(path, memory.data(), memory.size()); failure != 0) {
        error = path + ": " + std::strerror(failure);
        return false;
    }
    return true;
}

}  // namespace board
