#include "imagecheck/FirmwareHeaders.h"

#include <functional>
#include <string>
#include <string_view>

#include "console/TextHelpers.h"
#include "platform/TextFile.h"

namespace {

constexpr size_t kSearchPiece = 1022;
constexpr size_t kJoinPiece = 1023;
// Colon, count, address and type come before a record's data characters.
constexpr size_t kDataColumn = 9;
constexpr size_t kFwLead = 8;

// Value of the leading hex digits of text[pos, pos + width); 0 when there are none.
uint32_t HexField(std::string_view text, size_t pos, size_t width) {
    return pos < text.size() ? LeadingHexValue(text.substr(pos), width) : 0;
}

uint16_t Swap16(uint32_t v) {
    return static_cast<uint16_t>((v & 0xFF) << 8 | (v >> 8 & 0xFF));
}
uint32_t Swap32(uint32_t v) {
    return v >> 24 | (v >> 8 & 0xFF00) | (v << 8 & 0xFF0000) | v << 24;
}

// The header continues into the next record: that record's data (and checksum) take the place
// of this line's record checksum and line end.
void JoinNextRecord(std::string& line, const std::string& next) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    line.resize(line.size() >= 2 ? line.size() - 2 : 0);
    if (next.size() > kDataColumn) line.append(next, kDataColumn);
}

using StartFinder = std::function<size_t(const std::string& line)>;
using HeaderReader = std::function<bool(std::string_view header)>;

// Feeds every header candidate to read until it accepts one. A line read only to be joined
// is searched in its turn as well.
bool SearchHeader(const char* path, const StartFinder& findStart, const HeaderReader& read) {
    platform::TextFile file(path);
    std::string line;
    std::string next;
    bool nextPending = false;
    for (;;) {
        if (nextPending) {
            line.swap(next);
            nextPending = false;
        } else if (!file.ReadPiece(line, kSearchPiece)) {
            return false;
        }
        size_t start = findStart(line);
        if (start == std::string::npos) continue;
        if (file.ReadPiece(next, kJoinPiece)) {
            JoinNextRecord(line, next);
            nextPending = true;
        }
        if (start <= line.size() && read(std::string_view(line).substr(start))) return true;
    }
}

size_t FindFwStart(const std::string& line) {
    // A magic fewer than eight characters into the line leaves no room for the side word
    // in front of it; such an occurrence is passed over.
    size_t pos = line.find("DEC0DDBA", kFwLead);
    if (pos == std::string::npos) pos = line.find("AFBEADDE", kFwLead);
    return pos == std::string::npos ? pos : pos - kFwLead;
}

}  // namespace

std::optional<UptHeader> FindUptHeader(const char* path) {
    UptHeader found;
    auto read = [&found](std::string_view text) {
        UptHeader h;
        h.magic = Swap16(HexField(text, 0, 4));
        h.version = Swap16(HexField(text, 4, 4));
        for (size_t i = 0; i < h.words.size(); ++i) h.words[i] = Swap32(HexField(text, 8 + 8 * i, 8));
        h.checksum = static_cast<uint8_t>(HexField(text, 32, 2));
        found = h;
        return h.magic == kUptMagic;
    };
    auto findStart = [](const std::string& line) { return line.find("A5A5"); };
    if (!SearchHeader(path, findStart, read)) return std::nullopt;
    return found;
}

std::optional<FwHeader> FindFwHeader(const char* path) {
    FwHeader found;
    auto read = [&found](std::string_view text) {
        FwHeader h;
        h.words[0] = HexField(text, 0, 8);
        for (size_t i = 1; i < h.words.size(); ++i) h.words[i] = Swap32(HexField(text, 8 * i, 8));
        found = h;
        return h.words[1] == kFwMagicOld || h.words[1] == kFwMagicNew;
    };
    if (!SearchHeader(path, FindFwStart, read)) return std::nullopt;
    return found;
}

namespace {

// The data characters of a data record up to the "A5A5" text; true when the text was there.
bool TakeDataText(const std::string& line, std::string& taken) {
    if (line.size() <= kDataColumn) return false;
    size_t match = line.find("A5A5", kDataColumn);
    if (match != std::string::npos) {
        taken.append(line, kDataColumn, match - kDataColumn);
        return true;
    }
    if (line.size() > kDataColumn + 2) taken.append(line, kDataColumn, line.size() - 2 - kDataColumn);
    return false;
}

}  // namespace

uint8_t UptChecksum(const char* path) {
    platform::TextFile file(path);
    std::string line;
    std::string taken;
    while (file.ReadLine(line)) {
        if (line.size() < kDataColumn || line.compare(7, 2, "00") != 0) continue;
        if (TakeDataText(line, taken)) break;
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < taken.size(); i += 2) sum = static_cast<uint8_t>(sum + HexField(taken, i, 2));
    return static_cast<uint8_t>(0 - sum);
}
