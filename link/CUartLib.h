#pragma once
// The UART link: a com port to one chip's debug UART and the text register protocol over it.
// (Interface the session relies on; the serial-port engineer owns and extends this class.)
#include <cstdint>
#include <string>

class CUartLib {
public:
    CUartLib();
    virtual ~CUartLib();
    CUartLib(const CUartLib&) = delete;
    CUartLib& operator=(const CUartLib&) = delete;

    // Opens the named port ("com3") with the given read time-out; raises CxExceptionError.
    void Open(const std::string& portName, uint32_t readTimeoutMs);

    uint32_t ReadAddress(uint32_t address, uint8_t target);
    void WriteAddress(uint32_t address, uint32_t value, uint8_t target);
    void BurnBlock(uint8_t length);
    bool VerifyBlock(uint8_t length);
};
