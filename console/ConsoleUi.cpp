#include "console/ConsoleUi.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <memory>

#include "console/CxException.h"
#include "platform/Clock.h"
#include "platform/NamedMutex.h"

namespace {

// Longest answer to a question that is looked at; the rest of the line is dropped.
constexpr size_t kMaxAnswer = 255;

// One line from `in` without its line end (a CR before the LF included); false at end of input.
bool ReadAnswer(std::FILE* in, std::string& answer) {
    answer.clear();
    int c = EOF;
    bool any = false;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
        any = true;
        if (answer.size() < kMaxAnswer) answer += static_cast<char>(c);
    }
    if (c == '\n' && !answer.empty() && answer.back() == '\r') answer.pop_back();
    return any || c == '\n';
}

void WriteText(std::FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

// The instance, created once per process and never destroyed, and the handle on "Eprom" that
// guards its creation, opened at program start like the session's other handles.
ConsoleUi* consoleUi = nullptr;
platform::NamedMutex consoleMutex{"Eprom"};

// The instance's progress length, reached without the creation lock: progress runs often.
int32_t& ProgressTextLength() {
    static int32_t detached = 0;  // operations used without the instance (tests)
    return consoleUi ? consoleUi->progressTextLength() : detached;
}

// Progress as whole lines, for logs: at most one line per tenth of the work, and none before the
// work has run for a second (short work stays quiet). A percentage below the last one starts new
// work.
class LineProgress {
  public:
    static constexpr uint32_t kQuietMs = 1000;

    explicit LineProgress(std::FILE* out) : m_out(out) {}

    void Show(int32_t percent) {
        const uint32_t now = platform::CurrentClock().TickMs();
        if (!m_started || percent < m_lastPercent) {
            m_started = true;
            m_startMs = now;
            m_shownTenth = percent / 10;
        }
        m_lastPercent = percent;
        if (now - m_startMs < kQuietMs || percent / 10 <= m_shownTenth) return;
        m_shownTenth = percent / 10;
        WriteText(m_out, formatText("Progress: %d%%\n", percent));
    }

  private:
    std::FILE* m_out;
    bool m_started = false;
    uint32_t m_startMs = 0;
    int32_t m_lastPercent = 0;
    int32_t m_shownTenth = 0;
};

// The terminal settings a key wait replaced, for a process that ends during the wait.
termios savedTerminal{};
volatile std::sig_atomic_t savedTerminalFd = -1;

bool IsTerminal(std::FILE* stream) {
    const int fd = stream ? ::fileno(stream) : -1;
    return fd >= 0 && ::isatty(fd) == 1;
}

std::optional<ConsoleTerminals>& TerminalOverride() {
    static std::optional<ConsoleTerminals> terminals;
    return terminals;
}

}  // namespace

ConsoleTerminals DetectTerminals(std::FILE* in, std::FILE* out) {
    if (TerminalOverride()) return *TerminalOverride();
    return ConsoleTerminals{IsTerminal(in), IsTerminal(out)};
}

void OverrideTerminalDetection(std::optional<ConsoleTerminals> terminals) {
    TerminalOverride() = terminals;
}

void WaitForKey(std::FILE* in, bool terminal) {
    if (!terminal) return;
    const int fd = ::fileno(in);
    termios line{};
    if (fd < 0 || ::tcgetattr(fd, &line) != 0) {
        std::fgetc(in);
        return;
    }
    // A run in the background of its terminal gets no key: reading would only stop it.
    if (::tcgetpgrp(fd) != ::getpgrp()) return;
    savedTerminal = line;
    savedTerminalFd = fd;
    line.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &line);
    std::fgetc(in);
    RestoreTerminalSettings();
}

void RestoreTerminalSettings() {
    const int fd = savedTerminalFd;
    if (fd < 0) return;
    ::tcsetattr(fd, TCSANOW, &savedTerminal);
    savedTerminalFd = -1;
}

ConsoleUi& ConsoleUi::instance() {
    if (!consoleUi) {
        // A timeout is not examined: the lock only orders instances of the program.
        consoleMutex.Wait(3000);
        consoleUi = new ConsoleUi();
        consoleUi->Install(StandardConsoleOperations(stdin, stdout));
    }
    consoleMutex.Release();
    return *consoleUi;
}

void ConsoleUi::ResetProgressLine() {
    if (consoleUi) consoleUi->m_progressTextLength = 0;
}

void ConsoleUi::Install(Operations operations) {
    m_operations = std::move(operations);
}
void ConsoleUi::print(const std::string& text) {
    m_operations.print(text);
}
void ConsoleUi::progress(int32_t percent) {
    m_operations.progress(percent);
}
bool ConsoleUi::confirm() {
    return m_operations.confirm();
}
void ConsoleUi::errorPause() {
    m_operations.errorPause();
}

ConsoleUi::Operations StandardConsoleOperations(std::FILE* in, std::FILE* out) {
    return StandardConsoleOperations(in, out, DetectTerminals(in, out));
}

ConsoleUi::Operations StandardConsoleOperations(std::FILE* in, std::FILE* out, ConsoleTerminals terminals) {
    ConsoleUi::Operations operations;
    operations.print = [out](const std::string& text) { WriteText(out, text); };
    if (terminals.output) {
        operations.progress = [out](int32_t percent) {
            int32_t& length = ProgressTextLength();
            std::string returns(static_cast<size_t>(std::max(length, 0)), '\r');
            std::string text = formatText("Progress: %d%%", percent);
            WriteText(out, returns + text);
            length = static_cast<int32_t>(text.size());
        };
    } else {
        auto lines = std::make_shared<LineProgress>(out);
        operations.progress = [lines](int32_t percent) { lines->Show(percent); };
    }
    operations.confirm = [in, out]() {
        WriteText(out, "Do you wish to continue? [enter y to continue]\n");
        std::string answer;
        return ReadAnswer(in, answer) && (answer == "y" || answer == "Y");
    };
    operations.errorPause = [in, out, terminal = terminals.input]() {
        WriteText(out, "Error occurred. Press any key to continue . . .\n");
        WaitForKey(in, terminal);
    };
    return operations;
}

void fatalExit() {
    ConsoleUi::instance().errorPause();
    throw ProcessExit{-1};
}
