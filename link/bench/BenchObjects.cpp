// The bench server's objects as seen from this side: each call becomes one request on the
// connection they share (docs/bench-protocol.md).
#include "link/bench/BenchObjects.h"

#include <cstdio>

#include "link/bench/BenchChannel.h"
#include "platform/Trace.h"

namespace {

using Channel = std::shared_ptr<CBenchChannel>;

// Sends a request whose string arguments could all be encoded.
int32_t CallWith(CBenchChannel& channel, const std::string& verb,
                 std::initializer_list<std::optional<std::string>> texts, uint32_t& value) {
    std::string request = verb;
    for (const std::optional<std::string>& text : texts) {
        std::optional<std::string> encoded = EncodeBenchString(text);
        if (!encoded) return BenchStatus::InvalidArgument;
        request += " " + *encoded;
    }
    return channel.Call(request, value);
}

class CBenchProduct final : public BenchProductInterface, public std::enable_shared_from_this<CBenchProduct> {
  public:
    explicit CBenchProduct(Channel channel) : m_channel(std::move(channel)) {}

    std::shared_ptr<BenchInterface> QueryInterface(const std::string& interfaceId) override {
        if (interfaceId == kIidOlwenProdGiga) return shared_from_this();
        return nullptr;
    }
    int32_t SelectTarget(const std::string& progId) override {
        uint32_t value = 0;
        return CallWith(*m_channel, "TARGET", {progId}, value);
    }
    int32_t Command(const std::optional<std::string>& text) override {
        uint32_t value = 0;
        return CallWith(*m_channel, "COMMAND", {text}, value);
    }
    int32_t ReadRegister(uint8_t target, uint32_t address, uint32_t& value) override {
        char request[40];
        std::snprintf(request, sizeof request, "READ %u %08X", unsigned{target}, address);
        return m_channel->Call(request, value);
    }
    int32_t WriteRegister(uint8_t target, uint32_t address, uint32_t value) override {
        char request[48];
        std::snprintf(request, sizeof request, "WRITE %u %08X %08X", unsigned{target}, address, value);
        uint32_t ignored = 0;
        return m_channel->Call(request, ignored);
    }

  private:
    Channel m_channel;
};

// What the server's position-7 call hands out: an object to be asked for the product interface.
class CBenchObject final : public BenchInterface {
  public:
    explicit CBenchObject(Channel channel) : m_channel(std::move(channel)) {}

    std::shared_ptr<BenchInterface> QueryInterface(const std::string& interfaceId) override {
        uint32_t value = 0;
        int32_t status = CallWith(*m_channel, "QUERY", {interfaceId}, value);
        if (status < 0 || interfaceId != kIidOlwenProdGiga) return nullptr;
        return std::make_shared<CBenchProduct>(m_channel);
    }

  private:
    Channel m_channel;
};

class CBenchServer final : public BenchServerInterface, public std::enable_shared_from_this<CBenchServer> {
  public:
    explicit CBenchServer(Channel channel) : m_channel(std::move(channel)) {}

    std::shared_ptr<BenchInterface> QueryInterface(const std::string& interfaceId) override {
        if (interfaceId == kBenchServerInterfaceId) return shared_from_this();
        return nullptr;
    }
    int32_t GetInterface(const std::string& progId, const std::string& interfaceId,
                         std::shared_ptr<BenchInterface>& object) override {
        uint32_t value = 0;
        int32_t status = CallWith(*m_channel, "GETINTERFACE", {progId, interfaceId}, value);
        object = status < 0 ? nullptr : std::make_shared<CBenchObject>(m_channel);
        return status;
    }

  private:
    Channel m_channel;
};

}  // namespace

int32_t CreateBenchServer(const std::string& hostName, const std::string& classId,
                          const std::string& interfaceId, uint32_t timeoutMs,
                          std::shared_ptr<BenchServerInterface>& server) {
    server = nullptr;
    std::optional<uint16_t> port = BenchPort();
    auto channel = std::make_shared<CBenchChannel>(timeoutMs);
    if (!port) platform::Trace("bench: TOLVAR_BENCH_PORT is not a port number");
    if (!port || !channel->Open(hostName, *port)) return BenchStatus::Unreachable;
    uint32_t value = 0;
    int32_t status = channel->Call("CREATE " + classId + " " + interfaceId, value);
    if (status >= 0) server = std::make_shared<CBenchServer>(channel);
    return status;
}
