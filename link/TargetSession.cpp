#include "link/TargetSession.h"

#include <cstdarg>

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "console/Interruption.h"
#include "link/BenchLink.h"
#include "link/uart/CUartLib.h"

namespace {

constexpr uint32_t kUartReadTimeoutMs = 600;

// Every register operation tries the lock without waiting and goes on whatever the outcome.
// Every register operation starts here: the place where a noted INT, TERM or HUP stops the run,
// between two exchanges.
void TryAccessLock() {
    StopIfInterrupted();
    Session().link.accessMutex.Wait(0);
}

bool Debugging() {
    return Session().options.debugMode > 0;
}

// A register access's debug line, formatted only when the D letter asked for it: every exchange
// passes here.
__attribute__((format(printf, 1, 2))) void DebugLog(const char* format, ...) {
    if (!Debugging()) return;
    va_list args;
    va_start(args, format);
    const std::string line = formatTextV(format, args);
    va_end(args);
    ConsoleUi::instance().print(line);
}

std::string BlockBytes(uint8_t length) {
    std::string bytes;
    for (size_t i = 0; i < length && i < kBlockBufferSize; ++i)
        bytes += formatText("%02x ", Session().fast.buffer[i]);
    return bytes;
}

CUartLib& UartLink() {
    TargetSession& session = Session();
    if (!session.link.uart) throw CxExceptionError("UART link is not open", 0);
    return *session.link.uart;
}

uint32_t ReadOn(uint32_t address, uint8_t target) {
    switch (Session().link.kind) {
        case Ethernet:
            return 0;
        case Uart:
            return UartLink().ReadAddress(address, target);
        default:
            return BenchRead(target, address);
    }
}

void WriteOn(uint32_t address, uint32_t value, uint8_t target) {
    switch (Session().link.kind) {
        case Ethernet:
            return;
        case Uart:
            return UartLink().WriteAddress(address, value, target);
        default:
            return BenchWrite(target, address, value);
    }
}

uint8_t CurrentTarget() {
    return static_cast<uint8_t>(Session().link.currentTarget);
}

uint32_t WithOffset(uint32_t address) {
    return address + static_cast<uint32_t>(Session().link.registerOffset);
}

}  // namespace

TargetSession::TargetSession() = default;
TargetSession::~TargetSession() = default;
TargetSession& TargetSession::operator=(TargetSession&&) = default;

ControllerState::ControllerState() {
    LoadDefaults();
}

void ControllerState::LoadDefaults() {
    ctrlRegister = chip::kControllerControl;
    statusRegister = chip::kControllerStatus;
    txRegister = chip::kControllerTransmit;
    rxRegister = chip::kControllerReceive;
    widthShift = chip::kWidthShift;
    selectValue = chip::kSelectValue;
    releaseValue = chip::kReleaseValue;
}

TargetSession& Session() {
    // Never destroyed: links and locks are left to the end of the process.
    static auto* session = new TargetSession();
    return *session;
}

void ResetTargetSession() {
    TargetSession& session = Session();
    session = TargetSession();
    ConsoleUi::ResetProgressLine();
    ForgetInterruption();
}

namespace {

// The memory locks order the instances that work on one memory; the memory is the link's, so
// instances on different ports never wait for each other.
void ScopeMemoryLocks(const std::string& link) {
    TargetSession& session = Session();
    const platform::NamedMutex memory("Eprom_" + link);
    session.link.accessMutex = memory;
    session.controller.flashMutex = memory;
    session.controller.fillMutex = memory;
}

}  // namespace

namespace {

// The memory locks named after the port, then the port opened by the session's own CUartLib; held
// by the session before opening, so a failed open still leaves the object there.
template <typename Port>
void OpenSessionPort(const std::string& lockKey, const Port& port) {
    TargetSession& session = Session();
    session.link.uart.reset();
    ScopeMemoryLocks(lockKey);
    session.link.uart = std::make_unique<CUartLib>();
    session.link.uart->Open(port, kUartReadTimeoutMs);
}

}  // namespace

void OpenUartLink(const platform::PortId& port) {
    if (port.kind == platform::PortKind::Com) return OpenUartLink(port.number);
    OpenSessionPort(platform::PortLockKey(port), port);
}

void OpenUartLink(uint32_t port) {
    const std::string name = formatText("com%d", static_cast<int32_t>(port));
    OpenSessionPort(name, name);
}

void OpenBenchLink() {
    auto link = std::make_unique<BenchLink>("localhost");
    ScopeMemoryLocks("bench");
    Session().link.bench = std::move(link);
    SelectBenchTarget();
}

void CloseLink() {
    TargetSession& session = Session();
    session.link.uart.reset();
    session.link.bench.reset();
    ReleaseBenchInterfaces();
}

void ReleaseBenchInterfaces() {
    Session().link.benchServer.reset();
    Session().link.benchProduct.reset();
}

uint32_t TargetRead(uint32_t address) {
    TryAccessLock();
    uint32_t chipAddress = WithOffset(address);
    DebugLog("read %x\n", chipAddress);
    return ReadOn(chipAddress, CurrentTarget());
}

std::optional<uint32_t> TargetReadOnce(uint32_t address) {
    TryAccessLock();
    uint32_t chipAddress = WithOffset(address);
    DebugLog("read %x\n", chipAddress);
    if (Session().link.kind == Uart && !chip::IsIndirectAddress(chipAddress))
        return UartLink().ReadRegisterOnce(chipAddress);
    return ReadOn(chipAddress, CurrentTarget());
}

void TargetWrite(uint32_t address, uint32_t value) {
    TryAccessLock();
    uint32_t chipAddress = WithOffset(address);
    DebugLog("w %x %x\n", chipAddress, value);
    WriteOn(chipAddress, value, CurrentTarget());
}

uint32_t TargetReadOn(uint32_t address, uint8_t target) {
    TryAccessLock();
    return ReadOn(address, target == chip::kCurrentTarget ? CurrentTarget() : target);
}

void TargetWriteConfigRegister(uint32_t value) {
    TryAccessLock();
    DebugLog("w %x %x\n", chip::kSinkConfigRegister, value);
    WriteOn(chip::kSinkConfigRegister, value, CurrentTarget());
}

bool TargetIsSide(uint8_t side) {
    TryAccessLock();
    uint8_t target = side == chip::kCurrentTarget ? CurrentTarget() : side;
    bool source = chip::IsSourceId(ReadOn(chip::kIdRegister, target));
    return (source && side == 1) || (!source && side == 0);
}

void TargetQuickBurn(uint8_t length) {
    TargetSession& session = Session();
    TryAccessLock();
    if (Debugging()) DebugLog("BB %d %s\n", length, BlockBytes(length).c_str());
    switch (session.link.kind) {
        case Ethernet:
            ConsoleUi::instance().print("2. Ethernet Not supported!");
            break;
        case Uart:
            UartLink().BurnBlock(session.fast.buffer.data(), length);
            break;
        default:
            ConsoleUi::instance().print("Quick burn through UART over Norvik is not supported yet!");
            break;
    }
    session.link.accessMutex.Release();
}

bool TargetQuickVerify(uint8_t length) {
    TargetSession& session = Session();
    TryAccessLock();
    if (Debugging()) DebugLog("Verify len %d, bytes: %s\n", length, BlockBytes(length).c_str());
    bool matched = false;
    switch (session.link.kind) {
        case Ethernet:
            ConsoleUi::instance().print("2. Ethernet Not supported!");
            break;
        case Uart:
            matched =
                UartLink().VerifyBlock(session.fast.buffer.data(), length, session.options.debugMode > 0);
            break;
        default:
            ConsoleUi::instance().print("Quick Verify through UART over Norvik is not supported yet!");
            break;
    }
    session.link.accessMutex.Release();
    return matched;
}
