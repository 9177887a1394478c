// Card presence tracking on the lines: CTS for the card, DSR for the reader, and the parked
// card-tracking requests of both slots.
#include "tests/pnp/pnp_support.h"

namespace qkr::pnp_test {
namespace {

using host::Reader;

struct Started {
    TestHost host;
    Reader& reader;
    kern::FileHandle handle;
    explicit Started(bool card = false) : reader(host.add_reader()) {
        if (card)
            insert_card(reader);
        EXPECT_EQ(reader.add(), STATUS_SUCCESS);
        EXPECT_EQ(reader.start(), STATUS_SUCCESS);
        handle = reader.open();
        EXPECT_TRUE(handle.is_open());
        settle(reader);
    }
    READER_EXTENSION* rx() { return qkr::host::DriverRecords::reader(reader, 0); }
    SMARTCARD_EXTENSION* slot0() { return qkr::host::DriverRecords::slot(reader, 0); }
    std::vector<std::string> lines() { return own_lines(host.log()); }
};

// ---------------------------------------------------------------------------------------------
// CTS: the card in slot 0
// ---------------------------------------------------------------------------------------------
TEST(CardTracking, InsertionAndRemovalCompleteTheParkedRequestWithTheNewState) {
    Started s;
    ASSERT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
    kern::PendingIo present = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    settle(s.reader);
    EXPECT_FALSE(present.done());

    // Left over from an earlier card session: an insertion resets the protocol, not the ATR.
    s.slot0()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    s.slot0()->CardCapabilities.ATR.Length = 9;
    insert_card(s.reader);
    EXPECT_EQ(present.wait(), STATUS_SUCCESS);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
    EXPECT_EQ(s.rx()->CardStatus, ULONG{QKR_CARD_STATUS_PRESENT});
    EXPECT_EQ(s.slot0()->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_UNDEFINED});
    EXPECT_EQ(s.slot0()->CardCapabilities.ATR.Length, 9);
    EXPECT_EQ(s.slot0()->OsData->NotificationIrp, nullptr);

    kern::PendingIo absent = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    settle(s.reader);
    EXPECT_FALSE(absent.done());
    s.slot0()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    remove_card(s.reader);
    EXPECT_EQ(absent.wait(), STATUS_SUCCESS);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
    EXPECT_EQ(s.rx()->CardStatus, ULONG{QKR_CARD_STATUS_ABSENT});
    EXPECT_EQ(s.slot0()->CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(s.slot0()->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_UNDEFINED});
    // Tracking goes on after each change.
    EXPECT_NE(s.rx()->SerialStatusIrp, nullptr);
    EXPECT_TRUE(s.reader.port().snapshot().wait_pending);
}

TEST(CardTracking, CtsPulseStillCompletesTheParkedRequest) {
    Started s(true);
    kern::PendingIo absent = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    settle(s.reader);
    ASSERT_FALSE(absent.done());
    pulse_cts(s.reader);
    EXPECT_EQ(absent.wait(), STATUS_SUCCESS);
    settle(s.reader);
    // The line ended where it began.
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
    EXPECT_EQ(s.rx()->CardStatus, ULONG{QKR_CARD_STATUS_PRESENT});
}

TEST(CardTracking, LineChangesDuringPowerTransitionUpdateStateButCompleteNothing) {
    Started s;
    kern::PendingIo present = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    settle(s.reader);
    s.rx()->PowerRequest = TRUE;
    insert_card(s.reader);
    settle(s.reader);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
    EXPECT_FALSE(present.done());
    s.rx()->PowerRequest = FALSE;
    EXPECT_EQ(present.cancel(), TRUE);
    EXPECT_EQ(present.wait(), STATUS_CANCELLED);
}

TEST(CardTracking, LineChangeDuringCallbackIsReadWhenTheCallbackReArms) {
    Started s;
    kern::PendingIo present = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    settle(s.reader);

    HoldVendorCallback hold(s.reader, 0);
    NTSTATUS held = STATUS_PENDING;
    kern::Thread client = s.reader.kernel().spawn("held request", [&] {
        std::vector<std::uint8_t> out;
        held = s.reader.ioctl(s.handle, kHeldCode, {}, &out, 0);
    });
    hold->wait_entered();
    ASSERT_EQ(hold->exchange, STATUS_SUCCESS);
    // The callback's exchange set wait masks of its own, which ended the chain quietly.
    EXPECT_EQ(s.rx()->SerialStatusIrp, nullptr);
    EXPECT_TRUE(s.reader.port().snapshot().open);

    insert_card(s.reader);
    settle(s.reader);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
    EXPECT_FALSE(present.done());

    hold->let_go();
    client.join();
    EXPECT_EQ(held, STATUS_SUCCESS);
    // The re-arming read the lines afresh, while the reader was still busy; the parked request
    // is completed once it is not, without waiting for another change.
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
    EXPECT_EQ(s.rx()->CardStatus, ULONG{QKR_CARD_STATUS_PRESENT});
    EXPECT_TRUE(present.done());
    EXPECT_EQ(present.wait(), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// DSR: the reader itself
// ---------------------------------------------------------------------------------------------
TEST(ReaderPresence, DsrDropClosesThePortOnceThroughTheWorkItem) {
    Started s(true);
    set_dsr(s.reader, false);
    settle(s.reader);

    EXPECT_FALSE(s.reader.port().snapshot().open);
    EXPECT_EQ(port_requests(s.reader, IRP_MJ_CLOSE), 1u);
    EXPECT_NE(KeReadStateEvent(&qkr::host::DriverRecords::device(s.reader)->SerialCloseDone), 0);
    EXPECT_EQ(s.rx()->SerialStatusIrp, nullptr);
    // A reader without power knows nothing of a card any more.
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_UNKNOWN});
    for (const kern::InterfaceRecord& i : s.host.kernel().interfaces()) {
        if (i.pdo == s.reader.pdo()) {
            EXPECT_FALSE(i.enabled);
        }
    }
    auto lines = s.lines();
    EXPECT_EQ(count_lines(lines, "[Qkr_SerialEvent] DSR_STATE changed!"), 1u);
    EXPECT_EQ(
        count_lines(lines, "[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort"),
        1u);
    EXPECT_EQ(count_lines(lines, "444444444444444444444444"), 1u);

    // The stop that follows finds the port closed and goes straight down.
    ASSERT_EQ(s.reader.query_stop(), STATUS_SUCCESS);
    s.host.clear_log();
    ASSERT_EQ(s.reader.stop(), STATUS_SUCCESS);
    EXPECT_EQ(port_requests(s.reader, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(s.lines(), (std::vector<std::string>{
                             "[Qkr_PnP] Entering : ",
                             "[Qkr_PnP] IRP_MN_STOP_DEVICE ",
                             "[Qkr_PnP] Exit : ",
                         }));
}

// The command owns the port while it runs; the reader's loss closes the port once it is over.
TEST(ReaderPresence, DsrDropDuringCallbackClosesThePortWhenTheCallbackEnds) {
    Started s;
    HoldVendorCallback hold(s.reader, 0);
    NTSTATUS held = STATUS_PENDING;
    kern::Thread client = s.reader.kernel().spawn("held request", [&] {
        std::vector<std::uint8_t> out;
        held = s.reader.ioctl(s.handle, kHeldCode, {}, &out, 0);
    });
    hold->wait_entered();
    set_dsr(s.reader, false);
    settle(s.reader);
    EXPECT_TRUE(s.reader.port().snapshot().open);
    hold->let_go();
    client.join();
    settle(s.reader);

    EXPECT_EQ(held, STATUS_SUCCESS);
    EXPECT_EQ(s.rx()->SerialStatusIrp, nullptr);
    EXPECT_EQ(s.rx()->SerialWaitMask, 0u);
    EXPECT_FALSE(s.reader.port().snapshot().open);
    EXPECT_EQ(port_requests(s.reader, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(count_lines(s.lines(),
                          "[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort"),
              1u);
    EXPECT_EQ(s.host.kernel().irps_live(), 0u);

    // The stop that follows finds the port closed.
    ASSERT_EQ(s.reader.query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(s.reader.stop(), STATUS_SUCCESS);
    EXPECT_EQ(port_requests(s.reader, IRP_MJ_CLOSE), 1u);
}

TEST(ReaderPresence, ReaderSwitchedOffAtTheStartIsClosedAgainAndCanBeRestartedLater) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    set_dsr(reader, false);
    // The start itself goes through; the first reading of the lines then ends tracking.
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    settle(reader);
    EXPECT_FALSE(reader.port().snapshot().open);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(qkr::host::DriverRecords::reader(reader, 0)->SerialStatusIrp, nullptr);
    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 1u);

    // Powered again, the reader starts for good and its tracking closes the port on the stop.
    set_dsr(reader, true);
    insert_card(reader);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    settle(reader);
    EXPECT_TRUE(reader.port().snapshot().open);
    EXPECT_NE(qkr::host::DriverRecords::reader(reader, 0)->SerialStatusIrp, nullptr);
    EXPECT_EQ(qkr::host::DriverRecords::slot(reader, 0)->ReaderCapabilities.CurrentState,
              ULONG{SCARD_SWALLOWED});
    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
    EXPECT_FALSE(reader.port().snapshot().open);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 2u);
    EXPECT_EQ(host.kernel().irps_live(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Arming
// ---------------------------------------------------------------------------------------------
TEST(Arming, ReArmingWhileTrackingRunsLeavesOneChainAndTheSamePort) {
    Started s;
    ASSERT_NE(s.rx()->SerialStatusIrp, nullptr);
    const std::size_t irps = s.host.kernel().irps_live();
    const std::size_t masks = port_controls(s.reader, IOCTL_SERIAL_SET_WAIT_MASK);

    // From outside any callback, so the old chain's end must not be taken for a stop.
    EXPECT_EQ(Qkr_StartSerialEventTracking(s.slot0()), STATUS_SUCCESS);
    EXPECT_EQ(Qkr_StartSerialEventTracking(s.slot0()), STATUS_SUCCESS);
    settle(s.reader);

    EXPECT_TRUE(s.reader.port().snapshot().open);
    EXPECT_TRUE(s.reader.port().snapshot().wait_pending);
    EXPECT_EQ(s.host.kernel().irps_live(), irps);
    EXPECT_EQ(port_controls(s.reader, IOCTL_SERIAL_SET_WAIT_MASK), masks + 2);
    EXPECT_EQ(count_lines(s.lines(),
                          "[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort"),
              0u);

    // One chain reads the lines once per change.
    s.host.clear_log();
    insert_card(s.reader);
    settle(s.reader);
    EXPECT_EQ(count_lines(s.lines(), "[Qkr_SerialEvent] CTS_STATE changed to low Card Inserted"),
              1u);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
}

TEST(Arming, EveryArmingReadsTheLinesAfresh) {
    Started s;
    // A stale reading that says the reader is gone must not end the next chain.
    HoldVendorCallback hold(s.reader, 0);
    kern::Thread client = s.reader.kernel().spawn("held request", [&] {
        std::vector<std::uint8_t> out;
        s.reader.ioctl(s.handle, kHeldCode, {}, &out, 0);
    });
    hold->wait_entered();
    s.rx()->GetModemStatus = TRUE;
    s.rx()->ModemStatus = 0;
    hold->let_go();
    client.join();
    settle(s.reader);
    EXPECT_NE(s.rx()->SerialStatusIrp, nullptr);
    EXPECT_TRUE(s.reader.port().snapshot().open);
    EXPECT_EQ(count_lines(s.lines(), "[Qkr_SerialEvent] DSR_STATE changed!"), 0u);
}

TEST(Arming, PortFailingTheTrackingRequestsEndsTheChainAfterAFewRetries) {
    Started s;
    const std::size_t waits = port_controls(s.reader, IOCTL_SERIAL_WAIT_ON_MASK);
    s.reader.port().faults().fail_waits(STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Qkr_StartSerialEventTracking(s.slot0()), STATUS_SUCCESS);
    settle(s.reader);
    s.reader.port().faults().clear();

    // One wait and three retries, then the chain ends as on an empty mask.
    EXPECT_EQ(port_controls(s.reader, IOCTL_SERIAL_WAIT_ON_MASK), waits + 4);
    EXPECT_EQ(s.rx()->SerialStatusIrp, nullptr);
    EXPECT_EQ(s.rx()->SerialWaitMask, 0u);
    EXPECT_FALSE(s.reader.port().snapshot().open);
    EXPECT_EQ(port_requests(s.reader, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(s.host.kernel().irps_live(), 0u);
}

TEST(Arming, PortRefusingEveryMaskFailsTheArmingWithoutASecondChain) {
    Started s;
    s.reader.port().faults().fail_nth(serial::RequestKind::control(IOCTL_SERIAL_SET_WAIT_MASK), 1,
                                      STATUS_INVALID_PARAMETER, 1000);
    EXPECT_EQ(Qkr_StartSerialEventTracking(s.slot0()), STATUS_INVALID_PARAMETER);
    s.reader.port().faults().clear();
    EXPECT_TRUE(s.reader.port().snapshot().open);
    EXPECT_TRUE(s.reader.port().snapshot().wait_pending);

    // Whatever is left of tracking, the stop ends it and closes the port exactly once.
    ASSERT_EQ(s.reader.query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(s.reader.stop(), STATUS_SUCCESS);
    EXPECT_FALSE(s.reader.port().snapshot().open);
    EXPECT_EQ(port_requests(s.reader, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(s.rx()->SerialWaitMask, 0u);
    EXPECT_EQ(s.rx()->SerialStatusIrp, nullptr);
    EXPECT_EQ(s.host.kernel().irps_live(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Parked requests: cleanup and cancel
// ---------------------------------------------------------------------------------------------
// The close follows the last request on the handle, so the cleanup must end slot 1's too: no line
// change ever would.
TEST(ParkedRequests, CleanupEndsBothSlotsRequests) {
    Started s(true);
    kern::PendingIo slot0 = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    kern::PendingIo slot1 = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0, true);
    settle(s.reader);
    ASSERT_FALSE(slot0.done());
    ASSERT_FALSE(slot1.done());

    s.handle.close();
    EXPECT_EQ(slot0.wait(), STATUS_SUCCESS);
    EXPECT_EQ(slot1.wait(), STATUS_CANCELLED);
    EXPECT_EQ(qkr::host::DriverRecords::slot(s.reader, 1)->OsData->NotificationIrp, nullptr);
}

TEST(ParkedRequests, CancellingSlotOnesRequestLeavesSlotZerosParked) {
    Started s(true);
    kern::PendingIo slot0 = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    kern::PendingIo slot1 = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0, true);
    settle(s.reader);
    ASSERT_FALSE(slot1.done());

    EXPECT_EQ(slot1.cancel(), TRUE);
    EXPECT_EQ(slot1.wait(), STATUS_CANCELLED);
    EXPECT_FALSE(slot0.wait_for(kern::seconds(1)));
    EXPECT_NE(s.slot0()->OsData->NotificationIrp, nullptr);

    // Slot 0's request still answers to the line.
    remove_card(s.reader);
    EXPECT_EQ(slot0.wait(), STATUS_SUCCESS);
}

TEST(ParkedRequests, CleanupWithNothingParkedOnlyLogs) {
    Started s;
    s.host.clear_log();
    s.handle.close();
    EXPECT_EQ(s.lines(), (std::vector<std::string>{
                             "[Qkr_Cleanup]Enter:",
                             "[Qkr_CompleteCardTracking] Enter !",
                             "[Qkr_CompleteCardTracking] Exit !",
                             "[Qkr_CreateClose] Enter : ",
                             "[Qkr_CreateClose] IRP_MJ_CLOSE ",
                         }));
}

TEST(ParkedRequests, CancelCompletesSlotZerosRequestAndTrackingGoesOn) {
    Started s;
    kern::PendingIo present = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    settle(s.reader);
    EXPECT_EQ(present.cancel(), TRUE);
    EXPECT_EQ(present.wait(), STATUS_CANCELLED);
    EXPECT_EQ(s.slot0()->OsData->NotificationIrp, nullptr);

    kern::PendingIo again = s.handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    settle(s.reader);
    EXPECT_FALSE(again.done());
    insert_card(s.reader);
    EXPECT_EQ(again.wait(), STATUS_SUCCESS);
}

} // namespace
} // namespace qkr::pnp_test
