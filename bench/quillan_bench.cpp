// Quillan throughput: building a binary image from a large hex file, and CRC-32.
//   quillan_bench --generate FILE   writes the benchmark's hex file (4 MiB of data) and exits.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "quillan.h"

namespace {

constexpr unsigned kSegments = 64;  // 64 x 64 KiB = 4 MiB
constexpr unsigned kRecordBytes = 16;

void AppendRecord(std::string& out, unsigned type, unsigned address, const uint8_t* data, unsigned count) {
    char field[16];
    unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(field, sizeof field, ":%02X%04X%02X", count, address, type);
    out += field;
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(field, sizeof field, "%02X", data[i]);
        out += field;
        sum += data[i];
    }
    std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out += field;
}

// 16-byte records of random data over segments 0 to 63, so the whole image is data.
bool GenerateHexFile(const std::string& path) {
    std::mt19937 random(2024);
    std::string text;
    text.reserve(12 << 20);
    uint8_t data[kRecordBytes];
    for (unsigned segment = 0; segment < kSegments; ++segment) {
        const uint8_t value[2] = {0, uint8_t(segment)};
        AppendRecord(text, 0x04, 0, value, 2);
        for (unsigned offset = 0; offset < 0x10000; offset += kRecordBytes) {
            for (uint8_t& b : data) b = uint8_t(random());
            AppendRecord(text, 0x00, offset, data, kRecordBytes);
        }
    }
    text += ":00000001FF\n";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// The file named by QUILLAN_BENCH_HEX, or one generated on first use (and removed at exit).
std::string generatedHexFile;

const std::string& BenchHexFile() {
    static const std::string path = [] {
        const char* given = std::getenv("QUILLAN_BENCH_HEX");
        if (given != nullptr) return std::string(given);
        generatedHexFile = "/tmp/quillan-bench-" + std::to_string(getpid()) + ".hex";
        if (!GenerateHexFile(generatedHexFile)) std::abort();
        return generatedHexFile;
    }();
    return path;
}

void BM_MakeImage(benchmark::State& state) {
    const std::string& hex = BenchHexFile();
    const std::string bin = "/tmp/quillan-bench-" + std::to_string(getpid()) + ".bin";
    for (auto _ : state) ihex_makeImage(hex.c_str(), bin.c_str());
    std::remove(bin.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * kSegments * 0x10000);
}
BENCHMARK(BM_MakeImage)->Unit(benchmark::kMillisecond);

void BM_Crc32(benchmark::State& state) {
    std::vector<uint8_t> buffer(size_t(state.range(0)), 0xA5);
    uint32_t crc = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(crc = ihex_crc32(buffer.data(), uint32_t(buffer.size()), crc));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(0x1FFF4)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--generate") return GenerateHexFile(argv[2]) ? 0 : 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!generatedHexFile.empty()) std::remove(generatedHexFile.c_str());
    return 0;
}
