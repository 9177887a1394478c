// Reads: queued bytes, the platform's time-out rules, ordering and cancellation.
#include "port_fixture.h"

namespace qkr::serial::testing {
namespace {

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

TEST_F(Reads, PendingReadsAreServedInOrder) {
    ASSERT_EQ(set_timeouts(0, 0, 0), STATUS_SUCCESS);
    auto first = read_async(2);
    auto second = read_async(2);
    device_sends({1, 2, 3, 4});
    ASSERT_TRUE(first->done());
    ASSERT_TRUE(second->done());
    EXPECT_EQ(first->data(), (Bytes{1, 2}));
    EXPECT_EQ(second->data(), (Bytes{3, 4}));
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

TEST_F(Reads, ZeroLengthAndClosedPortReadsFinishAtOnce) {
    auto zero = read_async(0);
    ASSERT_TRUE(zero->done());
    EXPECT_EQ(zero->status(), STATUS_SUCCESS);
    handle.close();
    auto closed = read_async(1);
    ASSERT_TRUE(closed->done());
    EXPECT_EQ(closed->status(), STATUS_INVALID_DEVICE_STATE);
    auto write_closed = write_async({1});
    ASSERT_TRUE(write_closed->done());
    EXPECT_EQ(write_closed->status(), STATUS_INVALID_DEVICE_STATE);
}

} // namespace
} // namespace qkr::serial::testing
