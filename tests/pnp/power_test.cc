// Power management of a reader: sleep queries against requests in flight, the request gate around
// a sleep, device power transitions, and the card-tracking request parked over a sleep.
#include "tests/pnp/pnp_support.h"

namespace qkr::pnp_test {
namespace {

class Power : public Stack {
  protected:
    NTSTATUS system(UCHAR minor, int s) {
        POWER_STATE p;
        p.SystemState = static_cast<SYSTEM_POWER_STATE>(s);
        return kernel().send_power(reader->pdo(), minor, SystemPowerState, p);
    }
    NTSTATUS query(int s) { return system(IRP_MN_QUERY_POWER, s); }
    NTSTATUS set(int s) { return system(IRP_MN_SET_POWER, s); }
    void sleep(int s = PowerSystemSleeping3) {
        ASSERT_EQ(query(s), STATUS_SUCCESS);
        ASSERT_EQ(set(s), STATUS_SUCCESS);
    }
    // The driver's own power state changes since `from`, as (type, value) pairs.
    std::vector<std::pair<int, int>> own_power_log(std::size_t from) {
        std::vector<std::pair<int, int>> out;
        const auto log = kernel().power_state_log();
        for (std::size_t i = from; i < log.size(); ++i)
            if (log[i].device == reader->fdo())
                out.emplace_back(log[i].type, log[i].type == SystemPowerState
                                                  ? int(log[i].state.SystemState)
                                                  : int(log[i].state.DeviceState));
        return out;
    }
};

class SleepQuery : public Power, public ::testing::WithParamInterface<int> {};

// S3 and deeper are refused while a request is inside, and close the gate once granted; the
// explorer checks the gate over sleeps, this the query's answer for each state.
TEST_P(SleepQuery, DeepSleepIsRefusedWhileARequestIsInsideAndClosesTheGateOtherwise) {
    const int s = GetParam();
    const bool deep = s >= PowerSystemSleeping3;
    up();
    {
        HeldCallback hold(*reader, handle);
        EXPECT_EQ(query(s), deep ? STATUS_DEVICE_BUSY : STATUS_SUCCESS);
        EXPECT_TRUE(gate_open());
        EXPECT_EQ(hold.let_go(), STATUS_SUCCESS);
    }
    EXPECT_EQ(query(s), STATUS_SUCCESS);
    EXPECT_EQ(gate_open(), !deep);
    EXPECT_EQ(set(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(gate_open());
}

INSTANTIATE_TEST_SUITE_P(States, SleepQuery,
                         ::testing::Range(int(PowerSystemWorking), int(PowerSystemShutdown) + 1),
                         [](const auto& info) { return "S" + std::to_string(info.param - 1); });

struct ParkedCase {
    const char* name;
    bool card_before, card_during_sleep;
    bool completes_on_wake; // else only the next change completes it
};

class ParkedOverSleep : public Power, public ::testing::WithParamInterface<ParkedCase> {};

TEST_P(ParkedOverSleep, DeviceGoesToD3AndBackAndTheTrackingRequestEndsOnWakeWhenACardWasOrIsThere) {
    const ParkedCase& c = GetParam();
    up(c.card_before ? "t1" : "");
    kern::PendingIo parked =
        park(c.card_before ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
    const std::size_t from = kernel().power_state_log().size();
    sleep(c.card_before ? PowerSystemSleeping3 : PowerSystemHibernate);
    EXPECT_EQ(rx()->CardPresentAtPowerDown, c.card_before);
    if (c.card_during_sleep != c.card_before) {
        if (c.card_during_sleep)
            insert_card();
        else
            remove_card();
        EXPECT_EQ(state(), ULONG(c.card_during_sleep ? SCARD_SWALLOWED : SCARD_ABSENT));
    }
    settle();
    EXPECT_FALSE(parked.done()) << "nothing completes while the device is powered down";
    ASSERT_EQ(set(PowerSystemWorking), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(own_power_log(from),
              // Whichever the deep sleep, the driver tells the power manager S3.
              (std::vector<std::pair<int, int>>{{SystemPowerState, PowerSystemSleeping3},
                                                {DevicePowerState, PowerDeviceD3},
                                                {DevicePowerState, PowerDeviceD0},
                                                {SystemPowerState, PowerSystemWorking}}));
    EXPECT_EQ(parked.done(), c.completes_on_wake);
    if (!c.completes_on_wake)
        insert_card(); // still the one tracking the slot
    ASSERT_TRUE(parked.wait_for(seconds(1)));
    EXPECT_EQ(parked.status(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Cards, ParkedOverSleep,
                         ::testing::Values(ParkedCase{"CardStays", true, true, true},
                                           ParkedCase{"CardLeaves", true, false, true},
                                           ParkedCase{"CardArrives", false, true, true},
                                           ParkedCase{"NoCard", false, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Power, RefusedDeviceRequestFailsTheSystemRequestAndKeepsTheDeviceWorking) {
    up();
    const std::size_t next_irp = kernel().start_next_power_irp_calls();
    kernel().fail_nth(kern::Fault::PowerIrpRequest, 1);
    EXPECT_EQ(set(PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kernel().start_next_power_irp_calls() - next_irp, 1u);
    EXPECT_EQ(rx()->ReaderPowerState, 1u);
    EXPECT_FALSE(rx()->PowerRequest);
    // The remove lock was given back: the removal does not wait for ever, and the next
    // transition works.
    EXPECT_EQ(set(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(set(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(Power, AbandonedSleepKeepsTheGateClosedForAPendingStopQuery) {
    up();
    ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(query(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(set(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_FALSE(gate_open()) << "the stop query still holds requests back";
    ASSERT_EQ(reader->cancel_stop(), STATUS_SUCCESS);
    EXPECT_TRUE(gate_open());
}

} // namespace
} // namespace qkr::pnp_test
