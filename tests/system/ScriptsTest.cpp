// Tolvar as scripts and terminals meet it: standard input a pipe left open, a file a loop reads
// its jobs from, closed, or a terminal; standard output a pipe. The pauses never hang a script or
// take its input, and a key alone ends them on a terminal; help and version answer and end 0;
// progress in a pipe comes as whole lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/BoardProcess.h"
#include "tests/support/HexText.h"
#include "tests/support/ToolProcess.h"
#include "tests/support/Transcript.h"

namespace systemtest {
using namespace testsupport;
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The source board (Macronix flash) on com1; paced at the line rate when asked.
class ScriptRuns : public ::testing::Test {
  protected:
    void StartBoard(bool paced = false) {
        std::vector<std::string> args{"--source", "image=" + prefix.Path("source.bin"),
                                      "--sink",   "image=" + prefix.Path("sink.bin"),
                                      "--audit",  prefix.Path("audit.txt")};
        if (paced) args.insert(args.end(), {"--baud", "115200"});
        board = std::make_unique<BoardProcess>(prefix.Path(), args);
        ASSERT_TRUE(board->Started());
    }
    void StopBoard() {
        ASSERT_EQ(board->Stop(), 0);
        EXPECT_EQ(ReadFile(prefix.Path("audit.txt")), "audit: 0 finding(s)\n");
    }

    TempDir prefix;
    std::unique_ptr<BoardProcess> board;
};

TEST_F(ScriptRuns, PausesNeitherHangAScriptNorTakeItsInput) {
    StartBoard();
    prefix.Write("jobs.txt", "src u1 OB missing.hex\nsrc u1 R 0 16\n");
    struct Case {
        const char* what;
        std::string script;
        std::vector<std::string> lines;  // in this order
    };
    const std::string errorStop = "Can't open file: missing.hex\n";
    const std::string read = "00000:\tffffffff\tffffffff\tffffffff\tffffffff\t\n";
    const Case cases[] = {
        {"error pause, input a pipe left open",
         "mkfifo in && { sleep 60 >in 2>/dev/null & } && \"$TOLVAR\" src u1 OB missing.hex <in; "
         "echo \"rc=$?\"; kill $!",
         {errorStop, kErrorPause, "rc=255\n"}},
        {"P pause, input a pipe left open",
         "mkfifo in && { sleep 60 >in 2>/dev/null & } && \"$TOLVAR\" src u1 P missing.hex <in; "
         "echo \"rc=$?\"; kill $!",
         {"Press any key to continue . . .\n", "rc=0\n"}},
        {"a loop reading its jobs",
         "while read -r words; do \"$TOLVAR\" $words; echo \"rc=$?\"; done <jobs.txt",
         {errorStop, kErrorPause, "rc=255\n", "Tolvar src u1 R 0 16 \n", read, "rc=0\n"}},
        {"input closed",
         "\"$TOLVAR\" src u1 OB missing.hex <&-; echo \"rc=$?\"",
         {errorStop, kErrorPause, "rc=255\n"}},
    };
    for (const Case& c : cases) {
        const TimedRun run = RunShell(prefix.Path(), c.script, 20000);
        EXPECT_FALSE(run.hung) << c.what << "\n" << run.out;
        size_t at = 0;
        for (const std::string& line : c.lines) {
            at = run.out.find(line, at);
            ASSERT_NE(at, std::string::npos) << c.what << ": no " << line << "\n" << run.out;
        }
        std::remove(prefix.Path("in").c_str());
    }
    StopBoard();
}

// The controlling side of a pseudo-terminal that the run gets as its standard input.
class Terminal {
  public:
    Terminal() {
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fd >= 0 && ::grantpt(m_fd) == 0 && ::unlockpt(m_fd) == 0) m_path = ::ptsname(m_fd);
    }
    ~Terminal() {
        if (m_fd >= 0) ::close(m_fd);
    }
    const std::string& Path() const { return m_path; }
    bool Type(const std::string& keys) {
        return ::write(m_fd, keys.data(), keys.size()) == ssize_t(keys.size());
    }
    tcflag_t LocalModes() const {
        termios modes{};
        return ::tcgetattr(m_fd, &modes) == 0 ? modes.c_lflag : 0;
    }

  private:
    int m_fd = -1;
    std::string m_path;
};

// Alive and not yet reaped as a zombie.
bool Running(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

TEST_F(ScriptRuns, OneKeyWithoutEnterEndsAPauseOnATerminal) {
    StartBoard();
    struct Case {
        std::string words;
        std::string pause;
        int code;
    };
    const Case cases[] = {
        {"src u1 OB missing.hex", kErrorPause, 255},
        {"src u1 P missing.hex", "Press any key to continue . . .\n", 0},
    };
    for (const Case& c : cases) {
        Terminal terminal;
        ASSERT_FALSE(terminal.Path().empty());
        const tcflag_t before = terminal.LocalModes();
        ToolProcess tool(prefix.Path(), c.words, terminal.Path());
        for (int i = 0; i < 200 && !Contains(tool.Poll(50), c.pause); ++i) {
        }
        ASSERT_TRUE(Contains(tool.Poll(0), c.pause)) << tool.Poll(0);
        // The pause waits for its key: a second later the run is still there.
        tool.Poll(1000);
        EXPECT_TRUE(Running(tool.Pid()));
        ASSERT_TRUE(terminal.Type("x"));
        const TimedRun run = tool.Finish(5000);
        EXPECT_FALSE(run.hung) << c.words << "\n" << run.out;
        EXPECT_EQ(run.code, c.code) << run.out;
        // The terminal is left as it was found: lines and echo again.
        EXPECT_EQ(terminal.LocalModes() & (ICANON | ECHO), before & (ICANON | ECHO));
    }
    StopBoard();
}

// Each stop keeps its words and adds what it was about: the device tried, the side not given, the
// file that cannot be read (before any board is looked for).
TEST_F(ScriptRuns, MessagesNameTheRealCause) {
    StartBoard();
    const std::string entry = prefix.Path("dosdevices/com7");
    ASSERT_EQ(::symlink(prefix.Path("no-such-device").c_str(), entry.c_str()), 0);
    struct Case {
        std::string words;
        std::string message;
        std::string absent;
    };
    const Case cases[] = {
        {"src u7 R 0 16",
         "Exception: Failed to open com port com7, reason: No such file or directory\nDevice tried: " +
             entry + "\n",
         "Detected"},
        {"u1 R 0 64",
         "Error: Could not find target. Please check board connectivity.\nNo board side given: start the "
         "command "
         "with src or snk (e.g. Tolvar src u3 R 0 64), or name the image file after its side.\n",
         "Press any key"},
        {"src u1 B missing.hex",
         "Can't open file: missing.hex\nReason: No such file or directory\n" + kErrorPause, "Detected"},
        {"src u1 V folder", "Can't open file: folder\nReason: Is a directory\n" + kErrorPause, "Detected"},
    };
    ::mkdir(prefix.Path("folder").c_str(), 0700);
    for (const Case& c : cases) {
        const TimedRun run = RunTimed(prefix, c.words, 20000);
        EXPECT_EQ(run.code, 255) << run.out;
        EXPECT_TRUE(Contains(run.out, c.message)) << c.words << "\n" << run.out;
        EXPECT_FALSE(Contains(run.out, c.absent)) << c.words << "\n" << run.out;
    }
    StopBoard();
}

TEST_F(ScriptRuns, HelpAndVersionAnswerOnStandardOutputAndEndZero) {
    struct Case {
        std::string words;
        int code;
        std::string out;
    };
    const Case cases[] = {
        {"--help", 0, kUsageText},
        {"-h", 0, kUsageText},
        {"--version", 0, "Ver 1.0.0.45\n"},
        {"--helpme", 255, Echo({"--helpme"}) + kUsageText + kErrorPause},
        {"src --version", 255, Echo({"src", "--version"}) + kUsageText + kErrorPause},
    };
    for (const Case& c : cases) {
        // Called by its name, as a user types it.
        const TimedRun run = RunShell(
            prefix.Path(), "PATH=\"$(dirname \"$TOLVAR\")\":$PATH Tolvar " + c.words + " 2>/dev/null", 10000);
        EXPECT_EQ(run.code, c.code) << c.words;
        EXPECT_EQ(run.out, c.out) << c.words;
    }
}

TEST_F(ScriptRuns, ProgressInAPipeComesAsAFewWholeLines) {
    // About four seconds of burning and as much verifying at the line rate.
    WriteFile(prefix.Path("fw_source.hex"), HexText(RandomBytes(6144, 5)));
    StartBoard(true);
    const TimedRun run = RunShell(prefix.Path(), "\"$TOLVAR\" u1 OBV fw_source.hex | cat", 120000);
    EXPECT_FALSE(run.hung);
    EXPECT_TRUE(Contains(run.out, "Verification succeeded!!! :-)\n")) << run.out;
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << run.out;
    // At most one line per tenth of each of the two passes, each a line of its own.
    const size_t lines = Count(run.out, "Progress: ");
    EXPECT_GE(lines, 2u) << run.out;
    EXPECT_LE(lines, 20u) << run.out;
    EXPECT_EQ(Count(run.out, "\nProgress: "), lines) << run.out;
    EXPECT_EQ(Count(run.out, "%\n"), lines) << run.out;
    StopBoard();
}

}  // namespace
}  // namespace systemtest
