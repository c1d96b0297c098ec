#pragma once
// The progress line of the long operations: whole percentages, at most every 500 ms, and only while
// progress output is on (debug mode turns it off).
#include <cstdint>

#include "console/ConsoleUi.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

class ThrottledProgress {
  public:
    static constexpr uint32_t kIntervalMs = 500;

    explicit ThrottledProgress(uint64_t total)
        : m_total(total), m_lastMs(platform::CurrentClock().TickMs()) {}

    // `done` of the total finished; printed when the interval has passed since the last print.
    void Done(uint64_t done) {
        if (!Session().options.progress || m_total == 0) return;
        platform::Clock& clock = platform::CurrentClock();
        if (clock.TickMs() - m_lastMs < kIntervalMs) return;
        ConsoleUi::instance().progress(static_cast<int32_t>(done * 100 / m_total));
        m_lastMs = clock.TickMs();
    }

  private:
    uint64_t m_total;
    uint32_t m_lastMs;
};
