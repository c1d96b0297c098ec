#include "tests/image/BoardRig.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "flash/Controller.h"
#include "flash/FlashDriver.h"
#include "link/TargetSession.h"

namespace imagetest {

namespace {

// Passes everything through and keeps a copy of what the host sent.
class RecordingPort final : public platform::ByteDevice {
  public:
    RecordingPort(std::unique_ptr<platform::ByteDevice> inner, std::string& sent)
        : m_inner(std::move(inner)), m_sent(sent) {}
    bool Write(const uint8_t* data, size_t size) override {
        m_sent.append(reinterpret_cast<const char*>(data), size);
        return m_inner->Write(data, size);
    }
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override {
        return m_inner->Read(data, maxBytes, timeoutMs);
    }
    void Flush() override { m_inner->Flush(); }
    std::string ErrorText() const override { return m_inner->ErrorText(); }

  private:
    std::unique_ptr<platform::ByteDevice> m_inner;
    std::string& m_sent;
};

board::ChipConfig configFor(board::Side side, const std::string& setting) {
    board::ChipConfig config = board::DefaultChipConfig(side);
    std::string error;
    if (!setting.empty() && !board::ParseChipSpec(setting, config, error)) throw std::invalid_argument(error);
    return config;
}

}  // namespace

ScopedPrefix::ScopedPrefix() {
    std::string pattern = (std::filesystem::temp_directory_path() / "image_prefix.XXXXXX").string();
    m_path = mkdtemp(pattern.data());
    if (const char* previous = getenv("TOLVAR_PREFIX")) {
        m_previous = previous;
        m_hadPrevious = true;
    }
    setenv("TOLVAR_PREFIX", m_path.c_str(), 1);
}

ScopedPrefix::~ScopedPrefix() {
    if (m_hadPrevious) {
        setenv("TOLVAR_PREFIX", m_previous.c_str(), 1);
    } else {
        unsetenv("TOLVAR_PREFIX");
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

BoardRig::BoardRig(const std::string& sourceSpec, const std::string& sinkSpec)
    : pair(std::make_unique<board::BoardPair>(configFor(board::Side::Sink, sinkSpec),
                                              configFor(board::Side::Source, sourceSpec))) {
    m_opener = std::make_unique<ScopedPortOpener>([this](const std::string& name) {
        platform::DeviceOpenResult result;
        if (name == "com1" || name == "com2") {
            result.device =
                std::make_unique<RecordingPort>(pair->OpenDebugPort(name == "com1" ? 1 : 0, {115200}), sent);
        } else {
            result.failure = platform::OpenFailure::Open;
            result.errorText = "No such file or directory\n";
        }
        return result;
    });
}

BoardRig::~BoardRig() {
    // The session's link holds a port of this pair: it goes first.
    ResetTargetSession();
}

int32_t BoardRig::Connect(int target, int32_t memoryKind) {
    ResetTargetSession();
    ResetI2cBits();
    Session().linkKind = Uart;
    OpenUartLink(target == 1 ? 1 : 2);
    m_sizeSelection = 0;
    IdentifyMemory(memoryKind, target, m_sizeSelection);
    return memoryKind;
}

std::string BoardRig::EndAndAudit() {
    pair->EndSession();
    std::string report;
    for (const std::string& entry : pair->AuditEntries()) report += entry + "\n";
    return report;
}

std::vector<SentBlock> BoardRig::Blocks() const {
    std::vector<SentBlock> blocks;
    size_t i = 0;
    while (i < sent.size()) {
        const char c = sent[i];
        if ((c == 'B' || c == 'T') && i + 1 < sent.size()) {
            const auto length = static_cast<uint8_t>(sent[i + 1]);
            blocks.push_back({c, length});
            i += 2 + length + 2;  // data, CR, LF
        } else {
            const size_t end = sent.find('\n', i);
            if (end == std::string::npos) break;
            i = end + 1;
        }
    }
    return blocks;
}

void BoardRig::TraceBus(int target, bool on) {
    pair->Target(target).MemoryController().ClearTrace();
    pair->Target(target).MemoryController().EnableTrace(on);
}

std::vector<std::string> BoardRig::Erases(int target) const {
    const auto& trace = pair->Target(target).MemoryController().Trace();
    std::vector<std::string> erases;
    for (size_t i = 0; i + 4 < trace.size(); ++i) {
        if (trace[i] != "select") continue;
        const std::string& opcode = trace[i + 1];
        if (opcode != ">20" && opcode != ">d8" && opcode != ">c7") continue;
        std::string text = opcode.substr(1);
        if (opcode != ">c7")
            text.append("@").append(trace[i + 2], 1).append(trace[i + 3], 1).append(trace[i + 4], 1);
        erases.push_back(text);
    }
    return erases;
}

}  // namespace imagetest
