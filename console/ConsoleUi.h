#pragma once
// The process-wide console object: every message of the flash driver and the image operations,
// every yes/no question and every wait for a key goes through it.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "console/TextHelpers.h"

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
    // Forgets the last progress text, so the next run's first progress line returns over nothing;
    // for tests that run several invocations in one process.
    static void ResetProgressLine();

    void Install(Operations operations);

    void print(const std::string& text);
    void progress(int32_t percent);
    bool confirm();
    void errorPause();

    // Length of the last progress text printed ("Progress: 7%" is 12); 0 at program start.
    int32_t& progressTextLength() { return m_progressTextLength; }

  private:
    ConsoleUi() = default;
    Operations m_operations;
    int32_t m_progressTextLength = 0;
};

// The operations of the program: text to `out`, answers and keys from `in`.
ConsoleUi::Operations StandardConsoleOperations(std::FILE* in, std::FILE* out);

// errorPause, then the process ends with exit code -1 (throws ProcessExit{-1}).
[[noreturn]] void fatalExit();
