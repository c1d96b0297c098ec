#include "platform/Prefix.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/TextFile.h"

namespace platform {
namespace {

// Never a shared folder such as /tmp: without a home there is no default.
std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir)
        return entry->pw_dir;
    throw PrefixRefused(
        "No home folder for the per-user state (HOME is unset and the account has no passwd entry): set "
        "TOLVAR_PREFIX to a folder of your own.");
}

// The folder must be the user's own (or root's), and only the owner may write it: another user
// could otherwise plant links or swap files in it.
void RequireOwnFolder(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
    const uid_t self = geteuid();
    if (info.st_uid != self && info.st_uid != 0) {
        throw PrefixRefused("The folder " + path + " belongs to another user (uid " +
                            std::to_string(info.st_uid) +
                            "): set TOLVAR_PREFIX to a folder of your own, or remove that folder.");
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw PrefixRefused("The folder " + path + " may be written by group or others: chmod go-w " + path);
    }
}

// The folder, made (0700) when missing, refused when it is not the user's own.
std::string OwnFolder(const std::string& path) {
    EnsureDirectory(path);
    RequireOwnFolder(path);
    return path;
}

// Port number of "comN" (N > 0, digits only), 0 otherwise.
unsigned long ComPortNumber(const std::string& portName) {
    if (portName.size() < 4 || portName.size() > 12 || portName.compare(0, 3, "com") != 0) return 0;
    unsigned long number = 0;
    for (size_t i = 3; i < portName.size(); ++i) {
        char c = portName[i];
        if (c < '0' || c > '9') return 0;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    return number;
}

// A regular file in dosdevices holds the device path on its first line.
std::string PathFromFile(const std::string& file) {
    constexpr size_t kLargestEntry = 4096;
    const std::optional<std::string> text = ReadConfigFile(file, kLargestEntry);
    std::string line(text ? text->substr(0, text->find('\n')) : "");
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    return line.empty() ? file : line;
}

}  // namespace

bool EnsureDirectory(const std::string& path) {
    if (path.empty()) return false;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !EnsureDirectory(path.substr(0, slash))) return false;
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string PrefixDir() {
    const char* configured = std::getenv("TOLVAR_PREFIX");
    std::string dir = (configured && *configured) ? configured : HomeDir() + "/.tolvar";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return OwnFolder(dir);
}

std::string ResolvedPath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string text = real;
    std::free(real);
    return text;
}

std::string LocksDir() {
    return OwnFolder(PrefixDir() + "/locks");
}

std::string ComPortsCfgPath() {
    return PrefixDir() + "/comPorts.cfg";
}
std::string UserRegPath() {
    return PrefixDir() + "/user.reg";
}

std::string ComPortDevicePath(const std::string& portName) {
    unsigned long number = ComPortNumber(portName);
    if (number == 0) return "";
    const std::string folder = PrefixDir() + "/dosdevices";
    RequireOwnFolder(folder);
    const std::string entry = folder + "/" + portName;
    struct stat info {};
    if (lstat(entry.c_str(), &info) != 0) return "/dev/ttyUSB" + std::to_string(number - 1);
    return S_ISREG(info.st_mode) ? PathFromFile(entry) : entry;
}

}  // namespace platform
