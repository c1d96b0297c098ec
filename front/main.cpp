#include <csignal>
#include <cstdio>

#include "front/CommandLine.h"
#include "link/TargetSession.h"

int main(int argc, char** argv) {
    // A reader that goes away (a pager quit, `| head`) must not end a burn halfway: the write
    // fails, the text is dropped, the work goes on.
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int code = RunTolvar(argc, argv);
    ReleaseBenchInterfaces();
    return code;
}
