// Every fault the reader can be told to commit, seen from the port, and the simulator's text
// commands as the control sockets take them and as the qkr tool's scripts write them.
#include "bench.h"

#include "sim/atr.h"
#include "sim/control.h"

namespace qkr::sim::test {
namespace {

// Set through the control language, so that its words are checked with what they do.
void fault(Bench& b, const std::string& line) {
    EXPECT_EQ(control_command(b.reader, "fault " + line), "ok") << line;
}

TEST(Faults, EachCountedFaultHitsOnlyTheRepliesItIsFor) {
    Bench b({.slot0_card = "t0"});
    fault(b, "nak 1");
    b.send(cmd(0x62));
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.rx, kNakFrame);
    b.clear_rx();
    EXPECT_EQ(b.transact(cmd(0x65))[4] & 0x04, 0) << "the NAKed power-up was not carried out";
    fault(b, "silent 2");
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE((b.send(cmd(0x60)), b.wait_reply(seconds(2))).has_value());
    fault(b, "corrupt 1");
    auto d = (b.send(cmd(0x65)), b.wait_reply());
    EXPECT_TRUE(d && !d->ok && d->payload.at(0) == 0x61) << "only the check byte is wrong";
    EXPECT_EQ(b.reader.commands_received(), 5u);
    fault(b, "truncate 3 1");
    b.send(cmd(0x60));
    b.quiet(seconds(1));
    EXPECT_EQ(b.rx.size() - b.consumed, 3u) << "three bytes of the reply";
    b.consumed = b.rx.size();
    fault(b, "delay 400 1");
    const Ticks start = b.k.now();
    b.transact(cmd(0x65));
    EXPECT_GT(b.k.now() - start, milliseconds(400));
    const std::pair<const char*, Bytes> cases[] = {
        {"dle-pairs 1", {0x10, 0x10, 0x10, 0x10, 0x10, 0x02}},
        {"stray-etx 1", {0x10, 0x03, 0x10, 0x02}},
        {"noise 5A 00a5", {0x5A, 0x00, 0xA5, 0x10, 0x02}}};
    for (const auto& [line, begins] : cases) {
        b.clear_rx();
        fault(b, line);
        auto d = (b.send(cmd(0x65)), b.wait_reply());
        EXPECT_TRUE(d && d->ok && d->payload.at(0) == 0x61) << line;
        EXPECT_EQ(Bytes(b.rx.begin(), b.rx.begin() + long(begins.size())), begins) << line;
    }
    fault(b, "silent 1");
    fault(b, "clear");
    EXPECT_EQ(b.transact(cmd(0x65))[0], 0x61) << "cleared before it bit";
    b.clear_rx();
    fault(b, "chunk 4 30 1");
    b.transact(cmd(0x60));
    for (std::size_t i = 1; i < b.times.size(); ++i) // within a chunk, back to back
        EXPECT_EQ(b.times[i] - b.times[i - 1] >= milliseconds(30), i % 4 == 0) << i;
}

TEST(Faults, CardPulledInAT1ChainOrPulledOrSwappedWhileTheReaderWaitsForIt) {
    Bench b({.slot0_card = "t1"});
    b.power_on();
    b.transact(set_params(0x10, 0, 0, 0x45));
    fault(b, "chain-removal 2");
    const Bytes part(32, 0x00);
    EXPECT_EQ(b.card(t1_block(0x20, part)), t1_block(0x90, {}));
    EXPECT_EQ(b.card(t1_block(0x60, part)), t1_block(0x80, {}));
    EXPECT_EQ(b.transact(exchange(t1_block(0x20, part))), kNoCard);
    EXPECT_FALSE(b.wait_reply(seconds(1)).has_value()) << "one answer only";
    EXPECT_FALSE(b.reader.card_present() || b.lines.cts);
    b.reader.insert(make_card("t0"));
    for (std::uint8_t slot : {0, 1}) {
        b.power_on(slot);
        b.send(exchange(Bytes{0x80, 0x10, 0x0A, 0x00, 0x01, 0x00}, slot));
        b.quiet(milliseconds(200));
        slot == 0 ? b.reader.remove() : b.reader.set_slot1_card(make_card("t1"));
        EXPECT_EQ(b.wait_reply(milliseconds(100)).value_or(Decoded{}).payload, kNoCard);
        EXPECT_FALSE(b.wait_reply(seconds(2)).has_value()) << "one answer only";
    }
    // The reader listens again, and the new card needs a reset first.
    EXPECT_EQ(b.transact(test::exchange(kSelectMf, 1)), kNoCard);
    const Bytes atr = b.power_on(1);
    ASSERT_FALSE(atr.empty());
    EXPECT_TRUE(parse_atr(Bytes(atr.begin() + 1, atr.end())).value_or(AtrInfo{}).offers_t1);
}

TEST(Faults, SpeedChangeOrPtsRefusedOrAnsweredWrongOnceAndTheModemLinesPulsedOrDropped) {
    Bench b({.slot0_card = "dual"});
    fault(b, "refuse-speed");
    EXPECT_EQ(b.set_speed(0x03), Bytes{0x01});
    const Bytes pts = {0xFF, 0x11, 0x13, 0xFD};
    b.power_on();
    fault(b, "pts refuse");
    EXPECT_TRUE(b.card(pts).empty());
    b.power_on();
    fault(b, "pts wrong");
    const Bytes wrong = b.card(pts);
    ASSERT_EQ(wrong.size(), 4u);
    EXPECT_EQ(wrong[0] ^ wrong[1] ^ wrong[2] ^ wrong[3], 0) << "a well-formed answer";
    EXPECT_NE(wrong[2], pts[2]);
    b.power_on();
    EXPECT_EQ(b.card(pts), pts);
    // A CTS pulse leaves the powered card alone.
    EXPECT_EQ(control_command(b.reader, "cts-pulse 30"), "ok");
    b.quiet(milliseconds(10));
    EXPECT_EQ(std::pair(b.lines.dsr, b.lines.cts), std::pair(true, false));
    b.quiet(milliseconds(30));
    EXPECT_TRUE(b.lines.cts);
    EXPECT_NE(b.transact(cmd(0x65))[4] & 0x04, 0);
    EXPECT_EQ(b.reader.baud(), 19200u) << "the refused change changed nothing";
    EXPECT_EQ(b.set_speed(0x01), Bytes{0x00}) << "only the next change is refused";
    b.quiet(milliseconds(20));
    EXPECT_EQ(b.reader.baud(), 38400u);
    // A DSR drop restarts the reader: back at its power-up speed, with the card unpowered.
    EXPECT_EQ(control_command(b.reader, "dsr-drop 100"), "ok");
    b.quiet(milliseconds(50));
    EXPECT_FALSE(b.lines.dsr);
    b.quiet(milliseconds(100));
    EXPECT_EQ(std::pair(b.lines.dsr, b.lines.cts), std::pair(true, true));
    EXPECT_EQ(b.reader.baud(), 19200u);
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01})), kNoCard);
}

TEST(Faults, RandomModeIsReproducibleFromItsSeed) {
    auto run = [](std::uint64_t seed) {
        Bench b;
        fault(b, "random " + std::to_string(seed) + " 30");
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
    EXPECT_TRUE(a.second >= 5 && a.second <= 30) << a.second;
}

// The control language's other words; the faults' are checked above with what they do.
TEST(ControlCommands, CardsPowerAndStatusTakeEffectMalformedLinesAreRefusedInBothDialects) {
    Bench b;
    auto control = [&](const char* line) { return control_command(b.reader, line); };
    EXPECT_EQ(control("insert dual"), "ok");
    EXPECT_EQ(control("  status  "), "ok powered=1 card=dual baud=19200 commands=0");
    EXPECT_EQ(control("remove"), "ok");
    EXPECT_EQ(control("power off"), "ok");
    EXPECT_EQ(control("status"), "ok powered=0 card=none baud=19200 commands=0");
    EXPECT_EQ(control("insert nosuchcard"), "error unknown card nosuchcard");
    for (const char* bad :
         {"", "power", "power maybe", "dsr-drop", "dsr-drop -1", "launch", "cts-pulse 10x",
          "remove now", "fault", "fault nak", "fault nak x", "fault chunk 0 10 1",
          "fault random 1 101", "fault pts maybe", "fault truncate 3", "fault explode 1",
          "fault noise 5", "fault noise xy", "fault pts-wrong"})
        EXPECT_EQ(control(bad).rfind("error", 0), 0u) << bad;
    // The scripts' dialect: its own words for some faults, and messages that say what was expected.
    EXPECT_EQ(control("power on"), "ok");
    auto run = [&](std::string_view line) {
        Parsed p = parse_command(command_words(line), Dialect::Script, 1);
        return p.command ? (p.command->run(b.reader), "ok " + p.command->detail()) : p.error;
    };
    EXPECT_EQ(run("insert"), "ok t1");
    EXPECT_TRUE(b.reader.card_present());
    EXPECT_EQ(run("fault dsr off"), "ok ");
    EXPECT_FALSE(b.reader.powered());
    EXPECT_EQ(run("fault pts-wrong"), "ok ");
    EXPECT_EQ(run("fault nak 1001"), "fault nak takes a count");
    EXPECT_EQ(run("fault chunk"), "fault chunk takes a size in bytes");
    EXPECT_EQ(run("fault noise"), "fault noise takes 1 to 1024 hex bytes");
    EXPECT_EQ(run("status"), "unknown simulator command status");
    EXPECT_EQ(run("fault pts refuse").rfind("unknown fault pts (nak N,", 0), 0u);
    EXPECT_EQ(run("insert nosuch").rfind("unknown card model nosuch (known: ", 0), 0u);
}

} // namespace
} // namespace qkr::sim::test
