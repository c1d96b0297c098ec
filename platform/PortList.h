#pragma once
// Every serial port the tool would look at, as plain records: the comN entries of the prefix's
// dosdevices and what they name, the default devices of com1 to com10, the USB modems and the
// stable names under serial/by-id. Nothing is opened: a device is looked up, a network port is
// listed with its URL and never connected to.
#include <string>
#include <vector>

namespace platform {

struct PortEntry {
    // "com3" for a port of the prefix, else the device path.
    std::string name;
    // What a comN entry or a by-id link names (a device path or a URL); empty for a plain device.
    std::string target;
    // The device looked up, with links resolved; empty for a network port.
    std::string device;
    bool network = false;
    bool present = false;
    // From the USB device above the tty in sysfs; empty when it is not a USB adapter.
    std::string usbId;  // "0403:6001"
    std::string serial;
    std::string product;
    // "process 1234 (picocom)" when another program holds the device; empty otherwise.
    std::string holder;
};

// Where the device files and sysfs are; other roots for a made-up tree.
struct PortRoots {
    std::string dev = "/dev";
    std::string sys = "/sys";
};

// The prefix's comN ports by number (those without an entry on their default device), then the
// ttyACM devices and the by-id links, each by name.
[[nodiscard]] std::vector<PortEntry> ListPorts(const PortRoots& roots = {});

}  // namespace platform
