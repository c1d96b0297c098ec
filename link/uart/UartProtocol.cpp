// The register protocol of the UART link: "r"/"w" exchanges, block commands, and the mailbox
// for registers the attached chip reaches only indirectly. Each exchange holds the port's exchange
// lock for its own duration only, failed exchanges included: a lock kept after a failure that a
// caller absorbs (discovery, WriteDirect, PrepareIndirect) would stall other instances.
#include <cstring>

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "link/uart/CUartLib.h"
#include "platform/Trace.h"

namespace {

constexpr uint32_t kExchangeLockWaitMs = 3000;
constexpr size_t kAnswerBytes = 200;
constexpr size_t kVerifyAnswerBytes = 128;
constexpr size_t kDrainBytes = 250;
constexpr char kReady[] = "\r\nReady\r\n";
constexpr char kPass[] = "\r\nPass\r\nReady\r\n";

[[noreturn]] void Raise(const std::string& text) {
    throw CxExceptionError(text, 0);
}

[[noreturn]] void TraceAndRaise(const std::string& text) {
    platform::Trace(text);
    Raise(text);
}

bool IsAnswer(const char* answer, int32_t length, const char* expected) {
    return length == static_cast<int32_t>(std::strlen(expected)) &&
           std::memcmp(answer, expected, length) == 0;
}

// Hex digits from the start of the 0-terminated text, at most limit of them.
uint32_t ParseHex(const char* text, size_t limit) {
    return LeadingHexValue(std::string_view(text, strnlen(text, limit)), limit);
}

struct ReadAnswer {
    uint32_t echoedAddress;
    uint32_t value;
};

// "aaaaaaaa=vvvvvvvv\r\nReady\r\n": the echoed address stands in the 8 characters before the last
// "=" (the first byte may be line noise and is not searched).
ReadAnswer ParseReadAnswer(const char* answer, int32_t length) {
    const char* equals = std::strrchr(answer + 1, '=');
    if (equals == nullptr || equals - answer < 8) {
        ConsoleUi::instance().print(formatText("Invalid response. Got string: %s\n", answer + 1));
        Raise(formatText("Invalid response. Len: %d, string: %s", length, answer + 1));
    }
    return {ParseHex(equals - 8, 8), ParseHex(equals + 1, SIZE_MAX)};
}

bool InvalidBlockLength(uint8_t length) {
    return length < 4 || length > 128 || length % 4 != 0;
}

std::string BlockCommand(char command, const uint8_t* block, uint8_t length) {
    std::string bytes(1, command);
    bytes += static_cast<char>(length);
    bytes.append(reinterpret_cast<const char*>(block), length);
    bytes += "\r\n";
    return bytes;
}

}  // namespace

uint32_t CUartLib::ReadDirect(uint32_t address, bool) {
    return ReadRegister(address);
}

bool CUartLib::WriteDirect(uint32_t address, uint32_t value, bool) {
    try {
        WriteRegister(address, value);
        return true;
    } catch (const CxExceptionError&) {
        return false;
    }
}

void CUartLib::WriteRegister(uint32_t address, uint32_t value) {
    if (!m_portInitialized) return;
    const std::string command = formatText("w%08x %08x\n", address, value);
    const platform::ScopedLock exchange(m_uartMutex, kExchangeLockWaitMs);
    Send(command.data(), command.size());
    char answer[kAnswerBytes];
    const int32_t length = Receive(answer, sizeof answer);
    if (IsAnswer(answer, length, kReady)) return;
    ConsoleUi& console = ConsoleUi::instance();
    console.print(formatText("error read buf. recLen=%d\n", length));
    if (length == 0) Raise("Didn't get 'Ready' response for write operation. recLen=0");
    console.print(formatText("buff: %s\n", answer));
    TraceAndRaise(
        formatText("Didn't get 'Ready' response for write operation. recLen=%d, buf=%s", length, answer));
}

std::optional<uint32_t> CUartLib::ReadExchange(const std::string& command, uint32_t address, bool lastTry) {
    Send(command.data(), command.size());
    char answer[kAnswerBytes];
    const int32_t length = Receive(answer, sizeof answer);
    if (length == 0) {
        if (lastTry) TraceAndRaise("Can't read from chip");
        RestartPort();
        return std::nullopt;
    }
    const ReadAnswer parsed = ParseReadAnswer(answer, length);
    if (parsed.echoedAddress == address) return parsed.value;
    const std::string mismatch = formatText(
        "Got unexpected read answer. Tried to read address 0x%08x, but got response to address 0x%08x\n",
        address, parsed.echoedAddress);
    ConsoleUi::instance().print(formatText("Warning: %s\n", mismatch.c_str()));
    platform::Trace(mismatch);
    char drained[kDrainBytes];
    Receive(drained, sizeof drained);
    return std::nullopt;
}

uint32_t CUartLib::ReadRegister(uint32_t address) {
    if (!m_portInitialized) return 0;
    const std::string command = formatText("r%08x\n", address);
    const platform::ScopedLock exchange(m_uartMutex, kExchangeLockWaitMs);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (const std::optional<uint32_t> value = ReadExchange(command, address, attempt > 0)) return *value;
    }
    TraceAndRaise("Error shouldn't reach here");
}

std::optional<uint32_t> CUartLib::ReadRegisterOnce(uint32_t address) {
    if (!m_portInitialized) return 0;
    const std::string command = formatText("r%08x\n", address);
    const platform::ScopedLock exchange(m_uartMutex, kExchangeLockWaitMs);
    return ReadExchange(command, address, false);
}

uint32_t CUartLib::ReadAddress(uint32_t address, uint8_t target) {
    return chip::IsIndirectAddress(address) ? ReadIndirect(address, target) : ReadRegister(address);
}

void CUartLib::WriteAddress(uint32_t address, uint32_t value, uint8_t target) {
    if (!chip::IsIndirectAddress(address)) {
        WriteRegister(address, value);
        return;
    }
    PrepareIndirect(target);
    if (!m_indirectAccess->Write(address, value)) Raise("Error writing indirect address");
}

uint32_t CUartLib::ReadIndirect(uint32_t address, uint8_t target) {
    PrepareIndirect(target);
    bool done = false;
    const uint32_t value = m_indirectAccess->Read(address, done);
    if (!done) Raise("Can't read indirectly");
    return value;
}

void CUartLib::PrepareIndirect(uint8_t target) {
    if (m_indirectReady) return;
    if (target != 0) {
        m_indirectAccess->set_TargetTX();
    } else {
        m_indirectAccess->set_TargetRX();
    }
    try {
        const uint32_t id = ReadRegister(chip::kIdRegister);
        const uint32_t version = ReadRegister(chip::VersionRegisterOf(id));
        if (!chip::IsOstralId(id) && version > chip::kLastOstralMailboxVersion) {
            m_indirectAccess->set_ChipRuvo();
        } else {
            m_indirectAccess->set_ChipOstral();
        }
        m_indirectReady = true;
    } catch (const CxExceptionError&) {
        // The chip did not tell its family: guess, and choose again on the next access.
        m_indirectAccess->set_ChipRuvo();
    }
}

void CUartLib::BurnBlock(const uint8_t* block, uint8_t length) {
    if (!m_portInitialized) return;
    if (InvalidBlockLength(length)) Raise("Invalid length argument for burn operation");
    const std::string command = BlockCommand('B', block, length);
    const platform::ScopedLock exchange(m_uartMutex, kExchangeLockWaitMs);
    Send(command.data(), command.size());
    char answer[kAnswerBytes];
    const int32_t received = Receive(answer, sizeof answer);
    if (!IsAnswer(answer, received, kReady)) Raise("Error burn data");
}

bool CUartLib::VerifyBlock(const uint8_t* block, uint8_t length, bool logBuffers) {
    if (!m_portInitialized) return false;
    if (InvalidBlockLength(length)) Raise("Invalid length argument for verify operation");
    const std::string command = BlockCommand('T', block, length);
    if (logBuffers) {
        std::string line = "Send Buffer ";
        for (char byte : command) line += formatText(" %02x", static_cast<unsigned char>(byte));
        ConsoleUi::instance().print(line + "\r\n");
    }
    Send(command.data(), command.size());
    char answer[kVerifyAnswerBytes];
    const int32_t received = Receive(answer, sizeof answer);
    if (logBuffers) ConsoleUi::instance().print(formatText("Recieved Buffer %s\r\n", answer));
    return IsAnswer(answer, received, kPass);
}
