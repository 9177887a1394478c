// Every fault the reader can be told to commit, seen from the port.
#include "bench.h"

#include "sim/atr.h"

namespace qkr::sim::test {
namespace {

TEST(Faults, NakedCommandsAreNotCarriedOut) {
    Bench b({.slot0_card = "t0"});
    b.reader.faults().nak_next(2);
    for (int i = 0; i < 2; ++i) {
        b.clear_rx();
        b.send(cmd(0x62));
        b.quiet(milliseconds(50));
        EXPECT_EQ(b.sink.rx, kNakFrame);
    }
    b.clear_rx();
    // The card was never powered.
    EXPECT_EQ(b.transact(cmd(0x65))[4] & 0x04, 0);
    EXPECT_EQ(b.reader.naks_sent(), 2u);
}

TEST(Faults, SilenceThenAnswersAgain) {
    Bench b;
    b.reader.faults().silent_next(2);
    for (int i = 0; i < 2; ++i) {
        b.send(cmd(0x60));
        EXPECT_FALSE(b.wait_reply(seconds(2)).has_value());
    }
    EXPECT_EQ(b.transact(cmd(0x60))[0], 0x60);
    EXPECT_EQ(b.reader.commands_received(), 3u);
}

TEST(Faults, CorruptedCheckByte) {
    Bench b;
    b.reader.faults().corrupt_next(1);
    b.send(cmd(0x65));
    auto d = b.wait_reply();
    ASSERT_TRUE(d.has_value());
    EXPECT_FALSE(d->ok);
    EXPECT_EQ(d->payload[0], 0x61) << "only the check byte is wrong";
    EXPECT_EQ(b.transact(cmd(0x65))[0], 0x61);
}

TEST(Faults, TruncatedReplyThenSilence) {
    Bench b;
    b.reader.faults().truncate_next(5);
    b.send(cmd(0x60));
    b.quiet(seconds(3));
    EXPECT_EQ(b.sink.rx.size(), 5u);
    EXPECT_FALSE(deframe(b.sink.rx).has_value());
    b.clear_rx();
    EXPECT_EQ(b.transact(cmd(0x60))[0], 0x60);
}

TEST(Faults, NoiseDlePairsAndStrayEtxBeforeTheFrame) {
    Bench b;
    b.reader.faults().noise_next(1);
    b.send(cmd(0x65));
    auto d = b.wait_reply();
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->ok);
    ASSERT_GE(b.sink.rx.size(), 6u);
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(b.sink.rx[i], 0x10);
    EXPECT_EQ(Bytes(b.sink.rx.begin() + 4, b.sink.rx.begin() + 6), (Bytes{0x10, 0x02}));

    b.clear_rx();
    b.reader.faults().dle_pairs_next(1);
    b.send(cmd(0x65));
    d = b.wait_reply();
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->ok);
    EXPECT_EQ(Bytes(b.sink.rx.begin(), b.sink.rx.begin() + 6),
              (Bytes{0x10, 0x10, 0x10, 0x10, 0x10, 0x02}));

    b.clear_rx();
    b.reader.faults().stray_etx_next(1);
    b.send(cmd(0x65));
    b.quiet(milliseconds(100));
    EXPECT_EQ(Bytes(b.sink.rx.begin(), b.sink.rx.begin() + 4), (Bytes{0x10, 0x03, 0x10, 0x02}));
}

TEST(Faults, ChunkedRepliesLeaveGaps) {
    Bench b;
    b.reader.faults().chunk_next(4, milliseconds(30));
    b.send(cmd(0x60));
    auto d = b.wait_reply();
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->ok);
    const Ticks ch = serial::SimLine::char_time(serial::LineFormat{19200});
    std::size_t gaps = 0;
    for (std::size_t i = 1; i < b.sink.times.size(); ++i) {
        const Ticks dt = b.sink.times[i] - b.sink.times[i - 1];
        if (i % 4 == 0) {
            EXPECT_GE(dt, milliseconds(30)) << "between chunks, at " << i;
            ++gaps;
        } else {
            EXPECT_LE(dt, ch + 1) << "within a chunk, at " << i;
        }
    }
    EXPECT_EQ(gaps, (b.sink.rx.size() - 1) / 4);
}

TEST(Faults, ConfiguredChunkingAppliesToEveryReply) {
    Bench b({.chunk = 3, .chunk_gap = milliseconds(10)});
    for (int round = 0; round < 2; ++round) {
        b.clear_rx();
        b.send(cmd(0x65));
        ASSERT_TRUE(b.wait_reply().has_value());
        ASSERT_GT(b.sink.times.size(), 3u);
        EXPECT_GE(b.sink.times[3] - b.sink.times[2], milliseconds(10));
    }
}

TEST(Faults, DelayedReply) {
    Bench b;
    Ticks start = b.k.now();
    b.transact(cmd(0x65));
    const Ticks normal = b.k.now() - start;
    b.reader.faults().delay_next(milliseconds(700));
    start = b.k.now();
    b.transact(cmd(0x65));
    EXPECT_GE(b.k.now() - start, normal + milliseconds(699));
}

TEST(Faults, DsrDropRestartsTheReader) {
    Bench b({.slot0_card = "t0"});
    b.power_on();
    b.set_speed(0x01);
    b.quiet(milliseconds(20));
    EXPECT_EQ(b.reader.baud(), 38400u);
    b.sink.changes.clear();
    b.reader.drop_dsr(milliseconds(100));
    b.quiet(milliseconds(50));
    EXPECT_FALSE(b.sink.lines.dsr);
    b.quiet(milliseconds(100));
    EXPECT_TRUE(b.sink.lines.dsr);
    EXPECT_TRUE(b.sink.lines.cts);
    ASSERT_GE(b.sink.changes.size(), 2u);
    // Back at its power-up speed, with the card unpowered.
    EXPECT_EQ(b.reader.baud(), 19200u);
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01})), kNoCard);
}

TEST(Faults, CtsPulseLeavesTheCardAlone) {
    Bench b({.slot0_card = "t0"});
    b.power_on();
    b.quiet(milliseconds(5));
    b.sink.changes.clear();
    b.reader.pulse_cts(milliseconds(30));
    b.quiet(milliseconds(10));
    EXPECT_FALSE(b.sink.lines.cts);
    EXPECT_TRUE(b.sink.lines.dsr);
    b.quiet(milliseconds(30));
    EXPECT_TRUE(b.sink.lines.cts);
    EXPECT_EQ(b.sink.changes.size(), 2u);
    EXPECT_EQ(b.card(kSelectMf), kSw9000);
}

TEST(Faults, CardPulledOutInTheMiddleOfAT1Chain) {
    Bench b({.slot0_card = "t1"});
    b.power_on();
    b.transact(set_params(0x10, 0, 0, 0x45));
    b.reader.faults().remove_card_in_chain(2);
    const Bytes part(32, 0x00);
    EXPECT_EQ(b.card(t1_block(0x20, part)), t1_block(0x90, {}));
    EXPECT_EQ(b.card(t1_block(0x60, part)), t1_block(0x80, {}));
    EXPECT_EQ(b.transact(exchange(t1_block(0x20, part))), kNoCard);
    EXPECT_FALSE(b.wait_reply(seconds(1)).has_value()) << "one answer only";
    EXPECT_FALSE(b.reader.card_present());
    EXPECT_FALSE(b.sink.lines.cts);
}

TEST(Faults, CardPulledOutWhileTheReaderWaitsForIt) {
    Bench b({.slot0_card = "t0"});
    b.power_on();
    b.send(exchange(Bytes{0x80, 0x10, 0x0A, 0x00, 0x01, 0x00}));
    b.quiet(milliseconds(200));
    b.reader.remove();
    auto d = b.wait_reply(milliseconds(100));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->payload, kNoCard);
    EXPECT_FALSE(b.wait_reply(seconds(2)).has_value()) << "one answer only";
}

TEST(Faults, RefusedSpeedChange) {
    Bench b;
    b.reader.faults().refuse_speed_change();
    EXPECT_EQ(b.set_speed(0x03), Bytes{0x01});
    b.quiet(milliseconds(20));
    EXPECT_EQ(b.reader.baud(), 19200u);
    EXPECT_EQ(b.set_speed(0x02), Bytes{0x00}) << "only the next change is refused";
}

TEST(Faults, PtsRefusedOrAnsweredWrongOnce) {
    Bench b({.slot0_card = "dual"});
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
}

TEST(Faults, RandomModeIsReproducibleFromItsSeed) {
    auto run = [](std::uint64_t seed) {
        Bench b;
        b.reader.faults().random(seed, 30);
        std::size_t bad = 0;
        for (int i = 0; i < 60; ++i) {
            b.send(cmd(0x65));
            auto d = b.wait_reply(seconds(3));
            if (!d || !d->ok || d->payload.size() != 5)
                ++bad;
            b.quiet(seconds(2)); // let a cut reply's remains pass
            b.consumed = b.sink.rx.size();
        }
        return std::make_pair(b.sink.rx, bad);
    };
    const auto a = run(42);
    const auto again = run(42);
    const auto other = run(43);
    EXPECT_EQ(a.first, again.first);
    EXPECT_NE(a.first, other.first);
    // About 30 % are hit; delays are hits that still arrive good.
    EXPECT_GE(a.second, 5u);
    EXPECT_LE(a.second, 30u);
}

TEST(Faults, SlotOneCardSwappedWhileTheReaderWaitsForIt) {
    Bench b;
    b.power_on(1);
    b.send(exchange(Bytes{0x80, 0x10, 0x0A, 0x00, 0x01, 0x00}, 1));
    b.quiet(milliseconds(200));
    b.reader.set_slot1_card(make_card("t1"));
    auto d = b.wait_reply(milliseconds(100));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->payload, kNoCard);
    // The reader listens again, and the new card needs a reset first.
    EXPECT_EQ(b.transact(test::exchange(kSelectMf, 1)), kNoCard);
    const Bytes atr = b.power_on(1);
    ASSERT_FALSE(atr.empty());
    EXPECT_TRUE(parse_atr(Bytes(atr.begin() + 1, atr.end()))->offers_t1);
}

} // namespace
} // namespace qkr::sim::test
