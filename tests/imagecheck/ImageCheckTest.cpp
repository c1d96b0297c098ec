// The checks that decide whether an image may be burned, over the simulated board's debug UART.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "hexlib/include/quillan.h"
#include "imagecheck/ImageCheck.h"
#include "link/TargetSession.h"
#include "tests/support/BoardSession.h"
#include "tests/support/HexText.h"

using testsupport::Crc;
using testsupport::Data;
using testsupport::EndLine;
using testsupport::Record;

namespace {

// One chip of the simulated pair, identified over its UART as the front end does before B.
class BoardCheck : public testing::Test {
  protected:
    // A bench without a link, for the checks that read no register.
    BoardCheck() : m_bench(std::make_unique<testsupport::BoardSession>()) {}

    void Connect(board::Side side, const std::string& setting, bool identify = true) {
        m_bench.reset();
        board::ChipConfig chip = testsupport::Chip(side, setting);
        board::ChipConfig other =
            testsupport::Chip(side == board::Side::Source ? board::Side::Sink : board::Side::Source);
        m_bench = side == board::Side::Source ? std::make_unique<testsupport::BoardSession>(other, chip)
                                              : std::make_unique<testsupport::BoardSession>(chip, other);
        int target = static_cast<int>(side);
        if (identify) {
            m_bench->Identify(target);
        } else {
            m_bench->Connect(target);
            Session().link.currentTarget = static_cast<uint32_t>(target);
        }
        m_bench->ClearOutput();
    }

    // The exit code the check ended the process with, or 0 when it let the burn go on.
    int Run(const std::string& path, bool* result = nullptr) {
        std::optional<int> stop = testsupport::BoardSession::Run([&] {
            bool goOn = CheckImageFile(path.c_str());
            if (result) *result = goOn;
        });
        return stop.value_or(0);
    }

    const std::string& Printed() const { return m_bench->Output(); }
    int Pauses() const { return m_bench->ErrorPauses(); }

    testsupport::TempDir m_dir;
    std::unique_ptr<testsupport::BoardSession> m_bench;
};

std::string Mismatch(const char* code) {
    return std::string(
               "Error: Firmware mismatch. You are trying to burn a non compatible firmware into QXxxx chip. "
               "ErrorCode: ") +
           code + ", Exiting....\n";
}

const char* const kNoCrc = "Error: unsupported file format (no CRC32 record found)\r\n";

struct OstralCase {
    const char* name;
    uint32_t revision;
    uint32_t versionWord;
    Crc crc;
    std::string refusal;  // empty: accepted
    friend void PrintTo(const OstralCase& c, std::ostream* os) { *os << c.name; }
};

class OstralCheck : public BoardCheck, public testing::WithParamInterface<OstralCase> {};

TEST_P(OstralCheck, FirmwareTypeAgainstChipRevision) {
    const OstralCase& c = GetParam();
    Connect(board::Side::Source, "family=ostral,memory=i2c-eeprom,rev=" + std::to_string(c.revision));
    std::string path = testsupport::WriteOstralImage(m_dir, "fw.ihex", c.versionWord, c.crc);

    bool goOn = false;
    int code = Run(path, &goOn);
    EXPECT_EQ(Printed(), c.refusal);
    if (c.refusal.empty()) {
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(goOn);
    } else {
        EXPECT_EQ(code, -1);
        EXPECT_EQ(Pauses(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, OstralCheck,
    testing::Values(
        OstralCase{"below_crc_threshold", 1, 0x23090000, Crc::None, ""},
        OstralCase{"crc_record_missing", 1, 0x23091000, Crc::None, kNoCrc},
        OstralCase{"crc_wrong", 1, 0x23091000, Crc::Wrong, "Error: CRC32 mismatch\r\n"},
        OstralCase{"crc_good", 1, 0x23091000, Crc::Good, ""},
        OstralCase{"crc_good_rev2", 2, 0x2FFFF000, Crc::Good, ""},
        // The CRC is checked before the chip is looked at.
        OstralCase{"crc_before_revision", 3, 0x33091000, Crc::None, kNoCrc},
        OstralCase{"type0_on_rev2", 2, 0x03091000, Crc::Good, Mismatch("10")},
        OstralCase{"type0_on_rev0", 0, 0x00001000, Crc::None, ""},
        OstralCase{"type1_on_rev0", 0, 0x10001000, Crc::None, ""},
        OstralCase{"type2_on_rev0", 0, 0x20001000, Crc::None, Mismatch("02")},
        OstralCase{"type3_on_rev0", 0, 0x30000000, Crc::None, Mismatch("03")},
        OstralCase{"type3_on_rev1", 1, 0x30000000, Crc::None, Mismatch("13")},
        OstralCase{"rev3_before_type", 3, 0x50000000, Crc::None, "Error: Unknown chip type. Exiting...."},
        OstralCase{"rev63", 63, 0x00000000, Crc::None, "Error: Unknown chip type. Exiting...."},
        OstralCase{"type4", 0, 0x40000000, Crc::None, "Error: Unknown firmware type. Exiting...."},
        OstralCase{"type15", 1, 0xF0000000, Crc::None, "Error: Unknown firmware type. Exiting...."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoardCheck, OstralImageOnAChipThatIsNotOstralIsRefused) {
    // Family bit clear, but other identification bits say it is no Ostral chip.
    Connect(board::Side::Source, "family=ostral,id=0x01020001", false);
    EXPECT_EQ(Run(testsupport::WriteOstralImage(m_dir, "fw.ihex", 0x00001000, Crc::None)), -1);
    EXPECT_EQ(Printed(),
              "Error: Marnel chip detected during validation of an Ostral firmware file. Exiting....");
}

TEST_F(BoardCheck, EthernetLinkReadsAsAnOstralChipOfRevisionZero) {
    Session().link.kind = Ethernet;
    EXPECT_EQ(Run(testsupport::WriteOstralImage(m_dir, "t1.ihex", 0x10001000, Crc::None)), 0);
    EXPECT_EQ(Run(testsupport::WriteOstralImage(m_dir, "t2.ihex", 0x20001000, Crc::None)), -1);
    EXPECT_EQ(Printed(), Mismatch("02"));
}

TEST_F(BoardCheck, ImageWithoutVersionCountsAsVersionZeroWhenTheUserGoesOn) {
    std::string path = m_dir.Write("fw.hex", {Data(0, {1, 2, 3, 4}), EndLine()});
    Connect(board::Side::Source, "family=ostral,memory=i2c-eeprom,rev=0");
    EXPECT_EQ(Run(path), 0);
    m_bench->ClearOutput();
    Connect(board::Side::Source, "family=ostral,memory=i2c-eeprom,rev=1");
    EXPECT_EQ(Run(path), -1);
    EXPECT_NE(Printed().find(Mismatch("10")), std::string::npos);
}

TEST_F(BoardCheck, LibraryErrorReachesTheCaller) {
    Connect(board::Side::Source, "family=ostral,memory=i2c-eeprom,rev=1");
    // A comment line: the tool passes over it, the library refuses it.
    std::string broken = m_dir.Write(
        "broken.ihex", {Record(4, 0, {0x50, 0x00}), "# built by hand",
                        Data(0x100, {0xDC, 0xFE, 0x34, 0x12, 0x00, 0x10, 0x09, 0x23}), EndLine()});
    EXPECT_THROW(static_cast<void>(CheckImageFile(broken.c_str())), Quillan::ErrorMessage);
    EXPECT_EQ(Printed(), "");
}

struct MarnelCase {
    board::Side chipSide;
    uint8_t headerByte;
    std::string refusal;
    friend void PrintTo(const MarnelCase& c, std::ostream* os) {
        *os << (c.chipSide == board::Side::Source ? "source" : "sink") << "_" << int(c.headerByte);
    }
};

class MarnelCheck : public BoardCheck, public testing::WithParamInterface<MarnelCase> {};

TEST_P(MarnelCheck, HeaderSideAgainstChipSide) {
    const MarnelCase& c = GetParam();
    Connect(c.chipSide, "family=marnel");
    std::string path = m_dir.Write("fw.hex", testsupport::MarnelImage(c.headerByte), "\r\n");
    EXPECT_EQ(Run(path), c.refusal.empty() ? 0 : -1);
    EXPECT_EQ(Printed(), c.refusal);
}

std::string SideMismatch(const char* side, const char* isSource) {
    return std::string("Marnel FW source/sink mismatch. In ihex file: ") + side +
           ", on the board: isSource=" + isSource + "\n";
}

INSTANTIATE_TEST_SUITE_P(Images, MarnelCheck,
                         testing::Values(MarnelCase{board::Side::Source, 0x9F, ""},
                                         MarnelCase{board::Side::Source, 0x1F, ""},
                                         MarnelCase{board::Side::Source, 0x0F, SideMismatch("0", "0x1")},
                                         MarnelCase{board::Side::Source, 0x8F, SideMismatch("0x8", "0x1")},
                                         MarnelCase{board::Side::Source, 0x2F, SideMismatch("0x2", "0x1")},
                                         MarnelCase{board::Side::Sink, 0x0F, ""},
                                         MarnelCase{board::Side::Sink, 0x8F, ""},
                                         MarnelCase{board::Side::Sink, 0x9F, SideMismatch("0x9", "0")},
                                         MarnelCase{board::Side::Sink, 0x2F, SideMismatch("0x2", "0")}));

TEST_F(BoardCheck, MarnelImageWithoutHeaderStops) {
    Connect(board::Side::Source, "family=marnel");
    std::string path = m_dir.Write("fw.hex", {Data(0, {1, 2, 3, 4}), EndLine()});
    EXPECT_EQ(Run(path), -1);
    EXPECT_EQ(Printed(), "Marnel FW header is not found in: '" + path + "'\n");
    EXPECT_EQ(Pauses(), 1);
}

TEST_F(BoardCheck, OnlyTheUptExtensionSelectsTheParameterCheck) {
    Connect(board::Side::Source, "family=marnel");
    for (const char* name : {"image.upt.hex", "imageupt", "dir.upt/image"}) {
        std::filesystem::create_directories(m_dir.Path() + "/dir.upt");
        EXPECT_EQ(Run(m_dir.Write(name, testsupport::MarnelImage(0x9F))), 0) << name;
    }
    EXPECT_EQ(Printed(), "");
}

// Parameter-section files: 18 x 0xFF + 0x46 = 0x1234 in front of the header, checksum 0xCC.
std::vector<std::string> UptFile(uint8_t headerChecksum) {
    std::vector<uint8_t> header = {0xFF, 0xFF, 0x46, 0xA5, 0xA5, 0x02, 0x01};
    header.reserve(20);  // GCC 12 -O3 misreads the growth in place as out of bounds
    header.resize(header.size() + 12, 0x10);
    header.push_back(headerChecksum);
    return {Data(0, std::vector<uint8_t>(16, 0xFF)), Data(0x10, header), EndLine()};
}

TEST_F(BoardCheck, UptFileNeedsHeaderAndChecksum) {
    // No link: the parameter-section check never reads a register.
    bool goOn = false;
    EXPECT_EQ(Run(m_dir.Write("params.UPT", UptFile(0xCC)), &goOn), 0);
    EXPECT_TRUE(goOn);
    EXPECT_EQ(Printed(), "Update Parameters Section version: 0x102\r\n");

    m_bench->ClearOutput();
    EXPECT_EQ(Run(m_dir.Write("bad.upt", UptFile(0xCD), "\r\n"), &goOn), 0);
    EXPECT_FALSE(goOn);
    EXPECT_EQ(Printed(),
              "Update Parameters Section version: 0x102\r\n"
              "Error: invalid UPT file checksum, in header: 0xcd, calculated: 0xcc\r\n");

    m_bench->ClearOutput();
    std::string plain = m_dir.Write("plain.upt", {Data(0, {1, 2}), EndLine()});
    EXPECT_EQ(Run(plain, &goOn), 0);
    EXPECT_FALSE(goOn);
    EXPECT_EQ(Printed(), "Error: unable to parse UPT header in '" + plain + "'\r\n");
    EXPECT_EQ(Pauses(), 0);
}

}  // namespace
