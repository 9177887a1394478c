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
    fdo_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        kernel.schedule_after(seconds(2), [irp] { complete(irp, STATUS_DEVICE_NOT_READY); });
        return STATUS_PENDING;
    };
    EXPECT_EQ(kernel.send_pnp(pdo, IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(kernel.now(), seconds(2));
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
    POWER_STATE state{};
    NTSTATUS status = 0;
};

void record_power_callback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK iosb) {
    auto* r = static_cast<PowerCallback*>(context);
    EXPECT_EQ(minor, IRP_MN_SET_POWER);
    ++r->calls;
    r->device = device;
    r->state = state;
    r->status = iosb->Status;
}

// The IRP goes to the top of the stack, not to the device that asked; the callback comes once
// it is completed, at once or later.
TEST_F(ManagerTest, RequestedDevicePowerIrpGoesToTheTopAndCallsBackWhenDone) {
    add_filter();
    std::vector<PDEVICE_OBJECT> path;
    filter_b.on_irp = [&](PDEVICE_OBJECT d, PIRP irp) {
        path.push_back(d);
        return forward(fdo, irp);
    };
    PIRP parked = nullptr;
    fdo_b.on_irp = [&](PDEVICE_OBJECT d, PIRP irp) {
        path.push_back(d);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type, DevicePowerState);
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState == PowerDeviceD0)
            return forward(pdo, irp);
        PoStartNextPowerIrp(irp);
        IoMarkIrpPending(irp);
        parked = irp;
        kernel.schedule_after(milliseconds(5), [&] { complete(parked, STATUS_IO_TIMEOUT); });
        return NTSTATUS{STATUS_PENDING};
    };
    PowerCallback cb;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, state, record_power_callback, &cb, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(path, (std::vector<PDEVICE_OBJECT>{filter, fdo}));
    EXPECT_EQ(cb.calls, 1);
    EXPECT_EQ(cb.device, fdo);
    EXPECT_EQ(cb.state.DeviceState, PowerDeviceD0);
    EXPECT_EQ(cb.status, STATUS_SUCCESS);

    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, state, record_power_callback, &cb, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(cb.calls, 1);
    kernel.sleep_for(milliseconds(5));
    EXPECT_EQ(cb.calls, 2);
    EXPECT_EQ(cb.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(cb.status, STATUS_IO_TIMEOUT);
}

} // namespace
} // namespace qkr::kern
