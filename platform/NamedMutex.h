#pragma once
// Machine-wide named mutex: an exclusive flock on $TOLVAR_PREFIX/locks/<name>.lock, recursive
// within the process (one open file and one ownership count per name, shared by all handles).
// Waiters queue on <name>.queue, so a holder that gives the lock back cannot take it again ahead
// of another process that was already waiting. The queue file also counts its waiters: with none,
// taking the name is one flock and giving it back another, the files staying open in between.
#include <cstdint>
#include <string>

namespace platform {

class NamedMutex {
  public:
    explicit NamedMutex(std::string name) : m_name(std::move(name)) {}

    // Waits up to timeoutMs (0 = one try); true when this process now holds the lock.
    bool Wait(uint32_t timeoutMs);
    // Gives back one ownership; a name the process does not hold is left alone.
    void Release();
    const std::string& Name() const { return m_name; }

  private:
    std::string m_name;
};

// Holds a name for one scope: released on every way out, an exception included.
class ScopedLock {
  public:
    ScopedLock(NamedMutex mutex, uint32_t timeoutMs)
        : m_mutex(std::move(mutex)), m_held(m_mutex.Wait(timeoutMs)) {}
    ~ScopedLock() {
        if (m_held) m_mutex.Release();
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    NamedMutex m_mutex;
    bool m_held;
};

}  // namespace platform
