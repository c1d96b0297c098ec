#pragma once
// The current user's registry values, kept as REGEDIT4 text in $TOLVAR_PREFIX/user.reg.
#include <optional>
#include <string>

namespace platform {

// String value of a key below HKEY_CURRENT_USER (key path and value name ignore case).
// Missing file, key or value, and values of other types, read as not found.
std::optional<std::string> ReadUserRegistryString(const std::string& keyPath, const std::string& valueName);

// The same lookup in a given REGEDIT4 file; keyPath is the full path inside the brackets.
std::optional<std::string> ReadRegistryString(const std::string& file, const std::string& keyPath,
                                              const std::string& valueName);

}  // namespace platform
