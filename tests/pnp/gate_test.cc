// The request gate and the Plug and Play queries around it: requests wait for a start, a stop
// query is refused while one is inside the library, removal releases waiting requests and refuses
// new opens.
#include "tests/pnp/pnp_support.h"

namespace qkr::pnp_test {
namespace {

using Gate = Stack;

// Slot 1's requests come by internal device control and wait at the same gate.
TEST_F(Gate, RequestsOfBothSlotsWaitForAStartAfterAnAddOrAStop) {
    reader = &add_reader();
    ASSERT_EQ(reader->add(), STATUS_SUCCESS);
    handle = reader->open();
    for (int n : {0, 1}) {
        Background waiting(*reader, handle, IOCTL_SMARTCARD_GET_STATE, n);
        settle(seconds(5));
        EXPECT_FALSE(waiting.done());
        EXPECT_EQ(device()->IoCount, 0);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        EXPECT_EQ(waiting.finish(), STATUS_SUCCESS);
        ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
        ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
    }
}

TEST_F(Gate, StopQueryIsRefusedWhileARequestIsInsideTheLibraryButNotForAParkedOne) {
    up();
    HeldCallback hold(*reader, handle);
    EXPECT_EQ(device()->IoCount, 1);
    EXPECT_EQ(reader->query_stop(), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(gate_open());

    // With one request inside, another of either slot goes through even with the gate shut.
    KeClearEvent(&device()->ReaderStarted);
    Data out;
    EXPECT_EQ(reader->ioctl_slot1(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4), STATUS_SUCCESS);
    EXPECT_EQ(reader->ioctl_slot1(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 1),
              STATUS_BUFFER_TOO_SMALL);
    KeSetEvent(&device()->ReaderStarted, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(hold.let_go(), STATUS_SUCCESS);
    EXPECT_EQ(device()->IoCount, 0);
    kern::PendingIo present = park(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(reader->query_stop(), STATUS_SUCCESS);
    EXPECT_FALSE(gate_open());
    EXPECT_FALSE(present.done());
    EXPECT_EQ(present.cancel(), TRUE);
    EXPECT_EQ(present.wait(), STATUS_CANCELLED);
    // A removal query disables the interfaces clients find the reader by; its cancel enables them.
    ASSERT_EQ(reader->cancel_stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader->query_remove(), STATUS_SUCCESS);
    EXPECT_EQ(interfaces_enabled(), 0);
    ASSERT_EQ(reader->cancel_remove(), STATUS_SUCCESS);
    EXPECT_EQ(interfaces_enabled(), 2);
    EXPECT_TRUE(gate_open());
}

TEST_F(Gate, RemovalEndsRequestsWaitingAtTheGateRefusesNewOnesAndWaitsForTheHandle) {
    up();
    ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
    Background waiting(*reader, handle, IOCTL_SMARTCARD_GET_STATE);
    ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
    settle();
    ASSERT_FALSE(waiting.done());

    DEVICE_EXTENSION* dev = device();
    Background removal(kernel(), "removal", [this] { return reader->remove(); });
    EXPECT_EQ(waiting.finish(), STATUS_DEVICE_REMOVED);
    settle();
    EXPECT_FALSE(removal.done()) << "the device went while a handle was still open";
    kern::FileHandle second;
    EXPECT_NE(reader->open(&second), STATUS_SUCCESS);
    Data out;
    EXPECT_EQ(reader->ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(dev->IoCount, 0);

    handle.close();
    EXPECT_EQ(removal.finish(), STATUS_SUCCESS);
    EXPECT_EQ(kernel().pool_allocations(QKR_POOL_TAG), 0u);
    EXPECT_EQ(kernel().irps_live(), 0u);
}

} // namespace
} // namespace qkr::pnp_test
