// Arbitrary host bytes into a simulated chip's debug port: every register, controller and memory
// path behind it runs on them. Never a crash or undefined behaviour, and exactly one answer per
// complete command.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board/BoardPair.h"
#include "platform/Clock.h"

namespace {

const char* const kSpecs[] = {
    "memory=mx25,size=64k",
    "memory=spi-eeprom,size=128k",
    "family=ostral,memory=i2c-eeprom,size=64k",
    "memory=i2c-eeprom,size=128k,busy-polls=1",
};

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    board::ChipConfig source = board::DefaultChipConfig(board::Side::Source);
    std::string error;
    if (!board::ParseChipSpec(kSpecs[data[0] % 4], source, error)) std::abort();
    board::ChipConfig sink = board::DefaultChipConfig(board::Side::Sink);
    sink.memory = "none";  // only the source is fed; a 4 MiB sink would cost most of each run
    board::BoardPair pair(sink, source);
    board::Firmware& firmware = pair.DebugFirmware(1);
    std::string answers;
    // The second byte chooses how the input is cut into writes.
    size_t chunk = size > 1 ? data[1] % 16 + 1 : 1;
    for (size_t at = 2; at < size; at += chunk) {
        firmware.Receive(data + at, std::min(chunk, size - at), answers);
        clock.SleepMs(1);
    }
    pair.EndSession();
    if (Count(answers, "Ready\r\n") != firmware.Commands()) {
        std::fprintf(stderr, "%zu answers to %llu commands\n", Count(answers, "Ready\r\n"),
                     static_cast<unsigned long long>(firmware.Commands()));
        std::abort();
    }
    return 0;
}
