// Fill: one pattern written over the memory from address 0 in 128-byte aligned write sequences,
// then the first kilobyte read back and compared.
#include <algorithm>
#include <vector>

#include "flash/FlashDriver.h"
#include "console/ConsoleUi.h"
#include "image/ImageOps.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

constexpr uint32_t kProgressIntervalMs = 500;
constexpr uint32_t kMaxReadBackWords = 256;

void writePattern(uint32_t length, uint32_t pattern, int32_t memoryKind) {
    platform::Clock& clock = platform::CurrentClock();
    uint32_t lastProgressMs = clock.TickMs();
    for (uint64_t a = 0; a < length; a += 4) {
        const auto address = static_cast<uint32_t>(a);
        if ((address & 0x7F) == 0) StartWrite(address, memoryKind);
        WriteWord(memoryKind, pattern);
        if ((address & 0x7F) == 0x7C || a + 4 >= length) {
            EndWrite(memoryKind);
            clock.SleepMs(2);
        }
        if (progressEnabled && clock.TickMs() - lastProgressMs >= kProgressIntervalMs) {
            ConsoleUi::instance().progress(static_cast<int32_t>(a * 100 / length));
            lastProgressMs = clock.TickMs();
        }
    }
}

void checkReadBack(uint32_t length, uint32_t pattern, int32_t memoryKind) {
    const uint32_t count = std::min(length / 4, kMaxReadBackWords);
    std::vector<uint32_t> words(count);
    ReadMemory(0, static_cast<int32_t>(count), false, words.data(), memoryKind);
    for (uint32_t j = 0; j < count; ++j) {
        if (words[j] == pattern) continue;
        ConsoleUi::instance().print(formatText(
            "Error filling eprom!. Address %#x, fill: %#08x, read: %#08x\n", j * 4, pattern, words[j]));
        fatalExit();
    }
}

}  // namespace

void fillMemory(uint32_t length, uint32_t pattern, int32_t memoryKind) {
    TargetSession& session = Session();
    session.fillMutex.Wait(3000);
    ConsoleUi& console = ConsoleUi::instance();
    console.print(
        formatText("Filling Eprom from address 0x%x to 0x%x with data 0x%x\n", 0u, length, pattern));
    const uint32_t startMs = platform::CurrentClock().TickMs();
    if (progressEnabled) console.progress(0);
    PrepareMemory(memoryKind);
    writePattern(length, pattern, memoryKind);
    if (progressEnabled) console.progress(100);
    const float seconds = static_cast<float>(platform::CurrentClock().TickMs() - startMs) / 1000.0f;
    console.print(formatText("\nTotal bytes: %d. Total time: %f seconds\n", static_cast<int32_t>(length),
                             static_cast<double>(seconds)));
    console.print("Verify filling eprom...\n");
    checkReadBack(length, pattern, memoryKind);
    console.print("End filling Eprom.\n\n");
    session.fillMutex.Release();
}
