// The serial port stand-in on a simulated line, as the reader driver uses it: opens, set/get
// pairs, purge, wait masks and their events, reads with time-outs, cancellation, modem lines.
// Requests go out as IRPs in virtual time.
#include "platform/kernel/kernel.h"
#include "platform/serial/ntddser.h"
#include "platform/serial/serial_port.h"
#include "platform/serial/sim_line.h"
#include "tests/serial/port_io.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

namespace qkr::serial::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr ULONG kMaxUlong = 0xFFFFFFFFu;

// The far end: records what arrives.
class TestDevice : public LineDevice {
  public:
    void connect(DeviceSide* side) override { side_ = side; }
    void on_byte(std::uint8_t byte, bool) override { received.push_back(byte); }
    void on_host_lines(bool dtr, bool rts, bool brk) override { host_lines = {dtr, rts, brk}; }
    DeviceSide& side() { return *side_; }

    Bytes received;
    std::tuple<bool, bool, bool> host_lines{}; // DTR, RTS, break

  private:
    DeviceSide* side_ = nullptr;
};

class PortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pdo = kernel.create_pdo("serial-test");
        line.connect_device(&device);
        port = SerialPort::create(kernel, pdo, line);
        ASSERT_EQ(kernel.open(port->device(), &handle), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (handle.is_open())
            handle.close();
        line.connect_device(nullptr);
        port.reset();
        kernel.delete_pdo(pdo);
    }

    NTSTATUS ioctl(ULONG code, const Bytes& in = {}) { return handle.ioctl(code, in, {}); }
    template <typename T = ULONG>
    T get(ULONG code) {
        T value{};
        EXPECT_EQ(handle.ioctl(code, {},
                               std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value)),
                  STATUS_SUCCESS);
        return value;
    }
    NTSTATUS set_mask(ULONG mask) {
        return ioctl(IOCTL_SERIAL_SET_WAIT_MASK, bytes_of<ULONG>(mask));
    }
    kern::PendingIo wait_on_mask() {
        return handle.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }
    static ULONG events_of(const kern::PendingIo& io) { return ulong_of(io.output()); }
    ULONG in_queue() { return get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue; }
    ULONG out_queue() { return get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue; }

    std::unique_ptr<PortIo> read_async(ULONG length) {
        return PortIo::send(port->device(), IRP_MJ_READ, Bytes(length));
    }
    std::unique_ptr<PortIo> write_async(const Bytes& data) {
        return PortIo::send(port->device(), IRP_MJ_WRITE, data);
    }
    void advance(kern::Ticks t) { kernel.sleep_for(t); }
    // The device sends, and the test waits until every byte has arrived at the port.
    void device_sends(const Bytes& data) {
        device.side().send(data);
        advance(SimLine::char_time(line.device_format(), data.size()) + 1);
    }

    kern::Kernel kernel{kern::ClockMode::Virtual};
    PDEVICE_OBJECT pdo = nullptr;
    SimLine line{kernel};
    TestDevice device;
    std::unique_ptr<SerialPort> port;
    kern::FileHandle handle;
};

TEST_F(PortTest, WhatIsSetIsReadBackAndReachesTheLine) {
    const std::vector<std::tuple<ULONG, ULONG, Bytes>> settings = {
        {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, bytes_of<ULONG>(38400)},
        {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL,
         bytes_of(SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7})},
        {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
         bytes_of(SERIAL_TIMEOUTS{30, 1, 3000, 2, 5000})},
        {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, bytes_of(SERIAL_CHARS{1, 2, 3, 4, 5, 6})},
        {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW,
         bytes_of(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, 20})},
        {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK,
         bytes_of<ULONG>(SERIAL_EV_CTS | SERIAL_EV_DSR)},
    };
    for (const auto& [set, get, value] : settings)
        ASSERT_EQ(ioctl(set, value), STATUS_SUCCESS) << std::hex << set;
    for (const auto& [set, get, value] : settings) {
        Bytes out(value.size());
        ASSERT_EQ(handle.ioctl(get, {}, out), STATUS_SUCCESS);
        EXPECT_EQ(out, value) << std::hex << get;
    }
    const LineFormat expected{38400, 7, Parity::Even, 2};
    EXPECT_EQ(line.host_format(), expected);
}

TEST_F(PortTest, ModemControlLinesFollowRequestsAndHandFlowWithoutControl) {
    advance(kern::milliseconds(1));
    EXPECT_TRUE(line.dtr() && line.rts()) << "opening with the default hand-flow raises both";
    // Hand-flow without DTR or RTS control drops both; the requests raise them again.
    ASSERT_EQ(
        ioctl(IOCTL_SERIAL_SET_HANDFLOW, bytes_of(SERIAL_HANDFLOW{0, SERIAL_XOFF_CONTINUE, 0, 0})),
        STATUS_SUCCESS);
    EXPECT_FALSE(line.dtr() || line.rts());
    for (ULONG code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_DTR,
                       IOCTL_SERIAL_SET_BREAK_OFF})
        ASSERT_EQ(ioctl(code), STATUS_SUCCESS) << std::hex << code;
    advance(kern::milliseconds(1));
    EXPECT_EQ(device.host_lines, std::tuple(false, true, false));
}

// The driver's purge drops what is queued both ways (all but the character already in the shift
// register) and leaves a pending read alone.
TEST_F(PortTest, PurgeDropsQueuedBytesBothWaysAndLeavesPendingReadsAlone) {
    device_sends({1, 2, 3, 4, 5});
    EXPECT_EQ(in_queue(), 5u);
    ASSERT_EQ(write_async(Bytes(10, 0x42))->wait(), STATUS_SUCCESS);
    EXPECT_EQ(out_queue(), 10u);
    const Bytes both = bytes_of<ULONG>(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, both), STATUS_SUCCESS);
    advance(kern::milliseconds(20));
    EXPECT_EQ(device.received.size(), 1u);
    EXPECT_EQ(out_queue(), 0u);
    auto reading = read_async(2);
    ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, both), STATUS_SUCCESS);
    EXPECT_FALSE(reading->done());
    device_sends({0xA, 0xB});
    reading->wait();
    EXPECT_EQ(reading->data(), (Bytes{0xA, 0xB})) << "the read was not restarted";
}

// A wait pends until a masked event; events before it complete it at once and are then forgotten.
TEST_F(PortTest, WaitOnMaskPendsUntilAnEventReportsEarlierOnesEvenAPulseAndEndsOnANewMask) {
    ASSERT_EQ(set_mask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto waiting = wait_on_mask();
    advance(kern::milliseconds(50));
    ASSERT_FALSE(waiting.done());
    const kern::Ticks sent = kernel.now();
    device.side().send(Bytes{0x42});
    ASSERT_EQ(waiting.wait(), STATUS_SUCCESS);
    EXPECT_EQ(waiting.information(), 4u);
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_RXCHAR});
    EXPECT_EQ(kernel.now(), sent + SimLine::char_time(line.device_format()));

    device.side().set_dsr(true);
    device_sends({1, 2});
    auto first = wait_on_mask();
    ASSERT_TRUE(first.done());
    EXPECT_EQ(events_of(first), ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_DSR});
    // A new mask ends the pending wait empty.
    ASSERT_EQ(set_mask(SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto tracking = wait_on_mask();
    device_sends({7}); // a character is no event to a wait on the modem lines
    ASSERT_FALSE(tracking.done());
    ASSERT_EQ(set_mask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS); // what an exchange does meanwhile
    ASSERT_TRUE(tracking.done());
    EXPECT_EQ(tracking.status(), STATUS_SUCCESS);
    EXPECT_EQ(tracking.information(), 4u);
    EXPECT_EQ(events_of(tracking), 0u);
    // A character that made history under one mask is forgotten by the next, even the same one.
    ASSERT_EQ(set_mask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    device_sends({9});
    ASSERT_EQ(set_mask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto after = wait_on_mask();
    advance(kern::milliseconds(10));
    EXPECT_FALSE(after.done()) << "a character received before the mask was set counted";
    // A pulse that ends where it began is still an event; its second edge, after the wait
    // completed, waits in the history. The modem status matches.
    ASSERT_EQ(set_mask(SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto rising = wait_on_mask();
    device.side().set_cts(true);
    ASSERT_EQ(rising.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(rising), ULONG{SERIAL_EV_CTS});
    EXPECT_EQ(get(IOCTL_SERIAL_GET_MODEMSTATUS), ULONG{SERIAL_CTS_STATE | SERIAL_DSR_STATE});
    auto next = wait_on_mask();
    device.side().set_dsr(false);
    device.side().set_dsr(true);
    ASSERT_EQ(next.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(next), ULONG{SERIAL_EV_DSR});
    advance(1);
    auto again = wait_on_mask();
    ASSERT_TRUE(again.done());
    EXPECT_EQ(events_of(again), ULONG{SERIAL_EV_DSR});
    EXPECT_EQ(get(IOCTL_SERIAL_GET_MODEMSTATUS), ULONG{SERIAL_CTS_STATE | SERIAL_DSR_STATE});
}

TEST_F(PortTest, TimeOutsDecideWhenAReadEndsAndWithWhat) {
    auto chars = [&](std::size_t n) { return SimLine::char_time(line.device_format(), n); };
    const kern::Ticks ms = kern::milliseconds(1), s300 = kern::seconds(300);
    struct Case {
        ULONG interval, multiplier, constant, length;
        Bytes queued;      // before the read
        kern::Ticks after; // the read starts, this time passes, then
        Bytes arrives;     // these bytes are sent
        NTSTATUS status;
        Bytes data;
        kern::Ticks takes;
    } cases[] = {
        // clang-format off
        // Queued bytes are returned at once.
        {30, 0, 3000, 4, {1, 2, 3, 4}, 0, {}, STATUS_SUCCESS, {1, 2, 3, 4}, 0},
        // The total is multiplier times length plus constant, and returns what has arrived.
        {0, 10, 100, 5, {}, 0, {}, STATUS_TIMEOUT, {}, 150 * ms},
        {0, 0, 100, 8, {}, 0, {0xA1, 0xA2}, STATUS_TIMEOUT, {0xA1, 0xA2}, 100 * ms},
        // Maximum interval with zero totals: at once, with what is queued or nothing.
        {kMaxUlong, 0, 0, 10, {}, 0, {}, STATUS_SUCCESS, {}, 0},
        {kMaxUlong, 0, 0, 10, {5, 6}, 0, {}, STATUS_SUCCESS, {5, 6}, 0},
        // Maximum interval and multiplier: the first character, or nothing after the constant.
        {kMaxUlong, kMaxUlong, 500, 10, {}, 0, {}, STATUS_TIMEOUT, {}, 500 * ms},
        {kMaxUlong, kMaxUlong, 500, 10, {}, 0, {0x77, 0x78}, STATUS_SUCCESS, {0x77}, chars(1)},
        // No time-outs: the full length, however long it takes.
        {0, 0, 0, 4, {1, 2}, s300, {3, 4, 5}, STATUS_SUCCESS, {1, 2, 3, 4}, s300 + chars(2)},
        // The interval runs from the last character only, never before the first.
        {30, 0, 0, 10, {}, s300, {1, 2, 3}, STATUS_TIMEOUT, {1, 2, 3}, s300 + chars(3) + 30 * ms},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_TIMEOUTS,
                        bytes_of(SERIAL_TIMEOUTS{c.interval, c.multiplier, c.constant, 0, 0})),
                  STATUS_SUCCESS);
        if (!c.queued.empty())
            device_sends(c.queued);
        const kern::Ticks start = kernel.now();
        auto reading = read_async(c.length);
        EXPECT_EQ(reading->done(), c.takes == 0) << "completes inside the call";
        advance(c.after);
        if (!c.arrives.empty())
            device.side().send(c.arrives);
        reading->wait();
        EXPECT_EQ(reading->status(), c.status);
        EXPECT_EQ(reading->data(), c.data);
        EXPECT_EQ(kernel.now() - start, c.takes);
        advance(10 * ms); // (a byte left on the line arrives and is purged)
        ASSERT_EQ(ioctl(IOCTL_SERIAL_PURGE, bytes_of<ULONG>(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
    }
}

// Cancelled one by one, or by the close (its cleanup, before the port is closed): every pending
// request ends STATUS_CANCELLED. The port opens once at a time.
TEST_F(PortTest, CancelCleanupAndCloseEndEveryPendingRequestCancelled) {
    for (bool close : {false, true}) {
        SCOPED_TRACE(close);
        ASSERT_EQ(set_mask(SERIAL_EV_DSR), STATUS_SUCCESS);
        kern::PendingIo waiting = wait_on_mask();
        auto reading = read_async(4);
        port->faults().pend_nth(RequestKind::write(), 1);
        auto writing = write_async({1});
        EXPECT_FALSE(waiting.done() || reading->done() || writing->done());
        if (!close) {
            EXPECT_EQ(waiting.cancel(), TRUE);
            EXPECT_EQ(IoCancelIrp(reading->irp), TRUE);
            EXPECT_EQ(IoCancelIrp(writing->irp), TRUE);
        } else {
            EXPECT_EQ(handle.close(), STATUS_SUCCESS);
        }
        EXPECT_EQ(waiting.wait(), STATUS_CANCELLED);
        reading->wait();
        writing->wait();
        EXPECT_EQ(reading->status(), STATUS_CANCELLED);
        EXPECT_EQ(writing->status(), STATUS_CANCELLED);
        EXPECT_EQ(port->snapshot().reads_pending, 0u);
        EXPECT_EQ(port->snapshot().open, !close);
    }
    // Only one open at a time, and a new one after the close.
    EXPECT_FALSE(line.is_open());
    EXPECT_EQ(kernel.open(port->device(), &handle), STATUS_SUCCESS);
    kern::FileHandle second;
    EXPECT_EQ(kernel.open(port->device(), &second), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(line.is_open());
}

TEST_F(PortTest, HundredBytesAt9600TakeTenBitsEachAndTxEmptyComesAfterTheLast) {
    ASSERT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, bytes_of<ULONG>(9600)), STATUS_SUCCESS);
    ASSERT_EQ(set_mask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    const Bytes frame(100, 0x5A);
    const kern::Ticks start = kernel.now();
    ASSERT_EQ(write_async(frame)->wait(), STATUS_SUCCESS);
    auto waiting = wait_on_mask();
    ASSERT_EQ(waiting.wait(), STATUS_SUCCESS);
    EXPECT_EQ(events_of(waiting), ULONG{SERIAL_EV_TXEMPTY});
    // 1000 bit times at 9600 bit/s: 104.1667 ms, rounded up to the clock's 100 ns.
    EXPECT_EQ(kernel.now() - start, 1'041'667);
    EXPECT_EQ(device.received, frame);
}

} // namespace
} // namespace qkr::serial::testing
