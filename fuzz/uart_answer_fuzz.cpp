// Arbitrary firmware output through the UART link's answer handling: a value, a defined error,
// or a retry; never a crash, an overrun or an undefined error.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/ConsoleUi.h"
#include "tests/support/AnswerHarness.h"

namespace {

void PrepareOnce() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    char prefix[] = "/tmp/tolvar-fuzz-XXXXXX";
    if (::mkdtemp(prefix) != nullptr) ::setenv("TOLVAR_PREFIX", prefix, 1);
    ::unsetenv("TOLVAR_TRACE");
    ConsoleUi::Operations quiet = StandardConsoleOperations(stdin, stdout);
    quiet.print = [](const std::string&) {};
    ConsoleUi::instance().Install(std::move(quiet));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PrepareOnce();
    const testsupport::AnswerResult result = testsupport::RunAnswerExchange(data, size);
    if (result.outcome == testsupport::AnswerOutcome::UnknownError) {
        std::fprintf(stderr, "undefined error: %s\n", result.error.c_str());
        std::abort();
    }
    return 0;
}
