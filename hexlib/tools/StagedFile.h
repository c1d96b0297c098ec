#pragma once
// Outputs of the quillan command: staged privately, then written to their place in one step.
#include <stdexcept>
#include <string>

namespace quillan_tool {

// A failure of the command itself (not of the library); shown after "quillan: ".
class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A file kept in a private folder (made under $TMPDIR, else /tmp) until Commit writes its bytes to
// the target the way platform/WholeFile writes (a regular file replaced in one step with its mode
// kept, links and device nodes written through), so a failed or cut-short run leaves the target as
// it was. The target is checked before anything is staged. The staged file takes the last part of
// `name` (the target's by default), since the library tells a file's byte order from its name; it
// is removed on every way out, INT, TERM, HUP and QUIT included.
class StagedFile {
  public:
    explicit StagedFile(const std::string& target, const std::string& name = "");
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::string& Path() const { return m_path; }
    // The staged file starts as a copy of `source`.
    void CopyFrom(const std::string& source);
    bool Written() const;
    bool SameContentsAs(const std::string& other) const;
    void Commit();

  private:
    std::string m_target;
    std::string m_folder;
    std::string m_path;
};

// Whether both names lead to one existing file (any path, links included).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace quillan_tool
