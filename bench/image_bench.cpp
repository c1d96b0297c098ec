// Image operations: test images, the wire bound of a fast burn + verify, and the tool's own cost.
//
//   image_bench --generate FILE BYTES   writes a source firmware image of BYTES data bytes
//   image_bench --bound FILE            the wire bound of "FBV" of FILE on a kind-3 flash at 115200 baud
//   image_bench [benchmark options]     in-process figures (IMAGE_BENCH_HEX names the image)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "board/BoardPair.h"
#include "console/ConsoleUi.h"
#include "flash/FlashDriver.h"
#include "image/FlashMap.h"
#include "image/HexReader.h"
#include "image/ImageOps.h"
#include "link/TargetSession.h"
#include "link/uart/CUartLib.h"
#include "platform/Clock.h"

namespace {

constexpr uint32_t kBaud = 115200;
constexpr double kWireBytesPerSecond = kBaud / 10.0;
constexpr double kPageWaitSeconds = 0.005;

// Intel HEX of `bytes` data bytes from address 0 in 16-byte records, led by a source firmware
// header so that the image check accepts it on a source chip.
bool generate(const char* path, uint32_t bytes) {
    std::ofstream out(path);
    uint32_t state = 0x2545F491;
    uint32_t base = 0xFFFFFFFF;
    char line[64];
    for (uint32_t address = 0; address < bytes; address += 16) {
        if ((address >> 16) != base) {
            base = address >> 16;
            const auto sum = static_cast<uint8_t>(2 + 4 + (base >> 8) + base);
            snprintf(line, sizeof line, ":02000004%04X%02X\n", base,
                     static_cast<uint8_t>(0x100 - sum) & 0xFF);
            out << line;
        }
        uint8_t data[16];
        for (uint8_t& b : data) {
            state = state * 1103515245u + 12345u;
            b = static_cast<uint8_t>(state >> 16);
        }
        if (address == 0) {
            const uint8_t header[8] = {0x9F, 0, 0, 0, 0xDE, 0xC0, 0xDD, 0xBA};
            memcpy(data, header, sizeof header);
        }
        uint8_t sum = static_cast<uint8_t>(16 + (address >> 8) + address);
        int at = snprintf(line, sizeof line, ":10%04X00", address & 0xFFFF);
        for (uint8_t b : data) {
            at += snprintf(line + at, sizeof line - at, "%02X", b);
            sum = static_cast<uint8_t>(sum + b);
        }
        snprintf(line + at, sizeof line - at, "%02X\n", static_cast<uint8_t>(0x100 - sum));
        out << line;
    }
    out << ":00000001FF\n";
    return static_cast<bool>(out);
}

// Counts the bytes both ways and the block burns.
class CountingPort final : public platform::ByteDevice {
  public:
    explicit CountingPort(std::unique_ptr<platform::ByteDevice> inner) : m_inner(std::move(inner)) {}
    bool Write(const uint8_t* data, size_t size) override {
        sent += size;
        if (size > 0 && data[0] == 'B') ++blockBurns;
        return m_inner->Write(data, size);
    }
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override {
        const long n = m_inner->Read(data, maxBytes, timeoutMs);
        if (n > 0) received += static_cast<uint64_t>(n);
        return n;
    }
    void Flush() override { m_inner->Flush(); }
    std::string ErrorText() const override { return m_inner->ErrorText(); }

    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t blockBurns = 0;

  private:
    std::unique_ptr<platform::ByteDevice> m_inner;
};

void quietConsole() {
    ConsoleUi::instance().Install(
        ConsoleUi::Operations{[](const std::string&) {}, [](int32_t) {}, [] { return true; }, [] {}});
}

// The source chip of a default pair on com1, with the session identified on it.
struct InProcessRig {
    explicit InProcessRig(uint32_t baud)
        : opener([this, baud](const std::string&) {
              platform::DeviceOpenResult result;
              auto port = std::make_unique<CountingPort>(pair.OpenDebugPort(1, {baud}));
              counter = port.get();
              result.device = std::move(port);
              return result;
          }) {
        quietConsole();
        ResetTargetSession();
        Session().link.kind = Uart;
        OpenUartLink(1);
        IdentifyMemory(kind, 1, sizeSelection);
    }
    ~InProcessRig() { ResetTargetSession(); }

    board::BoardPair pair;
    CountingPort* counter = nullptr;
    ScopedPortOpener opener;
    int32_t kind = KindUnknownFlash;
    int32_t sizeSelection = 0;
};

int printBound(const char* path) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    InProcessRig rig(kBaud);
    const uint64_t startUs = clock.NowUs();
    PrepareMemory(rig.kind);
    benchmark::DoNotOptimize(eraseForImage(path, rig.kind));
    const double eraseSeconds = static_cast<double>(clock.NowUs() - startUs) / 1e6;
    const uint64_t eraseBytes = rig.counter->sent + rig.counter->received;
    Session().options.fast = 1;
    Session().options.eraseBeforeBurn = false;
    PreBurnRead();
    burnImage(path, 1, rig.kind, rig.sizeSelection);
    burnImage(path, 2, rig.kind, rig.sizeSelection);
    const double idealSeconds = static_cast<double>(clock.NowUs() - startUs) / 1e6;
    const uint64_t wireBytes = rig.counter->sent + rig.counter->received - eraseBytes;
    const double bound = static_cast<double>(wireBytes) / kWireBytesPerSecond +
                         static_cast<double>(rig.counter->blockBurns) * kPageWaitSeconds + eraseSeconds;
    printf("wire bytes %llu (erase phase excluded), pages %llu, erase %.3f s\n",
           static_cast<unsigned long long>(wireBytes),
           static_cast<unsigned long long>(rig.counter->blockBurns), eraseSeconds);
    printf("bound %.3f s, in-process paced run %.3f s, verify %s\n", bound, idealSeconds,
           Session().verdict.verifyPassed ? "passed" : "FAILED");
    return Session().verdict.verifyPassed ? 0 : 1;
}

// Tool and simulated board in one process, no line time: what the tool itself costs.
void BM_FastBurnVerifyInProcess(benchmark::State& state) {
    const char* path = getenv("IMAGE_BENCH_HEX");
    if (path == nullptr) {
        state.SkipWithError("IMAGE_BENCH_HEX not set");
        return;
    }
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    for (auto _ : state) {
        InProcessRig rig(0);
        Session().options.fast = 1;
        Session().options.eraseBeforeBurn = true;
        burnImage(path, 1, rig.kind, rig.sizeSelection);
        burnImage(path, 2, rig.kind, rig.sizeSelection);
        if (!Session().verdict.verifyPassed) state.SkipWithError("verify failed");
    }
}
BENCHMARK(BM_FastBurnVerifyInProcess)->Unit(benchmark::kMillisecond);

// The line reader and record parser alone.
void BM_ReadAndParseLines(benchmark::State& state) {
    const char* path = getenv("IMAGE_BENCH_HEX");
    if (path == nullptr) {
        state.SkipWithError("IMAGE_BENCH_HEX not set");
        return;
    }
    int64_t bytes = 0;
    for (auto _ : state) {
        std::unique_ptr<FILE, ImageFileCloser> file(openImageFile(path));
        HexLine line;
        HexRecord record;
        while (readLinePiece(file.get(), line)) {
            bytes += static_cast<int64_t>(line.length);
            benchmark::DoNotOptimize(parseHexLine(line, record));
        }
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ReadAndParseLines)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--generate") == 0) {
        return generate(argv[2], static_cast<uint32_t>(strtoul(argv[3], nullptr, 0))) ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "--bound") == 0) return printBound(argv[2]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
