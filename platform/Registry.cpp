#include "platform/Registry.h"

#include <strings.h>

#include "platform/Prefix.h"
#include "platform/TextFile.h"

namespace platform {
namespace {

// The bench environment keeps a few values here; a file this large is not one it wrote.
constexpr size_t kLargestRegistry = 4 << 20;

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Reads a quoted string starting at text[pos] == '"' with \\ and \" escapes; pos ends after
// the closing quote. False when the string is not closed.
bool ReadQuoted(const std::string& text, size_t& pos, std::string& out) {
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < text.size()) c = text[++pos];
        out += c;
    }
    return false;
}

// Splits a string-value line ("name"="value" or @="value"); false for anything else.
bool ParseStringValue(const std::string& line, std::string& name, std::string& value) {
    size_t pos = 0;
    if (line.compare(0, 2, "@=") == 0) {
        name.clear();
        pos = 1;
    } else if (line.empty() || line[0] != '"' || !ReadQuoted(line, pos, name)) {
        return false;
    }
    if (pos + 1 >= line.size() || line[pos] != '=' || line[pos + 1] != '"') return false;
    pos += 1;
    return ReadQuoted(line, pos, value);
}

}  // namespace

std::optional<std::string> ReadRegistryString(const std::string& file, const std::string& keyPath,
                                              const std::string& valueName) {
    const std::optional<std::string> text = ReadConfigFile(file, kLargestRegistry);
    if (!text) return std::nullopt;
    bool inKey = false;
    std::string name, value;
    for (const std::string_view view : TextLines(*text)) {
        const std::string line(view);
        if (!line.empty() && line[0] == '[') {
            size_t close = line.rfind(']');
            inKey = close != std::string::npos && SameIgnoringCase(line.substr(1, close - 1), keyPath);
        } else if (inKey && ParseStringValue(line, name, value) && SameIgnoringCase(name, valueName)) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> ReadUserRegistryString(const std::string& keyPath, const std::string& valueName) {
    return ReadRegistryString(UserRegPath(), "HKEY_CURRENT_USER\\" + keyPath, valueName);
}

}  // namespace platform
