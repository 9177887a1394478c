// The virtual clock, kernel waits with time-outs, events, timers, DPCs, threads and the reports
// of a run that can no longer move on.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qkr::kern {
namespace {

using test::relative;
using test::wait;

class ClockTest : public ::testing::Test {
  protected:
    Kernel kernel;
    test::VerifierLog log;
    void SetUp() override { log.install(kernel); }
    void TearDown() override { EXPECT_EQ(log.count(), 0u) << log.all(); }
};

// What falls due while a thread stalls happens at its own time, not when the stall ends.
TEST_F(ClockTest, WaitsAndStallsMoveVirtualTimeAndWhatFallsDueRunsInTimeOrder) {
    auto start = std::chrono::steady_clock::now();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(wait(&never, seconds(900)), STATUS_TIMEOUT);
    LARGE_INTEGER at;
    at.QuadPart = seconds(1500); // absolute: from the clock's origin
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(seconds(1500)));
    std::vector<Ticks> fired;
    kernel.schedule_after(microseconds(250), [&] { fired.push_back(kernel.now()); });
    Ticks woke = -1;
    Thread waiter = kernel.spawn("waiter", [&] {
        EXPECT_EQ(wait(&never, microseconds(420)), STATUS_TIMEOUT);
        woke = kernel.now();
    });
    for (int i = 0; i < 11; ++i)
        KeStallExecutionProcessor(100);
    waiter.join();
    EXPECT_EQ(kernel.now(), seconds(1500) + microseconds(1100));
    EXPECT_EQ(fired, std::vector<Ticks>{seconds(1500) + microseconds(250)});
    EXPECT_EQ(woke, seconds(1500) + microseconds(420));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(ClockTest, NotificationEventReleasesEveryWaiterSynchronizationEventOne) {
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        SCOPED_TRACE(type);
        KEVENT ev;
        KeInitializeEvent(&ev, type, FALSE);
        std::atomic<int> woken{0};
        std::vector<Thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.push_back(kernel.spawn("waiter", [&] {
                if (wait(&ev, seconds(10)) == STATUS_SUCCESS)
                    ++woken;
            }));
        kernel.sleep_for(milliseconds(1)); // all three are blocked by now
        KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
        for (auto& t : waiters)
            t.join();
        EXPECT_EQ(woken, type == NotificationEvent ? 3 : 1); // the others timed out
        // Set with nobody waiting: a synchronization event stays set for one wait.
        KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(wait(&ev, 0), STATUS_SUCCESS);
        EXPECT_EQ(wait(&ev, 0), type == NotificationEvent ? STATUS_SUCCESS : STATUS_TIMEOUT);
    }
}

struct TaggedDpc {
    KTIMER timer;
    KDPC dpc;
    int tag;
    std::vector<std::pair<int, Ticks>>* runs;
    KIRQL irql = 99;
    TaggedDpc(int t, std::vector<std::pair<int, Ticks>>* r) : tag(t), runs(r) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID ctx, PVOID, PVOID) {
                auto* self = static_cast<TaggedDpc*>(ctx);
                self->runs->emplace_back(self->tag, Kernel::current().now());
                self->irql = KeGetCurrentIrql();
            },
            this);
    }
    BOOLEAN set(Ticks after) { return KeSetTimer(&timer, relative(after), &dpc); }
};

TEST_F(ClockTest, TimersRearmCancelAndFireAtDispatchLevelInArmingOrder) {
    std::vector<std::pair<int, Ticks>> runs;
    TaggedDpc t1(1, &runs), t2(2, &runs);
    EXPECT_FALSE(t1.set(milliseconds(10)));
    EXPECT_TRUE(t1.set(milliseconds(7))); // it was queued: rearming replaces the due time
    t2.set(milliseconds(7));
    kernel.schedule_at(milliseconds(7), [&] { runs.emplace_back(3, kernel.now()); });
    kernel.schedule_at(milliseconds(3), [&] { runs.emplace_back(0, kernel.now()); });
    EXPECT_EQ(wait(&t2.timer), STATUS_SUCCESS);
    kernel.sleep_for(milliseconds(10));
    const std::vector<std::pair<int, Ticks>> expected = {
        {0, milliseconds(3)}, {1, milliseconds(7)}, {2, milliseconds(7)}, {3, milliseconds(7)}};
    EXPECT_EQ(runs, expected);
    EXPECT_EQ(t1.irql, DISPATCH_LEVEL);
    EXPECT_EQ(wait(&t1.timer, 0), STATUS_SUCCESS); // a fired notification timer stays signalled
    EXPECT_FALSE(KeCancelTimer(&t1.timer));        // not queued any more
    t1.set(milliseconds(10));
    EXPECT_FALSE(KeReadStateTimer(&t1.timer)); // setting it again clears the signal
    EXPECT_TRUE(KeCancelTimer(&t1.timer));
    EXPECT_EQ(wait(&t1.timer, milliseconds(20)), STATUS_TIMEOUT);
    auto id = kernel.schedule_after(milliseconds(2), [&] { runs.emplace_back(9, 0); });
    EXPECT_TRUE(kernel.cancel(id));
    kernel.sleep_for(milliseconds(10));
    EXPECT_EQ(runs.size(), 4u);
}

TEST(StuckRun, DeadlockReportNamesEveryBlockedWaitAndReleasesThem) {
    Kernel kernel;
    test::VerifierLog log;
    log.install(kernel);
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    kernel.name_object(&a, "SerialIoEvent");
    kernel.name_object(&b, "SerialCloseDone");
    NTSTATUS other = STATUS_SUCCESS;
    Thread t = kernel.spawn("stopper", [&] {
        other = KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_EQ(KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    t.join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    ASSERT_EQ(log.count(), 1u);
    EXPECT_TRUE(log.saw("deadlock"));
    EXPECT_TRUE(log.saw("thread 'main' waits for event 0x"));
    EXPECT_TRUE(log.saw("'SerialIoEvent'"));
    EXPECT_TRUE(log.saw("thread 'stopper' waits for event 0x"));
    EXPECT_TRUE(log.saw("'SerialCloseDone'"));
}

// A timer that re-arms itself for ever would carry a hung wait through years of virtual time.
TEST(StuckRun, ClockPassingItsLimitWhileEveryThreadWaitsIsReportedAndTheWaitEnds) {
    Kernel kernel;
    test::VerifierLog log;
    log.install(kernel);
    kernel.set_virtual_time_limit(seconds(3600));
    Kernel::TimerId id = 0;
    std::function<void()> tick = [&] { id = kernel.schedule_after(seconds(1), tick); };
    tick();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(log.count(), 1u) << log.all();
    EXPECT_EQ(log.messages[0].rfind("virtual time limit", 0), 0u) << log.messages[0];
    EXPECT_LE(kernel.now(), seconds(3600));
    kernel.cancel(id);
}

} // namespace
} // namespace qkr::kern
