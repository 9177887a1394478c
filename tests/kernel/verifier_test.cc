// The verifier's rules a driver breaks most easily, each planted once by a tiny driver and seen
// reported: completion and pending, IRQL, spin locks, power and Plug and Play order, leaks.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace qkr::kern {
namespace {

using test::complete;

constexpr ULONG kTest = 0x74736554; // "Test" as the platform lays a tag out in memory

// pdo <- lower <- upper; in the power and Plug and Play cases lower is the function driver and
// upper a filter over it.
class VerifierTest : public ::testing::Test, protected test::ScriptedStack {
  protected:
    std::optional<Kernel> kernel;
    test::VerifierLog log;
    KEVENT done;
    IO_STATUS_BLOCK iosb;

    void SetUp() override {
        kernel.emplace();
        log.install(*kernel);
        build_stack(*kernel);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        iosb.Status = 0x12345678;
    }
    void TearDown() override {
        if (kernel) {
            tear_down_stack(*kernel);
            kernel.reset();
        }
    }
    // A driver's own buffered request, as the serial I/O and event tracking build theirs.
    PIRP built(void* in, ULONG in_length, void* out, ULONG out_length) {
        return IoBuildDeviceIoControlRequest(0x1B0000, upper, in, in_length, out, out_length, FALSE,
                                             &done, &iosb);
    }
    // As a function driver passes a request down (power requests start the next one).
    static NTSTATUS forward(PDEVICE_OBJECT to, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
            return test::pass_down(to, irp);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(to, irp);
    }
    std::string reports() const { return log.all(); }
};

TEST_F(VerifierTest, IrpFreedWhileInFlightOrTwiceOrABuiltOneCompletedTwiceIsReported) {
    PIRP parked = nullptr;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) { return test::park(irp, &parked); };
    PIRP irp = flush_irp();
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_PENDING);
    IoFreeIrp(irp);
    EXPECT_TRUE(log.saw("in a driver"));
    EXPECT_EQ(kernel->irps_live(), 1u); // not freed under the driver
    complete(parked, STATUS_SUCCESS);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_TRUE(log.saw("freed twice"));
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
        complete(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT); // the I/O manager freed it already
        return STATUS_SUCCESS;
    };
    IoCallDriver(upper, built(nullptr, 0, nullptr, 0));
    EXPECT_TRUE(log.saw("not a live IRP")) << reports();
}

// The status block and the event belong to the request's sender until the I/O manager's second
// stage: not at all for a request that failed without STATUS_PENDING, and only in the sending
// thread's next wait otherwise.
TEST_F(VerifierTest, SecondStageOfCompletionIsTheCanonicalPatternsOnly) {
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_NOT_SUPPORTED); };
    EXPECT_EQ(IoCallDriver(upper, built(nullptr, 0, nullptr, 0)), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(iosb.Status, 0x12345678);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    // Waiting for the event anyway never ends: the clock reports the deadlock.
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_TRUE(log.saw("deadlock"));
    log.messages.clear();

    PIRP parked = nullptr;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) { return test::park(irp, &parked); };
    UCHAR out[4] = {};
    EXPECT_EQ(IoCallDriver(upper, built(nullptr, 0, out, 4)), STATUS_PENDING);
    std::thread([&] {
        std::memcpy(parked->AssociatedIrp.SystemBuffer, "\x01\x02\x03\x04", 4);
        complete(parked, STATUS_NOT_SUPPORTED);
    }).join(); // not a kernel wait: this thread has not waited since
    EXPECT_EQ(iosb.Status, 0x12345678);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED); // a pending failure is reported in full
    EXPECT_TRUE(log.messages.empty()) << reports();
}

// Each row: what the lower driver (and, where set, upper's completion routine) does wrong with one
// request of the upper driver's own.
TEST_F(VerifierTest, CompletionPendingAndIrqlRulesForOneRequestAreReported) {
    struct Case {
        std::function<NTSTATUS(PIRP)> lower;
        bool routine_propagates;
        const char* report; // null: a correct pattern, nothing reported
    };
    PIRP parked = nullptr;
    auto park = [&](PIRP irp) { return test::park(irp, &parked); };
    auto complete_and = [](NTSTATUS returned, auto before) {
        return [=](PIRP irp) {
            before(irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return returned;
        };
    };
    const Case cases[] = {
        {[&](PIRP irp) { return parked = irp, NTSTATUS{STATUS_PENDING}; }, true,
         "without marking it pending"},
        {complete_and(STATUS_SUCCESS, [](PIRP irp) { IoMarkIrpPending(irp); }), true,
         "pending but returned 0x00000000"},
        {park, false, "did not propagate PendingReturned"},
        {complete_and(STATUS_SUCCESS, [](PIRP irp) { irp->IoStatus.Status = STATUS_PENDING; }),
         true, "completed with STATUS_PENDING"},
        {complete_and(STATUS_SUCCESS, [](PIRP irp) { IoCompleteRequest(irp, IO_NO_INCREMENT); }),
         true, "completed twice"},
        {complete_and(STATUS_SUCCESS,
                      [](PIRP irp) { IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {}); }),
         true, "cancel routine is still set"},
        {complete_and(STATUS_SUCCESS,
                      [](PIRP) {
                          KIRQL old;
                          KeRaiseIrql(DISPATCH_LEVEL, &old);
                      }),
         true, "dispatch routine called at IRQL 0 returned at IRQL 2"},
        {park, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report ? c.report : "correct");
        log.messages.clear();
        parked = nullptr;
        lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) { return c.lower(irp); };
        upper_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp,
                                   c.routine_propagates
                                       ? PIO_COMPLETION_ROUTINE([](PDEVICE_OBJECT, PIRP i, PVOID) {
                                             if (i->PendingReturned)
                                                 IoMarkIrpPending(i);
                                             return STATUS_SUCCESS;
                                         })
                                       : PIO_COMPLETION_ROUTINE([](PDEVICE_OBJECT, PIRP, PVOID) {
                                             return STATUS_SUCCESS;
                                         }),
                                   nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(lower, irp);
        };
        PIRP irp = flush_irp();
        IoCallDriver(upper, irp);
        if (parked != nullptr)
            complete(parked, STATUS_SUCCESS);
        EXPECT_EQ(c.report ? log.saw(c.report) : log.messages.empty(), true) << reports();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        IoFreeIrp(irp);
    }
}

// METHOD_BUFFERED: one system buffer of max(input, output) bytes; the output length bounds the
// reply.
TEST_F(VerifierTest, BufferedRequestsAreHeldToTheirLengths) {
    UCHAR in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UCHAR out[4] = {};
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0, 9); // one byte past max(8, 4)
        return complete(irp, STATUS_SUCCESS, 4);
    };
    IoCallDriver(upper, built(in, 8, out, 4));
    EXPECT_TRUE(log.saw("wrote past the end of its system buffer of 8 bytes"));
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 5); };
    IoCallDriver(upper, built(in, 8, out, 4));
    EXPECT_TRUE(log.saw("Information 5 beyond its output length of 4"));
}

TEST_F(VerifierTest, CallsAboveTheirIrqlAreReportedOncePerCall) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        // Each fails early where it can, to leave nothing behind.
        {"IoBuildDeviceIoControlRequest at IRQL 2",
         [&] {
             kernel->fail_nth(Fault::IrpAllocation, 1);
             IoBuildDeviceIoControlRequest(1, lower, nullptr, 0, nullptr, 0, FALSE, nullptr,
                                           nullptr);
         }},
        {"KeDelayExecutionThread at IRQL 2",
         [&] {
             LARGE_INTEGER zero{};
             KeDelayExecutionThread(KernelMode, FALSE, &zero);
         }},
        {"IoCallDriver with major function 9 at IRQL 2",
         [&] {
             PIRP irp = flush_irp();
             IoCallDriver(lower, irp);
             IoFreeIrp(irp);
         }},
    };
    for (const auto& [reported, call] : cases) {
        log.messages.clear();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        call();
        KeLowerIrql(old);
        EXPECT_EQ(log.count(), 1u) << reported << ": " << reports();
        EXPECT_TRUE(log.saw(reported)) << reported;
    }
    // A timer callback runs at DISPATCH_LEVEL: a blocking wait there is reported.
    log.messages.clear();
    kernel->schedule_after(milliseconds(1), [this] { kernel->sleep_for(milliseconds(1)); });
    kernel->sleep_for(milliseconds(5));
    EXPECT_TRUE(log.saw("at DISPATCH_LEVEL"));
}

TEST_F(VerifierTest, RoutinesThatReturnAtAnotherIrqlAreReportedAndTheIrqlRestored) {
    PIRP irp = flush_irp();
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
    EXPECT_EQ(log.count(), 1u) << reports();
    IoFreeIrp(irp);

    KDPC dpc; // as the driver's time-out DPCs
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID, PVOID, PVOID) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
        },
        nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr); // at PASSIVE_LEVEL it runs at once
    EXPECT_TRUE(log.saw("DPC returned at IRQL 3")) << reports();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
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

TEST_F(VerifierTest, LeftoversAtKernelShutdownAreReported) {
    kernel->watch_pool_tag(0x20206B44 /* "Dk  " */);
    ExAllocatePoolWithTag(NonPagedPool, 16, 0x20206B44 /* "Dk  " */);
    ASSERT_NE(IoAllocateIrp(2, FALSE), nullptr);
    ASSERT_NE(test::make_device(driver, &lower_b), nullptr);
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
    log.messages.clear();
    tear_down_stack(*kernel, false);
    kernel.reset(); // everything is still freed, for the sanitizers
    EXPECT_TRUE(log.saw("IRP")) << reports();
    EXPECT_TRUE(log.saw("device"));
    EXPECT_TRUE(log.saw("tag 'Dk  '"));
}

TEST_F(VerifierTest, PowerIrpMisusesAreReported) {
    upper_b.on_irp = [this](PDEVICE_OBJECT, PIRP irp) { return forward(lower, irp); };
    const std::pair<const char*, std::function<NTSTATUS(PIRP)>> cases[] = {
        {"with IoCallDriver, not PoCallDriver",
         [this](PIRP irp) {
             PoStartNextPowerIrp(irp);
             return test::pass_down(pdo, irp);
         }},
        {"system IRP_MN_SET_POWER",
         [](PIRP irp) {
             PoStartNextPowerIrp(irp);
             return complete(irp, STATUS_SUCCESS);
         }},
        {"2 PoStartNextPowerIrp call(s)",
         [this](PIRP irp) {
             PoStartNextPowerIrp(irp); // one too many
             return forward(pdo, irp);
         }},
        {"0 PoStartNextPowerIrp call(s)",
         [this](PIRP irp) {
             IoSkipCurrentIrpStackLocation(irp);
             return PoCallDriver(pdo, irp);
         }},
    };
    for (const auto& [report, power] : cases) {
        log.messages.clear();
        lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) { return power(irp); };
        const bool system = std::strncmp(report, "system", 6) == 0;
        POWER_STATE state{};
        if (system)
            state.SystemState = PowerSystemWorking;
        else
            state.DeviceState = PowerDeviceD0;
        EXPECT_EQ(kernel->send_power(pdo, IRP_MN_SET_POWER,
                                     system ? SystemPowerState : DevicePowerState, state),
                  STATUS_SUCCESS);
        EXPECT_TRUE(log.saw(report)) << report << ": " << reports();
    }
}

TEST_F(VerifierTest, CloseFollowsTheLastRequestOnTheHandle) {
    std::vector<UCHAR> majors;
    PIRP parked = nullptr;
    bool complete_on_cleanup = true;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        majors.push_back(major);
        if (major == IRP_MJ_DEVICE_CONTROL)
            return test::park(irp, &parked);
        if (major == IRP_MJ_CLEANUP && complete_on_cleanup && parked != nullptr)
            complete(std::exchange(parked, nullptr), STATUS_CANCELLED);
        return complete(irp, STATUS_SUCCESS);
    };
    for (bool completes : {true, false}) {
        SCOPED_TRACE(completes);
        complete_on_cleanup = completes;
        majors.clear();
        log.messages.clear();
        FileHandle handle;
        ASSERT_EQ(kernel->open(pdo, &handle), STATUS_SUCCESS);
        PendingIo io = handle.ioctl_async(0x1234, {}, 0);
        handle.close();
        EXPECT_EQ(majors.back(), IRP_MJ_CLOSE);
        EXPECT_EQ(io.done(), completes);
        EXPECT_EQ(log.saw("outstanding on a handle being closed"), !completes) << reports();
        if (!completes)
            complete(std::exchange(parked, nullptr), STATUS_CANCELLED);
    }
}

// What the power manager does with a requested IRP: it goes to the top of the stack, not to the
// device that asked; the callback comes once it is completed, at once or later.
TEST_F(VerifierTest, RequestedDevicePowerIrpGoesToTheTopAndCallsBackWhenDone) {
    int via_filter = 0;
    upper_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) { return ++via_filter, forward(lower, irp); };
    PIRP parked = nullptr;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState == PowerDeviceD0)
            return forward(pdo, irp);
        PoStartNextPowerIrp(irp);
        kernel->schedule_after(milliseconds(5), [&] { complete(parked, STATUS_IO_TIMEOUT); });
        return test::park(irp, &parked);
    };
    struct {
        int calls = 0;
        PDEVICE_OBJECT device = nullptr;
        POWER_STATE state{};
        NTSTATUS status = 0;
    } done;
    auto callback = [](PDEVICE_OBJECT device, UCHAR, POWER_STATE state, PVOID context,
                       PIO_STATUS_BLOCK iosb) {
        auto* d = static_cast<decltype(done)*>(context);
        *d = {d->calls + 1, device, state, iosb->Status};
    };
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(lower, IRP_MN_SET_POWER, state, callback, &done, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.device, lower);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(via_filter, 1);
    state.DeviceState = PowerDeviceD3;
    PoRequestPowerIrp(lower, IRP_MN_SET_POWER, state, callback, &done, nullptr);
    EXPECT_EQ(done.calls, 1);
    kernel->sleep_for(milliseconds(5));
    EXPECT_EQ(done.calls, 2);
    EXPECT_EQ(done.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(done.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(log.count(), 0u) << reports();
}

} // namespace
} // namespace qkr::kern
