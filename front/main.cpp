#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "console/Interruption.h"
#include "front/CommandLine.h"
#include "link/TargetSession.h"

// A standard stream closed by the caller (`<&-`) would hand its number to the next file opened:
// the serial device would become "standard input" and get the pause's key wait, or "standard
// output" and get the text. Each closed one is opened on /dev/null first.
void KeepStandardStreamsApart() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) (void)::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
}

int main(int argc, char** argv) {
    KeepStandardStreamsApart();
    // Before any port is opened: INT, TERM and HUP stop the run between two exchanges.
    CatchInterruptions();
    // A reader that goes away (a pager quit, `| head`) must not end a burn halfway: the write
    // fails, the text is dropped, the work goes on.
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int code = RunTolvar(argc, argv);
    ReleaseBenchInterfaces();
    return code;
}
