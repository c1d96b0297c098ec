// Finding the port of a side among com1..com10 with the remembered ports first.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "board/BoardPair.h"
#include "link/uart/PortDiscovery.h"
#include "platform/Prefix.h"
#include "tests/support/Ports.h"
#include "tests/support/UartTest.h"

namespace linktest {
using namespace testsupport;
namespace {

struct DiscoveryCase {
    const char* name;
    const char* fileBefore;  // nullptr: no file
    int32_t side;
    const char* sinkPort;  // where the chips sit (nullptr: absent)
    const char* sourcePort;
    uint32_t found;
    std::vector<std::string> probes;  // the first probes, in order
    const char* fileAfter;            // nullptr: no file
};

class PortDiscoveryTest : public UartTest {
  protected:
    std::string CacheText() {
        std::ifstream file(platform::ComPortsCfgPath());
        if (!file) return "<none>";
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
};

TEST_F(PortDiscoveryTest, RememberedPortsGoFirstAndOnlyTheSearchedSideIsUpdated) {
    const DiscoveryCase cases[] = {
        {"no file, source on com2", nullptr, 1, "com5", "com2", 2, {"com1", "com2"}, "2 2"},
        {"sink where it was", "3 5\n", 0, "com3", "com5", 3, {"com3"}, "3 5\n"},
        {"sink moved to com4", "3 5\n", 0, "com4", "com5", 4, {"com3", "com5", "com1", "com4"}, "4 5"},
        {"no chip of the side",
         "3 5\n",
         0,
         nullptr,
         "com5",
         0,
         {"com3", "com5", "com1", "com4", "com2", "com6", "com7", "com8", "com9", "com10"},
         "3 5\n"},
        {"no chip and no file",
         nullptr,
         1,
         "com1",
         nullptr,
         0,
         {"com1", "com2", "com3", "com4", "com5", "com6", "com7", "com8", "com9", "com10"},
         "2 0"},
        {"zeros read as absent", "0 0", 0, "com2", "com1", 2, {"com1", "com2"}, "2 2"},
        {"ports above 10 read as absent", "11 12", 1, "com3", "com1", 1, {"com1"}, "11 12"},
        {"ports above 10, chip elsewhere",
         "11 12",
         1,
         "com3",
         "com4",
         4,
         {"com1", "com2", "com3", "com4"},
         "2 4"},
        {"swaps work on positions", "3 1", 0, "com3", "com1", 3, {"com2", "com3"}, "3 1"},
        {"garbage file", "x y", 0, "com1", "com2", 1, {"com1"}, "x y"},
    };
    for (const auto& c : cases) {
        const std::string path = platform::ComPortsCfgPath();
        std::remove(path.c_str());
        if (c.fileBefore) std::ofstream(path) << c.fileBefore;
        board::BoardPair pair;
        BoardPorts ports(pair);
        if (c.sinkPort) ports.Attach(c.sinkPort, 0);
        if (c.sourcePort) ports.Attach(c.sourcePort, 1);
        EXPECT_EQ(FindUartPort(c.side), c.found) << c.name;
        ASSERT_GE(ports.opened.size(), c.probes.size()) << c.name;
        EXPECT_EQ(std::vector<std::string>(ports.opened.begin(), ports.opened.begin() + c.probes.size()),
                  c.probes)
            << c.name;
        if (c.found != 0) {
            EXPECT_EQ(ports.opened.size(), c.probes.size()) << c.name << ": probed on after the find";
        }
        EXPECT_EQ(CacheText(), c.fileAfter ? c.fileAfter : "<none>") << c.name;
    }
    EXPECT_TRUE(console.text.empty()) << console.text;
}

TEST_F(PortDiscoveryTest, SilentAndMisbehavingPortsAreSkipped) {
    board::BoardPair silent;
    std::string error;
    ASSERT_TRUE(silent.AddFault("silence,times=0,chip=source", error));
    BoardPorts ports(silent);
    ports.Attach("com1", 1);
    ports.Attach("com2", 0);
    const uint64_t start = clock.NowUs();
    EXPECT_EQ(FindUartPort(1), 0u);
    // Two 100 ms read time-outs and a restart for the silent port; the others fail at once.
    EXPECT_LT((clock.NowUs() - start) / 1000, 500u);
    EXPECT_EQ(FindUartPort(0), 2u);
}

}  // namespace
}  // namespace linktest
