// Burn and verify against the simulated board: results proven on the memory cells and the audit.
#include <gtest/gtest.h>

#include <algorithm>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "image/ImageOps.h"
#include "link/TargetSession.h"
#include "tests/support/BoardRig.h"
#include "tests/support/Console.h"
#include "tests/support/HexText.h"

namespace {

using namespace testsupport;

struct MemoryCase {
    const char* name;
    const char* setting;
    int32_t kind;
    uint32_t size;
};

const MemoryCase kMemories[] = {
    {"spi eeprom 64k", "memory=spi-eeprom,size=64k", 1, 0x10000},
    {"spi eeprom 128k", "memory=spi-eeprom,size=128k", 1, 0x20000},
    {"ostral i2c 64k", "family=ostral,memory=i2c-eeprom,size=64k", 2, 0x10000},
    {"ostral i2c 128k", "family=ostral,memory=i2c-eeprom,size=128k", 2, 0x20000},
    {"macronix", "memory=mx25", 3, 0x400000},
    {"amic", "memory=amic", 4, 0x400000},
    {"spansion", "memory=spansion", 5, 0x400000},
    {"marnel i2c 128k", "memory=i2c-eeprom,size=128k", 8, 0x20000},
};

bool allowsFast(int32_t kind) {
    return kind == 3 || kind == 4 || kind == 5 || kind == 8;
}

// Gaps, 128-byte boundaries inside records, a misaligned start, and (where the memory has room) a
// 64 KiB boundary crossed and the top of a 4 MiB flash.
std::vector<Segment> imageFor(uint32_t memorySize) {
    std::vector<Segment> segments = {
        {0x0000, Pattern(0x200, 1)},
        {0x0440, Pattern(0x60, 2)},
        {0x7F00, Pattern(0x100, 3)},
    };
    if (memorySize > 0x10000) segments.push_back({0xFF80, Pattern(0x100, 4)});
    if (memorySize >= 0x400000) segments.push_back({0x3FFF00, Pattern(0x100, 5)});
    return segments;
}

// The memory as the image leaves it: image bytes in place, every other cell as it was, except the
// update-section mark that an I2C burn writes.
void expectMemoryHolds(const std::vector<uint8_t>& memory, const std::vector<uint8_t>& before,
                       const std::vector<Segment>& segments, int32_t kind) {
    std::vector<uint8_t> expected = before;
    std::vector<bool> ignored(memory.size(), false);
    if (kind == 2 || kind == 8) {
        const uint32_t mark = memory.size() > 0x10000 ? 0x1FFF0 : 0xFFF0;
        for (uint32_t a = mark; a < mark + 4; ++a) ignored[a] = true;
    }
    for (const Segment& s : segments) {
        for (size_t i = 0; i < s.bytes.size(); ++i) {
            expected[s.address + i] = s.bytes[i];
            ignored[s.address + i] = false;
        }
    }
    size_t wrong = 0;
    for (uint32_t a = 0; a < memory.size() && wrong < 5; ++a) {
        if (memory[a] == expected[a] || ignored[a]) continue;
        ++wrong;
        ADD_FAILURE() << std::hex << "cell 0x" << a << " holds 0x" << int{memory[a]} << ", want 0x"
                      << int{expected[a]};
    }
}

class BurnImageTest : public ::testing::Test {
  protected:
    TempDir dir;
    ConsoleRecorder console;
};

TEST_F(BurnImageTest, EveryMemoryKindBurnsAndVerifiesSlowAndFast) {
    for (const MemoryCase& memory : kMemories) {
        for (bool fast : {false, true}) {
            if (fast && !allowsFast(memory.kind)) continue;
            SCOPED_TRACE(std::string(memory.name) + (fast ? " fast" : " slow"));
            BoardRig rig(memory.setting);
            ASSERT_EQ(rig.Connect(1), memory.kind);
            const auto segments = imageFor(memory.size);
            const std::string path = dir.Write("fw.hex", ImageText(segments));
            const std::vector<uint8_t> before = rig.Memory(1);
            Session().options.fast = fast ? 1 : 0;
            console.printed.clear();
            burnImage(path, 1, memory.kind, rig.SizeSelection());
            Session().options.eraseBeforeBurn = false;
            burnImage(path, 2, memory.kind, rig.SizeSelection());
            EXPECT_NE(console.printed.find("Burn succeeded.\n\n"), std::string::npos) << console.printed;
            EXPECT_NE(console.printed.find("Verification succeeded!!! :-)\n\n"), std::string::npos);
            EXPECT_EQ(Session().fast.pending, 0);
            expectMemoryHolds(rig.Memory(1), before, segments, memory.kind);
            EXPECT_EQ(rig.EndAndAudit(), "");
        }
    }
}

TEST_F(BurnImageTest, TheSinkChipBurnsThroughItsOwnController) {
    BoardRig rig("", "memory=amic");
    ASSERT_EQ(rig.Connect(0), 4);
    const auto segments = imageFor(0x400000);
    const std::string path = dir.Write("fw.hex", ImageText(segments));
    const std::vector<uint8_t> sourceBefore = rig.Memory(1);
    Session().options.fast = 1;
    burnImage(path, 1, 4, rig.SizeSelection());
    burnImage(path, 2, 4, rig.SizeSelection());
    expectMemoryHolds(rig.Memory(0), sourceBefore, segments, 4);
    EXPECT_EQ(rig.Memory(1), sourceBefore);
    EXPECT_TRUE(Session().verdict.verifyPassed);
    EXPECT_EQ(rig.EndAndAudit(), "");
}

TEST_F(BurnImageTest, OtherFileNamesSwapTheBytesOfEachWord) {
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    // Bytes 11 22 33 44 55 66: words 0x44332211 and 0x????6655 at 0 and 4; the two bytes the image
    // does not give stay erased.
    const std::string path =
        dir.Write("fw.ihex", DataRecord(0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}) + EndRecord());
    burnImage(path, 1, kind, rig.SizeSelection());
    const auto& memory = rig.Memory(1);
    EXPECT_EQ(std::vector<uint8_t>(memory.begin(), memory.begin() + 8),
              std::vector<uint8_t>({0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0x66, 0x55}));
    EXPECT_EQ(rig.EndAndAudit(), "");
}

TEST_F(BurnImageTest, PartialEraseTouchesOnlyTheSectorsAndBlocksOfTheImage) {
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    std::vector<uint8_t>& memory = rig.Memory(1);
    for (uint32_t a = 0; a < 0x60000; ++a) memory[a] = 0x00;  // programmed, so an erase shows
    const std::vector<uint8_t> before = memory;
    // Sector 0 partly, sector 3 by a few bytes, all of block 2, 15 sectors of block 4.
    std::vector<Segment> segments = {{0x0100, Pattern(0x20, 1)}, {0x3000, Pattern(0x10, 2)}};
    segments.push_back({0x20000, Pattern(0x10000, 3)});
    for (uint32_t s = 0; s < 16; ++s) {
        if (s != 9) segments.push_back({0x40000 + s * 0x1000 + 0x800, Pattern(0x10, 4 + s)});
    }
    const std::string path = dir.Write("fw.hex", ImageText(segments));
    rig.TraceBus(1, true);
    Session().options.fast = 1;
    burnImage(path, 1, kind, rig.SizeSelection());
    std::vector<std::string> expected = {"20@000000", "20@003000", "d8@020000"};
    for (uint32_t s = 0; s < 16; ++s) {
        if (s != 9) expected.push_back(formatText("20@04%x000", s));
    }
    EXPECT_EQ(rig.Erases(1), expected);
    rig.TraceBus(1, false);

    // Erased: sectors 0 and 3, block 2, block 4 but its sector 9.
    std::vector<uint8_t> afterErase = before;
    auto erase = [&](uint32_t from, uint32_t size) { std::fill_n(afterErase.begin() + from, size, 0xFF); };
    erase(0x0000, 0x1000);
    erase(0x3000, 0x1000);
    erase(0x20000, 0x10000);
    erase(0x40000, 0x9000);
    erase(0x4A000, 0x6000);
    expectMemoryHolds(memory, afterErase, segments, kind);
    EXPECT_NE(console.printed.find("Partial erase succeeded.\n\n"), std::string::npos);
    EXPECT_EQ(rig.EndAndAudit(), "");
}

TEST_F(BurnImageTest, ASixteenByteRecordBurnsWithThisTranscript) {
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    const std::string path = dir.Write("fw.hex", DataRecord(0, Pattern(16)) + EndRecord());
    Session().options.eraseBeforeBurn = false;
    Session().options.progress = false;
    console.printed.clear();
    rig.clock.Advance(0);
    burnImage(path, 1, kind, rig.SizeSelection());
    const std::string head = "Burning file " + path + ", total lines: 2\n\nTotal bytes: 16. Total time: ";
    EXPECT_EQ(console.printed.substr(0, head.size()), head);
    const std::string tail = " seconds\nBurn succeeded.\n\n";
    ASSERT_GT(console.printed.size(), tail.size());
    EXPECT_EQ(console.printed.substr(console.printed.size() - tail.size()), tail);
    EXPECT_EQ(console.progress, std::vector<int32_t>({100}));
    EXPECT_EQ(rig.EndAndAudit(), "");
}

TEST_F(BurnImageTest, AMismatchIsReportedInEveryPassAndNeverHidden) {
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    const std::string path = dir.Write("fw.hex", ImageText({{0x100, Pattern(0x40)}}));
    burnImage(path, 1, kind, rig.SizeSelection());
    rig.Memory(1)[0x125] ^= 0x40;
    rig.Memory(1)[0x13C] = 0x00;
    for (int pass = 0; pass < 2; ++pass) {
        console.printed.clear();
        burnImage(path, 2, kind, rig.SizeSelection());
        size_t reports = 0;
        for (size_t at = 0;
             (at = console.printed.find("Error verifying eprom on address: ", at)) != std::string::npos;
             ++at) {
            ++reports;
        }
        EXPECT_EQ(reports, 2u);
        EXPECT_NE(console.printed.find("Error verifying eprom on address: 124, eprom: "), std::string::npos);
        EXPECT_NE(console.printed.find("Error verifying eprom on address: 13c, eprom: "), std::string::npos);
        EXPECT_NE(console.printed.find("***************Verification failed*********************\n\n"),
                  std::string::npos);
        EXPECT_FALSE(Session().verdict.verifyPassed);
    }
    EXPECT_EQ(rig.EndAndAudit(), "");
}

TEST_F(BurnImageTest, AFastVerifyMismatchEndsTheRun) {
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    const std::string path = dir.Write("fw.hex", ImageText({{0x0, Pattern(0x400)}}));
    Session().options.fast = 1;
    burnImage(path, 1, kind, rig.SizeSelection());
    rig.Memory(1)[0x1A3] ^= 0x01;
    console.printed.clear();
    try {
        burnImage(path, 2, kind, rig.SizeSelection());
        ADD_FAILURE() << "the verify went on";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.code, -1);
    }
    EXPECT_NE(console.printed.find("\r\n Quick Verifiyng Failed at address 00000180\r\n"), std::string::npos)
        << console.printed;
    EXPECT_EQ(console.pauses, 0);
}

// Records whose groups do not keep words aligned: the block is sent or checked before it would
// overflow, and a fast burn leaves the memory exactly as a slow one does.
TEST_F(BurnImageTest, MisalignedRecordsNeverOverflowTheFastBlock) {
    struct Case {
        const char* what;
        std::vector<Segment> segments;
        size_t recordSize;
    };
    const Case cases[] = {
        {"words off by two", {{0x0002, Pattern(0x400, 1)}}, 16},
        {"two-byte records", {{0x0000, Pattern(0x300, 2)}}, 2},
        {"one-byte records", {{0x1000, Pattern(0x200, 3)}}, 1},
        {"six-byte records", {{0x0010, Pattern(0x300, 4)}}, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.Write("fw.hex", ImageText(c.segments, c.recordSize));
        std::vector<uint8_t> results[2];
        for (int fast = 0; fast < 2; ++fast) {
            BoardRig rig("memory=i2c-eeprom,size=128k");
            const int32_t kind = rig.Connect(1);
            Session().options.fast = static_cast<uint8_t>(fast);
            burnImage(path, 1, kind, rig.SizeSelection());
            results[fast] = rig.Memory(1);
            for (const SentBlock& block : rig.Blocks()) {
                EXPECT_LE(block.length, 128);
                EXPECT_EQ(block.length % 4, 0);
            }
            EXPECT_EQ(Session().fast.pending, 0);
            EXPECT_EQ(rig.EndAndAudit(), "");
        }
        EXPECT_EQ(results[0], results[1]);
    }
}

// A fast verify sends only whole words in its blocks, which end on 128-byte boundaries; the bytes
// of a cell the image fills only in part are read and compared the slow way.
TEST_F(BurnImageTest, MisalignedWordsVerifyFast) {
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    const std::vector<Segment> segments = {{0x0002, Pattern(0x800, 7)}};
    std::copy(segments[0].bytes.begin(), segments[0].bytes.end(), rig.Memory(1).begin() + 2);
    const std::string path = dir.Write("fw.hex", ImageText(segments));
    Session().options.fast = 1;
    burnImage(path, 2, kind, rig.SizeSelection());
    EXPECT_NE(console.printed.find("Verification succeeded!!! :-)\n\n"), std::string::npos)
        << console.printed;
    EXPECT_TRUE(rig.pair->AuditEntries().empty()) << rig.pair->AuditReport();
    const auto blocks = rig.Blocks();
    ASSERT_EQ(blocks.size(), 0x800u / 128);
    EXPECT_EQ(blocks[0].length, 124);
    for (size_t i = 1; i < blocks.size(); ++i) EXPECT_EQ(blocks[i].length, 128);
    rig.Memory(1)[0x7F1] ^= 0x10;
    try {
        burnImage(path, 2, kind, rig.SizeSelection());
        ADD_FAILURE() << "the mismatch went unseen";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.code, -1);
    }
    EXPECT_NE(console.printed.find("Quick Verifiyng Failed at address 00000780"), std::string::npos);
}

// Data past the memory would wrap round to its start: refused before anything is erased.
TEST_F(BurnImageTest, ARecordRunningPastTheMemoryIsRefusedBeforeTheErase) {
    BoardRig rig;
    const int32_t kind = rig.Connect(1);
    rig.Memory(1)[0x3F0010] = 0x00;  // an erase would show
    const std::string path =
        dir.Write("fw.hex", BaseRecord(0x003F) + DataRecord(0xFFF8, Pattern(16, 9)) + EndRecord());
    try {
        burnImage(path, 1, kind, rig.SizeSelection());
        ADD_FAILURE() << "the burn went on";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.code, -1);
    }
    EXPECT_NE(console.printed.find("Data at 0x3ffff8-0x400007 on line 2 of file " + path +
                                   " lies beyond the memory of 0x400000 bytes.\n"),
              std::string::npos)
        << console.printed;
    EXPECT_EQ(rig.Memory(1)[0x3F0010], 0x00);
    EXPECT_EQ(rig.Memory(1)[0], 0xFF);
}

TEST_F(BurnImageTest, CrLfAndLfImagesBurnAlike) {
    const std::string text = std::string(3000, '#') + "\n" + ImageText({{0x80, Pattern(0x180)}});
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::vector<uint8_t> results[2];
    std::string transcripts[2];
    for (int i = 0; i < 2; ++i) {
        BoardRig rig;
        const int32_t kind = rig.Connect(1);
        const std::string path = dir.Write("fw.hex", i == 0 ? text : crlf);
        console.printed.clear();
        burnImage(path, 1, kind, rig.SizeSelection());
        results[i] = rig.Memory(1);
        transcripts[i] = console.printed.substr(0, console.printed.find("Total time"));
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(transcripts[0], transcripts[1]);
    // Three pieces of the long line, 24 records, the end record.
    EXPECT_NE(transcripts[0].find("total lines: 28\n"), std::string::npos) << transcripts[0];
}

TEST_F(BurnImageTest, BadFilesGetTheirMessages) {
    struct Case {
        const char* what;
        std::string path;
        std::string expected;  // text the console shows
    };
    const std::string cut =
        dir.Write("cut.hex", DataRecord(0, {1, 2, 3, 4}) + ":10001000AABBCC\n" + EndRecord());
    const std::string noEnd = dir.Write("noend.hex", DataRecord(0, {1, 2, 3, 4}));
    const std::string empty = dir.Write("empty.hex", "");
    const std::string binary = dir.Write("binary.hex", std::string("\x7f"
                                                                   "ELF\x00\x01\x02\n\xff\xfe",
                                                                   10));
    const Case cases[] = {
        {"missing", dir.Path("none.hex"), "Can't open file: " + dir.Path("none.hex") + "\n"},
        {"directory", dir.Path(""), "Can't open file: " + dir.Path("") + "\n"},
        {"cut record", cut,
         "Record on line 2 of file " + cut +
             " is not valid: ':10001000AABBCC'\nThe 'byteCount' field value is '0x10', but record contains "
             "0x02 "
             "data bytes.\n"},
        {"no end record", noEnd,
         "No end of file encountered. Error on reading file.\nFile " + noEnd + " has no end record.\n"},
        {"empty", empty,
         "No end of file encountered. Error on reading file.\nFile " + empty + " has no end record.\n"},
        {"binary", binary,
         "No end of file encountered. Error on reading file.\nFile " + binary + " has no end record.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BoardRig rig;
        const int32_t kind = rig.Connect(1);
        rig.Memory(1)[0x10] = 0x00;  // an erase would show
        console.printed.clear();
        console.pauses = 0;
        bool exited = false;
        try {
            burnImage(c.path, 1, kind, rig.SizeSelection());
        } catch (const ProcessExit& exit) {
            exited = true;
            EXPECT_EQ(exit.code, -1);
        }
        EXPECT_TRUE(exited);
        EXPECT_EQ(console.printed, c.expected);
        EXPECT_EQ(console.pauses, 1);
        EXPECT_EQ(rig.Memory(1)[0x10], 0x00) << "memory touched before the file was refused";
        EXPECT_EQ(rig.Memory(1)[3], 0xFF) << "a file without its end record was burned";
    }
}

TEST_F(BurnImageTest, ProgressComesAtMostEveryHalfSecond) {
    BoardRig rig("memory=spi-eeprom,size=128k");
    const int32_t kind = rig.Connect(1);
    const std::string path = dir.Write("fw.hex", ImageText({{0, Pattern(0x8000)}}));
    std::vector<uint64_t> times;
    ConsoleUi::instance().Install(ConsoleUi::Operations{[](const std::string&) {},
                                                        [&](int32_t) { times.push_back(rig.clock.NowUs()); },
                                                        [] { return false; }, [] {}});
    burnImage(path, 1, kind, rig.SizeSelection());
    ASSERT_GT(times.size(), 3u);
    for (size_t i = 1; i + 1 < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 500'000u) << i;
}

}  // namespace

namespace {

// FNV-1a over what the host sent: a small fingerprint of the whole wire traffic.
uint64_t digest(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (char c : bytes) hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001b3ull;
    return hash;
}

struct TraceCase {
    const char* image;  // in examples/
    int target;
    const char* memory;
    bool fast;
    size_t sentBytes;
    uint64_t sentDigest;
};

// Recorded from the walk as it was before it followed the byte address: the sample images are
// whole aligned words, so nothing they send may change. The I2C kinds burn without the erase of
// the update-section mark, whose traffic is not the walk's.
const TraceCase kSampleTraces[] = {
    {"source_fw.hex", 1, "memory=mx25", false, 289083, 0x9b8a07c7667a8566ull},
    {"source_fw.hex", 1, "memory=mx25", true, 119118, 0x480439fe225bd51full},
    {"source_fw.hex", 1, "memory=spi-eeprom,size=64k", false, 301871, 0xc203b65e970e68eaull},
    {"source_fw.hex", 1, "family=ostral,memory=i2c-eeprom,size=64k", false, 284278, 0x72f9428d62131135ull},
    {"source_fw.hex", 1, "memory=i2c-eeprom,size=128k", false, 284345, 0x7b32a39269df2dd4ull},
    {"source_fw.hex", 1, "memory=i2c-eeprom,size=128k", true, 114409, 0x9673fb2312e7b6b9ull},
    {"sink_fw.hex", 0, "memory=amic", false, 289083, 0xf30ce0bce083bb47ull},
    {"sink_fw.hex", 0, "memory=amic", true, 119118, 0x5175b0a8d04908eaull},
    {"sink_fw.hex", 0, "memory=spi-eeprom,size=128k", false, 301871, 0x92a4f8858283e87dull},
    {"sink_fw.hex", 0, "memory=i2c-eeprom,size=128k", true, 114409, 0x9aa73553064f56f1ull},
};

}  // namespace

TEST_F(BurnImageTest, SampleImagesSendTheTrafficTheyAlwaysSent) {
    std::string recorded;
    for (const TraceCase& c : kSampleTraces) {
        SCOPED_TRACE(std::string(c.image) + " " + c.memory + (c.fast ? " fast" : " slow"));
        const std::string path = std::string(TOLVAR_SOURCE_DIR "/examples/") + c.image;
        BoardRig rig(c.target == 1 ? c.memory : "", c.target == 0 ? c.memory : "");
        const int32_t kind = rig.Connect(c.target);
        Session().options.fast = c.fast ? 1 : 0;
        Session().options.eraseBeforeBurn = kind != 2 && kind != 8;
        Session().verdict.verifyPassed = true;
        rig.sent.clear();
        burnImage(path, 1, kind, rig.SizeSelection());
        Session().options.eraseBeforeBurn = false;
        burnImage(path, 2, kind, rig.SizeSelection());
        EXPECT_TRUE(Session().verdict.verifyPassed);
        EXPECT_EQ(rig.EndAndAudit(), "");
        recorded += formatText("    {\"%s\", %d, \"%s\", %s, %zu, 0x%016llxull},\n", c.image, c.target,
                               c.memory, c.fast ? "true" : "false", rig.sent.size(),
                               static_cast<unsigned long long>(digest(rig.sent)));
        EXPECT_EQ(rig.sent.size(), c.sentBytes);
        EXPECT_EQ(digest(rig.sent), c.sentDigest);
    }
    if (HasFailure()) std::printf("Traffic now:\n%s", recorded.c_str());
}
