#include "board/bench/BenchServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace board {
namespace {

constexpr const char* kHandshake = "NORVIK-BENCH 1";
constexpr const char* kClassId = "{4E2B7C61-93D8-4A5F-B1E0-7C3D2A9F6E18}";
constexpr const char* kServerInterfaceId = "{4E2B7C62-93D8-4A5F-B1E0-7C3D2A9F6E18}";
constexpr const char* kProductInterfaceId = "{4E2B7C63-93D8-4A5F-B1E0-7C3D2A9F6E18}";
constexpr const char* kProductProgId = "OlwenProduct.OlwenProdGiga";
constexpr size_t kMaxLine = 512;

constexpr int32_t kOk = 0;
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002);
constexpr int32_t kFailed = static_cast<int32_t>(0x80004005);
constexpr int32_t kClassNotRegistered = static_cast<int32_t>(0x80040154);
constexpr int32_t kInvalidArgument = static_cast<int32_t>(0x80070057);
constexpr int32_t kUnexpected = static_cast<int32_t>(0x8000FFFF);

const std::map<std::string, BenchFaultKind> kFaultNames = {
    {"create", BenchFaultKind::Create},     {"getinterface", BenchFaultKind::GetInterface},
    {"query", BenchFaultKind::Query},       {"uart", BenchFaultKind::Uart},
    {"ethernet", BenchFaultKind::Ethernet}, {"corvane", BenchFaultKind::Corvane},
    {"read", BenchFaultKind::Read},         {"write", BenchFaultKind::Write},
    {"silent", BenchFaultKind::Silent},     {"hangup", BenchFaultKind::Hangup},
    {"garbage", BenchFaultKind::Garbage},
};

// Splits arguments into words, reading a length-prefixed string where one is expected.
class ArgumentReader {
  public:
    explicit ArgumentReader(const std::string& text) : m_text(text) {}

    std::optional<std::string> Word() {
        if (m_at > m_text.size()) return std::nullopt;
        size_t end = std::min(m_text.find(' ', m_at), m_text.size());
        std::string word = m_text.substr(m_at, end - m_at);
        m_at = end + 1;
        if (word.empty()) return std::nullopt;
        return word;
    }

    // Empty outer optional: malformed; empty inner: the absent string.
    std::optional<std::optional<std::string>> String() {
        if (m_text.compare(std::min(m_at, m_text.size()), 2, "- ") == 0 ||
            (m_at + 1 == m_text.size() && m_text[m_at] == '-')) {
            return Advance(2, std::nullopt);
        }
        size_t colon = m_text.find(':', m_at);
        if (colon == std::string::npos || colon == m_at || colon - m_at > 6) return std::nullopt;
        for (size_t i = m_at; i < colon; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(m_text[i]))) return std::nullopt;
        }
        size_t length = std::stoul(m_text.substr(m_at, colon - m_at));
        size_t end = colon + 1 + length;
        if (end > m_text.size() || (end < m_text.size() && m_text[end] != ' ')) return std::nullopt;
        return Advance(end + 1 - m_at, m_text.substr(colon + 1, length));
    }

    // Every word was read and no separator is left over.
    bool AtEnd() const { return m_at > m_text.size(); }

  private:
    std::optional<std::optional<std::string>> Advance(size_t count, std::optional<std::string> value) {
        m_at += count;
        return std::optional<std::optional<std::string>>(std::move(value));
    }

    const std::string& m_text;
    size_t m_at = 0;
};

std::optional<uint32_t> HexWord(const std::optional<std::string>& word) {
    if (!word || word->size() != 8) return std::nullopt;
    for (char c : *word) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    return static_cast<uint32_t>(std::stoul(*word, nullptr, 16));
}

bool IsUartCommand(const std::string& text) {
    if (text.size() < 5 || text.compare(0, 4, "a 2 ") != 0) return false;
    return std::all_of(text.begin() + 4, text.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::string Answer(int32_t status, uint32_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%08X %08X", static_cast<uint32_t>(status), value);
    return text;
}

std::optional<uint16_t> PortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), ::isdigit))
        return std::nullopt;
    unsigned long port = std::stoul(text);
    if (port < 1 || port > 65535) return std::nullopt;
    return static_cast<uint16_t>(port);
}

}  // namespace

std::optional<BenchFault> ParseBenchFault(const std::string& text) {
    size_t at = text.find('@');
    auto kind = kFaultNames.find(text.substr(0, at));
    if (kind == kFaultNames.end()) return std::nullopt;
    BenchFault fault{kind->second, 1};
    if (at == std::string::npos) return fault;
    std::string count = text.substr(at + 1);
    if (count.empty() || count.size() > 9 || !std::all_of(count.begin(), count.end(), ::isdigit))
        return std::nullopt;
    fault.fromCall = static_cast<uint32_t>(std::stoul(count));
    if (fault.fromCall == 0) return std::nullopt;
    return fault;
}

const char* const kBenchOptionsHelp =
    "  --bench [PORT]          serve both chips as the bench server on localhost:PORT\n"
    "                          (default $TOLVAR_BENCH_PORT, else 47011); see docs/bench-protocol.md\n"
    "  --bench-fault KIND[@N]  make the N-th and every later bench call of KIND fail: create,\n"
    "                          getinterface, query, uart, ethernet, corvane, read, write, silent,\n"
    "                          hangup, garbage\n";

uint16_t DefaultBenchPort() {
    const char* text = std::getenv("TOLVAR_BENCH_PORT");
    std::optional<uint16_t> port = text ? PortNumber(text) : std::nullopt;
    return port.value_or(47011);
}

bool TakeBenchOption(int argc, const char* const* argv, int& index, BenchOptions& options,
                     std::string& error) {
    std::string word = argv[index];
    size_t equals = word.find('=');
    std::string name = word.substr(0, equals);
    std::optional<std::string> value;
    if (equals != std::string::npos) value = word.substr(equals + 1);
    if (name == "--bench") {
        options.enabled = true;
        if (!value && index + 1 < argc && argv[index + 1][0] != '-') value = argv[++index];
        if (!value) return true;
        std::optional<uint16_t> port = PortNumber(*value);
        if (!port) error = "--bench: not a port: " + *value;
        options.port = port.value_or(0);
        return true;
    }
    if (name != "--bench-fault") return false;
    if (!value && index + 1 < argc) value = argv[++index];
    std::optional<BenchFault> fault = value ? ParseBenchFault(*value) : std::nullopt;
    if (fault) {
        options.faults.push_back(*fault);
    } else {
        error = "--bench-fault: expected KIND[@N]";
    }
    return true;
}

BenchConversation::BenchConversation(BenchChip* sink, BenchChip* source, std::vector<BenchFault>& faults,
                                     std::map<BenchFaultKind, uint32_t>& calls, BenchLog& log)
    : m_sink(sink), m_source(source), m_faults(faults), m_calls(calls), m_log(log) {}

BenchConversation::Outcome BenchConversation::Handle(const std::string& line, std::string& answer) {
    if (Faulted(BenchFaultKind::Silent)) return Outcome::Silent;
    if (Faulted(BenchFaultKind::Hangup)) return Outcome::Hangup;
    if (Faulted(BenchFaultKind::Garbage)) {
        answer = "Ready> ?";
        return Outcome::Answer;
    }
    if (m_step == Step::Greeting) {
        answer = kHandshake;
        if (line != kHandshake) return Outcome::Hangup;
        m_step = Step::Greeted;
        return Outcome::Answer;
    }
    size_t space = line.find(' ');
    std::string verb = line.substr(0, space);
    std::string arguments = space == std::string::npos ? std::string() : line.substr(space + 1);
    ++m_log.requests[verb];
    uint32_t value = 0;
    int32_t status = Dispatch(verb, arguments, value);
    answer = Answer(status, value);
    return Outcome::Answer;
}

int32_t BenchConversation::Dispatch(const std::string& verb, const std::string& arguments, uint32_t& value) {
    if (verb == "CREATE") return Create(arguments);
    if (verb == "GETINTERFACE") return GetInterface(arguments, value);
    if (verb == "QUERY") return Query(arguments);
    if (verb == "TARGET") return Target(arguments);
    if (verb == "COMMAND") return Command(arguments);
    if (verb == "READ") return Read(arguments, value);
    if (verb == "WRITE") return Write(arguments);
    return kInvalidArgument;
}

int32_t BenchConversation::Create(const std::string& arguments) {
    if (arguments != std::string(kClassId) + " " + kServerInterfaceId) return kClassNotRegistered;
    if (Faulted(BenchFaultKind::Create)) return kClassNotRegistered;
    if (m_step < Step::Created) m_step = Step::Created;
    return kOk;
}

int32_t BenchConversation::GetInterface(const std::string& arguments, uint32_t& value) {
    ArgumentReader reader(arguments);
    auto progId = reader.String();
    auto interfaceId = reader.String();
    if (!progId || !interfaceId || !*progId || !*interfaceId || !reader.AtEnd()) return kInvalidArgument;
    if (m_step < Step::Created) return kUnexpected;
    if (**progId != kProductProgId) return kClassNotRegistered;
    if (Faulted(BenchFaultKind::GetInterface)) return kFailed;
    m_step = std::max(m_step, Step::ProductMade);
    value = 1;
    return kOk;
}

int32_t BenchConversation::Query(const std::string& arguments) {
    ArgumentReader reader(arguments);
    auto interfaceId = reader.String();
    if (!interfaceId || !*interfaceId || !reader.AtEnd()) return kInvalidArgument;
    if (m_step < Step::ProductMade) return kUnexpected;
    if (**interfaceId != kProductInterfaceId || Faulted(BenchFaultKind::Query)) return kNoInterface;
    m_step = std::max(m_step, Step::ProductQueried);
    return kOk;
}

int32_t BenchConversation::Target(const std::string& arguments) {
    ArgumentReader reader(arguments);
    auto progId = reader.String();
    if (!progId || !reader.AtEnd()) return kInvalidArgument;
    return m_step < Step::ProductQueried ? kUnexpected : kOk;
}

int32_t BenchConversation::Command(const std::string& arguments) {
    ArgumentReader reader(arguments);
    auto text = reader.String();
    if (!text || !reader.AtEnd()) return kInvalidArgument;
    m_log.commands.push_back(text->value_or("-"));
    if (m_step < Step::ProductQueried) return kUnexpected;
    std::optional<BenchFaultKind> kind;
    if (*text && IsUartCommand(**text)) kind = BenchFaultKind::Uart;
    if (*text == "e") kind = BenchFaultKind::Ethernet;
    if (*text == "v") kind = BenchFaultKind::Corvane;
    if (!kind || Faulted(*kind)) return kFailed;
    m_step = Step::Connected;
    return kOk;
}

int32_t BenchConversation::Read(const std::string& arguments, uint32_t& value) {
    ArgumentReader reader(arguments);
    auto target = reader.Word();
    auto address = HexWord(reader.Word());
    BenchChip* chip = target ? Chip(*target) : nullptr;
    if (!target || !address || !reader.AtEnd() || (*target != "0" && *target != "1")) return kInvalidArgument;
    if (m_step < Step::Connected) return kUnexpected;
    if (!chip || Faulted(BenchFaultKind::Read)) return kFailed;
    value = chip->ReadRegister(*address);
    return kOk;
}

int32_t BenchConversation::Write(const std::string& arguments) {
    ArgumentReader reader(arguments);
    auto target = reader.Word();
    auto address = HexWord(reader.Word());
    auto value = HexWord(reader.Word());
    BenchChip* chip = target ? Chip(*target) : nullptr;
    if (!target || !address || !value || !reader.AtEnd() || (*target != "0" && *target != "1")) {
        return kInvalidArgument;
    }
    if (m_step < Step::Connected) return kUnexpected;
    if (!chip || Faulted(BenchFaultKind::Write)) return kFailed;
    chip->WriteRegister(*address, *value);
    return kOk;
}

bool BenchConversation::Faulted(BenchFaultKind kind) {
    bool armed =
        std::any_of(m_faults.begin(), m_faults.end(), [kind](const BenchFault& f) { return f.kind == kind; });
    if (!armed) return false;
    uint32_t call = ++m_calls[kind];
    return std::any_of(m_faults.begin(), m_faults.end(),
                       [kind, call](const BenchFault& f) { return f.kind == kind && call >= f.fromCall; });
}

BenchChip* BenchConversation::Chip(const std::string& target) {
    if (target == "0") return m_sink;
    if (target == "1") return m_source;
    return nullptr;
}

struct BenchServer::Connection {
    Connection(int socket, BenchServer& server)
        : fd(socket),
          conversation(server.m_sink, server.m_source, server.m_faults, server.m_calls, server.m_log) {}
    ~Connection() { close(fd); }

    int fd;
    std::string received;
    bool mute = false;
    BenchConversation conversation;
};

BenchServer::BenchServer(BenchChip* sink, BenchChip* source, std::vector<BenchFault> faults)
    : m_sink(sink), m_source(source), m_faults(std::move(faults)) {}

BenchServer::~BenchServer() {
    for (int listener : m_listeners) close(listener);
}

std::optional<uint16_t> BenchServer::Listen(uint16_t port) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    socklen_t length = sizeof v4;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&v4), sizeof v4) != 0 ||
        listen(listener, 8) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&v4), &length) != 0) {
        m_errorText = std::string(std::strerror(errno)) + "\n";
        if (listener >= 0) close(listener);
        return std::nullopt;
    }
    m_listeners.push_back(listener);
    uint16_t bound = ntohs(v4.sin_port);

    // The loopback name may resolve to ::1 first; serve it too where the system has it.
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(bound);
    v6.sin6_addr = in6addr_loopback;
    int listener6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener6 >= 0) {
        setsockopt(listener6, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(listener6, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
        if (bind(listener6, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0 && listen(listener6, 8) == 0) {
            m_listeners.push_back(listener6);
        } else {
            close(listener6);
        }
    }
    return bound;
}

void BenchServer::AddPollFds(std::vector<pollfd>& fds) const {
    for (int listener : m_listeners) fds.push_back({listener, POLLIN, 0});
    for (const auto& connection : m_connections) fds.push_back({connection->fd, POLLIN, 0});
}

void BenchServer::ServeReady(const std::vector<pollfd>& fds) {
    auto ready = [&fds](int fd) {
        return std::any_of(fds.begin(), fds.end(),
                           [fd](const pollfd& p) { return p.fd == fd && p.revents != 0; });
    };
    std::erase_if(m_connections,
                  [&](const std::unique_ptr<Connection>& c) { return ready(c->fd) && !Serve(*c); });
    for (int listener : m_listeners) {
        if (ready(listener)) Accept(listener);
    }
}

void BenchServer::Poll(int timeoutMs) {
    std::vector<pollfd> fds;
    AddPollFds(fds);
    if (poll(fds.data(), fds.size(), timeoutMs) > 0) ServeReady(fds);
}

void BenchServer::Run(const std::atomic<bool>& stop) {
    while (!stop) Poll(5);
}

void BenchServer::Accept(int listener) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    int on = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (fd >= 0) m_connections.push_back(std::make_unique<Connection>(fd, *this));
}

// Reads what arrived and answers every whole line; false when the connection is over.
bool BenchServer::Serve(Connection& connection) {
    char buffer[kMaxLine];
    ssize_t count = recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) return false;
    if (count > 0) connection.received.append(buffer, static_cast<size_t>(count));
    for (size_t end; (end = connection.received.find('\n')) != std::string::npos;) {
        if (end >= kMaxLine) return false;
        std::string line = connection.received.substr(0, end);
        connection.received.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (connection.mute) continue;
        std::string answer;
        BenchConversation::Outcome outcome = connection.conversation.Handle(line, answer);
        if (outcome == BenchConversation::Outcome::Silent) connection.mute = true;
        if (outcome == BenchConversation::Outcome::Silent) continue;
        if (answer.empty()) return false;
        // A client that does not read its answers is dropped, never waited for.
        answer += "\n";
        ssize_t sent = send(connection.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent != static_cast<ssize_t>(answer.size())) return false;
        if (outcome == BenchConversation::Outcome::Hangup) return false;
    }
    return connection.received.size() < kMaxLine;
}

}  // namespace board
