#include "platform/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

std::optional<std::string> ReadConfigFile(const std::string& path, size_t maxBytes) {
    // Non-blocking, so that a FIFO without a writer does not hold the open.
    const Descriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0) return std::nullopt;
    struct stat info {};
    if (fstat(file.fd, &info) != 0) return std::nullopt;
    if (!S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "Warning: %s is not a regular file; it is not read.\n", path.c_str());
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    ssize_t count = 0;
    while (text.size() <= maxBytes && (count = read(file.fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(count));
    if (count < 0) return std::nullopt;
    if (text.size() > maxBytes) {
        std::fprintf(stderr, "Warning: %s is larger than %zu bytes; it is not read.\n", path.c_str(),
                     maxBytes);
        return std::nullopt;
    }
    return text;
}

std::vector<std::string_view> TextLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    }
    return lines;
}

int GetTextChar(std::FILE* file) {
    int c = std::getc(file);
    if (c != '\r') return c;
    int after = std::getc(file);
    if (after == '\n') return '\n';
    if (after != EOF) std::ungetc(after, file);
    return c;
}

bool ReadTextLine(std::FILE* file, std::string& line) {
    line.clear();
    int c = GetTextChar(file);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = GetTextChar(file)) line.push_back(static_cast<char>(c));
    return true;
}

TextFile::TextFile(const char* path) : m_file(path ? std::fopen(path, "rb") : nullptr) {}

bool TextFile::ReadPiece(std::string& piece, size_t maxChars) {
    piece.clear();
    if (!m_file) return false;
    while (piece.size() < maxChars) {
        int c = GetTextChar(m_file.get());
        if (c == EOF) break;
        piece.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !piece.empty();
}

bool TextFile::ReadLine(std::string& line) {
    line.clear();
    return m_file && ReadTextLine(m_file.get(), line);
}

}  // namespace platform
