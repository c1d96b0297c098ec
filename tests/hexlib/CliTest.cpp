// The quillan command: output, error text and exit code of each subcommand, and what its writers
// leave on disk.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
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

}  // namespace
}  // namespace hextest
