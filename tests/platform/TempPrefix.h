#pragma once
// Every test of this program runs with a fresh prefix of its own, never the user's.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

class TempPrefix {
  public:
    TempPrefix() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tolvar-test-XXXXXX").string();
        m_dir = mkdtemp(pattern.data());
        setenv("TOLVAR_PREFIX", m_dir.c_str(), 1);
    }
    ~TempPrefix() {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    const std::string& Dir() const { return m_dir; }

  private:
    std::string m_dir;
};
