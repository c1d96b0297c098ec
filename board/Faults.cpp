#include "board/Faults.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <utility>

namespace board {
namespace {

constexpr std::array<std::pair<std::string_view, FaultKind>, 10> kKinds{{
    {"noise", FaultKind::Noise},
    {"stale", FaultKind::Stale},
    {"silence", FaultKind::Silence},
    {"echo", FaultKind::Echo},
    {"flood", FaultKind::Flood},
    {"gone", FaultKind::Gone},
    {"busy", FaultKind::Busy},
    {"status", FaultKind::StatusRefused},
    {"early", FaultKind::EarlyReady},
    {"never", FaultKind::NeverReady},
}};

template <typename T>
bool Number(std::string_view text, T& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool Probability(std::string_view text, double& out) {
    std::string copy(text);
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return !copy.empty() && *end == '\0' && out >= 0.0 && out <= 1.0;
}

bool ApplyKey(std::string_view key, std::string_view value, FaultSpec& setting) {
    if (key == "after") return Number(value, setting.after);
    if (key == "times") return Number(value, setting.times);
    if (key == "seed") return Number(value, setting.seed);
    if (key == "bytes") return Number(value, setting.bytes);
    if (key == "p") return Probability(value, setting.probability);
    if (key == "chip") {
        if (value == "source")
            setting.chip = FaultChip::Source;
        else if (value == "sink")
            setting.chip = FaultChip::Sink;
        else if (value == "both")
            setting.chip = FaultChip::Both;
        else
            return false;
        return true;
    }
    return false;
}

}  // namespace

bool FaultSpec::IsState() const {
    return kind == FaultKind::Busy || kind == FaultKind::StatusRefused || kind == FaultKind::EarlyReady ||
           kind == FaultKind::NeverReady;
}

unsigned FaultSpec::Bytes() const {
    if (bytes) return bytes;
    return kind == FaultKind::Flood ? 200 : 8;
}

bool ParseFault(std::string_view text, FaultSpec& setting, std::string& error) {
    setting = FaultSpec{};
    size_t comma = text.find(',');
    std::string_view name = text.substr(0, comma);
    bool known = false;
    for (const auto& [kindName, kind] : kKinds) {
        if (kindName == name) {
            setting.kind = kind;
            known = true;
        }
    }
    if (!known) {
        error = "unknown fault '" + std::string(name) + "'";
        return false;
    }
    std::string_view rest = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    while (!rest.empty()) {
        size_t next = rest.find(',');
        std::string_view field = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        size_t equals = field.find('=');
        if (equals == std::string_view::npos ||
            !ApplyKey(field.substr(0, equals), field.substr(equals + 1), setting)) {
            error = "bad fault setting '" + std::string(field) + "'";
            return false;
        }
    }
    return true;
}

bool FaultTrigger::Fires(uint64_t command) {
    if (command <= m_spec.after) return false;
    if (m_spec.times != 0 && m_fired >= m_spec.times) return false;
    if (m_spec.probability < 1.0) {
        double draw = static_cast<double>(m_random()) / 4294967296.0;
        if (draw >= m_spec.probability) return false;
    }
    ++m_fired;
    return true;
}

}  // namespace board
