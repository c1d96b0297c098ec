#pragma once
// The entry point of the tool: reads the command line word by word, opens the link, lets the
// flash driver identify the memory and runs one command or the operation letters.
#include <cstdint>
#include <cstdio>

// Runs one invocation with the console on `in`/`out` and returns its exit code (-1 after a
// fatal stop). Every stop ends here, so tests can run several invocations in one process.
int RunTolvar(int argc, char** argv, std::FILE* in = stdin, std::FILE* out = stdout);

// "0x" hexadecimal, "b" binary, otherwise decimal; stops at the first non-digit, an empty
// remainder is 0, a value beyond 32 bits saturates as the standard unsigned conversion does.
uint32_t parseNumber(const char* word);

// Inside a handler: prints what the top-level handlers print for the exception being handled
// ("Exception: ..." or the unknown-exception text). A ProcessExit passes on untouched.
void ReportException(std::FILE* out);

// The usage text on `out`, then fatalExit.
[[noreturn]] void usageExit(std::FILE* out = stdout);
