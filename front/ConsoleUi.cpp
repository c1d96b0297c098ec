#include "front/ConsoleUi.h"

#include <algorithm>

#include "front/CxException.h"
#include "link/TargetSession.h"

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

}  // namespace

ConsoleUi& ConsoleUi::instance() {
    static ConsoleUi* created = nullptr;
    TargetSession& session = Session();
    if (!session.consoleUi) {
        // A timeout is not examined: the lock only orders instances of the program.
        session.consoleMutex.Wait(3000);
        if (!created) {
            created = new ConsoleUi();
            created->Install(StandardConsoleOperations(stdin, stdout));
        }
        session.consoleUi = created;
    }
    session.consoleMutex.Release();
    return *session.consoleUi;
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
        int32_t& length = Session().progressTextLength;
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
