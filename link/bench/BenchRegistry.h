#pragma once
// The bench environment's configuration values in the current user's registry.
#include <optional>
#include <string>

// A string value of the key "Software\VB and VBA Program Settings\Talmer\Startup"; empty when the
// key or the value cannot be read, or the value does not fit the 255-byte buffer it is read into.
std::optional<std::string> ReadTalmerValue(const std::string& valueName);

// Where a missing value should be, for the message: the file, the key and the value's name.
std::string TalmerValueHint(const std::string& valueName);
