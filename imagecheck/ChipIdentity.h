#pragma once
// The identification register of the selected chip, read without the register offset.
#include <cstdint>

#include "chip/ChipFacts.h"
#include "link/TargetSession.h"

inline uint32_t ReadIdRegister() {
    return TargetReadOn(chip::kIdRegister, static_cast<uint8_t>(Session().link.currentTarget));
}
