#include "link/UartTrace.h"

#include <cstdio>
#include <cstdlib>

// Interim channel until the shared trace channel lands.
void UartTrace(const std::string& text) {
    const char* target = std::getenv("TOLVAR_TRACE");
    if (target == nullptr || *target == '\0') return;
    const bool toStderr = std::string(target) == "-";
    FILE* out = toStderr ? stderr : std::fopen(target, "a");
    if (out == nullptr) return;
    std::fputs(text.c_str(), out);
    if (text.empty() || text.back() != '\n') std::fputc('\n', out);
    if (!toStderr) std::fclose(out);
}
