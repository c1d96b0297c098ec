#include "platform/Clock.h"

#include <chrono>
#include <ctime>

namespace platform {
namespace {

RealClock g_realClock;
Clock* g_clock = &g_realClock;

uint64_t SteadyMicroSeconds() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void SleepFor(uint64_t us) {
    timespec rest{static_cast<time_t>(us / 1'000'000), static_cast<long>((us % 1'000'000) * 1000)};
    while (nanosleep(&rest, &rest) != 0) {
    }
}

}  // namespace

uint32_t RealClock::TickMs() {
    return static_cast<uint32_t>(SteadyMicroSeconds() / 1000);
}
uint64_t RealClock::MicroSeconds() {
    return SteadyMicroSeconds();
}
void RealClock::SleepMs(uint32_t ms) {
    SleepFor(uint64_t{ms} * 1000);
}
void RealClock::SleepUs(uint64_t us) {
    SleepFor(us);
}

uint32_t VirtualClock::TickMs() {
    m_nowUs += m_stepUs;
    return static_cast<uint32_t>(m_nowUs / 1000);
}

uint64_t VirtualClock::MicroSeconds() {
    m_nowUs += m_stepUs;
    return m_nowUs;
}

Clock& CurrentClock() {
    return *g_clock;
}

Clock* InstallClock(Clock* clock) {
    Clock* previous = g_clock;
    g_clock = clock ? clock : &g_realClock;
    return previous;
}

}  // namespace platform
