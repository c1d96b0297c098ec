// Fill: one pattern written over the memory from address 0 in 128-byte aligned write sequences,
// then the whole filled range checked against it.
#include <algorithm>
#include <vector>

#include "console/ConsoleUi.h"
#include "flash/FlashDriver.h"
#include "image/ImageOps.h"
#include "image/Progress.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

void writePattern(uint32_t length, uint32_t pattern, int32_t memoryKind) {
    platform::Clock& clock = platform::CurrentClock();
    ThrottledProgress progress(length);
    for (uint64_t a = 0; a < length; a += 4) {
        const auto address = static_cast<uint32_t>(a);
        if ((address & 0x7F) == 0) StartWrite(address, memoryKind);
        WriteWord(memoryKind, pattern);
        if ((address & 0x7F) == 0x7C || a + 4 >= length) {
            EndWrite(memoryKind);
            clock.SleepMs(2);
        }
        progress.Done(a);
    }
}

// The words the write covered: a length that is not a multiple of 4 still wrote its last word whole.
uint32_t writtenWords(uint32_t length) {
    return static_cast<uint32_t>((uint64_t{length} + 3) / 4);
}

[[noreturn]] void reportMismatch(uint32_t address, uint32_t pattern, uint32_t read) {
    ConsoleUi::instance().print(
        formatText("Error filling eprom!. Address %#x, fill: %#08x, read: %#08x\n", address, pattern, read));
    fatalExit();
}

// Compares words read from `start` with the pattern; stops the run at the first that differs.
void compareRead(uint32_t start, uint32_t count, uint32_t pattern, int32_t memoryKind) {
    std::vector<uint32_t> words(count);
    ReadMemory(start, static_cast<int32_t>(count), false, words.data(), memoryKind);
    for (uint32_t j = 0; j < count; ++j) {
        if (words[j] != pattern) reportMismatch(start + j * 4, pattern, words[j]);
    }
}

// Block compares of 128 bytes need the UART link and a memory that reads in fast mode.
bool blockCompareAllowed(int32_t memoryKind) {
    return IsFastKind(memoryKind) && Session().link.kind == Uart;
}

// One block compare per 128 bytes, the read restarted at every 64 KiB as a fast verify does. A
// block that differs is read back to name the word.
void compareByBlocks(uint32_t words, uint32_t pattern, int32_t memoryKind) {
    const uint64_t bytes = uint64_t{words} * 4;
    ConsoleUi::instance().print("Reading eprom...\n");
    for (uint64_t a = 0; a < bytes; a += kBlockBufferSize) {
        const auto address = static_cast<uint32_t>(a);
        if ((address & 0xFFFF) == 0) {
            if (address != 0) CloseRead(memoryKind);
            StartRead(memoryKind, address, true);
        }
        const auto length = static_cast<uint8_t>(std::min<uint64_t>(kBlockBufferSize, bytes - a));
        for (uint32_t k = 0; k < length; k += 4) QueueFastWord(pattern, true);
        if (VerifyFastPending()) continue;
        CloseRead(memoryKind);
        compareRead(address, length / 4u, pattern, memoryKind);
        // The read agrees with the fill where the compare did not: the block is still not proven.
        ConsoleUi::instance().print(formatText(
            "Error filling eprom!. Block compare failed at address %#x, fill: %#08x\n", address, pattern));
        fatalExit();
    }
    CloseRead(memoryKind);
}

// The whole filled range, not only its start: a fill over memory that was not blank must not end
// as a success.
void checkFill(uint32_t length, uint32_t pattern, int32_t memoryKind) {
    const uint32_t words = writtenWords(length);
    if (words > 0 && blockCompareAllowed(memoryKind)) {
        compareByBlocks(words, pattern, memoryKind);
    } else {
        compareRead(0, words, pattern, memoryKind);
    }
}

}  // namespace

void fillMemory(uint32_t length, uint32_t pattern, int32_t memoryKind) {
    TargetSession& session = Session();
    session.controller.fillMutex.Wait(3000);
    ConsoleUi& console = ConsoleUi::instance();
    console.print(
        formatText("Filling Eprom from address 0x%x to 0x%x with data 0x%x\n", 0u, length, pattern));
    const uint32_t startMs = platform::CurrentClock().TickMs();
    if (Session().options.progress) console.progress(0);
    PrepareMemory(memoryKind);
    writePattern(length, pattern, memoryKind);
    const uint64_t bytes = uint64_t{writtenWords(length)} * 4;
    session.verdict.bytesWritten += bytes;
    if (Session().options.progress) console.progress(100);
    const float seconds = static_cast<float>(platform::CurrentClock().TickMs() - startMs) / 1000.0f;
    console.print(formatText("\nTotal bytes: %d. Total time: %f seconds\n", static_cast<int32_t>(length),
                             static_cast<double>(seconds)));
    console.print("Verify filling eprom...\n");
    checkFill(length, pattern, memoryKind);
    session.verdict.bytesCompared += bytes;
    console.print("End filling Eprom.\n\n");
    session.controller.fillMutex.Release();
}
