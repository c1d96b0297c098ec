#include "tests/support/BenchServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace testsupport {
namespace {

void SetPort(uint16_t port) {
    setenv("TOLVAR_BENCH_PORT", std::to_string(port).c_str(), 1);
}

// A loopback listener on a free port.
int ListenOnFreePort(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on the loopback host");
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool Readable(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 2) > 0;
}

}  // namespace

ServerThread::ServerThread(std::vector<board::BenchFault> faults)
    : m_server(&sink, &source, std::move(faults)) {
    Start();
}

ServerThread::ServerThread(board::BenchChip* sinkChip, board::BenchChip* sourceChip)
    : m_server(sinkChip, sourceChip) {
    Start();
}

void ServerThread::Start() {
    std::optional<uint16_t> port = m_server.Listen(0);
    if (!port) throw std::runtime_error("bench server cannot listen: " + m_server.ErrorText());
    SetPort(*port);
    m_thread = std::thread([this] { m_server.Run(m_stop); });
}

ServerThread::~ServerThread() {
    Stop();
}

const board::BenchLog& ServerThread::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    return m_server.Log();
}

ScriptedServer::ScriptedServer(Reply reply) : m_reply(std::move(reply)) {
    uint16_t port = 0;
    m_listener = ListenOnFreePort(port);
    SetPort(port);
    m_thread = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
    m_stop = true;
    m_thread.join();
    close(m_listener);
}

std::vector<std::string> ScriptedServer::Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::string ScriptedServer::Honest(const std::string& line) {
    if (line.rfind("NORVIK-BENCH", 0) == 0) return "NORVIK-BENCH 1\n";
    if (line.rfind("READ 1 80000000", 0) == 0) return "00000000 01010023\n";
    return "00000000 00000000\n";
}

void ScriptedServer::Serve() {
    while (!m_stop) {
        if (!Readable(m_listener)) continue;
        int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        while (!m_stop && ServeConnection(fd)) {
        }
        close(fd);
    }
}

// Answers the lines that arrived; false when the connection is over.
bool ScriptedServer::ServeConnection(int fd) {
    if (!Readable(fd)) return true;
    char buffer[4096];
    ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) return false;
    std::string received(buffer, static_cast<size_t>(count));
    for (size_t end; (end = received.find('\n')) != std::string::npos; received.erase(0, end + 1)) {
        std::string line = received.substr(0, end);
        int index = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
            index = static_cast<int>(m_lines.size()) - 1;
        }
        std::optional<std::string> answer = m_reply(index, line);
        if (!answer) return false;
        if (!answer->empty()) send(fd, answer->data(), answer->size(), MSG_NOSIGNAL);
    }
    return true;
}

void PointAtClosedPort() {
    uint16_t port = 0;
    close(ListenOnFreePort(port));
    SetPort(port);
}

BenchOverPair::BenchOverPair(const std::string& prefix, const char* selectedInterface) {
    std::ofstream(prefix + "/user.reg")
        << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Talmer\\Startup]\n"
        << "\"SelectedInterface\"=\"" << selectedInterface << "\"\n";
}

BenchOverPair::~BenchOverPair() {
    Stop();
    unsetenv("TOLVAR_BENCH_PORT");
}

}  // namespace testsupport
