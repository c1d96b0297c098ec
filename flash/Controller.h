#pragma once
// The chip's serial-memory controller as the driver uses it: command mode for SPI flash, data mode
// (through the session's control shadow) for SPI and I2C EEPROMs, the one-time flash negotiation and the
// fixed write-cycle wait.
#include <cstdint>

#include "flash/MemoryKind.h"

// The I2C control bits of the run (in the session): where they start, or where the kind's row moved
// them.
chip::I2cBits& CurrentI2cBits();

// How long the controller may stay busy shifting before the run is given up.
inline constexpr uint32_t kControllerBusyLimitMs = 1000;

// Data-mode transfers of width 1-4; the control register is rewritten only when the width changes.
void SendData(int32_t width, uint32_t word);
uint32_t ReceiveWord();
// Ends a command-mode command (chip released).
void EndCommand();

// Polls the status register until the controller has finished shifting; ends the run with a
// message when it never does.
void WaitControllerIdle();
void SelectChip();
void DeselectChip();
void I2cStop();
void I2cMarkLast(int32_t memoryKind);

// Controller idle state for the memory kind; reads the EEPROM size from the straps.
void PrepareMemory(int32_t memoryKind);
// Makes the flash take a zero status register; stops the run after three failed attempts.
void NegotiateFlash();
void WriteEnable();
// 5 ms busy wait on the high-resolution counter.
void WaitWriteCycle();

// How a poll of the flash status ended: the last receive word read (the status byte repeated, its
// busy bit lowest) and the time it took.
struct FlashReady {
    bool ready;
    uint32_t status;
    uint32_t elapsedMs;
};
// Reads the flash status (command mode) until its busy bit clears or timeoutMs have passed. A run
// stopped past the deadline (SIGSTOP, a loaded machine) has not seen the flash all that time: one
// read after the deadline decides.
[[nodiscard]] FlashReady PollFlashReady(uint32_t timeoutMs);
