// The built-in cards through the reader: their ATRs, T=0 with its procedure bytes, T=1 with
// chaining, IFS, waiting-time extensions and error recovery, PTS, conventions, memory cards, and
// the file system application.
#include "bench.h"

#include "sim/atr.h"
#include "sim/file_system.h"

#include <functional>

namespace qkr::sim::test {
namespace {

// One command and its answer, run in order: `want` ends the answer, which has `size` bytes (0:
// the answer is `want` exactly).
struct Step {
    Bytes command, want;
    std::size_t size = 0;
};
void run_steps(const std::function<Bytes(const Bytes&)>& run, std::initializer_list<Step> steps) {
    for (const Step& s : steps) {
        const Bytes r = run(s.command);
        EXPECT_EQ(r.size(), s.size ? s.size : s.want.size()) << testing::PrintToString(s.command);
        EXPECT_EQ(Bytes(r.end() - long(std::min(s.want.size(), r.size())), r.end()), s.want)
            << testing::PrintToString(s.command);
    }
}
Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end()) + kSw9000;
}

TEST(CardAtrs, EveryBuiltInCardAnswersAValidAtrWithItsOwnTraits) {
    for (const auto& name : card_names()) {
        SCOPED_TRACE(name);
        Bench b({.slot0_card = name});
        const Bytes d = b.power_on();
        if (name == "mute") {
            EXPECT_TRUE(d.empty());
            continue;
        }
        ASSERT_GE(d.size(), 3u);
        const Bytes atr(d.begin() + 1, d.end());
        const auto info = parse_atr(atr);
        ASSERT_TRUE(info.has_value()) << "malformed ATR or wrong TCK";
        EXPECT_TRUE(!info->offers_t1 || info->tck_present);
        const bool t1_only = name == "t1" || name == "t1-crc" || name == "wtx";
        if (t1_only || name == "dual" || name == "t0" || name == "specific" || name == "inverse") {
            EXPECT_EQ(info->offers_t0, !t1_only);
            EXPECT_EQ(info->offers_t1, t1_only || name == "dual");
        }
        EXPECT_TRUE(!t1_only || (info->ifsc == 32u && info->crc == (name == "t1-crc")));
        EXPECT_EQ(info->specific, name == "specific");
        EXPECT_EQ(atr[0], name == "inverse" ? 0x3F : 0x3B);
        EXPECT_EQ(d[0], name == "memory2" ? 2 : name == "memory3" ? 3 : 1);
    }
    // The check above leans on the parser refusing what is broken.
    Bytes atr = build_atr({.t1 = true});
    ASSERT_TRUE(parse_atr(atr).has_value());
    Bytes wrong_tck = atr;
    wrong_tck.back() ^= 1;
    for (const Bytes& bad : {wrong_tck, Bytes(atr.begin(), atr.end() - 1), Bytes{0x3B},
                             Bytes{0x3C, 0x00}, Bytes{0x3B, 0x12, 0x11}})
        EXPECT_FALSE(parse_atr(bad).has_value()) << testing::PrintToString(bad);
}

TEST(T0Card, ProcedureBytesWrongLeGetResponseAndNullBytes) {
    Bench b({.slot0_card = "t0"});
    b.power_on();
    run_steps([&](const Bytes& c) { return b.card(c); },
              {
                  {{0x00, 0x20, 0x00, 0x01, 0x00}, {0x63, 0xC3}}, // case 1: the tries left
                  {kSelect5001, kSw9000},
                  {{0x00, 0xB0, 0x00, 0x10, 0x10},
                   {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C,
                    0x1D, 0x1E, 0x1F, 0x90, 0x00}},
                  // Case 2 with a wrong Le gets 6C and the right length.
                  {{0x00, 0xA4, 0x00, 0x04, 0x00}, {0x6C, 0x09}},
                  {{0x00, 0xA4, 0x00, 0x04, 0x09}, kSw9000, 11},
                  {{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00}, kSw9000},
                  {{0x00, 0xB0, 0x00, 0x00, 0x40}, {0x6C, 0x20}},
                  {{0x00, 0xB0, 0x00, 0x00, 0x20}, text("QKR SIM CARD 0001 EF2F00 CONTENT")},
                  // Case 4: 61 xx, and GET RESPONSE corrected when too long, in parts when short.
                  {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x01}, {0x61, 0x0D}},
                  {{0x00, 0xC0, 0x00, 0x00, 0x0E}, {0x6C, 0x0D}},
                  {{0x00, 0xC0, 0x00, 0x00, 0x04}, {0x62, 0x0B, 0x82, 0x01, 0x61, 0x09}},
                  {{0x00, 0xC0, 0x00, 0x00, 0x09},
                   {0x01, 0x83, 0x02, 0x50, 0x01, 0x80, 0x02, 0x02, 0x00, 0x90, 0x00}},
                  {{0x00, 0xC0, 0x00, 0x00, 0x01}, {0x69, 0x85}}, // nothing left
                  // Data goes in byte by byte and comes back.
                  {{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x03}, kSw9000},
                  {{0x00, 0xD6, 0x00, 0x04, 0x05, 1, 2, 3, 4, 5}, kSw9000},
                  {{0x00, 0xB0, 0x00, 0x03, 0x07}, {0, 1, 2, 3, 4, 5, 0, 0x90, 0x00}},
              });
    // A body whose length disagrees with P3 never reaches the card.
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xD6, 0x00, 0x00, 0x03, 1}))[0], kReplyError);
    // Three seconds of work against a waiting time of about one second.
    const Ticks start = b.k.now();
    EXPECT_EQ(b.card(Bytes{0x80, 0x10, 0x1E, 0x00, 0x02, 0xCA, 0xFE}), (Bytes{0x61, 0x02}));
    EXPECT_GT(b.k.now() - start, seconds(3));
    EXPECT_EQ(b.card(Bytes{0x00, 0xC0, 0x00, 0x00, 0x02}), (Bytes{0xCA, 0xFE, 0x90, 0x00}));
    // Waiting-time byte 1: 960 etu, less than the card's half-second NULL interval.
    EXPECT_EQ(b.transact(set_params(0x00, 3, 1, 0))[0], 0x62);
    EXPECT_TRUE(b.card(Bytes{0x80, 0x10, 0x0A, 0x00, 0x01, 0x01}).empty());
}

// T=1 from the host's side, written out here independently of the card's engine.
class T1Card : public ::testing::Test {
  protected:
    void start(const char* name, bool crc = false, std::uint8_t bw = 0x45) {
        crc_ = crc;
        b.reader.insert(make_card(name));
        b.power_on();
        EXPECT_EQ(b.transact(set_params(std::uint8_t(0x10 | crc), 0, 0, bw))[0], 0x62);
    }
    Bytes block(std::uint8_t pcb, std::span<const std::uint8_t> inf = {}) const {
        return t1_block(pcb, inf, crc_);
    }
    Bytes send(const Bytes& blk) { return b.card(blk); }
    // Sends an APDU chained by 32 bytes, collects the answer acknowledging the card's chain, and
    // counts the blocks each way.
    Bytes transmit(const Bytes& apdu) {
        Bytes reply, out;
        sent = got = 0;
        for (std::size_t off = 0; off < apdu.size() || sent == 0;) {
            const std::size_t n = std::min<std::size_t>(32, apdu.size() - off);
            const bool more = off + n < apdu.size();
            reply = send(
                block(std::uint8_t(ns << 6 | (more ? 0x20 : 0)), std::span(apdu).subspan(off, n)));
            ++sent, ns ^= 1, off += n;
            EXPECT_TRUE(!more || reply == block(std::uint8_t(0x80 | ns << 4)))
                << "no acknowledgement";
        }
        for (;; reply = send(block(std::uint8_t(0x80 | nr << 4)))) {
            const bool i_block = reply.size() >= 4u + reply.at(2) && !(reply[1] & 0x80);
            EXPECT_TRUE(i_block) << testing::PrintToString(reply);
            if (!i_block)
                return out;
            EXPECT_EQ(reply, t1_block(reply[1], std::span(reply).subspan(3, reply[2]), crc_));
            EXPECT_EQ(reply[1] >> 6, nr) << "the card's sequence number";
            nr ^= 1, ++got;
            out.insert(out.end(), reply.begin() + 3, reply.begin() + 3 + reply[2]);
            if (!(reply[1] & 0x20))
                return out;
        }
    }
    Bench b;
    bool crc_ = false;
    std::uint8_t ns = 0, nr = 0;
    std::size_t sent = 0, got = 0;
};

TEST_F(T1Card, IfsNegotiationAndChainingBothWays) {
    start("t1");
    // Slow echo of 255 bytes with Le 00: 4 + 1 + 255 + 1 = 261 bytes out, 257 back.
    Bytes apdu = {0x80, 0x10, 0x00, 0x00, 0xFF};
    for (int i = 0; i < 256; ++i)
        apdu.push_back(std::uint8_t(i < 255 ? i * 7 : 0));
    const Bytes r = transmit(apdu);
    EXPECT_EQ(sent, 9u); // 8 x 32 + 5
    EXPECT_EQ(r, Bytes(apdu.begin() + 5, apdu.end() - 1) + kSw9000);
    EXPECT_EQ(got, 9u) << "the card chains by the reader's default IFSD of 32";
    // After IFS 254 the card answers in two blocks.
    EXPECT_EQ(send(block(0xC1, Bytes{0xFE})), block(0xE1, Bytes{0xFE}));
    EXPECT_EQ(transmit(apdu), r);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(send(block(0x00, Bytes(33, 0x00))), block(0x82)) << "longer than the IFSC";
}

TEST_F(T1Card, ErrorRecoveryAbortAndResynch) {
    start("t1");
    const Bytes apdu = {0x00, 0x84, 0x00, 0x00, 0x08};
    Bytes bad = block(0x00, apdu), lying = bad;
    bad.back() ^= 0xFF;
    lying[2] = 9;
    EXPECT_EQ(send(bad), block(0x81)) << "a bad LRC: EDC error, expecting N(S) 0";
    EXPECT_EQ(send(lying), block(0x82)) << "a lying length byte: other error";
    // The answer; the host says it lost it (R with N(R) 0) and gets it again; a repeat of the
    // command block (old N(S)) is not run twice.
    const Bytes answer = send(block(0x00, apdu));
    ASSERT_EQ(answer.size(), 3u + 10 + 1);
    EXPECT_EQ(answer[1], 0x00);
    EXPECT_EQ(send(block(0x80)), answer);
    EXPECT_EQ(send(block(0x00, apdu)), answer);
    // RESYNCH: back to sequence numbers 0, and a new challenge.
    EXPECT_EQ(send(block(0xC0)), block(0xE0));
    const Bytes fresh = send(block(0x00, apdu));
    EXPECT_EQ(fresh[1], 0x00);
    EXPECT_NE(fresh, answer);
    // ABORT drops a command chain; the next command starts afresh, its N(S) continuing.
    EXPECT_EQ(send(block(0x60, Bytes(32, 0x11))), block(0x80));
    EXPECT_EQ(send(block(0xC2)), block(0xE2));
    EXPECT_EQ(send(block(0x00, kSelectMf)), block(0x40, kSw9000));
}

TEST_F(T1Card, CrcCardChecksTheCrcAndAReaderSetToLrcCutsItsBlocksShort) {
    start("t1-crc", true);
    EXPECT_EQ(transmit(kSelectMf), kSw9000);
    EXPECT_EQ(send(t1_block(0x40, kSelectMf, false)), block(0x92)) << "an LRC block";
    // The CRC is the ISO/IEC 13239 one: check value of "123456789".
    EXPECT_EQ(t1_epilogue(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, true),
              (Bytes{0x6E, 0x90}));
    EXPECT_EQ(b.transact(set_params(0x10, 0, 0, 0x45))[0], 0x62);
    EXPECT_EQ(send(block(0x40, kSelectMf)).size(), 3u + 2 + 1) << "set to LRC: cut short";
}

TEST_F(T1Card, WaitingTimeExtensionOnlyWhenTheReaderIsTold) {
    start("wtx", false, 0x15);
    const Bytes apdu = {0x00, 0x84, 0x00, 0x00, 0x04};
    const Bytes req = send(block(0x00, apdu));
    ASSERT_EQ(req.size(), 5u);
    EXPECT_EQ(req[1], 0xC3);
    const std::uint8_t m = req[3];
    EXPECT_GE(m, 2);
    EXPECT_EQ(b.transact(set_params(0x04, 0, 0, 0, m))[0], 0x62);
    const Bytes r = send(block(0xE3, Bytes{m}));
    ASSERT_EQ(r.size(), 3u + 6 + 1);
    EXPECT_EQ(r[1], 0x00);
    // Untold, the reader gives up after one block waiting time.
    const Bytes req2 = send(block(0x40, apdu));
    ASSERT_EQ(req2[1], 0xC3);
    EXPECT_TRUE(send(block(0xE3, Bytes{req2[3]})).empty());
}

// Reads a 256-byte page of EF 5001 and returns how long it took.
Ticks page_time(Bench& b) {
    b.card(kSelect5001);
    const Ticks start = b.k.now();
    EXPECT_EQ(b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}).size(), 258u);
    return b.k.now() - start;
}

TEST(CardPts, AnswersByCardAndRequestAndTheClockSpeedsUp) {
    Bench b({.slot0_card = "t1"});
    b.power_on();
    EXPECT_EQ(b.card(Bytes{0xFF, 0x11, 0x16, 0xF8}), (Bytes{0xFF, 0x01, 0xFE})) << "Di 32: T only";
    b.power_on();
    EXPECT_TRUE(b.card(Bytes{0xFF, 0x10, 0x11, 0xEE}).empty()) << "T=0 not offered: no answer";
    b.reader.remove();
    b.reader.insert(make_card("dual"));
    b.power_on();
    const Ticks normal = page_time(b);
    b.power_on();
    EXPECT_EQ(b.card(Bytes{0xFF, 0x10, 0x13, 0xFC}), (Bytes{0xFF, 0x10, 0x13, 0xFC}));
    EXPECT_EQ(b.transact(set_params(0x00, 3, 50, 0))[0], 0x62);
    // The card's 264 characters: 12 etu at D = 1 before, 12 + 3 (guard time N = 3) etu at D = 4
    // after; the reply's time on the line stays the same.
    EXPECT_NEAR(static_cast<double>(normal - page_time(b)),
                264 * (12 - 15 / 4.0) * etu_ticks(372, 1), static_cast<double>(milliseconds(5)));
    b.power_on();
    EXPECT_EQ(b.card(Bytes{0xFF, 0x11, 0x13, 0xFD}), (Bytes{0xFF, 0x11, 0x13, 0xFD}));
    EXPECT_EQ(b.transact(set_params(0x10, 0, 0, 0x45))[0], 0x62);
    EXPECT_EQ(b.card(t1_block(0x00, kSelectMf)), t1_block(0x00, kSw9000)) << "now under T=1";
}

TEST(CardPts, SpecificModeAndInverseCardsNeedNoPtsButTheirOwnSettings) {
    Bench b({.slot0_card = "specific"});
    b.power_on();
    // FF ... is taken for a T=0 command and refused by the reader.
    EXPECT_EQ(b.transact(exchange(Bytes{0xFF, 0x10, 0x13, 0xFC}))[0], kReplyError);
    // 264 characters at D = 4 (82 ms) and 268 bytes at 19200 bit/s (140 ms), not the 330 ms of
    // card time at D = 1.
    EXPECT_LT(page_time(b), milliseconds(300));
    // The inverse convention card needs the reader's inverse flag.
    b.reader.remove();
    b.reader.insert(make_card("inverse"));
    EXPECT_EQ(b.power_on().at(1), 0x3F);
    EXPECT_EQ(b.transact(set_params(0x02, 3, 20, 0))[0], 0x62);
    EXPECT_EQ(b.card(kSelect5001), kSw9000);
    // Told the card talks direct convention, the reader garbles every character.
    EXPECT_EQ(b.transact(set_params(0x00, 3, 20, 0))[0], 0x62);
    EXPECT_NE(b.card(kSelect5001), kSw9000);
}

TEST(MemoryCards, ReadWriteAndSecretCode) {
    for (const char* name : {"memory2", "memory3"}) {
        SCOPED_TRACE(name);
        const bool two = std::string(name) == "memory2";
        Bench b({.slot0_card = name});
        EXPECT_EQ(b.transact(exchange(Bytes{0x01, 0x00, 0x00, 0x04}, 0, 0x6B)), kNoCard)
            << "not powered yet";
        b.power_on();
        // The secret code has three bytes on one, two on the other.
        const Bytes wrong = two ? Bytes{0x03, 0x12, 0x34, 0x56} : Bytes{0x03, 0x12, 0x34};
        const Bytes right = two ? Bytes{0x03, 0xFF, 0xFF, 0xFF} : Bytes{0x03, 0xFF, 0xFF};
        EXPECT_EQ(b.memory({0x01, 0x00, 0xFF, 0x02}).at(0), two ? 0x03 : 0x00);
        run_steps([&](const Bytes& c) { return b.memory(c); },
                  {
                      {{0x01, 0x00, 0x40, 0x02},
                       two ? Bytes{0x00, 0x40, 0x41} : Bytes{0x00, 0x40 ^ 0xA5, 0x41 ^ 0xA5}},
                      {{0x02, 0x00, 0x00, 0xAA}, {0x04}}, // locked
                      {wrong, {0x05}},
                      {{0x04}, {0x00, 0x02}},
                      {right, {0x00}},
                      {{0x04}, {0x00, 0x03}},
                      {{0x02, 0x00, 0x00, 0xAA, 0xBB}, {0x00}},
                      {{0x01, 0x00, 0x00, 0x02}, {0x00, 0xAA, 0xBB}},
                      {{0x7F}, {0x07}},
                      {{0x01, 0x00}, {0x01}},
                  });
    }
    Bench b({.slot0_card = "t0"});
    b.power_on();
    EXPECT_EQ(b.memory(Bytes{0x01, 0x00, 0x00, 0x01}), Bytes{0x02}) << "a processor card";
}

TEST(FileSystem, SelectReadUpdateVerifyAndEverySelectForm) {
    FileSystemApp app;
    const Bytes verify = {0x00, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'};
    const Bytes update = {0x00, 0xD6, 0x00, 0x00, 0x01, 0x55};
    auto run = [&](const Bytes& c) { return app.execute(c); };
    run_steps(run,
              {
                  {{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34}, {0x6A, 0x82}},
                  {{0x00, 0xB0, 0x00, 0x00, 0x01}, {0x69, 0x86}}, // no EF selected
                  {{0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00, 0x00, 0x00, 0x51, 0x4B, 0x52, 0x01},
                   kSw9000},
                  {kSelect5001, kSw9000},
                  // 256 bytes from 0x100; past the end 62 82 with what there is.
                  {{0x00, 0xB0, 0x01, 0x00, 0x00}, {0xFF, 0x90, 0x00}, 258},
                  {{0x00, 0xB0, 0x01, 0xF0, 0x20}, {0xFF, 0x62, 0x82}, 18},
                  {{0x00, 0xB0, 0x02, 0x00, 0x01}, {0x6B, 0x00}},
                  // EF 5002 needs the PIN for updates.
                  {{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x02}, kSw9000},
                  {update, {0x69, 0x82}},
                  {{0x00, 0x20, 0x00, 0x01, 0x04, '0', '0', '0', '0'}, {0x63, 0xC2}},
                  {verify, kSw9000},
                  {update, kSw9000},
                  {{0x00, 0xB0, 0x00, 0x00, 0x01}, {0x55, 0x90, 0x00}},
                  // Classes and instructions it does not know, and bad lengths.
                  {{0xA0, 0xA4, 0x00, 0x00}, {0x6E, 0x00}},
                  {{0x00, 0x12, 0x00, 0x00}, {0x6D, 0x00}},
                  {{0x00, 0xA4, 0x00, 0x0C, 0x05, 0x3F}, {0x67, 0x00}},
                  {{0x00, 0xA4}, {0x67, 0x00}},
              });
    EXPECT_EQ(app.pin_tries(), 3);
    app.reset();
    // A reset forgets the PIN; the retry counter counts down and blocks.
    run_steps(run, {
                       {{0x00, 0x20, 0x00, 0x01}, {0x63, 0xC3}},
                       {{0x00, 0x20, 0x00, 0x01, 0x01, 'x'}, {0x63, 0xC2}},
                       {{0x00, 0x20, 0x00, 0x01, 0x01, 'x'}, {0x63, 0xC1}},
                       {{0x00, 0x20, 0x00, 0x01, 0x01, 'x'}, {0x63, 0xC0}},
                       {verify, {0x69, 0x83}},
                   });
    app.reset();
    // Each row runs after the one before it: a path from the current DF starts where the last
    // SELECT left off. `fid` is the file the answer's FCP names (0: no FCP expected).
    const std::tuple<Bytes, std::uint16_t, std::uint16_t> rows[] = {
        {{0x00, 0xA4, 0x08, 0x04, 0x04, 0x50, 0x00, 0x50, 0x01, 0x00}, 0x9000, 0x5001},
        {{0x00, 0xA4, 0x08, 0x00, 0x06, 0x3F, 0x00, 0x50, 0x00, 0x50, 0x03, 0x00}, 0x9000, 0x5003},
        {{0x00, 0xA4, 0x09, 0x04, 0x02, 0x50, 0x02, 0x00}, 0x9000, 0x5002},
        {{0x00, 0xA4, 0x09, 0x0C, 0x02, 0x2F, 0x00}, 0x6A82, 0},
        {{0x00, 0xA4, 0x09, 0x0C, 0x02, 0x50, 0x03}, 0x9000, 0},
        {{0x00, 0xA4, 0x03, 0x04, 0x00}, 0x9000, 0x3F00},
        {{0x00, 0xA4, 0x01, 0x04, 0x02, 0x50, 0x00, 0x00}, 0x9000, 0x5000},
        {{0x00, 0xA4, 0x01, 0x0C, 0x02, 0x50, 0x01}, 0x6A82, 0},
        {{0x00, 0xA4, 0x02, 0x04, 0x02, 0x50, 0x01, 0x00}, 0x9000, 0x5001},
        {{0x00, 0xA4, 0x00, 0x04, 0x00}, 0x9000, 0x3F00},
        {{0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0x00, 0x00, 0x00, 0x51, 0x00}, 0x9000, 0x5000},
        {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00, 0x00}, 0x9000, 0x2F00},
        {{0x00, 0xA4, 0x08, 0x0C, 0x06, 0x50, 0x00, 0x50, 0x01, 0x50, 0x02}, 0x6A82, 0},
        {{0x00, 0xA4, 0x08, 0x0C, 0x03, 0x50, 0x00, 0x50}, 0x6700, 0},
        {{0x00, 0xA4, 0x05, 0x0C, 0x02, 0x3F, 0x00}, 0x6A86, 0},
        {{0x00, 0xA4, 0x00, 0x08, 0x02, 0x3F, 0x00}, 0x6A86, 0},
    };
    for (const auto& [command, sw, fid] : rows) {
        const Bytes r = app.execute(command);
        SCOPED_TRACE(testing::PrintToString(command));
        ASSERT_GE(r.size(), 2u);
        EXPECT_EQ(r[r.size() - 2] << 8 | r.back(), sw);
        EXPECT_EQ(r.size() == 2 ? 0 : r.at(7) << 8 | r.at(8), fid);
        EXPECT_TRUE(r.size() == 2 || r[0] == 0x62);
    }
    // The selected EF is the one READ BINARY reads, at an offset; by short EF identifier (P1 80 |
    // SFI, offset in P2) it selects the EF (5003 is SFI 3); the listing names the current DF's
    // children (here 5000's EFs, and none of them a DF).
    run_steps(
        run, {
                 {{0x00, 0xA4, 0x08, 0x0C, 0x04, 0x50, 0x00, 0x50, 0x01}, kSw9000},
                 {{0x00, 0xB0, 0x01, 0x02, 0x02}, {0x02, 0x03, 0x90, 0x00}},
                 {{0x00, 0xD6, 0x83, 0x01, 0x01, 0xAA}, kSw9000},
                 {{0x00, 0xB0, 0x00, 0x00, 0x02}, {0x00, 0xAA, 0x90, 0x00}},
                 {{0x00, 0xB0, 0x89, 0x00, 0x01}, {0x6A, 0x82}},
                 {{0x80, 0xAA, 0x02, 0x00, 0x00}, {0x50, 0x01, 0x50, 0x02, 0x50, 0x03, 0x90, 0x00}},
                 {{0x80, 0xAA, 0x01, 0x00, 0x00}, kSw9000},
             });
}

} // namespace
} // namespace qkr::sim::test
