#include "console/ConsoleUi.h"

#include <algorithm>

#include "console/CxException.h"
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

}  // namespace

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
    ConsoleUi::Operations operations;
    operations.print = [out](const std::string& text) { WriteText(out, text); };
    operations.progress = [out](int32_t percent) {
        int32_t& length = ProgressTextLength();
        std::string returns(static_cast<size_t>(std::max(length, 0)), '\r');
        std::string text = formatText("Progress: %d%%", percent);
        WriteText(out, returns + text);
        length = static_cast<int32_t>(text.size());
    };
    operations.confirm = [in, out]() {
        WriteText(out, "Do you wish to continue? [enter y to continue]\n");
        std::string answer;
        return ReadAnswer(in, answer) && (answer == "y" || answer == "Y");
    };
    operations.errorPause = [in, out]() {
        WriteText(out, "Error occurred. Press any key to continue . . .\n");
        std::fgetc(in);
    };
    return operations;
}

void fatalExit() {
    ConsoleUi::instance().errorPause();
    throw ProcessExit{-1};
}
