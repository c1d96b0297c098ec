#include "tests/support/PortServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace testsupport {
namespace {

// Debian puts it in /usr/sbin, which an ordinary account's PATH does not hold.
std::string ServerProgram() {
    return ::access("/usr/sbin/ser2net", X_OK) == 0 ? "/usr/sbin/ser2net" : "ser2net";
}

// True when /proc/net/tcp lists the loopback port as listening.
bool ListensOn(uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
    }
    return false;
}

}  // namespace

uint16_t FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

int ConnectLoopback(uint16_t port) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        ::close(fd);
        ::usleep(50000);
    }
    return -1;
}

std::string PortServerConfig(const std::string& device, uint16_t port, ServerMode mode) {
    const std::string accepter =
        mode == ServerMode::Rfc2217 ? "telnet(rfc2217),tcp(nodelay)" : "tcp(nodelay)";
    return "connection: &board\n"
           "  accepter: " +
           accepter + ",127.0.0.1," + std::to_string(port) +
           "\n"
           "  connector: serialdev," +
           device +
           ",115200n81,local\n"
           "  options:\n"
           "    chardelay: false\n";
}

PortServer::PortServer(const TempDir& dir, const std::string& device, ServerMode mode)
    : m_mode(mode), m_port(FreeLoopbackPort()) {
    m_config =
        dir.Write("ser2net-" + std::to_string(m_port) + ".yaml", PortServerConfig(device, m_port, mode));
    Start();
}

// Ended as a service manager ends it, so that it removes its device's lock file.
PortServer::~PortServer() {
    if (m_client >= 0) ::close(m_client);
    Stop();
}

bool PortServer::Start() {
    m_server =
        std::make_unique<Program>(std::vector<std::string>{ServerProgram(), "-n", "-d", "-c", m_config});
    m_listening = false;
    for (int i = 0; i < 100 && !m_listening; ++i) {
        m_listening = ListensOn(m_port);
        if (!m_listening) m_server->Poll(20);
    }
    return m_listening;
}

void PortServer::Stop(int signal) {
    if (m_server) m_server->Stop(signal);
    m_listening = false;
}

std::string PortServer::Url() const {
    return std::string(m_mode == ServerMode::Rfc2217 ? "rfc2217" : "socket") +
           "://127.0.0.1:" + std::to_string(m_port);
}

bool PortServer::Connect() {
    m_client = ConnectLoopback(m_port);
    return m_client >= 0;
}

bool PortServer::DropsTheClientWithin(int ms) {
    pollfd entry{m_client, POLLIN, 0};
    char byte = 0;
    for (int waited = 0; waited < ms; waited += 50) {
        if (::poll(&entry, 1, 50) > 0 && ::recv(m_client, &byte, 1, MSG_DONTWAIT) <= 0) return true;
    }
    return false;
}

}  // namespace testsupport
