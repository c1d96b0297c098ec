#include "platform/PortList.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>

#include "platform/PortHolder.h"
#include "platform/Prefix.h"

namespace platform {
namespace {

constexpr const char kDefaultDevRoot[] = "/dev";

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string LinkText(const std::string& path) {
    std::string text(4096, '\0');
    const ssize_t length = ::readlink(path.c_str(), text.data(), text.size());
    if (length <= 0) return "";
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string LastPart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first line of a small sysfs attribute, without its line end.
std::string FirstLine(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

bool IsNetworkTarget(const std::string& target) {
    return target.find("://") != std::string::npos;
}

// "ttyACM" followed by digits only.
bool IsNumbered(const std::string& name, const std::string& stem) {
    if (name.size() <= stem.size() || name.compare(0, stem.size(), stem) != 0) return false;
    return std::all_of(name.begin() + static_cast<long>(stem.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// The USB device above the tty: from sysfs class/tty/<name>/device upwards, the first folder
// with idVendor and idProduct.
void DescribeUsb(const std::string& sysRoot, PortEntry& port) {
    const std::string top = ResolvedPath(sysRoot);
    std::string folder = ResolvedPath(sysRoot + "/class/tty/" + LastPart(port.device) + "/device");
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return;
    while (folder.size() > top.size() && folder.compare(0, top.size(), top) == 0) {
        const std::string vendor = FirstLine(folder + "/idVendor");
        const std::string product = FirstLine(folder + "/idProduct");
        if (!vendor.empty() && !product.empty()) {
            port.usbId = vendor + ":" + product;
            port.serial = FirstLine(folder + "/serial");
            port.product = FirstLine(folder + "/product");
            return;
        }
        folder.erase(folder.rfind('/'));
    }
}

void LookUp(const PortRoots& roots, PortEntry& port) {
    struct stat info {};
    if (port.network || ::stat(port.device.c_str(), &info) != 0) return;
    port.present = true;
    port.device = ResolvedPath(port.device);
    DescribeUsb(roots.sys, port);
    if (const pid_t holder = DeviceHolder(port.device); holder > 0) port.holder = ProcessDescription(holder);
}

// The device of a port on its default: the path the prefix gives, under the chosen root.
std::string UnderRoot(const PortRoots& roots, const std::string& path) {
    const std::string standard = std::string(kDefaultDevRoot) + "/";
    if (path.compare(0, standard.size(), standard) != 0) return path;
    return roots.dev + "/" + path.substr(standard.size());
}

// The prefix's comN entries (by number), and com1 to kSearchedComPorts on their defaults.
std::vector<PortEntry> PrefixPorts(const PortRoots& roots) {
    std::map<unsigned long, PortEntry> ports;
    const std::string folder = PrefixDir() + "/dosdevices";
    for (const std::string& name : FolderNames(folder)) {
        if (!IsNumbered(name, "com") || name.size() > 12) continue;
        const unsigned long number = std::strtoul(name.c_str() + 3, nullptr, 10);
        if (number == 0) continue;
        const std::string entry = folder + "/" + name;
        struct stat info {};
        if (::lstat(entry.c_str(), &info) != 0) continue;
        PortEntry port;
        port.name = name;
        // A regular file holds the device path (or URL) on its first line.
        port.target = S_ISLNK(info.st_mode) ? LinkText(entry) : ComPortDevicePath(name);
        port.network = IsNetworkTarget(port.target);
        if (!port.network) port.device = S_ISLNK(info.st_mode) ? entry : port.target;
        ports[number] = port;
    }
    for (unsigned long number = 1; number <= kSearchedComPorts; ++number) {
        if (ports.count(number) != 0) continue;
        PortEntry& port = ports[number];
        port.name = "com" + std::to_string(number);
        port.device = UnderRoot(roots, ComPortDevicePath(port.name));
    }
    std::vector<PortEntry> list;
    for (auto& [number, port] : ports) list.push_back(std::move(port));
    return list;
}

}  // namespace

std::vector<PortEntry> ListPorts(const PortRoots& roots) {
    std::vector<PortEntry> ports = PrefixPorts(roots);
    std::vector<std::string> modems = FolderNames(roots.dev);
    // ttyACM2 before ttyACM10.
    std::stable_sort(modems.begin(), modems.end(),
                     [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    for (const std::string& name : modems) {
        if (!IsNumbered(name, "ttyACM")) continue;
        PortEntry port;
        port.name = port.device = roots.dev + "/" + name;
        ports.push_back(port);
    }
    const std::string byId = roots.dev + "/serial/by-id";
    for (const std::string& name : FolderNames(byId)) {
        PortEntry port;
        port.name = port.device = byId + "/" + name;
        port.target = LinkText(port.name);
        ports.push_back(port);
    }
    for (PortEntry& port : ports) LookUp(roots, port);
    return ports;
}

}  // namespace platform
