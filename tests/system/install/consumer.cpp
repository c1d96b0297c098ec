// A user's program of the installed Quillan: builds an image and catches the library's exception.
#include <quillan.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string dir = argv[1];
    std::ofstream(dir + "/in.hex") << ":0400000001020304F2\n:00000001FF\n";
    ihex_makeImage((dir + "/in.hex").c_str(), (dir + "/out.bin").c_str());
    std::ifstream bin(dir + "/out.bin", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(bin), {}};
    // A .hex file holds each word most significant byte first; the image is in memory order.
    if (bytes.size() < 4 || bytes.substr(0, 4) != std::string("\x04\x03\x02\x01", 4)) {
        std::puts("image bytes wrong");
        return 1;
    }
    try {
        ihex_makeImage((dir + "/missing.hex").c_str(), (dir + "/out.bin").c_str());
    } catch (const Quillan::ErrorMessage& error) {
        std::printf("caught: %s\n", error.what());
        return 0;
    }
    std::puts("no exception for a missing file");
    return 1;
}
