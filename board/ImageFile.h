#pragma once
// Raw memory images for the program's image=FILE: the chip's memory persists between runs.
#include <cstdint>
#include <string>
#include <vector>

namespace board {

// Loads path into memory. A missing file leaves the memory erased (all 0xFF) and is not an error;
// a short file fills the start. False with error set when the file cannot be read or is larger
// than the memory.
bool LoadImage(const std::string& path, std::vector<uint8_t>& memory, std::string& error);

// Writes the whole memory to path (through a temporary file, so a crash never leaves half an image).
bool SaveImage(const std::string& path, const std::vector<uint8_t>& memory, std::string& error);

}  // namespace board
