#include "board/LocalPort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Clock.h"

namespace board {

LocalPort::LocalPort(Firmware& firmware, DebugPortOptions options)
    : m_firmware(firmware), m_options(options) {}

uint64_t LocalPort::ByteUs() const {
    return m_options.baud ? 10'000'000ull / m_options.baud : 0;
}

bool LocalPort::Write(const uint8_t* data, size_t size) {
    if (m_firmware.Gone()) {
        m_error = std::string(std::strerror(EIO)) + "\n";
        return false;
    }
    uint64_t now = platform::CurrentClock().MicroSeconds();
    uint64_t arrived = std::max(now, m_inFreeUs) + size * ByteUs();
    m_inFreeUs = arrived;
    std::string answer;
    m_firmware.Receive(data, size, answer);
    uint64_t due = std::max(arrived, m_outFreeUs);
    for (char c : answer) {
        due += ByteUs();
        m_queue.push_back({due, static_cast<uint8_t>(c)});
    }
    if (!answer.empty()) m_outFreeUs = due;
    return true;
}

long LocalPort::Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) {
    platform::Clock& clock = platform::CurrentClock();
    if (m_firmware.Gone()) {
        m_error = std::string(std::strerror(EIO)) + "\n";
        return -1;
    }
    uint64_t now = clock.MicroSeconds();
    uint64_t deadline = now + uint64_t{timeoutMs} * 1000;
    if (m_queue.empty() || m_queue.front().dueUs > deadline) {
        clock.SleepMs(timeoutMs);
        return 0;
    }
    if (m_queue.front().dueUs > now) {
        clock.SleepUs(m_queue.front().dueUs - now);
        now = m_queue.front().dueUs;
    }
    size_t count = 0;
    while (count < maxBytes && !m_queue.empty() && m_queue.front().dueUs <= now) {
        data[count++] = m_queue.front().byte;
        m_queue.pop_front();
    }
    return static_cast<long>(count);
}

}  // namespace board
