#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Port number (1 to 10) on which a chip of the side (0 sink, 1 source) answered, 0 when none did.
// Ports held by another process are skipped; `busyPorts`, when given, gets one line for each
// ("The port com1 (/dev/ttyUSB0) is in use by process 1234 (picocom).").
uint32_t FindUartPort(int32_t side, std::vector<std::string>* busyPorts = nullptr);
