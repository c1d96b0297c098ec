#include "link/BenchLink.h"

#include <cstdlib>
#include <optional>

#include "console/CxException.h"
#include "console/TextHelpers.h"
#include "link/TargetSession.h"
#include "link/bench/BenchChannel.h"
#include "link/bench/BenchTarget.h"

namespace {

constexpr uint32_t kChipLockWaitMs = 3000;

[[noreturn]] void Raise(const std::string& text) {
    throw CxExceptionError(text, 0);
}

// The product interface Connect stored; empty before a link was opened.
BenchProductInterface* Product() {
    return dynamic_cast<BenchProductInterface*>(Session().link.benchProduct.get());
}

// Where the server was looked for, so that the user knows what to start or set.
std::string AbsentServerDetail(const std::string& hostName) {
    const std::optional<uint16_t> port = BenchPort();
    if (!port)
        return "TOLVAR_BENCH_PORT is not a port number: \"" + std::string(std::getenv("TOLVAR_BENCH_PORT")) +
               "\".";
    return "No working bench server on " + hostName + " port " + std::to_string(*port) +
           " (TOLVAR_BENCH_PORT; tolvar-board --bench serves one).";
}

}  // namespace

BenchLink::BenchLink(const std::string& hostName, uint32_t timeoutMs)
    : m_hostName(hostName), m_timeoutMs(timeoutMs) {
    Connect();
}

BenchLink::~BenchLink() = default;

void BenchLink::Connect() {
    TargetSession& session = Session();
    std::shared_ptr<BenchServerInterface> server;
    const int32_t created =
        CreateBenchServer(m_hostName, kBenchServerClassId, kBenchServerInterfaceId, m_timeoutMs, server);
    if (created == BenchStatus::Unreachable)
        Raise("Could not create NorvikServer.\n" + AbsentServerDetail(m_hostName));
    if (created < 0) Raise("Could not create NorvikServer.");
    session.link.benchServer = server;

    std::shared_ptr<BenchInterface> object;
    if (server->GetInterface(kProductProgId, kIidOlwenProdGiga, object) < 0) {
        session.link.benchServer = nullptr;
        Raise("Could not GetInterface() from NorvikServer to IOlwenProduct.");
    }
    session.link.benchProduct = object ? object->QueryInterface(kIidOlwenProdGiga) : nullptr;
    if (!Product()) {
        session.link.benchProduct = nullptr;
        Raise("Could not QueryInterface(IID_IOlwenProdGiga).");
    }
    Product()->SelectTarget(kTargetProgId);  // its status tells nothing the next calls will not
}

int32_t BenchCommand(const std::optional<std::string>& text) {
    BenchProductInterface* product = Product();
    return product ? product->Command(text) : BenchStatus::Unexpected;
}

void SelectBenchTarget() {
    SelectBenchTarget(BenchCommand);
}

uint32_t BenchRead(uint8_t target, uint32_t address) {
    uint32_t value = 0;
    BenchProductInterface* product = Product();
    if (!product || product->ReadRegister(target, address, value) < 0) {
        Raise("Error reading value. Please check board connectivity.\n");
    }
    return value;
}

void BenchWrite(uint8_t target, uint32_t address, uint32_t value) {
    BenchProductInterface* product = Product();
    if (!product || product->WriteRegister(target, address, value) < 0) {
        Raise("Error writing value. Please check board connectivity.\n");
    }
}

void HoldBenchChip(uint32_t target) {
    TargetSession& session = Session();
    if (!session.link.bench) return;
    // Never given back: the lock goes with the process, however it ends.
    platform::NamedMutex chip(formatText("Chip_bench_%u", target));
    if (chip.Wait(kChipLockWaitMs)) {
        // The memory locks are this chip's from here on: a run on the other chip does not wait.
        const platform::NamedMutex memory(formatText("Eprom_bench_%u", target));
        session.link.accessMutex = memory;
        session.controller.flashMutex = memory;
        session.controller.fillMutex = memory;
        return;
    }
    Raise(
        formatText("The %s chip (target %u) on the bench link is in use by another run; waited %u "
                   "milliseconds.",
                   target == 1 ? "source" : "sink", target, kChipLockWaitMs));
}
