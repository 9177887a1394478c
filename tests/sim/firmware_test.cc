// The reader's firmware seen from the port: commands and replies, framing, timing, link speed
// and modem lines.
#include "bench.h"

#include "sim/atr.h"

#include <string>

namespace qkr::sim::test {
namespace {

const Bytes kPowerOff = {0x62, 0x00, 0x00, 0x00};

TEST(ReaderCommands, TypeStatusAndResetRepliesAsTheFirmwareVersionHasThem) {
    for (std::string fw : {"0003", "0009", "0010", "0011", "0016"}) {
        Bench b({.firmware = fw});
        const Bytes r = b.transact(cmd(0x60));
        ASSERT_GE(r.size(), 4u);
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 2), (Bytes{0x60, 0x00}));
        EXPECT_EQ(std::string(r.begin() + 4, r.end()), "BRIMVEL QK41" + fw);
        EXPECT_EQ(data_of(r).size(), 16u);
    }
    for (const char* name : {"t1", "memory2"}) {
        Bench old({.firmware = "0003", .slot0_card = name});
        const Bytes atr = old.power_on();
        // Old firmware knows no memory cards.
        EXPECT_EQ(parse_atr(atr).has_value(), std::string(name) == "t1") << name;
    }
    // The status bit follows slot 0's card.
    Bench b;
    auto card_bit = [&] { return data_of(b.transact(cmd(0x65))).at(0) & 0x08; };
    EXPECT_EQ(card_bit(), 0);
    b.reader.insert(make_card("t1"));
    EXPECT_EQ(card_bit(), 0x08);
    // A reset answers the card type before the ATR from version 4 on; a warm one the same.
    const Bytes d = b.power_on();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d[0], 1);
    EXPECT_TRUE(parse_atr(Bytes(d.begin() + 1, d.end())).has_value());
    EXPECT_EQ(data_of(b.transact(cmd(0x64))), d);
    b.reader.remove();
    EXPECT_EQ(card_bit(), 0);
}

TEST(ReaderCommands, CardCommandsNeedAPoweredCard) {
    Bench b({.slot0_card = "mute"});
    const Bytes read = exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01});
    EXPECT_EQ(b.transact(cmd(0x62)), (Bytes{0x64, 0x00, 0x00, 0x00})) << "mute card: empty ATR";
    EXPECT_EQ(b.transact(read), kNoCard) << "nothing was powered";
    b.reader.remove();
    // An empty slot: power on, warm reset, parameters and both kinds of card command fail.
    for (const Bytes& c : {cmd(0x62), cmd(0x64), set_params(0x00, 3, 20, 0), read,
                           exchange(Bytes{0x01, 0x00, 0x00, 0x01}, 0, 0x6B)})
        EXPECT_EQ(b.transact(c), kNoCard) << testing::PrintToString(c);
    EXPECT_EQ(b.transact(cmd(0x63)), kPowerOff) << "power off always works";
    b.reader.insert(make_card("t0"));
    b.power_on();
    EXPECT_EQ(b.transact(set_params(0x00, 3, 20, 0)), kPowerOff);
    EXPECT_EQ(b.transact(cmd(0x63)), kPowerOff);
    EXPECT_EQ(b.transact(read), kNoCard) << "a powered-down card takes no commands";
}

TEST(ReaderCommands, MalformedCommandsAreRefusedWithAReason) {
    Bench b({.slot0_card = "memory2"});
    b.power_on();
    // Unknown code, wrong lengths (one a body length the body disagrees with), a slot beyond the
    // two, and a card exchange with a memory card.
    const std::pair<Bytes, std::uint8_t> rows[] = {
        {{0x70, 0x00, 0x00}, 0x01},
        {{0x60, 0x00}, 0x02},
        {{0x62, 0x00, 0x00, 0x00}, 0x02},
        {cmd(0x62, 2), 0x03},
        {{0x61, 0x00, 0x00, 0x10}, 0x02},
        {{0x67, 0x00, 0x00, 0x00, 0x05, 0x00}, 0x02},
        {exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01}), 0x04}};
    for (const auto& [command, why] : rows)
        EXPECT_EQ(b.transact(command), (Bytes{kReplyError, why, 0x00, 0x00}));
}

TEST(ReaderFraming, BadOrUnfinishedFramesAreRefusedAndNoiseIsIgnored) {
    Bench b;
    Bytes f = frame(cmd(0x60));
    f[f.size() - 3] ^= 0x01; // check byte
    for (const Bytes& bad : {f, Bytes{0x10, 0x02, 0x60, 0x10, 0x41, 0x00, 0x10, 0x03}}) {
        b.clear_rx();
        b.send_raw(bad); // (the second has DLE then a data byte)
        b.quiet(milliseconds(50));
        EXPECT_EQ(b.rx, kNakFrame);
    }
    EXPECT_EQ(b.reader.naks_sent(), 2u);
    // A frame left unfinished is dropped after a while, without an answer.
    b.clear_rx();
    f = frame(cmd(0x60));
    b.send_raw(std::span(f).first(4));
    b.quiet(seconds(1));
    EXPECT_TRUE(b.rx.empty());
    // Noise, DLE pairs and a stray DLE ETX before the frame start nothing.
    Bytes noisy = {0x55, 0xAA, 0x10, 0x10, 0x02, 0x10, 0x03, 0x00};
    const Bytes good = frame(cmd(0x65));
    noisy.insert(noisy.end(), good.begin(), good.end());
    b.send_raw(noisy);
    auto d = b.wait_reply(milliseconds(100));
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->ok);
    EXPECT_EQ(d->payload[0], 0x61);
    EXPECT_EQ(b.reader.commands_received(), 1u);
}

TEST(ReaderTiming, RepliesTakeTheirLineTimeAfterProcessingAndCardTimeDleDoubled) {
    {
        Bench slow({.baud = 9600, .slot0_card = "memory2"}, 9600);
        slow.power_on();
        slow.clear_rx();
        // Ten bytes from 0x08 (0x10 among them, doubled on the wire): a payload of 15 bytes and a
        // 21-byte frame, 21 characters of 10 bits at 9600 bit/s: 21.875 ms from the first start
        // bit to the last stop bit.
        EXPECT_EQ(slow.memory(Bytes{0x01, 0x00, 0x08, 0x0A}).at(9), 0x10);
        ASSERT_EQ(slow.rx.size(), 21u);
        EXPECT_EQ(Bytes(slow.rx.begin() + 15, slow.rx.begin() + 17), (Bytes{0x10, 0x10}));
        const Ticks span = slow.times.back() - slow.times.front();
        EXPECT_NEAR(static_cast<double>(span + serial::SimLine::char_time({9600})), 218750.0, 30.0);
    }

    Bench b({.processing = milliseconds(40)});
    const Ticks start = b.k.now();
    b.send(cmd(0x65));
    ASSERT_TRUE(b.wait_reply().has_value());
    const Ticks frame_out = serial::SimLine::char_time({19200}) * 8;
    EXPECT_GE(b.times.front() - start, milliseconds(40) + frame_out);
    EXPECT_LT(b.times.front() - start, milliseconds(45) + frame_out);
    // A T=0 READ BINARY of 256 bytes keeps the card busy for 264 characters of 12 etu at
    // 372/3.571 MHz, about 0.33 s, on top of the processing delay.
    b.reader.insert(make_card("t0"));
    b.power_on();
    b.card(kSelect5001);
    const Ticks t0 = b.k.now();
    b.send(exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}));
    auto d = b.wait_reply();
    ASSERT_TRUE(d.has_value());
    const Ticks card_time = static_cast<Ticks>((5 + 1 + 256 + 2) * 12 * etu_ticks(372, 1));
    EXPECT_GT(b.times[d->end - 1] - t0, milliseconds(40) + card_time);
    EXPECT_LT(b.times[d->end - 1] - t0, milliseconds(40) + card_time + milliseconds(250));
}

TEST(ReaderLink, SpeedChangeTakesEffectAfterTheAcceptingReply) {
    Bench b;
    EXPECT_EQ(b.set_speed(0x03), Bytes{0x00});
    b.quiet(milliseconds(20));
    EXPECT_EQ(b.reader.baud(), 9600u);
    // The host still at 19200: the reader hears garbage and answers nothing sensible.
    b.send(cmd(0x65));
    auto junk = b.wait_reply(milliseconds(200));
    EXPECT_TRUE(!junk || junk->payload.empty() || junk->payload[0] != 0x61);
    // Every code maps to its speed; other codes, or none, are refused and change nothing.
    const std::uint32_t speeds[] = {38400, 19200, 9600, 4800, 2400, 1200};
    for (std::uint8_t code = 1; code <= 6; ++code) {
        b.line.host_set_format(serial::LineFormat{b.reader.baud()});
        b.quiet(milliseconds(600));
        b.clear_rx();
        EXPECT_EQ(b.set_speed(code), Bytes{0x00});
        b.quiet(milliseconds(100));
        EXPECT_EQ(b.reader.baud(), speeds[code - 1]);
    }
    b.line.host_set_format(serial::LineFormat{1200});
    b.quiet(milliseconds(600));
    for (const Bytes& refused : {Bytes{0x4C, 0x00, 0x00}, Bytes{0x4C, 0x00, 0x07},
                                 Bytes{0x4C, 0x00, 0xFF}, Bytes{0x4C, 0x00}})
        EXPECT_EQ(b.memory(refused), Bytes{0x01}) << testing::PrintToString(refused);
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.reader.baud(), 1200u);
}

TEST(ReaderLines, DsrWhilePoweredCtsWhileACardIsInSlotZeroSlotOneAlwaysFull) {
    Bench b;
    auto lines = [&] { return b.quiet(milliseconds(5)), b.lines.dsr * 2 + b.lines.cts; };
    EXPECT_EQ(lines(), 2);
    b.reader.insert(make_card("t0"));
    EXPECT_EQ(lines(), 3);
    b.reader.remove();
    EXPECT_EQ(lines(), 2);
    b.reader.insert(make_card("t0"));
    b.reader.set_powered(false);
    EXPECT_EQ(lines(), 0);
    // Switched off, it hears nothing.
    b.send(cmd(0x65));
    EXPECT_FALSE(b.wait_reply(milliseconds(200)).has_value());
    b.reader.set_powered(true);
    EXPECT_EQ(lines(), 3);
    // Slot 1 always holds its own card.
    b.reader.remove();
    EXPECT_EQ(b.power_on(1).at(0), 1);
    EXPECT_EQ(b.card(kSelectMf, 1), kSw9000);
    EXPECT_EQ(b.transact(exchange(kSelectMf))[0], 0x67) << "slot 0 is empty meanwhile";
    EXPECT_EQ(b.transact(cmd(0x65))[4] & 0x0A, 0x02) << "status shows slot 1 powered";
}

TEST(ReaderFirmware, OldFirmwareMishandlesLongLeButNotAFullPage) {
    const Bytes ff = {0x00, 0xB0, 0x00, 0x00, 0xFF};
    const Bytes fe = {0x00, 0xB0, 0x00, 0x00, 0xFE};
    for (std::string fw : {"0009", "0010", "0011"}) {
        const bool old = fw != "0011";
        Bench b({.firmware = fw, .slot0_card = "t0"});
        b.power_on();
        EXPECT_EQ(b.card(kSelect5001), kSw9000);
        const Bytes r = b.card(ff);
        if (old) {
            EXPECT_EQ(r, Bytes{0x00}) << "one byte only, no status word";
        } else {
            ASSERT_EQ(r.size(), 257u);
            EXPECT_EQ(Bytes(r.begin() + 254, r.end()), (Bytes{0xFE, 0x90, 0x00}));
        }
        EXPECT_EQ(b.card(fe).size(), old ? 0u : 256u);
        const Bytes page = b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00});
        ASSERT_EQ(page.size(), 258u);
        EXPECT_EQ(Bytes(page.begin() + 255, page.end()), (Bytes{0xFF, 0x90, 0x00}));
    }
}

TEST(ReaderFirmware, CommandsArrivingWhileTheCardWorksAreNotHeard) {
    Bench b({.slot0_card = "t0"});
    b.power_on();
    // Slow echo: half a second of card work.
    b.send(exchange(Bytes{0x80, 0x10, 0x05, 0x00, 0x01, 0xAB}));
    b.quiet(milliseconds(50));
    b.send(cmd(0x65));
    auto first = b.wait_reply();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(data_of(first->payload), (Bytes{0x61, 0x01}));
    EXPECT_FALSE(b.wait_reply(milliseconds(300)).has_value());
}

} // namespace
} // namespace qkr::sim::test
