// The real program Tolvar over the bench link: against a bench server in this process that serves
// a simulated pair (memories inspected directly), and against tolvar-board --bench (memories as the
// board saves them).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "board/BoardPair.h"
#include "tests/support/BenchServers.h"
#include "tests/support/BoardProcess.h"
#include "tests/support/HexText.h"
#include "tests/support/TempDir.h"
#include "tests/support/ToolProcess.h"

namespace {

using namespace testsupport;

// A firmware image of a Marnel chip for the given side: its header, then random words.
std::vector<uint8_t> FirmwareImage(bool source, size_t size, unsigned seed) {
    std::vector<uint8_t> bytes = RandomBytes(size, seed);
    const uint8_t header[8] = {static_cast<uint8_t>(source ? 0x10 : 0x00), 0, 0, 0, 0xAF, 0xBE, 0xAD, 0xDE};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    return bytes;
}

// tolvar-board serving the pair as the bench server, its memories saved to files.
std::vector<std::string> BenchBoardArguments(const std::string& prefix, uint16_t port,
                                             const std::vector<std::string>& extra = {}) {
    std::vector<std::string> words = {"--bench",  std::to_string(port),
                                      "--source", "image=" + prefix + "/source.bin",
                                      "--sink",   "image=" + prefix + "/sink.bin"};
    words.insert(words.end(), extra.begin(), extra.end());
    return words;
}

// Tolvar run in the prefix, so that the file names, not a temporary path, tell the side.
TimedRun Tolvar(const std::string& prefix, uint16_t port, const std::string& arguments) {
    setenv("TOLVAR_BENCH_PORT", std::to_string(port).c_str(), 1);
    return RunTimed(prefix, arguments);
}

bool AllBytes(const std::vector<uint8_t>& bytes, size_t from, size_t to, uint8_t value) {
    return std::all_of(bytes.begin() + from, bytes.begin() + to, [value](uint8_t b) { return b == value; });
}

const std::vector<std::pair<std::string, std::string>> kBenchUart7 = {{"SelectedInterface", "0"},
                                                                      {"comPort2", "7"}};

// A bench server in this process over a simulated pair; Tolvar runs as its own process.
class BenchOverPairTest : public ::testing::Test {
  protected:
    BenchOverPairTest() : m_sink(m_pair.Sink()), m_source(m_pair.Source()), m_server(&m_sink, &m_source) {
        m_prefix.WriteTalmer(kBenchUart7);
        m_port = static_cast<uint16_t>(std::stoi(getenv("TOLVAR_BENCH_PORT")));
    }

    TimedRun Run(const std::string& arguments) { return Tolvar(m_prefix.Path(), m_port, arguments); }
    std::vector<uint8_t>& Memory(bool source) { return m_pair.Target(source ? 1 : 0).MemoryBytes(); }

    // Ends serving; the pair may be inspected afterwards and must have seen no misuse.
    void Finish() {
        m_server.Stop();
        m_pair.EndSession();
        EXPECT_TRUE(m_pair.AuditEntries().empty()) << m_pair.AuditReport();
    }

    TempPrefix m_prefix;
    board::BoardPair m_pair;
    board::PairChip m_sink;
    board::PairChip m_source;
    ServerThread m_server;
    uint16_t m_port = 0;
};

TEST_F(BenchOverPairTest, BurnsAndVerifiesEitherChip) {
    for (bool source : {true, false}) {
        std::vector<uint8_t> image = FirmwareImage(source, 6000, source ? 1 : 2);
        std::string name = source ? "fw_source.hex" : "fw_sink.hex";
        std::ofstream(m_prefix.Path() + "/" + name) << HexText(image);
        TimedRun run = Run(std::string(source ? "" : "snk ") + "d BV " + name);
        EXPECT_EQ(run.code, 0) << run.out;
        EXPECT_NE(run.out.find("Burn succeeded."), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Verification succeeded!!! :-)"), std::string::npos) << run.out;
    }
    Finish();
    for (bool source : {true, false}) {
        std::vector<uint8_t> image = FirmwareImage(source, 6000, source ? 1 : 2);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), Memory(source).begin())) << source;
        EXPECT_TRUE(AllBytes(Memory(source), image.size(), Memory(source).size(), 0xFF)) << source;
    }
}

TEST_F(BenchOverPairTest, VerifyFindsWhatDiffers) {
    std::vector<uint8_t> image = FirmwareImage(true, 256, 3);
    std::ofstream(m_prefix.Path() + "/fw_source.hex") << HexText(image);
    std::copy(image.begin(), image.end(), Memory(true).begin());
    Memory(true)[0x41] ^= 0x10;
    TimedRun run = Run("d V fw_source.hex");
    EXPECT_NE(run.out.find("Error verifying eprom on address: 40,"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Verification failed"), std::string::npos) << run.out;
    Finish();
}

// A link word that is not "d" also selects the bench, and stays the option word; E erases the
// whole memory.
TEST_F(BenchOverPairTest, AnyOtherLinkWordAndTheWholeErase) {
    std::vector<uint8_t> image = FirmwareImage(true, 512, 7);
    std::ofstream(m_prefix.Path() + "/fw_source.hex") << HexText(image);
    std::copy(image.begin(), image.end(), Memory(true).begin());
    Memory(true).back() = 0x00;
    TimedRun verify = Run("src V fw_source.hex");
    EXPECT_NE(verify.out.find("Verification succeeded!!! :-)"), std::string::npos) << verify.out;
    TimedRun erase = Run("src E fw_source.hex");
    EXPECT_EQ(erase.code, 0) << erase.out;
    Finish();
    EXPECT_TRUE(AllBytes(Memory(true), 0, Memory(true).size(), 0xFF));
}

// Fill, read, sector and block erase, each on the side the words select.
TEST_F(BenchOverPairTest, AddressRangeCommands) {
    std::fill(Memory(false).begin(), Memory(false).begin() + 0x40000, 0x00);

    TimedRun fill = Run("src d FF 4096 0x12345678");
    EXPECT_EQ(fill.code, 0) << fill.out;
    TimedRun read = Run("src d R 0x10 16");
    EXPECT_NE(read.out.find("12345678\t12345678\t12345678\t12345678"), std::string::npos) << read.out;
    TimedRun sectors = Run("snk d ES 0x1001 14");
    EXPECT_EQ(sectors.code, 0) << sectors.out;
    TimedRun blocks = Run("snk d EB 0x2ffff 1");
    EXPECT_EQ(blocks.code, 0) << blocks.out;
    Finish();

    const uint8_t pattern[] = {0x12, 0x34, 0x56, 0x78};
    for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(Memory(true)[i], pattern[i % 4]) << i;
    EXPECT_TRUE(AllBytes(Memory(true), 4096, Memory(true).size(), 0xFF));
    const std::vector<uint8_t>& sink = Memory(false);
    EXPECT_TRUE(AllBytes(sink, 0, 0x1000, 0x00));
    EXPECT_TRUE(AllBytes(sink, 0x1000, 0x2000, 0xFF));
    EXPECT_TRUE(AllBytes(sink, 0x2000, 0x20000, 0x00));
    EXPECT_TRUE(AllBytes(sink, 0x20000, 0x30000, 0xFF));
    EXPECT_TRUE(AllBytes(sink, 0x30000, 0x40000, 0x00));
}

// Fast transfer is a UART matter: over the bench it is refused before anything is written.
TEST_F(BenchOverPairTest, FastTransferStaysRefused) {
    std::vector<uint8_t> image = FirmwareImage(true, 256, 4);
    std::ofstream(m_prefix.Path() + "/fw_source.hex") << HexText(image);
    TimedRun run = Run("d OFBV fw_source.hex");
    EXPECT_EQ(run.code, 255);
    EXPECT_NE(run.out.find("Fast burn is allowed only directly above UART (no Norvik).\n"), std::string::npos)
        << run.out;
    Finish();
    EXPECT_TRUE(AllBytes(Memory(true), 0, Memory(true).size(), 0xFF));
}

// The link's failures reach the shell as the front end reports them, with what to mend: the
// host and port tried, the file and value to create.
TEST_F(BenchOverPairTest, LinkFailuresEndTheRunWithTheirText) {
    const std::string reg = m_prefix.Path("user.reg");
    const std::string key = "[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Talmer\\Startup]";
    struct Case {
        std::vector<std::pair<std::string, std::string>> values;  // none: no user.reg at all
        std::string message;
    };
    const Case cases[] = {
        {{{"SelectedInterface", "3"}}, "Exception: Target type not supported.\n"},
        {{},
         "Exception: Could not read registry val 'SelectedInterface'. Set Norvik target from Talmer first\n" +
             reg + " does not exist: create it with the string value \"SelectedInterface\" of " + key +
             " (REGEDIT4 text, see FILES in Tolvar(1)).\n"},
        {{{"SelectedInterface", "0"}},
         "Exception: Could not read registry val 'comPort2'. Set Norvik target from Talmer first\nSet the "
         "string value \"comPort2\" of " +
             key + " in " + reg + " (REGEDIT4 text, see FILES in Tolvar(1)).\n"},
    };
    for (const Case& c : cases) {
        std::remove(reg.c_str());
        if (!c.values.empty()) m_prefix.WriteTalmer(c.values);
        TimedRun run = Run("d E x");
        EXPECT_EQ(run.code, 255);
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    }
    m_server.Stop();
    PointAtClosedPort();
    const std::string port = getenv("TOLVAR_BENCH_PORT");
    TimedRun down = Tolvar(m_prefix.Path(), static_cast<uint16_t>(std::stoi(port)), "d E x");
    EXPECT_EQ(down.code, 255);
    EXPECT_NE(down.out.find("Exception: Could not create NorvikServer.\nNo working bench server on localhost "
                            "port " +
                            port + " (TOLVAR_BENCH_PORT; tolvar-board --bench serves one).\n"),
              std::string::npos)
        << down.out;
}

// The board program serves the bench: an image burned into each chip is what the board saves of
// that chip's memory when it ends.
TEST(BenchOverBoardProgram, ImagesLandInTheSavedMemories) {
    TempPrefix prefix;
    prefix.WriteTalmer(kBenchUart7);
    PointAtClosedPort();
    uint16_t port = static_cast<uint16_t>(std::stoi(getenv("TOLVAR_BENCH_PORT")));
    std::vector<uint8_t> sourceImage = FirmwareImage(true, 3000, 5);
    std::vector<uint8_t> sinkImage = FirmwareImage(false, 2000, 6);
    std::ofstream(prefix.Path() + "/fw_source.hex") << HexText(sourceImage);
    std::ofstream(prefix.Path() + "/fw_sink.hex") << HexText(sinkImage);

    BoardProcess board(prefix.Path(), BenchBoardArguments(prefix.Path(), port));
    ASSERT_TRUE(board.Ready());
    for (const char* arguments : {"d BV fw_source.hex", "snk d BV fw_sink.hex"}) {
        TimedRun run = Tolvar(prefix.Path(), port, arguments);
        EXPECT_EQ(run.code, 0) << run.out;
        EXPECT_NE(run.out.find("Verification succeeded!!! :-)"), std::string::npos) << run.out;
    }
    ASSERT_EQ(board.Stop(), 0);

    for (const auto& [file, image] :
         {std::pair{"/source.bin", &sourceImage}, std::pair{"/sink.bin", &sinkImage}}) {
        std::vector<uint8_t> saved = ReadBytes(prefix.Path() + file);
        ASSERT_GE(saved.size(), image->size()) << file;
        EXPECT_TRUE(std::equal(image->begin(), image->end(), saved.begin())) << file;
        EXPECT_TRUE(AllBytes(saved, image->size(), saved.size(), 0xFF)) << file;
    }
}

TEST(BenchOverBoardProgram, FaultKnobReachesTheTool) {
    TempPrefix prefix;
    prefix.WriteTalmer(kBenchUart7);
    PointAtClosedPort();
    uint16_t port = static_cast<uint16_t>(std::stoi(getenv("TOLVAR_BENCH_PORT")));
    BoardProcess board(prefix.Path(), BenchBoardArguments(prefix.Path(), port, {"--bench-fault", "uart"}));
    ASSERT_TRUE(board.Ready());
    TimedRun run = Tolvar(prefix.Path(), port, "d E x");
    EXPECT_NE(run.out.find("Exception: Could not open UART com port 7."), std::string::npos) << run.out;
}

// Two runs on one chip would interleave their commands to its memory: the second waits as for a
// port, then is refused naming the chip; a run on the other chip goes on meanwhile.
TEST(BenchOverBoardProgram, TwoRunsNeverShareAChip) {
    TempPrefix prefix;
    prefix.WriteTalmer(kBenchUart7);
    PointAtClosedPort();
    uint16_t port = static_cast<uint16_t>(std::stoi(getenv("TOLVAR_BENCH_PORT")));
    // Large enough that the burn outlasts the second run's 3 s wait by far.
    std::vector<uint8_t> image = FirmwareImage(true, 0x20000, 7);
    std::ofstream(prefix.Path() + "/fw_source.hex") << HexText(image);
    BoardProcess board(prefix.Path(),
                       BenchBoardArguments(prefix.Path(), port, {"--audit", prefix.Path() + "/audit.txt"}));
    ASSERT_TRUE(board.Ready());
    setenv("TOLVAR_BENCH_PORT", std::to_string(port).c_str(), 1);
    ToolProcess burn(prefix.Path(), "d B fw_source.hex");
    usleep(500000);
    const TimedRun sink = Tolvar(prefix.Path(), port, "snk d R 0 16");
    EXPECT_EQ(sink.code, 0) << sink.out;
    EXPECT_NE(sink.out.find("00000:\tffffffff\tffffffff\tffffffff\tffffffff\t\n"), std::string::npos)
        << sink.out;
    EXPECT_LT(sink.ms, 3000u) << sink.out;
    const TimedRun second = Tolvar(prefix.Path(), port, "src d R 0 32");
    EXPECT_EQ(second.code, 255) << second.out;
    EXPECT_NE(second.out.find("Exception: The source chip (target 1) on the bench link is in use by another "
                              "run; waited 3000 milliseconds.\n"),
              std::string::npos)
        << second.out;
    EXPECT_EQ(second.out.find("Reading eprom"), std::string::npos) << second.out;
    const TimedRun burned = burn.Finish(120000);
    EXPECT_EQ(burned.code, 0) << burned.out;
    EXPECT_NE(burned.out.find("Burn succeeded."), std::string::npos) << burned.out;
    // The chip is free again once the burn has ended.
    const TimedRun after = Tolvar(prefix.Path(), port, "src d R 0 4");
    EXPECT_EQ(after.code, 0) << after.out;
    EXPECT_NE(after.out.find("00000:\t10000000\t"), std::string::npos) << after.out;
    ASSERT_EQ(board.Stop(), 0);
    EXPECT_EQ(ReadFile(prefix.Path() + "/audit.txt"), "audit: 0 finding(s)\n");
    std::vector<uint8_t> saved = ReadBytes(prefix.Path() + "/source.bin");
    ASSERT_GE(saved.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), saved.begin()));
    EXPECT_TRUE(AllBytes(saved, image.size(), saved.size(), 0xFF));
}

}  // namespace
