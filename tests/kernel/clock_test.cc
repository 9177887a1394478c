// The clock, kernel waits, events, timers, DPCs and threads, in virtual time.
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
    NTSTATUS wait(void* object, std::optional<Ticks> timeout = std::nullopt) {
        LARGE_INTEGER t;
        if (timeout)
            t = relative(*timeout);
        return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout ? &t : nullptr);
    }
};

// ---------------------------------------------------------------------------------------------
// Virtual time
// ---------------------------------------------------------------------------------------------

TEST_F(ClockTest, LongVirtualWaitCostsNoWallTime) {
    auto start = std::chrono::steady_clock::now();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(wait(&never, seconds(900)), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now(), seconds(900));
    LARGE_INTEGER d = relative(seconds(300));
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
    kernel.sleep_for(seconds(300));
    EXPECT_EQ(kernel.now(), seconds(1500));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(ClockTest, TimeStandsStillWhileAnyThreadRuns) {
    std::atomic<bool> moved{false};
    Thread busy = kernel.spawn("busy", [&] {
        for (int i = 0; i < 2000; ++i) {
            if (kernel.now() != 0)
                moved = true;
            std::this_thread::yield();
        }
    });
    kernel.sleep_for(milliseconds(1)); // cannot end before "busy" stops running
    EXPECT_EQ(kernel.now(), milliseconds(1));
    busy.join();
    EXPECT_FALSE(moved);
}

TEST_F(ClockTest, AbsoluteTimeoutsCountFromTheClocksOrigin) {
    kernel.sleep_for(seconds(1));
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    LARGE_INTEGER at;
    at.QuadPart = seconds(3);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now(), seconds(3));
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, seconds(3));
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(seconds(3)));
    // An absolute time already past polls.
    at.QuadPart = seconds(2);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now(), seconds(3));
}

// What falls due while a thread stalls happens at its own time, not when the stall ends.
TEST_F(ClockTest, StallMovesTimeOnWithoutWallTimeAndWhatFallsDueMeanwhileHappensInTimeOrder) {
    std::vector<Ticks> fired;
    kernel.schedule_after(microseconds(250), [&] { fired.push_back(kernel.now()); });
    Ticks woke = -1;
    Thread waiter = kernel.spawn("waiter", [&] {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        EXPECT_EQ(wait(&never, microseconds(420)), STATUS_TIMEOUT);
        woke = kernel.now();
    });
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 11; ++i)
        KeStallExecutionProcessor(100);
    EXPECT_EQ(kernel.now(), microseconds(1100));
    waiter.join();
    EXPECT_EQ(fired, std::vector<Ticks>{microseconds(250)});
    EXPECT_EQ(woke, microseconds(420));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

// ---------------------------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------------------------

TEST_F(ClockTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<Thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(kernel.spawn("waiter " + std::to_string(i), [&] {
            if (wait(&ev) == STATUS_SUCCESS)
                ++woken;
        }));
    kernel.sleep_for(milliseconds(1)); // all three are blocked by now
    EXPECT_EQ(KeSetEvent(&ev, IO_NO_INCREMENT, FALSE), 0);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(KeReadStateEvent(&ev), 1);
    EXPECT_EQ(KeSetEvent(&ev, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&ev), 1);
    EXPECT_EQ(KeReadStateEvent(&ev), 0);
}

TEST_F(ClockTest, SynchronizationEventReleasesOneWaiterPerSignal) {
    KEVENT ev;
    KeInitializeEvent(&ev, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<Thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.push_back(kernel.spawn("waiter " + std::to_string(i), [&] {
            if (wait(&ev, seconds(10)) == STATUS_SUCCESS)
                ++woken;
        }));
    kernel.sleep_for(milliseconds(1));
    KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
    kernel.sleep_for(milliseconds(1));
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(KeReadStateEvent(&ev), 0); // consumed by the waiter it released
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken, 1); // the other one timed out
    EXPECT_EQ(kernel.now(), seconds(10));

    // Signalled with nobody waiting, it stays set for the next single wait.
    KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(wait(&ev, 0), STATUS_SUCCESS);
    EXPECT_EQ(wait(&ev, 0), STATUS_TIMEOUT);
}

// ---------------------------------------------------------------------------------------------
// Timers, DPCs and scheduled callbacks
// ---------------------------------------------------------------------------------------------

struct DpcLog {
    std::vector<std::pair<int, Ticks>> runs;
    Kernel* kernel;
    KIRQL irql = 99;
    KEVENT ran{}; // set by each run; the DPC may run on another thread than the waiter's
    DpcLog(Kernel* k) : kernel(k) { KeInitializeEvent(&ran, SynchronizationEvent, FALSE); }
};
void tagged_dpc_routine(PKDPC, PVOID ctx, PVOID, PVOID);
// A timer and its DPC, which logs its tag and the time it ran.
struct TaggedTimer {
    KTIMER timer;
    KDPC dpc;
    int tag;
    DpcLog* log;
    TaggedTimer(int t, DpcLog* l) : tag(t), log(l) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, tagged_dpc_routine, this);
    }
    BOOLEAN set(Ticks after) { return KeSetTimer(&timer, relative(after), &dpc); }
};
void tagged_dpc_routine(PKDPC, PVOID ctx, PVOID, PVOID) {
    auto* t = static_cast<TaggedTimer*>(ctx);
    t->log->runs.emplace_back(t->tag, t->log->kernel->now());
    t->log->irql = KeGetCurrentIrql();
    KeSetEvent(&t->log->ran, IO_NO_INCREMENT, FALSE);
}

TEST_F(ClockTest, RearmingATimerReplacesItsDueTime) {
    DpcLog dl(&kernel);
    TaggedTimer t(1, &dl);
    KTIMER& timer = t.timer;
    EXPECT_FALSE(t.set(milliseconds(10)));
    EXPECT_TRUE(t.set(milliseconds(50))); // it was queued
    EXPECT_EQ(wait(&dl.ran), STATUS_SUCCESS);
    EXPECT_EQ(kernel.now(), milliseconds(50));
    ASSERT_EQ(dl.runs.size(), 1u);
    EXPECT_EQ(dl.runs[0].second, milliseconds(50));
    EXPECT_EQ(dl.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(wait(&timer, 0), STATUS_SUCCESS); // a fired notification timer stays signalled

    // Setting it again clears the signal until it fires again.
    KeSetTimer(&timer, relative(milliseconds(5)), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    kernel.sleep_for(milliseconds(5));
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(ClockTest, CancelledTimerNeverFires) {
    DpcLog dl(&kernel);
    TaggedTimer t(1, &dl);
    KTIMER& timer = t.timer;
    t.set(milliseconds(10));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    EXPECT_EQ(wait(&timer, milliseconds(20)), STATUS_TIMEOUT);
    EXPECT_TRUE(dl.runs.empty());

    // Cancelling after it fired reports that it was not queued.
    t.set(milliseconds(1));
    kernel.sleep_for(milliseconds(2));
    EXPECT_FALSE(KeCancelTimer(&timer));
    EXPECT_EQ(dl.runs.size(), 1u);
}

TEST_F(ClockTest, TimersDueTogetherFireInTheOrderTheyWereArmed) {
    DpcLog dl(&kernel);
    TaggedTimer t1(1, &dl), t2(2, &dl);
    t2.set(milliseconds(7));
    kernel.schedule_at(milliseconds(7), [&] { dl.runs.emplace_back(3, kernel.now()); });
    t1.set(milliseconds(7));
    kernel.schedule_at(milliseconds(3), [&] { dl.runs.emplace_back(0, kernel.now()); });
    kernel.sleep_for(milliseconds(10));
    std::vector<std::pair<int, Ticks>> expected = {
        {0, milliseconds(3)}, {2, milliseconds(7)}, {3, milliseconds(7)}, {1, milliseconds(7)}};
    EXPECT_EQ(dl.runs, expected);
}

TEST_F(ClockTest, SynchronizationTimerReleasesOneWait) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, 1);
    KeSetTimer(&timer, relative(milliseconds(1)), nullptr);
    EXPECT_EQ(wait(&timer), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer));
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
    EXPECT_EQ(kernel.now(), 0);
    auto id = kernel.schedule_after(milliseconds(2), [&] { ran.push_back("cancelled"); });
    kernel.schedule_after(milliseconds(4), [&] {
        ran.push_back("later");
        // A callback may schedule more; the clock keeps its order.
        kernel.schedule_after(milliseconds(1), [&] { ran.push_back("chained"); });
    });
    EXPECT_TRUE(kernel.cancel(id));
    EXPECT_FALSE(kernel.cancel(id));
    kernel.sleep_for(milliseconds(10));
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "later", "chained"}));
    EXPECT_EQ(kernel.now(), milliseconds(10));
    EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Queued below DISPATCH_LEVEL a DPC has run when the insertion returns; queued at DISPATCH_LEVEL
// it runs once, before the queuing thread blocks, unless it is taken out of the queue first.
TEST_F(ClockTest, QueuedDpcRunsAtOnceFromPassiveLevelElseOnceBeforeTheQueuingThreadBlocks) {
    DpcLog dl(&kernel);
    TaggedTimer d(5, &dl); // (its timer unused)
    EXPECT_TRUE(KeInsertQueueDpc(&d.dpc, nullptr, nullptr));
    ASSERT_EQ(dl.runs.size(), 1u);
    EXPECT_EQ(dl.irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

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

// ---------------------------------------------------------------------------------------------
// Threads and deadlocks
// ---------------------------------------------------------------------------------------------

TEST_F(ClockTest, ThreadsTakeTurnsThroughEventsWithoutLosingAWakeUp) {
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    constexpr int kRounds = 2000;
    Thread t = kernel.spawn("ponger", [&] {
        for (int i = 0; i < kRounds; ++i) {
            wait(&ping);
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

TEST_F(ClockTest, ManySleepingThreadsSeeExactlyTheirOwnDelays) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 100;
    std::vector<Thread> threads;
    std::atomic<int> late{0};
    for (int i = 0; i < kThreads; ++i) {
        threads.push_back(kernel.spawn("sleeper " + std::to_string(i), [&, i] {
            Ticks step = milliseconds(i + 1);
            for (int r = 1; r <= kRounds; ++r) {
                kernel.sleep_for(step);
                if (kernel.now() != r * step)
                    ++late;
            }
        }));
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(kernel.now(), milliseconds(kThreads * kRounds));
}

TEST_F(ClockTest, ForeignThreadCountsOnceRegisteredAndStopsCountingWhenItEnds) {
    // Until it registers, the clock does not know it: main must not block on it meanwhile.
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
    const std::string& m = log.messages[0];
    EXPECT_NE(m.find("deadlock"), std::string::npos) << m;
    EXPECT_NE(m.find("thread 'main' waits for event " + test::hex_of(&a) + " 'SerialIoEvent'"),
              std::string::npos)
        << m;
    EXPECT_NE(m.find("thread 'stopper' waits for event " + test::hex_of(&b) + " 'SerialCloseDone'"),
              std::string::npos)
        << m;
}

TEST(DeadlockDeathTest, DefaultHandlerReportsAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Kernel kernel;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            kernel.name_object(&never, "never");
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "qkr verifier: deadlock.*thread 'main' waits for event .* 'never'");
}

} // namespace
} // namespace qkr::kern
