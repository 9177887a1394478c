// IRQL rules: each call made above the IRQL its documentation allows, and each routine that leaves
// the processor at another IRQL than it found it, is reported.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace qkr::kern {
namespace {

using test::complete;

class IrqlRules : public ::testing::Test, protected test::ScriptedStack {
  protected:
    std::optional<Kernel> kernel;
    test::VerifierLog log;

    void SetUp() override {
        kernel.emplace();
        log.install(*kernel);
        build_stack(*kernel);
    }
    void TearDown() override {
        tear_down_stack(*kernel);
        kernel.reset();
    }
};

TEST_F(IrqlRules, CallsAboveTheirIrqlAreReportedOncePerCall) {
    constexpr KIRQL kAboveDispatch = DISPATCH_LEVEL + 1;
    struct Case {
        const char* reported;
        KIRQL at;
        std::function<void()> call; // fails early where it can, to leave nothing behind
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KTIMER timer;
    KeInitializeTimer(&timer);
    UNICODE_STRING unknown{};
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, test::pool_tag("Test"));
    const Case cases[] = {
        {"IoBuildDeviceIoControlRequest at IRQL 2", DISPATCH_LEVEL,
         [&] {
             kernel->fail_nth(Fault::IrpAllocation, 1);
             IoBuildDeviceIoControlRequest(1, lower, nullptr, 0, nullptr, 0, FALSE, nullptr,
                                           nullptr);
         }},
        {"IoCreateDevice at IRQL 2", DISPATCH_LEVEL,
         [&] {
             kernel->fail_nth(Fault::DeviceCreation, 1);
             PDEVICE_OBJECT d;
             IoCreateDevice(driver, 0, nullptr, 0x22, 0, FALSE, &d);
         }},
        {"IoRegisterDeviceInterface at IRQL 2", DISPATCH_LEVEL,
         [&] {
             kernel->fail_nth(Fault::InterfaceRegistration, 1);
             GUID g{};
             UNICODE_STRING link{};
             IoRegisterDeviceInterface(pdo, &g, nullptr, &link);
         }},
        {"IoSetDeviceInterfaceState at IRQL 1", APC_LEVEL,
         [&] {
             char16_t name[] = u"x";
             RtlInitUnicodeString(&unknown, name);
             IoSetDeviceInterfaceState(&unknown, TRUE);
         }},
        {"IoDetachDevice at IRQL 2", DISPATCH_LEVEL, [&] { IoDetachDevice(upper); }},
        {"RtlFreeUnicodeString at IRQL 2", DISPATCH_LEVEL,
         [&] {
             UNICODE_STRING empty{};
             RtlFreeUnicodeString(&empty);
         }},
        {"KeDelayExecutionThread at IRQL 2", DISPATCH_LEVEL,
         [&] {
             LARGE_INTEGER zero{};
             KeDelayExecutionThread(KernelMode, FALSE, &zero);
         }},
        {"KeSetEvent with Wait TRUE at IRQL 2", DISPATCH_LEVEL,
         [&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); }},
        {"KeCancelTimer at IRQL 3", kAboveDispatch, [&] { KeCancelTimer(&timer); }},
        {"ExAllocatePoolWithTag at IRQL 3", kAboveDispatch,
         [&] {
             kernel->fail_nth(Fault::PoolAllocation, 1);
             ExAllocatePoolWithTag(NonPagedPool, 8, test::pool_tag("Test"));
         }},
        {"paged pool allocation at DISPATCH_LEVEL", DISPATCH_LEVEL,
         [&] {
             kernel->fail_nth(Fault::PoolAllocation, 1);
             ExAllocatePoolWithTag(PagedPool, 8, test::pool_tag("Test"));
         }},
        {"ExFreePool at IRQL 3", kAboveDispatch, [&] { ExFreePoolWithTag(block, 0); }},
        {"IoCallDriver with major function 9 at IRQL 2", DISPATCH_LEVEL,
         [&] {
             PIRP irp = flush_irp();
             IoCallDriver(lower, irp);
             IoFreeIrp(irp);
         }},
    };
    for (const Case& c : cases) {
        log.messages.clear();
        KIRQL old;
        KeRaiseIrql(c.at, &old);
        c.call();
        KeLowerIrql(old);
        EXPECT_EQ(log.count(), 1u) << c.reported << ": " << ::testing::PrintToString(log.messages);
        EXPECT_TRUE(log.saw(c.reported)) << c.reported;
    }

    // What may go down at DISPATCH_LEVEL does so without a word.
    log.messages.clear();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PIRP irp = flush_irp();
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCallDriver(upper, irp);
    KeLowerIrql(old);
    IoFreeIrp(irp);
    EXPECT_TRUE(log.messages.empty()) << log.messages.front();
}

TEST_F(IrqlRules, RoutinesThatReturnAtAnotherIrqlAreReportedAndTheIrqlRestored) {
    // A dispatch routine that raised and did not lower.
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return complete(irp, STATUS_SUCCESS);
    };
    PIRP irp = flush_irp();
    IoCallDriver(upper, irp);
    EXPECT_TRUE(log.saw("dispatch routine called at IRQL 0 returned at IRQL 2"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);

    // A completion routine that did the same.
    log.messages.clear();
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); };
    irp = flush_irp();
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            return NTSTATUS{STATUS_MORE_PROCESSING_REQUIRED};
        },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(upper, irp);
    EXPECT_TRUE(log.saw("completion routine called at IRQL 0 returned at IRQL 2"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);

    // A cancel routine that kept the cancel spin lock.
    log.messages.clear();
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(
            irp, [](PDEVICE_OBJECT, PIRP cancelled) { complete(cancelled, STATUS_CANCELLED); });
        return NTSTATUS{STATUS_PENDING};
    };
    irp = flush_irp();
    IoCallDriver(upper, irp);
    IoCancelIrp(irp);
    EXPECT_TRUE(log.saw("returned holding the cancel spin lock"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql); // released again: no second report
    IoReleaseCancelSpinLock(cancel_irql);
    EXPECT_EQ(log.count(), 1u) << ::testing::PrintToString(log.messages);
    IoFreeIrp(irp);

    // A DPC that raised and did not lower (queued at PASSIVE_LEVEL, it runs at once).
    log.messages.clear();
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID, PVOID, PVOID) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
        },
        nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(log.saw("DPC returned at IRQL 3")) << ::testing::PrintToString(log.messages);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // A work item that left the processor at DISPATCH_LEVEL.
    log.messages.clear();
    KEVENT ran;
    KeInitializeEvent(&ran, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(upper);
    ASSERT_NE(item, nullptr);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID context) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &ran);
    KeWaitForSingleObject(&ran, Executive, KernelMode, FALSE, nullptr);
    // Virtual time moves only once the worker is idle again, its report made.
    LARGE_INTEGER one_ms;
    one_ms.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &one_ms);
    IoFreeWorkItem(item);
    EXPECT_TRUE(log.saw("work item routine returned at IRQL 2"))
        << ::testing::PrintToString(log.messages);
}

} // namespace
} // namespace qkr::kern
