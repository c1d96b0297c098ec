#include "front/RunRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

#include "chip/ChipFacts.h"
#include "console/TextHelpers.h"
#include "flash/MemoryKind.h"
#include "front/Sha256.h"
#include "image/HexReader.h"
#include "imagecheck/ImageCheck.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"
#include "platform/PortId.h"
#include "platform/Prefix.h"

namespace {

// A message longer than this is kept only in its first part: a reason is a line or two.
constexpr size_t kNoteLimit = 2000;

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, std::min(last + 1 - first, kNoteLimit));
}

// Length of the valid UTF-8 sequence at the start of the text; 0 when there is none.
size_t Utf8Length(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(0);
    size_t length = 0;
    uint8_t low = 0x80;  // the range the second byte must lie in
    uint8_t high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

// Builds the object text field by field.
class JsonObject {
  public:
    JsonObject& Raw(const char* key, const std::string& value) {
        m_text += (m_text.empty() ? "{" : ",") + JsonString(key) + ":" + value;
        return *this;
    }
    JsonObject& Text(const char* key, const std::optional<std::string>& value) {
        return Raw(key, value ? JsonString(*value) : "null");
    }
    JsonObject& Number(const char* key, std::optional<uint64_t> value) {
        return Raw(key, value ? std::to_string(*value) : "null");
    }
    std::string Close() const { return m_text.empty() ? "{}" : m_text + "}"; }

  private:
    std::string m_text;
};

std::string Hex(uint32_t value, int digits) {
    return formatText("0x%0*x", digits, value);
}

std::string IsoTime(int64_t wallMs) {
    const time_t seconds = static_cast<time_t>(wallMs / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(text, length) + formatText(".%03dZ", static_cast<int>(wallMs % 1000));
}

// Path, size and fingerprint of a regular file (nothing is read from a pipe or a device); with
// imageFacts also the firmware version and the CRC record the image carries.
std::string FileObject(const std::string& path, bool imageFacts) {
    JsonObject file;
    file.Text("path", path);
    std::optional<uint64_t> size;
    std::optional<std::string> sha256;
    struct stat info {};
    const int fd = ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)
                       ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                       : -1;
    if (fd >= 0) {
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            size = static_cast<uint64_t>(info.st_size);
            const std::string digest = Sha256OfDescriptor(fd);
            if (!digest.empty()) sha256 = digest;
        }
        ::close(fd);
    }
    file.Number("size", size).Text("sha256", sha256);
    if (!imageFacts) return file.Close();
    std::optional<std::string> version;
    std::optional<uint64_t> type;
    std::optional<std::string> crc;
    if (size) {
        if (const std::optional<uint32_t> word = findImageVersion(path)) {
            version = Hex((*word >> 12) & 0xFFFF, 4);
            type = *word >> 28;
        }
        if (const std::optional<uint32_t> value = FindCrcRecord(path.c_str())) crc = Hex(*value, 8);
    }
    return file.Text("firmware_version", version).Number("firmware_type", type).Text("crc", crc).Close();
}

// The device a port name reaches: what the prefix's entry points to (one link followed, so that a
// /dev/serial/by-id name stays), else the path it holds, else the default device.
std::optional<std::string> DeviceOfPort(const std::string& name) {
    const std::optional<platform::PortId> given = platform::PortFromText(name);
    if (given && given->IsNetwork()) return name;  // a port server is reached by its URL
    std::string path = given ? name : std::string();
    try {
        if (!given) path = platform::ComPortDevicePath(name);
    } catch (const std::exception&) {
        return std::nullopt;  // a prefix the run could not use names no device
    }
    if (path.empty()) return std::nullopt;
    std::array<char, 4096> target{};
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size() - 1);
    if (length <= 0) return path;
    const std::string linked(target.data(), static_cast<size_t>(length));
    return linked[0] == '/' ? linked : path.substr(0, path.rfind('/') + 1) + linked;
}

std::string PortObject(const RunFacts& facts) {
    if (facts.linkKind != Uart || !facts.port) return "null";
    return JsonObject().Text("name", facts.port).Text("device", DeviceOfPort(*facts.port)).Close();
}

std::string ChipObject() {
    const std::optional<uint32_t> id = Session().link.chipId;
    if (!id) return "null";
    std::optional<uint64_t> revision;
    if (chip::IsOstralId(*id)) revision = *id & chip::kRevisionBits;
    return JsonObject()
        .Text("family", std::string(chip::FamilyName(*id)))
        .Number("revision", revision)
        .Text("id", Hex(*id, 8))
        .Close();
}

std::string MemoryObject(int32_t memoryKind) {
    const uint32_t size = Session().controller.memorySize;
    if (size == 0) return "null";
    return JsonObject()
        .Number("kind", static_cast<uint64_t>(memoryKind))
        .Text("name", std::string(KindRow(memoryKind).name))
        .Number("size", size)
        .Close();
}

const char* LinkName(int32_t kind) {
    if (kind == LinkNone) return nullptr;
    return kind == Uart ? "uart" : "bench";
}

}  // namespace

void ReasonNotes::Note(std::string_view message) {
    const std::string_view text = Trimmed(message);
    if (text.empty()) return;
    m_last.assign(text);
    if (m_firstError.empty() && (text.starts_with("Error") || text.starts_with("Exception")))
        m_firstError = m_last;
}

void ReasonNotes::Conclude(std::string_view message) {
    m_conclusion.assign(Trimmed(message));
}

std::string ReasonNotes::Reason() const {
    if (!m_conclusion.empty()) return m_conclusion;
    return m_firstError.empty() ? m_last : m_firstError;
}

RunFacts StartRunFacts(int argc, char** argv) {
    RunFacts facts;
    for (int i = 1; i < argc; ++i) facts.words.emplace_back(argv[i]);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    facts.startWallMs = int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    facts.startTick = platform::CurrentClock().TickMs();
    return facts;
}

std::string RunRecordPath() {
    const char* path = std::getenv("TOLVAR_REPORT");
    return path ? path : "";
}

std::string RunRecordLine(const RunFacts& facts, const RunEnding& ending, const char* toolVersion) {
    const Verdict& verdict = Session().verdict;
    std::string words = "[";
    for (const std::string& word : facts.words) words += (words.size() > 1 ? "," : "") + JsonString(word);
    words += "]";
    const uint32_t elapsedMs = platform::CurrentClock().TickMs() - facts.startTick;
    const char* link = LinkName(facts.linkKind);
    const bool failed = ending.code != 0 || ending.signal != 0;
    JsonObject record;
    record.Text("start", IsoTime(facts.startWallMs))
        .Raw("duration_s", formatText("%u.%03u", elapsedMs / 1000, elapsedMs % 1000))
        .Text("tool", std::string("Tolvar"))
        .Text("version", std::string(toolVersion))
        .Raw("words", words)
        .Text("link", link ? std::optional<std::string>(link) : std::nullopt)
        .Raw("port", PortObject(facts))
        .Text("side", facts.side == 1   ? std::optional<std::string>("source")
                      : facts.side == 0 ? std::optional<std::string>("sink")
                                        : std::nullopt)
        .Raw("chip", ChipObject())
        .Raw("memory", MemoryObject(facts.memoryKind))
        .Raw("image", facts.imagePath ? FileObject(*facts.imagePath, true) : "null")
        .Raw("saved", facts.savedPath ? FileObject(*facts.savedPath, false) : "null")
        .Number("bytes_written", verdict.bytesWritten)
        .Number("bytes_compared", verdict.bytesCompared)
        .Number("units_skipped", verdict.unitsSkipped)
        .Number("units_rewritten", verdict.unitsRewritten)
        .Text("result", std::string(ending.signal != 0 ? "interrupted"
                                    : failed           ? "failed"
                                                       : "passed"))
        .Number("exit_code", static_cast<uint64_t>(ending.code & 0xFF))
        .Text("reason", failed ? std::optional<std::string>(ending.reason) : std::nullopt);
    return record.Close() + "\n";
}

bool AppendRunRecord(const std::string& path, const std::string& line) {
    // Never blocking: a pipe nobody reads must not hold the end of a burn.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    ssize_t written = -1;
    if (fd >= 0) {
        do {
            written = ::write(fd, line.data(), line.size());
        } while (written < 0 && errno == EINTR);
    }
    int error = fd < 0 || written < 0 ? errno : ENOSPC;
    bool whole = written == static_cast<ssize_t>(line.size());
    if (fd >= 0 && ::close(fd) != 0 && whole) {
        error = errno;
        whole = false;
    }
    if (whole) return true;
    std::fprintf(stderr, "Warning: the run record could not be written to %s: %s\n", path.c_str(),
                 std::strerror(error));
    return false;
}

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    while (!text.empty()) {
        const auto c = static_cast<uint8_t>(text[0]);
        const size_t length = Utf8Length(text);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c == '\n') {
            json += "\\n";
        } else if (c == '\r') {
            json += "\\r";
        } else if (c == '\t') {
            json += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            json += formatText("\\u%04x", c);
        } else if (length == 0) {
            json += "\\ufffd";
        } else {
            json.append(text.substr(0, length));
        }
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return json + "\"";
}
