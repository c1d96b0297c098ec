#include "tests/support/UartTest.h"

#include "platform/NamedMutex.h"

namespace testsupport {

void ReleaseLeftoverExchangeLock() {
    platform::NamedMutex exchangeLock("__MUTEX_FOR_UART");
    for (int i = 0; i < 100000; ++i) exchangeLock.Release();
}

}  // namespace testsupport
