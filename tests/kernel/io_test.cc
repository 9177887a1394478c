// The I/O manager's contracts the driver relies on, seen through small scripted drivers on a
// device stack: pdo (kernel bus) <- lower <- upper.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace qkr::kern {
namespace {

using test::complete;

class IoTest : public ::testing::Test, protected test::ScriptedStack {
  protected:
    Kernel kernel;
    test::VerifierLog log;

    void SetUp() override {
        log.install(kernel);
        build_stack(kernel);
    }
    void TearDown() override {
        tear_down_stack(kernel);
        EXPECT_EQ(kernel.irps_live(), 0u);
        EXPECT_EQ(log.count(), 0u) << log.all();
    }
};

struct RoutineLog {
    std::vector<std::pair<PDEVICE_OBJECT, BOOLEAN>> calls; // device, PendingReturned
    NTSTATUS result;
};
NTSTATUS recording_routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* c = static_cast<RoutineLog*>(context);
    c->calls.emplace_back(device, irp->PendingReturned);
    return c->result;
}

// Routines run bottom-up, each with the device of its own location (none past the top); one
// returning MORE_PROCESSING_REQUIRED gets the IRP back until it completes it again.
TEST_F(IoTest, CompletionRoutinesRunBottomUpAndMoreProcessingRequiredHandsTheIrpBack) {
    RoutineLog upper_log{{}, STATUS_MORE_PROCESSING_REQUIRED};
    RoutineLog owner_log{{}, STATUS_MORE_PROCESSING_REQUIRED};
    using Calls = decltype(RoutineLog::calls);
    upper_b = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, recording_routine, &upper_log, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
        EXPECT_EQ(upper_log.calls, (Calls{{upper, FALSE}}));
        EXPECT_TRUE(owner_log.calls.empty());
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, upper); // ours again
        return complete(irp, STATUS_DEVICE_BUSY, 7);
    };
    PIRP irp = flush_irp();
    IoSetCompletionRoutine(irp, recording_routine, &owner_log, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_DEVICE_BUSY);
    EXPECT_EQ(owner_log.calls, (Calls{{nullptr, FALSE}}));
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

// A driver-owned request kept going from its own completion routine, as event tracking does;
// the last completion frees the IRP inside the routine. Upper passes it down without a routine of
// its own, so lower's pending mark must reach the routine through upper's location.
struct Chain {
    PDEVICE_OBJECT target;
    int steps = 0, limit = 0;
    ULONG buffer = 0;
    bool freed = false;
    void send(PIRP irp) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.OutputBufferLength = sizeof buffer;
        irp->AssociatedIrp.SystemBuffer = &buffer;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                auto* c = static_cast<Chain*>(context);
                EXPECT_EQ(irp->PendingReturned, c->steps % 2 == 1) << c->steps;
                if (++c->steps < c->limit)
                    c->send(irp);
                else
                    IoFreeIrp(irp), c->freed = true;
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            this, TRUE, TRUE, TRUE);
        IofCallDriver(target, irp);
    }
};

TEST_F(IoTest, DriverOwnedIrpIsResentFromItsCompletionRoutineAndFreedThere) {
    int calls = 0; // odd steps complete at once (nesting the routine), even ones pend for 1 ms
    lower_b = [&](PDEVICE_OBJECT, PIRP irp) {
        if (++calls % 2 == 1)
            return complete(irp, STATUS_SUCCESS, 4);
        IoMarkIrpPending(irp);
        kernel.schedule_after(milliseconds(1), [irp] { complete(irp, STATUS_SUCCESS, 4); });
        return STATUS_PENDING;
    };
    Chain c{upper, 0, 9};
    c.send(IoAllocateIrp(static_cast<CCHAR>(upper->StackSize + 1), FALSE));
    kernel.sleep_for(milliseconds(10));
    EXPECT_EQ(c.steps, 9);
    EXPECT_TRUE(c.freed);
}

// Buffered I/O copies back at most what the driver reports, and only for a non-error.
TEST_F(IoTest, BuiltRequestCopiesBackAtMostWhatTheDriverReportsAndOnlyForNonErrors) {
    struct Case {
        NTSTATUS status;
        ULONG_PTR information;
        bool pend;
        std::vector<UCHAR> out;
    } cases[] = {
        {STATUS_SUCCESS, 3, false, {9, 8, 7, 0xEE}},
        {STATUS_BUFFER_OVERFLOW, 4, false, {9, 8, 7, 6}}, // a warning still copies
        {STATUS_DEVICE_DATA_ERROR, 4, true, {0xEE, 0xEE, 0xEE, 0xEE}},
        {STATUS_SUCCESS, 4, true, {9, 8, 7, 6}},
    };
    for (const Case& c : cases) {
        lower_b = [&](PDEVICE_OBJECT, PIRP irp) {
            auto* sb = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(sb[0], 0x18); // the input
            std::memcpy(sb, "\x09\x08\x07\x06\x05", 5);
            if (!c.pend)
                return complete(irp, c.status, c.information);
            IoMarkIrpPending(irp);
            kernel.schedule_after(milliseconds(2),
                                  [&, irp] { complete(irp, c.status, c.information); });
            return STATUS_PENDING;
        };
        std::vector<UCHAR> in = {0x18, 0, 0, 0, 0}, out(4, 0xEE);
        KEVENT ev;
        KeInitializeEvent(&ev, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x1B0048, upper, in.data(), 5, out.data(), 4,
                                                 FALSE, &ev, &iosb);
        if (IoCallDriver(upper, irp) == STATUS_PENDING) {
            EXPECT_EQ(test::wait(&ev, seconds(1)), STATUS_SUCCESS);
        }
        EXPECT_EQ(iosb.Status, c.status);
        EXPECT_EQ(out, c.out) << std::hex << c.status;
    }
}

// The lower driver parks device control requests under the cancel spin lock, as a serial port
// parks a wait; `completions` counts both ways a request can end.
PIRP g_parked = nullptr; // guarded by the cancel spin lock
std::atomic<int> g_completions{0};

void cancel_parked(PDEVICE_OBJECT, PIRP irp) {
    if (g_parked == irp)
        g_parked = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++g_completions;
    complete(irp, STATUS_CANCELLED);
}

// Completes the parked request unless its cancel routine already owns it.
bool complete_parked(NTSTATUS status) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = std::exchange(g_parked, nullptr);
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr)
        irp = nullptr;
    IoReleaseCancelSpinLock(irql);
    if (irp != nullptr)
        ++g_completions, complete(irp, status);
    return irp != nullptr;
}

TEST_F(IoTest, CancelRunsTheCancelRoutineOnceUnlessCompletionClearedItFirst) {
    lower_b = [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return complete(irp, STATUS_SUCCESS);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancel_parked);
        g_parked = irp;
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    };
    FileHandle handle;
    ASSERT_EQ(kernel.open(pdo, &handle), STATUS_SUCCESS);
    PendingIo io = handle.ioctl_async(0x1B0048, {}, 4);
    EXPECT_TRUE(io.cancel());
    EXPECT_EQ(io.wait(), STATUS_CANCELLED);
    EXPECT_FALSE(io.cancel()); // nothing left to cancel
    // Racing each other, cancel and completion still finish each request exactly once.
    for (int round = 0; round < 200; ++round) {
        g_completions = 0;
        PendingIo raced = handle.ioctl_async(0x1B0048, {}, 4);
        Thread completer = kernel.spawn("completer", [] { complete_parked(STATUS_SUCCESS); });
        raced.cancel();
        NTSTATUS s = raced.wait();
        completer.join();
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << std::hex << s;
        EXPECT_EQ(g_completions, 1);
    }
    handle.close();
}

// Queued from DISPATCH_LEVEL as a completion routine would; it waits 3 s of virtual time and frees
// its own item.
TEST_F(IoTest, WorkItemRunsAtPassiveLevelAndMayWait) {
    struct Ctx {
        PIO_WORKITEM item;
        KIRQL irql = 99;
        KEVENT done;
    } ctx{IoAllocateWorkItem(lower)};
    KeInitializeEvent(&ctx.done, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(
        ctx.item,
        [](PDEVICE_OBJECT, PVOID p) {
            auto* c = static_cast<Ctx*>(p);
            c->irql = KeGetCurrentIrql();
            LARGE_INTEGER delay = test::relative(seconds(3));
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            IoFreeWorkItem(c->item);
            KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &ctx);
    KeLowerIrql(old);
    EXPECT_EQ(test::wait(&ctx.done, seconds(10)), STATUS_SUCCESS);
    EXPECT_EQ(kernel.now(), seconds(3));
    EXPECT_EQ(ctx.irql, PASSIVE_LEVEL);
}

} // namespace
} // namespace qkr::kern
