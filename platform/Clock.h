#pragma once
// Every wait of the tool and the simulated board goes through one Clock, so that tests can run
// time-dependent paths (time-outs, busy waits, pacing) on a virtual clock instantly.
#include <cstdint>

namespace platform {

class Clock {
  public:
    virtual ~Clock() = default;
    // Millisecond tick; wraps at 2^32, compare with unsigned differences.
    virtual uint32_t TickMs() = 0;
    // High-resolution counter in microseconds.
    virtual uint64_t MicroSeconds() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual void SleepUs(uint64_t us) = 0;
};

class RealClock final : public Clock {
  public:
    uint32_t TickMs() override;
    uint64_t MicroSeconds() override;
    void SleepMs(uint32_t ms) override;
    void SleepUs(uint64_t us) override;
};

// Time moves only when someone sleeps, plus a small step on every reading so that a loop that
// busy-waits on the clock always reaches its deadline.
class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(uint64_t startUs = 1'000'000, uint64_t stepPerReadUs = 1)
        : m_nowUs(startUs), m_stepUs(stepPerReadUs) {}
    uint32_t TickMs() override;
    uint64_t MicroSeconds() override;
    void SleepMs(uint32_t ms) override { m_nowUs += uint64_t{ms} * 1000; }
    void SleepUs(uint64_t us) override { m_nowUs += us; }
    void Advance(uint64_t us) { m_nowUs += us; }
    uint64_t NowUs() const { return m_nowUs; }

  private:
    uint64_t m_nowUs;
    uint64_t m_stepUs;
};

// The clock in use; the real clock unless a test installed another.
Clock& CurrentClock();
// Installs a clock (nullptr restores the real one); returns the previous one.
Clock* InstallClock(Clock* clock);

// Installs a clock for the lifetime of a scope.
class ScopedClock {
  public:
    explicit ScopedClock(Clock& clock) : m_previous(InstallClock(&clock)) {}
    ~ScopedClock() { InstallClock(m_previous); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

  private:
    Clock* m_previous;
};

}  // namespace platform
