// What earlier faults taught, each checked where it showed, against a model of the card: a failed
// T=1 exchange once made the next APDU return the previous answer; a reader that lost power once
// stayed dead; and a client that lets go of a reader pulled away mid-command must not be stranded.
#include "tests/robust/robust_support.h"

#include <functional>

namespace qkr::robust {
namespace {

TEST(Lessons, CommandsAfterALostT1ReplyGetTheirOwnAnswers) {
    SoakHost host;
    host::Reader& reader = host.reader;
    kern::FileHandle handle = reader.open();
    Client slot0(reader, handle, 0);
    sim::FileSystemApp card;
    ASSERT_TRUE(session(slot0, card, 0x10));
    // Each fault loses the reply of a write; the card may or may not have carried it out.
    const std::function<void(sim::Faults&)> faults[] = {
        [](sim::Faults& f) { f.corrupt_next(3); },
        [](sim::Faults& f) { f.delay_next(kern::seconds(200)); },
        [](sim::Faults& f) { f.silent_next(3); },
    };
    std::uint8_t fill = 0x40;
    for (const auto& fault : faults) {
        const Data lost = {0x00, 0xD6, 0x00, 0x00, 0x02, fill, fill};
        reader.act_on_sim([&](sim::ReaderSim& s) { fault(s.faults()); });
        Data response;
        EXPECT_NE(slot0.transmit(SCARD_PROTOCOL_T1, lost, &response), STATUS_SUCCESS);
        reader.act_on_sim([](sim::ReaderSim& s) { s.faults().clear(); });
        const Data read = {0x00, 0xB0, 0x00, 0x00, 0x04};
        ASSERT_EQ(slot0.transmit(SCARD_PROTOCOL_T1, read, &response), STATUS_SUCCESS);
        sim::FileSystemApp written = card;
        written.execute(lost);
        const bool carried_out = response == written.execute(read);
        EXPECT_TRUE(carried_out || response == card.execute(read)) << "a stale answer";
        if (carried_out)
            card = written;
        EXPECT_TRUE(as_model(slot0, card, {0x00, 0xD6, 0x00, 0x01, 0x02, ++fill, ++fill}));
        EXPECT_TRUE(as_model(slot0, card, read));
    }
}

// The plug is pulled half-way through a slow command (a second in the card): it and every later
// command fail at once with a defined status, the port closes, and once the power is back the
// restart that Plug and Play would do brings both slots back.
TEST(Lessons, AReaderThatLostPowerMidCommandFailsFastAndWorksAfterARestart) {
    SoakHost host;
    host::Reader& reader = host.reader;
    sim::FileSystemApp cards[2];
    {
        kern::FileHandle handle = reader.open();
        Client clients[2] = {{reader, handle, 0}, {reader, handle, 1}};
        for (int s : {0, 1})
            ASSERT_TRUE(session(clients[s], cards[s], 1));
        host.kernel().schedule_after(
            kern::milliseconds(500), [&] { reader.sim().set_powered(false); }, "unplug");
        Data response;
        const NTSTATUS cut = clients[0].transmit(
            SCARD_PROTOCOL_T1, {0x80, 0x10, 0x0A, 0x00, 0x02, 0xAB, 0xCD}, &response);
        EXPECT_TRUE(cut != STATUS_SUCCESS && is_defined_failure(cut)) << std::hex << cut;
        host.kernel().sleep_for(kern::seconds(2));
        EXPECT_FALSE(reader.port().snapshot().open) << "the port stays open to a dead reader";
        EXPECT_TRUE(reader.power_lost());
        for (Client& c : clients) {
            const kern::Ticks began = host.kernel().now();
            const NTSTATUS s = c.transmit(protocol_of(c.slot()), kSelectFile, &response);
            EXPECT_TRUE(s != STATUS_SUCCESS && is_defined_failure(s)) << std::hex << s;
            EXPECT_LT(host.kernel().now() - began, kern::milliseconds(100));
        }
        EXPECT_EQ(reader.restart_after_power_loss(), STATUS_DEVICE_NOT_CONNECTED);
    }
    reader.act_on_sim([](sim::ReaderSim& s) { s.set_powered(true); });
    host.kernel().sleep_for(kern::milliseconds(500));
    ASSERT_EQ(reader.restart_after_power_loss(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    Client clients[2] = {{reader, handle, 0}, {reader, handle, 1}};
    for (int s : {0, 1})
        EXPECT_TRUE(session(clients[s], cards[s], 2));
}

} // namespace
} // namespace qkr::robust
