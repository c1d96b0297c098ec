#pragma once
// Console streams for running the tool in-process: scripted input, captured output.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "link/TargetSession.h"

class ConsoleStreams {
  public:
    explicit ConsoleStreams(const std::string& input = "") : m_input(input) {
        m_in = m_input.empty() ? std::fopen("/dev/null", "r") : fmemopen(m_input.data(), m_input.size(), "r");
        m_out = open_memstream(&m_buffer, &m_size);
    }
    ~ConsoleStreams() {
        Output();
        std::fclose(m_in);
        std::free(m_buffer);
    }
    ConsoleStreams(const ConsoleStreams&) = delete;
    ConsoleStreams& operator=(const ConsoleStreams&) = delete;

    std::FILE* In() const { return m_in; }
    std::FILE* Out() const { return m_out; }
    // Everything written so far (closes the output).
    std::string Output() {
        if (m_out) {
            std::fclose(m_out);
            m_out = nullptr;
            m_text.assign(m_buffer, m_size);
        }
        return m_text;
    }

  private:
    std::string m_input;
    std::FILE* m_in = nullptr;
    std::FILE* m_out = nullptr;
    char* m_buffer = nullptr;
    size_t m_size = 0;
    std::string m_text;
};

// A fresh prefix and start values for each test.
class FreshSession : public ::testing::Test {
  protected:
    FreshSession() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tolvar-front-XXXXXX").string();
        m_prefix = mkdtemp(pattern.data());
        setenv("TOLVAR_PREFIX", m_prefix.c_str(), 1);
        ResetTargetSession();
    }
    ~FreshSession() override {
        ResetTargetSession();
        std::error_code ignored;
        std::filesystem::remove_all(m_prefix, ignored);
    }
    // Ports whose dosdevices entries point at a device that does not exist.
    void DeadPorts(std::initializer_list<int> ports) {
        std::filesystem::create_directories(m_prefix + "/dosdevices");
        for (int port : ports) {
            std::string entry = m_prefix + "/dosdevices/com" + std::to_string(port);
            std::error_code ignored;
            std::filesystem::remove(entry, ignored);
            std::filesystem::create_symlink(m_prefix + "/absent-device", entry);
        }
    }

    std::string m_prefix;
};
