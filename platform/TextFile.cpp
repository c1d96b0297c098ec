#include "platform/TextFile.h"

namespace platform {

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
