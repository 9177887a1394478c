// The serial port stand-in on a simulated line, as the reader driver uses it: opens, set/get
// pairs, buffer checks, purge, wait masks and their events, reads with time-outs, cancellation,
// the line's timing and garbling.
#include "port_fixture.h"

namespace qkr::serial::testing {
namespace {

using OpenAndClose = PortTest;

TEST_F(OpenAndClose, OnlyOneOpenAtATimeAndReopeningAfterClose) {
    kern::FileHandle second;
    EXPECT_EQ(kernel.open(port->device(), &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle.close(), STATUS_SUCCESS);
    EXPECT_FALSE(port->snapshot().open);
    EXPECT_FALSE(line.is_open());
    EXPECT_EQ(kernel.open(port->device(), &second), STATUS_SUCCESS);
    EXPECT_TRUE(line.is_open());
}

TEST_F(OpenAndClose, CloseAbortsEveryPendingRequest) {
    auto p = start_pending();
    EXPECT_EQ(handle.close(), STATUS_SUCCESS);
    EXPECT_EQ(p.waiting.wait(), STATUS_CANCELLED);
    wait(*p.reading);
    wait(*p.writing);
    EXPECT_EQ(p.reading->status(), STATUS_CANCELLED);
    EXPECT_EQ(p.writing->status(), STATUS_CANCELLED);
    EXPECT_EQ(port->snapshot().reads_pending, 0u);
}

using BufferChecks = PortTest;

TEST_F(BufferChecks, ShortBuffersAreRefusedAndLongerOnesAccepted) {
    // Each setting with its input one byte short, each query with its output one byte short.
    const std::vector<std::pair<ULONG, Bytes>> inputs = {
        {IOCTL_SERIAL_SET_BAUD_RATE, le32(19200)},
        {IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8})},
        {IOCTL_SERIAL_SET_CHARS, bytes_of(SERIAL_CHARS{0, 0, 0xFF, 0, 0, 0})},
        {IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(SERIAL_TIMEOUTS{30, 0, 3000, 0, 5000})},
        {IOCTL_SERIAL_SET_HANDFLOW, bytes_of(SERIAL_HANDFLOW{0, SERIAL_XOFF_CONTINUE, 0, 0})},
        {IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RXCHAR)},
        {IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXCLEAR)},
    };
    for (const auto& [code, input] : inputs)
        EXPECT_EQ(ioctl(code, Bytes(input.begin(), input.end() - 1)), STATUS_BUFFER_TOO_SMALL)
            << std::hex << code;
    const std::vector<std::pair<ULONG, ULONG>> outputs = {
        {IOCTL_SERIAL_GET_BAUD_RATE, 4},   {IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        {IOCTL_SERIAL_GET_CHARS, 6},       {IOCTL_SERIAL_GET_TIMEOUTS, 20},
        {IOCTL_SERIAL_GET_HANDFLOW, 16},   {IOCTL_SERIAL_GET_MODEMSTATUS, 4},
        {IOCTL_SERIAL_GET_COMMSTATUS, 20}, {IOCTL_SERIAL_GET_WAIT_MASK, 4},
        {IOCTL_SERIAL_GET_DTRRTS, 4},      {IOCTL_SERIAL_WAIT_ON_MASK, 4},
    };
    for (const auto& [code, length] : outputs)
        EXPECT_EQ(ioctl(code, {}, length - 1), STATUS_BUFFER_TOO_SMALL) << std::hex << code;
    // Nothing above may have taken effect.
    EXPECT_EQ(port->snapshot().format.baud, 9600u);
    EXPECT_EQ(port->snapshot().wait_mask, 0u);

    // An output longer than needed: only what the request fills in is reported.
    Bytes out;
    ULONG_PTR info = 0;
    EXPECT_EQ(ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 64, &out, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 4u);
    EXPECT_EQ(from_bytes<ULONG>(out), 9600u);
}

using Settings = PortTest;

TEST_F(Settings, WhatIsSetIsReadBackAndReachesTheLine) {
    const std::vector<std::tuple<ULONG, ULONG, Bytes>> settings = {
        {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, le32(38400)},
        {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL,
         bytes_of(SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7})},
        {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
         bytes_of(SERIAL_TIMEOUTS{30, 1, 3000, 2, 5000})},
        {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, bytes_of(SERIAL_CHARS{1, 2, 3, 4, 5, 6})},
        {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW,
         bytes_of(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, 20})},
        {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK,
         le32(SERIAL_EV_CTS | SERIAL_EV_DSR)},
    };
    for (const auto& [set, get, value] : settings)
        ASSERT_EQ(ioctl(set, value), STATUS_SUCCESS) << std::hex << set;
    for (const auto& [set, get, value] : settings) {
        Bytes out;
        ASSERT_EQ(ioctl(get, {}, static_cast<ULONG>(value.size()), &out), STATUS_SUCCESS);
        EXPECT_EQ(out, value) << std::hex << get;
    }
    const LineFormat expected{38400, 7, Parity::Even, 2};
    EXPECT_EQ(line.host_format(), expected);
    EXPECT_EQ(line.host_format().bits_per_char(), 11u);
}

TEST_F(Settings, ImpossibleSettingsAreRefusedAndChangeNothing) {
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, le32(12345)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, le32(0)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(line.host_format().baud, 9600u);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(SERIAL_LINE_CONTROL{0, 0, 9})),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(SERIAL_LINE_CONTROL{0, 7, 8})),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(SERIAL_LINE_CONTROL{3, 0, 8})),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(line.host_format(), LineFormat{});
    EXPECT_EQ(set_timeouts(kMaxUlong, kMaxUlong, kMaxUlong), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_HANDFLOW, bytes_of(SERIAL_HANDFLOW{0x100, 0, 0, 0})),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(set_mask(0x2000), STATUS_INVALID_PARAMETER);
    // Purge flags outside the four.
    EXPECT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(0)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(0x10)), STATUS_INVALID_PARAMETER);
}

TEST_F(Settings, ModemControlLinesFollowRequestsAndHandFlow) {
    advance(kern::milliseconds(1));
    // Opening with the default hand-flow raises both.
    ASSERT_FALSE(device.host_lines.empty());
    EXPECT_TRUE(line.dtr());
    EXPECT_TRUE(line.rts());

    // Hand-flow without DTR or RTS control drops both; the requests raise them again.
    ASSERT_EQ(
        ioctl(IOCTL_SERIAL_SET_HANDFLOW, bytes_of(SERIAL_HANDFLOW{0, SERIAL_XOFF_CONTINUE, 0, 0})),
        STATUS_SUCCESS);
    EXPECT_FALSE(line.dtr());
    EXPECT_FALSE(line.rts());
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    EXPECT_TRUE(line.break_on());
    Bytes out;
    ASSERT_EQ(ioctl(IOCTL_SERIAL_GET_DTRRTS, {}, 4, &out), STATUS_SUCCESS);
    EXPECT_EQ(from_bytes<ULONG>(out), 3u);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    advance(kern::milliseconds(1));
    ASSERT_FALSE(device.host_lines.empty());
    EXPECT_EQ(device.host_lines.back(), (TestDevice::HostLines{false, true, false}));

    // Under hand-shake control the port owns the line.
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_HANDFLOW,
                    bytes_of(SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0})),
              STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_DTR), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_CLR_RTS), STATUS_INVALID_PARAMETER);
}

using Purge = PortTest;

TEST_F(Purge, ClearDropsQueuedBytesBothWays) {
    device_sends({1, 2, 3, 4, 5});
    EXPECT_EQ(comm_status().AmountInInQueue, 5u);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
    EXPECT_EQ(comm_status().AmountInInQueue, 0u);

    ASSERT_EQ(write(Bytes(10, 0x42)), STATUS_SUCCESS);
    EXPECT_EQ(comm_status().AmountInOutQueue, 10u);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_TXCLEAR)), STATUS_SUCCESS);
    // The character already in the shift register still leaves; the others never do.
    EXPECT_LE(comm_status().AmountInOutQueue, 1u);
    advance(kern::milliseconds(20));
    EXPECT_EQ(device.received.size(), 1u);
    EXPECT_EQ(comm_status().AmountInOutQueue, 0u);
}

TEST_F(Purge, AbortCancelsPendingReadsAndWritesButNotTheWait) {
    auto p = start_pending();
    ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXABORT)), STATUS_SUCCESS);
    wait(*p.reading);
    EXPECT_EQ(p.reading->status(), STATUS_CANCELLED);
    EXPECT_FALSE(p.writing->done());

    ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_TXABORT)), STATUS_SUCCESS);
    wait(*p.writing);
    EXPECT_EQ(p.writing->status(), STATUS_CANCELLED);
    EXPECT_FALSE(p.waiting.done());
    EXPECT_EQ(p.waiting.cancel(), TRUE);
    EXPECT_EQ(p.waiting.wait(), STATUS_CANCELLED);
}

TEST_F(Purge, TheDriversPurgeLeavesPendingRequestsAlone) {
    auto reading = read_async(2);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)),
              STATUS_SUCCESS);
    EXPECT_FALSE(reading->done());
    device_sends({0xA, 0xB});
    wait(*reading);
    EXPECT_EQ(reading->status(), STATUS_SUCCESS);
    EXPECT_EQ(reading->data(), (Bytes{0xA, 0xB}));
}

using CommStatus = PortTest;

TEST_F(CommStatus, AFullReceiveQueueReportsAnOverrunOnce) {
    port->set_rx_capacity(2);
    ASSERT_EQ(set_mask(SERIAL_EV_ERR), STATUS_SUCCESS);
    device_sends({1, 2, 3});
    SERIAL_STATUS st = comm_status();
    EXPECT_EQ(st.AmountInInQueue, 2u);
    EXPECT_EQ(st.Errors, ULONG{SERIAL_ERROR_QUEUEOVERRUN});
    EXPECT_EQ(comm_status().Errors, 0u);
    auto waiting = wait_on_mask();
    ASSERT_TRUE(waiting.done());
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_ERR});
}

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

using Reads = PortTest;

TEST_F(Reads, TimeOutsDecideWhenAReadEndsAndWithWhat) {
    const kern::Ticks one_char = SimLine::char_time(line.device_format());
    const kern::Ticks ms = kern::milliseconds(1);
    struct Case {
        ULONG interval, multiplier, constant, length;
        Bytes queued;  // before the read
        Bytes arrives; // sent as the read starts
        NTSTATUS status;
        Bytes data;
        kern::Ticks takes;
    } cases[] = {
        // clang-format off
        // Queued bytes are returned at once.
        {30, 0, 3000, 4, {1, 2, 3, 4}, {}, STATUS_SUCCESS, {1, 2, 3, 4}, 0},
        // The total is multiplier times length plus constant, and returns what has arrived.
        {0, 10, 100, 5, {}, {}, STATUS_TIMEOUT, {}, 150 * ms},
        {0, 0, 100, 8, {}, {0xA1, 0xA2}, STATUS_TIMEOUT, {0xA1, 0xA2}, 100 * ms},
        // Maximum interval with zero totals: at once, with what is queued or nothing.
        {kMaxUlong, 0, 0, 10, {}, {}, STATUS_SUCCESS, {}, 0},
        {kMaxUlong, 0, 0, 10, {5, 6}, {}, STATUS_SUCCESS, {5, 6}, 0},
        // Maximum interval and multiplier: the first character, or nothing after the constant.
        {kMaxUlong, kMaxUlong, 500, 10, {}, {}, STATUS_TIMEOUT, {}, 500 * ms},
        {kMaxUlong, kMaxUlong, 500, 10, {}, {0x77, 0x78}, STATUS_SUCCESS, {0x77}, one_char},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        ASSERT_EQ(set_timeouts(c.interval, c.multiplier, c.constant), STATUS_SUCCESS);
        if (!c.queued.empty())
            device_sends(c.queued);
        const kern::Ticks start = kernel.now();
        auto reading = read_async(c.length);
        EXPECT_EQ(reading->done(), c.takes == 0) << "completes inside the call";
        if (!c.arrives.empty())
            device.send(c.arrives);
        wait(*reading);
        EXPECT_EQ(reading->status(), c.status);
        EXPECT_EQ(reading->data(), c.data);
        EXPECT_EQ(kernel.now() - start, c.takes);
        advance(10 * ms); // (a byte left on the line arrives and is purged)
        ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
    }
}

TEST_F(Reads, WithoutTimeOutsAReadWaitsForItsFullLength) {
    ASSERT_EQ(set_timeouts(0, 0, 0), STATUS_SUCCESS);
    auto reading = read_async(4);
    device_sends({1, 2});
    advance(kern::seconds(300));
    ASSERT_FALSE(reading->done());
    device_sends({3, 4, 5});
    ASSERT_TRUE(reading->done());
    EXPECT_EQ(reading->status(), STATUS_SUCCESS);
    EXPECT_EQ(reading->data(), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(comm_status().AmountInInQueue, 1u);
}

TEST_F(Reads, IntervalTimeOutRunsFromTheLastCharacterOnly) {
    ASSERT_EQ(set_timeouts(30, 0, 0), STATUS_SUCCESS);
    auto reading = read_async(10);
    advance(kern::seconds(10));
    ASSERT_FALSE(reading->done()) << "the interval started before the first character";

    const kern::Ticks sent = kernel.now();
    device.send({1, 2, 3});
    wait(*reading);
    EXPECT_EQ(reading->status(), STATUS_TIMEOUT);
    EXPECT_EQ(reading->data(), (Bytes{1, 2, 3}));
    EXPECT_EQ(kernel.now(),
              sent + SimLine::char_time(line.device_format(), 3) + kern::milliseconds(30));
}

TEST_F(Reads, ACancelledReadKeepsWhatItHadAndTheNextOneGoesOn) {
    ASSERT_EQ(set_timeouts(0, 0, 0), STATUS_SUCCESS);
    auto first = read_async(4);
    auto second = read_async(1);
    device_sends({1});
    ASSERT_FALSE(first->done());
    EXPECT_EQ(IoCancelIrp(first->irp), TRUE);
    wait(*first);
    EXPECT_EQ(first->status(), STATUS_CANCELLED);
    EXPECT_EQ(first->iosb.Information, 1u);
    EXPECT_FALSE(second->done());
    device_sends({2});
    ASSERT_TRUE(second->done());
    EXPECT_EQ(second->data(), (Bytes{2}));
}

using Cancellation = PortTest;

TEST_F(Cancellation, EveryPendingRequestCancelsWithStatusCancelled) {
    auto [waiting, reading, writing] = start_pending();
    port->faults().pend_nth(RequestKind::control(IOCTL_SERIAL_GET_MODEMSTATUS), 1);
    auto held = handle.ioctl_async(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    const auto snap = port->snapshot();
    EXPECT_TRUE(snap.wait_pending);
    EXPECT_EQ(snap.reads_pending, 1u);
    EXPECT_EQ(snap.held_pending, 2u);

    EXPECT_EQ(waiting.cancel(), TRUE);
    EXPECT_EQ(IoCancelIrp(reading->irp), TRUE);
    EXPECT_EQ(IoCancelIrp(writing->irp), TRUE);
    EXPECT_EQ(held.cancel(), TRUE);
    EXPECT_EQ(waiting.wait(), STATUS_CANCELLED);
    wait(*reading);
    wait(*writing);
    EXPECT_EQ(reading->status(), STATUS_CANCELLED);
    EXPECT_EQ(writing->status(), STATUS_CANCELLED);
    EXPECT_EQ(held.wait(), STATUS_CANCELLED);

    const auto after = port->snapshot();
    EXPECT_FALSE(after.wait_pending);
    EXPECT_EQ(after.reads_pending, 0u);
    EXPECT_EQ(after.held_pending, 0u);
    // A cancelled wait leaves room for the next one.
    auto again = wait_on_mask();
    device.side().set_dsr(true);
    EXPECT_EQ(again.wait(), STATUS_SUCCESS);
}

TEST_F(Cancellation, CleanupCancelsWhatIsPendingButKeepsThePortOpen) {
    auto [waiting, reading, writing] = start_pending();
    // Cleanup alone, as the I/O manager sends it when the last handle goes.
    PIRP cleanup = IoAllocateIrp(port->device()->StackSize, FALSE);
    ASSERT_NE(cleanup, nullptr);
    IoGetNextIrpStackLocation(cleanup)->MajorFunction = IRP_MJ_CLEANUP;
    IoSetCompletionRoutine(
        cleanup,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(port->device(), cleanup), STATUS_SUCCESS);
    IoFreeIrp(cleanup);
    EXPECT_EQ(waiting.wait(), STATUS_CANCELLED);
    wait(*reading);
    wait(*writing);
    EXPECT_EQ(reading->status(), STATUS_CANCELLED);
    EXPECT_EQ(writing->status(), STATUS_CANCELLED);
    EXPECT_TRUE(port->snapshot().open);
}

using Faults = PortTest;

TEST_F(Faults, TheNthRequestOfAKindFailsAndTakesNoEffect) {
    port->faults().fail_nth(RequestKind::control(IOCTL_SERIAL_SET_BAUD_RATE), 2,
                            STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, le32(19200)), STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, le32(38400)), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(line.host_format().baud, 19200u);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, le32(38400)), STATUS_SUCCESS);
    EXPECT_EQ(line.host_format().baud, 38400u);
    const auto requests = port->tap().requests();
    EXPECT_EQ(requests[requests.size() - 2].status, STATUS_DEVICE_DATA_ERROR);
}

using LineTiming = PortTest;

TEST_F(LineTiming, HundredBytesAt9600TakeTenBitsEachAndTxEmptyComesAfterTheLast) {
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, le32(9600)), STATUS_SUCCESS);
    ASSERT_EQ(set_mask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    Bytes frame(100);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i * 7);
    port->tap().clear();

    const kern::Ticks start = kernel.now();
    ASSERT_EQ(write(frame), STATUS_SUCCESS);
    auto waiting = wait_on_mask();
    ASSERT_EQ(waiting.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_TXEMPTY});

    // 1000 bit times at 9600 bit/s: 104.1667 ms, rounded up to the clock's 100 ns.
    const kern::Ticks elapsed = kernel.now() - start;
    EXPECT_EQ(elapsed, 1'041'667);
    EXPECT_NEAR(static_cast<double>(elapsed) / kern::kTicksPerMillisecond, 104.17, 0.005);
    EXPECT_EQ(device.received, frame);
    EXPECT_EQ(device.garbled_flags, std::vector<bool>(100, false));

    const auto bytes = port->tap().bytes();
    ASSERT_EQ(bytes.size(), 100u);
    EXPECT_EQ(bytes.front().time - start, SimLine::char_time(line.host_format()));
    EXPECT_EQ(bytes.back().time - start, elapsed);
}

using Garbling = PortTest;

TEST_F(Garbling, BytesSentWhileTheEndsDisagreeArriveGarbledTheSameWayEachTime) {
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, le32(19200)), STATUS_SUCCESS);
    const Bytes frame = {0x10, 0x02, 0x60, 0x00, 0x00, 0x60, 0x10, 0x03};
    ASSERT_EQ(write(frame), STATUS_SUCCESS);
    advance(kern::milliseconds(20));
    ASSERT_EQ(device.received.size(), frame.size());
    EXPECT_EQ(device.garbled_flags, std::vector<bool>(frame.size(), true));
    EXPECT_NE(device.received, frame);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        EXPECT_EQ(device.received[i],
                  SimLine::garble(frame[i], line.host_format(), line.device_format()));
    }

    // And towards the host: the port sees something other than what was sent.
    device_sends({0x10, 0x02});
    auto reading = read_async(2);
    ASSERT_TRUE(reading->done());
    EXPECT_NE(reading->data(), (Bytes{0x10, 0x02}));
    EXPECT_TRUE(port->tap().bytes().back().garbled);

    // Once the device follows, bytes arrive clean.
    device.received.clear();
    device.garbled_flags.clear();
    device.side().set_format(line.host_format());
    ASSERT_EQ(write(frame), STATUS_SUCCESS);
    advance(kern::milliseconds(20));
    EXPECT_EQ(device.received, frame);
    EXPECT_EQ(device.garbled_flags, std::vector<bool>(frame.size(), false));
}

} // namespace
} // namespace qkr::serial::testing
