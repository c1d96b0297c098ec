#pragma once
// Reads a file the way a text-mode stream does: a CR right before an LF is part of the line
// end and dropped, so CRLF and LF files read alike.
#include <cstdio>
#include <memory>
#include <string>

class TextFile {
  public:
    explicit TextFile(const char* path);

    bool IsOpen() const { return m_file != nullptr; }

    // Up to maxChars characters, ending after the first line end; a longer line comes in
    // pieces. False at the end of the file.
    bool ReadPiece(std::string& piece, size_t maxChars);
    // A whole line without its line end. False at the end of the file.
    bool ReadLine(std::string& line);

  private:
    int Next();

    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> m_file;
};
