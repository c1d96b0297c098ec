// The image check before a burn, through the real Tolvar over pseudo-terminals to tolvar-board.
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/BoardProcess.h"
#include "tests/support/HexText.h"
#include "tests/support/ToolProcess.h"

namespace {

using testsupport::ImageText;
using testsupport::Pattern;
using testsupport::Segment;
using namespace testsupport;

constexpr size_t kFlashSize = 0x400000;
const std::string kErrorPause = "Error occurred. Press any key to continue . . .\n";

std::vector<Segment> MarnelImage(uint8_t sideByte) {
    return MarnelSegments(sideByte, 0x200, 21);
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ImageCheckSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        board = std::make_unique<BoardProcess>(
            dir.Path("prefix"), std::vector<std::string>{"--source", "image=" + sourceImage, "--sink",
                                                         "image=" + sinkImage, "--audit", audit});
        ASSERT_TRUE(board->Started());
    }
    // The source chip's memory as the board saves it at its exit.
    std::string StopAndReadSource() {
        EXPECT_EQ(board->Stop(), 0);
        EXPECT_EQ(ReadFile(audit), "audit: 0 finding(s)\n");
        return ReadFile(sourceImage);
    }

    TempDir dir;
    std::string sourceImage = dir.Path("source.bin");
    std::string sinkImage = dir.Path("sink.bin");
    std::string audit = dir.Path("audit.txt");
    std::unique_ptr<BoardProcess> board;
};

TEST_F(ImageCheckSystem, ImageForTheSourceIsBurnedIntoTheSource) {
    const auto segments = MarnelImage(0x9F);
    const std::string hex = dir.Path("fw_src.hex");
    WriteFile(hex, ImageText(segments));
    const ToolRun run = RunTolvar(dir.Path("prefix"), {"uasrc", "BV", hex});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Verification succeeded!!! :-)\n"), std::string::npos) << run.output;
    std::string memory = StopAndReadSource();
    ASSERT_EQ(memory.size(), kFlashSize);
    EXPECT_EQ(memory.substr(0, segments[0].bytes.size()),
              std::string(segments[0].bytes.begin(), segments[0].bytes.end()));
}

TEST_F(ImageCheckSystem, ImageForTheSinkStopsBeforeTheSourceIsTouched) {
    const std::string hex = dir.Path("fw_snk.hex");
    WriteFile(hex, ImageText(MarnelImage(0x8F)));
    const ToolRun run = RunTolvar(dir.Path("prefix"), {"uasrc", "BV", hex});
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_TRUE(EndsWith(
        run.output,
        "Marnel FW source/sink mismatch. In ihex file: 0x8, on the board: isSource=0x1\n" + kErrorPause))
        << run.output;
    EXPECT_EQ(StopAndReadSource(), std::string(kFlashSize, '\xFF'));
}

TEST_F(ImageCheckSystem, ParameterFileWithAWrongChecksumIsRefused) {
    // Data bytes 01 02 in front of the header need the checksum 0xfd; the header says 0xfe.
    const std::string upt = dir.Path("params.upt");
    WriteFile(upt,
              ":1500000001020000A5A50201000000000000000000000000FE9D\r\n"
              ":00000001FF\r\n");
    const ToolRun run = RunTolvar(dir.Path("prefix"), {"src", "u1", "B", upt});
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_TRUE(EndsWith(run.output,
                         "Update Parameters Section version: 0x102\r\n"
                         "Error: invalid UPT file checksum, in header: 0xfe, calculated: 0xfd\r\n" +
                             kErrorPause))
        << run.output;
    EXPECT_EQ(StopAndReadSource(), std::string(kFlashSize, '\xFF'));
}

}  // namespace
