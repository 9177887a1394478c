// The reader's firmware seen from the port: commands and replies, framing, link speed and modem
// lines.
#include "bench.h"

#include "sim/atr.h"

#include <string>

namespace qkr::sim::test {
namespace {

const Bytes kPowerOff = {0x62, 0x00, 0x00, 0x00};

TEST(ReaderCommands, CardCommandsNeedAPoweredCardAndMalformedOnesAreRefusedWithAReason) {
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
    // Unknown code, wrong lengths (one a body length the body disagrees with), a slot beyond the
    // two, and a card exchange with a memory card.
    b.reader.insert(make_card("memory2"));
    b.power_on();
    // Each row: the command, then the reason byte its refusal carries.
    for (const Bytes& row : {Bytes{0x70, 0x00, 0x00, 0x01}, Bytes{0x60, 0x00, 0x02},
                             Bytes{0x62, 0x00, 0x00, 0x00, 0x02}, cmd(0x62, 2) + Bytes{0x03},
                             Bytes{0x61, 0x00, 0x00, 0x10, 0x02},
                             Bytes{0x67, 0x00, 0x00, 0x00, 0x05, 0x00, 0x02}, read + Bytes{0x04}})
        EXPECT_EQ(b.transact(Bytes(row.begin(), row.end() - 1)),
                  (Bytes{kReplyError, row.back(), 0x00, 0x00}));
}

// Framing, then the status bit and CTS following slot 0's card, DSR the reader's power (a reset
// answers the card type before the ATR from version 4 on, a warm one the same; slot 1 is always
// full), then the link speed.
TEST(ReaderLink, FramingModemLinesAndSpeedChange) {
    Bench b;
    Bytes f = frame(cmd(0x60));
    f[f.size() - 3] ^= 0x01; // check byte; then DLE and a data byte
    for (const Bytes& bad : {f, Bytes{0x10, 0x02, 0x60, 0x10, 0x41, 0x00, 0x10, 0x03}}) {
        b.clear_rx();
        b.send_raw(bad);
        b.quiet(milliseconds(50));
        EXPECT_EQ(b.rx, kNakFrame);
    }
    // A frame left unfinished is dropped after a while, without an answer; noise, DLE pairs and
    // a stray DLE ETX before the frame start nothing.
    b.clear_rx();
    b.send_raw(Bytes{0x10, 0x02, 0x60, 0x00}); // a frame's first four bytes
    b.quiet(seconds(1));
    EXPECT_TRUE(b.rx.empty());
    b.send_raw(Bytes{0x55, 0xAA, 0x10, 0x10, 0x02, 0x10, 0x03, 0x00} + frame(cmd(0x65)));
    auto reply = b.wait_reply(milliseconds(100));
    EXPECT_TRUE(reply && reply->ok && reply->payload[0] == 0x61);
    EXPECT_EQ(b.reader.commands_received(), 1u);
    auto card = [&] {
        b.quiet(milliseconds(5));
        return (data_of(b.transact(cmd(0x65))).at(0) & 0x08) + b.lines.dsr * 2 + b.lines.cts;
    };
    EXPECT_EQ(card(), 2);
    b.reader.insert(make_card("t1"));
    EXPECT_EQ(card(), 0x08 + 3);
    const Bytes d = b.power_on();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d[0], 1);
    EXPECT_TRUE(parse_atr(Bytes(d.begin() + 1, d.end())).has_value());
    EXPECT_EQ(data_of(b.transact(cmd(0x64))), d);
    b.reader.set_powered(false);
    b.quiet(milliseconds(5));
    EXPECT_FALSE(b.lines.dsr || b.lines.cts);
    b.send(cmd(0x65));
    EXPECT_FALSE(b.wait_reply(milliseconds(200)).has_value()) << "switched off, it hears nothing";
    b.reader.set_powered(true);
    EXPECT_EQ(card(), 0x08 + 3);
    b.reader.remove();
    EXPECT_EQ(card(), 2);
    EXPECT_EQ(b.power_on(1).at(0), 1);
    EXPECT_EQ(b.card(kSelectMf, 1), kSw9000);
    EXPECT_EQ(b.transact(exchange(kSelectMf))[0], 0x67) << "slot 0 is empty meanwhile";
    EXPECT_EQ(b.transact(cmd(0x65))[4] & 0x0A, 0x02) << "status shows slot 1 powered";
    // Every code maps to its speed; other codes, or none, are refused and change nothing.
    const std::uint32_t speeds[] = {38400, 19200, 9600, 4800, 2400, 1200};
    for (std::uint8_t code = 1; code <= 6; ++code) {
        b.clear_rx();
        EXPECT_EQ(b.set_speed(code), Bytes{0x00});
        b.quiet(milliseconds(100));
        EXPECT_EQ(b.reader.baud(), speeds[code - 1]);
        b.line.host_set_format(serial::LineFormat{b.reader.baud()});
        b.quiet(milliseconds(600));
    }
    for (const Bytes& refused : {Bytes{0x4C, 0x00, 0x00}, Bytes{0x4C, 0x00, 0x07},
                                 Bytes{0x4C, 0x00, 0xFF}, Bytes{0x4C, 0x00}})
        EXPECT_EQ(b.memory(refused), Bytes{0x01}) << testing::PrintToString(refused);
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.reader.baud(), 1200u);
}

// The type reply names the version; before version 4 a reset answers the ATR alone, and memory
// cards are unknown.
TEST(ReaderFirmware, OldFirmwareMishandlesLongLeButNotAFullPageAndIsDeafWhileTheCardWorks) {
    for (const char* name : {"t1", "memory2"}) {
        Bench old({.firmware = "0003", .slot0_card = name});
        EXPECT_EQ(parse_atr(old.power_on()).has_value(), std::string(name) == "t1") << name;
    }
    for (std::string fw : {"0009", "0010", "0011"}) {
        const bool old = fw != "0011";
        Bench b({.firmware = fw, .slot0_card = "t0"});
        const std::string type = "BRIMVEL QK41" + fw;
        EXPECT_EQ(b.transact(cmd(0x60)),
                  (Bytes{0x60, 0x00, 0x00, 0x10} + Bytes(type.begin(), type.end())));
        b.power_on();
        EXPECT_EQ(b.card(kSelect5001), kSw9000);
        const Bytes r = b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0xFF});
        ASSERT_EQ(r.size(), old ? 1u : 257u) << "old: one byte only, no status word";
        EXPECT_EQ(Bytes(r.end() - (old ? 1 : 3), r.end()),
                  old ? Bytes{0x00} : (Bytes{0xFE, 0x90, 0x00}));
        EXPECT_EQ(b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0xFE}).size(), old ? 0u : 256u);
        const Bytes page = b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00});
        EXPECT_EQ(page.size(), 258u);
        EXPECT_EQ(Bytes(page.end() - 3, page.end()), (Bytes{0xFF, 0x90, 0x00}));
    }
    Bench b({.slot0_card = "t0"});
    b.power_on();
    b.send(exchange(Bytes{0x80, 0x10, 0x05, 0x00, 0x01, 0xAB})); // half a second of card work
    b.quiet(milliseconds(50));
    b.send(cmd(0x65));
    auto first = b.wait_reply();
    EXPECT_EQ(first.value_or(Decoded{}).payload, (Bytes{0x64, 0x00, 0x00, 0x02, 0x61, 0x01}));
    EXPECT_FALSE(b.wait_reply(milliseconds(300)).has_value());
}

} // namespace
} // namespace qkr::sim::test
