// The I/O manager's rules, seen through small scripted drivers on a device stack:
// pdo (kernel bus) <- lower <- upper.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qkr::kern {
namespace {

using test::Behaviour;
using test::complete;
using test::make_device;
using test::pass_down;
using test::relative;

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
        EXPECT_TRUE(log.messages.empty()) << log.messages.front();
    }
};

// ---------------------------------------------------------------------------------------------
// Device objects and stacks
// ---------------------------------------------------------------------------------------------

TEST_F(IoTest, DeviceStackAttachesAboveItsTop) {
    EXPECT_EQ(lower->StackSize, 2);
    EXPECT_EQ(upper->StackSize, 3);
    EXPECT_EQ(pdo->AttachedDevice, lower);
    EXPECT_EQ(lower->AttachedDevice, upper);
    EXPECT_EQ(IoGetAttachedDevice(pdo), upper);
    EXPECT_EQ(IoGetAttachedDevice(lower), upper);

    // A third device attached to the PDO lands on top of upper, not on the PDO.
    Behaviour b;
    PDEVICE_OBJECT third = make_device(driver, &b);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(third, pdo), upper);
    EXPECT_EQ(third->StackSize, 4);
    IoDetachDevice(upper);
    EXPECT_EQ(upper->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetAttachedDevice(pdo), upper);
    IoDeleteDevice(third);
}

TEST_F(IoTest, NewDeviceStartsInitialisingWithZeroedExtension) {
    PDEVICE_OBJECT d = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 100, nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &d),
              STATUS_SUCCESS);
    EXPECT_TRUE(d->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(d->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(d->StackSize, 1);
    EXPECT_EQ(driver->DeviceObject, d); // newest first in the driver's list
    auto* ext = static_cast<const UCHAR*>(d->DeviceExtension);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(ext[i], 0) << i;
    IoDeleteDevice(d);
    EXPECT_NE(driver->DeviceObject, d);
}

TEST_F(IoTest, UnhandledMajorFunctionFailsAsInvalidRequest) {
    PDRIVER_OBJECT plain =
        kernel.load_driver("plain", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; });
    PDEVICE_OBJECT d = nullptr;
    ASSERT_EQ(IoCreateDevice(plain, 0, nullptr, 0x22, 0, FALSE, &d), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x222000, d, nullptr, 0, nullptr, 0, FALSE, &ev, &iosb);
    EXPECT_EQ(IoCallDriver(d, irp), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(d);
    kernel.unload_driver(plain);
}

// ---------------------------------------------------------------------------------------------
// Completion
// ---------------------------------------------------------------------------------------------

struct RoutineLog {
    struct Call {
        std::string who;
        PDEVICE_OBJECT device;
        BOOLEAN pending_returned;
    };
    std::vector<Call> calls;
};
struct RoutineCtx {
    RoutineLog* log;
    const char* who;
    NTSTATUS result;
};
NTSTATUS recording_routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* c = static_cast<RoutineCtx*>(context);
    c->log->calls.push_back({c->who, device, irp->PendingReturned});
    return c->result;
}

TEST_F(IoTest, CompletionRoutinesRunBottomUpWithTheirCallersDevice) {
    RoutineLog rl;
    RoutineCtx upper_ctx{&rl, "upper", STATUS_SUCCESS};
    RoutineCtx owner_ctx{&rl, "owner", STATUS_MORE_PROCESSING_REQUIRED};
    upper_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, recording_routine, &upper_ctx, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    };
    PIRP irp = flush_irp();
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    IoSetCompletionRoutine(irp, recording_routine, &owner_ctx, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
    ASSERT_EQ(rl.calls.size(), 2u);
    EXPECT_EQ(rl.calls[0].who, "upper");
    EXPECT_EQ(rl.calls[0].device, upper); // the device of the location the routine belongs to
    EXPECT_EQ(rl.calls[1].who, "owner");
    EXPECT_EQ(rl.calls[1].device, nullptr); // past the top of the stack
    EXPECT_FALSE(rl.calls[0].pending_returned || rl.calls[1].pending_returned); // nothing pended
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IoTest, MoreProcessingRequiredHandsTheIrpBackUntilCompletedAgain) {
    RoutineLog rl;
    RoutineCtx upper_ctx{&rl, "upper", STATUS_MORE_PROCESSING_REQUIRED};
    RoutineCtx owner_ctx{&rl, "owner", STATUS_MORE_PROCESSING_REQUIRED};
    std::size_t calls_after_first_completion = 0;
    upper_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, recording_routine, &upper_ctx, TRUE, TRUE, TRUE);
        NTSTATUS s = IoCallDriver(lower, irp);
        calls_after_first_completion = rl.calls.size();
        // The IRP is ours again at our own location: finish it with our own status.
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, upper);
        EXPECT_EQ(s, STATUS_SUCCESS);
        return complete(irp, STATUS_DEVICE_BUSY, 7);
    };
    PIRP irp = flush_irp();
    IoSetCompletionRoutine(irp, recording_routine, &owner_ctx, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_DEVICE_BUSY);
    EXPECT_EQ(calls_after_first_completion, 1u);
    ASSERT_EQ(rl.calls.size(), 2u);
    EXPECT_EQ(rl.calls[1].who, "owner");
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

TEST_F(IoTest, InvokeFlagsChooseWhichOutcomesCallTheRoutine) {
    struct Case {
        NTSTATUS status;
        bool cancel;
        BOOLEAN on_success, on_error, on_cancel;
        bool called;
    } cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_IO_TIMEOUT, false, TRUE, FALSE, FALSE, false},
        {STATUS_IO_TIMEOUT, false, FALSE, TRUE, FALSE, true},
        // The platform calls anything that is not a success an error, warnings included.
        {STATUS_BUFFER_OVERFLOW, false, TRUE, FALSE, FALSE, false},
        {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},
    };
    for (const Case& c : cases) {
        RoutineLog rl;
        RoutineCtx ctx{&rl, "owner", STATUS_MORE_PROCESSING_REQUIRED};
        lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
            if (c.cancel)
                irp->Cancel = TRUE;
            return complete(irp, c.status);
        };
        PIRP irp = flush_irp(lower->StackSize);
        IoSetCompletionRoutine(irp, recording_routine, &ctx, c.on_success, c.on_error, c.on_cancel);
        IoCallDriver(lower, irp);
        EXPECT_EQ(rl.calls.size(), c.called ? 1u : 0u)
            << std::hex << c.status << " cancel " << c.cancel;
        IoFreeIrp(irp);
    }
}

TEST_F(IoTest, PendingReturnedPropagatesToLocationsWithoutRoutine) {
    // lower pends and completes 1 ms later from a timer; upper passes down without a routine.
    PIRP parked = nullptr;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        kernel.schedule_after(milliseconds(1), [&] { complete(parked, STATUS_SUCCESS, 3); });
        return STATUS_PENDING;
    };
    RoutineLog rl;
    struct Owner {
        RoutineLog* log;
        KEVENT done;
    } owner{&rl, {}};
    KeInitializeEvent(&owner.done, NotificationEvent, FALSE);
    PIRP irp = flush_irp();
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP i, PVOID c) -> NTSTATUS {
            auto* o = static_cast<Owner*>(c);
            o->log->calls.push_back({"owner", nullptr, i->PendingReturned});
            KeSetEvent(&o->done, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_PENDING);
    EXPECT_TRUE(rl.calls.empty());
    EXPECT_EQ(KeWaitForSingleObject(&owner.done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(kernel.now(), milliseconds(1));
    ASSERT_EQ(rl.calls.size(), 1u);
    EXPECT_TRUE(rl.calls[0].pending_returned); // lower's mark reached upper's location
    IoFreeIrp(irp);
}

// A driver-owned request kept going from its own completion routine, as event tracking does:
// each completion writes the next request into the same location and sends it again; the last
// one frees the IRP inside the routine.
struct Chain {
    PDEVICE_OBJECT target;
    int steps = 0;
    int limit = 0;
    ULONG buffer = 0;
    bool freed = false;
};
void send_chain_step(Chain* c, PIRP irp);
NTSTATUS chain_routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* c = static_cast<Chain*>(context);
    EXPECT_EQ(device, nullptr); // its location is past the top: the IRP is the driver's own
    if (++c->steps == c->limit) {
        IoFreeIrp(irp);
        c->freed = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    send_chain_step(c, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
void send_chain_step(Chain* c, PIRP irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof c->buffer;
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->Parameters.DeviceIoControl.IoControlCode = 0x1B0048;
    irp->AssociatedIrp.SystemBuffer = &c->buffer;
    IoSetCompletionRoutine(irp, chain_routine, c, TRUE, TRUE, TRUE);
    IofCallDriver(c->target, irp);
}

TEST_F(IoTest, DriverOwnedIrpIsResentFromItsCompletionRoutineAndFreedThere) {
    // Odd steps complete at once (nesting the routine), even ones pend for 1 ms.
    int calls = 0;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = 0x18;
        if (++calls % 2 == 1)
            return complete(irp, STATUS_SUCCESS, 4);
        IoMarkIrpPending(irp);
        kernel.schedule_after(milliseconds(1), [irp] { complete(irp, STATUS_SUCCESS, 4); });
        return STATUS_PENDING;
    };
    Chain c{lower, 0, 9};
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(upper->StackSize + 1), FALSE);
    send_chain_step(&c, irp);
    kernel.sleep_for(milliseconds(10));
    EXPECT_EQ(c.steps, 9);
    EXPECT_TRUE(c.freed);
    EXPECT_EQ(c.buffer, 0x18u);
    EXPECT_EQ(kernel.now(), milliseconds(10));
}

// ---------------------------------------------------------------------------------------------
// Buffered device control requests
// ---------------------------------------------------------------------------------------------

struct BuiltResult {
    NTSTATUS call_status;
    IO_STATUS_BLOCK iosb;
    std::vector<UCHAR> out;
    bool signalled;
};

class BuiltIoctlTest : public IoTest {
  protected:
    // Sends a built request of `in` with an output of `out_len` bytes; the lower driver
    // answers with `answer` (written to the system buffer), `status` and `information`.
    BuiltResult send(std::vector<UCHAR> in, ULONG out_len, std::vector<UCHAR> answer,
                     NTSTATUS status, ULONG_PTR information, bool pend = false) {
        lower_b.on_irp = [=, this](PDEVICE_OBJECT, PIRP irp) {
            auto* loc = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(loc->MajorFunction, IRP_MJ_DEVICE_CONTROL);
            EXPECT_EQ(loc->Parameters.DeviceIoControl.IoControlCode, 0x1B0048u);
            EXPECT_EQ(loc->Parameters.DeviceIoControl.InputBufferLength, in.size());
            EXPECT_EQ(loc->Parameters.DeviceIoControl.OutputBufferLength, out_len);
            auto* sb = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            if (!in.empty()) {
                EXPECT_EQ(std::memcmp(sb, in.data(), in.size()), 0);
            }
            if (!answer.empty())
                std::memcpy(sb, answer.data(), answer.size());
            if (!pend)
                return complete(irp, status, information);
            IoMarkIrpPending(irp);
            kernel.schedule_after(milliseconds(2), [=] { complete(irp, status, information); });
            return STATUS_PENDING;
        };
        BuiltResult r{};
        r.out.assign(out_len, 0xEE);
        KEVENT ev;
        KeInitializeEvent(&ev, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(
            0x1B0048, upper, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
            r.out.empty() ? nullptr : r.out.data(), out_len, FALSE, &ev, &r.iosb);
        EXPECT_NE(irp, nullptr);
        r.call_status = IoCallDriver(upper, irp);
        if (r.call_status == STATUS_PENDING)
            KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
        r.signalled = KeReadStateEvent(&ev) != 0;
        return r;
    }
};

TEST_F(BuiltIoctlTest, CopiesBackAtMostWhatTheDriverReportsAndTheCallerHasRoom) {
    BuiltResult r = send({1, 2, 3, 4}, 8, {9, 8, 7, 6, 5}, STATUS_SUCCESS, 3);
    EXPECT_EQ(r.call_status, STATUS_SUCCESS);
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(r.iosb.Information, 3u);
    EXPECT_EQ(r.out, (std::vector<UCHAR>{9, 8, 7, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

    // A warning still copies; an error copies nothing.
    r = send({}, 2, {5, 6}, STATUS_BUFFER_OVERFLOW, 2);
    EXPECT_EQ(r.out, (std::vector<UCHAR>{5, 6}));
    r = send({}, 2, {5, 6}, STATUS_DEVICE_DATA_ERROR, 2, true);
    EXPECT_EQ(r.call_status, STATUS_PENDING);
    EXPECT_EQ(r.iosb.Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(r.out, (std::vector<UCHAR>{0xEE, 0xEE}));
    EXPECT_EQ(kernel.irps_live(), 0u);
}

TEST_F(BuiltIoctlTest, PendedRequestFinishesAndFreesItselfAtCompletion) {
    BuiltResult r = send({0x18, 0, 0, 0}, 4, {0x10, 0, 0, 0}, STATUS_SUCCESS, 4, true);
    EXPECT_EQ(r.call_status, STATUS_PENDING);
    EXPECT_EQ(kernel.now(), milliseconds(2));
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.out, (std::vector<UCHAR>{0x10, 0, 0, 0}));
    EXPECT_EQ(kernel.irps_live(), 0u);
}

TEST_F(BuiltIoctlTest, RewrittenAsReadAndWriteUsesTheSystemBuffer) {
    std::vector<UCHAR> written;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        auto* loc = IoGetCurrentIrpStackLocation(irp);
        auto* sb = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        if (loc->MajorFunction == IRP_MJ_READ) {
            for (ULONG i = 0; i < loc->Parameters.Read.Length; ++i)
                sb[i] = static_cast<UCHAR>(0xA0 + i);
            return complete(irp, STATUS_SUCCESS, loc->Parameters.Read.Length);
        }
        if (loc->MajorFunction == IRP_MJ_WRITE) {
            written.assign(sb, sb + loc->Parameters.Write.Length);
            return complete(irp, STATUS_SUCCESS, loc->Parameters.Write.Length);
        }
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    };
    IO_STATUS_BLOCK iosb{};
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);

    UCHAR out[7] = {};
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x310FA0, upper, nullptr, 0, out, 7, FALSE, &ev, &iosb);
    auto* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = 7;
    next->Parameters.Read.ByteOffset.QuadPart = 0;
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_EQ(out[0], 0xA0);
    EXPECT_EQ(out[6], 0xA6);

    UCHAR frame[5] = {0x10, 0x02, 0x41, 0x10, 0x03};
    irp = IoBuildDeviceIoControlRequest(0x310FA4, upper, frame, 5, nullptr, 0, FALSE, &ev, &iosb);
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_WRITE;
    next->Parameters.Write.Length = 5;
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
    EXPECT_EQ(written, std::vector<UCHAR>(frame, frame + 5));
}

// ---------------------------------------------------------------------------------------------
// Cancellation
// ---------------------------------------------------------------------------------------------

// The lower driver parks requests under the cancel spin lock, as a serial port parks a wait.
struct Parking {
    PIRP parked = nullptr; // guarded by the cancel spin lock
    std::atomic<int> completions{0};
};
Parking* g_parking = nullptr;

void cancel_parked(PDEVICE_OBJECT, PIRP irp) {
    if (g_parking->parked == irp)
        g_parking->parked = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++g_parking->completions;
    complete(irp, STATUS_CANCELLED);
}

// Completes the parked request unless its cancel routine already owns it.
bool complete_parked(NTSTATUS status) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = g_parking->parked;
    g_parking->parked = nullptr;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr)
        irp = nullptr;
    IoReleaseCancelSpinLock(irql);
    if (irp == nullptr)
        return false;
    ++g_parking->completions;
    complete(irp, status, 0);
    return true;
}

class CancelTest : public IoTest {
  protected:
    Parking parking;
    FileHandle handle;
    void SetUp() override {
        IoTest::SetUp();
        g_parking = &parking;
        lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
            UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            if (major != IRP_MJ_DEVICE_CONTROL)
                return complete(irp, STATUS_SUCCESS);
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, cancel_parked);
            g_parking->parked = irp;
            IoReleaseCancelSpinLock(irql);
            return STATUS_PENDING;
        };
        ASSERT_EQ(kernel.open(pdo, &handle), STATUS_SUCCESS);
    }
    void TearDown() override {
        handle.close();
        g_parking = nullptr;
        IoTest::TearDown();
    }
};

TEST_F(CancelTest, CancelRunsTheCancelRoutineOfAParkedRequest) {
    PendingIo io = handle.ioctl_async(0x1B0048, {}, 4);
    EXPECT_FALSE(io.done());
    EXPECT_TRUE(io.cancel());
    EXPECT_EQ(io.wait(), STATUS_CANCELLED);
    EXPECT_EQ(parking.completions, 1);
    EXPECT_EQ(parking.parked, nullptr);
    EXPECT_FALSE(io.cancel()); // nothing left to cancel
}

TEST_F(CancelTest, CompletionThatClearedTheRoutineWinsOverALaterCancel) {
    PendingIo io = handle.ioctl_async(0x1B0048, {}, 4);
    EXPECT_TRUE(complete_parked(STATUS_SUCCESS));
    EXPECT_FALSE(io.cancel());
    EXPECT_EQ(io.wait(), STATUS_SUCCESS);
    EXPECT_EQ(parking.completions, 1);
}

TEST_F(CancelTest, CancelWithoutRoutineOnlyMarksTheIrp) {
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        parking.parked = irp; // no cancel routine: this driver cannot be cancelled
        return STATUS_PENDING;
    };
    PendingIo io = handle.ioctl_async(0x1B0048, {}, 4);
    EXPECT_FALSE(io.cancel());
    EXPECT_TRUE(parking.parked->Cancel);
    complete(parking.parked, STATUS_SUCCESS);
    EXPECT_EQ(io.wait(), STATUS_SUCCESS);
}

TEST_F(CancelTest, CancelRacingCompletionFinishesEachRequestExactlyOnce) {
    for (int round = 0; round < 200; ++round) {
        parking.completions = 0;
        PendingIo io = handle.ioctl_async(0x1B0048, {}, 4);
        Thread completer = kernel.spawn("completer", [] { complete_parked(STATUS_SUCCESS); });
        io.cancel();
        NTSTATUS s = io.wait();
        completer.join();
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << std::hex << s;
        EXPECT_EQ(parking.completions, 1);
    }
}

TEST_F(CancelTest, DroppingAPendingRequestCancelsAndWaitsForIt) {
    {
        PendingIo io = handle.ioctl_async(0x1B0048, {}, 4);
        EXPECT_EQ(kernel.irps_live(), 1u);
    }
    EXPECT_EQ(parking.completions, 1);
    EXPECT_EQ(kernel.irps_live(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Opens and client requests
// ---------------------------------------------------------------------------------------------

TEST_F(IoTest, ExclusiveDeviceAdmitsOneOpenAtATime) {
    std::vector<std::pair<UCHAR, PFILE_OBJECT>> seen;
    Behaviour excl_b;
    excl_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        auto* loc = IoGetCurrentIrpStackLocation(irp);
        seen.emplace_back(loc->MajorFunction, loc->FileObject);
        return complete(irp, STATUS_SUCCESS);
    };
    PDEVICE_OBJECT excl = make_device(driver, &excl_b, TRUE);
    IoAttachDeviceToDeviceStack(excl, pdo);

    FileHandle a, b;
    ASSERT_EQ(kernel.open(pdo, &a), STATUS_SUCCESS);
    EXPECT_EQ(kernel.open(pdo, &b), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(b.is_open());
    EXPECT_EQ(a.close(), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, IRP_MJ_CREATE);
    EXPECT_EQ(seen[1].first, IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[2].first, IRP_MJ_CLOSE);
    for (auto& s : seen)
        EXPECT_EQ(s.second, a.file_object());
    EXPECT_EQ(kernel.open(pdo, &b), STATUS_SUCCESS);
    b.close();

    // The non-exclusive device below admits several.
    FileHandle c, d;
    EXPECT_EQ(kernel.open(lower, &c), STATUS_SUCCESS);
    EXPECT_EQ(c.file_object()->DeviceObject, excl); // opens go to the top of the stack
    c.close();
    IoDetachDevice(upper);
    IoDeleteDevice(excl);
}

// A frame of its own, gone by the time the abandoned request completes.
NTSTATUS ioctl_in_own_frame(FileHandle& h) {
    std::uint8_t out[4] = {};
    ULONG_PTR info = 0;
    return h.ioctl(0x222008, {}, out, &info);
}

TEST_F(IoTest, RequestAbandonedAfterADeadlockNoLongerWritesIntoItsWaiter) {
    PIRP parked = nullptr;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        parked = irp; // and nothing will ever complete it in time
        return STATUS_PENDING;
    };
    FileHandle h;
    ASSERT_EQ(kernel.open(pdo, &h), STATUS_SUCCESS);
    EXPECT_EQ(ioctl_in_own_frame(h), STATUS_TIMEOUT);
    EXPECT_TRUE(log.saw("deadlock"));
    log.messages.clear();
    std::memset(static_cast<UCHAR*>(parked->AssociatedIrp.SystemBuffer), 0x55, 4);
    complete(parked, STATUS_SUCCESS, 4); // late: only the kernel's own buffer is touched
    EXPECT_EQ(kernel.irps_live(), 0u);
    h.close();
}

TEST_F(IoTest, FailedCreateLeavesNoOpenBehind) {
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
        return complete(irp, IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE
                                 ? STATUS_DEVICE_NOT_CONNECTED
                                 : STATUS_SUCCESS);
    };
    FileHandle h;
    EXPECT_EQ(kernel.open(pdo, &h), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(h.is_open());
}

TEST_F(IoTest, ClientDeviceControlIsBufferedAndCarriesTheFileObject) {
    PFILE_OBJECT seen_file = nullptr;
    UCHAR seen_major = 0;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        auto* loc = IoGetCurrentIrpStackLocation(irp);
        if (loc->MajorFunction == IRP_MJ_CREATE || loc->MajorFunction == IRP_MJ_CLOSE ||
            loc->MajorFunction == IRP_MJ_CLEANUP)
            return complete(irp, STATUS_SUCCESS);
        seen_file = loc->FileObject;
        seen_major = loc->MajorFunction;
        auto* sb = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        sb[0] = static_cast<UCHAR>(sb[0] * 2);
        return complete(irp, STATUS_SUCCESS, 1);
    };
    FileHandle h;
    ASSERT_EQ(kernel.open(pdo, &h), STATUS_SUCCESS);
    std::uint8_t in[1] = {21};
    std::uint8_t out[4] = {};
    ULONG_PTR info = 0;
    EXPECT_EQ(h.ioctl(0x222004, in, out, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(out[0], 42);
    EXPECT_EQ(seen_file, h.file_object());
    EXPECT_EQ(seen_major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(h.ioctl(0x222004, in, out, nullptr, true), STATUS_SUCCESS);
    EXPECT_EQ(seen_major, IRP_MJ_INTERNAL_DEVICE_CONTROL);

    PendingIo io = h.ioctl_async(0x222004, in, 4);
    EXPECT_TRUE(io.done());
    EXPECT_EQ(io.status(), STATUS_SUCCESS);
    ASSERT_EQ(io.output().size(), 1u);
    EXPECT_EQ(io.output()[0], 42);
}

// ---------------------------------------------------------------------------------------------
// Work items, interfaces, debug output
// ---------------------------------------------------------------------------------------------

TEST_F(IoTest, WorkItemsRunInQueueOrderAtPassiveLevelOnTheWorkerThreadAndMayWait) {
    struct Ctx {
        PIO_WORKITEM first, second;
        std::vector<int> order;
        KIRQL irql = 99;
        std::thread::id thread;
        PDEVICE_OBJECT device = nullptr;
        KEVENT done;
    } ctx;
    KeInitializeEvent(&ctx.done, NotificationEvent, FALSE);
    ctx.first = IoAllocateWorkItem(lower);
    ctx.second = IoAllocateWorkItem(lower);
    ASSERT_NE(ctx.first, nullptr);
    // Queued from DISPATCH_LEVEL, as a completion routine would.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(
        ctx.first,
        [](PDEVICE_OBJECT d, PVOID p) {
            auto* c = static_cast<Ctx*>(p);
            c->irql = KeGetCurrentIrql();
            c->thread = std::this_thread::get_id();
            c->device = d;
            LARGE_INTEGER delay = relative(seconds(3));
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            c->order.push_back(1);
            IoFreeWorkItem(c->first); // a routine may free its own item
        },
        DelayedWorkQueue, &ctx);
    IoQueueWorkItem(
        ctx.second,
        [](PDEVICE_OBJECT, PVOID p) {
            auto* c = static_cast<Ctx*>(p);
            c->order.push_back(2);
            KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &ctx);
    KeLowerIrql(old);
    EXPECT_EQ(KeWaitForSingleObject(&ctx.done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ctx.order, (std::vector<int>{1, 2}));
    EXPECT_EQ(kernel.now(), seconds(3));
    EXPECT_EQ(ctx.irql, PASSIVE_LEVEL);
    EXPECT_NE(ctx.thread, std::this_thread::get_id());
    EXPECT_EQ(ctx.device, lower);
    IoFreeWorkItem(ctx.second);
}

TEST_F(IoTest, InterfacesAreRegisteredDisabledAndSwitchedByLinkName) {
    GUID g{0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
    std::size_t pool_before = kernel.pool_allocations_total();
    UNICODE_STRING a{}, b{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &g, nullptr, &a), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &g, nullptr, &b), STATUS_SUCCESS);
    ASSERT_NE(a.Buffer, nullptr);
    EXPECT_NE(std::u16string(a.Buffer, a.Length / 2), std::u16string(b.Buffer, b.Length / 2));
    auto ifs = kernel.interfaces();
    ASSERT_EQ(ifs.size(), 2u);
    EXPECT_FALSE(ifs[0].enabled);
    EXPECT_EQ(ifs[0].link, std::u16string(a.Buffer, a.Length / 2));

    EXPECT_EQ(IoSetDeviceInterfaceState(&a, TRUE), STATUS_SUCCESS);
    ifs = kernel.interfaces();
    EXPECT_TRUE(ifs[0].enabled);
    EXPECT_FALSE(ifs[1].enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&a, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(kernel.interfaces()[0].enabled);

    UNICODE_STRING empty{};
    EXPECT_EQ(IoSetDeviceInterfaceState(&empty, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoSetDeviceInterfaceState(nullptr, FALSE), STATUS_INVALID_PARAMETER);
    WCHAR bogus[] = u"\\??\\nothing";
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, bogus);
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(kernel.pool_allocations_total(), pool_before + 2);
    RtlFreeUnicodeString(&a);
    RtlFreeUnicodeString(&b);
    EXPECT_EQ(a.Buffer, nullptr);
    EXPECT_EQ(kernel.pool_allocations_total(), pool_before);
}

TEST_F(IoTest, DebugPrintJoinsFragmentsIntoWholeLines) {
    std::vector<std::string> sunk;
    kernel.set_debug_sink([&](std::string_view l) { sunk.emplace_back(l); });
    DbgPrint("[Qkr_DumpBytes] ");
    for (unsigned b : {0x10u, 0x02u, 0xffu})
        DbgPrint("%x ", b);
    EXPECT_TRUE(kernel.debug_lines().empty()); // no line until its "\n"
    DbgPrint("\n");
    DbgPrint("[Qkr_DeviceControl] Leave %X\nsecond\n", 0xC0000120u);
    std::vector<std::string> expected = {"[Qkr_DumpBytes] 10 2 ff ",
                                         "[Qkr_DeviceControl] Leave C0000120", "second"};
    EXPECT_EQ(kernel.debug_lines(), expected);
    EXPECT_EQ(sunk, expected);
    kernel.clear_debug_lines();
    EXPECT_TRUE(kernel.debug_lines().empty());

    // A long line is not cut.
    std::string longtext(2000, 'x');
    DbgPrint("%s\n", longtext.c_str());
    EXPECT_EQ(kernel.debug_lines().at(0), longtext);
}

TEST_F(IoTest, DebugFragmentsOfTwoThreadsDoNotMix) {
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    Thread t = kernel.spawn("printer", [&] {
        DbgPrint("other ");
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        DbgPrint("line\n");
    });
    DbgPrint("mine ");
    kernel.sleep_for(milliseconds(1)); // let the other thread print its first half
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    t.join();
    DbgPrint("done\n");
    EXPECT_EQ(kernel.debug_lines(), (std::vector<std::string>{"other line", "mine done"}));
}

} // namespace
} // namespace qkr::kern
