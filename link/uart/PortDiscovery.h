#pragma once
#include <cstdint>

// Port number (1 to 10) on which a chip of the side (0 sink, 1 source) answered, 0 when none did.
uint32_t FindUartPort(int32_t side);
