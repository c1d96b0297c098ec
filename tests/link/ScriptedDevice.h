#pragma once
// A byte device that answers each write with scripted chunks, one per read, so that tests can
// place chunk boundaries and silences exactly. A read with nothing scripted waits its full
// time-out on the installed (virtual) clock.
#include <deque>
#include <string>
#include <vector>

#include "platform/ByteDevice.h"
#include "platform/Clock.h"

namespace linktest {

struct ScriptedDevice final : platform::ByteDevice {
    // Chunks delivered after the next write; an empty chunk stands for one silent read.
    std::deque<std::vector<std::string>> answers;
    std::deque<std::string> pending;
    std::vector<std::string> written;
    bool failed = false;
    bool writeFails = false;
    size_t writtenBeforeFailure = 0;
    uint32_t msPerRead = 0;  // time each delivered chunk takes to arrive

    bool Write(const uint8_t* data, size_t size) override {
        written.emplace_back(reinterpret_cast<const char*>(data), size);
        if (writeFails) return false;
        if (!answers.empty()) {
            pending.insert(pending.end(), answers.front().begin(), answers.front().end());
            answers.pop_front();
        }
        return true;
    }
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override {
        if (failed) return -1;
        if (pending.empty() || pending.front().empty()) {
            if (!pending.empty()) pending.pop_front();
            platform::CurrentClock().SleepMs(timeoutMs);
            return 0;
        }
        platform::CurrentClock().SleepMs(msPerRead);
        std::string& chunk = pending.front();
        const size_t count = std::min(maxBytes, chunk.size());
        chunk.copy(reinterpret_cast<char*>(data), count);
        chunk.erase(0, count);
        if (chunk.empty()) pending.pop_front();
        return static_cast<long>(count);
    }
    void Flush() override { pending.clear(); }
    std::string ErrorText() const override { return failed ? "Input/output error\n" : ""; }
    size_t WrittenBeforeFailure() const override { return writtenBeforeFailure; }
};

// Hands out a device the test keeps a pointer to.
struct BorrowedDevice final : platform::ByteDevice {
    explicit BorrowedDevice(platform::ByteDevice& device) : target(device) {}
    bool Write(const uint8_t* data, size_t size) override { return target.Write(data, size); }
    size_t WrittenBeforeFailure() const override { return target.WrittenBeforeFailure(); }
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override {
        return target.Read(data, maxBytes, timeoutMs);
    }
    void Flush() override { target.Flush(); }
    std::string ErrorText() const override { return target.ErrorText(); }
    platform::ByteDevice& target;
};

}  // namespace linktest
