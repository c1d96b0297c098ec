// The serial port of the UART link: opening, sending, and collecting the firmware's answers.
#include "link/uart/CUartLib.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "platform/Clock.h"
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

// What follows the system text: the device tried, and who holds it when it is busy.
std::string OpenErrorDetail(const std::string& name, const platform::DeviceOpenResult& result) {
    const std::string device = result.devicePath.empty() ? name : name + " (" + result.devicePath + ")";
    if (result.busy) {
        // Nothing names a holder of the exclusive flag alone; a program killed outright leaves it.
        return "The port " + device + " is in use by " +
               (result.holder.empty()
                    ? std::string("another program (or was left exclusive by one that was killed)")
                    : result.holder) +
               ".";
    }
    return result.devicePath.empty() ? std::string() : "Device tried: " + result.devicePath;
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
    ClosePort();
    // A name that does not fit would be cut into another port's name.
    if (portName.size() >= m_portName.size()) {
        throw CxExceptionError(
            "Failed to open com port " + portName + ", reason: " + platform::SystemErrorText(ENAMETOOLONG),
            0);
    }
    m_portName.fill('\0');
    std::copy(portName.begin(), portName.end(), m_portName.begin());
    m_portNumber = ParsePortNumber(portName);
    if (portName == "com0") return;
    // One exchange lock per port: instances on different ports never wait for each other.
    m_uartMutex = platform::NamedMutex("__MUTEX_FOR_UART_" + portName);
    m_portMutex.emplace("MutexUart_" + portName);
    m_portMutex->Wait(kPortMutexWaitMs);
    OpenDevice(portName);
    m_readTimeout = readTimeoutMs;
    m_portInitialized = true;
}

void CUartLib::OpenDevice(const std::string& portName) {
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
    const std::string name = PortName();
    const uint32_t readTimeout = m_readTimeout;
    // The port stays this instance's across the restart: another instance's probe cannot take it
    // between the close and the reopen.
    platform::ScopedLock keepPort(platform::NamedMutex("MutexUart_" + name), 0);
    ClosePort();
    platform::Trace("Closed comm port");
    Open(name, readTimeout);
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

platform::DeviceOpenResult OpenTtyPort(const std::string& portName) {
    const std::string path = platform::ComPortDevicePath(portName);
    if (!path.empty()) return platform::SerialDevice::Open(path);
    platform::DeviceOpenResult result;
    result.failure = platform::OpenFailure::Open;
    result.errorText = platform::SystemErrorText(ENOENT);
    return result;
}
