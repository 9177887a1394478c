// The simulated line's timing, garbling and modem lines, seen through the port's requests.
#include "port_fixture.h"

namespace qkr::serial::testing {
namespace {

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

TEST_F(LineTiming, CharacterTimeFollowsTheFormat) {
    EXPECT_EQ(SimLine::char_time(LineFormat{9600, 8, Parity::None, 1}), 10'417);
    EXPECT_EQ(SimLine::char_time(LineFormat{9600, 8, Parity::Even, 2}), 12'500);
    EXPECT_EQ(SimLine::char_time(LineFormat{115200, 8, Parity::None, 1}), 869);
    // And the line sends at the time of the format the port was given.
    SERIAL_LINE_CONTROL lc{STOP_BITS_2, EVEN_PARITY, 8};
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(lc)), STATUS_SUCCESS);
    ASSERT_EQ(set_mask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    const kern::Ticks start = kernel.now();
    ASSERT_EQ(write(Bytes(4, 1)), STATUS_SUCCESS);
    EXPECT_EQ(wait_on_mask().wait(), STATUS_SUCCESS);
    EXPECT_EQ(kernel.now() - start, 4 * 12'500);
}

TEST_F(LineTiming, TheDeviceSendsAtItsOwnSpeed) {
    LineFormat fast{38400, 8, Parity::None, 1};
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, le32(38400)), STATUS_SUCCESS);
    device.side().set_format(fast);
    ASSERT_EQ(set_mask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    const kern::Ticks start = kernel.now();
    device.send(Bytes(20, 0x5A));
    EXPECT_EQ(device.side().tx_queued(), 20u);
    auto first = wait_on_mask();
    ASSERT_EQ(first.wait(), STATUS_SUCCESS);
    EXPECT_EQ(kernel.now() - start, SimLine::char_time(fast));
    advance(SimLine::char_time(fast) * 19);
    EXPECT_EQ(comm_status().AmountInInQueue, 20u);
    EXPECT_EQ(device.tx_empty, 1);
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

TEST_F(Garbling, AFormatMismatchAloneGarbles) {
    const LineFormat host{9600, 8, Parity::None, 1};
    const LineFormat device_format{9600, 7, Parity::Even, 1};
    int changed = 0;
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        EXPECT_LT(SimLine::garble(byte, host, device_format), 0x80) << "more bits than 7";
        changed += SimLine::garble(byte, host, LineFormat{19200}) != byte;
    }
    EXPECT_EQ(changed, 256);
}

using HostLines = PortTest;

TEST_F(HostLines, TheLineNeverCallsTheDeviceFromInsideTheHostsCall) {
    advance(1);
    device.host_lines.clear();
    LineBackend& host_end = line;
    host_end.set_dtr(false);
    host_end.set_break(true);
    EXPECT_TRUE(device.host_lines.empty());
    EXPECT_FALSE(device.side().dtr());
    advance(1);
    ASSERT_EQ(device.host_lines.size(), 2u);
    EXPECT_EQ(device.host_lines[0], (TestDevice::HostLines{false, true, false}));
    EXPECT_EQ(device.host_lines[1], (TestDevice::HostLines{false, true, true}));
}

TEST_F(HostLines, DtrRtsAndBreakRequestsReachTheDeviceInOrder) {
    advance(1);
    device.host_lines.clear();
    ASSERT_EQ(ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    advance(1);
    ASSERT_EQ(device.host_lines.size(), 4u);
    EXPECT_EQ(device.host_lines[0], (TestDevice::HostLines{false, true, false}));
    EXPECT_EQ(device.host_lines[1], (TestDevice::HostLines{false, true, true}));
    EXPECT_EQ(device.host_lines[2], (TestDevice::HostLines{true, true, true}));
    EXPECT_EQ(device.host_lines[3], (TestDevice::HostLines{true, false, true}));
}

} // namespace
} // namespace qkr::serial::testing
