// Stress on what lives across many requests: card-tracking requests parked and completed many
// times over while sessions on both slots re-arm tracking under them. Every answer is the model
// card's, every request completes, and nothing is left at the end. (Readers with both slots busy
// at once are the explorer's daily work.)
#include "tests/robust/robust_support.h"

#include "sim/card.h"


namespace qkr::robust {
namespace {

// Insertions and removals, each awaited by a parked request. Between parking and the change, a
// session on slot 1 (or on the card itself) stands tracking down and re-arms it many times over:
// the parked request must survive every re-arming and still complete at the change.
TEST(TrackingStress, EveryInsertionAndRemovalCompletesTheParkedRequestUnderBusySessions) {
    constexpr int kCycles = 200;
    SoakHost host;
    host::ReaderOptions options;
    options.tap = false;
    host::Reader& reader = host.add_reader(options); // slot 0 starts empty
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    Client slot0(reader, handle, 0), slot1(reader, handle, 1);
    sim::FileSystemApp card0, card1;
    for (int i = 0; i < kCycles; ++i) {
        SCOPED_TRACE("cycle " + std::to_string(i));
        kern::PendingIo present = handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        if (i % 2 == 0)
            session(slot1, card1, std::size_t(i * 37), std::uint8_t(i));
        ASSERT_FALSE(present.done()) << "IS_PRESENT with no card";
        reader.act_on_sim([](sim::ReaderSim& s) { s.insert(sim::make_card("t1")); });
        ASSERT_TRUE(present.wait_for(kern::seconds(30))) << "the insertion did not complete it";
        EXPECT_EQ(present.status(), STATUS_SUCCESS);
        EXPECT_EQ(slot0.state(), ULONG{SCARD_SWALLOWED});

        kern::PendingIo absent = handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
        if (i % 2 == 1) {
            card0 = sim::FileSystemApp(); // a new card
            session(slot0, card0, std::size_t(i * 5), std::uint8_t(i));
        }
        ASSERT_FALSE(absent.done()) << "IS_ABSENT with the card in";
        reader.act_on_sim([](sim::ReaderSim& s) { s.remove(); });
        ASSERT_TRUE(absent.wait_for(kern::seconds(30))) << "the removal did not complete it";
        EXPECT_EQ(absent.status(), STATUS_SUCCESS);
        EXPECT_EQ(slot0.state(), ULONG{SCARD_ABSENT});
    }
    handle.close();
    EXPECT_EQ(reader.remove(), STATUS_SUCCESS);
    host.kernel().sleep_for(kern::seconds(1));
    EXPECT_EQ(host.kernel().irps_live(), 0u);
}

} // namespace
} // namespace qkr::robust
