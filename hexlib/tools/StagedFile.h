#pragma once
// Outputs of the quillan command: written whole beside their place, then moved there in one step.
#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace quillan_tool {

// A failure of the command itself (not of the library); shown after "quillan: ".
class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A file kept in a private folder next to its target until Commit renames it over the target, so
// a failed or cut-short write leaves the target as it was. The staged file takes the last part of
// `name` (the target's by default), since the library tells a file's byte order from its name.
class StagedFile {
  public:
    explicit StagedFile(const std::string& target, const std::string& name = "");
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::string& Path() const { return m_path; }
    // The staged file starts as a copy of `source`, with its permissions.
    void CopyFrom(const std::string& source);
    bool Written() const;
    bool SameContentsAs(const std::string& other) const;
    void Commit();

  private:
    std::string m_target;
    std::string m_folder;
    std::string m_path;
    std::optional<mode_t> m_mode;  // set by CopyFrom
};

// Whether both names lead to one existing file (any path, links included).
bool SameFile(const std::string& a, const std::string& b);

// The file a name finally leads to, so that replacing it keeps the links that lead there.
std::string RealPath(const std::string& name);

}  // namespace quillan_tool
