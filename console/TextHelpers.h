#pragma once
// Text helpers shared by every layer.
#include <cstdarg>
#include <cstddef>
#include <string>

// printf-style formatting into a text that grows as needed.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string formatTextV(const char* format, va_list args);

// printf-style formatting into a caller's buffer; see its definition for the result rule.
int formatBounded(char* buffer, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The system's text of the last error (errno), cut to the buffer; returns the buffer.
char* lastErrorText(char* buffer, size_t capacity);
