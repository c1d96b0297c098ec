#pragma once
// The burn's own pieces that the update (burning only what changed) reuses.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// Opens the image for a burn; a file that cannot be opened or whose records are cut short ends
// the run before the memory is touched.
FILE* openCheckedImage(const std::string& path);

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
