#pragma once
// The chip's serial-memory controller: control, status, transmit and receive registers.
//
// SPI: chip select is NOT bit 8 of the last control value; the width n is bits 4-5 + 1. A transmit
// shifts out the n most significant bytes of the word, most significant first; a receive clocks n
// bytes in, the first landing in bits 31-24. Released, shifts do nothing and receive all ones.
//
// I2C: the first byte after idle or a stop is the device byte (start). The stop bit falling after
// being set is a stop condition; the last-byte bit makes the last byte of the next receive
// unacknowledged, ending the read. Bits by family: Ostral stop 6, last 7; Marnel stop 7, last 9 and
// bit 6 must be set while the read device byte goes out and data come in.
#include <cstdint>
#include <string>
#include <vector>

#include "board/Audit.h"
#include "board/MemoryDevice.h"

namespace board {

enum class Family { Ostral, Marnel };
enum class Bus { Spi, I2c };

class Controller {
  public:
    Controller(Family family, Bus bus, MemoryDevice* device, AuditSink audit, const ChipFaults& faults);

    void WriteControl(uint32_t value);
    uint32_t Control() const { return m_control; }
    uint32_t ReadStatus();
    void WriteTransmit(uint32_t word);
    uint32_t ReadReceive();

    unsigned Width() const { return ((m_control >> 4) & 3) + 1; }
    Bus BusKind() const { return m_bus; }
    bool Selected() const { return m_bus == Bus::Spi && m_selected; }
    // Status shows busy for this many reads after each shift.
    void SetBusyPolls(unsigned polls) { m_busyPollsPerShift = polls; }

    // Bus trace for tests: "select", "release", "start", "stop", "nack", ">xx" for a byte sent to
    // the memory and "<xx" for a byte received (two lower-case hex digits).
    void EnableTrace(bool on) { m_tracing = on; }
    const std::vector<std::string>& Trace() const { return m_trace; }
    void ClearTrace() { m_trace.clear(); }

  private:
    enum class I2cState { Idle, Writing, Reading, Ignored };
    uint8_t NoDevice() const { return 0xFF; }
    void SpiControl(bool select);
    void I2cTransmit(uint8_t byte);
    uint8_t I2cReceive(bool last);
    void Shifted() { m_busyPolls = m_busyPollsPerShift; }
    void Note(const char* event) {
        if (m_tracing) m_trace.emplace_back(event);
    }
    void NoteByte(char direction, uint8_t byte);

    Family m_family;
    Bus m_bus;
    MemoryDevice* m_device;
    AuditSink m_audit;
    const ChipFaults& m_faults;
    uint32_t m_control = 0x301;
    bool m_selected = false;
    I2cState m_i2c = I2cState::Idle;
    unsigned m_busyPollsPerShift = 0;
    unsigned m_busyPolls = 0;
    bool m_tracing = false;
    std::vector<std::string> m_trace;
};

}  // namespace board
