#include "image/UpdateImage.h"

#include <algorithm>
#include <memory>
#include <string>

#include "console/ConsoleUi.h"
#include "flash/FlashDriver.h"
#include "image/BurnWalk.h"
#include "image/FlashMap.h"
#include "image/HexReader.h"
#include "image/ImageOps.h"
#include "image/Progress.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

UnitImage::UnitImage(uint32_t unitSize, uint32_t coveredBytes, bool restErased)
    : m_unitSize(unitSize), m_coveredBytes(coveredBytes), m_restErased(restErased) {}

void UnitImage::Put(uint32_t address, uint8_t byte) {
    if (address >= m_coveredBytes) return;
    const uint32_t unitAddress = address - address % m_unitSize;
    auto [it, added] = m_units.try_emplace(unitAddress);
    UnitContent& unit = it->second;
    if (added) {
        unit.bytes.assign(m_unitSize, 0xFF);
        unit.counts.assign(m_unitSize, m_restErased);
    }
    unit.bytes[address - unitAddress] = byte;
    unit.counts[address - unitAddress] = true;
}

void UnitImage::Read(FILE* file, bool firstByteMost) {
    forEachHexRecord(file, [&](const HexRecordAt& at) {
        if (at.record.type != HexData) return HexLoop::Next;
        for (uint32_t i = 0; i < at.record.count; ++i)
            Put(landingAddress(at.address + i, firstByteMost), at.record.data[i]);
        return HexLoop::Next;
    });
}

namespace {

constexpr uint32_t kBlock = kBlockBufferSize;

uint8_t ByteOf(uint32_t word, size_t k) {
    return static_cast<uint8_t>(word >> (24 - 8 * k));
}

}  // namespace

bool UnitComparer::Matches(uint32_t unitAddress, const UnitContent& unit) {
    ReadFrom(unitAddress);
    m_next = unitAddress + static_cast<uint32_t>(unit.bytes.size());
    for (size_t offset = 0; offset < unit.bytes.size(); offset += kBlock) {
        const size_t length = std::min<size_t>(kBlock, unit.bytes.size() - offset);
        const auto counts = unit.counts.begin() + static_cast<std::ptrdiff_t>(offset);
        Session().verdict.bytesCompared +=
            static_cast<uint64_t>(std::count(counts, counts + static_cast<std::ptrdiff_t>(length), true));
        if (BlockMatches(unit, offset, length)) continue;
        // The rest of the unit need not be read: the next unit opens a read of its own.
        Close();
        return false;
    }
    return true;
}

// Reads run on through consecutive units but, as the verify does, start anew at 64 KiB boundaries.
void UnitComparer::ReadFrom(uint32_t address) {
    if (m_open && m_next == address && (address & 0xFFFF) != 0) return;
    Close();
    StartRead(m_memoryKind, address, m_fast);
    m_open = true;
}

void UnitComparer::Close() {
    if (!m_open) return;
    CloseRead(m_memoryKind);
    m_open = false;
}

bool UnitComparer::BlockMatches(const UnitContent& unit, size_t offset, size_t length) {
    const auto first = unit.counts.begin() + static_cast<std::ptrdiff_t>(offset);
    const bool whole =
        std::all_of(first, first + static_cast<std::ptrdiff_t>(length), [](bool b) { return b; });
    // The block check compares every byte: a block with bytes that do not count goes word by word.
    if (!m_fast || !whole) return WordsMatch(unit, offset, length);
    QueueFastBytes(unit.bytes.data() + offset, length);
    return VerifyFastPending();
}

bool UnitComparer::WordsMatch(const UnitContent& unit, size_t offset, size_t length) {
    bool same = true;
    for (size_t w = offset; w < offset + length; w += 4) {
        const uint32_t word = ReadWord(m_memoryKind);
        for (size_t k = 0; k < 4; ++k) {
            if (unit.counts[w + k] && unit.bytes[w + k] != ByteOf(word, k)) same = false;
        }
    }
    return same;
}

namespace {

constexpr uint32_t kPageSize = 128;

// Units whose memory differs from the image, in ascending order.
std::vector<uint32_t> differingUnits(const UnitImage& image, int32_t memoryKind) {
    std::vector<uint32_t> differing;
    ConsoleUi& console = ConsoleUi::instance();
    ThrottledProgress progress(image.Units().size());
    if (Session().options.progress) console.progress(0);
    UnitComparer comparer(memoryKind, Session().options.fast != 0);
    size_t done = 0;
    for (const auto& [address, unit] : image.Units()) {
        if (!comparer.Matches(address, unit)) differing.push_back(address);
        ++done;
        progress.Done(done);
    }
    comparer.Close();
    if (Session().options.progress) console.progress(100);
    return differing;
}

// Sectors of an SPI flash go as a partial erase does: whole blocks where all 16 differ. EEPROM
// pages are written over without an erase.
// False when a unit was still busy at its time-out.
bool eraseUnits(const std::vector<uint32_t>& differing, int32_t memoryKind) {
    if (!IsSpiFlash(memoryKind) || differing.empty()) return true;
    FlashMap map;
    map.clear(0);
    for (uint32_t address : differing) map.markAddressSelected(address);
    return eraseSelected(map, memoryKind, platform::CurrentClock().TickMs());
}

// Every rewritten unit read back before the update reports success: a memory that refused the
// writes, or a flash written over without an erase (its cells only go from 1 to 0), must not end
// as a success.
void confirmRewritten(const UnitImage& image, const std::vector<uint32_t>& rewritten, int32_t memoryKind,
                      const char* units) {
    UnitComparer comparer(memoryKind, Session().options.fast != 0);
    size_t wrong = 0;
    uint32_t first = 0;
    for (uint32_t address : rewritten) {
        if (comparer.Matches(address, image.Units().at(address))) continue;
        if (wrong++ == 0) first = address;
    }
    comparer.Close();
    if (wrong == 0) return;
    ConsoleUi::instance().print(
        formatText("\nError: %zu of the %zu rewritten %s still differ from the image, "
                   "the first at 0x%x: the memory did not take the writes. Update "
                   "failed.\n",
                   wrong, rewritten.size(), units, first));
    fatalExit();
}

}  // namespace

void updateImage(const std::string& path, int32_t memoryKind, int32_t sizeSelection) {
    CheckedImage checked = openCheckedImage(path, Session().controller.memorySize);
    std::unique_ptr<FILE, ImageFileCloser>& file = checked.file;
    PrepareMemory(memoryKind);
    // The update-section mark is cleared as a burn clears it; the compare then sees the result.
    if (!IsSpiEeprom(memoryKind) && !IsSpiFlash(memoryKind)) EraseUpdateSection(sizeSelection, memoryKind);
    const bool flash = IsSpiFlash(memoryKind);
    UnitImage image(flash ? FlashMap::kSectorSize : kPageSize,
                    flash ? FlashMap::kCoveredBytes : static_cast<uint32_t>(Session().controller.eepromSize),
                    flash);
    image.Read(file.get(), checked.firstByteMost);
    file.reset();
    const std::vector<uint32_t> differing = differingUnits(image, memoryKind);
    const size_t skipped = image.Units().size() - differing.size();
    Verdict& verdict = Session().verdict;
    verdict.unitsSkipped = verdict.unitsSkipped.value_or(0) + skipped;
    verdict.unitsRewritten = verdict.unitsRewritten.value_or(0) + differing.size();
    const char* units = flash ? "sectors" : "pages";
    ConsoleUi::instance().print(formatText("\nUpdate: %zu %s unchanged and skipped, %zu rewritten.\n",
                                           skipped, units, differing.size()));
    const uint32_t unitSize = image.UnitSize();
    walkImage(
        path, 1, memoryKind, [&] { return eraseUnits(differing, memoryKind); },
        [&differing, unitSize](uint32_t address) {
            return std::binary_search(differing.begin(), differing.end(), address - address % unitSize);
        },
        [&] { confirmRewritten(image, differing, memoryKind, units); });
}
