// The virtual clock, kernel waits with time-outs, events, timers, DPCs and threads.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qkr::kern {
namespace {

using test::relative;

class ClockTest : public ::testing::Test {
  protected:
    Kernel kernel;
    test::VerifierLog log;
    void SetUp() override { log.install(kernel); }
    void TearDown() override {
        EXPECT_TRUE(log.messages.empty()) << ::testing::PrintToString(log.messages);
    }
    // Bounded by default so that a lost wake-up fails at once instead of hanging.
    NTSTATUS wait(void* object, Ticks timeout = seconds(100)) {
        LARGE_INTEGER t = relative(timeout);
        return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
    }
};

TEST_F(ClockTest, VirtualWaitsCostNoWallTimeAndAbsoluteOnesCountFromTheOrigin) {
    auto start = std::chrono::steady_clock::now();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(wait(&never, seconds(900)), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now(), seconds(900));
    LARGE_INTEGER d = relative(seconds(300));
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
    EXPECT_EQ(kernel.now(), seconds(1200));
    LARGE_INTEGER at;
    at.QuadPart = seconds(1500);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(seconds(1500)));
    at.QuadPart = seconds(2); // already past: polls
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, seconds(1500));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// What falls due while a thread stalls happens at its own time, not when the stall ends.
TEST_F(ClockTest, StallMovesTimeOnAndWhatFallsDueMeanwhileHappensInTimeOrder) {
    std::vector<Ticks> fired;
    kernel.schedule_after(microseconds(250), [&] { fired.push_back(kernel.now()); });
    Ticks woke = -1;
    Thread waiter = kernel.spawn("waiter", [&] {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        EXPECT_EQ(wait(&never, microseconds(420)), STATUS_TIMEOUT);
        woke = kernel.now();
    });
    for (int i = 0; i < 11; ++i)
        KeStallExecutionProcessor(100);
    EXPECT_EQ(kernel.now(), microseconds(1100));
    waiter.join();
    EXPECT_EQ(fired, std::vector<Ticks>{microseconds(250)});
    EXPECT_EQ(woke, microseconds(420));
}

TEST_F(ClockTest, NotificationEventReleasesEveryWaiterSynchronizationEventOne) {
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        SCOPED_TRACE(type);
        KEVENT ev;
        KeInitializeEvent(&ev, type, FALSE);
        std::atomic<int> woken{0};
        std::vector<Thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.push_back(kernel.spawn("waiter " + std::to_string(i), [&] {
                if (wait(&ev, seconds(10)) == STATUS_SUCCESS)
                    ++woken;
            }));
        kernel.sleep_for(milliseconds(1)); // all three are blocked by now
        EXPECT_EQ(KeSetEvent(&ev, IO_NO_INCREMENT, FALSE), 0);
        for (auto& t : waiters)
            t.join();
        EXPECT_EQ(woken, type == NotificationEvent ? 3 : 1); // the others timed out
        EXPECT_EQ(KeReadStateEvent(&ev), type == NotificationEvent ? 1 : 0);
        // Set with nobody waiting: a synchronization event stays set for one wait.
        KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(wait(&ev, 0), STATUS_SUCCESS);
        EXPECT_EQ(wait(&ev, 0), type == NotificationEvent ? STATUS_SUCCESS : STATUS_TIMEOUT);
        EXPECT_EQ(KeResetEvent(&ev), type == NotificationEvent ? 1 : 0);
    }
}

struct TaggedTimer;
struct DpcLog {
    std::vector<std::pair<int, Ticks>> runs;
    Kernel* kernel;
    KIRQL irql = 99;
};
struct TaggedTimer {
    KTIMER timer;
    KDPC dpc;
    int tag;
    DpcLog* log;
    TaggedTimer(int t, DpcLog* l) : tag(t), log(l) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID ctx, PVOID, PVOID) {
                auto* self = static_cast<TaggedTimer*>(ctx);
                self->log->runs.emplace_back(self->tag, self->log->kernel->now());
                self->log->irql = KeGetCurrentIrql();
            },
            this);
    }
    BOOLEAN set(Ticks after) { return KeSetTimer(&timer, relative(after), &dpc); }
};

TEST_F(ClockTest, TimersRearmCancelAndFireAtDispatchLevelInArmingOrder) {
    DpcLog dl{{}, &kernel};
    TaggedTimer t1(1, &dl), t2(2, &dl);
    EXPECT_FALSE(t1.set(milliseconds(10)));
    EXPECT_TRUE(t1.set(milliseconds(7))); // it was queued: rearming replaces the due time
    t2.set(milliseconds(7));
    kernel.schedule_at(milliseconds(7), [&] { dl.runs.emplace_back(3, kernel.now()); });
    kernel.schedule_at(milliseconds(3), [&] { dl.runs.emplace_back(0, kernel.now()); });
    EXPECT_EQ(wait(&t2.timer), STATUS_SUCCESS);
    kernel.sleep_for(milliseconds(10));
    std::vector<std::pair<int, Ticks>> expected = {
        {0, milliseconds(3)}, {1, milliseconds(7)}, {2, milliseconds(7)}, {3, milliseconds(7)}};
    EXPECT_EQ(dl.runs, expected);
    EXPECT_EQ(dl.irql, DISPATCH_LEVEL);
    EXPECT_EQ(wait(&t1.timer, 0), STATUS_SUCCESS); // a fired notification timer stays signalled
    EXPECT_FALSE(KeCancelTimer(&t1.timer));        // not queued any more

    t1.set(milliseconds(10));
    EXPECT_FALSE(KeReadStateTimer(&t1.timer)); // setting it again clears the signal
    EXPECT_TRUE(KeCancelTimer(&t1.timer));
    EXPECT_FALSE(KeCancelTimer(&t1.timer));
    EXPECT_EQ(wait(&t1.timer, milliseconds(20)), STATUS_TIMEOUT);
    EXPECT_EQ(dl.runs.size(), 4u);

    KTIMER sync;
    KeInitializeTimerEx(&sync, 1);
    KeSetTimer(&sync, relative(milliseconds(1)), nullptr);
    EXPECT_EQ(wait(&sync), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&sync)); // a synchronization timer releases one wait
}

TEST_F(ClockTest, ScheduledCallbacksRunLaterAtDispatchLevelAndCanBeCancelled) {
    std::vector<std::string> ran;
    KIRQL irql = 99;
    kernel.schedule_after(0, [&] {
        ran.push_back("now");
        irql = KeGetCurrentIrql();
    });
    EXPECT_TRUE(ran.empty()); // never inline
    kernel.sleep_for(0);      // but anything due runs before a wait, even one that cannot block
    EXPECT_EQ(ran, (std::vector<std::string>{"now"}));
    auto id = kernel.schedule_after(milliseconds(2), [&] { ran.push_back("cancelled"); });
    kernel.schedule_after(milliseconds(4), [&] {
        ran.push_back("later");
        kernel.schedule_after(milliseconds(1), [&] { ran.push_back("chained"); });
    });
    EXPECT_TRUE(kernel.cancel(id));
    EXPECT_FALSE(kernel.cancel(id));
    kernel.sleep_for(milliseconds(10));
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "later", "chained"}));
    EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Queued below DISPATCH_LEVEL a DPC has run when the insertion returns; queued at DISPATCH_LEVEL
// it runs once, before the queuing thread blocks, unless it is taken out of the queue first.
TEST_F(ClockTest, QueuedDpcRunsAtOnceFromPassiveLevelElseOnceBeforeTheQueuingThreadBlocks) {
    DpcLog dl{{}, &kernel};
    TaggedTimer d(5, &dl); // (its timer unused)
    EXPECT_TRUE(KeInsertQueueDpc(&d.dpc, nullptr, nullptr));
    ASSERT_EQ(dl.runs.size(), 1u);
    EXPECT_EQ(dl.irql, DISPATCH_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&d.dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&d.dpc, nullptr, nullptr)); // already queued
    KeLowerIrql(old);
    EXPECT_EQ(dl.runs.size(), 1u);
    kernel.sleep_for(milliseconds(1));
    ASSERT_EQ(dl.runs.size(), 2u);
    EXPECT_EQ(dl.runs[1].second, 0);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
    KeLowerIrql(old);
    EXPECT_TRUE(KeRemoveQueueDpc(&d.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&d.dpc));
    kernel.sleep_for(milliseconds(1));
    EXPECT_EQ(dl.runs.size(), 2u);
}

TEST_F(ClockTest, ThreadsTakeTurnsThroughEventsWithoutLosingAWakeUp) {
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    constexpr int kRounds = 2000;
    Thread t = kernel.spawn("ponger", [&] {
        for (int i = 0; i < kRounds; ++i) {
            wait(&ping, seconds(1));
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        ASSERT_EQ(wait(&pong, seconds(1)), STATUS_SUCCESS) << i;
    }
    t.join();
    EXPECT_EQ(kernel.now(), 0); // nothing ever had to wait for time
}

TEST_F(ClockTest, ForeignThreadCountsOnceRegisteredAndStopsCountingWhenItEnds) {
    std::atomic<bool> registered{false};
    std::atomic<Ticks> woke{-1};
    std::thread foreign([&] {
        kernel.register_current_thread("pcscd");
        registered = true;
        kernel.sleep_for(seconds(1));
        woke = kernel.now();
        // Ends without unregistering; the clock must not wait for it for ever.
    });
    while (!registered)
        std::this_thread::yield();
    kernel.sleep_for(seconds(5));
    foreign.join();
    EXPECT_EQ(woke, seconds(1));
    EXPECT_EQ(kernel.now(), seconds(5));
}

TEST(Deadlock, ReportNamesEveryBlockedWaitAndReleasesThem) {
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
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    t.join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(log.count(), 1u);
    EXPECT_TRUE(log.saw("deadlock"));
    EXPECT_TRUE(log.saw("thread 'main' waits for event " + test::hex_of(&a) + " 'SerialIoEvent'"));
    EXPECT_TRUE(
        log.saw("thread 'stopper' waits for event " + test::hex_of(&b) + " 'SerialCloseDone'"));
}

} // namespace
} // namespace qkr::kern
