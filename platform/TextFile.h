#pragma once
// Text files read as a Windows text-mode stream reads them: a CR directly before an LF belongs
// to the line end, so CRLF and LF files behave the same.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Next character of the file as a text-mode stream gives it (CR LF comes as LF); EOF at the end.
int GetTextChar(std::FILE* file);

// Reads the next line without its line end; false at end of file with nothing read.
bool ReadTextLine(std::FILE* file, std::string& line);

// The text of a configuration file, read up to maxBytes. Never blocks: a FIFO (whose open waits
// for a writer), a device (which may never end) or a folder is not read, nor is a file larger than
// maxBytes; each gets one warning line on standard error. None for all of these and for a file
// that cannot be opened.
std::optional<std::string> ReadConfigFile(const std::string& path, size_t maxBytes);

// The lines of a text, each without its line end (LF, or CR LF).
std::vector<std::string_view> TextLines(std::string_view text);

// A file opened for reading in text mode; an absent path or a file that cannot be opened reads
// as an empty file.
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
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> m_file;
};

}  // namespace platform
