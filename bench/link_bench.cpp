// UART link speed through a real pseudo-terminal against tolvar-board: register exchanges per
// second without line pacing, and the time of one exchange against its wire time at 115200 baud.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "chip/ChipFacts.h"
#include "console/CxException.h"
#include "link/uart/CUartLib.h"
#include "tests/support/BoardProcess.h"

namespace {

constexpr uint32_t kPlainRegister = 0x80000200;
constexpr double kBitsPerByte = 10.0;  // 8N1
constexpr double kReadExchangeBytes = 10 + 26;
constexpr double kWriteExchangeBytes = 19 + 9;

// A board on its own prefix, serving the source chip on com1.
class BenchBoard {
  public:
    explicit BenchBoard(uint32_t baud) {
        std::string pattern = (std::filesystem::temp_directory_path() / "tolvar-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return;
        m_prefix = pattern;
        ::setenv("TOLVAR_PREFIX", m_prefix.c_str(), 1);
        std::vector<std::string> arguments{"--prefix",  m_prefix, "--source",
                                           "uart=com1", "--sink", "uart=com2"};
        if (baud != 0) arguments.insert(arguments.end(), {"--baud", std::to_string(baud)});
        m_process = std::make_unique<testsupport::BoardProcess>(arguments);
    }
    ~BenchBoard() {
        m_process.reset();
        std::error_code ignored;
        if (!m_prefix.empty()) std::filesystem::remove_all(m_prefix, ignored);
    }
    bool Ready() const { return m_process && m_process->Ready(); }
    std::string Output() const { return m_process ? m_process->Output() : "no prefix"; }

  private:
    std::string m_prefix;
    std::unique_ptr<testsupport::BoardProcess> m_process;
};

template <typename Exchange>
void RunExchanges(benchmark::State& state, uint32_t baud, double wireBytes, Exchange exchange) {
    BenchBoard board(baud);
    if (!board.Ready()) {
        state.SkipWithError(("tolvar-board did not start: " + board.Output()).c_str());
        return;
    }
    CUartLib uart;
    try {
        uart.Open("com1", 600);
        const auto start = std::chrono::steady_clock::now();
        for (auto _ : state) exchange(uart);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double exchanges = double(state.iterations());
        state.counters["exchanges_per_s"] = exchanges / seconds;
        if (baud != 0) {
            const double wireSeconds = wireBytes * kBitsPerByte / baud;
            state.counters["wire_us"] = wireSeconds * 1e6;
            state.counters["exchange_us"] = seconds / exchanges * 1e6;
            state.counters["time_over_wire"] = seconds / exchanges / wireSeconds;
        }
    } catch (const CxExceptionError& error) {
        state.SkipWithError(error.message.c_str());
    }
}

// The same read exchange straight on the tty, without the link's locks, traces and checks: the
// floor that the machine and the board program set.
void RunRawExchanges(benchmark::State& state, uint32_t baud) {
    BenchBoard board(baud);
    if (!board.Ready()) {
        state.SkipWithError(("tolvar-board did not start: " + board.Output()).c_str());
        return;
    }
    auto opened = OpenTtyPort("com1");
    if (!opened.device) {
        state.SkipWithError(opened.errorText.c_str());
        return;
    }
    const uint8_t command[] = {'r', '8', '0', '0', '0', '0', '0', '0', '0', '\n'};
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        opened.device->Write(command, sizeof command);
        uint8_t answer[64];
        for (long got = 0; got < 26;) {
            const long chunk = opened.device->Read(answer + got, 50, 600);
            if (chunk <= 0) {
                state.SkipWithError("no answer");
                return;
            }
            got += chunk;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["exchanges_per_s"] = double(state.iterations()) / seconds;
    if (baud != 0) {
        const double wireSeconds = kReadExchangeBytes * kBitsPerByte / baud;
        state.counters["wire_us"] = wireSeconds * 1e6;
        state.counters["exchange_us"] = seconds / double(state.iterations()) * 1e6;
        state.counters["time_over_wire"] = seconds / double(state.iterations()) / wireSeconds;
    }
}

// Reads and writes until `length` bytes have gone; false when the other side went away.
bool MoveAll(int fd, uint8_t* bytes, size_t length, bool writing) {
    for (size_t done = 0; done < length;) {
        if (!writing) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 600) != 1) return false;
        }
        const ssize_t moved =
            writing ? ::write(fd, bytes + done, length - done) : ::read(fd, bytes + done, length - done);
        if (moved <= 0) return false;
        done += size_t(moved);
    }
    return true;
}

// The pty round trip alone: a child answers every 10 bytes with 26, as the firmware answers a
// register read, with nothing between the system calls. The floor of one exchange on this machine.
void BM_BarePtyRoundTrip(benchmark::State& state) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave < 0 || ::tcgetattr(slave, &raw) != 0) {
        state.SkipWithError("cannot open the pty's terminal side");
        return;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    const pid_t responder = ::fork();
    if (responder == 0) {
        uint8_t request[10];
        uint8_t answer[26] = {'8', '0', '0', '0', '0',  '0',  '0', '0', '=', '0', '0', '0',  '0',
                              '0', '0', '0', '0', '\r', '\n', 'R', 'e', 'a', 'd', 'y', '\r', '\n'};
        while (MoveAll(master, request, sizeof request, false) &&
               MoveAll(master, answer, sizeof answer, true)) {
        }
        ::_exit(0);
    }
    uint8_t command[] = {'r', '8', '0', '0', '0', '0', '0', '0', '0', '\n'};
    uint8_t answer[26];
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!MoveAll(slave, command, sizeof command, true) || !MoveAll(slave, answer, sizeof answer, false)) {
            state.SkipWithError("no answer");
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["exchanges_per_s"] = double(state.iterations()) / seconds;
    ::kill(responder, SIGKILL);
    ::waitpid(responder, nullptr, 0);
    ::close(slave);
    ::close(master);
}

void BM_RawTtyExchangeUnpaced(benchmark::State& state) {
    RunRawExchanges(state, 0);
}
void BM_RawTtyExchangeAt115200(benchmark::State& state) {
    RunRawExchanges(state, 115200);
}

void ReadExchange(CUartLib& uart) {
    benchmark::DoNotOptimize(uart.ReadRegister(chip::kIdRegister));
}
void WriteExchange(CUartLib& uart) {
    uart.WriteRegister(kPlainRegister, 0x12345678);
}

void BM_ReadRegisterUnpaced(benchmark::State& state) {
    RunExchanges(state, 0, kReadExchangeBytes, ReadExchange);
}
void BM_WriteRegisterUnpaced(benchmark::State& state) {
    RunExchanges(state, 0, kWriteExchangeBytes, WriteExchange);
}
void BM_ReadRegisterAt115200(benchmark::State& state) {
    RunExchanges(state, 115200, kReadExchangeBytes, ReadExchange);
}
void BM_WriteRegisterAt115200(benchmark::State& state) {
    RunExchanges(state, 115200, kWriteExchangeBytes, WriteExchange);
}

BENCHMARK(BM_BarePtyRoundTrip)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RawTtyExchangeUnpaced)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReadRegisterUnpaced)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_WriteRegisterUnpaced)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RawTtyExchangeAt115200)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReadRegisterAt115200)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_WriteRegisterAt115200)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
