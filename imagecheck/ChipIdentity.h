#pragma once
// The identification register of the selected chip, read without the register offset.
#include <cstdint>

#include "link/TargetSession.h"

constexpr uint32_t kIdRegister = 0x80000000;

inline uint32_t ReadIdRegister() {
    return TargetReadOn(kIdRegister, static_cast<uint8_t>(Session().currentTarget));
}
