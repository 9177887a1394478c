// The verifier's checks, each provoked once, and fault injection with pool accounting.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

namespace qkr::kern {
namespace {

using test::complete;
using test::make_device;

constexpr ULONG kTest = test::pool_tag("Test");
constexpr ULONG kWatched = test::pool_tag("Dk  ");

class VerifierTest : public ::testing::Test, protected test::ScriptedStack {
  protected:
    std::optional<Kernel> kernel;
    test::VerifierLog log;

    void SetUp() override {
        kernel.emplace();
        log.install(*kernel);
        build_stack(*kernel);
    }
    void TearDown() override {
        if (kernel) {
            tear_down_stack(*kernel);
            kernel.reset();
        }
    }
};

TEST_F(VerifierTest, IrpCompletedTwiceIsReported) {
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
        complete(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT); // (a built IRP is already freed here)
        return STATUS_SUCCESS;
    };
    PIRP irp = flush_irp();
    IoCallDriver(upper, irp);
    EXPECT_TRUE(log.saw("completed twice")) << ::testing::PrintToString(log.messages);
    IoFreeIrp(irp);

    // A built request is gone after its first completion; the second one must not touch it.
    log.messages.clear();
    IO_STATUS_BLOCK iosb;
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(1, upper, nullptr, 0, nullptr, 0, FALSE, &ev, &iosb);
    IoCallDriver(upper, irp);
    EXPECT_TRUE(log.saw("not a live IRP"));
}

TEST_F(VerifierTest, IrpCompletedWithItsCancelRoutineSetIsReported) {
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        return complete(irp, STATUS_SUCCESS);
    };
    PIRP irp = flush_irp();
    IoCallDriver(upper, irp);
    EXPECT_TRUE(log.saw("cancel routine is still set"));
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, IrpFreedWhileInFlightIsReported) {
    PIRP parked = nullptr;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        return STATUS_PENDING;
    };
    PIRP irp = flush_irp();
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_PENDING);
    IoFreeIrp(irp);
    EXPECT_TRUE(log.saw("IoFreeIrp of IRP"));
    EXPECT_TRUE(log.saw("in a driver"));
    EXPECT_EQ(kernel->irps_live(), 1u); // not freed under the driver
    complete(parked, STATUS_SUCCESS);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_TRUE(log.saw("freed twice"));
}

TEST_F(VerifierTest, RunningOutOfStackLocationsIsReported) {
    upper_b.on_irp = [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp); // needs a location of its own below
        return IoCallDriver(lower, irp);
    };
    PIRP irp = flush_irp(1); // one location, for upper only
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(log.saw("no stack location left"));
    complete(irp, STATUS_SUCCESS); // as upper would, having seen the failure
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, UseOfAFreedIrpOrPoolBlockIsReportedWithoutTouchingIt) {
    PIRP irp = flush_irp();
    IoFreeIrp(irp);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(log.saw("IoCancelIrp of"));
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTest);
    ExFreePool(p);
    ExFreePool(p);
    EXPECT_TRUE(log.saw("freed twice"));
}

TEST_F(VerifierTest, WaitAtDispatchLevelIsReportedButPollingIsNot) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_TRUE(log.messages.empty());
    LARGE_INTEGER t = test::relative(milliseconds(1));
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    KeLowerIrql(old);
    EXPECT_TRUE(log.saw("at DISPATCH_LEVEL"));
}

TEST_F(VerifierTest, WaitInsideATimerCallbackIsReported) {
    kernel->schedule_after(milliseconds(1), [this] { kernel->sleep_for(milliseconds(1)); });
    kernel->sleep_for(milliseconds(5));
    EXPECT_TRUE(log.saw("at DISPATCH_LEVEL"));
}

TEST_F(VerifierTest, SpinLockHeldAcrossAWaitIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeLowerIrql(PASSIVE_LEVEL); // (also a fault: lowering below DISPATCH with a lock held)
    kernel->sleep_for(milliseconds(1));
    EXPECT_TRUE(log.saw("while holding spin lock"));
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(VerifierTest, SpinLockReleasedByAnotherThreadOrAtTheWrongLevelIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    Thread other = kernel->spawn("other", [&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
    other.join();
    EXPECT_TRUE(log.saw("does not hold it"));
    KeReleaseSpinLock(&lock, old); // the holder still can

    log.messages.clear();
    KeAcquireSpinLock(&lock, &old);
    KeLowerIrql(PASSIVE_LEVEL);
    log.messages.clear();
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_TRUE(log.saw("at IRQL 0"));
}

TEST_F(VerifierTest, PowerIrpNeedsExactlyOneStartNextCallPerDriver) {
    upper_b.on_irp = [this](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        PoStartNextPowerIrp(irp); // one too many
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    };
    lower_b.on_irp = [this](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp); // forgot PoStartNextPowerIrp
        return PoCallDriver(pdo, irp);
    };
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(kernel->send_power(pdo, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    ASSERT_EQ(log.count(), 2u);
    EXPECT_TRUE(log.saw("2 PoStartNextPowerIrp call(s) by device " + test::hex_of(upper)));
    EXPECT_TRUE(log.saw("0 PoStartNextPowerIrp call(s) by device " + test::hex_of(lower)));
}

TEST_F(VerifierTest, FreeingMemoryThatHoldsAQueuedTimerIsReportedAndTheTimerDropped) {
    struct Holder {
        KTIMER timer;
        KDPC dpc;
    };
    auto* h = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Holder), kTest));
    KeInitializeTimer(&h->timer);
    KeInitializeDpc(
        &h->dpc, [](PKDPC, PVOID, PVOID, PVOID) { FAIL() << "a freed timer fired"; }, nullptr);
    KeSetTimer(&h->timer, test::relative(milliseconds(1)), &h->dpc);
    ExFreePool(h);
    EXPECT_TRUE(log.saw("freed while it holds a queued timer"));
    kernel->sleep_for(milliseconds(2));
}

TEST_F(VerifierTest, WatchedPoolStillAllocatedAtUnloadIsReported) {
    kernel->watch_pool_tag(kWatched);
    void* watched = ExAllocatePoolWithTag(NonPagedPool, 16, kWatched);
    void* unwatched = ExAllocatePoolWithTag(NonPagedPool, 16, test::pool_tag("Ohre"));
    tear_down_stack(*kernel);
    EXPECT_EQ(log.count(), 1u);
    EXPECT_TRUE(log.saw("tag 'Dk  '"));
    ExFreePool(watched);
    ExFreePool(unwatched);
    log.messages.clear();
    kernel.reset();
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(VerifierTest, LeftoversAtKernelShutdownAreReported) {
    kernel->watch_pool_tag(kWatched);
    ExAllocatePoolWithTag(NonPagedPool, 16, kWatched);
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    PDEVICE_OBJECT extra = make_device(driver, &lower_b);
    ASSERT_NE(extra, nullptr);
    IoDetachDevice(lower);
    IoDetachDevice(pdo);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
    kernel->delete_pdo(pdo);
    kernel.reset(); // everything is still freed, for the sanitizers
    EXPECT_TRUE(log.saw("IRP"));
    EXPECT_TRUE(log.saw("device"));
    EXPECT_TRUE(log.saw("tag 'Dk  '"));
}

TEST_F(VerifierTest, DeletingADeviceStillInAStackIsReported) {
    IoDeleteDevice(lower); // still attached to the PDO, with upper attached to it
    EXPECT_TRUE(log.saw("still attached to " + test::hex_of(pdo)));
    EXPECT_TRUE(log.saw("is attached to it"));
    IoDeleteDevice(lower);
    EXPECT_TRUE(log.saw("deleted twice"));
    // Rebuild what teardown expects to find.
    log.messages.clear();
    lower = make_device(driver, &lower_b);
    IoDetachDevice(pdo);
    IoAttachDeviceToDeviceStack(lower, pdo);
    IoAttachDeviceToDeviceStack(upper, pdo);
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(VerifierTest, DeletedDeviceKeepsServingTheHandlesStillOpenOnIt) {
    std::vector<UCHAR> majors;
    upper_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return complete(irp, STATUS_SUCCESS);
    };
    FileHandle h;
    ASSERT_EQ(kernel->open(pdo, &h), STATUS_SUCCESS);
    IoDetachDevice(lower);
    IoDeleteDevice(upper); // removal while a client still holds the device open
    EXPECT_EQ(h.close(), STATUS_SUCCESS);
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_TRUE(log.messages.empty()) << log.messages.front();
    upper = make_device(driver, &upper_b);
    IoAttachDeviceToDeviceStack(upper, pdo);
}

TEST_F(VerifierTest, EachFaultFailsTheNthCallOfItsKindOnly) {
    kernel->fail_nth(Fault::PoolAllocation, 2);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 4, kTest);
    PIRP irp = IoAllocateIrp(1, FALSE); // another kind does not count
    void* b = ExAllocatePoolWithTag(NonPagedPool, 4, kTest);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 4, kTest);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(irp, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(kernel->pool_allocations(kTest), 2u);
    EXPECT_EQ(kernel->pool_bytes(kTest), 8u);
    ExFreePool(a);
    ExFreePool(c);
    EXPECT_EQ(kernel->pool_allocations(kTest), 0u);
    IoFreeIrp(irp);

    kernel->fail_nth(Fault::IrpAllocation, 1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    kernel->fail_nth(Fault::IrpAllocation, 1);
    EXPECT_EQ(
        IoBuildDeviceIoControlRequest(1, lower, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr),
        nullptr);
    kernel->fail_nth(Fault::DeviceCreation, 1);
    PDEVICE_OBJECT d = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, 0x22, 0, FALSE, &d),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(d, nullptr);
    kernel->fail_nth(Fault::InterfaceRegistration, 1);
    GUID g{};
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &g, nullptr, &link), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(link.Buffer, nullptr);
    kernel->fail_nth(Fault::WorkItemAllocation, 1);
    EXPECT_EQ(IoAllocateWorkItem(lower), nullptr);

    kernel->fail_nth(Fault::PoolAllocation, 1);
    kernel->clear_faults();
    void* e = ExAllocatePoolWithTag(NonPagedPool, 4, kTest);
    EXPECT_NE(e, nullptr);
    ExFreePool(e);
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(VerifierTest, WorkItemQueuedTwiceOrFreedWhileQueuedIsReported) {
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    PIO_WORKITEM blocker = IoAllocateWorkItem(lower);
    PIO_WORKITEM item = IoAllocateWorkItem(lower);
    // The first item holds the worker so the second stays queued.
    IoQueueWorkItem(
        blocker,
        [](PDEVICE_OBJECT, PVOID g) {
            KeWaitForSingleObject(g, Executive, KernelMode, FALSE, nullptr);
        },
        DelayedWorkQueue, &gate);
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
    EXPECT_TRUE(log.saw("already queued"));
    IoFreeWorkItem(item);
    EXPECT_TRUE(log.saw("while it is queued"));
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    kernel->sleep_for(milliseconds(1));
    IoFreeWorkItem(item);
    IoFreeWorkItem(blocker);
}

} // namespace
} // namespace qkr::kern
