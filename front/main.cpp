#include <cstdio>

#include "front/CommandLine.h"
#include "link/TargetSession.h"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int code = RunTolvar(argc, argv);
    ReleaseBenchInterfaces();
    return code;
}
