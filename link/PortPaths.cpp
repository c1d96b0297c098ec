#include "link/PortPaths.h"

#include <sys/stat.h>

#include <cstdlib>

namespace {

// Interim prefix lookup until the shared prefix helpers land.
std::string PrefixDir() {
    if (const char* prefix = std::getenv("TOLVAR_PREFIX"); prefix != nullptr && *prefix != '\0')
        return prefix;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.tolvar";
}

// "comN" with N a plain decimal number of at least 1.
bool PlainPortNumber(const std::string& name, unsigned long& number) {
    if (name.size() < 4 || name.size() > 12 || name.compare(0, 3, "com") != 0) return false;
    number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        number = number * 10 + static_cast<unsigned long>(name[i] - '0');
    }
    return number >= 1;
}

}  // namespace

std::string ComPortDevicePath(const std::string& portName) {
    const std::string entry = PrefixDir() + "/dosdevices/" + portName;
    struct stat status {};
    // A link that points nowhere still names this port's device: opening it then fails.
    if (portName.find('/') == std::string::npos && ::lstat(entry.c_str(), &status) == 0) return entry;
    unsigned long number = 0;
    if (!PlainPortNumber(portName, number)) return {};
    return "/dev/ttyUSB" + std::to_string(number - 1);
}

std::string ComPortsConfigPath() {
    return PrefixDir() + "/comPorts.cfg";
}
