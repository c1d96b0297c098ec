#include "imagecheck/TextFile.h"

TextFile::TextFile(const char* path) : m_file(path ? std::fopen(path, "rb") : nullptr) {}

int TextFile::Next() {
    int c = std::getc(m_file.get());
    if (c != '\r') return c;
    int after = std::getc(m_file.get());
    if (after == '\n') return '\n';
    if (after != EOF) std::ungetc(after, m_file.get());
    return c;
}

bool TextFile::ReadPiece(std::string& piece, size_t maxChars) {
    piece.clear();
    if (!m_file) return false;
    while (piece.size() < maxChars) {
        int c = Next();
        if (c == EOF) break;
        piece.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !piece.empty();
}

bool TextFile::ReadLine(std::string& line) {
    line.clear();
    if (!m_file) return false;
    int c = Next();
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = Next()) line.push_back(static_cast<char>(c));
    return true;
}
