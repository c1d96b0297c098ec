#pragma once
// Text helpers shared by every layer.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// printf-style formatting into a text that grows as needed.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string formatTextV(const char* format, va_list args);

// printf-style formatting into a caller's buffer; see its definition for the result rule.
int formatBounded(char* buffer, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The system's text of the last error (errno), cut to the buffer; returns the buffer.
char* lastErrorText(char* buffer, size_t capacity);

// Value of a hexadecimal digit in either case; kNotHexDigit for any other character, so that
// `HexDigitValue(c) < base` tells a digit of any base up to 16.
inline constexpr uint32_t kNotHexDigit = 16;
constexpr uint32_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
    return kNotHexDigit;
}

// Value of the hex digits at the start of text, at most maxDigits of them: the first character
// that is not a digit ends the value, and none at all gives 0.
constexpr uint32_t LeadingHexValue(std::string_view text, size_t maxDigits) {
    uint32_t value = 0;
    for (size_t i = 0; i < text.size() && i < maxDigits; ++i) {
        const uint32_t digit = HexDigitValue(text[i]);
        if (digit == kNotHexDigit) break;
        value = value << 4 | digit;
    }
    return value;
}
