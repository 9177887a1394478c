// The Plug and Play and power managers: what they send, what the kernel's bus driver answers, and
// the power manager calls a driver makes.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <vector>

namespace qkr::kern {
namespace {

using test::Behaviour;
using test::complete;
using test::make_device;
using test::pass_down;

class ManagerTest : public ::testing::Test {
  protected:
    Kernel kernel;
    test::VerifierLog log;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    Behaviour fdo_b;
    Behaviour filter_b;

    void SetUp() override {
        log.install(kernel);
        driver = kernel.load_driver("scripted", test::scripted_entry);
        pdo = kernel.create_pdo("pdo0");
        fdo_b.on_irp = [this](PDEVICE_OBJECT, PIRP irp) { return forward(pdo, irp); };
        filter_b.on_irp = [this](PDEVICE_OBJECT, PIRP irp) { return forward(fdo, irp); };
        fdo = make_device(driver, &fdo_b);
        IoAttachDeviceToDeviceStack(fdo, pdo);
    }

    // Passes a request down as a function driver does (power requests start the next one).
    static NTSTATUS forward(PDEVICE_OBJECT lower, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(lower, irp);
        }
        return pass_down(lower, irp);
    }

    void add_filter() {
        filter = make_device(driver, &filter_b);
        IoAttachDeviceToDeviceStack(filter, pdo);
    }

    void TearDown() override {
        if (filter != nullptr) {
            IoDetachDevice(fdo);
            IoDeleteDevice(filter);
        }
        IoDetachDevice(pdo);
        IoDeleteDevice(fdo);
        kernel.delete_pdo(pdo);
        kernel.unload_driver(driver);
        EXPECT_EQ(kernel.irps_live(), 0u);
        EXPECT_TRUE(log.messages.empty()) << log.messages.front();
    }
};

TEST_F(ManagerTest, PnpRequestsStartUnsupportedAndTheBusSucceedsTheOnesItOwns) {
    std::vector<NTSTATUS> arrival;
    fdo_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_PNP);
        arrival.push_back(irp->IoStatus.Status);
        return pass_down(pdo, irp);
    };
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                        IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE})
        EXPECT_EQ(kernel.send_pnp(pdo, minor), STATUS_SUCCESS) << int(minor);
    // A request the bus does not handle keeps the status it came with.
    EXPECT_EQ(kernel.send_pnp(pdo, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(arrival.size(), 10u);
    for (NTSTATUS s : arrival)
        EXPECT_EQ(s, STATUS_NOT_SUPPORTED);
}

TEST_F(ManagerTest, PnpRequestCompletedLaterByTheDriverIsWaitedFor) {
    struct Ctx {
        PIRP irp = nullptr;
        PIO_WORKITEM item = nullptr;
    } ctx;
    ctx.item = IoAllocateWorkItem(fdo);
    fdo_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        ctx.irp = irp;
        IoQueueWorkItem(
            ctx.item,
            [](PDEVICE_OBJECT, PVOID p) {
                LARGE_INTEGER d = test::relative(seconds(2));
                KeDelayExecutionThread(KernelMode, FALSE, &d);
                complete(static_cast<Ctx*>(p)->irp, STATUS_DEVICE_NOT_READY);
            },
            DelayedWorkQueue, &ctx);
        return STATUS_PENDING;
    };
    EXPECT_EQ(kernel.send_pnp(pdo, IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(kernel.now(), seconds(2));
    IoFreeWorkItem(ctx.item);
}

TEST_F(ManagerTest, PowerRequestsCarryTheirStateAndPassDownToTheBus) {
    IO_STACK_LOCATION seen{};
    fdo_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        seen = *IoGetCurrentIrpStackLocation(irp);
        return forward(pdo, irp);
    };
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(kernel.send_power(pdo, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    EXPECT_EQ(seen.MajorFunction, IRP_MJ_POWER);
    EXPECT_EQ(seen.MinorFunction, IRP_MN_SET_POWER);
    EXPECT_EQ(seen.Parameters.Power.Type, DevicePowerState);
    EXPECT_EQ(seen.Parameters.Power.State.DeviceState, PowerDeviceD3);
    EXPECT_EQ(kernel.start_next_power_irp_calls(), 2u); // the driver's and the bus driver's

    POWER_STATE s4;
    s4.SystemState = PowerSystemHibernate;
    EXPECT_EQ(kernel.send_power(pdo, IRP_MN_QUERY_POWER, SystemPowerState, s4), STATUS_SUCCESS);
    EXPECT_EQ(seen.Parameters.Power.Type, SystemPowerState);
    EXPECT_EQ(seen.Parameters.Power.State.SystemState, PowerSystemHibernate);
    EXPECT_EQ(seen.Parameters.Power.ShutdownType, PowerActionSleep);
}

TEST_F(ManagerTest, AsyncPowerRequestStaysPendingUntilTheDriverCompletesIt) {
    PIRP parked = nullptr;
    fdo_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        return STATUS_PENDING;
    };
    POWER_STATE s;
    s.SystemState = PowerSystemSleeping3;
    PendingIo io = kernel.send_power_async(pdo, IRP_MN_SET_POWER, SystemPowerState, s);
    EXPECT_FALSE(io.done());
    EXPECT_EQ(io.status(), STATUS_PENDING);
    EXPECT_FALSE(io.wait_for(seconds(1)));
    EXPECT_EQ(kernel.now(), seconds(1));
    PoStartNextPowerIrp(parked);
    complete(parked, STATUS_DEVICE_BUSY);
    EXPECT_TRUE(io.done());
    EXPECT_EQ(io.wait(), STATUS_DEVICE_BUSY);
}

struct PowerCallback {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = 0;
};

void record_power_callback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK iosb) {
    auto* r = static_cast<PowerCallback*>(context);
    ++r->calls;
    r->device = device;
    r->minor = minor;
    r->state = state;
    r->status = iosb->Status;
}

TEST_F(ManagerTest, RequestedDevicePowerIrpGoesToTheTopAndCallsBackWhenDone) {
    add_filter();
    std::vector<PDEVICE_OBJECT> path;
    filter_b.on_irp = [&](PDEVICE_OBJECT d, PIRP irp) {
        path.push_back(d);
        return forward(fdo, irp);
    };
    IO_STACK_LOCATION at_fdo{};
    fdo_b.on_irp = [&](PDEVICE_OBJECT d, PIRP irp) {
        path.push_back(d);
        at_fdo = *IoGetCurrentIrpStackLocation(irp);
        return forward(pdo, irp);
    };
    PowerCallback cb;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, d0, record_power_callback, &cb, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(path, (std::vector<PDEVICE_OBJECT>{filter, fdo}));
    EXPECT_EQ(at_fdo.Parameters.Power.Type, DevicePowerState);
    EXPECT_EQ(at_fdo.Parameters.Power.State.DeviceState, PowerDeviceD0);
    EXPECT_EQ(cb.calls, 1);
    EXPECT_EQ(cb.device, fdo);
    EXPECT_EQ(cb.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(cb.state.DeviceState, PowerDeviceD0);
    EXPECT_EQ(cb.status, STATUS_SUCCESS);
}

TEST_F(ManagerTest, RequestedPowerIrpPendedBelowCallsBackOnCompletion) {
    PIRP parked = nullptr;
    fdo_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoMarkIrpPending(irp);
        parked = irp;
        kernel.schedule_after(milliseconds(5), [&] { complete(parked, STATUS_IO_TIMEOUT); });
        return STATUS_PENDING;
    };
    PowerCallback cb;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, d3, record_power_callback, &cb, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(cb.calls, 0);
    kernel.sleep_for(milliseconds(5));
    EXPECT_EQ(cb.calls, 1);
    EXPECT_EQ(cb.status, STATUS_IO_TIMEOUT);
}

TEST_F(ManagerTest, FailedPowerIrpRequestNeverCallsBack) {
    kernel.fail_nth(Fault::PowerIrpRequest, 1);
    PowerCallback cb;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, d0, record_power_callback, &cb, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(cb.calls, 0);
    EXPECT_EQ(kernel.irps_live(), 0u);
    // Only the one call failed.
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, d0, record_power_callback, &cb, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(cb.calls, 1);
}

TEST_F(ManagerTest, PowerStateChangesAreLoggedAndReturnThePreviousState) {
    POWER_STATE d3, s4;
    d3.DeviceState = PowerDeviceD3;
    s4.SystemState = PowerSystemSleeping3;
    POWER_STATE prev = PoSetPowerState(fdo, DevicePowerState, d3);
    EXPECT_EQ(prev.DeviceState, PowerDeviceD0);
    prev = PoSetPowerState(fdo, DevicePowerState, d3);
    EXPECT_EQ(prev.DeviceState, PowerDeviceD3);
    PoSetPowerState(fdo, SystemPowerState, s4);
    auto logged = kernel.power_state_log();
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0].device, fdo);
    EXPECT_EQ(logged[0].type, DevicePowerState);
    EXPECT_EQ(logged[0].state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(logged[2].type, SystemPowerState);
    EXPECT_EQ(logged[2].state.SystemState, PowerSystemSleeping3);
}

PDEVICE_OBJECT g_added_for = nullptr;

TEST(DriverLoading, EntryAndAddDeviceAreCalledAndAFailingEntryLoadsNothing) {
    Kernel kernel;
    PDRIVER_OBJECT d = kernel.load_driver("adder", [](PDRIVER_OBJECT drv, PUNICODE_STRING path) {
        EXPECT_NE(path, nullptr);
        EXPECT_GT(path->Length, 0);
        drv->DriverExtension->AddDevice = [](PDRIVER_OBJECT, PDEVICE_OBJECT pdo) {
            g_added_for = pdo;
            return STATUS_DEVICE_NOT_CONNECTED;
        };
        return STATUS_SUCCESS;
    });
    ASSERT_NE(d, nullptr);
    PDEVICE_OBJECT pdo = kernel.create_pdo("pdo");
    EXPECT_EQ(kernel.add_device(d, pdo), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(g_added_for, pdo);
    kernel.delete_pdo(pdo);

    bool unloaded = false;
    static bool* s_unloaded = &unloaded;
    d->DriverUnload = [](PDRIVER_OBJECT) { *s_unloaded = true; };
    kernel.unload_driver(d);
    EXPECT_TRUE(unloaded);

    EXPECT_EQ(
        kernel.load_driver("broken", [](PDRIVER_OBJECT,
                                        PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; }),
        nullptr);
}

} // namespace
} // namespace qkr::kern
