#pragma once
// The process-wide console object: every message of the flash driver and the image operations,
// every yes/no question and every wait for a key goes through it.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
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

// Which ends of the console are terminals. A terminal gets the progress rewritten in place and
// the pauses wait for one key; a pipe or a file gets progress as whole lines, and nothing is read
// for a pause (a script's input is its own, and nobody is there to press a key).
struct ConsoleTerminals {
    bool input = false;
    bool output = false;
};
ConsoleTerminals DetectTerminals(std::FILE* in, std::FILE* out);
// For the tool run in process on memory streams: DetectTerminals answers `terminals` while set
// (nullopt: the streams are looked at again).
void OverrideTerminalDetection(std::optional<ConsoleTerminals> terminals);

// The operations of the program: text to `out`, answers and keys from `in`; the streams are
// looked at to tell whether they are terminals.
ConsoleUi::Operations StandardConsoleOperations(std::FILE* in, std::FILE* out);
ConsoleUi::Operations StandardConsoleOperations(std::FILE* in, std::FILE* out, ConsoleTerminals terminals);

// The wait of a pause: one key on a terminal, without Enter and without echo; nothing is read
// when `in` is not a terminal.
void WaitForKey(std::FILE* in, bool terminal);
// Puts back the settings a key wait changed; for a process that ends in the middle of one.
void RestoreTerminalSettings();

// errorPause, then the process ends with exit code -1 (throws ProcessExit{-1}).
[[noreturn]] void fatalExit();
