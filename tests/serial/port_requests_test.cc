// Opening, settings, buffer checks, purge, status requests and pass-through of the port.
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

TEST_F(OpenAndClose, BytesArrivingWhileClosedAreNotKept) {
    handle.close();
    device_sends({1, 2, 3});
    ASSERT_EQ(kernel.open(port->device(), &handle), STATUS_SUCCESS);
    EXPECT_EQ(comm_status().AmountInInQueue, 0u);
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

TEST_F(BufferChecks, UnknownCodesAreInvalidDeviceRequests) {
    EXPECT_EQ(ioctl(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS)),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ioctl(CTL_CODE(FILE_DEVICE_SMARTCARD, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)),
              STATUS_INVALID_DEVICE_REQUEST);
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

TEST_F(Settings, TheDriversConfigurationSequenceIsRecordedInOrder) {
    port->tap().clear();
    const Bytes sixteen(16, 0);
    const std::vector<std::pair<ULONG, Bytes>> sequence = {
        {IOCTL_SERIAL_SET_BAUD_RATE, le32(19200)},
        {IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8})},
        {IOCTL_SERIAL_SET_CHARS, bytes_of(SERIAL_CHARS{0, 0, 0xFF, 0, 0, 0})},
        {IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(SERIAL_TIMEOUTS{30, 0, 3000, 0, 5000})},
        {IOCTL_SERIAL_SET_HANDFLOW, bytes_of(SERIAL_HANDFLOW{0, SERIAL_XOFF_CONTINUE, 0, 0})},
        {IOCTL_SERIAL_SET_BREAK_OFF, sixteen},
        {IOCTL_SERIAL_SET_DTR, sixteen},
        {IOCTL_SERIAL_SET_RTS, sixteen},
    };
    for (const auto& [code, input] : sequence)
        ASSERT_EQ(ioctl(code, input, 1048), STATUS_SUCCESS);

    const auto requests = port->tap().requests();
    ASSERT_EQ(requests.size(), sequence.size());
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        EXPECT_EQ(requests[i].major, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(requests[i].code, sequence[i].first);
        EXPECT_EQ(requests[i].input, sequence[i].second);
        EXPECT_EQ(requests[i].output_length, 1048u);
        EXPECT_TRUE(requests[i].completed);
        EXPECT_EQ(requests[i].status, STATUS_SUCCESS);
        EXPECT_EQ(requests[i].information, 0u);
    }
    EXPECT_TRUE(line.dtr());
    EXPECT_TRUE(line.rts());
    EXPECT_EQ(line.host_format().baud, 19200u);
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

TEST_F(CommStatus, CountsFollowTheLine) {
    SERIAL_STATUS st = comm_status();
    EXPECT_EQ(st.AmountInInQueue, 0u);
    EXPECT_EQ(st.AmountInOutQueue, 0u);

    ASSERT_EQ(write(Bytes(4, 0x55)), STATUS_SUCCESS);
    EXPECT_EQ(comm_status().AmountInOutQueue, 4u);
    advance(SimLine::char_time(line.host_format()) * 2 + 1);
    EXPECT_EQ(comm_status().AmountInOutQueue, 2u);
    advance(SimLine::char_time(line.host_format()) * 2);
    EXPECT_EQ(comm_status().AmountInOutQueue, 0u);

    device_sends({1, 2, 3});
    EXPECT_EQ(comm_status().AmountInInQueue, 3u);
    auto reading = read_async(2);
    ASSERT_TRUE(reading->done());
    EXPECT_EQ(comm_status().AmountInInQueue, 1u);
}

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

using PassThrough = PortTest;

TEST_F(PassThrough, PlugAndPlayAndPowerReachTheBusDriver) {
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}) {
        SCOPED_TRACE(static_cast<int>(minor));
        EXPECT_EQ(kernel.send_pnp(pdo, minor), STATUS_SUCCESS);
    }
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(kernel.send_power(pdo, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    const auto requests = port->tap().requests();
    ASSERT_GE(requests.size(), 6u);
    EXPECT_EQ(requests.back().major, IRP_MJ_POWER);
}

using Observation = PortTest;

TEST_F(Observation, TheTapRecordsRequestsAndTimedBytesAndCanBeSwitchedOff) {
    port->tap().clear();
    const kern::Ticks start = kernel.now();
    ASSERT_EQ(write({0x10, 0x02}), STATUS_SUCCESS);
    advance(kern::milliseconds(10));
    device.send({0x10, 0x03});
    advance(kern::milliseconds(10));

    const auto requests = port->tap().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].major, IRP_MJ_WRITE);
    EXPECT_EQ(requests[0].input, (Bytes{0x10, 0x02}));
    EXPECT_EQ(requests[0].information, 2u);

    const kern::Ticks c = SimLine::char_time(line.host_format());
    const auto bytes = port->tap().bytes();
    ASSERT_EQ(bytes.size(), 4u);
    EXPECT_EQ(bytes[0].direction, Direction::ToDevice);
    EXPECT_EQ(bytes[0].time, start + c);
    EXPECT_EQ(bytes[1].time, start + SimLine::char_time(line.host_format(), 2));
    EXPECT_EQ(bytes[2].direction, Direction::ToHost);
    EXPECT_EQ(bytes[2].byte, 0x10);
    EXPECT_EQ(port->tap().data(Direction::ToHost), (Bytes{0x10, 0x03}));

    port->tap().set_enabled(false);
    ASSERT_EQ(write({0x99}), STATUS_SUCCESS);
    advance(kern::milliseconds(10));
    EXPECT_EQ(port->tap().requests().size(), 1u);
    EXPECT_EQ(port->tap().bytes().size(), 4u);
}

} // namespace
} // namespace qkr::serial::testing
