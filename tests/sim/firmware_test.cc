// The reader's firmware seen from the port: commands and replies, framing, timing, link speed
// and modem lines.
#include "bench.h"

#include "sim/atr.h"

#include <string>

namespace qkr::sim::test {
namespace {

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

TEST(ReaderCommands, TypeReplyCarriesIdentificationAndFirmwareDigits) {
    for (std::string fw : {"0003", "0009", "0010", "0011", "0016"}) {
        ReaderConfig c;
        c.firmware = fw;
        Bench b(c);
        const Bytes r = b.transact(cmd(0x60));
        ASSERT_GE(r.size(), 4u);
        EXPECT_EQ(r[0], 0x60);
        EXPECT_EQ(r[1], 0x00);
        const Bytes d = data_of(r);
        ASSERT_EQ(d.size(), 16u);
        EXPECT_EQ(text(d), "BRIMVEL QK41" + fw);
    }
}

TEST(ReaderCommands, StatusBitFollowsTheCardInSlotZero) {
    Bench b;
    Bytes r = b.transact(cmd(0x65));
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0], 0x61);
    EXPECT_EQ(r[4] & 0x08, 0);
    b.reader.insert(make_card("t1"));
    r = b.transact(cmd(0x65));
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[4] & 0x08, 0x08);
    b.reader.remove();
    r = b.transact(cmd(0x65));
    EXPECT_EQ(r[4] & 0x08, 0);
}

TEST(ReaderCommands, ResetAnswersCardTypeAndAtrFromVersionFourOn) {
    {
        ReaderConfig c;
        c.slot0_card = "t1";
        Bench b(c);
        const Bytes d = b.power_on();
        ASSERT_FALSE(d.empty());
        EXPECT_EQ(d[0], 1); // processor card
        const Bytes atr(d.begin() + 1, d.end());
        auto info = parse_atr(atr);
        ASSERT_TRUE(info.has_value());
        EXPECT_TRUE(info->offers_t1);
        // A warm reset gives the same answer.
        EXPECT_EQ(data_of(b.transact(cmd(0x64))), d);
    }
    {
        ReaderConfig c;
        c.firmware = "0003";
        c.slot0_card = "t1";
        Bench b(c);
        const Bytes d = b.power_on();
        EXPECT_TRUE(parse_atr(d).has_value()) << "no card type byte before version 4";
    }
    for (const char* name : {"memory2", "memory3"}) {
        ReaderConfig c;
        c.slot0_card = name;
        {
            Bench b(c);
            const Bytes d = b.power_on();
            ASSERT_FALSE(d.empty());
            EXPECT_EQ(d[0], std::string(name) == "memory2" ? 2 : 3);
        }
        c.firmware = "0003";
        Bench old(c);
        EXPECT_TRUE(old.power_on().empty()) << "old firmware does not know memory cards";
    }
}

TEST(ReaderCommands, MuteCardAndEmptySlotAnswers) {
    ReaderConfig c;
    c.slot0_card = "mute";
    Bench b(c);
    Bytes r = b.transact(cmd(0x62));
    EXPECT_EQ(r, (Bytes{0x64, 0x00, 0x00, 0x00}));
    // Nothing was powered: a card command finds no card.
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01}))[0], 0x67);
    b.reader.remove();
    r = b.transact(cmd(0x62));
    EXPECT_EQ(r, (Bytes{0x67, 0x00, 0x00, 0x00}));
    EXPECT_EQ(b.transact(cmd(0x64)), (Bytes{0x67, 0x00, 0x00, 0x00}));
}

TEST(ReaderCommands, PowerOffSetParamsAndCardCommandsWithoutACard) {
    Bench b;
    EXPECT_EQ(b.transact(cmd(0x63)), (Bytes{0x62, 0x00, 0x00, 0x00}));
    EXPECT_EQ(b.transact(set_params(0x00, 3, 20, 0)), (Bytes{0x67, 0x00, 0x00, 0x00}));
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01}))[0], 0x67);
    EXPECT_EQ(b.transact(exchange(Bytes{0x01, 0x00, 0x00, 0x01}, 0, 0x6B))[0], 0x67);

    b.reader.insert(make_card("t0"));
    b.power_on();
    EXPECT_EQ(b.transact(set_params(0x00, 3, 20, 0)), (Bytes{0x62, 0x00, 0x00, 0x00}));
    EXPECT_EQ(b.transact(cmd(0x63)), (Bytes{0x62, 0x00, 0x00, 0x00}));
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01}))[0], 0x67)
        << "a powered-down card takes no commands";
}

TEST(ReaderCommands, MalformedCommandsAreRefusedWithAReason) {
    Bench b;
    EXPECT_EQ(b.transact(Bytes{0x70, 0x00, 0x00}), (Bytes{kReplyError, 0x01, 0x00, 0x00}));
    EXPECT_EQ(b.transact(Bytes{0x60, 0x00}), (Bytes{kReplyError, 0x02, 0x00, 0x00}));
    EXPECT_EQ(b.transact(Bytes{0x62, 0x00, 0x00, 0x00}), (Bytes{kReplyError, 0x02, 0x00, 0x00}));
    EXPECT_EQ(b.transact(cmd(0x62, 2)), (Bytes{kReplyError, 0x03, 0x00, 0x00}));
    // Announced body length disagrees with the body.
    EXPECT_EQ(b.transact(Bytes{0x67, 0x00, 0x00, 0x00, 0x05, 0x00}),
              (Bytes{kReplyError, 0x02, 0x00, 0x00}));
    EXPECT_EQ(b.transact(Bytes{0x61, 0x00, 0x00, 0x10}), (Bytes{kReplyError, 0x02, 0x00, 0x00}));
    // A memory card takes no card exchange.
    b.reader.insert(make_card("memory2"));
    b.power_on();
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xB0, 0x00, 0x00, 0x01})),
              (Bytes{kReplyError, 0x04, 0x00, 0x00}));
}

TEST(ReaderFraming, BadFramesGetTheNakFrameAndNoiseIsIgnored) {
    Bench b;
    const Bytes nak = {0x10, 0x02, 0x15, 0x15, 0x10, 0x03};
    Bytes f = frame(cmd(0x60));
    f[f.size() - 3] ^= 0x01; // check byte
    b.send_raw(f);
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.sink.rx, nak);

    b.sink.rx.clear();
    b.consumed = 0;
    b.send_raw(Bytes{0x10, 0x02, 0x60, 0x10, 0x41, 0x00, 0x10, 0x03}); // DLE then a data byte
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.sink.rx, nak);
    EXPECT_EQ(b.reader.naks_sent(), 2u);

    // Noise, DLE pairs and a stray DLE ETX before the frame start nothing.
    b.sink.rx.clear();
    b.consumed = 0;
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

TEST(ReaderFraming, PayloadDleBytesAreDoubledBothWays) {
    ReaderConfig c;
    c.slot0_card = "memory2";
    Bench b(c);
    b.power_on();
    // Read 16 bytes from 0x08: the data holds 0x10, the command body length is 4.
    const Bytes r = b.transact(exchange(Bytes{0x01, 0x00, 0x08, 0x10}, 0, 0x6B));
    const Bytes d = data_of(r);
    ASSERT_EQ(d.size(), 17u);
    EXPECT_EQ(d[0], 0x00);
    EXPECT_EQ(d[1 + 8], 0x10);
    // On the wire the 0x10 went out twice.
    std::size_t pairs = 0;
    for (std::size_t i = 2; i + 1 < b.sink.rx.size(); ++i)
        if (b.sink.rx[i] == 0x10 && b.sink.rx[i + 1] == 0x10)
            ++pairs, ++i;
    EXPECT_GE(pairs, 1u);
}

TEST(ReaderFraming, AFrameLeftUnfinishedIsDropped) {
    Bench b;
    const Bytes f = frame(cmd(0x60));
    b.send_raw(std::span(f).first(4));
    b.quiet(seconds(1));
    EXPECT_TRUE(b.sink.rx.empty());
    const Bytes r = b.transact(cmd(0x65));
    EXPECT_EQ(r[0], 0x61);
    EXPECT_EQ(b.reader.commands_received(), 1u);
}

TEST(ReaderTiming, TwentyByteReplyAt9600TakesItsLineTime) {
    ReaderConfig c;
    c.baud = 9600;
    c.slot0_card = "memory2";
    Bench b(c, 9600);
    b.power_on();
    b.sink.rx.clear();
    b.sink.times.clear();
    b.consumed = 0;
    // Ten bytes from 0x20: a payload of 15 bytes and a 20-byte frame.
    b.send(exchange(Bytes{0x01, 0x00, 0x20, 0x0A}, 0, 0x6B));
    auto d = b.wait_reply();
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(b.sink.rx.size(), 20u);
    const Ticks span = b.sink.times.back() - b.sink.times.front();
    const Ticks one = serial::SimLine::char_time(serial::LineFormat{9600});
    // 20 characters of 10 bits at 9600 bit/s: 20.83 ms from the first start bit to the last
    // stop bit.
    EXPECT_NEAR(static_cast<double>(span + one), 208333.0, 30.0);
}

TEST(ReaderTiming, ReplyComesAfterTheProcessingDelayAndCardTime) {
    ReaderConfig c;
    c.processing = milliseconds(40);
    Bench b(c);
    const Ticks start = b.k.now();
    b.send(cmd(0x65));
    ASSERT_TRUE(b.wait_reply().has_value());
    const Ticks took = b.sink.times.front() - start;
    const Ticks frame_out = serial::SimLine::char_time(serial::LineFormat{19200}) * 8;
    EXPECT_GE(took, milliseconds(40) + frame_out);
    EXPECT_LT(took, milliseconds(45) + frame_out);

    // A T=0 READ BINARY of 256 bytes keeps the card busy for 261 characters of 12 etu at
    // 372/3.571 MHz, about 0.33 s, on top of the processing delay.
    b.reader.insert(make_card("t0"));
    b.power_on();
    const Bytes sel = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
    b.card(sel);
    const Ticks t0 = b.k.now();
    const Bytes read = {0x00, 0xB0, 0x00, 0x00, 0x00};
    b.send(exchange(read));
    auto d = b.wait_reply();
    ASSERT_TRUE(d.has_value());
    const Ticks card_time = static_cast<Ticks>((5 + 1 + 256 + 2) * 12 * etu_ticks(372, 1));
    const Ticks arrived = b.sink.times[d->end - 1] - t0;
    EXPECT_GT(arrived, milliseconds(40) + card_time);
    EXPECT_LT(arrived, milliseconds(40) + card_time + milliseconds(250));
}

TEST(ReaderLink, SpeedChangeTakesEffectAfterTheAcceptingReply) {
    Bench b;
    const Bytes r = b.transact(exchange(Bytes{0x4C, 0x00, 0x03}, 0, 0x6B));
    EXPECT_EQ(data_of(r), Bytes{0x00});
    b.quiet(milliseconds(20));
    EXPECT_EQ(b.reader.baud(), 9600u);
    // The host still at 19200: the reader hears garbage and answers nothing sensible.
    b.send(cmd(0x65));
    auto junk = b.wait_reply(milliseconds(200));
    EXPECT_TRUE(!junk || junk->payload.empty() || junk->payload[0] != 0x61);
    b.line.host_set_format(serial::LineFormat{9600});
    b.sink.rx.clear();
    b.consumed = 0;
    b.quiet(milliseconds(600));
    b.sink.rx.clear();
    EXPECT_EQ(b.transact(cmd(0x65))[0], 0x61);
    // Every code maps to its speed.
    const std::uint32_t speeds[] = {38400, 19200, 9600, 4800, 2400, 1200};
    for (std::uint8_t code = 1; code <= 6; ++code) {
        b.transact(exchange(Bytes{0x4C, 0x00, code}, 0, 0x6B));
        b.quiet(milliseconds(100));
        EXPECT_EQ(b.reader.baud(), speeds[code - 1]);
        b.line.host_set_format(serial::LineFormat{speeds[code - 1]});
        b.quiet(milliseconds(600));
    }
}

TEST(ReaderLink, UnknownSpeedCodesAreRefused) {
    Bench b;
    for (std::uint8_t code : {std::uint8_t{0}, std::uint8_t{7}, std::uint8_t{0xFF}}) {
        EXPECT_EQ(data_of(b.transact(exchange(Bytes{0x4C, 0x00, code}, 0, 0x6B))), Bytes{0x01});
    }
    EXPECT_EQ(data_of(b.transact(exchange(Bytes{0x4C, 0x00}, 0, 0x6B))), Bytes{0x01});
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.reader.baud(), 19200u);
}

TEST(ReaderLines, DsrWhilePoweredCtsWhileACardIsInSlotZero) {
    Bench b;
    b.quiet(milliseconds(5));
    EXPECT_TRUE(b.sink.lines.dsr);
    EXPECT_FALSE(b.sink.lines.cts);
    b.reader.insert(make_card("t0"));
    b.quiet(milliseconds(5));
    EXPECT_TRUE(b.sink.lines.cts);
    b.reader.remove();
    b.quiet(milliseconds(5));
    EXPECT_FALSE(b.sink.lines.cts);
    b.reader.insert(make_card("t0"));
    b.reader.set_powered(false);
    b.quiet(milliseconds(5));
    EXPECT_FALSE(b.sink.lines.dsr);
    EXPECT_FALSE(b.sink.lines.cts);
    // Switched off, it hears nothing.
    b.send(cmd(0x65));
    EXPECT_FALSE(b.wait_reply(milliseconds(200)).has_value());
    b.reader.set_powered(true);
    b.quiet(milliseconds(5));
    EXPECT_TRUE(b.sink.lines.dsr);
    EXPECT_TRUE(b.sink.lines.cts);
}

TEST(ReaderSlots, SlotOneAlwaysHoldsItsOwnCard) {
    Bench b;
    const Bytes d = b.power_on(1);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d[0], 1);
    const Bytes sel = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    EXPECT_EQ(b.card(sel, 1), (Bytes{0x90, 0x00}));
    // Slot 0 is empty meanwhile.
    EXPECT_EQ(b.transact(exchange(sel))[0], 0x67);
    // Status shows slot 1 powered.
    EXPECT_EQ(b.transact(cmd(0x65))[4] & 0x0A, 0x02);
}

TEST(ReaderFirmware, OldFirmwareMishandlesLongLeButNotAFullPage) {
    const Bytes sel = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
    const Bytes ff = {0x00, 0xB0, 0x00, 0x00, 0xFF};
    const Bytes fe = {0x00, 0xB0, 0x00, 0x00, 0xFE};
    const Bytes full = {0x00, 0xB0, 0x00, 0x00, 0x00};
    for (std::string fw : {"0009", "0010"}) {
        ReaderConfig c;
        c.firmware = fw;
        c.slot0_card = "t0";
        Bench b(c);
        b.power_on();
        EXPECT_EQ(b.card(sel), (Bytes{0x90, 0x00}));
        EXPECT_EQ(b.card(ff), Bytes{0x00}) << "one byte only, no status word";
        EXPECT_TRUE(b.card(fe).empty());
        const Bytes page = b.card(full);
        ASSERT_EQ(page.size(), 258u);
        EXPECT_EQ(page[255], 0xFF);
        EXPECT_EQ(page[256], 0x90);
        EXPECT_EQ(page[257], 0x00);
    }
    ReaderConfig c;
    c.firmware = "0011";
    c.slot0_card = "t0";
    Bench b(c);
    b.power_on();
    b.card(sel);
    const Bytes r = b.card(ff);
    ASSERT_EQ(r.size(), 257u);
    EXPECT_EQ(r[254], 0xFE);
    EXPECT_EQ(r[255], 0x90);
    EXPECT_EQ(b.card(fe).size(), 256u);
}

TEST(ReaderFirmware, CommandsArrivingWhileTheCardWorksAreNotHeard) {
    ReaderConfig c;
    c.slot0_card = "t0";
    Bench b(c);
    b.power_on();
    // Slow echo: half a second of card work.
    const Bytes slow = {0x80, 0x10, 0x05, 0x00, 0x01, 0xAB};
    b.send(exchange(slow));
    b.quiet(milliseconds(50));
    b.send(cmd(0x65));
    auto first = b.wait_reply();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(data_of(first->payload), (Bytes{0x61, 0x01}));
    EXPECT_FALSE(b.wait_reply(milliseconds(300)).has_value());
}

} // namespace
} // namespace qkr::sim::test

namespace qkr::sim::test {
namespace {

// Well-framed nonsense of every shape: the firmware answers or stays quiet, never goes out of
// bounds, and keeps answering afterwards.
TEST(ReaderRobustness, ArbitraryCommandsNeverUpsetTheFirmware) {
    ReaderConfig c;
    c.slot0_card = "dual";
    Bench b(c);
    std::uint64_t state = 12345;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    };
    const std::uint8_t codes[] = {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x67, 0x6B, 0x00, 0xFF};
    std::size_t answered = 0;
    for (int i = 0; i < 400; ++i) {
        Bytes p = {codes[next() % 10], static_cast<std::uint8_t>(next() % 3), 0x00};
        const std::size_t extra = next() % 3 == 0 ? next() % 300 : next() % 12;
        for (std::size_t j = 0; j < extra; ++j)
            p.push_back(static_cast<std::uint8_t>(next()));
        if ((p[0] == 0x67 || p[0] == 0x6B) && p.size() >= 5 && next() % 2) {
            // Mostly a consistent length, so the body reaches the card.
            p[3] = static_cast<std::uint8_t>((p.size() - 5) >> 8);
            p[4] = static_cast<std::uint8_t>(p.size() - 5);
        }
        if (p[0] == 0x6B && p.size() > 5 && p[5] == 0x4C)
            p[5] = 0x4D; // keep the link at its speed
        b.send(p);
        if (b.wait_reply(seconds(30)))
            ++answered;
        b.consumed = b.sink.rx.size();
        if (i % 50 == 0)
            b.power_on();
    }
    EXPECT_GT(answered, 300u);
    b.quiet(seconds(5));
    b.consumed = b.sink.rx.size();
    EXPECT_EQ(b.transact(cmd(0x65))[0], 0x61);
}

} // namespace
} // namespace qkr::sim::test
