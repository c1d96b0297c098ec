#include "board/ImageFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

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
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(memory.data()), static_cast<std::streamsize>(memory.size()));
        out.close();
        if (!out) {
            error = temporary + ": " + std::strerror(errno);
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace board
