#pragma once
// The bench environment's configuration values in the current user's registry.
#include <optional>
#include <string>

// A string value of the key "Software\VB and VBA Program Settings\Talmer\Startup"; empty when the
// key or the value cannot be read, or the value does not fit the 255-byte buffer it is read into.
std::optional<std::string> ReadTalmerValue(const std::string& valueName);
