#pragma once
// All per-user state lives under one directory: $TOLVAR_PREFIX, default ~/.tolvar.
#include <string>

namespace platform {

// The prefix directory, created (mode 0700) when missing.
std::string PrefixDir();
// Creates the directory and its missing parents with mode 0700; false when that failed.
bool EnsureDirectory(const std::string& path);

std::string LocksDir();
std::string ComPortsCfgPath();
std::string UserRegPath();

// The device behind a port name "comN": what dosdevices/comN names, else /dev/ttyUSB{N-1}.
// Empty for com0 and for names that are not of that form.
std::string ComPortDevicePath(const std::string& portName);

}  // namespace platform
