#pragma once
// All per-user state lives under one directory: $TOLVAR_PREFIX, default ~/.tolvar.
#include <stdexcept>
#include <string>

namespace platform {

// A prefix that is not the user's own; the text names the path and the fix.
class PrefixRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The prefix directory, created (mode 0700) when missing. The prefix, locks/ and dosdevices/ must
// belong to the user (or root) and be writable by the owner alone, as ssh treats ~/.ssh;
// otherwise, and when there is no home to put the default in, PrefixRefused.
std::string PrefixDir();
// Creates the directory and its missing parents with mode 0700; false when that failed.
bool EnsureDirectory(const std::string& path);

// The path with every link followed; the path itself when it does not resolve.
std::string ResolvedPath(const std::string& path);

std::string LocksDir();
std::string ComPortsCfgPath();
std::string UserRegPath();

// A search for a board probes com1 to com<kSearchedComPorts>.
inline constexpr unsigned kSearchedComPorts = 10;

// The device behind a port name "comN": what dosdevices/comN names, else /dev/ttyUSB{N-1}.
// Empty for com0 and for names that are not of that form.
std::string ComPortDevicePath(const std::string& portName);

}  // namespace platform
