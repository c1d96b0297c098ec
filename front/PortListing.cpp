#include "front/PortListing.h"

#include <string>

#include "platform/Prefix.h"

namespace {

// "com1 -> /dev/pts/3", "/dev/ttyACM0", "com2 (/dev/ttyUSB1)": the name, what it names, and the
// device reached when that is neither.
std::string PortTitle(const platform::PortEntry& port) {
    std::string title = port.name;
    if (!port.target.empty()) title += " -> " + port.target;
    if (!port.device.empty() && port.device != port.name && port.device != port.target)
        title += " (" + port.device + ")";
    return title;
}

std::string PortState(const platform::PortEntry& port) {
    if (port.network) return "network port (not connected to)";
    std::string state = port.present ? "present" : "absent";
    if (!port.usbId.empty()) state += ", USB " + port.usbId;
    if (!port.serial.empty()) state += ", serial \"" + port.serial + "\"";
    if (!port.product.empty()) state += ", product \"" + port.product + "\"";
    if (!port.holder.empty()) state += ", in use by " + port.holder;
    return state;
}

}  // namespace

void PrintPortList(const std::vector<platform::PortEntry>& ports, std::FILE* out) {
    for (const platform::PortEntry& port : ports)
        std::fprintf(out, "%s: %s\n", PortTitle(port).c_str(), PortState(port).c_str());
    std::fflush(out);
}

int ListPortsCommand(std::FILE* out) {
    try {
        PrintPortList(platform::ListPorts(), out);
        return 0;
    } catch (const platform::PrefixRefused& refused) {
        std::fprintf(out, "%s\n", refused.what());
        std::fflush(out);
        return -1;
    }
}
