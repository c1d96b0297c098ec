// Every fault tolvar-board can inject against every memory operation, through the real programs
// over ptys: the run either recovers (exit 0, success line, memory exactly as intended, clean
// audit) or ends with its exact failure text and exit code 255; no success line stands over wrong
// memory, and a verify never passes over it.
//
// Each fault arms at a fixed command of the source chip's firmware, inside the operation proper
// (after the identification): burns and erases at the erase set-up, verifies at a data read or
// block compare, the fill at its first data word. Up to those points the command sequence does not
// depend on timing, so each cell has one outcome. The status refusal arms from the first command,
// so that the flash negotiation meets it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "tests/support/BoardProcess.h"
#include "tests/support/HexText.h"
#include "tests/support/Ports.h"
#include "tests/support/ToolInProcess.h"
#include "tests/support/ToolProcess.h"

namespace systemtest {
using namespace testsupport;
namespace {

constexpr size_t kMemorySize = 4u << 20;
constexpr size_t kImageSize = 1024;
constexpr size_t kOldSize = 8192;
constexpr size_t kSector = 4096;

const std::vector<uint8_t>& Image() {
    static const std::vector<uint8_t> image = RandomBytes(kImageSize, 1);
    return image;
}

// The memory's content before the run.
enum class Before {
    Erased,  // all 0xFF
    Old,     // 8 KiB of an older image
    Image,   // the image itself
    Wrong,   // the image with one bit flipped at 0x141
};

std::vector<uint8_t> Content(Before before, size_t size = kMemorySize) {
    std::vector<uint8_t> memory(size, 0xFF);
    std::vector<uint8_t> bytes;
    if (before == Before::Old) bytes = RandomBytes(kOldSize, 2);
    if (before == Before::Image || before == Before::Wrong) bytes = Image();
    if (before == Before::Wrong) bytes[0x141] ^= 0x10;
    std::copy(bytes.begin(), bytes.end(), memory.begin());
    return memory;
}

struct Operation {
    const char* name;
    const char* arguments;
    unsigned armAfter;  // commands of the firmware before the fault may fire
    Before before;
    const char* success;  // the line a completed run prints
    std::string sourceSpec = "";
    size_t memorySize = kMemorySize;
};

// What the memory holds after a completed run of the operation.
std::vector<uint8_t> Intended(const Operation& op) {
    const std::string name = op.name;
    std::vector<uint8_t> memory = Content(op.before, op.memorySize);
    if (name == "OB" || name == "OFB" || name == "OBV" || name == "OB-i2c") {
        if (name == "OB-i2c") {
            std::fill_n(memory.begin() + 0xFFF0, 4, 0x00);  // the cleared update-section mark
        } else {
            std::fill_n(memory.begin(), kSector, 0xFF);  // the sector the image touches
        }
        std::copy(Image().begin(), Image().end(), memory.begin());
    } else if (name == "FF") {
        const uint8_t pattern[] = {0x12, 0x34, 0x56, 0x78};
        for (size_t i = 0; i < 512; ++i) memory[i] = pattern[i % 4];
    } else if (name == "E") {
        std::fill(memory.begin(), memory.end(), 0xFF);
    } else if (name == "ES") {
        std::fill_n(memory.begin(), kSector, 0xFF);
    }
    return memory;
}

const char* const kBurned = "Burn succeeded.\n";
const char* const kVerified = "Verification succeeded!!! :-)\n";

const Operation kOB{"OB", "u1 OB fw_source.hex", 31, Before::Old, kBurned};
const Operation kOFB{"OFB", "u1 OFB fw_source.hex", 31, Before::Old, kBurned};
const Operation kV{"V", "u1 V fw_source.hex", 25, Before::Image, kVerified};
const Operation kVWrong{"V-wrong", "u1 V fw_source.hex", 25, Before::Wrong, kVerified};
const Operation kFV{"FV", "u1 FV fw_source.hex", 23, Before::Image, kVerified};
const Operation kFVWrong{"FV-wrong", "u1 FV fw_source.hex", 23, Before::Wrong, kVerified};
const Operation kFF{"FF", "src u1 FF 512 0x12345678", 35, Before::Erased, "End filling Eprom.\n"};
const Operation kE{"E", "src u1 E fw_source.hex", 28, Before::Old, "Successfully erased chip in  "};
// A sector erase prints nothing on success: only its exit code and the memory tell.
const Operation kES{"ES", "src u1 ES 0 16", 27, Before::Old, nullptr};
const Operation kOBV{"OBV", "u1 OBV fw_source.hex", 31, Before::Old, kVerified};
// What R 0 32 prints of the image: a word lost on the way would shift every one after it.
std::string ReadLines() {
    std::string text;
    for (size_t a = 0; a < 32; a += 4) {
        const uint32_t word = uint32_t{Image()[a]} << 24 | uint32_t{Image()[a + 1]} << 16 |
                              uint32_t{Image()[a + 2]} << 8 | Image()[a + 3];
        char piece[32];
        if (a % 16 == 0) {
            std::snprintf(piece, sizeof piece, "%05zx:\t", a);
            text += piece;
        }
        std::snprintf(piece, sizeof piece, "%08x\t", word);
        text += piece;
        if (a % 16 == 12) text += "\n";
    }
    return text;
}
const std::string kReadText = ReadLines();
const Operation kR{"R", "src u1 R 0 32", 20, Before::Image, kReadText.c_str()};
// The SPI flash path never waits on the controller's busy bit; an I2C EEPROM's does. The fault
// comes while the memory is prepared, before the update-section mark is cleared.
const Operation kOBI2c{"OB-i2c", "u1 OB fw_source.hex",         27,     Before::Erased,
                       kBurned,  ",memory=i2c-eeprom,size=64k", 0x10000};

enum class Outcome {
    Recovered,  // exit 0, the success line, memory as intended, clean audit
    Failed,     // no success line; memory as before the run
    Refused,    // a verify that finds the difference: no success line
    Unsure,     // done, but the run could not confirm it: no success line, memory as intended
    // The erase timed out and the burn went on into a busy flash: no success line, the run ends
    // with "Burn failed." (memory not as intended).
    Unconfirmed,
};

struct Cell {
    const char* fault;
    Operation op;
    Outcome outcome;
    int code;
    std::vector<std::string> texts;  // each must appear in the output
};

const std::string kNoReady = "Exception: Didn't get 'Ready' response for write operation. recLen=0\n";
const std::string kNoisyReady =
    "Exception: Didn't get 'Ready' response for write operation. recLen=17, buf=########";
const std::string kNegotiation =
    "Error: Could not negotiate with serial flash. Please check flash connectivity and proper strap pins "
    "configuration. Write: 0, read: 156\n";
const std::string kQuickFailed = "\r\n Quick Verifiyng Failed at address 00000100\r\n";
const std::string kVerifyFailed = "***************Verification failed*********************\n";

// The word of the content at the address, most significant byte first as a ".hex" image is read.
uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t address) {
    return uint32_t{bytes[address]} << 24 | uint32_t{bytes[address + 1]} << 16 |
           uint32_t{bytes[address + 2]} << 8 | bytes[address + 3];
}

std::string Mismatch(size_t address, uint32_t eprom, uint32_t file) {
    char text[128];
    std::snprintf(text, sizeof text, "Error verifying eprom on address: %zx, eprom: %x, file: %x\n", address,
                  eprom, file);
    return text;
}

// The flipped bit of the wrong memory, reported.
const std::string kWrongWord = Mismatch(0x140, WordAt(Content(Before::Wrong), 0x140), WordAt(Image(), 0x140));
const std::string kEchoStatus =
    "Warning: Got unexpected read answer. Tried to read address 0x8000005c, but got response to address "
    "0x80000060\n";
const std::string kEraseTimeout =
    "Timeout waiting 3000 milliseconds for chip ready. Erase failed. Trying to continue...\n";
const std::string kBurnInDoubt = "Burn done over an erase that failed: the memory is not confirmed.\n\n";
const std::string kBurnFailed = "Burn failed.\n";

// A chip erase ready too soon is waited out in full, one never ready until the time-out: 33 s each,
// so these two run in process on the virtual clock.
std::vector<Cell> ChipEraseTimingCells() {
    return {{"early",
             kE,
             Outcome::Unsure,
             0,
             {"Wait for busy bit failed and returned too quickly (",
              " ms). Wait full 33000 milliseconds "
              "instead.\nFinished waiting for chip ready. Trying to continue...\n\n"}},
            {"never",
             kE,
             Outcome::Unsure,
             255,
             {"Timeout waiting 33000 milliseconds for chip ready. Erase failed. Trying to continue...\n"}}};
}

std::vector<Cell> Matrix() {
    using O = Outcome;
    std::vector<Cell> cells;
    // Answer faults: a lost or garbled write answer ends the run; a read is retried.
    for (const char* fault : {"noise", "noise,bytes=70", "silence", "flood"}) {
        const std::string write = std::string(fault) == "noise" ? kNoisyReady : kNoReady;
        cells.push_back({fault, kOB, O::Failed, 255, {write}});
        cells.push_back({fault, kOFB, O::Failed, 255, {write}});
        cells.push_back({fault, kFV, O::Failed, 255, {kQuickFailed}});
        cells.push_back({fault, kFVWrong, O::Refused, 255, {kQuickFailed}});
        cells.push_back({fault, kFF, O::Failed, 255, {write}});
        cells.push_back({fault, kE, O::Failed, 255, {write}});
    }
    // A read survives every answer fault; a word of the memory whose answer was lost is read
    // again from a read opened anew at its address, never taken from the next one.
    for (const char* fault : {"noise", "noise,bytes=70", "silence", "flood", "echo"}) {
        if (std::string(fault) != "echo") cells.push_back({fault, kV, O::Recovered, 0, {}});
        cells.push_back({fault, kR, O::Recovered, 0, {}});
    }
    for (const char* fault : {"noise", "noise,bytes=70", "silence", "flood"})
        cells.push_back({fault, kVWrong, O::Refused, 255, {kVerifyFailed}});

    // A stale answer before the real one is dropped everywhere.
    for (const Operation& op : {kOB, kOFB, kV, kFV, kFF, kE})
        cells.push_back({"stale", op, O::Recovered, 0, {}});
    cells.push_back({"stale", kVWrong, O::Refused, 255, {kWrongWord, kVerifyFailed}});
    cells.push_back({"stale", kFVWrong, O::Refused, 255, {kQuickFailed}});

    // A wrong echo is retried; on the receive register the retry reads the next word.
    cells.push_back({"echo", kOB, O::Recovered, 0, {kEchoStatus}});
    cells.push_back({"echo", kOFB, O::Recovered, 0, {kEchoStatus}});
    cells.push_back({"echo", kV, O::Recovered, 0, {kEchoStatus}});
    cells.push_back({"echo", kVWrong, O::Refused, 255, {kVerifyFailed}});
    cells.push_back({"echo", kFV, O::Recovered, 0, {}});
    cells.push_back({"echo", kFVWrong, O::Refused, 255, {kQuickFailed}});
    cells.push_back({"echo", kFF, O::Recovered, 0, {}});
    cells.push_back({"echo", kE, O::Recovered, 0, {kEchoStatus}});

    // The UART going away: the write fails; the read's port restart cannot reopen it.
    const std::string reopen = "Exception: Failed to open com port com1, reason: No such file or directory\n";
    for (const Operation& op : {kOB, kOFB, kFF, kE})
        cells.push_back({"gone", op, O::Failed, 255, {kNoReady}});
    cells.push_back({"gone", kV, O::Failed, 255, {reopen}});
    cells.push_back({"gone", kVWrong, O::Refused, 255, {reopen}});
    cells.push_back({"gone", kFV, O::Failed, 255, {kQuickFailed}});
    cells.push_back({"gone", kFVWrong, O::Refused, 255, {kQuickFailed}});

    // The controller stuck busy: only data-mode memories wait on it.
    for (const Operation& op : {kOB, kOFB, kV, kFV, kFF, kE})
        cells.push_back({"busy", op, O::Recovered, 0, {}});
    cells.push_back({"busy", kVWrong, O::Refused, 255, {kWrongWord, kVerifyFailed}});
    cells.push_back({"busy", kFVWrong, O::Refused, 255, {kQuickFailed}});
    cells.push_back(
        {"busy",
         kOBI2c,
         O::Failed,
         255,
         {"Error: Memory controller still busy after 1000 milliseconds. Please check the board.\n"}});

    // The flash refusing the status write: the negotiation stops every writing operation.
    for (const Operation& op : {kOB, kOFB, kFF, kE})
        cells.push_back({"status", op, O::Failed, 255, {kNegotiation}});
    cells.push_back({"status", kV, O::Recovered, 0, {}});
    cells.push_back({"status", kFV, O::Recovered, 0, {}});
    cells.push_back({"status", kVWrong, O::Refused, 255, {kWrongWord, kVerifyFailed}});
    cells.push_back({"status", kFVWrong, O::Refused, 255, {kQuickFailed}});

    // Erase timing: a unit erase has no minimum, so an early ready goes unnoticed.
    for (const char* fault : {"early", "never"}) {
        cells.push_back({fault, kV, O::Recovered, 0, {}});
        cells.push_back({fault, kFV, O::Recovered, 0, {}});
        cells.push_back({fault, kFF, O::Recovered, 0, {}});
        cells.push_back({fault, kVWrong, O::Refused, 255, {kWrongWord, kVerifyFailed}});
        cells.push_back({fault, kFVWrong, O::Refused, 255, {kQuickFailed}});
    }
    cells.push_back({"early", kOB, O::Recovered, 0, {}});
    cells.push_back({"early", kOFB, O::Recovered, 0, {}});
    // A unit erase that never becomes ready: the burn goes on but cannot end as a success; a
    // verify in the same run finds the memory wrong; the sector erase alone ends with 255.
    const std::vector<std::string> unconfirmed = {kEraseTimeout, "Partial erase failed.\n\n", kBurnInDoubt,
                                                  kBurnFailed};
    cells.push_back({"never", kOB, O::Unconfirmed, 255, unconfirmed});
    cells.push_back({"never", kOFB, O::Unconfirmed, 255, unconfirmed});
    cells.push_back(
        {"never", kOBV, O::Unconfirmed, 255, {kEraseTimeout, kBurnInDoubt, kVerifyFailed, kBurnFailed}});
    cells.push_back({"never", kES, O::Unsure, 255, {kEraseTimeout}});
    return cells;
}

std::string FaultText(const Cell& cell) {
    const unsigned after = std::string(cell.fault) == "status" ? 0 : cell.op.armAfter;
    return std::string(cell.fault) + ",after=" + std::to_string(after);
}

// Offset of the first difference, or -1.
long FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return static_cast<long>(std::min(a.size(), b.size()));
    auto at = std::mismatch(a.begin(), a.end(), b.begin());
    return at.first == a.end() ? -1 : static_cast<long>(at.first - a.begin());
}

// What a run of a cell left: its exit code (255 for -1), output, the source chip's memory, and
// whether the board's audit found nothing.
struct CellRun {
    int code;
    std::string out;
    std::vector<uint8_t> memory;
    bool auditClean;
};

void ExpectDefinedOutcome(const Cell& cell, const CellRun& run) {
    EXPECT_EQ(run.code, cell.code) << run.out;
    for (const std::string& text : cell.texts) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    }
    const bool claimed = cell.op.success && run.out.find(cell.op.success) != std::string::npos;
    const std::vector<uint8_t>& memory = run.memory;
    const long fromIntended = FirstDifference(memory, Intended(cell.op));
    switch (cell.outcome) {
        case Outcome::Recovered:
            EXPECT_TRUE(claimed) << run.out;
            EXPECT_EQ(fromIntended, -1) << run.out;
            EXPECT_TRUE(run.auditClean);
            break;
        case Outcome::Failed:
            EXPECT_FALSE(claimed) << run.out;
            EXPECT_EQ(FirstDifference(memory, Content(cell.op.before, cell.op.memorySize)), -1);
            break;
        case Outcome::Refused:
            EXPECT_FALSE(claimed) << run.out;
            break;
        case Outcome::Unsure:
            EXPECT_FALSE(claimed) << run.out;
            EXPECT_EQ(fromIntended, -1);
            break;
        case Outcome::Unconfirmed:
            EXPECT_FALSE(claimed) << run.out;
            EXPECT_EQ(run.out.find("Burn succeeded."), std::string::npos) << run.out;
            EXPECT_NE(fromIntended, -1);
            break;
    }
    // Whatever happened, neither exit 0 nor a burn's success line stands over wrong memory.
    if (run.code == 0 || run.out.find("Burn succeeded.") != std::string::npos) {
        EXPECT_EQ(fromIntended, -1) << run.out;
    }
    // Whatever happened, a passed verify means the memory holds the image.
    if (cell.op.success == kVerified && claimed) {
        EXPECT_EQ(fromIntended, -1) << run.out;
    }
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {};

TEST_P(FaultMatrix, OutcomeIsTheDefinedOne) {
    const Cell& cell = GetParam();
    TempDir prefix;
    const std::string memoryFile = prefix.Path("source.bin");
    if (cell.op.before != Before::Erased)
        WriteFile(memoryFile, AsText(Content(cell.op.before, cell.op.memorySize)));
    WriteFile(prefix.Path("fw_source.hex"), HexText(Image()));

    BoardProcess board(prefix.Path(),
                       {"--source", "uart=com1,image=" + memoryFile + cell.op.sourceSpec, "--sink",
                        "uart=com2", "--fault", FaultText(cell), "--audit", prefix.Path("audit.txt")});
    ASSERT_TRUE(board.Started());
    const TimedRun run = RunTimed(prefix, cell.op.arguments);
    // Whatever the way out, the port is free for the next run of any user.
    EXPECT_FALSE(PortLeftExclusive(prefix.Path(), "com1")) << run.out;
    ASSERT_EQ(board.Stop(), 0);

    ASSERT_FALSE(run.hung) << run.out;
    ExpectDefinedOutcome(cell, {run.code, run.out, ReadBytes(memoryFile),
                                ReadFile(prefix.Path("audit.txt")) == "audit: 0 finding(s)\n"});
}

// The same cell with the tool in process and the pair on the virtual clock: the board's busy times
// and the tool's waits cost no real time. The source chip's debug UART is com1, as for the programs.
class FaultMatrixOnVirtualClock : public FreshSession, public ::testing::WithParamInterface<Cell> {};

TEST_P(FaultMatrixOnVirtualClock, OutcomeIsTheDefinedOne) {
    const Cell& cell = GetParam();
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    board::BoardPair pair(Chip(board::Side::Sink), Chip(board::Side::Source, cell.op.sourceSpec));
    pair.Source().MemoryBytes() = Content(cell.op.before, cell.op.memorySize);
    std::string error;
    ASSERT_TRUE(pair.AddFault(FaultText(cell), error)) << error;
    BoardPorts ports(pair, board::DebugPortOptions{115200});
    ports.Attach("com1", 1);

    std::vector<std::string> words;
    std::istringstream arguments(cell.op.arguments);
    for (std::string word; arguments >> word;) words.push_back(word);
    const testsupport::Outcome run = RunInProcess(words, "", true);
    pair.EndSession();
    ExpectDefinedOutcome(cell, {run.code == -1 ? 255 : run.code, run.out, pair.Source().MemoryBytes(),
                                pair.AuditEntries().empty()});
}

void PrintTo(const Cell& cell, std::ostream* out) {
    *out << FaultText(cell) << " " << cell.op.name;
}

std::string CellName(const ::testing::TestParamInfo<Cell>& info) {
    std::string name = std::string(info.param.fault) + "_" + info.param.op.name;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(System, FaultMatrix, ::testing::ValuesIn(Matrix()), CellName);
INSTANTIATE_TEST_SUITE_P(System, FaultMatrixOnVirtualClock, ::testing::ValuesIn(ChipEraseTimingCells()),
                         CellName);

}  // namespace
}  // namespace systemtest
