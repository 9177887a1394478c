// Power management of a started reader: sleep queries against requests in flight, the request
// gate around a sleep, device power transitions, and the card-tracking request parked over a
// sleep. The whole stack runs (kernel, driver, serial port, line) with a scripted reader at the
// far end, on the virtual clock.
#include "host/host.h"
#include "tests/card/scripted_firmware.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace qkr::powertest {
namespace {

using cardtest::ScriptedFirmware;
using kern::milliseconds;
using kern::seconds;

POWER_STATE system_state(int s) {
    POWER_STATE p;
    p.SystemState = static_cast<SYSTEM_POWER_STATE>(s);
    return p;
}
POWER_STATE device_state(int d) {
    POWER_STATE p;
    p.DeviceState = static_cast<DEVICE_POWER_STATE>(d);
    return p;
}

class PowerTest : public ::testing::Test {
  protected:
    host::Host host;
    std::unique_ptr<ScriptedFirmware> firmware = std::make_unique<ScriptedFirmware>(host.kernel());
    host::Reader* reader = nullptr;

    // The kernel checks that every power IRP gets exactly one PoStartNextPowerIrp from each
    // device it passes; what it finds wrong is collected here instead of ending the run.
    std::vector<std::string> verifier;
    void SetUp() override {
        kernel().set_verifier_handler([this](const std::string& m) { verifier.push_back(m); });
    }

    void start(bool card_in = true) {
        firmware->set_card_in_slot0(card_in);
        host::ReaderOptions options;
        options.device = firmware.get();
        reader = &host.add_reader(options);
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (reader != nullptr) {
            // Let the removal's line changes settle before the line itself goes.
            reader->remove();
            kernel().sleep_for(milliseconds(100));
            host.release_reader(*reader);
        }
        EXPECT_TRUE(verifier.empty()) << verifier.front();
    }

    kern::Kernel& kernel() { return host.kernel(); }
    NTSTATUS query_system(int s) {
        return kernel().send_power(reader->pdo(), IRP_MN_QUERY_POWER, SystemPowerState,
                                   system_state(s));
    }
    NTSTATUS set_system(int s) {
        return kernel().send_power(reader->pdo(), IRP_MN_SET_POWER, SystemPowerState,
                                   system_state(s));
    }
    NTSTATUS set_device(int d) {
        return kernel().send_power(reader->pdo(), IRP_MN_SET_POWER, DevicePowerState,
                                   device_state(d));
    }
    bool gate_open() {
        return KeReadStateEvent(&qkr::host::DriverRecords::device(*reader)->ReaderStarted) != 0;
    }
    READER_EXTENSION& slot0() { return *qkr::host::DriverRecords::reader(*reader, 0); }
    void settle(kern::Ticks span = milliseconds(200)) { kernel().sleep_for(span); }

    // The driver's own power state changes, in order, as (type, value) pairs.
    std::vector<std::pair<int, int>> own_power_log(std::size_t from = 0) {
        std::vector<std::pair<int, int>> out;
        auto log = kernel().power_state_log();
        for (std::size_t i = from; i < log.size(); ++i) {
            if (log[i].device == reader->fdo())
                out.emplace_back(log[i].type, log[i].type == SystemPowerState
                                                  ? int(log[i].state.SystemState)
                                                  : int(log[i].state.DeviceState));
        }
        return out;
    }
};

// A client request that stays inside the driver: a memory-card command the reader takes ten
// seconds to answer.
class RequestInFlight {
  public:
    RequestInFlight(kern::Kernel& kernel, host::Reader& reader, ScriptedFirmware& firmware,
                    kern::FileHandle& handle)
        : kernel_(kernel) {
        firmware.answer(RDCMD_MEM_EXCHANGE, ScriptedFirmware::data({0x00}), seconds(10));
        thread_ = kernel_.spawn("client", [this, &reader, &handle] {
            std::vector<std::uint8_t> out;
            status_ = reader.ioctl(handle, IOCTL_SMARTCARD_BRV_MEM_TRANSMIT,
                                   std::vector<std::uint8_t>{0x01}, &out, 16);
            done_ = true;
        });
        kernel_.sleep_for(seconds(1));
    }
    ~RequestInFlight() {
        if (thread_.joinable())
            thread_.join();
    }
    bool done() const { return done_; }
    NTSTATUS finish() {
        thread_.join();
        return status_;
    }

  private:
    kern::Kernel& kernel_;
    kern::Thread thread_;
    std::atomic<bool> done_{false};
    NTSTATUS status_ = STATUS_PENDING;
};

// A client request waiting at the gate on a thread of its own.
class GatedRequest {
  public:
    GatedRequest(kern::Kernel& kernel, host::Reader& reader, kern::FileHandle& handle)
        : kernel_(kernel) {
        thread_ = kernel_.spawn("gated", [this, &reader, &handle] {
            std::vector<std::uint8_t> out;
            status_ = reader.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4);
            done_ = true;
        });
        kernel_.sleep_for(seconds(5));
    }
    ~GatedRequest() {
        if (thread_.joinable())
            thread_.join();
    }
    bool done() const { return done_; }
    NTSTATUS finish() {
        thread_.join();
        return status_;
    }

  private:
    kern::Kernel& kernel_;
    kern::Thread thread_;
    std::atomic<bool> done_{false};
    NTSTATUS status_ = STATUS_PENDING;
};

TEST_F(PowerTest, DeepSleepQueriesAreRefusedWhileARequestIsInsideAndCloseTheGateOtherwise) {
    start();
    kern::FileHandle handle = reader->open();
    for (int s : {PowerSystemSleeping3, PowerSystemHibernate, PowerSystemShutdown}) {
        {
            RequestInFlight busy(kernel(), *reader, *firmware, handle);
            ASSERT_FALSE(busy.done());
            ASSERT_EQ(qkr::host::DriverRecords::device(*reader)->IoCount, 1);
            EXPECT_EQ(query_system(s), STATUS_DEVICE_BUSY) << s;
            EXPECT_TRUE(gate_open()) << s;
            EXPECT_EQ(busy.finish(), STATUS_SUCCESS);
        }
        EXPECT_EQ(query_system(s), STATUS_SUCCESS) << s;
        EXPECT_FALSE(gate_open()) << s;
        {
            GatedRequest waiting(kernel(), *reader, handle);
            EXPECT_FALSE(waiting.done()) << "a new request waits at the gate";
            // The system stays awake after all: the gate opens again.
            EXPECT_EQ(set_system(PowerSystemWorking), STATUS_SUCCESS);
            EXPECT_EQ(waiting.finish(), STATUS_SUCCESS);
        }
        EXPECT_TRUE(gate_open());
    }
}

TEST_F(PowerTest, LightSleepQueriesNeitherLookAtRequestsNorCloseTheGate) {
    start();
    kern::FileHandle handle = reader->open();
    RequestInFlight busy(kernel(), *reader, *firmware, handle);
    for (int s : {PowerSystemWorking, PowerSystemSleeping1, PowerSystemSleeping2}) {
        EXPECT_EQ(query_system(s), STATUS_SUCCESS) << s;
        EXPECT_TRUE(gate_open()) << s;
    }
    EXPECT_EQ(busy.finish(), STATUS_SUCCESS);
}

TEST_F(PowerTest, SleepAndWakeTakeTheDeviceToD3AndBack) {
    start();
    const std::size_t log_start = kernel().power_state_log().size();

    ASSERT_EQ(query_system(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(set_system(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(slot0().ReaderPowerState, 2u);
    EXPECT_TRUE(slot0().PowerRequest);
    EXPECT_TRUE(slot0().CardPresentAtPowerDown);
    EXPECT_FALSE(gate_open());
    EXPECT_EQ(own_power_log(log_start),
              (std::vector<std::pair<int, int>>{{SystemPowerState, PowerSystemSleeping3},
                                                {DevicePowerState, PowerDeviceD3}}));

    ASSERT_EQ(set_system(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(slot0().ReaderPowerState, 1u);
    EXPECT_FALSE(slot0().PowerRequest);
    EXPECT_TRUE(gate_open());
    EXPECT_EQ(own_power_log(log_start),
              (std::vector<std::pair<int, int>>{{SystemPowerState, PowerSystemSleeping3},
                                                {DevicePowerState, PowerDeviceD3},
                                                {DevicePowerState, PowerDeviceD0},
                                                {SystemPowerState, PowerSystemWorking}}));

    // The reader still answers after the wake.
    std::vector<std::uint8_t> out;
    firmware->answer(RDCMD_MEM_EXCHANGE, ScriptedFirmware::data({0x00, 0x07}));
    EXPECT_EQ(
        reader->ioctl(IOCTL_SMARTCARD_BRV_MEM_TRANSMIT, std::vector<std::uint8_t>{0x01}, &out, 16),
        STATUS_SUCCESS);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x00, 0x07}));
}

TEST_F(PowerTest, RequestsForTheStateTheDeviceIsInCompleteAtOnce) {
    start();
    std::size_t log_start = kernel().power_state_log().size();
    std::size_t next_irp_start = kernel().start_next_power_irp_calls();
    for (int s : {PowerSystemWorking, PowerSystemSleeping1, PowerSystemSleeping2,
                  PowerSystemMaximum, PowerSystemUnspecified}) {
        EXPECT_EQ(set_system(s), STATUS_SUCCESS) << s;
    }
    EXPECT_TRUE(own_power_log(log_start).empty()) << "no device request was asked for";
    // Ours, the port's and the bus driver's: each one goes down to the bus.
    EXPECT_EQ(kernel().start_next_power_irp_calls() - next_irp_start, 3 * 5u);

    ASSERT_EQ(set_system(PowerSystemHibernate), STATUS_SUCCESS);
    log_start = kernel().power_state_log().size();
    next_irp_start = kernel().start_next_power_irp_calls();
    for (int s : {PowerSystemSleeping3, PowerSystemHibernate, PowerSystemShutdown}) {
        EXPECT_EQ(set_system(s), STATUS_SUCCESS) << s;
    }
    EXPECT_TRUE(own_power_log(log_start).empty()) << "already asleep: no state is set again";
    EXPECT_EQ(kernel().start_next_power_irp_calls() - next_irp_start, 3 * 3u);
    EXPECT_EQ(slot0().ReaderPowerState, 2u);
    EXPECT_EQ(set_system(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(slot0().ReaderPowerState, 1u);
}

TEST_F(PowerTest, D1AndD2ArePassedDownWithoutAnyChange) {
    start();
    const std::size_t log_start = kernel().power_state_log().size();
    for (int d : {PowerDeviceD1, PowerDeviceD2}) {
        EXPECT_EQ(set_device(d), STATUS_SUCCESS) << d;
        EXPECT_EQ(slot0().ReaderPowerState, 1u);
        EXPECT_FALSE(slot0().PowerRequest);
        EXPECT_TRUE(gate_open());
    }
    // A device query and a wait-wake go down too.
    EXPECT_EQ(kernel().send_power(reader->pdo(), IRP_MN_QUERY_POWER, DevicePowerState,
                                  device_state(PowerDeviceD3)),
              STATUS_SUCCESS);
    EXPECT_TRUE(own_power_log(log_start).empty());
}

TEST_F(PowerTest, ParkedTrackingRequestIsCompletedOnWakeEvenIfTheCardLeftDuringSleep) {
    start(true);
    kern::FileHandle handle = reader->open();
    kern::PendingIo absent = handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    ASSERT_FALSE(absent.done());

    ASSERT_EQ(query_system(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(set_system(PowerSystemSleeping3), STATUS_SUCCESS);
    firmware->set_card_in_slot0(false);
    settle();
    EXPECT_EQ(qkr::host::DriverRecords::slot(*reader, 0)->ReaderCapabilities.CurrentState,
              (ULONG)SCARD_ABSENT);
    EXPECT_FALSE(absent.done()) << "nothing completes while the device is powered down";

    ASSERT_EQ(set_system(PowerSystemWorking), STATUS_SUCCESS);
    settle();
    ASSERT_TRUE(absent.done());
    EXPECT_EQ(absent.status(), STATUS_SUCCESS);
}

TEST_F(PowerTest, ParkedTrackingRequestStaysParkedOverASleepWithoutACard) {
    start(false);
    kern::FileHandle handle = reader->open();
    kern::PendingIo present = handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    ASSERT_FALSE(present.done());

    ASSERT_EQ(query_system(PowerSystemHibernate), STATUS_SUCCESS);
    ASSERT_EQ(set_system(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_FALSE(slot0().CardPresentAtPowerDown);
    ASSERT_EQ(set_system(PowerSystemWorking), STATUS_SUCCESS);
    settle();
    EXPECT_FALSE(present.done());

    // It is still the one tracking the slot: a card now completes it.
    firmware->set_card_in_slot0(true);
    settle();
    ASSERT_TRUE(present.done());
    EXPECT_EQ(present.status(), STATUS_SUCCESS);
}

TEST_F(PowerTest, RefusedDeviceRequestFailsTheSystemRequestAndKeepsTheDeviceWorking) {
    start();
    const std::size_t next_irp_start = kernel().start_next_power_irp_calls();
    kernel().fail_nth(kern::Fault::PowerIrpRequest, 1);
    EXPECT_EQ(set_system(PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kernel().start_next_power_irp_calls() - next_irp_start, 1u);
    EXPECT_EQ(slot0().ReaderPowerState, 1u);
    EXPECT_FALSE(slot0().PowerRequest);
    // The remove lock was given back: removal (in TearDown) does not wait for ever, and the
    // next transition works.
    EXPECT_EQ(set_system(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(set_system(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(PowerTest, AbandonedSleepKeepsTheGateClosedForAPendingStopQuery) {
    start();
    ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(query_system(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(set_system(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_FALSE(gate_open()) << "the stop query still holds requests back";
    ASSERT_EQ(reader->cancel_stop(), STATUS_SUCCESS);
    EXPECT_TRUE(gate_open());
}

TEST_F(PowerTest, SleepAndWakeLeaveTheGateOfANeverStartedOrStoppedDeviceClosed) {
    host::ReaderOptions options;
    options.device = firmware.get();
    reader = &host.add_reader(options);
    ASSERT_EQ(reader->add(), STATUS_SUCCESS);
    kern::FileHandle handle = reader->open();
    for (bool stopped : {false, true}) {
        if (stopped) {
            ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
            ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
        }
        GatedRequest waiting(kernel(), *reader, handle);
        for (bool slept : {false, true}) {
            ASSERT_EQ(query_system(PowerSystemSleeping3), STATUS_SUCCESS);
            if (slept) {
                ASSERT_EQ(set_system(PowerSystemSleeping3), STATUS_SUCCESS);
            }
            ASSERT_EQ(set_system(PowerSystemWorking), STATUS_SUCCESS);
            settle(seconds(5));
            EXPECT_FALSE(waiting.done()) << "the port is closed: the request waits for a start";
        }
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        EXPECT_EQ(waiting.finish(), STATUS_SUCCESS);
    }
}

} // namespace
} // namespace qkr::powertest
