#include "platform/TextFile.h"

namespace platform {

bool ReadTextLine(std::FILE* file, std::string& line) {
    line.clear();
    int c;
    bool any = false;
    while ((c = std::fgetc(file)) != EOF) {
        any = true;
        if (c == '\n') break;
        line += static_cast<char>(c);
    }
    if (c == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

}  // namespace platform
