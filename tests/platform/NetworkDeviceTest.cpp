// Port names that are paths or URLs, and the Telnet layer of the network port against a scripted
// server: option talk split anywhere, 0xFF both ways, a server that refuses the serial settings.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/NetworkDevice.h"
#include "platform/PortId.h"
#include "tests/support/TempDir.h"

namespace {

TEST(PortIdTest, PathsAndUrlsAreReadAndEverythingElseIsNot) {
    const struct {
        const char* text;
        bool port;
        platform::PortKind kind;
        const char* host;
        uint16_t tcpPort;
    } cases[] = {
        {"/dev/ttyACM0", true, platform::PortKind::Device, "", 0},
        {"socket://farm1:3001", true, platform::PortKind::RawTcp, "farm1", 3001},
        {"rfc2217://127.0.0.1:65535", true, platform::PortKind::Rfc2217, "127.0.0.1", 65535},
        {"rfc2217://[::1]:4000", true, platform::PortKind::Rfc2217, "::1", 4000},
        {"rfc2217://farm1", false, {}, "", 0},
        {"rfc2217://farm1:0", false, {}, "", 0},
        {"rfc2217://farm1:65536", false, {}, "", 0},
        {"socket://:3001", false, {}, "", 0},
        {"socket://farm1:30x1", false, {}, "", 0},
        {"telnet://farm1:23", false, {}, "", 0},
        {"3", false, {}, "", 0},
        {"com3", false, {}, "", 0},
    };
    for (const auto& c : cases) {
        const auto port = platform::PortFromText(c.text);
        ASSERT_EQ(port.has_value(), c.port) << c.text;
        if (!port) continue;
        EXPECT_EQ(port->kind, c.kind) << c.text;
        EXPECT_EQ(port->name, c.text);
        EXPECT_EQ(port->host, c.host) << c.text;
        EXPECT_EQ(port->tcpPort, c.tcpPort) << c.text;
    }
}

// Two names of one device (a link and what it leads to), and two names of one server, share their
// locks; other devices and ports do not.
TEST(PortIdTest, LockKeysFollowTheDeviceAndTheServer) {
    testsupport::TempDir dir;
    const std::string device = dir.Write("tty", "");
    ASSERT_EQ(::symlink(device.c_str(), dir.Path("by-id").c_str()), 0);
    const auto key = [](const std::string& text) {
        return platform::PortLockKey(*platform::PortFromText(text));
    };
    EXPECT_EQ(key(dir.Path("by-id")), key(device));
    EXPECT_NE(key(dir.Path("by-id")), key(dir.Write("other", "")));
    EXPECT_EQ(key("rfc2217://localhost:4000"), key("socket://127.0.0.1:4000"));
    EXPECT_NE(key("socket://127.0.0.1:4000"), key("socket://127.0.0.1:4001"));
    EXPECT_EQ(key(dir.Path("by-id")).find('/'), std::string::npos);
    EXPECT_EQ(platform::PortLockKey(platform::ComPort(3)), "com3");
}

constexpr uint8_t kIac = 255;

// A one-connection server on the loopback address that sends its chunks one by one (each after
// the previous one and a short pause) and keeps what the client sent; it then waits for the client
// to close, or closes first.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::vector<std::string> chunks, bool closeFirst = false)
        : m_closeFirst(closeFirst) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 1);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, chunks] { Serve(chunks); });
    }
    ~ScriptedServer() {
        m_thread.join();
        ::close(m_listener);
    }
    platform::PortId Port(const char* scheme) const {
        return *platform::PortFromText(std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port));
    }
    // What the client sent, once it closed its end.
    std::string Received() {
        m_thread.join();
        m_thread = std::thread([] {});
        return m_received;
    }

  private:
    void Serve(const std::vector<std::string>& chunks) {
        const int client = ::accept(m_listener, nullptr, nullptr);
        for (const std::string& chunk : chunks) {
            Collect(client, 30);
            (void)!::send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        }
        for (int i = 0; Collect(client, m_closeFirst ? 100 : 2000) && (!m_closeFirst || i < 3); ++i) {
        }
        ::close(client);
    }
    bool Collect(int client, int ms) {
        pollfd entry{client, POLLIN, 0};
        if (::poll(&entry, 1, ms) <= 0) return true;
        char bytes[512];
        const ssize_t got = ::recv(client, bytes, sizeof bytes, 0);
        if (got <= 0) return false;
        m_received.append(bytes, size_t(got));
        return true;
    }

    bool m_closeFirst;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::string m_received;
};

std::string Bytes(std::initializer_list<int> values) {
    std::string text;
    for (int value : values) text += static_cast<char>(value);
    return text;
}

// The COM-PORT-OPTION answer of the server to one of the four settings (101 to 104).
std::string SettingAnswer(int command, std::string value) {
    return Bytes({kIac, 250, 44, command}) + value + Bytes({kIac, 240});
}

TEST(NetworkDeviceTest, TelnetTalkSplitAnywhereIsKeptOutOfTheDataAndFfPassesBothWays) {
    ScriptedServer server({
        // The agreement split inside its command, an unwanted option offered on the way.
        Bytes({kIac}),
        Bytes({253, 44, kIac, 251, 1}),
        // The four settings confirmed; the baud rate's value holds a doubled 0xFF.
        SettingAnswer(101, Bytes({0, 1, kIac, kIac})) + SettingAnswer(102, Bytes({8})) + Bytes({kIac}),
        Bytes({250, 44, 103, 1, kIac, 240}) + SettingAnswer(104, Bytes({1})),
        // Data with a doubled 0xFF split between two chunks, an option request between them.
        "ab" + Bytes({kIac}),
        Bytes({kIac}) + "c" + Bytes({kIac, 253, 24}) + "d",
    });
    platform::DeviceOpenResult opened = platform::NetworkDevice::Open(server.Port("rfc2217"));
    ASSERT_TRUE(opened.device) << opened.errorText;
    std::string data;
    uint8_t chunk[50];
    for (int i = 0; i < 20 && data.size() < 5; ++i) {
        const long got = opened.device->Read(chunk, sizeof chunk, 200);
        ASSERT_GE(got, 0) << opened.device->ErrorText();
        data.append(reinterpret_cast<char*>(chunk), size_t(got));
    }
    EXPECT_EQ(data, "ab" + Bytes({kIac}) + "cd");
    const uint8_t command[] = {'B', 4, 0xFF, 0x00, 0xFF, 0x0D, '\r', '\n'};
    ASSERT_TRUE(opened.device->Write(command, sizeof command));
    opened.device.reset();
    const std::string sent = server.Received();
    // The offers, the refusal of the server's ECHO (1) and of our terminal type (24), the settings
    // (115200 = 00 01 c2 00, 8 bits, no parity, one stop bit), then the command with 0xFF doubled.
    EXPECT_NE(sent.find(Bytes({kIac, 251, 44})), std::string::npos);
    EXPECT_NE(sent.find(Bytes({kIac, 254, 1})), std::string::npos);
    EXPECT_NE(sent.find(Bytes({kIac, 252, 24})), std::string::npos);
    EXPECT_NE(sent.find(Bytes({kIac, 250, 44, 1, 0, 1, 0xC2, 0, kIac, 240})), std::string::npos);
    EXPECT_NE(sent.find(Bytes({kIac, 250, 44, 2, 8, kIac, 240})), std::string::npos);
    EXPECT_NE(sent.find(Bytes({kIac, 250, 44, 3, 1, kIac, 240})), std::string::npos);
    EXPECT_NE(sent.find(Bytes({kIac, 250, 44, 4, 1, kIac, 240})), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 10), Bytes({'B', 4, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0x0D, '\r', '\n'}));
}

TEST(NetworkDeviceTest, RawPortsPassEveryByteAndAClosedConnectionIsLost) {
    ScriptedServer server({Bytes({kIac, 253, 44}) + "x"}, true);
    platform::DeviceOpenResult opened = platform::NetworkDevice::Open(server.Port("socket"));
    ASSERT_TRUE(opened.device) << opened.errorText;
    const uint8_t command[] = {0xFF, 'r', '\n'};
    ASSERT_TRUE(opened.device->Write(command, sizeof command));
    uint8_t chunk[50];
    std::string data;
    long got = 0;
    while ((got = opened.device->Read(chunk, sizeof chunk, 3000)) > 0)
        data.append(reinterpret_cast<char*>(chunk), size_t(got));
    EXPECT_EQ(data, Bytes({kIac, 253, 44}) + "x");
    EXPECT_EQ(got, -1);
    EXPECT_EQ(opened.device->ErrorText(), "The server closed the connection\n");
    EXPECT_EQ(opened.device->Peer(),
              "the port server 127.0.0.1 port " + std::to_string(server.Port("socket").tcpPort));
    opened.device.reset();
    EXPECT_EQ(server.Received(), Bytes({0xFF, 'r', '\n'}));
}

TEST(NetworkDeviceTest, AServerThatRefusesTheSerialSettingsIsNotOpened) {
    ScriptedServer server({Bytes({kIac, 254, 44})});
    const platform::DeviceOpenResult opened = platform::NetworkDevice::Open(server.Port("rfc2217"));
    EXPECT_FALSE(opened.device);
    EXPECT_EQ(
        opened.errorText,
        "The port server refused the serial settings (RFC 2217); if it serves the port as raw TCP, name "
        "it socket://HOST:PORT\n");
    EXPECT_EQ(opened.server, "127.0.0.1 port " + std::to_string(server.Port("rfc2217").tcpPort));
}

}  // namespace
