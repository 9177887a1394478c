// Cancellation of every request that can pend, and the injected faults.
#include "port_fixture.h"

namespace qkr::serial::testing {
namespace {

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

TEST_F(Faults, ReadsAndWritesFailForTheGivenCount) {
    port->faults().fail_nth(RequestKind::write(), 1, STATUS_UNSUCCESSFUL, 2);
    EXPECT_EQ(write({1}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write({2}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write({3}), STATUS_SUCCESS);
    advance(kern::milliseconds(10));
    EXPECT_EQ(device.received, (Bytes{3}));

    port->faults().fail_nth(RequestKind::read(), 1, STATUS_IO_TIMEOUT);
    device_sends({4});
    auto reading = read_async(1);
    ASSERT_TRUE(reading->done());
    EXPECT_EQ(reading->status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(comm_status().AmountInInQueue, 1u);
}

TEST_F(Faults, FailedWaitsCompleteAtOnceUntilCleared) {
    ASSERT_EQ(set_mask(SERIAL_EV_CTS), STATUS_SUCCESS);
    port->faults().fail_waits(STATUS_UNSUCCESSFUL);
    for (int i = 0; i < 3; ++i) {
        auto waiting = wait_on_mask();
        ASSERT_TRUE(waiting.done());
        EXPECT_EQ(waiting.status(), STATUS_UNSUCCESSFUL);
    }
    port->faults().clear();
    auto waiting = wait_on_mask();
    EXPECT_FALSE(waiting.done());
    waiting.cancel();
    waiting.wait();
}

TEST_F(Faults, AHeldRequestPendsThroughTimeUntilCancelled) {
    port->faults().pend_nth(RequestKind::control(IOCTL_SERIAL_PURGE), 1);
    auto held = handle.ioctl_async(IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXCLEAR), 0);
    advance(kern::seconds(600));
    EXPECT_FALSE(held.done());
    EXPECT_EQ(ioctl(IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
    held.cancel();
    EXPECT_EQ(held.wait(), STATUS_CANCELLED);
}

} // namespace
} // namespace qkr::serial::testing
