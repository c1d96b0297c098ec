#pragma once
// The surroundings of a test of the UART link in process: a private prefix, a virtual clock and a
// captured console; and what an action raised.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "console/CxException.h"
#include "platform/Clock.h"
#include "tests/support/Console.h"
#include "tests/support/TempDir.h"

namespace testsupport {

class UartTest : public ::testing::Test {
  protected:
    ScopedPrefix prefix;
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    ConsoleCapture console;
};

// Runs the action; the text it raised as CxExceptionError, none when it returned.
template <typename Action>
std::optional<std::string> Raised(Action action) {
    try {
        action();
    } catch (const CxExceptionError& error) {
        return error.message;
    }
    return std::nullopt;
}

}  // namespace testsupport
