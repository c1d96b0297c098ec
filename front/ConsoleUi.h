#pragma once
// The process-wide console object: every message of the flash driver and the image operations,
// every yes/no question and every wait for a key goes through it.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

class ConsoleUi {
public:
    // The four operations, installed by the program's start-up before any other use.
    struct Operations {
        std::function<void(const std::string&)> print;
        std::function<void(int32_t)> progress;
        std::function<bool()> confirm;
        std::function<void()> errorPause;
    };

    // Created on first use (under the "Eprom" lock) with the standard operations on stdin/stdout.
    static ConsoleUi& instance();

    void Install(Operations operations);

    void print(const std::string& text);
    void progress(int32_t percent);
    bool confirm();
    void errorPause();

private:
    ConsoleUi() = default;
    Operations m_operations;
};

// The operations of the program: text to `out`, answers and keys from `in`.
ConsoleUi::Operations StandardConsoleOperations(std::FILE* in, std::FILE* out);

// errorPause, then the process ends with exit code -1 (throws ProcessExit{-1}).
[[noreturn]] void fatalExit();

// printf-style formatting into a text that grows as needed.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string formatTextV(const char* format, va_list args);

// printf-style formatting into a caller's buffer; see its definition for the result rule.
int formatBounded(char* buffer, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The system's text of the last error (errno), cut to the buffer; returns the buffer.
char* lastErrorText(char* buffer, size_t capacity);
