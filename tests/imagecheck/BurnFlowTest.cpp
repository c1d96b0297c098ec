// Letter B as the user runs it: the check decides before anything is erased or burned.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hexlib/include/quillan.h"
#include "tests/support/BoardSession.h"
#include "tests/support/HexText.h"
#include "tests/support/ToolInProcess.h"

namespace {

using namespace testsupport;

Outcome RunTool(const std::vector<std::string>& words) {
    return RunInProcess(words);
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool Untouched(const std::vector<uint8_t>& memory) {
    return std::all_of(memory.begin(), memory.begin() + 0x100, [](uint8_t b) { return b == 0xFF; });
}

class BurnFlow : public testing::Test {
  protected:
    testsupport::TempDir m_dir;
};

TEST_F(BurnFlow, ImageForTheConnectedSideIsBurnedAndVerified) {
    testsupport::BoardSession bench;
    std::string path = m_dir.Write("fw.hex", testsupport::MarnelImage(0x9F), "\r\n");
    Outcome run = RunTool({"uasrc", "BV", path});
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_EQ(bench.Memory(1)[0x10], 0x9F);
    EXPECT_EQ(bench.Memory(1)[0x14], 0xDE);
}

TEST_F(BurnFlow, ImageForTheOtherSideStopsBeforeTheErase) {
    testsupport::BoardSession bench;
    ASSERT_TRUE(Untouched(bench.Memory(1)));
    std::string path = m_dir.Write("fw.hex", testsupport::MarnelImage(0x8F));
    Outcome run = RunTool({"uasrc", "BV", path});
    EXPECT_EQ(run.code, -1);
    EXPECT_TRUE(EndsWith(run.out,
                         "Marnel FW source/sink mismatch. In ihex file: 0x8, on the board: isSource=0x1\n"
                         "Error occurred. Press any key to continue . . .\n"))
        << run.out;
    EXPECT_TRUE(Untouched(bench.Memory(1)));

    // O skips the check.
    run = RunTool({"uasrc", "OB", path});
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_EQ(bench.Memory(1)[0x10], 0x8F);
}

TEST_F(BurnFlow, LibraryErrorEndsAsAnExceptionWithExitCodeMinusOne) {
    testsupport::BoardSession bench(
        testsupport::Chip(board::Side::Sink),
        testsupport::Chip(board::Side::Source, "family=ostral,memory=i2c-eeprom,rev=1"));
    // Version 0x3091 asks for the CRC record; a comment line that the tool passes over, the library refuses.
    std::string path =
        m_dir.Write("fw.ihex", {testsupport::Record(4, 0, {0x50, 0x00}), "# built by hand",
                                testsupport::Data(0x100, {0xDC, 0xFE, 0x34, 0x12, 0x00, 0x10, 0x09, 0x23}),
                                testsupport::EndLine()});
    Outcome run = RunTool({"uasrc", "B", path});
    EXPECT_EQ(run.code, -1);
    std::string libraryText = ihex_getLatestErrorMessage();
    EXPECT_NE(libraryText.find(path), std::string::npos);
    EXPECT_TRUE(EndsWith(run.out, "Exception: " + libraryText + "\n")) << run.out;
    EXPECT_TRUE(Untouched(bench.Memory(1)));
}

}  // namespace
