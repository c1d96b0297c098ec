// The quillan command: output, error text and exit code of each subcommand, and what its writers
// leave on disk.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "HexFiles.h"

namespace hextest {
namespace {

struct Outcome {
    int exitCode;
    std::string output;  // standard output
    std::string errors;  // standard error
};

const std::string kWrong = "quillan: wrong arguments (see quillan --help)\n";

class Cli : public ScratchDir {
  protected:
    Outcome Run(const std::string& arguments) const {
        const std::string errors = Path("stderr.txt");
        Outcome outcome{-1, "", ""};
        const std::string command = std::string(QUILLAN_CLI_PATH) + " " + arguments + " 2>" + errors;
        std::FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return outcome;
        char buffer[4096];
        size_t count;
        while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, count);
        const int status = pclose(pipe);
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.errors = Read(errors);
        std::filesystem::remove(errors);
        return outcome;
    }

    static ino_t Inode(const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
    }
};

TEST_F(Cli, SubcommandsPrintResultsAndExitCodes) {
    const std::string hex = Write("x.hex", DataLine(0, {1, 2, 3, 4}) + "\n" + kEof + "\n");
    const std::string bad = Write("bad.hex", "junk\n");
    const std::string usage = Run("").errors;
    struct Case {
        std::string arguments;
        int exitCode;
        std::string output;
        std::string errors;
    };
    const std::vector<Case> cases = {
        {"crc write " + hex, 2, "", kWrong},
        {"crc read " + hex + " 5", 2, "", kWrong},
        {"register " + hex + " 0x1G", 2, "", kWrong},
        {"--version 1", 2, "", kWrong},
        {"--version", 0, "quillan 1.0.0\n", ""},
        {"crc calculate " + hex, 0, "0x00000000\n", ""},
        {"crc read " + hex, 1, "no CRC record\n", ""},
        {"crc validate " + hex, 1, "no CRC record\n", ""},
        {"register " + hex + " 0", 0, "0x01020304\n", ""},
        {"version " + hex, 0, "0x0000\n", ""},
        {"fw-image " + hex + " " + Path("fw.bin"), 1, "",
         "quillan: nothing written to '" + Path("fw.bin") + "'\n"},
        {"image " + hex + " " + Path("x.bin"), 0, "", ""},
        {"hex " + Path("x.bin") + " " + Path("y.hex") + " 0x10", 0, "", ""},
        {"register " + Path("y.hex") + " 0x10", 0, "0x01020304\n", ""},
        {"hex " + Path("none.bin") + " " + Path("y.hex"), 1, "",
         "quillan: cannot read '" + Path("none.bin") + "': No such file or directory\n"},
        {"register " + hex + " 4", 1, "",
         "Address '0x0008' is bigger than the highest addr '0x0004' contained in '" + hex + "'.\n"},
        {"version " + bad, 1, "",
         "Error during parsing iHex file: '" + bad +
             "', line: 1\nInvalid iHex record: 'junk'\nThe first character is expected to be: ':',  but got: "
             "'j'\n"},
        {"crc write " + hex + " 0xCAFEBABE", 0, "", ""},
        {"register " + hex + " 131060", 0, "0xCAFEBABE\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome outcome = Run(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.errors, c.errors);
    }
    EXPECT_EQ(ReadBytes(Path("x.bin")), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(Run("").exitCode, 2);
    EXPECT_EQ(usage.rfind("Usage: quillan crc calculate|read|validate|update FILE\n", 0), 0u);
}

TEST_F(Cli, HelpShowsTheUsageAndAnExampleOfEveryCommand) {
    for (const char* option : {"--help", "-h"}) {
        const Outcome help = Run(option);
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.output.rfind(Run("").errors, 0), 0u) << option;
        for (const char* example :
             {"crc calculate fw.hex", "crc read fw.hex", "crc validate fw.hex", "crc write fw.hex 0x",
              "crc update fw.hex", "image fw.hex ", "fw-image fw.hex ", "hex fw.bin fw.hex", "version fw.hex",
              "register fw.hex 0x"}) {
            EXPECT_NE(help.output.find("\n                            quillan " + std::string(example)),
                      std::string::npos)
                << option << ": " << example;
        }
    }
}

// A refused or failed write leaves every file as it was, and no staging leftovers.
TEST_F(Cli, WritersNeverDestroyTheirInputOrAnOlderOutput) {
    const std::string text = DataLine(0, {1, 2, 3, 4}) + "\n" + kEof + "\n";
    const std::string hex = Write("x.hex", text);
    const std::string bad = Write("bad.hex", "junk\n");
    const std::string old = Write("old.bin", "old");
    std::filesystem::create_hard_link(hex, Path("hard.hex"));
    std::filesystem::create_symlink(hex, Path("soft.hex"));
    const std::string refused = "' is the input file; nothing written\n";
    const std::string badLine = "', line: 1\nInvalid iHex record: 'junk'\n";
    struct Case {
        std::string arguments;
        std::string errorStart;
    };
    const std::vector<Case> cases = {
        {"image " + hex + " " + hex, "quillan: '" + hex + refused},
        {"image " + hex + " " + Path("hard.hex"), "quillan: '" + Path("hard.hex") + refused},
        {"fw-image " + Path("soft.hex") + " " + Path("../" + m_dir.filename().string() + "/x.hex"),
         "quillan: '" + Path("../" + m_dir.filename().string() + "/x.hex") + refused},
        {"image " + bad + " " + old, "Error during parsing iHex file: '" + bad + badLine},
        {"fw-image " + hex + " " + old, "quillan: nothing written to '" + old + "'\n"},
        {"hex " + old + " " + old, "quillan: '" + old + refused},
        {"crc write " + bad + " 1", "Error during parsing iHex file: '" + bad + badLine},
        {"crc update " + bad, "Error during parsing iHex file: '" + bad + badLine},
        {"crc write " + Path("none.hex") + " 1", "quillan: cannot read '" + Path("none.hex") + "': "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome outcome = Run(c.arguments);
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_EQ(outcome.errors.rfind(c.errorStart, 0), 0u) << outcome.errors;
    }
    // Without a firmware range there is no CRC to store: the file is not even replaced.
    const ino_t inode = Inode(hex);
    EXPECT_EQ(Run("crc update " + hex).exitCode, 0);
    EXPECT_EQ(Inode(hex), inode);

    EXPECT_EQ(Read(hex), text);
    EXPECT_EQ(Read(bad), "junk\n");
    EXPECT_EQ(Read(old), "old");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_dir)) ++entries;
    EXPECT_EQ(entries, 5u);  // x.hex, bad.hex, old.bin and the two links
}

// A file changed through a link stays behind the link, with its permissions and byte order.
TEST_F(Cli, CrcWriteThroughALinkReplacesTheFileBehindIt) {
    const std::string real = Write("real.data", DataLine(0, {1, 2, 3, 4}) + "\n" + kEof + "\n");
    std::filesystem::permissions(real, std::filesystem::perms(0640));
    const std::string link = Path("fw.ihex");
    std::filesystem::create_symlink(real, link);
    ASSERT_EQ(Run("crc write " + link + " 0x11223344").exitCode, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::status(real).permissions(), std::filesystem::perms(0640));
    // Image order, as the link's name says: the bytes of the little-endian word as they are.
    EXPECT_NE(Read(real).find(DataLine(0xFFF4, {0x44, 0x33, 0x22, 0x11})), std::string::npos) << Read(real);
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

// What the writers do to the name they are given: a file keeps its mode, a link and a node stay
// what they were, "-" and /dev/stdout reach the pipe, and a name that cannot be written is
// refused with the reason.
TEST_F(Cli, OutputsKeepWhatTheyWere) {
    const std::string hex = Write("x.hex", DataLine(0, {1, 2, 3, 4}) + "\n" + kEof + "\n");
    ASSERT_EQ(Run("image " + hex + " " + Path("plain.bin")).exitCode, 0);
    const std::string image = Read(Path("plain.bin"));
    const std::string bin = Write("in.bin", image);
    ASSERT_EQ(Run("hex " + bin + " " + Path("plain.hex")).exitCode, 0);
    const std::string text = Read(Path("plain.hex"));
    const bool root = geteuid() == 0;
    const auto file = [&](const std::string& name, mode_t mode) {
        const std::string path = Write(name, "old");
        chmod(path.c_str(), mode);
        return path;
    };
    const std::string fifo = Path("fifo.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink(Path("nowhere.bin"), Path("dangling.bin"));
    const std::string readOnly = file("read-only.bin", 0444);
    struct Case {
        std::string arguments;
        int exitCode;
        std::string output;  // standard output
        std::string errors;  // standard error
        std::function<void()> check;
    };
    const std::vector<Case> cases = {
        {"image " + hex + " -", 0, image, "", [] {}},
        {"image " + hex + " /dev/stdout", 0, image, "", [] {}},
        {"hex " + bin + " -", 0, text, "", [] {}},
        {"image " + hex + " " + file("private.bin", 0600), 0, "", "",
         [&] { EXPECT_EQ(ModeOf(Path("private.bin")), S_IFREG | 0600); }},
        {"hex " + bin + " " + file("shared.hex", 0640), 0, "", "",
         [&] { EXPECT_EQ(ModeOf(Path("shared.hex")), S_IFREG | 0640); }},
        {"image " + hex + " " + Path("dangling.bin"), 1, "",
         "quillan: cannot write '" + Path("dangling.bin") + "': No such file or directory\n",
         [&] { EXPECT_EQ(ModeOf(Path("nowhere.bin")), 0u); }},
        {"hex " + bin + " " + Path("dangling.bin"), 1, "",
         "Unable to write the iHex file: '" + Path("dangling.bin") + "'\nNo such file or directory\n",
         [&] { EXPECT_EQ(ModeOf(Path("nowhere.bin")), 0u); }},
        {"image " + hex + " " + fifo, 1, "",
         "quillan: cannot write '" + fifo + "': No such device or address\n",
         [&] { EXPECT_TRUE(S_ISFIFO(ModeOf(fifo))); }},
        {"image " + hex + " " + readOnly, root ? 0 : 1, "",
         root ? "" : "quillan: cannot write '" + readOnly + "': Permission denied\n",
         [&] {
             EXPECT_EQ(Read(readOnly), root ? image : "old");
             EXPECT_EQ(ModeOf(readOnly), S_IFREG | 0444);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Outcome outcome = Run(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.errors;
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.errors, c.errors);
        c.check();
    }
}

// A run ended by INT, TERM or HUP while its output is staged leaves nothing behind. The input is
// a FIFO nobody writes, so the run waits with its staged copy in place.
TEST_F(Cli, SignalledRunsLeaveNoStagedFiles) {
    const std::string staging = Path("tmp");
    std::filesystem::create_directory(staging);
    const std::string input = Path("input.hex");
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    const std::vector<std::vector<std::string>> commands = {
        {"image", input, Path("out.bin")},
        {"fw-image", input, Path("out.bin")},
    };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const auto& words : commands) {
            SCOPED_TRACE(words[0] + " signal " + std::to_string(signal));
            const pid_t child = fork();
            if (child == 0) {
                setenv("TMPDIR", staging.c_str(), 1);
                execl(QUILLAN_CLI_PATH, "quillan", words[0].c_str(), words[1].c_str(), words[2].c_str(),
                      static_cast<char*>(nullptr));
                _exit(127);
            }
            // Staged once the folder is there.
            bool staged = false;
            for (int i = 0; i < 500 && !staged; ++i) {
                staged = !std::filesystem::is_empty(staging);
                if (!staged) usleep(10000);
            }
            EXPECT_TRUE(staged);
            kill(child, signal);
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
            EXPECT_TRUE(std::filesystem::is_empty(staging));
            EXPECT_FALSE(std::filesystem::exists(Path("out.bin")));
        }
    }
}

}  // namespace
}  // namespace hextest
