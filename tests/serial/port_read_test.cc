// Reads: queued bytes, the platform's time-out rules, ordering and cancellation.
#include "port_fixture.h"

namespace qkr::serial::testing {
namespace {

using Reads = PortTest;

TEST_F(Reads, QueuedBytesAreReturnedAtOnce) {
    ASSERT_EQ(set_timeouts(30, 0, 3000), STATUS_SUCCESS);
    device_sends({1, 2, 3, 4});
    const ULONG queued = comm_status().AmountInInQueue;
    ASSERT_EQ(queued, 4u);
    auto reading = read_async(queued);
    ASSERT_TRUE(reading->done());
    EXPECT_EQ(reading->returned, STATUS_SUCCESS);
    EXPECT_EQ(reading->status(), STATUS_SUCCESS);
    EXPECT_EQ(reading->data(), (Bytes{1, 2, 3, 4}));
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

TEST_F(Reads, TotalTimeOutIsMultiplierTimesLengthPlusConstant) {
    ASSERT_EQ(set_timeouts(0, 10, 100), STATUS_SUCCESS);
    const kern::Ticks start = kernel.now();
    auto reading = read_async(5);
    wait(*reading);
    EXPECT_EQ(reading->status(), STATUS_TIMEOUT);
    EXPECT_EQ(reading->iosb.Information, 0u);
    EXPECT_EQ(kernel.now() - start, kern::milliseconds(150));
}

TEST_F(Reads, TotalTimeOutReturnsWhatHasArrived) {
    ASSERT_EQ(set_timeouts(0, 0, 100), STATUS_SUCCESS);
    auto reading = read_async(8);
    device.send({0xA1, 0xA2});
    wait(*reading);
    EXPECT_EQ(reading->status(), STATUS_TIMEOUT);
    EXPECT_EQ(reading->data(), (Bytes{0xA1, 0xA2}));
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

TEST_F(Reads, MaxIntervalWithZeroTotalsReturnsAtOnceEvenWithNothing) {
    ASSERT_EQ(set_timeouts(kMaxUlong, 0, 0), STATUS_SUCCESS);
    auto empty = read_async(10);
    ASSERT_TRUE(empty->done());
    EXPECT_EQ(empty->status(), STATUS_SUCCESS);
    EXPECT_EQ(empty->iosb.Information, 0u);

    device_sends({5, 6});
    auto some = read_async(10);
    ASSERT_TRUE(some->done());
    EXPECT_EQ(some->data(), (Bytes{5, 6}));
}

TEST_F(Reads, MaxIntervalAndMultiplierWaitForTheFirstCharacterUpToTheConstant) {
    ASSERT_EQ(set_timeouts(kMaxUlong, kMaxUlong, 500), STATUS_SUCCESS);
    const kern::Ticks start = kernel.now();
    auto nothing = read_async(10);
    wait(*nothing);
    EXPECT_EQ(nothing->status(), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now() - start, kern::milliseconds(500));

    auto first = read_async(10);
    advance(kern::milliseconds(100));
    ASSERT_FALSE(first->done());
    device.send({0x77, 0x78});
    wait(*first);
    EXPECT_EQ(first->status(), STATUS_SUCCESS);
    EXPECT_EQ(first->data(), (Bytes{0x77}));
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
