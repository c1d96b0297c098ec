#pragma once
// The surroundings of a test of the UART link in process: a private prefix, a virtual clock and a
// captured console.
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/support/Console.h"
#include "tests/support/TempDir.h"

namespace testsupport {

// A failed exchange keeps the machine-wide exchange lock until the process ends; tests that run
// after one in the same process start without it.
void ReleaseLeftoverExchangeLock();

class UartTest : public ::testing::Test {
  protected:
    UartTest() { ReleaseLeftoverExchangeLock(); }
    ScopedPrefix prefix;
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    ConsoleCapture console;
};

}  // namespace testsupport
