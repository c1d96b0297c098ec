// The program: options, images, and the real thing on pseudo-terminals.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "board/ImageFile.h"
#include "board/program/BoardProgram.h"
#include "tests/support/BoardProcess.h"

namespace board {
namespace {

namespace fs = std::filesystem;

bool Parse(std::vector<const char*> args, ProgramOptions& options, std::string& error) {
    args.insert(args.begin(), "tolvar-board");
    return ParseProgramOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ProgramOptions, DefaultsGiveAUsablePair) {
    ProgramOptions options;
    std::string error;
    ASSERT_TRUE(Parse({}, options, error));
    EXPECT_EQ(options.source.uart, "com1");
    EXPECT_EQ(options.sink.uart, "com2");
    EXPECT_EQ(options.source.Id() >> 24, 1u);
    EXPECT_EQ(options.sink.Id() >> 24, 0u);
    EXPECT_EQ(options.source.memory, "mx25");
    EXPECT_EQ(options.baud, 0u);
}

TEST(ProgramOptions, ParsesEveryOption) {
    ProgramOptions options;
    std::string error;
    ASSERT_TRUE(
        Parse({"--prefix", "/tmp/p", "--source", "family=ostral,uart=com7,image=a.bin", "--sink=uart=none",
               "--baud", "9600", "--fault", "silence,after=3", "--fault=busy", "--audit", "audit.txt"},
              options, error))
        << error;
    EXPECT_EQ(options.prefix, "/tmp/p");
    EXPECT_EQ(options.source.family, Family::Ostral);
    EXPECT_EQ(options.source.uart, "com7");
    EXPECT_EQ(options.source.image, "a.bin");
    EXPECT_EQ(options.sink.uart, "");
    EXPECT_EQ(options.baud, 9600u);
    ASSERT_EQ(options.faults.size(), 2u);
    EXPECT_EQ(options.faults[0].after, 3u);
    EXPECT_EQ(options.faults[1].kind, FaultKind::Busy);
    EXPECT_EQ(options.auditFile, "audit.txt");
}

TEST(ProgramOptions, RejectsBadArguments) {
    const std::vector<std::vector<const char*>> cases = {
        {"--baud", "fast"}, {"--baud", "0"}, {"--fault", "meteor"},   {"--source", "memory=nand"},
        {"--colour"},       {"--audit"},     {"--sink", "uart=com1"},
    };
    for (const auto& args : cases) {
        ProgramOptions options;
        std::string error;
        EXPECT_FALSE(Parse(args, options, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
    EXPECT_NE(ProgramUsage().find("--fault"), std::string::npos);
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/tolvar-board-test-XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(m_path); }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

TEST(ImageFile, LoadAndSaveRoundTrip) {
    TempDir dir;
    std::vector<uint8_t> memory(0x10000, 0xFF);
    std::string error;
    ASSERT_TRUE(LoadImage(dir / "missing.bin", memory, error)) << "missing means erased";
    EXPECT_EQ(memory, std::vector<uint8_t>(0x10000, 0xFF));

    memory[0] = 0x12;
    memory[0xFFFF] = 0x34;
    ASSERT_TRUE(SaveImage(dir / "img.bin", memory, error)) << error;
    std::vector<uint8_t> back(0x10000, 0xFF);
    ASSERT_TRUE(LoadImage(dir / "img.bin", back, error)) << error;
    EXPECT_EQ(back, memory);

    std::ofstream(dir / "short.bin", std::ios::binary) << "AB";
    std::vector<uint8_t> partly(8, 0xFF);
    ASSERT_TRUE(LoadImage(dir / "short.bin", partly, error));
    EXPECT_EQ(partly, (std::vector<uint8_t>{'A', 'B', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    std::vector<uint8_t> tiny(1);
    EXPECT_FALSE(LoadImage(dir / "short.bin", tiny, error));
    EXPECT_FALSE(SaveImage(dir / "no/such/dir.bin", memory, error));
}

// The program itself, started on a fresh prefix.
class Program : public ::testing::Test {
  protected:
    TempDir dir;
    std::unique_ptr<testsupport::BoardProcess> board;

    void Start(const std::vector<std::string>& args) {
        board = std::make_unique<testsupport::BoardProcess>(dir / "prefix", args);
        ASSERT_TRUE(board->Ready()) << board->Output();
    }
    int Stop() { return board->Stop(); }
    int OpenPort(const std::string& port) {
        int fd = open((dir / ("prefix/dosdevices/" + port)).c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        return fd;
    }
    static std::string Collect(int fd, size_t want, int timeoutMs = 2000) {
        std::string got;
        pollfd p{fd, POLLIN, 0};
        char buffer[256];
        while (got.size() < want && poll(&p, 1, timeoutMs) > 0) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    static void Send(int fd, const std::string& text) {
        ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    }
};

TEST_F(Program, AnswersOnThePtyAndSavesOnSigterm) {
    Start({"--source", "id=0x01010023,image=" + (dir / "source.bin"), "--sink", "uart=com4", "--audit",
           dir / "audit.txt"});
    int source = OpenPort("com1");
    ASSERT_GE(source, 0);
    Send(source, "r80000000\n");
    EXPECT_EQ(Collect(source, 26), "80000000=01010023\r\nReady\r\n");
    // Program one word into the flash; it must reach the image file at exit.
    Send(source,
         "w80000050 00000201\nw80000058 06000000\nw80000050 00000301\n"
         "w80000050 00000231\nw80000058 02000010\nw80000058 12345678\nw80000050 00000301\n");
    EXPECT_EQ(Collect(source, 63).size(), 63u);
    close(source);

    // The tool may close and reopen the port.
    source = OpenPort("com1");
    Send(source, "r80000000\n");
    EXPECT_EQ(Collect(source, 26), "80000000=01010023\r\nReady\r\n");
    close(source);
    int sink = OpenPort("com4");
    Send(sink, "r80000000\n");
    EXPECT_EQ(Collect(sink, 26), "80000000=00010001\r\nReady\r\n");
    close(sink);

    EXPECT_EQ(Stop(), 0);
    std::vector<uint8_t> image(0x400000);
    std::string error;
    ASSERT_TRUE(LoadImage(dir / "source.bin", image, error));
    EXPECT_EQ(fs::file_size(dir / "source.bin"), 0x400000u);
    EXPECT_EQ(image[0x10], 0x12);
    EXPECT_EQ(image[0x13], 0x78);
    EXPECT_EQ(image[0x14], 0xFF);
    std::ifstream audit(dir / "audit.txt");
    std::string report((std::istreambuf_iterator<char>(audit)), std::istreambuf_iterator<char>());
    EXPECT_EQ(report, "audit: 0 finding(s)\n");
    EXPECT_FALSE(fs::exists(dir / "prefix/dosdevices/com1")) << "links go with the board";
}

TEST_F(Program, AuditFileNamesMisuse) {
    Start({"--audit", dir / "audit.txt"});
    int source = OpenPort("com1");
    Send(source, "w80000050 00000231\nw80000058 02000000\nw80000058 00000000\nw80000050 00000301\n");
    EXPECT_EQ(Collect(source, 36).size(), 36u);
    close(source);
    EXPECT_EQ(Stop(), 0);
    std::ifstream audit(dir / "audit.txt");
    std::string report((std::istreambuf_iterator<char>(audit)), std::istreambuf_iterator<char>());
    EXPECT_EQ(report, "source: page program without write enable at 0x000000\naudit: 1 finding(s)\n");
}

// How close the pacing comes to the line rate is a benchmark figure (wall time on a busy machine
// says little); what a test can hold on any machine is that answers never outrun the line.
TEST_F(Program, BaudPacingNeverOutrunsTheLine) {
    const unsigned baud = 19200;
    Start({"--baud", std::to_string(baud)});
    int source = OpenPort("com1");
    std::string commands;
    for (int i = 0; i < 8; ++i) commands += "r80000000\n";
    // Answers overlap the later commands: the last ends 10 + 8 * 26 byte times after the start.
    const double expectedMs = (10 + 8 * 26) * 10 * 1000.0 / baud;
    auto start = std::chrono::steady_clock::now();
    Send(source, commands);
    std::string answer = Collect(source, 8 * 26);
    double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(answer.size(), 8u * 26);
    EXPECT_GE(took, expectedMs * 0.95);
    close(source);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(Program, GoneUartClosesThePty) {
    Start({"--fault", "gone,after=1,chip=source"});
    int source = OpenPort("com1");
    Send(source, "r80000000\n");
    EXPECT_EQ(Collect(source, 26).size(), 26u);
    Send(source, "r80000000\n");
    char buffer[8];
    pollfd p{source, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE((p.revents & (POLLHUP | POLLERR)) || read(source, buffer, sizeof buffer) <= 0);
    close(source);
    EXPECT_EQ(Stop(), 0);
}

// A port that was free a moment ago.
uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST_F(Program, ServesTheBenchBesideThePorts) {
    uint16_t port = FreePort();
    Start({"--bench", std::to_string(port)});
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Send(fd, "NORVIK-BENCH 1\n");
    EXPECT_EQ(Collect(fd, 15), "NORVIK-BENCH 1\n");
    close(fd);
    int source = OpenPort("com1");
    Send(source, "r80000000\n");
    EXPECT_EQ(Collect(source, 26).size(), 26u) << "the UARTs still answer";
    close(source);
    EXPECT_EQ(Stop(), 0);
}

TEST(ProgramHelp, DocumentsEverything) {
    std::string usage = ProgramUsage();
    for (const char* word :
         {"--prefix", "--source", "--sink",  "--baud", "--fault", "--audit", "family=", "rev=",  "id=",
          "version=", "straps=",  "memory=", "size=",  "uart=",   "image=",  "silence", "noise", "stale",
          "--bench",  "echo",     "flood",   "gone",   "busy",    "status",  "early",   "never"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
}

}  // namespace
}  // namespace board
