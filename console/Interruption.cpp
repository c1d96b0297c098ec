#include "console/Interruption.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>

#include "console/ConsoleUi.h"
#include "platform/SerialDevice.h"

namespace {

constexpr int kCaught[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t noted = 0;
volatile std::sig_atomic_t thrown = 0;

// A second signal: the run is not winding down fast enough for the user. The ports are released,
// the terminal put back, and the process ends at once.
void OnSignal(int signal) {
    if (noted != 0) {
        platform::ReleaseHeldPortsNow();
        RestoreTerminalSettings();
        std::_Exit(128 + signal);
    }
    noted = signal;
}

}  // namespace

void CatchInterruptions() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int signal : kCaught) {
        struct sigaction current {};
        // A signal ignored by whoever started the run (nohup, a background job) stays ignored.
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: a wait for a key or an answer returns, and the run goes to its end.
        ::sigaction(signal, &action, nullptr);
    }
}

int NotedInterruption() {
    return noted;
}

void StopIfInterrupted() {
    // Not from a destructor while another error unwinds the run: the next exchange will do.
    if (noted == 0 || thrown != 0 || std::uncaught_exceptions() > 0) return;
    thrown = 1;
    throw RunInterrupted{noted};
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

void ForgetInterruption() {
    noted = 0;
    thrown = 0;
}
