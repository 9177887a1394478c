// Card presence tracking on the lines: CTS for the card, DSR for the reader, the chain of wait
// requests that watches them, and the parked card-tracking requests of both slots.
#include "tests/pnp/pnp_support.h"

#include <optional>

namespace qkr::pnp_test {
namespace {

using Tracking = Stack;

TEST_F(Tracking, InsertionAndRemovalResetTheProtocolAndACtsPulseCompletesTheParkedRequest) {
    up();
    kern::PendingIo present = park(IOCTL_SMARTCARD_IS_PRESENT);
    // Left over from an earlier card session: an insertion resets the protocol, not the ATR.
    slot(0)->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    slot(0)->CardCapabilities.ATR.Length = 9;
    insert_card();
    EXPECT_EQ(present.wait(), STATUS_SUCCESS);
    EXPECT_EQ(slot(0)->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_UNDEFINED});
    EXPECT_EQ(slot(0)->CardCapabilities.ATR.Length, 9);
    EXPECT_EQ(slot(0)->OsData->NotificationIrp, nullptr);

    kern::PendingIo absent = park(IOCTL_SMARTCARD_IS_ABSENT);
    slot(0)->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    remove_card();
    EXPECT_EQ(absent.wait(), STATUS_SUCCESS);
    EXPECT_EQ(slot(0)->CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(slot(0)->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_UNDEFINED});

    // A pulse that ends where it began still tells the waiting client to look again.
    insert_card();
    kern::PendingIo pulse = park(IOCTL_SMARTCARD_IS_ABSENT);
    at_reader([](sim::ReaderSim& s) { s.pulse_cts(milliseconds(1)); });
    EXPECT_EQ(pulse.wait(), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(state(), ULONG{SCARD_SWALLOWED});
}

// The callback's exchange sets wait masks of its own, which end the chain quietly; the re-arming
// when it ends reads the lines afresh, and a parked request is completed once the reader is free.
TEST_F(Tracking, LineChangeDuringACallbackIsReadWhenTheCallbackReArms) {
    up();
    kern::PendingIo present = park(IOCTL_SMARTCARD_IS_PRESENT);
    {
        HeldCallback hold(*reader, handle);
        ASSERT_EQ(hold.exchange, STATUS_SUCCESS);
        EXPECT_EQ(rx()->SerialStatusIrp, nullptr);
        insert_card();
        EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
        EXPECT_FALSE(present.done());
        // A stale reading that says the reader is gone must not end the next chain.
        rx()->GetModemStatus = TRUE;
        rx()->ModemStatus = 0;
        EXPECT_EQ(hold.let_go(), STATUS_SUCCESS);
    }
    EXPECT_EQ(state(), ULONG{SCARD_SWALLOWED});
    ASSERT_TRUE(present.wait_for(seconds(1)));
    EXPECT_EQ(present.status(), STATUS_SUCCESS);
    settle();
    EXPECT_NE(rx()->SerialStatusIrp, nullptr);
    EXPECT_TRUE(port_open());
}

// The reader's loss of power closes the port once, through the work item, and a stop that follows
// finds it closed; a command that owns the port defers the close to its end.
TEST_F(Tracking, DsrDropClosesThePortOnceNowOrWhenTheCallbackEnds) {
    for (bool during_callback : {false, true}) {
        SCOPED_TRACE(during_callback);
        up("t1");
        {
            std::optional<HeldCallback> hold;
            if (during_callback)
                hold.emplace(*reader, handle);
            at_reader([](sim::ReaderSim& s) { s.set_powered(false); });
            EXPECT_EQ(port_open(), during_callback);
            if (hold) {
                EXPECT_EQ(hold->let_go(), STATUS_SUCCESS);
            }
            settle();
        }
        EXPECT_FALSE(port_open());
        EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
        EXPECT_EQ(rx()->SerialStatusIrp, nullptr);
        EXPECT_EQ(rx()->SerialWaitMask, 0u);
        // A reader without power knows nothing of a card any more.
        EXPECT_EQ(state(), ULONG{SCARD_UNKNOWN});
        EXPECT_EQ(interfaces_enabled(), 0);
        EXPECT_EQ(count("[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort"), 1u);

        ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
        const std::size_t requests = reader->tap().requests().size();
        ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
        // Nothing but the stop itself, passed down, reaches the closed port.
        EXPECT_EQ(reader->tap().requests().size(), requests + 1);
        handle.close();
        ASSERT_EQ(reader->remove(), STATUS_SUCCESS);
        EXPECT_EQ(kernel().irps_live(), 0u);
        host.clear_log();
    }
}

TEST_F(Tracking, PortFailingTheWaitsEndsTheChainAfterThreeRetries) {
    up();
    const std::size_t waits = port_requests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK);
    reader->port().faults().fail_waits(STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Qkr_StartSerialEventTracking(slot(0)), STATUS_SUCCESS);
    settle();
    reader->port().faults().clear();
    // One wait and three retries, then the chain ends as on an empty mask.
    EXPECT_EQ(port_requests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK), waits + 4);
    EXPECT_EQ(rx()->SerialStatusIrp, nullptr);
    EXPECT_FALSE(port_open());
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
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
    EXPECT_EQ(slot(0)->OsData->NotificationIrp, nullptr);

    slot0 = park(IOCTL_SMARTCARD_IS_ABSENT);
    slot1 = park(IOCTL_SMARTCARD_IS_ABSENT, 1);
    handle.close();
    EXPECT_EQ(slot0.wait(), STATUS_SUCCESS);
    EXPECT_EQ(slot1.wait(), STATUS_CANCELLED);
    EXPECT_EQ(slot(1)->OsData->NotificationIrp, nullptr);
}

} // namespace
} // namespace qkr::pnp_test
