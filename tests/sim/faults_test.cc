// Every fault the reader can be told to commit, seen from the port.
#include "bench.h"

#include "sim/atr.h"

namespace qkr::sim::test {
namespace {

TEST(Faults, NakSilenceBadCheckByteAndNoiseHitOnlyTheCommandsTheyAreFor) {
    Bench b({.slot0_card = "t0"});
    b.reader.faults().nak_next(1);
    b.send(cmd(0x62));
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.rx, kNakFrame);
    b.clear_rx();
    EXPECT_EQ(b.transact(cmd(0x65))[4] & 0x04, 0) << "the NAKed power-up was not carried out";
    b.reader.faults().silent_next(2);
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE((b.send(cmd(0x60)), b.wait_reply(seconds(2))).has_value());
    b.reader.faults().corrupt_next(1);
    b.send(cmd(0x65));
    auto d = b.wait_reply();
    EXPECT_TRUE(d && !d->ok && d->payload.at(0) == 0x61) << "only the check byte is wrong";
    EXPECT_EQ(b.transact(cmd(0x60))[0], 0x60);
    EXPECT_EQ(b.reader.commands_received(), 6u);
    EXPECT_EQ(b.reader.naks_sent(), 1u);
    const std::pair<void (Faults::*)(int), Bytes> cases[] = {
        {&Faults::dle_pairs_next, {0x10, 0x10, 0x10, 0x10, 0x10, 0x02}},
        {&Faults::stray_etx_next, {0x10, 0x03, 0x10, 0x02}},
        {&Faults::noise_next, {}}};
    for (const auto& [fault, start] : cases) {
        b.clear_rx();
        (b.reader.faults().*fault)(1);
        auto d = (b.send(cmd(0x65)), b.wait_reply());
        EXPECT_TRUE(d && d->ok && d->payload.at(0) == 0x61);
        EXPECT_EQ(Bytes(b.rx.begin(), b.rx.begin() + long(start.size())), start);
    }
    // Four bytes of noise, none of them a DLE.
    ASSERT_GE(b.rx.size(), 6u);
    EXPECT_EQ(std::count(b.rx.begin(), b.rx.begin() + 4, 0x10), 0);
    EXPECT_EQ(Bytes(b.rx.begin() + 4, b.rx.begin() + 6), (Bytes{0x10, 0x02}));
}

TEST(Faults, ChunkedRepliesLeaveGapsOnceOrAlways) {
    {
        Bench b;
        b.reader.faults().chunk_next(4, milliseconds(30));
        b.transact(cmd(0x60));
        for (std::size_t i = 1; i < b.times.size(); ++i) // within a chunk, back to back
            EXPECT_EQ(b.times[i] - b.times[i - 1] >= milliseconds(30), i % 4 == 0) << i;
    }
    Bench always({.chunk = 3, .chunk_gap = milliseconds(10)});
    for (int round = 0; round < 2; ++round, always.clear_rx())
        EXPECT_GE((always.transact(cmd(0x65)), always.times.at(3) - always.times[2]),
                  milliseconds(10));
}

TEST(Faults, DsrDropRestartsTheReaderCtsPulseLeavesTheCardAlone) {
    Bench b({.slot0_card = "t0"});
    b.power_on();
    b.reader.pulse_cts(milliseconds(30));
    b.quiet(milliseconds(10));
    EXPECT_EQ(std::pair(b.lines.dsr, b.lines.cts), std::pair(true, false));
    b.quiet(milliseconds(30));
    EXPECT_TRUE(b.lines.cts);
    EXPECT_EQ(b.card(kSelectMf), kSw9000);
    b.set_speed(0x01);
    b.quiet(milliseconds(20));
    EXPECT_EQ(b.reader.baud(), 38400u);
    b.reader.drop_dsr(milliseconds(100));
    b.quiet(milliseconds(50));
    EXPECT_FALSE(b.lines.dsr);
    b.quiet(milliseconds(100));
    EXPECT_EQ(std::pair(b.lines.dsr, b.lines.cts), std::pair(true, true));
    // Back at its power-up speed, with the card unpowered.
    EXPECT_EQ(b.reader.baud(), 19200u);
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01})), kNoCard);
}

TEST(Faults, CardPulledInAT1Chain) {
    Bench b({.slot0_card = "t1"});
    b.power_on();
    b.transact(set_params(0x10, 0, 0, 0x45));
    b.reader.faults().remove_card_in_chain(2);
    const Bytes part(32, 0x00);
    EXPECT_EQ(b.card(t1_block(0x20, part)), t1_block(0x90, {}));
    EXPECT_EQ(b.card(t1_block(0x60, part)), t1_block(0x80, {}));
    EXPECT_EQ(b.transact(exchange(t1_block(0x20, part))), kNoCard);
    EXPECT_FALSE(b.wait_reply(seconds(1)).has_value()) << "one answer only";
    EXPECT_FALSE(b.reader.card_present() || b.lines.cts);
}

TEST(Faults, CardPulledOrSwappedWhileTheReaderWaitsForIt) {
    for (std::uint8_t slot : {0, 1}) {
        Bench b({.slot0_card = "t0"});
        b.power_on(slot);
        b.send(exchange(Bytes{0x80, 0x10, 0x0A, 0x00, 0x01, 0x00}, slot));
        b.quiet(milliseconds(200));
        slot == 0 ? b.reader.remove() : b.reader.set_slot1_card(make_card("t1"));
        EXPECT_EQ(b.wait_reply(milliseconds(100)).value_or(Decoded{}).payload, kNoCard);
        EXPECT_FALSE(b.wait_reply(seconds(2)).has_value()) << "one answer only";
    }
    // The reader listens again, and the new card needs a reset first.
    Bench c;
    c.power_on(1);
    c.reader.set_slot1_card(make_card("t1"));
    EXPECT_EQ(c.transact(test::exchange(kSelectMf, 1)), kNoCard);
    const Bytes atr = c.power_on(1);
    ASSERT_FALSE(atr.empty());
    EXPECT_TRUE(parse_atr(Bytes(atr.begin() + 1, atr.end())).value_or(AtrInfo{}).offers_t1);
}

TEST(Faults, SpeedChangeOrPtsRefusedOrAnsweredWrongOnce) {
    Bench b({.slot0_card = "dual"});
    b.reader.faults().refuse_speed_change();
    EXPECT_EQ(b.set_speed(0x03), Bytes{0x01});
    b.quiet(milliseconds(20));
    EXPECT_EQ(b.reader.baud(), 19200u);
    const Bytes pts = {0xFF, 0x11, 0x13, 0xFD};
    b.power_on();
    b.reader.faults().next_pts(PtsBehaviour::Refuse);
    EXPECT_TRUE(b.card(pts).empty());
    b.power_on();
    b.reader.faults().next_pts(PtsBehaviour::Wrong);
    const Bytes wrong = b.card(pts);
    ASSERT_EQ(wrong.size(), 4u);
    EXPECT_EQ(wrong[0] ^ wrong[1] ^ wrong[2] ^ wrong[3], 0) << "a well-formed answer";
    EXPECT_NE(wrong[2], pts[2]);
    b.power_on();
    EXPECT_EQ(b.card(pts), pts);
    EXPECT_EQ(b.set_speed(0x02), Bytes{0x00}) << "only the next change is refused";
}

TEST(Faults, RandomModeIsReproducibleFromItsSeed) {
    auto run = [](std::uint64_t seed) {
        Bench b;
        b.reader.faults().random(seed, 30);
        std::size_t bad = 0;
        for (int i = 0; i < 60; ++i, b.quiet(seconds(2)), b.consumed = b.rx.size()) {
            auto d = (b.send(cmd(0x65)), b.wait_reply(seconds(3)));
            bad += !d || !d->ok || d->payload.size() != 5; // then a cut reply's remains pass
        }
        return std::make_pair(b.rx, bad);
    };
    const auto a = run(42);
    EXPECT_EQ(a.first, run(42).first);
    EXPECT_NE(a.first, run(43).first);
    // About 30 % are hit; delays are hits that still arrive good.
    EXPECT_GE(a.second, 5u);
    EXPECT_LE(a.second, 30u);
}

} // namespace
} // namespace qkr::sim::test
