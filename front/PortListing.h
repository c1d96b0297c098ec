#pragma once
// "Tolvar --list-ports": one line for every port the tool would look at.
#include <cstdio>
#include <vector>

#include "platform/PortList.h"

// The lines of the ports, each ending in a newline.
void PrintPortList(const std::vector<platform::PortEntry>& ports, std::FILE* out);

// Lists the ports of this machine and the prefix; 0, or -1 when the prefix is refused.
[[nodiscard]] int ListPortsCommand(std::FILE* out);
