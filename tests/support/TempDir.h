#pragma once
// Temporary directories and files for tests, and a private $TOLVAR_PREFIX.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// A fresh directory, removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string Path(const std::string& name) const { return m_path + "/" + name; }
    // Writes the file and returns its path.
    std::string Write(const std::string& name, const std::string& content) const;
    // Writes the lines, each followed by eol, and returns the file's path.
    std::string Write(const std::string& name, const std::vector<std::string>& lines,
                      const std::string& eol = "\n") const;
    std::string WriteRaw(const std::string& name, const std::string& bytes) const {
        return Write(name, bytes);
    }

  private:
    std::string m_path;
};

// Points $TOLVAR_PREFIX at a fresh directory for the lifetime of the object, then back.
class ScopedPrefix {
  public:
    ScopedPrefix();
    ~ScopedPrefix();
    ScopedPrefix(const ScopedPrefix&) = delete;
    ScopedPrefix& operator=(const ScopedPrefix&) = delete;

    const std::string& Path() const { return m_dir.Path(); }
    const std::string& Dir() const { return m_dir.Path(); }
    std::string Path(const std::string& name) const { return m_dir.Path(name); }
    // Writes user.reg with the given text.
    void WriteUserReg(const std::string& text) const;
    // user.reg with the Talmer key and the given values (name, value).
    void WriteTalmer(const std::vector<std::pair<std::string, std::string>>& values) const;

  private:
    TempDir m_dir;
    std::string m_previous;
    bool m_hadPrevious = false;
};

using TempPrefix = ScopedPrefix;

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::vector<uint8_t> ReadBytes(const std::string& path);
std::string AsText(const std::vector<uint8_t>& bytes);

}  // namespace testsupport
