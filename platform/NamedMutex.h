#pragma once
// Machine-wide named mutex: an exclusive flock on $TOLVAR_PREFIX/locks/<name>.lock, recursive
// within the process (one open file and one ownership count per name, shared by all handles).
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

}  // namespace platform
