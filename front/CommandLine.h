#pragma once
// The entry point of the tool: reads the command line word by word, opens the link, lets the
// flash driver identify the memory and runs one command or the operation letters.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// Runs one invocation with the console on `in`/`out` and returns its exit code (-1 after a
// fatal stop). Every stop ends here, so tests can run several invocations in one process.
int RunTolvar(int argc, char** argv, std::FILE* in = stdin, std::FILE* out = stdout);

// "0x" or "0X" hexadecimal, "b" binary, otherwise decimal, as the standard unsigned conversion
// reads them (a value beyond 32 bits saturates). None when the word is not wholly a number: no
// digit at all, or anything left after the digits.
[[nodiscard]] std::optional<uint32_t> parseNumber(const char* word);

// Inside a handler: prints what the top-level handlers print for the exception being handled
// ("Exception: ..." or the unknown-exception text) and returns it. A ProcessExit passes on untouched.
std::string ReportException(std::FILE* out);

// The usage text on `out`, then fatalExit.
[[noreturn]] void usageExit(std::FILE* out = stdout);
