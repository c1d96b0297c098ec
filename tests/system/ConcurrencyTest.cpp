// Several Tolvar processes against simulated pairs: a port is held by one run at a time, runs on
// different ports go together without waiting for each other, searches started together each find
// their own board, and a run killed outright leaves nothing locked.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/BoardProcess.h"
#include "tests/support/HexText.h"
#include "tests/support/PortServer.h"
#include "tests/support/ToolProcess.h"

namespace systemtest {
using namespace testsupport;
namespace {

constexpr size_t kMemorySize = 4u << 20;

// The UUCP lock files there are now.
std::vector<std::string> LockFiles() {
    std::vector<std::string> files;
    if (DIR* folder = ::opendir("/run/lock")) {
        while (const dirent* entry = ::readdir(folder))
            if (std::string(entry->d_name).rfind("LCK..", 0) == 0)
                files.push_back(std::string("/run/lock/") + entry->d_name);
        ::closedir(folder);
    }
    return files;
}

// What a JUnit file says, as Python's XML parser reads it: the counts, then per test case its name,
// class and failure message ("-" for none; unicode_escape'd as ReadJsonLines gives strings).
std::string JunitCases(const std::string& path) {
    static const char* const kCases = R"PY(
import sys, xml.etree.ElementTree as tree
suite = tree.parse(sys.argv[1]).getroot()
print("tests=%s failures=%s" % (suite.get("tests"), suite.get("failures")))
for case in suite.iter("testcase"):
    failure = case.find("failure")
    message = "-" if failure is None else failure.get("message").encode("unicode_escape").decode("ascii")
    float(case.get("time"))
    print(case.get("name"), case.get("classname"), message)
)PY";
    std::string out;
    if (RunProgram("/usr/bin/python3", {"-c", kCases, path}, out) != 0) return "unreadable: " + out;
    return out;
}

// flash-all.sh run to its end in the prefix with the tool and further settings, logs in logs/;
// its exit code and output.
struct ScriptRun {
    int code;
    std::string out;
};
ScriptRun RunFlashAll(const std::string& prefix, const std::string& tool, const std::string& settings) {
    const std::string command = "cd " + prefix + " && TOLVAR_PREFIX=" + prefix + " TOLVAR=" + tool + " " +
                                settings + " FLASH_LOGS=" + prefix +
                                "/logs bash " TOLVAR_SOURCE_DIR
                                "/examples/flash-all.sh fw_source.hex fw_sink.hex 2>&1";
    ScriptRun run{-1, ""};
    std::FILE* script = popen(command.c_str(), "r");
    if (script == nullptr) return run;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, script)) run.out += chunk;
    const int status = pclose(script);
    if (WIFEXITED(status)) run.code = WEXITSTATUS(status);
    return run;
}

// The pair paced at the real line rate, so that a run lasts long enough to be overlapped.
class PairRuns : public ::testing::Test {
  protected:
    void StartBoard() {
        board = std::make_unique<BoardProcess>(
            prefix.Path(),
            std::vector<std::string>{"--source", "uart=com1,image=" + prefix.Path("source.bin"), "--sink",
                                     "uart=com2,image=" + prefix.Path("sink.bin"), "--baud", "115200",
                                     "--audit", prefix.Path("audit.txt")});
        ASSERT_TRUE(board->Started());
    }
    // The image for the side, in the prefix as fw_<side>.hex.
    std::vector<uint8_t> WriteImage(const std::string& side, size_t size, unsigned seed) {
        std::vector<uint8_t> bytes = RandomBytes(size, seed);
        WriteFile(prefix.Path("fw_" + side + ".hex"), HexText(bytes));
        return bytes;
    }
    // True when the saved memory starts with the bytes and is erased after them.
    bool Holds(const std::string& file, const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> memory = ReadBytes(prefix.Path(file));
        if (memory.size() != kMemorySize) return false;
        return std::equal(bytes.begin(), bytes.end(), memory.begin()) &&
               std::all_of(memory.begin() + static_cast<long>(bytes.size()), memory.end(),
                           [](uint8_t b) { return b == 0xFF; });
    }
    // A burn-and-verify run that ended well.
    static void ExpectBurnedAndVerified(const TimedRun& run) {
        EXPECT_EQ(run.code, 0) << run.out;
        EXPECT_NE(run.out.find("Burn succeeded.\n"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Verification succeeded!!! :-)\n"), std::string::npos) << run.out;
    }

  public:
    // Waits until the run's output contains the text (or it ended).
    static bool WaitFor(ToolProcess& tool, const std::string& text) {
        for (int i = 0; i < 200; ++i)
            if (tool.Poll(50).find(text) != std::string::npos) return true;
        return false;
    }

  protected:
    TempDir prefix;
    std::unique_ptr<BoardProcess> board;
};

TEST_F(PairRuns, SecondRunOnTheSamePortIsRefusedAndTheFirstGoesOn) {
    // The second run waits 3 s for the port: the first's verify (about 9.5 s at the line rate) must
    // outlast that.
    const std::vector<uint8_t> image = WriteImage("source", 12288, 11);
    WriteFile(prefix.Path("source.bin"), AsText(image));
    StartBoard();
    ToolProcess first(prefix, "u1 V fw_source.hex");
    ASSERT_TRUE(WaitFor(first, "Verifying file")) << first.Poll(0);

    const TimedRun second = RunTimed(prefix, "u1 V fw_source.hex");
    EXPECT_EQ(second.code, 255) << second.out;
    // The port's lock files are met before the device's exclusive flag, for root and others alike.
    const std::string reason = "Resource temporarily unavailable";
    EXPECT_NE(second.out.find("Exception: Failed to open com port com1, reason: " + reason +
                              "\n"
                              "The port com1 (" +
                              prefix.Path("dosdevices/com1") + ") is in use by process " +
                              std::to_string(first.Pid()) + " (Tolvar).\n"),
              std::string::npos)
        << second.out;
    EXPECT_EQ(second.out.find("Verifying file"), std::string::npos) << second.out;

    const TimedRun run = first.Finish(60000);
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("Verification succeeded!!! :-)\n"), std::string::npos) << run.out;
    ASSERT_EQ(board->Stop(), 0);
    EXPECT_TRUE(Holds("source.bin", image));
    EXPECT_EQ(ReadFile(prefix.Path("audit.txt")), "audit: 0 finding(s)\n");
}

TEST_F(PairRuns, RunsOnTheTwoChipsOfThePairGoTogether) {
    const std::vector<uint8_t> source = WriteImage("source", 256, 12);
    const std::vector<uint8_t> sink = WriteImage("sink", 256, 13);
    StartBoard();
    ToolProcess toSource(prefix, "u1 OBV fw_source.hex");
    ToolProcess toSink(prefix, "u2 OBV fw_sink.hex");
    const TimedRun sourceRun = toSource.Finish(60000);
    const TimedRun sinkRun = toSink.Finish(60000);
    for (const TimedRun* run : {&sourceRun, &sinkRun}) ExpectBurnedAndVerified(*run);
    ASSERT_EQ(board->Stop(), 0);
    EXPECT_TRUE(Holds("source.bin", source));
    EXPECT_TRUE(Holds("sink.bin", sink));
    EXPECT_EQ(ReadFile(prefix.Path("audit.txt")), "audit: 0 finding(s)\n");
}

TEST_F(PairRuns, KilledBurnLeavesNothingLocked) {
    const std::vector<uint8_t> image = WriteImage("source", 1024, 14);
    StartBoard();
    {
        ToolProcess killed(prefix, "u1 OB fw_source.hex");
        ASSERT_TRUE(WaitFor(killed, "Burning file")) << killed.Poll(0);
        ASSERT_EQ(kill(killed.Pid(), SIGKILL), 0);
        const TimedRun run = killed.Finish(10000);
        EXPECT_EQ(run.out.find("Burn succeeded."), std::string::npos);
    }
    // SIGKILL leaves the tty's exclusive flag to the board, which clears it as an adapter's last
    // close would, within 20 ms of the port's lock going with the process.
    for (int i = 0; i < 100 && PortLeftExclusive(prefix.Path(), "com1"); ++i) usleep(5000);
    EXPECT_FALSE(PortLeftExclusive(prefix.Path(), "com1"));
    // A port or exchange lock still held would cost the next run its 3 s wait, then the port.
    const TimedRun read = RunTimed(prefix, "src u1 R 0 16");
    EXPECT_EQ(read.code, 0) << read.out;
    EXPECT_NE(read.out.find("Reading eprom...\n"), std::string::npos) << read.out;
    EXPECT_LT(read.ms, 2000u) << read.out;
    // The burn was killed with the flash most likely selected: the identification releases it first.
    EXPECT_NE(read.out.find("Memory MACRONIX SPI serial flash.\n"), std::string::npos) << read.out;

    const TimedRun burn = RunTimed(prefix, "u1 OBV fw_source.hex");
    EXPECT_EQ(burn.code, 0) << burn.out;
    EXPECT_NE(burn.out.find("Verification succeeded!!! :-)\n"), std::string::npos) << burn.out;
    ASSERT_EQ(board->Stop(), 0);
    EXPECT_TRUE(Holds("source.bin", image));
}

// A run ended by a signal it may catch leaves the port free: the tty's exclusive flag cleared, the
// next run served at once. INT, TERM and HUP end it with 128 + the signal's number (the run stops
// between two exchanges); the others end it as the signal does.
TEST_F(PairRuns, SignalledRunLeavesThePortFree) {
    StartBoard();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        ToolProcess stopped(prefix, "src u1 R 0 16384");
        ASSERT_TRUE(WaitFor(stopped, "Reading eprom...")) << stopped.Poll(0);
        ASSERT_EQ(kill(stopped.Pid(), signal), 0);
        const TimedRun run = stopped.Finish(10000);
        if (signal == SIGQUIT) {
            EXPECT_EQ(run.signal, signal) << run.out;
        } else {
            EXPECT_EQ(run.code, 128 + signal) << run.out;
        }
        EXPECT_FALSE(PortLeftExclusive(prefix.Path(), "com1")) << "signal " << signal;
        // The board finishes the answer it was sending; the next run's open drops what arrived.
        usleep(500000);
        const TimedRun next = RunTimed(prefix, "src u1 R 0 16");
        EXPECT_EQ(next.code, 0) << "signal " << signal << "\n" << next.out;
        EXPECT_LT(next.ms, 2000u) << next.out;
    }
    EXPECT_FALSE(PortLeftExclusive(prefix.Path(), "com1"));
    ASSERT_EQ(board->Stop(), 0);
}

// INT, TERM and HUP in the middle of the memory work: the open command is ended, the port
// released, one line says where the run stood and what to run next, the exit code is 128 + the
// signal; the next run finds the board as it should and finishes the job.
TEST_F(PairRuns, InterruptedRunsSayWhereTheyStoppedAndTheNextRunFinishes) {
    struct Case {
        int signal;
        std::string words;
        std::string startedAfter;  // a line printed once the memory work runs
        std::string line;          // the interruption's line, up to the address
        std::string rest;          // after the address
        std::string next;          // the run that finishes the job
    };
    const Case cases[] = {
        {SIGINT, "u1 OB fw_source.hex", "Burning file", "Interrupted by SIGINT during the burn at address 0x",
         ": the memory is partly written. Run the same command again, or with U in place of B to write only "
         "what differs.\n",
         "u1 OUV fw_source.hex"},
        {SIGTERM, "src u1 R 0 0x4000", "Reading eprom",
         "Interrupted by SIGTERM during the read at address 0x",
         ": the memory is unchanged. Run the same command again.\n", "u1 V fw_source.hex"},
        {SIGHUP, "src u1 ES 0 0x100000", "Memory MACRONIX SPI serial flash.\n",
         "Interrupted by SIGHUP during the sector erase at address 0x",
         ": the memory is partly erased. Run the same command again.\n", "u1 OBV fw_source.hex"},
    };
    const std::vector<uint8_t> image = WriteImage("source", 4096, 15);
    StartBoard();
    setenv("TOLVAR_REPORT", prefix.Path("runs.jsonl").c_str(), 1);
    for (const Case& c : cases) {
        ToolProcess run(prefix, c.words);
        ASSERT_TRUE(WaitFor(run, c.startedAfter)) << run.Poll(0);
        run.Poll(400);
        ASSERT_EQ(kill(run.Pid(), c.signal), 0);
        const TimedRun stopped = run.Finish(10000);
        EXPECT_FALSE(stopped.hung) << stopped.out;
        EXPECT_EQ(stopped.code, 128 + c.signal) << stopped.out;
        const size_t line = stopped.out.find(c.line);
        ASSERT_NE(line, std::string::npos) << stopped.out;
        const size_t rest = stopped.out.find(c.rest, line);
        EXPECT_NE(rest, std::string::npos) << stopped.out;
        EXPECT_EQ(stopped.out.find("Exception"), std::string::npos) << stopped.out;
        // At once, no lock left to wait for, the flash found as it is.
        const TimedRun next = RunTimed(prefix, c.next);
        EXPECT_EQ(next.code, 0) << c.words << "\n" << next.out;
        EXPECT_NE(next.out.find("Memory MACRONIX SPI serial flash.\n"), std::string::npos) << next.out;
        EXPECT_NE(next.out.find("Verification succeeded!!! :-)\n"), std::string::npos) << next.out;
    }
    unsetenv("TOLVAR_REPORT");
    // Each interrupted run's record says so, with the line it ended with as its reason.
    const std::vector<FlatRecord> records = ReadJsonLines(prefix.Path("runs.jsonl"));
    ASSERT_EQ(records.size(), 6u) << ReadFile(prefix.Path("runs.jsonl"));
    for (size_t i = 0; i < records.size(); ++i) {
        const Case& c = cases[i / 2];
        const FlatRecord& record = records[i];
        const bool stopped = i % 2 == 0;
        EXPECT_EQ(record.count("result") ? record.at("result") : "", stopped ? "interrupted" : "passed");
        EXPECT_EQ(record.count("exit_code") ? record.at("exit_code") : "",
                  std::to_string(stopped ? 128 + c.signal : 0));
        EXPECT_EQ(record.count("reason") ? record.at("reason").rfind(stopped ? c.line : "null", 0) : 1, 0u)
            << i;
    }
    ASSERT_EQ(board->Stop(), 0);
    EXPECT_TRUE(Holds("source.bin", image));
    // No command left open by any of the interrupted runs.
    EXPECT_EQ(ReadFile(prefix.Path("audit.txt")), "audit: 0 finding(s)\n");
}

// "process 1234 (name)", as the tool names a holder.
std::string Holder(const Program& program, const std::string& name) {
    return "process " + std::to_string(program.Pid()) + " (" + name + ")";
}

// picocom and ser2net keep off a port a run holds, and a run keeps off a port one of them holds,
// naming it. The locks of a program that is gone are taken over.
TEST_F(PairRuns, SerialProgramsAndRunsExcludeEachOtherBothWays) {
    const std::string device = prefix.Path("dosdevices/com1");
    const std::vector<uint8_t> image = WriteImage("source", 12288, 16);
    WriteFile(prefix.Path("source.bin"), AsText(image));
    StartBoard();
    const std::string busy = "Exception: Failed to open com port com1, reason: ";
    const std::string inUse = "The port com1 (" + device + ") is in use by ";

    // picocom holds the port: runs and searches are refused, with its pid.
    {
        Program picocom({"picocom", "-b", "115200", device});
        for (int i = 0; i < 40 && picocom.Poll(50).find("Terminal ready") == std::string::npos; ++i) {
        }
        ASSERT_NE(picocom.Poll(0).find("Terminal ready"), std::string::npos) << picocom.Poll(0);
        const TimedRun run = RunTimed(prefix, "src u1 R 0 16", 20000);
        EXPECT_EQ(run.code, 255) << run.out;
        EXPECT_NE(run.out.find(busy), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(inUse + Holder(picocom, "picocom") + ".\n"), std::string::npos) << run.out;
        const TimedRun search = RunTimed(prefix, "uasrc R 0 16", 30000);
        EXPECT_EQ(search.code, 255) << search.out;
        EXPECT_NE(search.out.find("Could not autodetect source connected to any uart port\n" + inUse +
                                  Holder(picocom, "picocom") + ".\n"),
                  std::string::npos)
            << search.out;
    }
    // ser2net serves it to a client: refused, with its pid.
    {
        PortServer server(prefix, device);
        ASSERT_TRUE(server.Connect()) << server.Server().Poll(0);
        std::string lock;
        for (int i = 0; i < 40 && lock.empty(); ++i, ::usleep(50000)) {
            for (const std::string& file : LockFiles())
                if (ReadFile(file).find(std::to_string(server.Server().Pid())) != std::string::npos)
                    lock = file;
        }
        ASSERT_FALSE(lock.empty()) << "ser2net took no lock file";
        const TimedRun run = RunTimed(prefix, "src u1 R 0 16", 20000);
        EXPECT_EQ(run.code, 255) << run.out;
        EXPECT_NE(run.out.find(busy), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(inUse + Holder(server.Server(), "ser2net") + ".\n"), std::string::npos)
            << run.out;
        // ser2net killed outright leaves its lock file behind: the next run takes it over.
        server.Server().Stop(SIGKILL);
        ASSERT_NE(ReadFile(lock), "");
        const TimedRun after = RunTimed(prefix, "src u1 R 0 16", 20000);
        EXPECT_EQ(after.code, 0) << after.out;
        EXPECT_EQ(ReadFile(lock), "") << "the stale lock file stays";
    }
    // A run holds the port: picocom gives up, ser2net drops its client, the run goes on.
    ToolProcess verify(prefix, "u1 V fw_source.hex");
    ASSERT_TRUE(WaitFor(verify, "Verifying file")) << verify.Poll(0);
    {
        Program picocom({"picocom", "-b", "115200", device});
        ASSERT_TRUE(picocom.EndsWithin(3000)) << picocom.Poll(0);
        EXPECT_NE(picocom.Stop(), 0);
        EXPECT_NE(picocom.Poll(0).find("FATAL"), std::string::npos) << picocom.Poll(0);
        PortServer server(prefix, device);
        ASSERT_TRUE(server.Connect());
        EXPECT_TRUE(server.DropsTheClientWithin(3000));
    }
    const TimedRun run = verify.Finish(60000);
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("Verification succeeded!!! :-)\n"), std::string::npos) << run.out;
    ASSERT_EQ(board->Stop(), 0);
    EXPECT_TRUE(Holds("source.bin", image));
    EXPECT_EQ(ReadFile(prefix.Path("audit.txt")), "audit: 0 finding(s)\n");
}

// A port server stopped in the middle of a fast burn over RFC 2217: the run ends with -1 naming
// the server; with the server back the next run burns and verifies. The image's random bytes hold
// 0xFF, which Telnet must carry escaped.
TEST_F(PairRuns, APortServerStoppedMidBurnEndsTheRunAndTheNextRunIsFine) {
    const std::vector<uint8_t> image = WriteImage("source", 16384, 21);
    ASSERT_NE(std::find(image.begin(), image.end(), 0xFF), image.end());
    StartBoard();
    PortServer server(prefix, prefix.Path("dosdevices/com1"), ServerMode::Rfc2217);
    ASSERT_TRUE(server.Listening()) << server.Server().Poll(0);
    const std::string words = "src u" + server.Url() + " FOBV fw_source.hex";
    {
        ToolProcess burn(prefix, words);
        ASSERT_TRUE(WaitFor(burn, "Burning file")) << burn.Poll(0);
        usleep(300000);
        server.Stop();
        const TimedRun run = burn.Finish(20000);
        EXPECT_EQ(run.code, 255) << run.out;
        EXPECT_NE(run.out.find("Exception: Lost the connection to the port server 127.0.0.1 port " +
                               std::to_string(server.Port()) + " (" + server.Url() +
                               "): The server closed the connection\n"),
                  std::string::npos)
            << run.out;
    }
    ASSERT_TRUE(server.Start()) << server.Server().Poll(0);
    ExpectBurnedAndVerified(RunTimed(prefix, words));
    server.Stop();
    ASSERT_EQ(board->Stop(), 0);
    EXPECT_TRUE(Holds("source.bin", image));
    EXPECT_EQ(ReadFile(prefix.Path("audit.txt")), "audit: 0 finding(s)\n");
}

// A run killed inside an erase leaves the flash erasing for a while; the next run, started at once,
// waits for it and then takes the memory for what it is (a busy flash answers its id with ones, the
// answer of a memory without id), reads the memory as it is and burns only what the image touches.
TEST(KilledErase, NextRunWaitsForTheFlashAndSeesItAsItIs) {
    constexpr size_t kBlock = 0x10000;
    const struct {
        const char* memory;
        const char* line;
    } memories[] = {{"mx25", "Memory MACRONIX SPI serial flash.\n"},
                    {"amic", "Memory AMIC serial flash.\n"},
                    {"spansion", "Memory SPANSHAN serial flash.\n"},
                    {"flash20", "Memory MACRONIX SPI serial flash.\n"}};
    const struct {
        const char* letters;
        bool wholeChip;
    } erases[] = {{"E fw_source.hex", true}, {"EB 0x10000 0x3F0000", false}};
    for (const auto& m : memories) {
        for (const auto& e : erases) {
            SCOPED_TRACE(std::string(m.memory) + " " + e.letters);
            TempDir prefix;
            const std::vector<uint8_t> old = RandomBytes(kMemorySize, 50);
            WriteFile(prefix.Path("source.bin"), AsText(old));
            // A source firmware: its header at 0.
            std::vector<uint8_t> image = RandomBytes(256, 51);
            const uint8_t header[] = {0x9F, 0x00, 0x00, 0x00, 0xDE, 0xC0, 0xDD, 0xBA};
            std::copy(std::begin(header), std::end(header), image.begin());
            WriteFile(prefix.Path("fw_source.hex"), ImageText({{0, image}}));
            BoardProcess board(prefix.Path(), {"--source",
                                               std::string("uart=com1,image=") + prefix.Path("source.bin") +
                                                   ",memory=" + m.memory,
                                               "--audit", prefix.Path("audit.txt")});
            ASSERT_TRUE(board.Started());
            {
                ToolProcess killed(prefix, std::string("src u1 ") + e.letters);
                // The chip erase is sent right after its line, the first block erase right after the
                // identification; the chip takes 1.5 s, a block 0.5 s.
                ASSERT_TRUE(PairRuns::WaitFor(killed, e.wholeChip ? "Erasing serial flash....\n" : m.line))
                    << killed.Poll(0);
                usleep(e.wholeChip ? 20000 : 100000);
                ASSERT_EQ(kill(killed.Pid(), SIGKILL), 0);
                killed.Finish(10000);
            }
            // A pty keeps the exclusive flag of a killed holder until the board clears it (a
            // serial device drops it at its last close); root does not see it.
            for (int i = 0; i < 100 && PortLeftExclusive(prefix.Path(), "com1"); ++i) usleep(10000);
            const TimedRun read = RunTimed(prefix, "src u1 R 0 16");
            EXPECT_EQ(read.code, 0) << read.out;
            EXPECT_NE(read.out.find(m.line), std::string::npos) << read.out;
            const std::vector<uint8_t> before = e.wholeChip ? std::vector<uint8_t>(16, 0xFF) : old;
            char first[64];
            std::snprintf(first, sizeof first, "00000:\t%02x%02x%02x%02x\t", before[0], before[1], before[2],
                          before[3]);
            EXPECT_NE(read.out.find(first), std::string::npos) << first << "\n" << read.out;

            const TimedRun burn = RunTimed(prefix, "src u1 BV fw_source.hex");
            EXPECT_EQ(burn.code, 0) << burn.out;
            EXPECT_NE(burn.out.find(m.line), std::string::npos) << burn.out;
            EXPECT_NE(burn.out.find("Verification succeeded!!! :-)\n"), std::string::npos) << burn.out;
            ASSERT_EQ(board.Stop(), 0);
            EXPECT_EQ(ReadFile(prefix.Path("audit.txt")), "audit: 0 finding(s)\n");

            // Block 0 as it was but for the image's sector; every later block either erased by the
            // killed run or untouched.
            const std::vector<uint8_t> after = ReadBytes(prefix.Path("source.bin"));
            ASSERT_EQ(after.size(), kMemorySize);
            for (size_t at = 0; at < kBlock; ++at) {
                const uint8_t want = at < image.size()            ? image[at]
                                     : at < 0x1000 || e.wholeChip ? 0xFF
                                                                  : old[at];
                if (after[at] != want) {
                    ADD_FAILURE() << "byte at " << std::hex << at;
                    break;
                }
            }
            for (size_t block = kBlock; block < kMemorySize; block += kBlock) {
                const auto from = after.begin() + static_cast<long>(block);
                const bool erased = std::all_of(from, from + kBlock, [](uint8_t b) { return b == 0xFF; });
                const bool kept = std::equal(from, from + kBlock, old.begin() + static_cast<long>(block));
                if (!erased && (e.wholeChip || !kept)) {
                    ADD_FAILURE() << "block at " << std::hex << block;
                    break;
                }
            }
        }
    }
}

// Two pairs, com1 to com4 (sources on the odd ports), paced at the line rate.
class FourBoards : public PairRuns {
  protected:
    // The second pair gets the extra arguments (faults).
    void StartBoards(const std::vector<std::string>& secondPairExtra = {}) {
        for (int pair : {0, 1}) {
            const int source = 2 * pair + 1;
            std::vector<std::string> args{"--source", formatPort(source),
                                          "--sink",   formatPort(source + 1),
                                          "--baud",   "115200",
                                          "--audit",  prefix.Path("audit" + std::to_string(pair) + ".txt")};
            if (pair == 1) args.insert(args.end(), secondPairExtra.begin(), secondPairExtra.end());
            boards.push_back(std::make_unique<BoardProcess>(prefix.Path(), args));
            ASSERT_TRUE(boards.back()->Started());
        }
    }
    std::string formatPort(int port) {
        return "uart=com" + std::to_string(port) + ",image=" + MemoryFile(port);
    }
    std::string MemoryFile(int port) { return prefix.Path("com" + std::to_string(port) + ".bin"); }
    static std::string SideOf(int port) { return port % 2 == 1 ? "source" : "sink"; }
    // Stops the boards; their memories are saved and their audits written.
    void StopBoards() {
        for (auto& one : boards) EXPECT_EQ(one->Stop(), 0);
        for (int pair : {0, 1})
            EXPECT_EQ(ReadFile(prefix.Path("audit" + std::to_string(pair) + ".txt")),
                      "audit: 0 finding(s)\n");
    }
    bool Blank(int port) { return Holds("com" + std::to_string(port) + ".bin", {}); }

    std::vector<std::unique_ptr<BoardProcess>> boards;
};

// Their run records go to one file side by side: one whole line each.
TEST_F(FourBoards, EachBoardBurnedAndVerifiedAtOnceHoldsItsOwnImage) {
    std::vector<std::vector<uint8_t>> images;
    for (int port = 1; port <= 4; ++port)
        images.push_back(WriteImage(SideOf(port) + "_com" + std::to_string(port), 2048, 20 + port));
    StartBoards();
    setenv("TOLVAR_REPORT", prefix.Path("runs.jsonl").c_str(), 1);
    std::vector<std::unique_ptr<ToolProcess>> runs;
    const auto start = [&](int port) {
        runs.push_back(std::make_unique<ToolProcess>(prefix, std::string("u").append(std::to_string(port)) +
                                                                 " OFBV fw_" + SideOf(port) + "_com" +
                                                                 std::to_string(port) + ".hex"));
    };
    for (int port = 1; port <= 3; ++port) start(port);
    // A run on another port is not held up by the burns: none of their locks is its own (a read
    // alone takes about 0.3 s; one lock wait would cost 3 s).
    ASSERT_TRUE(WaitFor(*runs[0], "Burning file")) << runs[0]->Poll(0);
    const TimedRun read = RunTimed(prefix, "snk u4 R 0 16");
    EXPECT_EQ(read.code, 0) << read.out;
    EXPECT_NE(read.out.find("00000:\tffffffff\tffffffff\tffffffff\tffffffff\t\n"), std::string::npos)
        << read.out;
    EXPECT_LT(read.ms, 1500u) << read.out;
    start(4);
    for (auto& run : runs) ExpectBurnedAndVerified(run->Finish(120000));
    unsetenv("TOLVAR_REPORT");
    const std::vector<FlatRecord> records = ReadJsonLines(prefix.Path("runs.jsonl"));
    ASSERT_EQ(records.size(), 5u) << ReadFile(prefix.Path("runs.jsonl"));
    std::vector<std::string> seen;
    for (const FlatRecord& record : records) {
        EXPECT_EQ(record.count("error"), 0u) << record.at("error");
        EXPECT_EQ(record.count("result") ? record.at("result") : "", "passed");
        seen.push_back(record.count("port.name") ? record.at("port.name") + " " + record.at("bytes_written")
                                                 : "");
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"com1 2048", "com2 2048", "com3 2048", "com4 0", "com4 2048"}));
    StopBoards();
    for (int port = 1; port <= 4; ++port)
        EXPECT_TRUE(Holds("com" + std::to_string(port) + ".bin", images[port - 1])) << "com" << port;
}

TEST_F(FourBoards, SearchesStartedTogetherEachFindTheirOwnBoard) {
    const std::vector<uint8_t> source = WriteImage("source", 1024, 30);
    const std::vector<uint8_t> sink = WriteImage("sink", 1024, 31);
    StartBoards();
    ToolProcess toSource(prefix, "uasrc OBV fw_source.hex");
    ToolProcess toSink(prefix, "uasnk OBV fw_sink.hex");
    const TimedRun sourceRun = toSource.Finish(120000);
    const TimedRun sinkRun = toSink.Finish(120000);
    EXPECT_NE(sourceRun.out.find("Detected Marnel source on port 1\n"), std::string::npos) << sourceRun.out;
    EXPECT_NE(sinkRun.out.find("Detected Marnel sink on port 2\n"), std::string::npos) << sinkRun.out;
    for (const TimedRun* run : {&sourceRun, &sinkRun}) ExpectBurnedAndVerified(*run);
    StopBoards();
    EXPECT_TRUE(Holds("com1.bin", source));
    EXPECT_TRUE(Holds("com2.bin", sink));
    EXPECT_TRUE(Blank(3) && Blank(4));
    // Each search recorded its own side, neither lost the other's.
    EXPECT_EQ(ReadFile(prefix.Path("comPorts.cfg")), "2 1");
}

TEST_F(FourBoards, TwoSearchesForOneSideTakeTwoBoards) {
    // Two source firmwares; each search must end on a board of its own.
    std::vector<uint8_t> first = RandomBytes(1024, 32);
    std::vector<uint8_t> second = RandomBytes(1024, 33);
    for (auto* image : {&first, &second}) {
        const uint8_t header[] = {0x10, 0x00, 0x00, 0x00, 0xAF, 0xBE, 0xAD, 0xDE};
        std::copy(std::begin(header), std::end(header), image->begin());
    }
    WriteFile(prefix.Path("fw_source_a.hex"), HexText(first));
    WriteFile(prefix.Path("fw_source_b.hex"), HexText(second));
    StartBoards();
    ToolProcess a(prefix, "uasrc FBV fw_source_a.hex");
    ToolProcess b(prefix, "uasrc FBV fw_source_b.hex");
    const TimedRun runA = a.Finish(120000);
    const TimedRun runB = b.Finish(120000);
    for (const TimedRun* run : {&runA, &runB}) ExpectBurnedAndVerified(*run);
    const bool aOnFirst = runA.out.find("Detected Marnel source on port 1\n") != std::string::npos;
    EXPECT_NE(runA.out.find(aOnFirst ? "port 1\n" : "Detected Marnel source on port 3\n"), std::string::npos)
        << runA.out;
    EXPECT_NE(
        runB.out.find(aOnFirst ? "Detected Marnel source on port 3\n" : "Detected Marnel source on port 1\n"),
        std::string::npos)
        << runB.out;
    StopBoards();
    EXPECT_TRUE(Holds("com1.bin", aOnFirst ? first : second));
    EXPECT_TRUE(Holds("com3.bin", aOnFirst ? second : first));
    EXPECT_TRUE(Blank(2) && Blank(4));
}

// The production-line script: every board found once, burned at once, one line each, and a
// failed board makes the exit code non-zero.
TEST_F(FourBoards, FlashAllReportsEveryBoardAndFailsWhenOneDid) {
    const std::vector<uint8_t> source = WriteImage("source", 1024, 40);
    const std::vector<uint8_t> sink = WriteImage("sink", 1024, 41);
    StartBoards({"--fault", "gone,after=80,chip=sink"});
    const ScriptRun run = RunFlashAll(prefix.Path(), TOLVAR_BINARY, "FLASH_PORTS='1 2 3 4 5' FLASH_OPS=OFBV");
    const std::string& out = run.out;
    EXPECT_EQ(run.code, 1) << out;
    for (const char* line :
         {"com1   source ok ", "com2   sink   ok ", "com3   source ok ", "com4   sink   FAILED "})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("com5"), std::string::npos) << out;
    for (auto& one : boards) EXPECT_EQ(one->Stop(), 0);
    EXPECT_TRUE(Holds("com1.bin", source));
    EXPECT_TRUE(Holds("com2.bin", sink));
    EXPECT_TRUE(Holds("com3.bin", source));

    // The reports beside the logs: every board's run record, and one test case per board.
    const std::string logs = prefix.Path("logs");
    EXPECT_NE(out.find("report: " + logs + "/report.jsonl\n"), std::string::npos) << out;
    EXPECT_NE(out.find("junit:  " + logs + "/junit.xml\n"), std::string::npos) << out;
    const std::vector<FlatRecord> records = ReadJsonLines(logs + "/report.jsonl");
    ASSERT_EQ(records.size(), 4u) << ReadFile(logs + "/report.jsonl");
    std::string failedReason;
    for (size_t i = 0; i < records.size(); ++i) {
        const FlatRecord& record = records[i];
        EXPECT_EQ(record.count("port.name") ? record.at("port.name") : "", "com" + std::to_string(i + 1));
        EXPECT_EQ(record.count("result") ? record.at("result") : "", i == 3 ? "failed" : "passed");
        if (i == 3 && record.count("reason")) failedReason = record.at("reason");
    }
    EXPECT_GT(failedReason.size(), 10u);
    EXPECT_EQ(JunitCases(logs + "/junit.xml"),
              "tests=4 failures=1\n"
              "com1 flash-all.source -\n"
              "com2 flash-all.sink -\n"
              "com3 flash-all.source -\n"
              "com4 flash-all.sink " +
                  failedReason + "\n");
}

// Ports given as device paths and network ports reach the tool as its port word with the rest as
// given, and the lines and reports name them so; the probes leave no record. The tool is a stand-in
// here that answers every probe as a source and fails the network port with a reason full of
// characters XML must escape.
TEST(FlashAll, PathsAndNetworkPortsGoToTheToolAsTheyAreGiven) {
    TempDir prefix;
    WriteFile(prefix.Path("fw_source.hex"), HexText({1, 2, 3, 4}));
    WriteFile(prefix.Path("fw_sink.hex"), HexText({1, 2, 3, 4}));
    ASSERT_EQ(::mkdir(prefix.Path("dosdevices").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/dev/null", prefix.Path("dosdevices/com7").c_str()), 0);
    WriteFile(
        prefix.Path("tool"),
        "#!/bin/bash\n"
        "echo \"${TOLVAR_REPORT:-none} $*\" >>calls.txt\n"
        "case \"$*\" in\n"
        "*' R 0 4') echo 'Reading eprom'; exit 0 ;;\n"
        "*socket*) printf '%s\\n' '{\"port\":{\"name\":\"socket://127.0.0.1:4000\"},\"result\":\"failed\","
        "\"reason\":\"Exception: <a> & \\\"b\\\" \\u0001\\nnext\"}' >>\"$TOLVAR_REPORT\"; exit 255 ;;\n"
        "*) echo 'Verification succeeded!!! :-)'; echo '{\"result\":\"passed\",\"reason\":null}' "
        ">>\"$TOLVAR_REPORT\" ;;\n"
        "esac\n");
    ASSERT_EQ(::chmod(prefix.Path("tool").c_str(), 0700), 0);
    const ScriptRun run = RunFlashAll(prefix.Path(), prefix.Path("tool"),
                                      "TOLVAR_REPORT=" + prefix.Path("mine.jsonl") +
                                          " FLASH_PORTS='/dev/null socket://127.0.0.1:4000 7 8'");
    const std::string& out = run.out;
    EXPECT_EQ(run.code, 1) << out;
    for (const char* line :
         {"/dev/null source ok ", "socket://127.0.0.1:4000 source FAILED ", "com7   source ok "})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("com8"), std::string::npos) << out;
    const std::string calls = ReadFile(prefix.Path("calls.txt"));
    const std::string logs = prefix.Path("logs");
    for (const std::string& call :
         {std::string("none src u/dev/null R 0 4\n"),
          std::string("none src usocket://127.0.0.1:4000 R 0 4\n"), std::string("none src u7 R 0 4\n"),
          logs + "/record-_dev_null.jsonl src u/dev/null FBV fw_source.hex\n",
          logs + "/record-socket___127.0.0.1_4000.jsonl src usocket://127.0.0.1:4000 FBV fw_source.hex\n",
          logs + "/record-com7.jsonl src u7 FBV fw_source.hex\n"})
        EXPECT_NE(calls.find(call), std::string::npos) << call << "\n" << calls;
    EXPECT_EQ(ReadJsonLines(logs + "/report.jsonl").size(), 3u);
    EXPECT_FALSE(std::filesystem::exists(prefix.Path("mine.jsonl")));
    EXPECT_EQ(JunitCases(logs + "/junit.xml"),
              "tests=3 failures=1\n"
              "/dev/null flash-all.source -\n"
              "socket://127.0.0.1:4000 flash-all.source Exception: <a> & \"b\" \\ufffd\\nnext\n"
              "com7 flash-all.source -\n");
}

// The script run in a process group of its own, as from a terminal; its output in a file.
pid_t StartFlashAll(const std::string& prefix, const std::string& output) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        std::freopen(output.c_str(), "w", stdout);
        dup2(fileno(stdout), 2);
        setenv("TOLVAR_PREFIX", prefix.c_str(), 1);
        setenv("TOLVAR", TOLVAR_BINARY, 1);
        setenv("FLASH_PORTS", "1 2 3 4 5 6", 1);
        setenv("FLASH_OPS", "OFBV", 1);
        setenv("FLASH_LOGS", (prefix + "/logs").c_str(), 1);
        if (chdir(prefix.c_str()) != 0) _exit(127);
        execl("/bin/bash", "bash", TOLVAR_SOURCE_DIR "/examples/flash-all.sh", "fw_source.hex", "fw_sink.hex",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

int ExitCodeOf(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every port that has a device gets a line: a board another run holds is busy, a device where no
// board answers says so, and neither lets the script end 0.
TEST_F(FourBoards, FlashAllGivesEveryPortWithADeviceALine) {
    const std::vector<uint8_t> source = WriteImage("source", 1024, 42);
    const std::vector<uint8_t> sink = WriteImage("sink", 1024, 43);
    StartBoards();
    // com5: a device nothing answers on; com6: no device at all.
    ASSERT_EQ(symlink("/dev/null", prefix.Path("dosdevices/com5").c_str()), 0);
    setenv("TOLVAR_PREFIX", prefix.Path().c_str(), 1);
    PortHolder holder("com3");
    ASSERT_TRUE(holder.Holding());
    const pid_t script = StartFlashAll(prefix.Path(), prefix.Path("out.txt"));
    EXPECT_EQ(ExitCodeOf(script), 1);
    const std::string out = ReadFile(prefix.Path("out.txt"));
    for (const char* line : {"com1   source ok ", "com2   sink   ok ", "com3   -      busy\n",
                             "com4   sink   ok ", "com5   -      no answer\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("com6"), std::string::npos) << out;
    holder.Kill();
    StopBoards();
    EXPECT_TRUE(Holds("com1.bin", source));
    EXPECT_TRUE(Holds("com2.bin", sink));
    EXPECT_TRUE(Blank(3));
    EXPECT_TRUE(Holds("com4.bin", sink));
}

// Ctrl-C (INT to the script's process group) or TERM stops every burn it started at once; the
// boards cut off are named and the script does not end 0.
TEST_F(FourBoards, FlashAllStopsEveryBurnOnIntAndTerm) {
    WriteImage("source", 65536, 44);
    WriteImage("sink", 65536, 45);
    StartBoards();
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        std::filesystem::remove_all(prefix.Path("logs"));
        const pid_t script = StartFlashAll(prefix.Path(), prefix.Path("out.txt"));
        // Until every burn is under way.
        for (int i = 0; i < 400; ++i) {
            bool all = true;
            for (int port = 1; port <= 4; ++port)
                all = all &&
                      ReadFile(prefix.Path("logs/com" + std::to_string(port) + ".log")).find("Burning") !=
                          std::string::npos;
            if (all) break;
            usleep(50000);
        }
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(kill(signal == SIGINT ? -script : script, signal), 0);
        EXPECT_EQ(ExitCodeOf(script), signal == SIGINT ? 130 : 143);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        const std::string out = ReadFile(prefix.Path("out.txt"));
        for (const char* line : {"com1   source cut off\n", "com2   sink   cut off\n",
                                 "com3   source cut off\n", "com4   sink   cut off\n"})
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
        EXPECT_EQ(out.find(" ok "), std::string::npos) << out;
        // Each board a failed test case whose reason is its run's line about the stop.
        const std::string cases = JunitCases(prefix.Path("logs/junit.xml"));
        EXPECT_EQ(cases.rfind("tests=4 failures=4\n", 0), 0u) << cases;
        // (A run that took the Ctrl-C itself says SIGINT, one stopped by the script SIGTERM.)
        for (const char* line :
             {"com1 flash-all.source Interrupted by SIG", "com2 flash-all.sink Interrupted by SIG",
              "com3 flash-all.source Interrupted by SIG", "com4 flash-all.sink Interrupted by SIG"})
            EXPECT_NE(cases.find(line), std::string::npos) << line << "\n" << cases;
    }
    for (auto& one : boards) EXPECT_EQ(one->Stop(), 0);
}

}  // namespace
}  // namespace systemtest
