// The real clock: timers fire from the timer thread and waits time out on the host's clock.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

namespace qkr::kern {
namespace {

using test::relative;

TEST(ClockModes, RealClockFiresTimersFromItsOwnThread) {
    Kernel kernel(ClockMode::Real);
    EXPECT_EQ(kernel.mode(), ClockMode::Real);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    Ticks start = kernel.now();
    kernel.schedule_after(milliseconds(5), [&] { KeSetEvent(&ev, IO_NO_INCREMENT, FALSE); });
    LARGE_INTEGER t = relative(seconds(5));
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_GE(kernel.now() - start, milliseconds(5));
    t = relative(milliseconds(2));
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
}

} // namespace
} // namespace qkr::kern
