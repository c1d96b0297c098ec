#include "link/bench/BenchRegistry.h"

#include <sys/stat.h>

#include "platform/Prefix.h"
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

std::string TalmerValueHint(const std::string& valueName) {
    const std::string file = platform::UserRegPath();
    const std::string value =
        "the string value \"" + valueName + "\" of [HKEY_CURRENT_USER\\" + kStartupKey + "]";
    const std::string format = " (REGEDIT4 text, see FILES in Tolvar(1)).";
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return file + " does not exist: create it with " + value + format;
    return "Set " + value + " in " + file + format;
}
