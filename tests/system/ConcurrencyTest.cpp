// Several Tolvar processes against one simulated pair: a port is held by one run at a time, the two
// chips' ports serve two runs at once, and a run killed outright leaves nothing locked.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/system/ToolProcess.h"

namespace systemtest {
namespace {

constexpr size_t kMemorySize = 4u << 20;

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
    // Waits until the run's output contains the text (or it ended).
    static bool WaitFor(ToolProcess& tool, const std::string& text) {
        for (int i = 0; i < 200; ++i)
            if (tool.Poll(50).find(text) != std::string::npos) return true;
        return false;
    }

    TempDir prefix;
    std::unique_ptr<BoardProcess> board;
};

TEST_F(PairRuns, SecondRunOnTheSamePortIsRefusedAndTheFirstGoesOn) {
    // The second run waits 3 s for the console lock the first holds, then 3 s for the port: the
    // first's verify (about 9.5 s at the line rate) must outlast both.
    const std::vector<uint8_t> image = WriteImage("source", 12288, 11);
    WriteFile(prefix.Path("source.bin"), AsText(image));
    StartBoard();
    ToolProcess first(prefix, "u1 V fw_source.hex");
    ASSERT_TRUE(WaitFor(first, "Verifying file")) << first.Poll(0);

    const TimedRun second = RunTimed(prefix, "u1 V fw_source.hex");
    EXPECT_EQ(second.code, 255) << second.out;
    EXPECT_NE(second.out.find(
                  "Exception: Failed to open com port com1, reason: Resource temporarily unavailable\n"),
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
    for (const TimedRun* run : {&sourceRun, &sinkRun}) {
        EXPECT_EQ(run->code, 0) << run->out;
        EXPECT_NE(run->out.find("Burn succeeded.\n"), std::string::npos) << run->out;
        EXPECT_NE(run->out.find("Verification succeeded!!! :-)\n"), std::string::npos) << run->out;
    }
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

}  // namespace
}  // namespace systemtest
