#include "tests/link/LinkTestSupport.h"

#include <cstdlib>
#include <filesystem>

namespace linktest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvar-link-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

ScopedPrefix::ScopedPrefix() {
    const char* previous = std::getenv("TOLVAR_PREFIX");
    m_hadPrevious = previous != nullptr;
    if (m_hadPrevious) m_previous = previous;
    ::setenv("TOLVAR_PREFIX", m_dir.Path().c_str(), 1);
}

ScopedPrefix::~ScopedPrefix() {
    if (m_hadPrevious) {
        ::setenv("TOLVAR_PREFIX", m_previous.c_str(), 1);
    } else {
        ::unsetenv("TOLVAR_PREFIX");
    }
}

ConsoleCapture::ConsoleCapture() {
    ConsoleUi::Operations operations;
    operations.print = [this](const std::string& line) { text += line; };
    operations.progress = [](int32_t) {};
    operations.confirm = [] { return true; };
    operations.errorPause = [] {};
    ConsoleUi::instance().Install(std::move(operations));
}

ConsoleCapture::~ConsoleCapture() {
    ConsoleUi::instance().Install(StandardConsoleOperations(stdin, stdout));
}

platform::DeviceOpenResult OpenFailed(platform::OpenFailure failure, const std::string& text) {
    platform::DeviceOpenResult result;
    result.failure = failure;
    result.errorText = text;
    return result;
}

CountingOpener::CountingOpener(Factory factory)
    : m_factory(std::move(factory)), m_scope([this](const std::string& name) {
          ++opens;
          lastName = name;
          return m_factory(name);
      }) {}

}  // namespace linktest
