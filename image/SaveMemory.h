#pragma once
// The read command's save to a file: a memory range read word by word, then written whole as an
// image file under a temporary name beside it and renamed into place, so a read that fails or is
// cut off leaves no file under the name and an older file as it was.
#include <cstdint>
#include <string>

// Stops the run (error pause, exit code -1) before anything is read when the range or the file
// cannot be saved: the name must end in .hex or .ihex (Intel HEX) or .bin (raw bytes), address and
// length must be whole words, and the folder must take a new file.
void CheckSaveRequest(uint32_t address, uint32_t length, const std::string& path);

// Reads length bytes from address and writes them to path: Intel HEX that B of the same file burns
// back into the same memory (the burn's byte order for that name), or the raw bytes in address order.
void SaveMemory(uint32_t address, uint32_t length, const std::string& path, int32_t memoryKind);
