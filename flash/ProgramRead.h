#pragma once
// Writing and reading memory words independently of the memory kind, the hand-over to the fast
// UART block commands, the R command's read-and-print and the register read made before a burn.
//
// Order: StartWrite, WriteWord..., EndWrite (one page at most); StartRead, ReadWord..., EndRead.
// In fast mode the caller does not call WriteWord/ReadWord: it queues the words with
// QueueFastWord, and EndWrite/EndRead burn or check what is pending.
#include <cstdint>
#include <functional>

void StartWrite(uint32_t address, int32_t memoryKind);
void WriteWord(int32_t memoryKind, uint32_t word);
void EndWrite(int32_t memoryKind);
// Ends the write without burning what the fast block still holds.
void CloseWrite(int32_t memoryKind);
// Ends whatever memory command is open (a write or a read), as a run stopped in its middle must:
// the memory is released, and nothing pending is burned or checked.
void EndOpenCommand();
// Burns the pending bytes of the session's blockBuffer into the open write; nothing stays pending.
void FlushFastBurn();

void StartRead(int32_t memoryKind, uint32_t address, bool fast);
uint32_t ReadWord(int32_t memoryKind);
// Always true when it returns: a failed fast block check ends the run.
bool EndRead(int32_t memoryKind);

// Checks the pending bytes against the open read and moves the read position past them; false on
// a mismatch, which is the caller's to judge. Nothing stays pending.
bool VerifyFastPending();

// Appends one word (most significant byte first) to the session's blockBuffer for the fast block
// burn (verify false) or check (verify true). When the buffer has no room left, what is pending is
// burned or checked first, so neither the buffer nor the 8-bit pending count can overflow whatever
// the image's alignment.
void QueueFastWord(uint32_t word, bool verify);

// Reads wordCount words from start; prints them four to a line when print is on and stores them in
// out when it is given (room for wordCount words).
void ReadMemory(uint32_t start, int32_t wordCount, bool print, uint32_t* out, int32_t memoryKind);
// Reads wordCount words from start, handing each to `each` with its index: one read sequence, or
// one per 64 KiB block on an I2C EEPROM, the last word of each marked as the last.
void ReadWordRange(uint32_t start, uint32_t wordCount, int32_t memoryKind,
                   const std::function<void(uint32_t index, uint32_t word)>& each);
// Reads the chip's pre-burn register; the value is not needed by any caller.
uint32_t PreBurnRead();
