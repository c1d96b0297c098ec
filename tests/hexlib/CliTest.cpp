// The quillan command: output, error text and exit code of each subcommand.
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "HexFiles.h"

namespace hextest {
namespace {

struct Outcome {
    int exitCode;
    std::string output;  // standard output and standard error
};

Outcome RunCli(const std::string& arguments) {
    Outcome outcome{-1, ""};
    std::FILE* pipe = popen((std::string(QUILLAN_CLI_PATH) + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, count);
    const int status = pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

class Cli : public ScratchDir {};

TEST_F(Cli, SubcommandsPrintResultsAndExitCodes) {
    const std::string hex = Write("x.hex", DataLine(0, {1, 2, 3, 4}) + "\n" + kEof + "\n");
    const std::string bad = Write("bad.hex", "junk\n");
    struct Case {
        std::string arguments;
        int exitCode;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"", 1, "quillan: wrong arguments (see quillan --help)\n"},
        {"crc write " + hex, 1, "quillan: wrong arguments (see quillan --help)\n"},
        {"crc read " + hex + " 5", 1, "quillan: wrong arguments (see quillan --help)\n"},
        {"register " + hex + " 0x1G", 1, "quillan: wrong arguments (see quillan --help)\n"},
        {"crc calculate " + hex, 0, "0x00000000\n"},
        {"crc read " + hex, 1, "no CRC record\n"},
        {"crc validate " + hex, 1, "no CRC record\n"},
        {"register " + hex + " 0", 0, "0x01020304\n"},
        {"version " + hex, 0, "0x0000\n"},
        {"fw-image " + hex + " " + Path("fw.bin"), 1,
         "quillan: nothing written to '" + Path("fw.bin") + "'\n"},
        {"image " + hex + " " + Path("x.bin"), 0, ""},
        {"hex " + Path("x.bin") + " " + Path("y.hex") + " 0x10", 0, ""},
        {"register " + Path("y.hex") + " 0x10", 0, "0x01020304\n"},
        {"hex " + Path("none.bin") + " " + Path("y.hex"), 1,
         "quillan: cannot read '" + Path("none.bin") + "': No such file or directory\n"},
        {"register " + hex + " 4", 1,
         "Address '0x0008' is bigger than the highest addr '0x0004' contained in '" + hex + "'.\n"},
        {"version " + bad, 1,
         "Error during parsing iHex file: '" + bad +
             "', line: 1\nInvalid iHex record: 'junk'\nThe first character is expected to be: ':',  but got: "
             "'j'\n"},
        {"crc write " + hex + " 0xCAFEBABE", 0, ""},
        {"register " + hex + " 131060", 0, "0xCAFEBABE\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome outcome = RunCli(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(outcome.output, c.output);
    }
    EXPECT_EQ(ReadBytes(Path("x.bin")), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(RunCli("--help").output.rfind("Usage: quillan COMMAND ARGUMENTS\n", 0), 0u);
}

}  // namespace
}  // namespace hextest
