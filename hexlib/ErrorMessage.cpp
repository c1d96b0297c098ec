#include <cstdarg>
#include <cstdio>

#include "quillan.h"

namespace {

// Written by every error the library raises, read by callers after a failed call.
char latestError[Quillan::ErrorMessage::kCapacity] = "";

}  // namespace

namespace Quillan {

ErrorMessage::ErrorMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    std::vsnprintf(m_message, sizeof m_message, format, args);
    std::vsnprintf(latestError, sizeof latestError, format, again);
    va_end(again);
    va_end(args);
}

// Out of line on purpose: it anchors the type information that callers match in their handlers.
ErrorMessage::~ErrorMessage() = default;

const char* ErrorMessage::what() const noexcept {
    return m_message;
}

}  // namespace Quillan

extern "C" const char* ihex_getLatestErrorMessage(void) {
    return latestError;
}
