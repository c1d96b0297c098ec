#pragma once
// The burn's own pieces that the update (burning only what changed) reuses.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "image/HexReader.h"

// An image opened for a burn, with the byte order its name gives.
struct CheckedImage {
    std::unique_ptr<FILE, ImageFileCloser> file;
    bool firstByteMost;
};

// Opens the image for a burn; a name that gives no byte order, a file that cannot be opened or
// one that findImageFault finds fault with (against a memory of memorySize bytes, none when 0)
// ends the run before the memory is touched.
CheckedImage openCheckedImage(const std::string& path, uint32_t memorySize);

// Whether the byte at a memory address is burned; an empty filter takes every byte.
using ByteFilter = std::function<bool(uint32_t address)>;

// What a burn erases first; none when empty. False when the erase did not complete: the burn then
// goes on, unconfirmed.
using EraseStep = std::function<bool()>;

// Runs once a burn has walked the whole image, before its result is printed; stops the run when
// the memory does not hold what was written.
using ConfirmStep = std::function<void()>;

// burnImage with the given erase and only the bytes the filter accepts written (mode 1) or
// compared (mode 2).
void walkImage(const std::string& path, int32_t mode, int32_t memoryKind, const EraseStep& erase,
               const ByteFilter& include, const ConfirmStep& confirm = nullptr);
