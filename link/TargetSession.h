#pragma once
// The one process-wide record through which the front end, the links, the flash driver and the
// image operations share the link, the selected chip and the memory state; and the register
// operations dispatched by link kind.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/NamedMutex.h"

class CUartLib;
class BenchLink;
class BenchInterface;

// Values of TargetSession::linkKind. Every operation treats any value other than 1 and 2 as
// the bench server.
enum LinkKind : int32_t { LinkNone = 0, Ethernet = 1, Uart = 2, BenchServer = 3 };

// Parsed operation letters and the ES/EB range.
struct CommandOptions {
    bool debug = false;
    bool noErase = false;
    bool burn = false;
    bool verify = false;
    bool fast = false;
    bool erase = false;
    bool pause = false;
    bool skipImageCheck = false;
    bool update = false;
    uint32_t rangeAddress = 0;
    uint32_t rangeLength = 0;
};

constexpr size_t kBlockBufferSize = 128;

struct TargetSession {
    TargetSession();
    ~TargetSession();
    TargetSession(TargetSession&&) = delete;
    // Replaces every field (an open link is closed); used to restore the start values.
    TargetSession& operator=(TargetSession&&);

    // Memory-controller register addresses and constants at their defaults.
    void LoadControllerDefaults();

    int32_t linkKind = LinkNone;
    std::unique_ptr<CUartLib> uartLink;
    std::unique_ptr<BenchLink> benchLink;
    std::shared_ptr<BenchInterface> benchServer;
    std::shared_ptr<BenchInterface> benchProduct;
    uint32_t currentTarget = 0;
    int32_t registerOffset = 0;
    int32_t debugMode = 0;
    std::array<uint8_t, kBlockBufferSize> blockBuffer{};
    platform::NamedMutex accessMutex{"Eprom"};

    CommandOptions options;
    uint8_t fastBurn = 0;

    uint32_t ctrlRegister = 0;
    uint32_t statusRegister = 0;
    uint32_t txRegister = 0;
    uint32_t rxRegister = 0;
    uint32_t widthShift = 0;
    uint32_t selectValue = 0;
    uint32_t releaseValue = 0;
    uint32_t ctrlShadow = 0;
    int32_t ctrlWidth = 0;
    int32_t eepromSize = 0;
    // Bytes of the memory as identification found them; 0 before identification.
    uint32_t memorySize = 0;
    bool flashNegotiated = false;

    uint8_t fastPending = 0;
    // Address of the next byte of the open read: set by StartRead, moved on by every word read
    // and every fast block checked.
    uint32_t readAddress = 0;
    bool readFast = false;
    // Kind of the read StartRead opened last, so a stop in its middle can close it.
    int32_t readKind{};
    bool i2cLastMarked = false;
    // The memory command open now, so that a run stopped in its middle can end it: a write
    // (StartWrite to EndWrite, of writeKind) or a read (StartRead to EndRead, of readKind).
    enum OpenCommand : int32_t { NoCommand = 0, WriteOpen = 1, ReadOpen = 2 };
    int32_t openCommand = NoCommand;
    int32_t writeKind = 0;
    // Where the memory work stands, for the line of an interrupted run: the address the last
    // write, read or erase reached; empty before any.
    std::optional<uint32_t> workAddress;

    // How the run stands apart from what it printed. Some failures let the run go on (an erase
    // that never became ready, a verify that found differences); the run still ends with -1.
    // A burn over an erase that did not complete leaves the memory in doubt until a verify of the
    // whole image passes later in the same run.
    bool runFailed = false;
    bool imageUnconfirmed = false;
    platform::NamedMutex flashMutex{"Eprom"};
    platform::NamedMutex fillMutex{"Eprom"};
};

// The process's session.
TargetSession& Session();
// Back to the start values (closes any open link) and the process flags back on; for tests that
// run several invocations in one process. The console object, created once per process, stays
// (its progress line is forgotten).
void ResetTargetSession();

// Process-wide flags of the front end, read by the image operations; all start on.
extern bool progressEnabled;
extern bool eraseBeforeBurn;
extern bool verifyPassed;

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
