// tolvar-board: the simulated board pair on pseudo-terminals.
#include <csignal>
#include <cstdio>

#include "board/program/BoardProgram.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    board::ProgramOptions options;
    std::string error;
    if (!board::ParseProgramOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "tolvar-board: %s\n%s", error.c_str(), board::ProgramUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(board::ProgramUsage().c_str(), stdout);
        return 0;
    }
    // The signals stay blocked except while the serving loop waits, so none is lost between a
    // check of the flag and the wait.
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return board::RunBoard(options, g_stop, waitMask);
}
