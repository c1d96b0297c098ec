#pragma once
// The UART link: a com port to one chip's debug UART and the text register protocol over it.
//
// Test seam: every CUartLib reaches its device through the installed PortOpener, which maps a
// port name ("com3", "/dev/ttyACM0", "rfc2217://host:4000") to a platform::ByteDevice. The default
// opens the tty the prefix's dosdevices entry names (or /dev/ttyUSB{N-1}), the device path, or the
// port server the URL (or the dosdevices entry) names. Tests install an opener that hands out the
// simulated board's in-process firmware instead, for the lifetime of a ScopedPortOpener:
//
//     ScopedPortOpener opener([&](const std::string& name) {
//         platform::DeviceOpenResult result;
//         if (name == "com3") result.device = board.OpenDebugPort();
//         else { result.failure = platform::OpenFailure::Open; result.errorText = "No such file or
//         directory\n"; } return result;
//     });
//
// The opener is called by Open (and by the restart after a silent port), once per open.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "console/CxException.h"
#include "link/uart/IndirectAccess.h"
#include "platform/ByteDevice.h"
#include "platform/NamedMutex.h"
#include "platform/PortId.h"
#include "platform/SerialDevice.h"

// The port is held by another process (a serial program, another run); raised by Open like every
// open failure, for callers that tell a busy port from an absent one.
class PortBusyError : public CxExceptionError {
  public:
    PortBusyError(std::string message, std::string holder)
        : CxExceptionError(std::move(message), 0), holder(std::move(holder)) {}
    std::string holder;  // "process 1234 (picocom)", or empty when nothing tells
};

using PortOpener = std::function<platform::DeviceOpenResult(const std::string& portName)>;

// The default opener: the tty or port server behind the port name.
platform::DeviceOpenResult OpenTtyPort(const std::string& portName);
// Installs an opener (an empty one restores the default); returns the previous one.
PortOpener InstallPortOpener(PortOpener opener);

class ScopedPortOpener {
  public:
    explicit ScopedPortOpener(PortOpener opener) : m_previous(InstallPortOpener(std::move(opener))) {}
    ~ScopedPortOpener() { InstallPortOpener(std::move(m_previous)); }
    ScopedPortOpener(const ScopedPortOpener&) = delete;
    ScopedPortOpener& operator=(const ScopedPortOpener&) = delete;

  private:
    PortOpener m_previous;
};

class CUartLib : public IndirectAccess::CDirectAccess {
  public:
    CUartLib();
    ~CUartLib() override;
    CUartLib(const CUartLib&) = delete;
    CUartLib& operator=(const CUartLib&) = delete;

    uint32_t ReadDirect(uint32_t address, bool isTX) override;
    bool WriteDirect(uint32_t address, uint32_t value, bool isTX) override;

    // Opens the port with the given read time-out; raises CxExceptionError. Com port 0 opens
    // nothing: the object stays closed and every exchange does nothing.
    void Open(const platform::PortId& port, uint32_t readTimeoutMs);
    // The same by name: a device path or a port URL, else a com port name ("com3", "com0x1f").
    void Open(const std::string& portName, uint32_t readTimeoutMs);
    void Send(const char* data, size_t length);
    // Collects one answer; the buffer must hold the answer plus 52 bytes. Returns the bytes kept,
    // 0 for none or for a flooding firmware.
    int32_t Receive(char* buffer, size_t bufferSize);

    virtual uint32_t ReadRegister(uint32_t address);
    // One exchange and no resend: for a register whose every read has an effect (the memory's
    // receive register moves on), a resend would answer with the next word. Empty when the answer
    // was lost (the port is restarted) or was for another address.
    std::optional<uint32_t> ReadRegisterOnce(uint32_t address);
    void WriteRegister(uint32_t address, uint32_t value);
    uint32_t ReadAddress(uint32_t address, uint8_t target);
    void WriteAddress(uint32_t address, uint32_t value, uint8_t target);
    virtual uint32_t ReadIndirect(uint32_t address, uint8_t target);
    void PrepareIndirect(uint8_t target);
    // Block commands over the first `length` bytes of `block`; with logBuffers the verify shows
    // both buffers on the console.
    void BurnBlock(const uint8_t* block, uint8_t length);
    bool VerifyBlock(const uint8_t* block, uint8_t length, bool logBuffers);

    int32_t PortNumber() const { return m_portNumber; }
    std::string PortName() const { return m_port.name; }
    const platform::PortId& Port() const { return m_port; }
    bool PortInitialized() const { return m_portInitialized; }
    bool IndirectReady() const { return m_indirectReady; }
    const IndirectAccess::CIndirectAccess& Indirect() const { return *m_indirectAccess; }

  private:
    void ClosePort();
    void RestartPort();
    // One "r" exchange; an empty answer on the last try raises.
    std::optional<uint32_t> ReadExchange(const std::string& command, uint32_t address, bool lastTry);
    void OpenDevice();
    long ReadChunk(char* at);
    // A lost network connection ends the link, naming the server: it is no silent line to reopen.
    void RaiseIfLinkLost();

    std::unique_ptr<IndirectAccess::CIndirectAccess> m_indirectAccess;
    int32_t m_portNumber = 0;
    bool m_indirectReady = false;
    std::unique_ptr<platform::ByteDevice> m_handle;
    uint32_t m_readTimeout = 0;
    // The exchange lock, named after the port by Open.
    platform::NamedMutex m_uartMutex{"__MUTEX_FOR_UART"};
    std::optional<platform::NamedMutex> m_portMutex;
    platform::PortId m_port;
    std::string m_lockKey;  // the port's part of its lock names
    bool m_portInitialized = false;
};
