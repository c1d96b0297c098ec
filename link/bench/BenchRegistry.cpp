#include "link/bench/BenchRegistry.h"

#include "platform/Registry.h"

namespace {
constexpr const char* kStartupKey = "Software\\VB and VBA Program Settings\\Talmer\\Startup";
constexpr size_t kValueBuffer = 255;  // bytes, the terminating NUL included
}  // namespace

std::optional<std::string> ReadTalmerValue(const std::string& valueName) {
    std::optional<std::string> value = platform::ReadUserRegistryString(kStartupKey, valueName);
    if (value && value->size() >= kValueBuffer) return std::nullopt;
    return value;
}
