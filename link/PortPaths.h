#pragma once
// Where the UART link's files live: the device behind a port name, the remembered ports.
#include <string>

// The device a port name ("com3") opens: the prefix's dosdevices entry when present, else
// /dev/ttyUSB{N-1}. Empty for a name that names no port.
std::string ComPortDevicePath(const std::string& portName);
// The remembered ports of both sides.
std::string ComPortsConfigPath();
