// The verifier's rules a driver breaks most easily, each planted once by a tiny driver and seen
// reported: completion and pending, IRQL, spin locks, power and Plug and Play order, leaks.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

namespace qkr::kern {
namespace {

using test::complete;
using test::pass_down;

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

    // The power manager sends a set-power request through upper to lower, which does `fdo`.
    void power(bool system, std::function<NTSTATUS(PIRP)> fdo) {
        upper_b = [this](PDEVICE_OBJECT, PIRP irp) { return forward(lower, irp); };
        lower_does(std::move(fdo));
        const POWER_STATE state{.SystemState = PowerSystemWorking}; // the value of PowerDeviceD0
        EXPECT_EQ(kernel->send_power(pdo, IRP_MN_SET_POWER,
                                     system ? SystemPowerState : DevicePowerState, state),
                  STATUS_SUCCESS);
    }
    PIRP parked = nullptr;
    void lower_does(std::function<NTSTATUS(PIRP)> f) {
        lower_b = [f](PDEVICE_OBJECT, PIRP irp) { return f(irp); };
    }
    // Upper sends a request of its own through lower (with a completion routine that propagates
    // PendingReturned, or one that does not), then lower completes what it parked.
    void send(bool free_while_parked = false, bool propagate = true) {
        upper_b = [propagate, this](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, propagate ? propagating : keep_going, nullptr, TRUE, TRUE,
                                   TRUE);
            return IoCallDriver(lower, irp);
        };
        PIRP irp = flush_irp();
        IoCallDriver(upper, irp);
        if (free_while_parked)
            IoFreeIrp(irp);
        if (parked != nullptr)
            complete(std::exchange(parked, nullptr), STATUS_SUCCESS);
        IoFreeIrp(irp);
    }
    std::function<NTSTATUS(PIRP)> park_it = [this](PIRP irp) { return test::park(irp, &parked); };
    static NTSTATUS propagating(PDEVICE_OBJECT, PIRP irp, PVOID) {
        if (irp->PendingReturned)
            IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    }
    static NTSTATUS keep_going(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
    // The second completion touches only what the I/O manager checks: a built request is gone.
    static NTSTATUS twice(PIRP irp) {
        complete(irp, STATUS_SUCCESS);
        return IoCompleteRequest(irp, IO_NO_INCREMENT), NTSTATUS{STATUS_SUCCESS};
    }
};

// The status block and the event belong to the request's sender until the I/O manager's second
// stage: not at all for a request that failed without STATUS_PENDING, and only in the sending
// thread's next wait otherwise.
TEST_F(VerifierTest, SecondStageOfCompletionIsTheCanonicalPatternsOnly) {
    lower_b = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_NOT_SUPPORTED); };
    EXPECT_EQ(IoCallDriver(upper, built(nullptr, 0, nullptr, 0)), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(iosb.Status, 0x12345678);
    EXPECT_EQ(KeReadStateEvent(&done), 0);

    PIRP parked = nullptr;
    lower_b = [&](PDEVICE_OBJECT, PIRP irp) { return test::park(irp, &parked); };
    UCHAR out[4] = {};
    EXPECT_EQ(IoCallDriver(upper, built(nullptr, 0, out, 4)), STATUS_PENDING);
    std::thread([&] {
        std::memcpy(parked->AssociatedIrp.SystemBuffer, "\x01\x02\x03\x04", 4);
        complete(parked, STATUS_NOT_SUPPORTED);
    }).join(); // not a kernel wait: this thread has not waited since
    EXPECT_EQ(iosb.Status, 0x12345678);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED); // a pending failure is reported in full
    EXPECT_TRUE(log.messages.empty()) << log.all();
}

// Each row plants one fault a driver could make, on a fresh stack, and names the report it must
// draw; the last rows are the correct patterns, which draw none.
TEST_F(VerifierTest, EveryRuleADriverCanBreakIsReported) {
    auto raise = [] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    };
    UCHAR in[8] = {}, out[4] = {};
    const std::pair<const char*, std::function<void()>> rules[] = {
        {"in a driver", [&] { lower_does(park_it), send(true); }},
        {"not a live IRP", [&] { lower_does(twice), IoCallDriver(upper, built(0, 0, 0, 0)); }},
        {"without marking it pending",
         [&] {
             lower_does([this](PIRP i) { return parked = i, NTSTATUS{STATUS_PENDING}; }), send();
         }},
        {"pending but returned 0x00000000",
         [&] { lower_does([](PIRP i) { return IoMarkIrpPending(i), complete(i, 0); }), send(); }},
        {"did not propagate PendingReturned", [&] { lower_does(park_it), send(false, false); }},
        {"completed with STATUS_PENDING",
         [&] {
             lower_does([](PIRP i) { return complete(i, STATUS_PENDING), NTSTATUS{0}; }), send();
         }},
        {"completed twice", [&] { lower_does(twice), send(); }},
        {"cancel routine is still set",
         [&] {
             lower_does([](PIRP i) {
                 return IoSetCancelRoutine(i, [](PDEVICE_OBJECT, PIRP) {}), complete(i, 0);
             }),
                 send();
         }},
        {"dispatch routine called at IRQL 0 returned at IRQL 2",
         [&] { lower_does([&](PIRP irp) { return raise(), complete(irp, 0); }), send(); }},
        {"wrote past the end of its system buffer of 8 bytes",
         [&] {
             lower_does([](PIRP i) {
                 return std::memset(i->AssociatedIrp.SystemBuffer, 0, 9), complete(i, 0, 4);
             }) /* a byte past max(8, 4) */,
                 IoCallDriver(upper, built(in, 8, out, 4));
         }},
        {"Information 5 beyond its output length of 4",
         [&] {
             lower_does([](PIRP i) { return complete(i, 0, 5); }),
                 IoCallDriver(upper, built(in, 8, out, 4));
         }},
        {"IoCallDriver with major function 9 at IRQL 2",
         [&] { raise(), send(), KeLowerIrql(PASSIVE_LEVEL); }},
        {"at DISPATCH_LEVEL",
         [&] { // a timer callback that blocks
             kernel->schedule_after(1, [&] { kernel->sleep_for(1); });
             kernel->sleep_for(5);
         }},
        {"outstanding on a handle being closed",
         [&] {
             lower_b = [&](PDEVICE_OBJECT, PIRP irp) {
                 if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL)
                     return park_it(irp);
                 return complete(irp, 0);
             };
             FileHandle handle;
             ASSERT_EQ(kernel->open(pdo, &handle), STATUS_SUCCESS);
             PendingIo io = handle.ioctl_async(0x1234, {}, 0);
             handle.close(); // cleanup left the request pending
             complete(std::exchange(parked, nullptr), STATUS_CANCELLED);
         }},
        {"with IoCallDriver, not PoCallDriver",
         [&] {
             power(false, [&](PIRP irp) { return PoStartNextPowerIrp(irp), pass_down(pdo, irp); });
         }},
        {"system IRP_MN_SET_POWER",
         [&] {
             power(true, [&](PIRP irp) { return PoStartNextPowerIrp(irp), complete(irp, 0); });
         }},
        {"2 PoStartNextPowerIrp call(s)",
         [&] {
             power(false, [&](PIRP irp) { return PoStartNextPowerIrp(irp), forward(pdo, irp); });
         }},
        {"0 PoStartNextPowerIrp call(s)",
         [&] {
             power(false, [&](PIRP irp) {
                 IoSkipCurrentIrpStackLocation(irp);
                 return PoCallDriver(pdo, irp);
             });
         }},
        {nullptr, [&] { lower_does(park_it), send(); }},
        {nullptr, [&] { power(false, [&](PIRP irp) { return forward(pdo, irp); }); }},
    };
    for (const auto& [report, plant] : rules) {
        SCOPED_TRACE(report ? report : "a correct pattern");
        log.messages.clear();
        plant();
        EXPECT_EQ(report ? log.saw(report) : log.messages.empty(), true) << log.all();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        TearDown();
        SetUp();
    }
}

TEST_F(VerifierTest, LeftoversAtKernelShutdownAreReported) {
    kernel->watch_pool_tag(0x20206B44 /* "Dk  " */);
    ExAllocatePoolWithTag(NonPagedPool, 16, 0x20206B44 /* "Dk  " */);
    ASSERT_NE(IoAllocateIrp(2, FALSE), nullptr);
    ASSERT_NE(test::make_device(driver, &lower_b), nullptr);
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) { FAIL() << "a freed timer fired"; }, nullptr);
    auto* timer = static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTest));
    KeInitializeTimer(timer);
    KeSetTimer(timer, test::relative(milliseconds(1)), &dpc);
    ExFreePool(timer);
    EXPECT_TRUE(log.saw("freed while it holds a queued timer"));
    kernel->sleep_for(milliseconds(2));
    log.messages.clear();
    tear_down_stack(*kernel, false);
    kernel.reset(); // everything is still freed, for the sanitizers
    EXPECT_TRUE(log.saw("IRP")) << log.all();
    EXPECT_TRUE(log.saw("device"));
    EXPECT_TRUE(log.saw("tag 'Dk  '"));
}

// What the power manager does with a requested IRP: it goes to the top of the stack, not to the
// device that asked; the callback comes once it is completed, here later.
TEST_F(VerifierTest, RequestedDevicePowerIrpGoesToTheTopAndCallsBackWhenDone) {
    int via_filter = 0;
    upper_b = [&](PDEVICE_OBJECT, PIRP irp) { return ++via_filter, forward(lower, irp); };
    lower_does([&](PIRP irp) {
        PoStartNextPowerIrp(irp);
        kernel->schedule_after(milliseconds(5), [&] { complete(parked, STATUS_IO_TIMEOUT); });
        return park_it(irp);
    });
    std::vector<std::tuple<PDEVICE_OBJECT, DEVICE_POWER_STATE, NTSTATUS>> done;
    auto callback = [](PDEVICE_OBJECT device, UCHAR, POWER_STATE state, PVOID context,
                       PIO_STATUS_BLOCK iosb) {
        static_cast<decltype(done)*>(context)->emplace_back(device, state.DeviceState,
                                                            iosb->Status);
    };
    POWER_STATE state{.DeviceState = PowerDeviceD3};
    EXPECT_EQ(PoRequestPowerIrp(lower, IRP_MN_SET_POWER, state, callback, &done, nullptr),
              STATUS_PENDING);
    EXPECT_TRUE(done.empty());
    kernel->sleep_for(milliseconds(5));
    EXPECT_EQ(done, decltype(done)({{lower, PowerDeviceD3, STATUS_IO_TIMEOUT}}));
    EXPECT_EQ(via_filter, 1);
    EXPECT_EQ(log.count(), 0u) << log.all();
}

} // namespace
} // namespace qkr::kern
