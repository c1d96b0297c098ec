#include "LineReader.h"

#include <cerrno>
#include <cstring>

#include "quillan.h"

namespace Quillan {

namespace {

constexpr size_t kChunk = 1 << 16;

std::string_view WithoutCr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

LineReader::LineReader(const char* fileName)
    : m_fileName(fileName), m_file(std::fopen(fileName, "rb")), m_buffer(kChunk) {
    if (m_file == nullptr) {
        throw ErrorMessage("Unable to open the iHex file: '%s'\n%s", fileName, std::strerror(errno));
    }
}

LineReader::~LineReader() {
    std::fclose(m_file);
}

bool LineReader::Refill() {
    m_begin = 0;
    m_end = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
    if (m_end == 0 && std::ferror(m_file)) {
        throw ErrorMessage("Unable to read the iHex file: '%s'\n%s", m_fileName, std::strerror(errno));
    }
    return m_end > 0;
}

std::string_view LineReader::CutLine(const char* start) {
    const size_t kept = kLongestLine + 1;
    m_longLine.append(start, kept - m_longLine.size());
    m_cut = true;
    return m_longLine;
}

std::optional<std::string_view> LineReader::NextLine() {
    m_longLine.clear();
    m_cut = false;
    bool any = false;
    for (;;) {
        if (m_begin == m_end && !Refill()) {
            // End of file: a last line without LF keeps a trailing CR, as no LF follows it.
            if (!any) return std::nullopt;
            return std::string_view(m_longLine);
        }
        any = true;
        const char* start = m_buffer.data() + m_begin;
        const size_t available = m_end - m_begin;
        const void* lf = std::memchr(start, '\n', available);
        const size_t length = lf == nullptr ? available : size_t(static_cast<const char*>(lf) - start);
        // One character more for the CR of a CR LF line end.
        if (m_longLine.size() + length > kLongestLine + 1) return CutLine(start);
        if (lf == nullptr) {
            m_longLine.append(start, available);
            m_begin = m_end;
            continue;
        }
        m_begin += length + 1;
        if (m_longLine.empty()) return WithoutCr(std::string_view(start, length));
        m_longLine.append(start, length);
        return WithoutCr(std::string_view(m_longLine));
    }
}

}  // namespace Quillan
