// Wait-on-mask: event history, immediate completion, a new mask ending a wait, modem line events.
#include "port_fixture.h"

namespace qkr::serial::testing {
namespace {

using WaitOnMask = PortTest;

TEST_F(WaitOnMask, PendsUntilAMaskedEventThenReportsIt) {
    ASSERT_EQ(set_mask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
    auto waiting = wait_on_mask();
    advance(kern::milliseconds(50));
    ASSERT_FALSE(waiting.done());

    const kern::Ticks sent = kernel.now();
    device.send({0x42});
    ASSERT_EQ(waiting.wait(), STATUS_SUCCESS);
    EXPECT_EQ(waiting.information(), 4u);
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_RXCHAR});
    EXPECT_EQ(kernel.now(), sent + SimLine::char_time(line.device_format()));
}

TEST_F(WaitOnMask, EventsBeforeTheWaitCompleteItAtOnceAndAreThenForgotten) {
    ASSERT_EQ(set_mask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
    device.side().set_dsr(true);
    device_sends({1, 2});

    auto first = wait_on_mask();
    ASSERT_TRUE(first.done());
    EXPECT_EQ(first.status(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(first), ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_DSR});
    EXPECT_EQ(port->snapshot().history, 0u);

    auto second = wait_on_mask();
    advance(kern::milliseconds(100));
    EXPECT_FALSE(second.done());
    EXPECT_EQ(second.cancel(), TRUE);
    EXPECT_EQ(second.wait(), STATUS_CANCELLED);
}

TEST_F(WaitOnMask, EventsOutsideTheMaskAreNotRemembered) {
    ASSERT_EQ(set_mask(SERIAL_EV_CTS), STATUS_SUCCESS);
    device_sends({1});
    auto waiting = wait_on_mask();
    EXPECT_FALSE(waiting.done());
    device.side().set_cts(true);
    ASSERT_EQ(waiting.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_CTS});
}

TEST_F(WaitOnMask, ANewMaskEndsThePendingWaitEmptyAndClearsHistory) {
    ASSERT_EQ(set_mask(SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto tracking = wait_on_mask();
    ASSERT_FALSE(tracking.done());

    // What an exchange does while tracking waits.
    ASSERT_EQ(set_mask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    ASSERT_TRUE(tracking.done());
    EXPECT_EQ(tracking.status(), STATUS_SUCCESS);
    EXPECT_EQ(tracking.information(), 4u);
    EXPECT_EQ(events_of(tracking), 0u);

    // A character that made history under one mask is forgotten by the next, even the same one.
    ASSERT_EQ(set_mask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    device_sends({9});
    ASSERT_EQ(port->snapshot().history, ULONG{SERIAL_EV_RXCHAR});
    ASSERT_EQ(set_mask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto after = wait_on_mask();
    advance(kern::milliseconds(10));
    EXPECT_FALSE(after.done()) << "a character received before the mask was set counted";
    after.cancel();
    after.wait();
}

// A driver's completion routine runs at DISPATCH_LEVEL for whatever the port pended, as the
// port's DPC completes it, and at the caller's IRQL for what it answered at once.
TEST_F(WaitOnMask, PendedRequestsCompleteAtDispatchLevelTheRestInTheCallersDispatch) {
    struct Sent {
        KIRQL irql = 0xFF;
        ULONG word = 0;
        PIRP irp = nullptr;
    };
    auto send = [this](Sent& sent, UCHAR major, ULONG code, ULONG length) {
        sent.irp = IoAllocateIrp(port->device()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(sent.irp);
        next->MajorFunction = major;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.OutputBufferLength = length;
        if (major == IRP_MJ_READ)
            next->Parameters.Read.Length = length;
        sent.irp->AssociatedIrp.SystemBuffer = &sent.word;
        IoSetCompletionRoutine(
            sent.irp,
            [](PDEVICE_OBJECT, PIRP, PVOID context) {
                static_cast<Sent*>(context)->irql = KeGetCurrentIrql();
                return NTSTATUS{STATUS_MORE_PROCESSING_REQUIRED};
            },
            &sent, TRUE, TRUE, TRUE);
        return IoCallDriver(port->device(), sent.irp);
    };
    Sent wait, read, lines;
    ASSERT_EQ(set_mask(SERIAL_EV_CTS), STATUS_SUCCESS);
    ASSERT_EQ(send(wait, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, 4), STATUS_PENDING);
    ASSERT_EQ(set_mask(SERIAL_EV_DSR), STATUS_SUCCESS); // from this thread, at PASSIVE_LEVEL
    ASSERT_EQ(send(read, IRP_MJ_READ, 0, 1), STATUS_PENDING);
    device_sends({7});
    ASSERT_EQ(send(lines, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS, 4), STATUS_SUCCESS);
    EXPECT_EQ(wait.irql, DISPATCH_LEVEL);
    EXPECT_EQ(read.irql, DISPATCH_LEVEL);
    EXPECT_EQ(lines.irql, PASSIVE_LEVEL);
    for (Sent* s : {&wait, &read, &lines})
        IoFreeIrp(s->irp);
}

TEST_F(WaitOnMask, OnlyOneWaitAndOnlyWithAMask) {
    auto no_mask = wait_on_mask();
    ASSERT_TRUE(no_mask.done());
    EXPECT_EQ(no_mask.status(), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(set_mask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto first = wait_on_mask();
    auto second = wait_on_mask();
    ASSERT_TRUE(second.done());
    EXPECT_EQ(second.status(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first.done());
    device.side().set_cts(true);
    ASSERT_EQ(first.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(first), ULONG{SERIAL_EV_CTS});
}

TEST_F(WaitOnMask, ReceivedEventCharacterRaisesRxFlag) {
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_CHARS, bytes_of(SERIAL_CHARS{0, 0, 0, 0x7E, 0x11, 0x13})),
              STATUS_SUCCESS);
    ASSERT_EQ(set_mask(SERIAL_EV_RXFLAG), STATUS_SUCCESS);
    auto waiting = wait_on_mask();
    device_sends({0x01});
    EXPECT_FALSE(waiting.done());
    device_sends({0x7E});
    ASSERT_TRUE(waiting.done());
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_RXFLAG});
}

using ModemEvents = PortTest;

TEST_F(ModemEvents, CtsAndDsrChangesAreEventsAndMatchTheModemStatus) {
    ASSERT_EQ(set_mask(SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto waiting = wait_on_mask();
    device.side().set_dsr(true);
    ASSERT_EQ(waiting.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_DSR});
    EXPECT_EQ(modem_status(), ULONG{SERIAL_DSR_STATE});

    auto next = wait_on_mask();
    device.side().set_cts(true);
    ASSERT_EQ(next.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(next), ULONG{SERIAL_EV_CTS});
    EXPECT_EQ(modem_status(), ULONG{SERIAL_DSR_STATE | SERIAL_CTS_STATE});
}

TEST_F(ModemEvents, APulseThatEndsWhereItBeganIsStillSeen) {
    ASSERT_EQ(set_mask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto waiting = wait_on_mask();
    device.side().set_cts(true);
    device.side().set_cts(false);
    ASSERT_EQ(waiting.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_CTS});
    // The falling edge came after the wait completed and waits in the history.
    advance(1);
    auto next = wait_on_mask();
    ASSERT_TRUE(next.done());
    EXPECT_EQ(events_of(next), ULONG{SERIAL_EV_CTS});
    EXPECT_EQ(modem_status(), 0u);
}

TEST_F(ModemEvents, LineChangesAreDeliveredLaterNeverInsideTheCall) {
    ASSERT_EQ(set_mask(SERIAL_EV_DSR), STATUS_SUCCESS);
    device.side().set_dsr(true);
    EXPECT_EQ(port->snapshot().history, 0u);
    advance(1);
    EXPECT_EQ(port->snapshot().history, ULONG{SERIAL_EV_DSR});
}

TEST_F(ModemEvents, RingAndCarrierDetectHaveTheirOwnEventsAndStatus) {
    ASSERT_EQ(set_mask(SERIAL_EV_RING | SERIAL_EV_RLSD), STATUS_SUCCESS);
    line.set_ri(true);
    line.set_dcd(true);
    advance(1);
    auto waiting = wait_on_mask();
    ASSERT_TRUE(waiting.done());
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_RING | SERIAL_EV_RLSD});
    EXPECT_EQ(modem_status(), ULONG{SERIAL_RI_STATE | SERIAL_DCD_STATE});
    line.set_ri(false);
    line.set_dcd(false);
    EXPECT_EQ(modem_status(), 0u);
}

} // namespace
} // namespace qkr::serial::testing
