#pragma once
// The one process-wide record through which the front end, the links, the flash driver and the
// image operations share the link, the selected chip and the memory state; and the register
// operations dispatched by link kind.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "chip/ChipFacts.h"
#include "platform/NamedMutex.h"
#include "platform/PortId.h"

class CUartLib;
class BenchLink;
class BenchInterface;

// Values of LinkState::kind. Every operation treats any value other than 1 and 2 as
// the bench server.
enum LinkKind : int32_t { LinkNone = 0, Ethernet = 1, Uart = 2, BenchServer = 3 };

inline constexpr size_t kBlockBufferSize = 128;

// The link the run talks through, the chip it selected and the lock every register operation tries.
struct LinkState {
    int32_t kind = LinkNone;
    std::unique_ptr<CUartLib> uart;
    std::unique_ptr<BenchLink> bench;
    std::shared_ptr<BenchInterface> benchServer;
    std::shared_ptr<BenchInterface> benchProduct;
    uint32_t currentTarget = 0;
    // The identification register of the selected chip, as identification read it; empty before.
    std::optional<uint32_t> chipId;
    // Added to the controller's register addresses (the sink's lie lower).
    int32_t registerOffset = 0;
    platform::NamedMutex accessMutex{"Eprom"};
};

// The memory controller as the driver left it, the memory behind it and the locks of that memory.
struct ControllerState {
    ControllerState();
    // Register addresses and constants at their defaults.
    void LoadDefaults();

    uint32_t ctrlRegister = 0;
    uint32_t statusRegister = 0;
    uint32_t txRegister = 0;
    uint32_t rxRegister = 0;
    uint32_t widthShift = 0;
    uint32_t selectValue = 0;
    uint32_t releaseValue = 0;
    // The control register's value as last written in data mode.
    uint32_t ctrlShadow = 0;
    int32_t ctrlWidth = 0;
    // Where the I2C control bits lie; a memory kind may move them for the rest of the run.
    chip::I2cBits i2cBits;
    int32_t eepromSize = 0;
    // Bytes of the memory as identification found them; 0 before identification.
    uint32_t memorySize = 0;
    bool flashNegotiated = false;
    // The memory command open now, so that a run stopped in its middle can end it: a write
    // (StartWrite to EndWrite, of writeKind) or a read (StartRead to its close, of the read's kind).
    enum OpenCommand : int32_t { NoCommand = 0, WriteOpen = 1, ReadOpen = 2 };
    int32_t openCommand = NoCommand;
    int32_t writeKind = 0;
    // Where the memory work stands, for the line of an interrupted run: the address the last
    // write, read or erase reached; empty before any.
    std::optional<uint32_t> workAddress;
    platform::NamedMutex flashMutex{"Eprom"};
    platform::NamedMutex fillMutex{"Eprom"};
};

// The open read.
struct ReadCursor {
    // Address of the next byte: set by StartRead, moved on by every word read and every fast
    // block checked.
    uint32_t address = 0;
    bool fast = false;
    // Kind of the read StartRead opened last, so a stop in its middle can close it.
    int32_t kind{};
    bool i2cLastMarked = false;
};

// Bytes waiting for the UART's block burn or check; written only by the flash driver's fast-block
// functions.
struct FastBlock {
    std::array<uint8_t, kBlockBufferSize> buffer{};
    uint8_t pending = 0;
};

// What the command line asked of the run, as the lower floors need it.
struct RunOptions {
    // Every register operation is logged (D).
    int32_t debugMode = 0;
    // The progress line of the long operations (off in debug mode).
    bool progress = true;
    // A burn erases first (off for N and for a verify).
    bool eraseBeforeBurn = true;
    // Burns and compares go through the fast block (F).
    bool fast = false;
};

// How the run stands apart from what it printed. Some failures let the run go on (an erase that
// never became ready, a verify that found differences); the run still ends with -1. A burn over
// an erase that did not complete leaves the memory in doubt until a verify of the whole image
// passes later in the same run.
struct Verdict {
    bool runFailed = false;
    bool imageUnconfirmed = false;
    // No verify of this run found a difference.
    bool verifyPassed = true;
    // What the image operations did to the memory: bytes handed to it to be written, bytes read
    // back and compared (a verify, the compare of an update, the check of a fill), and the units an
    // update left alone or rewrote (empty when no update ran).
    uint64_t bytesWritten = 0;
    uint64_t bytesCompared = 0;
    std::optional<uint64_t> unitsSkipped;
    std::optional<uint64_t> unitsRewritten;
};

// The one process-wide record through which the front end, the links, the flash driver and the
// image operations share the run's state, one nested record per owner.
struct TargetSession {
    TargetSession();
    ~TargetSession();
    TargetSession(TargetSession&&) = delete;
    // Replaces every field (an open link is closed); used to restore the start values.
    TargetSession& operator=(TargetSession&&);

    LinkState link;
    ControllerState controller;
    ReadCursor read;
    FastBlock fast;
    RunOptions options;
    Verdict verdict;
};

// The process's session.
TargetSession& Session();
// Back to the start values (closes any open link); for tests that run several invocations in one
// process. The console object, created once per process, stays (its progress line is forgotten).
void ResetTargetSession();

void OpenUartLink(const platform::PortId& port);
// The com port of that number.
void OpenUartLink(uint32_t port);
void OpenBenchLink();
// Closes the open link: the port and its locks are released, the bench link and interfaces dropped.
void CloseLink();
// Drops the two bench interface pointers; done at program end.
void ReleaseBenchInterfaces();

uint32_t TargetRead(uint32_t address);
// A read that must not be resent (see CUartLib::ReadRegisterOnce); empty when its answer was lost.
std::optional<uint32_t> TargetReadOnce(uint32_t address);
void TargetWrite(uint32_t address, uint32_t value);
uint32_t TargetReadOn(uint32_t address, uint8_t target);
void TargetWriteConfigRegister(uint32_t value);
bool TargetIsSide(uint8_t side);
void TargetQuickBurn(uint8_t length);
bool TargetQuickVerify(uint8_t length);
