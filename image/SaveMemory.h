#pragma once
// The read command's save to a file: a memory range read word by word, then written whole as an
// image file the way platform/WholeFile writes (a regular file replaced in one step with its mode
// kept, links and device nodes written through), so a read that fails or is cut off leaves no
// file under the name and an older file as it was.
#include <cstdint>
#include <string>

// Stops the run (error pause, exit code -1) before anything is read when the range or the file
// cannot be saved: the name must end in .hex or .ihex (Intel HEX) or .bin (raw bytes), address and
// length must be whole words, and the name must be one that can be written (platform::CheckWritable).
void CheckSaveRequest(uint32_t address, uint32_t length, const std::string& path);

// Reads length bytes from address and writes them to path: Intel HEX that B of the same file burns
// back into the same memory (the burn's byte order for that name), or the raw bytes in address order.
// The caller has held the range against the memory size, as for R without a file. A word whose
// answer is lost is read again at its own address, so the file never holds shifted words.
void SaveMemory(uint32_t address, uint32_t length, const std::string& path, int32_t memoryKind);
