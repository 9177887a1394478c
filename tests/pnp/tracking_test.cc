// Card presence tracking on the lines: CTS for the card, DSR for the reader, the chain of wait
// requests that watches them, and the parked card-tracking requests of both slots.
#include "tests/pnp/pnp_support.h"

#include <optional>

namespace qkr::pnp_test {
namespace {

using Tracking = Stack;

TEST_F(Tracking, InsertionRemovalAndACtsPulseCompleteTheParkedRequestWithTheNewState) {
    up();
    ASSERT_EQ(state(*reader), ULONG{SCARD_ABSENT});
    kern::PendingIo present = park(IOCTL_SMARTCARD_IS_PRESENT);
    // Left over from an earlier card session: an insertion resets the protocol, not the ATR.
    slot(*reader, 0)->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    slot(*reader, 0)->CardCapabilities.ATR.Length = 9;
    insert_card();
    EXPECT_EQ(present.wait(), STATUS_SUCCESS);
    EXPECT_EQ(state(*reader), ULONG{SCARD_SWALLOWED});
    EXPECT_EQ(rx(*reader, 0)->CardStatus, ULONG{QKR_CARD_STATUS_PRESENT});
    EXPECT_EQ(slot(*reader, 0)->CardCapabilities.Protocol.Selected,
              ULONG{SCARD_PROTOCOL_UNDEFINED});
    EXPECT_EQ(slot(*reader, 0)->CardCapabilities.ATR.Length, 9);
    EXPECT_EQ(slot(*reader, 0)->OsData->NotificationIrp, nullptr);

    kern::PendingIo absent = park(IOCTL_SMARTCARD_IS_ABSENT);
    slot(*reader, 0)->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    remove_card();
    EXPECT_EQ(absent.wait(), STATUS_SUCCESS);
    EXPECT_EQ(state(*reader), ULONG{SCARD_ABSENT});
    EXPECT_EQ(rx(*reader, 0)->CardStatus, ULONG{QKR_CARD_STATUS_ABSENT});
    EXPECT_EQ(slot(*reader, 0)->CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(slot(*reader, 0)->CardCapabilities.Protocol.Selected,
              ULONG{SCARD_PROTOCOL_UNDEFINED});
    // Tracking goes on after each change.
    EXPECT_NE(rx(*reader, 0)->SerialStatusIrp, nullptr);
    EXPECT_TRUE(reader->port().snapshot().wait_pending);

    // A pulse that ends where it began still tells the waiting client to look again.
    insert_card();
    kern::PendingIo pulse = park(IOCTL_SMARTCARD_IS_ABSENT);
    at_reader([](sim::ReaderSim& s) { s.pulse_cts(milliseconds(1)); });
    EXPECT_EQ(pulse.wait(), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(state(*reader), ULONG{SCARD_SWALLOWED});
}

// The callback's exchange sets wait masks of its own, which end the chain quietly; the re-arming
// when it ends reads the lines afresh, and a parked request is completed once the reader is free.
TEST_F(Tracking, LineChangeDuringACallbackIsReadWhenTheCallbackReArms) {
    up();
    kern::PendingIo present = park(IOCTL_SMARTCARD_IS_PRESENT);
    {
        HeldCallback hold(*reader, 0);
        Background held(*reader, handle, HeldCallback::kCode);
        hold.wait_entered();
        ASSERT_EQ(hold.exchange, STATUS_SUCCESS);
        EXPECT_EQ(rx(*reader, 0)->SerialStatusIrp, nullptr);
        insert_card();
        EXPECT_EQ(state(*reader), ULONG{SCARD_ABSENT});
        EXPECT_FALSE(present.done());
        // A stale reading that says the reader is gone must not end the next chain.
        rx(*reader, 0)->GetModemStatus = TRUE;
        rx(*reader, 0)->ModemStatus = 0;
        hold.let_go();
        EXPECT_EQ(held.finish(), STATUS_SUCCESS);
    }
    EXPECT_EQ(state(*reader), ULONG{SCARD_SWALLOWED});
    EXPECT_EQ(rx(*reader, 0)->CardStatus, ULONG{QKR_CARD_STATUS_PRESENT});
    ASSERT_TRUE(present.wait_for(seconds(1)));
    EXPECT_EQ(present.status(), STATUS_SUCCESS);
    settle();
    EXPECT_NE(rx(*reader, 0)->SerialStatusIrp, nullptr);
    EXPECT_TRUE(reader->port().snapshot().open);
    EXPECT_EQ(count("[Qkr_SerialEvent] DSR_STATE changed!"), 0u);
}

// The reader's loss of power closes the port once, through the work item, and a stop that follows
// finds it closed; a command that owns the port defers the close to its end.
TEST_F(Tracking, DsrDropClosesThePortOnceNowOrWhenTheCallbackEnds) {
    for (bool during_callback : {false, true}) {
        SCOPED_TRACE(during_callback);
        up("t1");
        {
            std::optional<HeldCallback> hold;
            std::optional<Background> held;
            if (during_callback) {
                hold.emplace(*reader, 0);
                held.emplace(*reader, handle, HeldCallback::kCode);
                hold->wait_entered();
            }
            set_dsr(false);
            EXPECT_EQ(reader->port().snapshot().open, during_callback);
            if (during_callback) {
                hold->let_go();
                EXPECT_EQ(held->finish(), STATUS_SUCCESS);
                settle();
            }
        }
        EXPECT_FALSE(reader->port().snapshot().open);
        EXPECT_EQ(port_requests(*reader, IRP_MJ_CLOSE), 1u);
        EXPECT_EQ(rx(*reader, 0)->SerialStatusIrp, nullptr);
        EXPECT_EQ(rx(*reader, 0)->SerialWaitMask, 0u);
        // A reader without power knows nothing of a card any more.
        EXPECT_EQ(state(*reader), ULONG{SCARD_UNKNOWN});
        EXPECT_EQ(interfaces_enabled(kernel(), *reader), 0);
        EXPECT_EQ(count("[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort"), 1u);
        EXPECT_EQ(count("444444444444444444444444"), 1u);

        ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
        host.clear_log();
        ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
        EXPECT_EQ(port_requests(*reader, IRP_MJ_CLOSE), 1u);
        EXPECT_EQ(lines(),
                  (std::vector<std::string>{"[Qkr_PnP] Entering : ",
                                            "[Qkr_PnP] IRP_MN_STOP_DEVICE ", "[Qkr_PnP] Exit : "}));
        handle.close();
        ASSERT_EQ(reader->remove(), STATUS_SUCCESS);
        EXPECT_EQ(kernel().irps_live(), 0u);
        host.clear_log();
    }
}

TEST_F(Tracking, PortFailingTheWaitsEndsTheChainAfterThreeRetries) {
    up();
    const std::size_t waits =
        port_requests(*reader, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK);
    reader->port().faults().fail_waits(STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Qkr_StartSerialEventTracking(slot(*reader, 0)), STATUS_SUCCESS);
    settle();
    reader->port().faults().clear();
    // One wait and three retries, then the chain ends as on an empty mask.
    EXPECT_EQ(port_requests(*reader, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK), waits + 4);
    EXPECT_EQ(rx(*reader, 0)->SerialStatusIrp, nullptr);
    EXPECT_EQ(rx(*reader, 0)->SerialWaitMask, 0u);
    EXPECT_FALSE(reader->port().snapshot().open);
    EXPECT_EQ(port_requests(*reader, IRP_MJ_CLOSE), 1u);
    ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
    EXPECT_EQ(port_requests(*reader, IRP_MJ_CLOSE), 1u);
}

// The close follows the last request on the handle, so the cleanup must end slot 1's request
// too: no line change ever would.
TEST_F(Tracking, CancelEndsOneSlotsRequestAndTheCleanupEndsBoth) {
    up("t1");
    kern::PendingIo slot0 = park(IOCTL_SMARTCARD_IS_ABSENT);
    kern::PendingIo slot1 = park(IOCTL_SMARTCARD_IS_ABSENT, 1);
    EXPECT_EQ(slot1.cancel(), TRUE);
    EXPECT_EQ(slot1.wait(), STATUS_CANCELLED);
    EXPECT_FALSE(slot0.wait_for(seconds(1)));
    EXPECT_EQ(slot0.cancel(), TRUE);
    EXPECT_EQ(slot0.wait(), STATUS_CANCELLED);
    EXPECT_EQ(slot(*reader, 0)->OsData->NotificationIrp, nullptr);

    slot0 = park(IOCTL_SMARTCARD_IS_ABSENT);
    slot1 = park(IOCTL_SMARTCARD_IS_ABSENT, 1);
    handle.close();
    EXPECT_EQ(slot0.wait(), STATUS_SUCCESS);
    EXPECT_EQ(slot1.wait(), STATUS_CANCELLED);
    EXPECT_EQ(slot(*reader, 1)->OsData->NotificationIrp, nullptr);
}

} // namespace
} // namespace qkr::pnp_test
