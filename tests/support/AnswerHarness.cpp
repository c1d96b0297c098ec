#include "tests/support/AnswerHarness.h"

#include <algorithm>
#include <vector>

#include "console/CxException.h"
#include "link/uart/CUartLib.h"
#include "platform/Clock.h"

namespace testsupport {
namespace {

// Every text the link may raise for a misbehaving firmware.
const char* const kDefinedErrors[] = {
    "Can't read from chip",
    "Invalid response. Len: ",
    "Error shouldn't reach here",
    "Didn't get 'Ready' response for write operation. recLen=",
    "Error out of bounds in CUartLib::Receive",
    "Error writing indirect address",
    "Can't read indirectly",
    "Error burn data",
};

class ChunkDevice final : public platform::ByteDevice {
  public:
    ChunkDevice(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Write(const uint8_t*, size_t) override { return true; }
    long Read(uint8_t* out, size_t maxBytes, uint32_t timeoutMs) override {
        if (m_at >= m_size || m_data[m_at] == 0) {
            if (m_at < m_size) ++m_at;
            platform::CurrentClock().SleepMs(timeoutMs);
            return 0;
        }
        const size_t wanted = std::min<size_t>({m_data[m_at], maxBytes, m_size - m_at - 1});
        std::copy_n(m_data + m_at + 1, wanted, out);
        m_at += 1 + m_data[m_at];
        return static_cast<long>(wanted);
    }
    void Flush() override {}
    std::string ErrorText() const override { return ""; }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

struct Borrowed final : platform::ByteDevice {
    explicit Borrowed(platform::ByteDevice& device) : target(device) {}
    bool Write(const uint8_t* data, size_t size) override { return target.Write(data, size); }
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override {
        return target.Read(data, maxBytes, timeoutMs);
    }
    void Flush() override {}
    std::string ErrorText() const override { return ""; }
    platform::ByteDevice& target;
};

constexpr uint8_t kBlock[128] = {};

void RunExchange(CUartLib& uart, uint8_t selector) {
    switch (selector % 5) {
        case 0:
            uart.ReadRegister(0x80000000);
            break;
        case 1:
            uart.WriteRegister(0x80000050, 0x201);
            break;
        case 2:
            uart.VerifyBlock(kBlock, 128, false);
            break;
        case 3:
            uart.ReadAddress(0x85000010, 1);
            break;
        default:
            uart.BurnBlock(kBlock, 8);
            break;
    }
}

}  // namespace

AnswerResult RunAnswerExchange(const uint8_t* data, size_t size) {
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    const uint8_t selector = size > 0 ? data[0] : 0;
    ChunkDevice device(size > 0 ? data + 1 : data, size > 0 ? size - 1 : 0);
    ScopedPortOpener opener([&](const std::string&) {
        platform::DeviceOpenResult result;
        result.device = std::make_unique<Borrowed>(device);
        return result;
    });
    CUartLib uart;
    try {
        uart.Open("com1", 100);
        RunExchange(uart, selector);
    } catch (const CxExceptionError& error) {
        for (const char* known : kDefinedErrors) {
            if (error.message.rfind(known, 0) == 0) return {AnswerOutcome::DefinedError, error.message};
        }
        return {AnswerOutcome::UnknownError, error.message};
    }
    return {AnswerOutcome::Value, ""};
}

}  // namespace testsupport
