// Burn and verify: one streaming walk over the image, words handed to the flash driver in write
// or read sequences that are closed at address gaps and fixed boundaries.
#include <bit>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "console/ConsoleUi.h"
#include "flash/FlashDriver.h"
#include "image/BurnWalk.h"
#include "image/FlashMap.h"
#include "image/HexReader.h"
#include "image/ImageOps.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

constexpr int32_t kBurn = 1;
constexpr uint32_t kProgressIntervalMs = 500;
constexpr uint32_t kWholeWord = 0xFFFFFFFF;

// Image bytes that arrived one after the other inside one aligned 4-byte cell of the memory. The
// word and the mask are in memory order: the byte of the lowest address in bits 31-24.
class Group {
  public:
    bool Empty() const { return m_count == 0; }
    // Whether the byte at this address and place of the file continues the group.
    bool Continues(uint32_t address) const { return m_count > 0 && address == m_next && (address & 3) != 0; }
    void Add(uint32_t address, uint8_t byte, bool firstByteMost);
    // The next byte of the file belongs to another cell.
    bool Full() const { return m_count > 0 && (m_next & 3) == 0; }
    void Clear() { m_count = 0; }
    uint32_t Cell() const { return m_cell; }
    uint32_t Word() const { return m_word; }
    uint32_t Mask() const { return m_mask; }

  private:
    uint32_t m_cell = 0;
    uint32_t m_next = 0;
    uint32_t m_word = 0;
    uint32_t m_mask = 0;
    uint32_t m_count = 0;
};

void Group::Add(uint32_t address, uint8_t byte, bool firstByteMost) {
    if (m_count == 0) {
        m_cell = address & ~uint32_t{3};
        m_word = 0;
        m_mask = 0;
    }
    const int place = static_cast<int>(address & 3);
    m_word = placeByte(m_word, byte, place, firstByteMost);
    m_mask = placeByte(m_mask, 0xFF, place, firstByteMost);
    m_next = address + 1;
    ++m_count;
}

// Where a group goes in the memory: a whole word at its cell, or (EEPROM burn of a short group)
// only its own bytes, which stand together in the cell.
struct Placement {
    uint32_t start;
    uint32_t end;
    int32_t width;
    uint32_t data;  // the bytes to send in the top `width` bytes
};

Placement narrowPlacement(const Group& group) {
    int lead = 0;
    while (((group.Mask() >> (24 - 8 * lead)) & 0xFF) == 0) ++lead;
    int width = 0;
    while (lead + width < 4 && ((group.Mask() >> (24 - 8 * (lead + width))) & 0xFF) != 0) ++width;
    const uint32_t start = group.Cell() + static_cast<uint32_t>(lead);
    return {start, start + static_cast<uint32_t>(width), width, group.Word() << (8 * lead)};
}

// Where a verify's read sequence ends: the fast block still pending is checked (the read goes on
// behind it); with nothing pending the read is closed.
void settleRead(int32_t memoryKind) {
    if (FastPending() > 0) {
        CheckFastPending();
    } else {
        CloseRead(memoryKind);
    }
}

class ImageWalk {
  public:
    ImageWalk(int32_t mode, int32_t memoryKind, bool firstByteMost, int32_t totalLines, uint32_t startMs,
              const ByteFilter& include)
        : m_include(include),
          m_burn(mode == kBurn),
          m_memoryKind(memoryKind),
          m_firstByteMost(firstByteMost),
          m_fast(Session().options.fast != 0),
          m_totalLines(totalLines > 0 ? totalLines : 1),
          m_lastProgressMs(startMs) {}

    void ProgressStarted() { m_lastProgressMs = platform::CurrentClock().TickMs(); }
    void Record(const HexRecordAt& at);
    // Closes what is open; true when the end record was seen.
    bool Close();
    int32_t TotalBytes() const { return m_totalBytes; }

  private:
    void Data(const HexRecord& record, uint32_t recordAddress);
    void Emit();
    Placement Place() const;
    void Jump(uint32_t address);
    void OpenSequence(uint32_t address);
    void BurnGroup(const Placement& place);
    void VerifyGroup();
    void ReportMismatch(uint32_t read);
    void CloseAtBoundary();
    void ShowProgress();
    void Skip();

    const ByteFilter& m_include;
    const bool m_burn;
    const int32_t m_memoryKind;
    const bool m_firstByteMost;
    const bool m_fast;
    const int32_t m_totalLines;
    uint32_t m_lastProgressMs;
    Group m_group;
    bool m_first = true;
    bool m_restart = false;
    bool m_open = false;
    bool m_endSeen = false;
    // Memory address the open sequence reaches next.
    uint32_t m_expected = 0;
    int32_t m_linesRead = 0;
    int32_t m_totalBytes = 0;
};

void ImageWalk::ShowProgress() {
    if (!Session().options.progress) return;
    const uint32_t now = platform::CurrentClock().TickMs();
    if (now - m_lastProgressMs < kProgressIntervalMs) return;
    ConsoleUi::instance().progress(static_cast<int32_t>(int64_t{m_linesRead} * 100 / m_totalLines));
    m_lastProgressMs = now;
}

// Cut records were refused before the walk started.
void ImageWalk::Record(const HexRecordAt& at) {
    m_linesRead = at.line;
    ShowProgress();
    const HexRecord& record = at.record;
    switch (record.type) {
        case HexData:
            Data(record, at.address);
            break;
        case HexEndOfFile:
            m_endSeen = true;
            break;
        case HexExtendedLinear:
        case HexStartLinear:
            break;
        default:
            ConsoleUi::instance().print(formatText("\nunknown code: %d\n", record.type));
            break;
    }
}

// Every byte goes to its own address: a record continues the word of the one before it when its
// bytes follow on, whatever its length.
void ImageWalk::Data(const HexRecord& record, uint32_t recordAddress) {
    m_totalBytes += record.count;
    for (uint32_t i = 0; i < record.count; ++i) {
        const uint32_t address = recordAddress + i;
        if (!m_group.Empty() && !m_group.Continues(address)) Emit();
        m_group.Add(address, record.data[i], m_firstByteMost);
        if (m_group.Full()) Emit();
    }
}

Placement ImageWalk::Place() const {
    if (m_burn && IsEeprom(m_memoryKind) && m_group.Mask() != kWholeWord) return narrowPlacement(m_group);
    // Flash takes a whole word: the bytes not in the image are 0xFF, which program nothing. A
    // verify reads the whole word and compares the image's bytes only.
    const uint32_t word = m_burn ? m_group.Word() | ~m_group.Mask() : m_group.Word();
    return {m_group.Cell(), m_group.Cell() + 4, 4, word};
}

void ImageWalk::Emit() {
    if (m_include && !m_include(m_group.Cell())) {
        Skip();
        return;
    }
    const Placement place = Place();
    if (!m_first && m_expected != place.start) Jump(place.start);
    if (m_first || m_restart) OpenSequence(place.start);
    m_expected = place.end;
    if (m_burn) {
        BurnGroup(place);
    } else {
        VerifyGroup();
    }
    // The image's own bytes of the group, whatever else the memory took with them.
    uint64_t& counted = m_burn ? Session().verdict.bytesWritten : Session().verdict.bytesCompared;
    counted += static_cast<uint64_t>(std::popcount(m_group.Mask()) / 8);
    m_group.Clear();
    CloseAtBoundary();
}

// A group the filter leaves out ends the write before it; the next group taken opens one anew.
void ImageWalk::Skip() {
    if (m_open) EndWrite(m_memoryKind);
    m_open = false;
    m_restart = true;
    m_expected = m_group.Cell() + 4;
    m_group.Clear();
}

void ImageWalk::Jump(uint32_t address) {
    if (m_burn) {
        EndWrite(m_memoryKind);
        StartWrite(address, m_memoryKind);
    } else {
        settleRead(m_memoryKind);
        if (m_fast) settleRead(m_memoryKind);
        StartRead(m_memoryKind, address, m_fast);
    }
    m_restart = false;
    m_open = true;
}

void ImageWalk::OpenSequence(uint32_t address) {
    if (m_burn) {
        StartWrite(address, m_memoryKind);
    } else if (m_first) {
        if (m_fast) settleRead(m_memoryKind);
        StartRead(m_memoryKind, address, m_fast);
    } else if (!m_fast) {
        StartRead(m_memoryKind, address, false);
    } else if ((address & 0xFFFF) == 0) {
        // A fast read is opened anew where the I2C device address changes.
        settleRead(m_memoryKind);
        StartRead(m_memoryKind, address, true);
    }
    // Otherwise the fast read keeps running where the last block check left it.
    m_first = false;
    m_restart = false;
    m_open = true;
}

// Whole words of a fast burn go in the block; anything shorter goes the slow way, after the block
// before it.
void ImageWalk::BurnGroup(const Placement& place) {
    if (place.width == 4 && m_fast && m_group.Mask() == kWholeWord) {
        QueueFastWord(place.data, false);
        return;
    }
    if (FastPending() > 0) FlushFastBurn();
    if (place.width == 4) {
        WriteWord(m_memoryKind, place.data);
    } else {
        SendData(place.width, place.data);
    }
}

void ImageWalk::VerifyGroup() {
    const uint32_t mask = m_group.Mask();
    if (m_fast && mask == kWholeWord) {
        QueueFastWord(m_group.Word(), true);
        return;
    }
    // A word read the slow way inside a fast read comes after the block before it.
    if (m_fast && FastPending() > 0) CheckFastPending();
    const uint32_t read = ReadWord(m_memoryKind);
    if ((read & mask) != (m_group.Word() & mask)) ReportMismatch(read);
}

// The file's word is shown with the bytes the image does not give taken from the memory.
void ImageWalk::ReportMismatch(uint32_t read) {
    const uint32_t file = (read & ~m_group.Mask()) | (m_group.Word() & m_group.Mask());
    ConsoleUi::instance().print(formatText("Error verifying eprom on address: %x, eprom: %x, file: %x\n",
                                           m_group.Cell(), read, file));
    Session().verdict.verifyPassed = false;
}

// Groups never leave their cell, so a write that ends on a 128-byte boundary is the only one that
// could reach across it.
void ImageWalk::CloseAtBoundary() {
    if (m_burn) {
        if ((m_expected & 0x7F) != 0) return;
        EndWrite(m_memoryKind);
    } else {
        const bool blockEnd = m_fast && (m_expected & 0x7F) == 0;
        const bool segmentEnd = (m_expected & 0xFFFF) == 0;
        if (!blockEnd && !segmentEnd) return;
        // Words read the slow way leave no block to check; closing here would end the fast read
        // that the next block goes on with.
        if (!segmentEnd && FastPending() == 0) return;
        settleRead(m_memoryKind);
    }
    m_restart = true;
    m_open = false;
}

bool ImageWalk::Close() {
    if (!m_group.Empty()) Emit();
    if (m_open) {
        if (m_burn) {
            EndWrite(m_memoryKind);
        } else {
            settleRead(m_memoryKind);
        }
        m_open = false;
    }
    return m_endSeen;
}

// The reason follows on its own line; errno is what openImageFile left.
[[noreturn]] void cannotOpen(const std::string& path) {
    char reason[256];
    lastErrorText(reason, sizeof reason);
    ConsoleUi& console = ConsoleUi::instance();
    if (isSpecialFile(path)) {
        console.print(formatText("Can't open file: %s\n", path.c_str()));
        console.print(
            "It is not a regular file: an image is read more than once, which a pipe or a device "
            "cannot give.\n");
    } else {
        console.print(formatText("Can't open file: %s\nReason: %s", path.c_str(), reason));
    }
    fatalExit();
}

// The byte order the name gives; a name that gives none ends the run before the memory is touched.
bool requireByteOrder(const std::string& path) {
    if (const std::optional<bool> firstByteMost = firstByteMostOf(path)) return *firstByteMost;
    ConsoleUi::instance().print(
        formatText("The image file %s must be named .hex (each word most significant "
                   "byte first) or .ihex (bytes in image order).\n",
                   path.c_str()));
    fatalExit();
}

std::string faultText(const ImageFault& fault, const std::string& path) {
    const char* file = path.c_str();
    switch (fault.kind) {
        case ImageFault::BadRecord:
            return formatText("Record on line %d of file %s is not valid: '%s'\n%s.\n", fault.line, file,
                              fault.quoted.c_str(), fault.what.c_str());
        case ImageFault::SegmentBase:
            return formatText(
                "Record on line %d of file %s sets the segment base 0x%04x, which is not supported.\n",
                fault.line, file, fault.segment);
        case ImageFault::LinearBase:
            return formatText(
                "Record on line %d of file %s sets the extended linear address 0x%04x, which does not "
                "address "
                "the memory of 0x%x bytes.\n",
                fault.line, file, fault.segment, Session().controller.memorySize);
        case ImageFault::BeyondMemory:
            return formatText(
                "Data at 0x%x-0x%x on line %d of file %s lies beyond the memory of 0x%x bytes.\n",
                fault.first, fault.last, fault.line, file, Session().controller.memorySize);
        case ImageFault::Overlap:
            return formatText(
                "Line %d of file %s gives the byte at 0x%x the value 0x%02x, but line %d gave it 0x%02x.\n",
                fault.line, file, fault.first, fault.value, fault.otherLine, fault.otherValue);
        case ImageFault::NoEndRecord:
            return formatText(
                "No end of file encountered. Error on reading file.\nFile %s has no end record.\n", file);
        case ImageFault::None:
            break;
    }
    return "";
}

// What the walk must not meet is refused before the memory is touched: a record that is not sound
// would burn or compare bytes that are not in the image, a segment base or data past the memory
// would put bytes elsewhere than the file says, two values for one byte leave no image to burn, and
// a file without its end record may be cut short.
void refuseImageFault(FILE* file, const std::string& path, uint32_t memorySize) {
    const ImageFault fault = findImageFault(file, memorySize);
    if (fault.kind == ImageFault::None) return;
    ConsoleUi::instance().print(faultText(fault, path));
    fatalExit();
}

// False when the erase did not complete.
bool eraseFirst(const std::string& path, int32_t memoryKind, int32_t sizeSelection) {
    if (IsSpiEeprom(memoryKind)) return EraseChip(memoryKind);
    if (IsSpiFlash(memoryKind)) return eraseForImage(path, memoryKind);
    // A mark that stays set stops the run.
    EraseUpdateSection(sizeSelection, memoryKind);
    return true;
}

// What the run learns from the walk: a burn over a failed erase is in doubt until a later verify
// of the whole image passes; a failed or incomplete verify fails the run.
void carryResult(bool burn, bool endSeen, bool erased) {
    TargetSession& s = Session();
    if (!endSeen) {
        s.verdict.runFailed = true;
    } else if (burn) {
        if (!erased) s.verdict.imageUnconfirmed = true;
    } else if (Session().verdict.verifyPassed) {
        s.verdict.imageUnconfirmed = false;
    } else {
        s.verdict.runFailed = true;
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
        console.print(Session().verdict.verifyPassed
                          ? "Verification succeeded!!! :-)\n\n"
                          : "***************Verification failed*********************\n\n");
    }
}

}  // namespace

void requireReadableImage(const std::string& path) {
    std::unique_ptr<FILE, ImageFileCloser> file(openImageFile(path));
    if (!file) cannotOpen(path);
}

CheckedImage openCheckedImage(const std::string& path, uint32_t memorySize) {
    std::unique_ptr<FILE, ImageFileCloser> file(openImageFile(path));
    if (!file) cannotOpen(path);
    CheckedImage image{std::move(file), requireByteOrder(path)};
    refuseImageFault(image.file.get(), path, memorySize);
    return image;
}

void requireSoundImage(const std::string& path) {
    (void)openCheckedImage(path, Session().controller.memorySize);
}

void walkImage(const std::string& path, int32_t mode, int32_t memoryKind, const EraseStep& erase,
               const ByteFilter& include, const ConfirmStep& confirm) {
    CheckedImage image = openCheckedImage(path, Session().controller.memorySize);
    std::unique_ptr<FILE, ImageFileCloser>& file = image.file;
    const bool burn = mode == kBurn;
    const bool firstByteMost = image.firstByteMost;
    const uint32_t startMs = platform::CurrentClock().TickMs();

    PrepareMemory(memoryKind);
    const bool erased = !(burn && erase) || erase();
    const int32_t totalLines = countLines(file.get());
    ConsoleUi& console = ConsoleUi::instance();
    console.print(formatText("%s file %s, total lines: %d\n", burn ? "Burning" : "Verifying", path.c_str(),
                             totalLines));
    ImageWalk walk(mode, memoryKind, firstByteMost, totalLines, startMs, include);
    if (Session().options.progress) {
        console.print("\n");
        console.progress(0);
        walk.ProgressStarted();
    }
    forEachHexRecord(file.get(), [&walk](const HexRecordAt& at) {
        walk.Record(at);
        return HexLoop::Next;
    });
    const bool endSeen = walk.Close();
    if (burn && endSeen && confirm) confirm();
    printResult(burn, endSeen, erased, walk.TotalBytes(), startMs);
    carryResult(burn, endSeen, erased);
    file.reset();
    if (!burn) {
        PreBurnRead();
        settleRead(memoryKind);
    }
}

void burnImage(const std::string& path, int32_t mode, int32_t memoryKind, int32_t sizeSelection) {
    EraseStep erase;
    if (Session().options.eraseBeforeBurn)
        erase = [&] { return eraseFirst(path, memoryKind, sizeSelection); };
    walkImage(path, mode, memoryKind, erase, nullptr);
}
