// Finding the com port a board of the requested side is attached to.
#include "link/uart/PortDiscovery.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "link/uart/CUartLib.h"
#include "platform/NamedMutex.h"
#include "platform/Prefix.h"
#include "platform/TextFile.h"
#include "platform/WholeFile.h"

namespace {

constexpr int32_t kPortCount = platform::kSearchedComPorts;
constexpr uint32_t kProbeTimeoutMs = 100;
constexpr uint32_t kCacheLockWaitMs = 3000;
// Longer than another search's probe of a port takes, shorter than a run.
constexpr uint32_t kProbeLockWaitMs = 500;
// The cache holds two port numbers.
constexpr size_t kLargestCache = 4096;

struct RememberedPorts {
    std::array<int32_t, 2> lastPort{};  // indexed by side
    bool fileRead = false;
};

// A remembered port outside 1 to 10 (or unreadable) counts as unknown.
void TakeRemembered(const std::string& field, int32_t& port) {
    char* end = nullptr;
    const long value = std::strtol(field.c_str(), &end, 10);
    if (end != field.c_str() && value > 0 && value <= kPortCount) port = static_cast<int32_t>(value);
}

RememberedPorts ReadRemembered(int32_t side) {
    RememberedPorts remembered;
    remembered.lastPort[side] = 1;
    remembered.lastPort[1 - side] = 2;
    const std::optional<std::string> text =
        platform::ReadConfigFile(platform::ComPortsCfgPath(), kLargestCache);
    if (!text) return remembered;
    remembered.fileRead = true;
    std::istringstream fields(*text);
    std::string sink, source;
    fields >> sink >> source;
    TakeRemembered(sink, remembered.lastPort[0]);
    TakeRemembered(source, remembered.lastPort[1]);
    return remembered;
}

// Records the side's port. Another instance may have recorded the other side since this search
// read the file: that entry is taken as it stands now. The new file replaces the old one whole, so
// a search that reads it meanwhile never sees it half written.
void WriteRemembered(RememberedPorts remembered, int32_t side) {
    const platform::ScopedLock writing(platform::NamedMutex("comPorts.cfg"), kCacheLockWaitMs);
    const RememberedPorts now = ReadRemembered(side);
    if (now.fileRead) remembered.lastPort[1 - side] = now.lastPort[1 - side];
    const std::string text = formatText("%d %d", remembered.lastPort[0], remembered.lastPort[1]);
    // An unwritable cache only costs speed next time.
    (void)platform::WriteWholeFile(platform::ComPortsCfgPath(), text);
}

// Remembered ports first; the swaps work on positions, as the cache always has.
std::array<int32_t, kPortCount> ScanOrder(const RememberedPorts& remembered, int32_t side) {
    std::array<int32_t, kPortCount> order{};
    for (int32_t i = 0; i < kPortCount; ++i) order[i] = i + 1;
    std::swap(order[0], order[remembered.lastPort[side] - 1]);
    std::swap(order[1], order[remembered.lastPort[1 - side] - 1]);
    return order;
}

// A search claims the port it found for the rest of its run (the claim goes with the process), so
// that a search started beside it takes another board of the side; it waits out another search's
// probe, but not another search's run. The port's own lock is kept from the probe on as well: the
// probe closes the port before the run opens it again, and nothing may take it in between.
bool ChipOfSideOn(int32_t port, int32_t side, std::vector<std::string>* busyPorts) {
    const std::string name = formatText("com%d", port);
    platform::NamedMutex claim("Search_" + name);
    if (!claim.Wait(kProbeLockWaitMs)) return false;
    bool found = false;
    try {
        CUartLib probe;
        probe.Open(name, kProbeTimeoutMs);
        found = chip::SideOfId(probe.ReadRegister(chip::kIdRegister)) == side;
        if (found) platform::NamedMutex("MutexUart_" + name).Wait(0);
    } catch (const PortBusyError& busy) {
        // The last line of the message says which port and who holds it.
        if (busyPorts) busyPorts->push_back(busy.message.substr(busy.message.rfind('\n') + 1));
    } catch (const CxExceptionError&) {
        // missing or silent: try the next port
    }
    if (!found) claim.Release();
    return found;
}

}  // namespace

uint32_t FindUartPort(int32_t side, std::vector<std::string>* busyPorts) {
    if (side != 0 && side != 1) return 0;
    RememberedPorts remembered = ReadRemembered(side);
    int32_t found = 0;
    for (int32_t port : ScanOrder(remembered, side)) {
        if (ChipOfSideOn(port, side, busyPorts)) {
            found = port;
            break;
        }
    }
    if (remembered.fileRead && (found == 0 || found == remembered.lastPort[side]))
        return static_cast<uint32_t>(found);
    remembered.lastPort[side] = found;
    WriteRemembered(remembered, side);
    return static_cast<uint32_t>(found);
}
