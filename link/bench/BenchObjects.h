#pragma once
// The bench server's objects as the tool sees them: statuses, fixed identifiers and the three
// interfaces, reached over TCP on the loopback host (docs/bench-protocol.md).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Statuses of the bench calls; negative is failure.
namespace BenchStatus {
constexpr int32_t Ok = 0;
constexpr int32_t NoInterface = static_cast<int32_t>(0x80004002);
constexpr int32_t Failed = static_cast<int32_t>(0x80004005);
constexpr int32_t ClassNotRegistered = static_cast<int32_t>(0x80040154);
constexpr int32_t InvalidArgument = static_cast<int32_t>(0x80070057);
constexpr int32_t Unexpected = static_cast<int32_t>(0x8000FFFF);
// Never on the wire: the exchange itself failed (server gone, silent, talking nonsense).
constexpr int32_t Unreachable = static_cast<int32_t>(0x800706BA);
}  // namespace BenchStatus

// Fixed identifiers of the bench server's objects.
inline constexpr const char* kBenchServerClassId = "{4E2B7C61-93D8-4A5F-B1E0-7C3D2A9F6E18}";
inline constexpr const char* kBenchServerInterfaceId = "{4E2B7C62-93D8-4A5F-B1E0-7C3D2A9F6E18}";
inline constexpr const char* kIidOlwenProdGiga = "{4E2B7C63-93D8-4A5F-B1E0-7C3D2A9F6E18}";
inline constexpr const char* kProductProgId = "OlwenProduct.OlwenProdGiga";
inline constexpr const char* kTargetProgId = "OlwenTarget.TargetOrb";

inline constexpr uint16_t kBenchDefaultPort = 47011;
inline constexpr uint32_t kBenchExchangeTimeoutMs = 2000;

// An object of the bench server. Reference counting is the shared_ptr's; the last reference to
// the connection's objects closes it.
class BenchInterface {
  public:
    virtual ~BenchInterface() = default;
    // The interface asked for by its id, or empty when the object lacks it.
    virtual std::shared_ptr<BenchInterface> QueryInterface(const std::string& interfaceId) = 0;
};

// The server's top-level interface.
class BenchServerInterface : public BenchInterface {
  public:
    // Position 7: creates the product object.
    virtual int32_t GetInterface(const std::string& progId, const std::string& interfaceId,
                                 std::shared_ptr<BenchInterface>& object) = 0;
};

// The product interface that carries the register reads, writes and commands.
class BenchProductInterface : public BenchInterface {
  public:
    virtual int32_t SelectTarget(const std::string& progId) = 0;                          // position 7
    virtual int32_t Command(const std::optional<std::string>& text) = 0;                  // position 10
    virtual int32_t ReadRegister(uint8_t target, uint32_t address, uint32_t& value) = 0;  // 36
    virtual int32_t WriteRegister(uint8_t target, uint32_t address, uint32_t value) = 0;  // 37
};

// Creates the server object on the host and returns its server interface (the stand-in for
// creating a COM instance). A negative status when it cannot be made.
int32_t CreateBenchServer(const std::string& hostName, const std::string& classId,
                          const std::string& interfaceId, uint32_t timeoutMs,
                          std::shared_ptr<BenchServerInterface>& server);
