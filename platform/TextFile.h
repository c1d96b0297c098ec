#pragma once
// Text files read as a Windows text-mode stream reads them: a CR directly before an LF belongs
// to the line end, so CRLF and LF files behave the same.
#include <cstdio>
#include <string>

namespace platform {

// Reads the next line without its line end; false at end of file with nothing read.
bool ReadTextLine(std::FILE* file, std::string& line);

}  // namespace platform
