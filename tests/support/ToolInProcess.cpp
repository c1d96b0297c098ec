#include "tests/support/ToolInProcess.h"

#include <stdlib.h>

#include <filesystem>

#include "console/ConsoleUi.h"
#include "front/CommandLine.h"
#include "link/TargetSession.h"
#include "tests/support/Console.h"

namespace testsupport {

Outcome RunInProcess(const std::vector<std::string>& words, const std::string& input, bool endSession) {
    std::vector<std::string> storage{"Tolvar"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : storage) argv.push_back(word.data());
    argv.push_back(nullptr);
    ConsoleStreams streams(input);
    // The transcripts are a terminal's: progress rewritten in place. The input is a script's.
    OverrideTerminalDetection(ConsoleTerminals{false, true});
    const int code = RunTolvar(static_cast<int>(storage.size()), argv.data(), streams.In(), streams.Out());
    OverrideTerminalDetection(std::nullopt);
    if (endSession) ResetTargetSession();
    return {code, streams.Output()};
}

FreshSession::FreshSession() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvar-front-XXXXXX").string();
    m_prefix = mkdtemp(pattern.data());
    setenv("TOLVAR_PREFIX", m_prefix.c_str(), 1);
    ResetTargetSession();
}

FreshSession::~FreshSession() {
    ResetTargetSession();
    std::error_code ignored;
    std::filesystem::remove_all(m_prefix, ignored);
}

void FreshSession::DeadPorts(std::initializer_list<int> ports) {
    std::filesystem::create_directories(m_prefix + "/dosdevices");
    for (int port : ports) {
        std::string entry = m_prefix + "/dosdevices/com" + std::to_string(port);
        std::error_code ignored;
        std::filesystem::remove(entry, ignored);
        std::filesystem::create_symlink(m_prefix + "/absent-device", entry);
    }
}

Outcome CommandLineTest::Run(const std::vector<std::string>& words, const std::string& input) {
    return RunInProcess(words, input, true);
}

}  // namespace testsupport
