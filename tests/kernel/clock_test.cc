// The clock, kernel waits, events, timers, DPCs and threads.
#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace qkr::kern {
namespace {

LARGE_INTEGER relative(Ticks t) {
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
}

class ClockTest : public ::testing::Test {
  protected:
    Kernel kernel;
    std::vector<std::string> failures;
    void SetUp() override {
        kernel.set_verifier_handler([this](const std::string& m) { failures.push_back(m); });
    }
};

TEST_F(ClockTest, LongVirtualWaitCostsNoWallTime) {
    auto start = std::chrono::steady_clock::now();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER t = relative(seconds(900));
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now(), seconds(900));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(failures.empty());
}

TEST_F(ClockTest, EventSetByAnotherThreadEndsWait) {
    KEVENT ev;
    KeInitializeEvent(&ev, SynchronizationEvent, FALSE);
    Thread t = kernel.spawn("setter", [&] {
        kernel.sleep_for(milliseconds(5));
        KeSetEvent(&ev, 0, FALSE);
    });
    LARGE_INTEGER to = relative(seconds(1));
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &to), STATUS_SUCCESS);
    EXPECT_EQ(kernel.now(), milliseconds(5));
    EXPECT_EQ(KeReadStateEvent(&ev), 0);
    t.join();
    EXPECT_TRUE(failures.empty());
}

TEST_F(ClockTest, TimerDpcRunsAtDispatchLevel) {
    KTIMER timer;
    KDPC dpc;
    struct Seen {
        KIRQL irql = 99;
        int runs = 0;
    } seen;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID ctx, PVOID, PVOID) {
            auto* s = static_cast<Seen*>(ctx);
            s->irql = KeGetCurrentIrql();
            ++s->runs;
        },
        &seen);
    EXPECT_FALSE(KeSetTimer(&timer, relative(milliseconds(10)), &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, relative(milliseconds(20)), &dpc));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kernel.now(), milliseconds(20));
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_FALSE(KeCancelTimer(&timer));
}

} // namespace
} // namespace qkr::kern
