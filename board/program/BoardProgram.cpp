#include "board/program/BoardProgram.h"

#include <poll.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string_view>

#include "board/BoardPair.h"
#include "board/ImageFile.h"
#include "board/PtyPort.h"
#include "platform/Clock.h"
#include "platform/Prefix.h"

namespace board {
namespace {

bool TakeValue(int argc, const char* const* argv, int& i, std::string_view& value, std::string& error) {
    std::string_view arg = argv[i];
    if (size_t eq = arg.find('='); eq != std::string_view::npos) {
        value = arg.substr(eq + 1);
        return true;
    }
    if (i + 1 >= argc) {
        error = std::string(arg) + " needs a value";
        return false;
    }
    value = argv[++i];
    return true;
}

// One chip being served: its config and its pty (if it has a uart).
struct Served {
    Chip* chip;
    std::string port;
    std::unique_ptr<PtyPort> pty;
};

bool LoadImages(BoardPair& pair, std::string& error) {
    for (int target : {0, 1}) {
        const ChipConfig& config = pair.Target(target).Config();
        if (!config.image.empty() && !LoadImage(config.image, pair.Target(target).MemoryBytes(), error))
            return false;
    }
    return true;
}

bool SaveImages(BoardPair& pair) {
    bool ok = true;
    for (int target : {0, 1}) {
        const ChipConfig& config = pair.Target(target).Config();
        std::string error;
        if (!config.image.empty() && !SaveImage(config.image, pair.Target(target).MemoryBytes(), error)) {
            std::fprintf(stderr, "tolvar-board: %s\n", error.c_str());
            ok = false;
        }
    }
    return ok;
}

bool WriteAudit(const std::string& path, const std::string& report) {
    std::ofstream out(path, std::ios::trunc);
    out << report;
    out.close();
    if (!out) std::fprintf(stderr, "tolvar-board: cannot write audit %s\n", path.c_str());
    return static_cast<bool>(out);
}

// How often the ports are asked whether an exclusive flag outlived its holder.
constexpr uint64_t kHolderCheckUs = 20'000;

void Serve(std::vector<Served>& served, BenchServer* bench, const volatile std::sig_atomic_t& stop,
           const sigset_t& waitMask) {
    platform::Clock& clock = platform::CurrentClock();
    uint64_t lastHolderCheck = 0;
    while (!stop) {
        std::vector<pollfd> fds;
        std::vector<PtyPort*> owners;
        uint64_t next = UINT64_MAX;
        // Asked at its own pace, not on every exchange: a busy line would pay two system calls a turn.
        const uint64_t started = clock.MicroSeconds();
        const bool checkHolders = started >= lastHolderCheck + kHolderCheckUs;
        if (checkHolders) lastHolderCheck = started;
        for (Served& s : served) {
            if (!s.pty || !s.pty->Alive()) continue;
            s.pty->Pump();
            if (!s.pty->Alive()) continue;
            short events = POLLIN | (s.pty->Blocked() ? POLLOUT : 0);
            fds.push_back({s.pty->MasterFd(), events, 0});
            owners.push_back(s.pty.get());
            next = std::min(next, s.pty->NextDueUs());
            if (checkHolders) s.pty->ReleaseAbandonedExclusive();
            // The flag can be set and abandoned while nothing moves on the line.
            next = std::min(next, lastHolderCheck + kHolderCheckUs);
        }
        size_t ptyFds = fds.size();
        if (bench) bench->AddPollFds(fds);
        timespec wait{};
        timespec* timeout = nullptr;
        if (next != UINT64_MAX) {
            uint64_t now = clock.MicroSeconds();
            uint64_t us = next > now ? next - now : 0;
            wait = {static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
            timeout = &wait;
        }
        if (ppoll(fds.data(), fds.size(), timeout, &waitMask) <= 0) continue;
        for (size_t i = 0; i < ptyFds; ++i)
            if (fds[i].revents & POLLIN) owners[i]->OnReadable();
        if (bench) bench->ServeReady(fds);
    }
}

}  // namespace

bool ParseProgramOptions(int argc, const char* const* argv, ProgramOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view name = arg.substr(0, arg.find('='));
        std::string_view value;
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (TakeBenchOption(argc, argv, i, options.bench, error)) {
            if (!error.empty()) return false;
            continue;
        }
        if (name != "--prefix" && name != "--source" && name != "--sink" && name != "--baud" &&
            name != "--fault" && name != "--audit") {
            error = "unknown argument '" + std::string(arg) + "'";
            return false;
        }
        if (!TakeValue(argc, argv, i, value, error)) return false;
        if (name == "--prefix") {
            options.prefix = value;
        } else if (name == "--audit") {
            options.auditFile = value;
        } else if (name == "--source" || name == "--sink") {
            ChipConfig& config = name == "--source" ? options.source : options.sink;
            if (!ParseChipSpec(value, config, error)) return false;
        } else if (name == "--baud") {
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), options.baud);
            if (ec != std::errc() || end != value.data() + value.size() || options.baud == 0) {
                error = "bad baud rate '" + std::string(value) + "'";
                return false;
            }
        } else {
            FaultSpec setting;
            if (!ParseFault(value, setting, error)) return false;
            options.faults.push_back(setting);
        }
    }
    if (!options.source.uart.empty() && options.source.uart == options.sink.uart) {
        error = "source and sink share " + options.source.uart;
        return false;
    }
    return true;
}

std::string ProgramUsage() {
    std::string usage = R"(Usage: tolvar-board [--prefix DIR] [--source SPEC] [--sink SPEC] [--baud N]
                    [--fault FAULT]... [--audit FILE] [--bench [PORT]] [--bench-fault KIND[@N]]...

A simulated board pair: each chip's debug UART is served on a pseudo-terminal and linked as
DIR/dosdevices/comN. Prints "ready" when every port is open; runs until SIGINT or SIGTERM, then
saves the images and the audit and exits 0.

  --prefix DIR   prefix of the port links (default $TOLVAR_PREFIX, else ~/.tolvar)
  --source SPEC  the source chip (target 1); default a Marnel chip, 4 MiB mx25 flash, uart=com1
  --sink SPEC    the sink chip (target 0); default the same on uart=com2
  --baud N       pace both directions of every UART at N baud, 8N1 (default: full speed)
  --fault FAULT  inject a fault (repeatable)
  --audit FILE   at exit, write the protocol misuses seen (one per line, then the count)
)";
    usage += kBenchOptionsHelp;
    usage += R"(
SPEC, a comma list applied over the default:
  family=ostral|marnel   rev=N   id=0x...   version=0x...   straps=0x...
  memory=mx25|amic|spansion|flash20|spi-eeprom|i2c-eeprom|none   size=64k|128k|4m
  uart=comN|none   image=FILE (raw memory image: loaded at start, missing = erased;
                   written back at exit)
  mailbox-polls=N (mailbox polls before the command bits clear, default 2)
  busy-polls=N    (controller status polls showing busy after each shift, default 0)

FAULT, KIND[,key=value...]:
  kinds: noise (bytes=N, default 8) before an answer; stale 19-byte answer before one;
         silence (command lost); echo (read answer for another address); flood (bytes=N of
         junk instead of the answer, default 200); gone (the UART goes away);
         busy (controller stuck busy); status (flash refuses the status write, reads 0x9c);
         early (erases ready after a tenth of their time); never (erases never ready)
  keys:  after=K (from command K+1 on, default 0), times=N (0 = every time, default 1),
         p=P (probability per command, default 1), seed=S, chip=source|sink|both
)";
    return usage;
}

int RunBoard(const ProgramOptions& options, const volatile std::sig_atomic_t& stop,
             const sigset_t& waitMask) {
    std::string prefix = options.prefix;
    if (prefix.empty()) prefix = platform::PrefixDir();
    std::unique_ptr<BoardPair> pair;
    try {
        pair = std::make_unique<BoardPair>(options.sink, options.source);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvar-board: %s\n", e.what());
        return 2;
    }
    for (const FaultSpec& fault : options.faults) pair->AddFault(fault);
    std::string error;
    if (!LoadImages(*pair, error)) {
        std::fprintf(stderr, "tolvar-board: %s\n", error.c_str());
        return 2;
    }
    std::vector<Served> served;
    try {
        for (int target : {0, 1}) {
            Chip& chip = pair->Target(target);
            if (chip.Config().uart.empty()) continue;
            auto pty = std::make_unique<PtyPort>(pair->DebugFirmware(target), options.baud);
            if (!LinkPort(prefix, chip.Config().uart, pty->SlavePath(), error))
                throw std::runtime_error(error);
            served.push_back({&chip, chip.Config().uart, std::move(pty)});
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvar-board: %s\n", e.what());
        return 2;
    }
    std::unique_ptr<PairChip> benchChips[2];
    std::unique_ptr<BenchServer> bench;
    if (options.bench.enabled) {
        benchChips[0] = std::make_unique<PairChip>(pair->Sink());
        benchChips[1] = std::make_unique<PairChip>(pair->Source());
        bench = std::make_unique<BenchServer>(benchChips[0].get(), benchChips[1].get(), options.bench.faults);
        uint16_t port = options.bench.port ? options.bench.port : DefaultBenchPort();
        if (!bench->Listen(port)) {
            std::fprintf(stderr, "tolvar-board: bench server on port %u: %s\n", port,
                         bench->ErrorText().c_str());
            return 2;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Serve(served, bench.get(), stop, waitMask);
    for (Served& s : served) UnlinkPort(prefix, s.port, s.pty->SlavePath());
    pair->EndSession();
    bool ok = SaveImages(*pair);
    if (!options.auditFile.empty()) ok = WriteAudit(options.auditFile, pair->AuditReport()) && ok;
    return ok ? 0 : 1;
}

}  // namespace board
