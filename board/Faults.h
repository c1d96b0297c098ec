#pragma once
// Fault injection for the link's and the driver's failure paths.
//
// A fault is "KIND[,key=value...]":
//   noise      noise bytes before an answer (bytes=N, default 8; more than 60 is garbage to the tool)
//   stale      a stale 19-byte answer before the real one
//   silence    the command is lost: no answer at all
//   echo       a read answer echoes another address
//   flood      the answer is replaced by a flood of bytes (bytes=N, default 200)
//   gone       the UART goes away: the port fails from then on
//   busy       the memory controller's status stays busy
//   status     the flash refuses the status write (status reads 0x9c)
//   early      erases report ready after a tenth of their time
//   never      erases never report ready
// Keys: after=K (may fire from command K+1 on, default 0), times=N (answer faults: how often, 0 =
// every time, default 1), p=P (probability per eligible command, default 1), seed=S (default 1),
// chip=source|sink|both (default both). The last four kinds stay on once they fired.
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace board {

enum class FaultKind {
    Noise,
    Stale,
    Silence,
    Echo,
    Flood,
    Gone,
    Busy,
    StatusRefused,
    EarlyReady,
    NeverReady
};
enum class FaultChip { Both, Source, Sink };

struct FaultSpec {
    FaultKind kind = FaultKind::Silence;
    uint64_t after = 0;
    unsigned times = 1;
    double probability = 1.0;
    uint32_t seed = 1;
    unsigned bytes = 0;  // 0: the kind's default
    FaultChip chip = FaultChip::Both;

    // Faults that change the chip for good rather than one answer.
    bool IsState() const;
    unsigned Bytes() const;
};

bool ParseFault(std::string_view text, FaultSpec& setting, std::string& error);

// One armed fault: decides per command whether it fires.
class FaultTrigger {
  public:
    explicit FaultTrigger(const FaultSpec& setting) : m_spec(setting), m_random(setting.seed) {}
    const FaultSpec& Setting() const { return m_spec; }
    // Command number (1-based) of the chip's firmware; true when the fault fires on it.
    bool Fires(uint64_t command);

  private:
    FaultSpec m_spec;
    std::mt19937 m_random;
    unsigned m_fired = 0;
};

}  // namespace board
