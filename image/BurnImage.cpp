// Burn and verify: one streaming walk over the image, words handed to the flash driver in write
// or read sequences that are closed at address gaps and fixed boundaries.
#include <memory>

#include "flash/FlashDriver.h"
#include "console/ConsoleUi.h"
#include "console/RunResult.h"
#include "image/FlashMap.h"
#include "image/HexReader.h"
#include "image/ImageOps.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

constexpr int32_t kBurn = 1;
constexpr uint32_t kProgressIntervalMs = 500;

class ImageWalk {
  public:
    ImageWalk(int32_t mode, int32_t memoryKind, bool firstByteMost, int32_t totalLines, uint32_t startMs)
        : m_burn(mode == kBurn),
          m_memoryKind(memoryKind),
          m_firstByteMost(firstByteMost),
          m_fast(Session().fastBurn != 0),
          m_totalLines(totalLines > 0 ? totalLines : 1),
          m_lastProgressMs(startMs) {}

    void ProgressStarted() { m_lastProgressMs = platform::CurrentClock().TickMs(); }
    void Line(const HexLine& line);
    // Closes what is open; true when the end record was seen.
    bool Close();
    int32_t TotalBytes() const { return m_totalBytes; }

  private:
    void Record(const HexRecord& record, uint32_t recordAddress);
    void Data(const HexRecord& record, uint32_t recordAddress);
    void Jump(uint32_t recordAddress);
    void OpenSequence(uint32_t recordAddress);
    void WordDone(uint32_t word, uint32_t byteAddress);
    void VerifyWord(uint32_t word, uint32_t byteAddress);
    void AppendToBlock(uint32_t word);
    void CloseAtBoundary();
    void ShowProgress();
    void EndReadChecked() { verifyPassed = EndRead(m_memoryKind) && verifyPassed; }

    const bool m_burn;
    const int32_t m_memoryKind;
    const bool m_firstByteMost;
    const bool m_fast;
    const int32_t m_totalLines;
    uint32_t m_lastProgressMs;
    bool m_first = true;
    bool m_restart = false;
    bool m_open = false;
    bool m_endSeen = false;
    uint32_t m_expected = 0;
    uint32_t m_base = 0;
    int32_t m_linesRead = 0;
    int32_t m_totalBytes = 0;
};

void ImageWalk::Line(const HexLine& line) {
    ++m_linesRead;
    HexRecord record;
    // Cut records were refused before the walk started.
    if (!parseHexLine(line, record)) return;
    const uint32_t recordAddress = m_base + record.address;
    ShowProgress();
    Record(record, recordAddress);
}

void ImageWalk::ShowProgress() {
    if (!progressEnabled) return;
    const uint32_t now = platform::CurrentClock().TickMs();
    if (now - m_lastProgressMs < kProgressIntervalMs) return;
    ConsoleUi::instance().progress(static_cast<int32_t>(int64_t{m_linesRead} * 100 / m_totalLines));
    m_lastProgressMs = now;
}

void ImageWalk::Record(const HexRecord& record, uint32_t recordAddress) {
    switch (record.type) {
        case HexData:
            Data(record, recordAddress);
            break;
        case HexEndOfFile:
            m_endSeen = true;
            break;
        case HexExtendedLinear:
            m_base = extendedLinearBase(record);
            break;
        case HexStartLinear:
            break;
        default:
            ConsoleUi::instance().print(formatText("\nunknown code: %d\n", record.type));
            break;
    }
}

void ImageWalk::Data(const HexRecord& record, uint32_t recordAddress) {
    if (!m_first && m_expected != recordAddress) Jump(recordAddress);
    m_expected = recordAddress;
    if (record.count == 0) return;
    m_totalBytes += record.count;
    uint32_t word = 0;
    int k = 0;
    for (uint32_t i = 0; i < record.count; ++i) {
        word = placeByte(word, record.data[i], k++, m_firstByteMost);
        if (m_first || m_restart) OpenSequence(recordAddress);
        ++m_expected;
        if (k == 4 || i + 1 == record.count) {
            WordDone(word, recordAddress + i);
            word = 0;
            k = 0;
            CloseAtBoundary();
        }
    }
}

void ImageWalk::Jump(uint32_t recordAddress) {
    if (m_burn) {
        EndWrite(m_memoryKind);
        StartWrite(recordAddress, m_memoryKind);
    } else {
        EndReadChecked();
        if (m_fast) EndReadChecked();
        StartRead(m_memoryKind, recordAddress, m_fast);
    }
    m_restart = false;
    m_open = true;
}

void ImageWalk::OpenSequence(uint32_t recordAddress) {
    if (m_burn) {
        StartWrite(m_expected, m_memoryKind);
    } else if (m_first) {
        if (m_fast) EndReadChecked();
        StartRead(m_memoryKind, m_expected, m_fast);
    } else if (!m_fast) {
        StartRead(m_memoryKind, m_expected, false);
    } else if ((recordAddress & 0xFFFF) == 0) {
        EndReadChecked();
        StartRead(m_memoryKind, m_expected, true);
    }
    // Otherwise the fast read keeps running where the last block check left it.
    m_first = false;
    m_restart = false;
    m_open = true;
}

void ImageWalk::WordDone(uint32_t word, uint32_t byteAddress) {
    if (m_fast) {
        AppendToBlock(word);
    } else if (m_burn) {
        WriteWord(m_memoryKind, word);
    } else {
        VerifyWord(word, byteAddress);
    }
}

void ImageWalk::VerifyWord(uint32_t word, uint32_t byteAddress) {
    const uint32_t read = ReadWord(m_memoryKind);
    if (read == word) return;
    ConsoleUi::instance().print(formatText("Error verifying eprom on address: %x, eprom: %x, file: %x\n",
                                           byteAddress & ~uint32_t{3}, read, word));
    verifyPassed = false;
}

// Words whose groups are short or misaligned can fill the block before any boundary comes; what
// is pending is sent or checked first, so the buffer and its 8-bit count never overflow.
void ImageWalk::AppendToBlock(uint32_t word) {
    TargetSession& session = Session();
    if (session.fastPending + 4u > kBlockBufferSize) {
        if (m_burn) {
            FlushFastBurn();
            session.fastPending = 0;
        } else {
            EndReadChecked();
        }
    }
    // Flash order: the most significant byte lands at the lowest address.
    for (int k = 0; k < 4; ++k) {
        session.blockBuffer[session.fastPending + k] = static_cast<uint8_t>(word >> (24 - 8 * k));
    }
    session.fastPending = static_cast<uint8_t>(session.fastPending + 4);
}

void ImageWalk::CloseAtBoundary() {
    if (m_burn) {
        // A write never crosses a 128-byte boundary; a word that would cross one starts anew.
        const uint32_t low = m_expected & 0x7F;
        if (low != 0 && low <= 0x7C) return;
        EndWrite(m_memoryKind);
    } else {
        const bool blockFull = m_fast && (m_expected & 0x7F) == 0;
        if (!blockFull && (m_expected & 0xFFFF) != 0) return;
        EndReadChecked();
    }
    m_restart = true;
    m_open = false;
}

bool ImageWalk::Close() {
    if (m_open) {
        if (m_burn) {
            EndWrite(m_memoryKind);
        } else {
            EndReadChecked();
        }
        m_open = false;
    }
    return m_endSeen;
}

[[noreturn]] void cannotOpen(const std::string& path) {
    ConsoleUi::instance().print(formatText("Can't open file: %s\n", path.c_str()));
    fatalExit();
}

// A record cut short would burn or compare bytes that are not in the image: refused before the
// memory is touched.
void refuseCutRecord(FILE* file, const std::string& path) {
    const int32_t cut = findCutRecord(file);
    if (cut == 0) return;
    ConsoleUi::instance().print(
        formatText("Record on line %d of file %s runs past the end of its line.\n", cut, path.c_str()));
    fatalExit();
}

void eraseFirst(const std::string& path, int32_t memoryKind, int32_t sizeSelection) {
    if (memoryKind == 1) {
        EraseChip(1);
    } else if (memoryKind >= 3 && memoryKind <= 5) {
        eraseForImage(path, memoryKind);
    } else {
        EraseUpdateSection(sizeSelection, memoryKind);
    }
}

// What the run learns from the walk: a burn over a failed erase is in doubt until a later verify
// of the whole image passes; a failed or incomplete verify fails the run.
void carryResult(bool burn, bool endSeen, bool erased) {
    if (!endSeen) {
        markRunFailed();
    } else if (burn) {
        if (!erased) markImageUnconfirmed();
    } else if (verifyPassed) {
        confirmImage();
    } else {
        markRunFailed();
    }
}

void printResult(bool burn, bool endSeen, bool erased, int32_t totalBytes, uint32_t startMs) {
    ConsoleUi& console = ConsoleUi::instance();
    console.progress(100);
    const float seconds = static_cast<float>(platform::CurrentClock().TickMs() - startMs) / 1000.0f;
    console.print(
        formatText("\nTotal bytes: %d. Total time: %f seconds\n", totalBytes, static_cast<double>(seconds)));
    if (!endSeen) {
        console.print("No end of file encountered. Error on reading file.\n");
    } else if (burn) {
        console.print(erased ? "Burn succeeded.\n\n"
                             : "Burn done over an erase that failed: the memory is not confirmed.\n\n");
    } else {
        console.print(verifyPassed ? "Verification succeeded!!! :-)\n\n"
                                   : "***************Verification failed*********************\n\n");
    }
}

}  // namespace

void burnImage(const std::string& path, int32_t mode, int32_t memoryKind, int32_t sizeSelection) {
    std::unique_ptr<FILE, ImageFileCloser> file(openImageFile(path));
    if (!file) cannotOpen(path);
    refuseCutRecord(file.get(), path);
    const bool burn = mode == kBurn;
    const bool firstByteMost = isHexExtension(path);
    const uint32_t startMs = platform::CurrentClock().TickMs();

    PrepareMemory(memoryKind);
    const uint32_t timeoutsBefore = eraseTimeouts();
    if (burn && eraseBeforeBurn) eraseFirst(path, memoryKind, sizeSelection);
    const bool erased = eraseTimeouts() == timeoutsBefore;
    const int32_t totalLines = countLines(file.get());
    ConsoleUi& console = ConsoleUi::instance();
    console.print(formatText("%s file %s, total lines: %d\n", burn ? "Burning" : "Verifying", path.c_str(),
                             totalLines));
    ImageWalk walk(mode, memoryKind, firstByteMost, totalLines, startMs);
    if (progressEnabled) {
        console.print("\n");
        console.progress(0);
        walk.ProgressStarted();
    }
    HexLine line;
    while (readLinePiece(file.get(), line)) walk.Line(line);
    const bool endSeen = walk.Close();
    printResult(burn, endSeen, erased, walk.TotalBytes(), startMs);
    carryResult(burn, endSeen, erased);
    file.reset();
    if (!burn) {
        PreBurnRead();
        verifyPassed = EndRead(memoryKind) && verifyPassed;
    }
}
