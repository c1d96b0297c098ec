#include "tests/support/Console.h"

#include <stdio.h>
#include <stdlib.h>

#include "console/ConsoleUi.h"

namespace testsupport {

namespace {
void RestoreStandardConsole() {
    ConsoleUi::instance().Install(StandardConsoleOperations(stdin, stdout));
}
}  // namespace

ConsoleCapture::ConsoleCapture() {
    ConsoleUi::Operations operations;
    operations.print = [this](const std::string& line) { text += line; };
    operations.progress = [](int32_t) {};
    operations.confirm = [] { return true; };
    operations.errorPause = [] {};
    ConsoleUi::instance().Install(std::move(operations));
}

ConsoleCapture::~ConsoleCapture() {
    RestoreStandardConsole();
}

ConsoleRecorder::ConsoleRecorder(std::vector<bool> confirmAnswers) : answers(std::move(confirmAnswers)) {
    ConsoleUi::instance().Install(ConsoleUi::Operations{
        [this](const std::string& text) { printed += text; },
        [this](int32_t percent) { progress.push_back(percent); },
        [this] {
            ++questions;
            if (answers.empty()) return false;
            const bool answer = answers.front();
            answers.erase(answers.begin());
            return answer;
        },
        [this] { ++pauses; },
    });
}

ConsoleRecorder::~ConsoleRecorder() {
    // Its operations point at this object.
    RestoreStandardConsole();
}

ConsoleStreams::ConsoleStreams(const std::string& input) : m_input(input) {
    m_in = m_input.empty() ? std::fopen("/dev/null", "r") : fmemopen(m_input.data(), m_input.size(), "r");
    m_out = open_memstream(&m_buffer, &m_size);
}

ConsoleStreams::~ConsoleStreams() {
    Output();
    std::fclose(m_in);
    std::free(m_buffer);
}

std::string ConsoleStreams::Output() {
    if (m_out) {
        std::fclose(m_out);
        m_out = nullptr;
        m_text.assign(m_buffer, m_size);
    }
    return m_text;
}

}  // namespace testsupport
