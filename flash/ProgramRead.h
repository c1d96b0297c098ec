#pragma once
// Writing and reading memory words independently of the memory kind, the hand-over to the fast
// UART block commands, the R command's read-and-print and the register read made before a burn.
//
// Order: StartWrite, WriteWord..., EndWrite (one page at most); StartRead, ReadWord..., CloseRead.
// In fast mode the caller queues words in the fast block instead of WriteWord/ReadWord: EndWrite
// burns what is still pending, and a read checks it with CheckFastPending or VerifyFastPending
// before it is closed.
#include <cstddef>
#include <cstdint>
#include <functional>

void StartWrite(uint32_t address, int32_t memoryKind);
void WriteWord(int32_t memoryKind, uint32_t word);
void EndWrite(int32_t memoryKind);

void StartRead(int32_t memoryKind, uint32_t address, bool fast);
uint32_t ReadWord(int32_t memoryKind);
// Ends the open read and lets go of the memory. A fast block still pending is not checked.
void CloseRead(int32_t memoryKind);

// The fast block: bytes waiting for the UART's 128-byte block burn or check. These functions are
// the only writers of the session's block buffer and pending count.

// Appends one word (most significant byte first) for the block burn (verify false) or check
// (verify true). When the buffer has no room left, what is pending is burned or checked first, so
// neither the buffer nor the 8-bit pending count can overflow whatever the image's alignment.
void QueueFastWord(uint32_t word, bool verify);
// Appends bytes as they lie in memory; more than the buffer has room for raises CxExceptionError.
void QueueFastBytes(const uint8_t* bytes, size_t count);
// Bytes queued and not yet burned or checked.
[[nodiscard]] uint8_t FastPending();
// Burns the pending bytes into the open write; nothing stays pending.
void FlushFastBurn();
// Checks the pending bytes against the open read and moves the read position past them; a
// mismatch ends the run, with the read closed so that the next run finds the memory released.
void CheckFastPending();
// As CheckFastPending, but a mismatch is returned (false) for the caller to judge.
[[nodiscard]] bool VerifyFastPending();

// Reads wordCount words from start; prints them four to a line when print is on and stores them in
// out when it is given (room for wordCount words).
void ReadMemory(uint32_t start, int32_t wordCount, bool print, uint32_t* out, int32_t memoryKind);
// Reads wordCount words from start, handing each to `each` with its index: one read sequence, or
// one per 64 KiB block on an I2C EEPROM, the last word of each marked as the last.
void ReadWordRange(uint32_t start, uint32_t wordCount, int32_t memoryKind,
                   const std::function<void(uint32_t index, uint32_t word)>& each);
// Reads the chip's pre-burn register; the value is not needed by any caller.
uint32_t PreBurnRead();
