// Which connection the bench server uses, as its configuration program Talmer stored it.
#include "link/bench/BenchTarget.h"

#include <climits>
#include <cstdlib>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "link/bench/BenchRegistry.h"

namespace {

[[noreturn]] void Raise(const std::string& text) {
    throw CxExceptionError(text, 0);
}

// Leading decimal digits as atoi reads them, held to the 32-bit range.
int32_t LeadingNumber(const std::string& text) {
    long long number = std::strtoll(text.c_str(), nullptr, 10);
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

void OpenBenchUart(const BenchCommandSender& command) {
    std::optional<std::string> port = ReadTalmerValue("comPort2");
    if (!port) Raise("Could not read registry val 'comPort2'. Set Norvik target from Talmer first");
    int32_t number = LeadingNumber(*port);
    if (command(formatText("a %d %d", 2, number)) < 0)
        Raise(formatText("Could not open UART com port %d.", number));
}

}  // namespace

void SelectBenchTarget(const BenchCommandSender& command) {
    std::optional<std::string> selected = ReadTalmerValue("SelectedInterface");
    if (!selected)
        Raise("Could not read registry val 'SelectedInterface'. Set Norvik target from Talmer first");
    char kind = selected->empty() ? '\0' : selected->front();
    if (kind == '0') {
        OpenBenchUart(command);
    } else if (kind == '1') {
        if (command("e") < 0)
            Raise("Error connecting to Ethernet. Please check default device configuration.\n");
    } else if (kind == '2') {
        if (command("v") < 0) Raise("Could not connect to Corvane.");
    } else {
        Raise("Target type not supported.");
    }
}
