#pragma once
// What the tool prints, caught: console operations that record, and C streams for running the
// tool in process (scripted input, captured output).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

// Collects what goes to the console; every confirmation is answered yes.
class ConsoleCapture {
  public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    std::string text;
};

// Installs itself as the console's operations; the answers to confirm are given in order (no
// when they run out).
class ConsoleRecorder {
  public:
    explicit ConsoleRecorder(std::vector<bool> confirmAnswers = {});
    ~ConsoleRecorder();
    ConsoleRecorder(const ConsoleRecorder&) = delete;
    ConsoleRecorder& operator=(const ConsoleRecorder&) = delete;

    std::string printed;
    std::vector<int32_t> progress;
    std::vector<bool> answers;
    int questions = 0;
    int pauses = 0;
};

// Console streams for running the tool in process.
class ConsoleStreams {
  public:
    explicit ConsoleStreams(const std::string& input = "");
    ~ConsoleStreams();
    ConsoleStreams(const ConsoleStreams&) = delete;
    ConsoleStreams& operator=(const ConsoleStreams&) = delete;

    std::FILE* In() const { return m_in; }
    std::FILE* Out() const { return m_out; }
    // Everything written so far (closes the output).
    std::string Output();

  private:
    std::string m_input;
    std::FILE* m_in = nullptr;
    std::FILE* m_out = nullptr;
    char* m_buffer = nullptr;
    size_t m_size = 0;
    std::string m_text;
};

}  // namespace testsupport
