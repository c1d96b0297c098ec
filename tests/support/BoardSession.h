#pragma once
// In-process test bench for the flash driver and everything built on it (image operations, image
// checks): the simulated board pair, the UART link to one of its chips, a virtual clock, a fresh
// prefix, captured console output and the session's start values. Link `tolvar_test_support`.
//
//   testsupport::BoardSession bench;                 // Marnel sink + source, 4 MiB Macronix each
//   bench.Connect(1);                                // UART link to the source chip (com1; sink: com2)
//   int32_t kind = 0, size = 0;
//   IdentifyMemory(kind, 1, size);                   // or bench.Identify(1)
//   ... drive the tool's operations ...
//   EXPECT_EQ(bench.Memory(1)[0x100], 0x12);         // the simulated memory's cells
//   bench.ExpectCleanAudit();                        // ends the board session, audit must be empty
//
// Other memories: pass chip configs, e.g. testsupport::Chip(board::Side::Source, "family=ostral,
// memory=i2c-eeprom,size=128k"). The debug ports run at 115200 baud on the virtual clock, so busy
// times and register round trips cost virtual time as over a real line and no test waits for real.
// Stops of the tool (fatalExit and the direct exits) arrive as ProcessExit; `Run` catches them.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/BoardPair.h"
#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "flash/FlashDriver.h"
#include "link/TargetSession.h"
#include "link/uart/CUartLib.h"
#include "platform/Clock.h"
#include "tests/support/Ports.h"
#include "tests/support/TempDir.h"

namespace testsupport {

struct BenchOptions {
    uint32_t baud = 115200;  // 0: register exchanges cost no virtual time
};

class BoardSession {
  public:
    explicit BoardSession(board::ChipConfig sink = board::DefaultChipConfig(board::Side::Sink),
                          board::ChipConfig source = board::DefaultChipConfig(board::Side::Source),
                          BenchOptions options = {})
        : m_options(options),
          m_pair(sink, source),
          m_opener([this](const std::string& name) { return OpenPort(name); }) {
        ResetTargetSession();
        ConsoleUi::instance().Install({[this](const std::string& text) { m_output += text; },
                                       [this](int32_t percent) { m_progress.push_back(percent); },
                                       [this] { return m_confirm; }, [this] { ++m_errorPauses; }});
    }
    ~BoardSession() {
        // The link's port must close before the pair that serves it goes away.
        ResetTargetSession();
        ConsoleUi::instance().Install(StandardConsoleOperations(stdin, stdout));
    }
    BoardSession(const BoardSession&) = delete;
    BoardSession& operator=(const BoardSession&) = delete;

    // Opens the UART link to the chip of the target (1 source on com1, 0 sink on com2).
    void Connect(int target) {
        Session().link.kind = Uart;
        OpenUartLink(target == 1 ? 1 : 2);
    }
    // Connects to the side's chip and identifies its memory; returns the memory kind.
    int32_t Identify(int side, int32_t kind = 0) {
        Connect(side);
        int32_t size = 0;
        IdentifyMemory(kind, side, size);
        m_sizeSelection = size;
        return kind;
    }
    int32_t SizeSelection() const { return m_sizeSelection; }

    // Runs a step of the tool; the exit code when it stopped the process, nothing otherwise.
    static std::optional<int> Run(const std::function<void()>& step) {
        try {
            step();
        } catch (const ProcessExit& stop) {
            return stop.code;
        }
        return std::nullopt;
    }

    board::BoardPair& Pair() { return m_pair; }
    board::Chip& Target(int target) { return m_pair.Target(target); }
    std::vector<uint8_t>& Memory(int target) { return m_pair.Target(target).MemoryBytes(); }
    platform::VirtualClock& Clock() { return m_clock; }
    void AddFault(const std::string& text) {
        std::string error;
        if (!m_pair.AddFault(text, error)) ADD_FAILURE() << "fault '" << text << "': " << error;
    }

    // Console output so far.
    const std::string& Output() const { return m_output; }
    void ClearOutput() { m_output.clear(); }
    const std::vector<int32_t>& Progress() const { return m_progress; }
    int ErrorPauses() const { return m_errorPauses; }
    // The answer every confirmation gets.
    void SetConfirm(bool answer) { m_confirm = answer; }

    // Ends the board session and returns the audit findings.
    std::vector<std::string> Audit() {
        m_pair.EndSession();
        return m_pair.AuditEntries();
    }
    void ExpectCleanAudit() {
        m_pair.EndSession();
        EXPECT_TRUE(m_pair.AuditEntries().empty()) << m_pair.AuditReport();
    }

  private:
    platform::DeviceOpenResult OpenPort(const std::string& name) {
        if (name != "com1" && name != "com2") return NoSuchDevice();
        platform::DeviceOpenResult result;
        result.device = m_pair.OpenDebugPort(name == "com1" ? 1 : 0, {m_options.baud});
        return result;
    }

    BenchOptions m_options;
    ScopedPrefix m_prefix;
    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock{m_clock};
    board::BoardPair m_pair;
    ScopedPortOpener m_opener;
    std::string m_output;
    std::vector<int32_t> m_progress;
    int m_errorPauses = 0;
    bool m_confirm = true;
    int32_t m_sizeSelection = 0;
};

}  // namespace testsupport
