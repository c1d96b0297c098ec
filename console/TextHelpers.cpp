#include "console/TextHelpers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/SystemError.h"

std::string formatTextV(const char* format, va_list args) {
    std::vector<char> text(100);
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        int length = std::vsnprintf(text.data(), text.size(), format, attempt);
        va_end(attempt);
        // Here a negative result is a real formatting error, not a short buffer: growing
        // would never end.
        if (length < 0) return "";
        if (static_cast<size_t>(length) < text.size())
            return std::string(text.data(), static_cast<size_t>(length));
        text.resize(static_cast<size_t>(length) + 1);
    }
}

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatTextV(format, args);
    va_end(args);
    return text;
}

int formatBounded(char* buffer, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(capacity == 0 ? nullptr : buffer, capacity, format, args);
    va_end(args);
    return length;
}

char* lastErrorText(char* buffer, size_t capacity) {
    int error = errno;
    if (capacity > 0) {
        std::string text = platform::SystemErrorText(error);
        size_t length = std::min(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
    }
    errno = error;
    return buffer;
}
