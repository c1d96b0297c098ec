#pragma once
// The surroundings of a test of the UART link in process: a private prefix, a virtual clock and a
// captured console.
#include <gtest/gtest.h>

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

}  // namespace testsupport
