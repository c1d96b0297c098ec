#pragma once
// Reads a text file line by line the way the library's files are read everywhere: lines end at LF,
// a CR directly before the LF belongs to the line end, and a last line without LF still counts.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Quillan {

class LineReader {
  public:
    // No record is this long: a line past it can only be refused, and it is refused where it is
    // met, so a file of one endless line never grows the memory.
    static constexpr size_t kLongestLine = 1024;

    // Throws ErrorMessage when the file cannot be opened.
    explicit LineReader(const char* fileName);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line without its line end, valid until the next call; none at the end of the file.
    // A line longer than kLongestLine comes as its first kLongestLine + 1 characters, with Cut()
    // true; the rest of the file is not read. Throws ErrorMessage when reading fails (a directory,
    // an I/O error).
    std::optional<std::string_view> NextLine();
    bool Cut() const { return m_cut; }

  private:
    bool Refill();
    std::string_view CutLine(const char* start);

    const char* m_fileName;
    std::FILE* m_file;
    std::vector<char> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    std::string m_longLine;
    bool m_cut = false;
};

}  // namespace Quillan
