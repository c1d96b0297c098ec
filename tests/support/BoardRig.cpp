#include "tests/support/BoardRig.h"

#include "flash/Controller.h"
#include "flash/FlashDriver.h"
#include "link/TargetSession.h"
#include "tests/support/Ports.h"

namespace testsupport {

BoardRig::BoardRig(const std::string& sourceSpec, const std::string& sinkSpec)
    : pair(std::make_unique<board::BoardPair>(Chip(board::Side::Sink, sinkSpec),
                                              Chip(board::Side::Source, sourceSpec))) {
    m_opener = std::make_unique<ScopedPortOpener>([this](const std::string& name) {
        if (name != "com1" && name != "com2") return NoSuchDevice();
        platform::DeviceOpenResult result;
        result.device =
            std::make_unique<RecordingPort>(pair->OpenDebugPort(name == "com1" ? 1 : 0, {115200}), sent);
        return result;
    });
}

BoardRig::~BoardRig() {
    // The session's link holds a port of this pair: it goes first.
    ResetTargetSession();
}

int32_t BoardRig::Connect(int target, int32_t memoryKind) {
    ResetTargetSession();
    Session().link.kind = Uart;
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

}  // namespace testsupport
