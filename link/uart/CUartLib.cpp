// The serial port of the UART link: opening, sending, and collecting the firmware's answers.
#include "link/uart/CUartLib.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "platform/Clock.h"
#include "platform/NetworkDevice.h"
#include "platform/Prefix.h"
#include "platform/SystemError.h"
#include "platform/Trace.h"

namespace {

constexpr size_t kChunkBytes = 50;
constexpr size_t kBoundReserve = 52;
constexpr uint32_t kAnswerCapMs = 1000;
constexpr int32_t kGarbageLimit = 60;
constexpr uint32_t kPortMutexWaitMs = 3000;
constexpr size_t kTraceLineBytes = 1024;
constexpr size_t kGarbageLineBytes = 300;
// A com port name holds at most 9 characters: a longer one would be cut into another port's name.
constexpr size_t kLongestComName = 9;

PortOpener& InstalledOpener() {
    static PortOpener opener;
    return opener;
}

// Digits of the port name after "com": "0x" selects hex, "b" binary, else decimal.
int32_t ParsePortNumber(const std::string& name) {
    std::string rest = name.size() > 3 ? name.substr(3) : std::string();
    uint32_t base = 10;
    if (rest.rfind("0x", 0) == 0) {
        base = 16;
        rest.erase(0, 2);
    } else if (rest.rfind("b", 0) == 0) {
        base = 2;
        rest.erase(0, 1);
    }
    uint32_t number = 0;
    for (char c : rest) {
        const uint32_t digit = HexDigitValue(c);
        if (digit >= base) break;
        number = number * base + digit;
    }
    return static_cast<int32_t>(number);
}

// Text up to the first zero byte, at most limit - 1 characters (the bounded line of the trace).
std::string BoundedText(const char* text, size_t length, size_t limit) {
    return std::string(text, strnlen(text, std::min(length, limit - 1)));
}

bool EndsWithReady(const char* buffer, int32_t total) {
    return std::memcmp(buffer + total - 3, "y\r\n", 3) == 0;
}

bool IsCompleteAnswer(const char* buffer, int32_t total) {
    return (total == 26 || total == 9 || total == 15) && EndsWithReady(buffer, total);
}

// Late answers of an earlier exchange that the firmware still delivers.
int32_t DropStaleAnswers(char* buffer, int32_t total) {
    const bool staleTail = total >= 19 && std::memcmp(buffer + 16, "y\r\n", 3) == 0;
    if (total == 19 && buffer[0] == '\r' && staleTail) return 0;
    if (total == 20 && buffer[0] == '\0' && std::memcmp(buffer + 17, "y\r\n", 3) == 0) return 0;
    if (total > 19 && buffer[0] == '\r' && staleTail) {
        std::memmove(buffer, buffer + 19, static_cast<size_t>(total - 19) + 1);
        return total - 19;
    }
    return total;
}

// What follows the system text: the device or port server tried, and who holds it when it is busy.
std::string OpenErrorDetail(const std::string& name, const platform::DeviceOpenResult& result) {
    if (!result.server.empty()) return "Port server tried: " + result.server;
    const std::string device =
        result.devicePath.empty() || result.devicePath == name ? name : name + " (" + result.devicePath + ")";
    if (result.busy) {
        // Nothing names a holder of the exclusive flag alone; a program killed outright leaves it.
        return "The port " + device + " is in use by " +
               (result.holder.empty()
                    ? std::string("another program (or was left exclusive by one that was killed)")
                    : result.holder) +
               ".";
    }
    return result.devicePath.empty() || result.devicePath == name ? std::string()
                                                                  : "Device tried: " + result.devicePath;
}

std::string OpenErrorReason(const std::string& name, const platform::DeviceOpenResult& result) {
    switch (result.failure) {
        case platform::OpenFailure::Mask:
            return "Failed to Set Comm Mask Reason: " + result.errorText;
        case platform::OpenFailure::State:
            return "Failed to Set Comm State Reason: " + result.errorText;
        case platform::OpenFailure::TimeOuts:
            return "Error setting time-outs Reason: " + result.errorText;
        default:
            return "Failed to open com port " + name + ", reason: " + result.errorText;
    }
}

std::string OpenErrorText(const std::string& name, const platform::DeviceOpenResult& result) {
    return OpenErrorReason(name, result) + OpenErrorDetail(name, result);
}

}  // namespace

PortOpener InstallPortOpener(PortOpener opener) {
    PortOpener previous = std::move(InstalledOpener());
    InstalledOpener() = std::move(opener);
    return previous;
}

CUartLib::CUartLib() : m_indirectAccess(std::make_unique<IndirectAccess::CIndirectAccess>(this)) {}

CUartLib::~CUartLib() {
    m_indirectAccess.reset();
    ClosePort();
}

void CUartLib::ClosePort() {
    m_portInitialized = false;
    m_handle.reset();
    if (m_portMutex) m_portMutex->Release();
    m_portMutex.reset();
}

void CUartLib::Open(const std::string& portName, uint32_t readTimeoutMs) {
    if (const std::optional<platform::PortId> port = platform::PortFromText(portName)) {
        Open(*port, readTimeoutMs);
        return;
    }
    ClosePort();
    if (portName.size() > kLongestComName) {
        throw CxExceptionError(
            "Failed to open com port " + portName + ", reason: " + platform::SystemErrorText(ENAMETOOLONG),
            0);
    }
    platform::PortId port;
    port.name = portName;
    port.number = static_cast<uint32_t>(ParsePortNumber(portName));
    Open(port, readTimeoutMs);
}

void CUartLib::Open(const platform::PortId& port, uint32_t readTimeoutMs) {
    ClosePort();
    m_port = port;
    m_portNumber = static_cast<int32_t>(port.number);
    if (port.kind == platform::PortKind::Com && port.name == "com0") return;
    // One exchange lock per port: instances on different ports never wait for each other. Named
    // after the device, so that two names of one device share them.
    m_lockKey = platform::PortLockKey(port);
    m_uartMutex = platform::NamedMutex("__MUTEX_FOR_UART_" + m_lockKey);
    m_portMutex.emplace("MutexUart_" + m_lockKey);
    m_portMutex->Wait(kPortMutexWaitMs);
    OpenDevice();
    m_readTimeout = readTimeoutMs;
    m_portInitialized = true;
}

void CUartLib::OpenDevice() {
    const std::string& portName = m_port.name;
    const PortOpener& installed = InstalledOpener();
    platform::DeviceOpenResult result = installed ? installed(portName) : OpenTtyPort(portName);
    if (!result.device) {
        if (result.failure == platform::OpenFailure::None) result.failure = platform::OpenFailure::Open;
        if (result.busy) throw PortBusyError(OpenErrorText(portName, result), result.holder);
        throw CxExceptionError(OpenErrorText(portName, result), 0);
    }
    m_handle = std::move(result.device);
}

void CUartLib::RestartPort() {
    platform::Trace("trying to restart comm port");
    const platform::PortId port = m_port;
    const uint32_t readTimeout = m_readTimeout;
    // The port stays this instance's across the restart: another instance's probe cannot take it
    // between the close and the reopen.
    platform::ScopedLock keepPort(platform::NamedMutex("MutexUart_" + m_lockKey), 0);
    ClosePort();
    platform::Trace("Closed comm port");
    Open(port, readTimeout);
    platform::Trace("Init comm port");
}

void CUartLib::Send(const char* data, size_t length) {
    if (!m_portInitialized) return;
    platform::Trace(">> " + BoundedText(data, length, kTraceLineBytes - 3));
    if (!m_handle->Write(reinterpret_cast<const uint8_t*>(data), length)) {
        ConsoleUi::instance().print(
            formatText("Warning: Tried to write %d bytes, but actually wrote %d bytes instead.", int(length),
                       int(m_handle->WrittenBeforeFailure())));
    }
}

long CUartLib::ReadChunk(char* at) {
    return m_handle->Read(reinterpret_cast<uint8_t*>(at), kChunkBytes, m_readTimeout);
}

int32_t CUartLib::Receive(char* buffer, size_t bufferSize) {
    std::memset(buffer, 0, std::min<size_t>(3, bufferSize));
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    if (!m_portInitialized) {
        platform::Trace("!m_portInitialized");
        return 0;
    }
    long last = ReadChunk(buffer);
    int32_t total = static_cast<int32_t>(std::max(last, 0L));
    for (;;) {
        if (total > static_cast<int32_t>(bufferSize) - static_cast<int32_t>(kBoundReserve)) {
            buffer[bufferSize - 1] = '\0';
            throw CxExceptionError("Error out of bounds in CUartLib::Receive", 0);
        }
        buffer[total] = '\0';
        if (IsCompleteAnswer(buffer, total)) break;
        total = DropStaleAnswers(buffer, total);
        buffer[total] = '\0';
        const uint32_t elapsed = clock.TickMs() - start;
        if (last < 0) RaiseIfLinkLost();
        // A device that failed (gone, hung up) delivers nothing more: no point waiting.
        if (last < 0 || (last == 0 && elapsed > m_readTimeout) || elapsed > kAnswerCapMs) break;
        if (total > kGarbageLimit) {
            platform::Trace(
                BoundedText(formatText("Clear garbage len: %d, str: %s", total, buffer + 1).c_str(),
                            kGarbageLineBytes, kGarbageLineBytes));
            total = 0;
            buffer[0] = '\0';
        } else if (total >= int32_t(kChunkBytes) && last >= long(kChunkBytes)) {
            total = 0;  // the firmware floods the port
            break;
        }
        last = ReadChunk(buffer + total);
        total += static_cast<int32_t>(std::max(last, 0L));
    }
    platform::Trace(BoundedText(buffer, bufferSize, kTraceLineBytes));
    return total;
}

void CUartLib::RaiseIfLinkLost() {
    const std::string peer = m_handle->Peer();
    if (peer.empty()) return;
    throw CxExceptionError(
        "Lost the connection to " + peer + " (" + PortName() + "): " + m_handle->ErrorText(), 0);
}

platform::DeviceOpenResult OpenTtyPort(const std::string& portName) {
    // A com port leads where its dosdevices entry says: a device, or a port server's URL.
    const std::string target =
        platform::PortFromText(portName) ? portName : platform::ComPortDevicePath(portName);
    const std::optional<platform::PortId> port = platform::PortFromText(target);
    if (port && port->IsNetwork()) return platform::NetworkDevice::Open(*port);
    platform::DeviceOpenResult result;
    result.failure = platform::OpenFailure::Open;
    if (platform::LooksLikeUrl(target)) {
        // A URL of another kind, or one without a host or port, reaches nothing.
        result.errorText = platform::SystemErrorText(EPROTONOSUPPORT);
        result.devicePath = target;
        return result;
    }
    if (!target.empty()) return platform::SerialDevice::Open(target);
    result.errorText = platform::SystemErrorText(ENOENT);
    return result;
}
