// Power and Plug and Play rules: each misuse planted once, and the verifier must name it.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace qkr::kern {
namespace {

using test::Behaviour;
using test::complete;

class PnpRulesTest : public ::testing::Test {
  protected:
    Kernel kernel;
    test::VerifierLog log;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    Behaviour fdo_b;
    PIRP parked = nullptr;
    bool complete_on_cleanup = true;

    // A function driver that does everything right: passes Plug and Play and power requests
    // down, parks device control requests, and completes the parked one on cleanup.
    void SetUp() override {
        log.install(kernel);
        driver = kernel.load_driver("scripted", test::scripted_entry);
        pdo = kernel.create_pdo("pdo0");
        fdo_b.on_irp = [this](PDEVICE_OBJECT, PIRP irp) {
            switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
            case IRP_MJ_POWER:
                PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
                return PoCallDriver(pdo, irp);
            case IRP_MJ_PNP:
                return test::pass_down(pdo, irp);
            case IRP_MJ_DEVICE_CONTROL:
                IoMarkIrpPending(irp);
                parked = irp;
                return STATUS_PENDING;
            case IRP_MJ_CLEANUP:
                if (complete_on_cleanup && parked != nullptr)
                    complete(std::exchange(parked, nullptr), STATUS_CANCELLED);
                return complete(irp, STATUS_SUCCESS);
            default:
                return complete(irp, STATUS_SUCCESS);
            }
        };
        fdo = test::make_device(driver, &fdo_b);
        IoAttachDeviceToDeviceStack(fdo, pdo);
    }
    void TearDown() override {
        IoDetachDevice(pdo);
        IoDeleteDevice(fdo);
        kernel.delete_pdo(pdo);
        kernel.unload_driver(driver);
    }
    std::string reports() const { return ::testing::PrintToString(log.messages); }
};

TEST_F(PnpRulesTest, PowerIrpMisusesAreReported) {
    struct Case {
        const char* name;
        POWER_STATE_TYPE type;
        std::function<NTSTATUS(PIRP)> fdo_power;
        const char* report;
    };
    const std::vector<Case> cases = {
        {"passed down with IoCallDriver", DevicePowerState,
         [this](PIRP irp) {
             PoStartNextPowerIrp(irp);
             IoSkipCurrentIrpStackLocation(irp);
             return IoCallDriver(pdo, irp);
         },
         "with IoCallDriver, not PoCallDriver"},
        {"system set-power succeeded without passing it down", SystemPowerState,
         [](PIRP irp) {
             PoStartNextPowerIrp(irp);
             return complete(irp, STATUS_SUCCESS);
         },
         "system IRP_MN_SET_POWER"},
    };
    POWER_STATE d0{};
    d0.DeviceState = PowerDeviceD0;
    PIRP requested = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, d0, nullptr, nullptr, &requested),
              STATUS_PENDING);
    EXPECT_TRUE(log.saw("asked for the IRP it sends")) << reports();
    for (const auto& c : cases) {
        log.messages.clear();
        fdo_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) { return c.fdo_power(irp); };
        POWER_STATE state{};
        if (c.type == SystemPowerState)
            state.SystemState = PowerSystemWorking;
        else
            state.DeviceState = PowerDeviceD0;
        EXPECT_EQ(kernel.send_power(pdo, IRP_MN_SET_POWER, c.type, state), STATUS_SUCCESS);
        EXPECT_TRUE(log.saw(c.report)) << c.name << ": " << reports();
    }
}

TEST_F(PnpRulesTest, PnpRequestsOutOfTheManagersOrderAreReportedAndNotSent) {
    struct Case {
        std::vector<UCHAR> before;
        UCHAR misplaced;
        const char* report;
    };
    const std::vector<Case> cases = {
        {{IRP_MN_START_DEVICE}, IRP_MN_REMOVE_DEVICE, "without a query-remove that succeeded"},
        {{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE},
         IRP_MN_REMOVE_DEVICE,
         "without a query-remove"},
        {{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
         IRP_MN_REMOVE_DEVICE,
         "without a query-remove"},
        {{IRP_MN_START_DEVICE}, IRP_MN_STOP_DEVICE, "without a query-stop that succeeded"},
        {{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL},
         IRP_MN_START_DEVICE,
         "after IRP_MN_SURPRISE_REMOVAL"},
    };
    for (const auto& c : cases) {
        log.messages.clear();
        int seen = 0;
        fdo_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
            ++seen;
            return test::pass_down(pdo, irp);
        };
        for (UCHAR minor : c.before) {
            ASSERT_EQ(kernel.send_pnp(pdo, minor), STATUS_SUCCESS) << int(minor);
        }
        EXPECT_TRUE(log.messages.empty()) << reports();
        EXPECT_EQ(kernel.send_pnp(pdo, c.misplaced), STATUS_INVALID_DEVICE_STATE);
        EXPECT_TRUE(log.saw(c.report)) << int(c.misplaced) << ": " << reports();
        EXPECT_EQ(seen, static_cast<int>(c.before.size()));
        // The manager's own way out, so the next case starts from a removed device.
        if (c.before.back() != IRP_MN_SURPRISE_REMOVAL) {
            ASSERT_EQ(kernel.send_pnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        }
        ASSERT_EQ(kernel.send_pnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    }
}

TEST_F(PnpRulesTest, AStackOnItsWayOutTakesNoNewOpens) {
    ASSERT_EQ(kernel.send_pnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(kernel.send_pnp(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    FileHandle late;
    EXPECT_EQ(kernel.open(pdo, &late), STATUS_NO_SUCH_DEVICE);
    ASSERT_EQ(kernel.send_pnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(kernel.open(pdo, &late), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpRulesTest, CloseFollowsTheLastRequestOnTheHandle) {
    std::vector<UCHAR> majors;
    auto well_behaved = fdo_b.on_irp;
    fdo_b.on_irp = [&](PDEVICE_OBJECT d, PIRP irp) {
        majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return well_behaved(d, irp);
    };
    for (bool completes : {true, false}) {
        SCOPED_TRACE(completes ? "completed on cleanup" : "kept past the cleanup");
        complete_on_cleanup = completes;
        majors.clear();
        log.messages.clear();
        FileHandle handle;
        ASSERT_EQ(kernel.open(pdo, &handle), STATUS_SUCCESS);
        PendingIo io = handle.ioctl_async(0x1234, {}, 0);
        handle.close();
        EXPECT_EQ(majors.back(), IRP_MJ_CLOSE);
        EXPECT_EQ(io.done(), completes);
        EXPECT_EQ(log.saw("outstanding on a handle being closed"), !completes) << reports();
        if (!completes)
            complete(std::exchange(parked, nullptr), STATUS_CANCELLED);
    }
}

} // namespace
} // namespace qkr::kern
