#include "tests/support/TempDir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvar-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string TempDir::Write(const std::string& name, const std::vector<std::string>& lines,
                           const std::string& eol) const {
    std::string text;
    for (const std::string& line : lines) text += line + eol;
    return Write(name, text);
}

ScopedPrefix::ScopedPrefix() {
    if (const char* previous = ::getenv("TOLVAR_PREFIX")) {
        m_previous = previous;
        m_hadPrevious = true;
    }
    ::setenv("TOLVAR_PREFIX", m_dir.Path().c_str(), 1);
}

ScopedPrefix::~ScopedPrefix() {
    if (m_hadPrevious) {
        ::setenv("TOLVAR_PREFIX", m_previous.c_str(), 1);
    } else {
        ::unsetenv("TOLVAR_PREFIX");
    }
}

void ScopedPrefix::WriteUserReg(const std::string& text) const {
    WriteFile(Path("user.reg"), text);
}

void ScopedPrefix::WriteTalmer(const std::vector<std::pair<std::string, std::string>>& values) const {
    std::string text =
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Talmer\\Startup]\n";
    for (const auto& [name, value] : values) text += "\"" + name + "\"=\"" + value + "\"\n";
    WriteUserReg(text);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string AsText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace testsupport
