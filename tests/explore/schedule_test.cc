// The controlled schedule's own report; that a seed replays its interleaving byte for byte is
// checked on whole explorer runs (explore_test).
#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace qkr {
namespace {

// A thread that only spins, with the clock standing still, would never end: the verifier says so,
// once, and in time for the spinning to stop.
TEST(ControlledSchedule, SwitchingWithoutTheClockMovingIsReportedAsALivelock) {
    kern::Kernel kernel(kern::ClockMode::Virtual, {kern::Schedule::Random, 1});
    std::atomic<int> livelocks{0};
    kernel.set_verifier_handler([&](const std::string& message) {
        if (message.rfind("livelock", 0) == 0)
            ++livelocks;
    });
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    kern::Thread spinner = kernel.spawn("spinner", [&] {
        for (int i = 0; i < 2'000'000 && livelocks.load() == 0; ++i) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            KeReleaseSpinLock(&lock, irql);
        }
    });
    spinner.join();
    EXPECT_EQ(livelocks.load(), 1);
}

} // namespace
} // namespace qkr
