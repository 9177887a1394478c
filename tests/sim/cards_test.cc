// The built-in cards through the reader: their ATRs, T=0 with its procedure bytes, T=1 with
// chaining, IFS, waiting-time extensions and error recovery, PTS, conventions, memory cards, and
// the file system application.
#include "bench.h"

#include "sim/atr.h"
#include "sim/file_system.h"

#include <numeric>

namespace qkr::sim::test {
namespace {

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
        if (t1_only) {
            EXPECT_EQ(info->ifsc, 32u);
            EXPECT_EQ(info->crc, name == "t1-crc");
        }
        EXPECT_EQ(info->specific, name == "specific");
        EXPECT_EQ(atr[0], name == "inverse" ? 0x3F : 0x3B);
        EXPECT_EQ(d[0], name == "memory2" ? 2 : name == "memory3" ? 3 : 1);
    }
    EXPECT_EQ(make_card("nonsense"), nullptr);
}

TEST(CardAtrs, ParserRefusesBrokenAtrs) {
    AtrShape shape;
    shape.t1 = true;
    Bytes atr = build_atr(shape);
    ASSERT_TRUE(parse_atr(atr).has_value());
    atr.back() ^= 0x01;
    EXPECT_FALSE(parse_atr(atr).has_value()) << "wrong TCK";
    atr.back() ^= 0x01;
    atr.pop_back();
    EXPECT_FALSE(parse_atr(atr).has_value()) << "TCK missing";
    EXPECT_FALSE(parse_atr(Bytes{0x3B}).has_value());
    EXPECT_FALSE(parse_atr(Bytes{0x3C, 0x00}).has_value());
    EXPECT_FALSE(parse_atr(Bytes{0x3B, 0x12, 0x11}).has_value()) << "historical bytes missing";
}

class T0Card : public ::testing::Test {
  protected:
    void SetUp() override {
        b.reader.insert(make_card("t0"));
        b.power_on();
    }
    Bench b;
};

TEST_F(T0Card, CaseOneAndTwoCommands) {
    // Case 1: VERIFY without data asks for the tries left.
    EXPECT_EQ(b.card(Bytes{0x00, 0x20, 0x00, 0x01, 0x00}), (Bytes{0x63, 0xC3}));
    EXPECT_EQ(b.card(kSelect5001), kSw9000);
    // Case 2: READ BINARY of 16 bytes at 0x10: the data then 90 00, the ACK stays in the reader.
    const Bytes r = b.card(Bytes{0x00, 0xB0, 0x00, 0x10, 0x10});
    ASSERT_EQ(r.size(), 18u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(r[i], 0x10 + i);
    EXPECT_EQ(tail(r, 2), kSw9000);
}

TEST_F(T0Card, WrongLeGets6CWithTheRightLength) {
    // SELECT of the MF without data is case 2: its FCP has 9 bytes.
    EXPECT_EQ(b.card(Bytes{0x00, 0xA4, 0x00, 0x04, 0x00}), (Bytes{0x6C, 0x09}));
    EXPECT_EQ(b.card(Bytes{0x00, 0xA4, 0x00, 0x04, 0x09}).size(), 11u);
    EXPECT_EQ(b.card(Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00}), kSw9000);
    // EF 2F00 has 32 bytes; asking 0x40 from offset 0 is answered 6C 20.
    EXPECT_EQ(b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x40}), (Bytes{0x6C, 0x20}));
    const Bytes r = b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x20});
    EXPECT_EQ(std::string(r.begin(), r.end() - 2), "QKR SIM CARD 0001 EF2F00 CONTENT");
}

TEST_F(T0Card, CaseFourAnswers61AndGetResponseFetches) {
    const Bytes sel = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x01};
    const Bytes r = b.card(sel);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], 0x61);
    const std::uint8_t n = r[1];
    // Too long a GET RESPONSE is corrected, a short one leaves the rest.
    EXPECT_EQ(b.card(Bytes{0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(n + 1)}),
              (Bytes{0x6C, n}));
    Bytes part = b.card(Bytes{0x00, 0xC0, 0x00, 0x00, 0x04});
    ASSERT_EQ(part.size(), 6u);
    EXPECT_EQ(part[0], 0x62);
    EXPECT_EQ(tail(part, 2), (Bytes{0x61, static_cast<std::uint8_t>(n - 4)}));
    const Bytes rest = b.card(Bytes{0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(n - 4)});
    EXPECT_EQ(tail(rest, 2), kSw9000);
    Bytes fcp(part.begin(), part.end() - 2);
    fcp.insert(fcp.end(), rest.begin(), rest.end() - 2);
    // FCP: file 5001, 512 bytes.
    EXPECT_EQ(
        fcp, (Bytes{0x62, 0x0B, 0x82, 0x01, 0x01, 0x83, 0x02, 0x50, 0x01, 0x80, 0x02, 0x02, 0x00}));
    // Nothing left: GET RESPONSE goes to the application, which has nothing either.
    EXPECT_EQ(b.card(Bytes{0x00, 0xC0, 0x00, 0x00, 0x01}), (Bytes{0x69, 0x85}));
}

TEST_F(T0Card, DataGoesInByteByByteAndComesBack) {
    EXPECT_EQ(b.card(Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x03}), kSw9000);
    Bytes update = {0x00, 0xD6, 0x00, 0x04, 0x05, 1, 2, 3, 4, 5};
    EXPECT_EQ(b.card(update), kSw9000);
    EXPECT_EQ(b.card(Bytes{0x00, 0xB0, 0x00, 0x03, 0x07}),
              (Bytes{0, 1, 2, 3, 4, 5, 0, 0x90, 0x00}));
    // A body whose length disagrees with P3 never reaches the card.
    EXPECT_EQ(b.transact(exchange(Bytes{0x00, 0xD6, 0x00, 0x00, 0x03, 1}))[0], kReplyError);
}

TEST_F(T0Card, NullBytesKeepTheReaderWaitingPastTheWorkWaitingTime) {
    // Three seconds of work against a waiting time of about one second.
    const Ticks start = b.k.now();
    const Bytes r = b.card(Bytes{0x80, 0x10, 0x1E, 0x00, 0x02, 0xCA, 0xFE});
    EXPECT_EQ(r, (Bytes{0x61, 0x02}));
    EXPECT_GT(b.k.now() - start, seconds(3));
    EXPECT_EQ(b.card(Bytes{0x00, 0xC0, 0x00, 0x00, 0x02}), (Bytes{0xCA, 0xFE, 0x90, 0x00}));
}

TEST_F(T0Card, AWorkWaitingTimeTheHostShortensCutsTheCardOff) {
    // Waiting-time byte 1: 960 etu, less than the card's half-second NULL interval.
    EXPECT_EQ(b.transact(set_params(0x00, 3, 1, 0))[0], 0x62);
    EXPECT_TRUE(b.card(Bytes{0x80, 0x10, 0x0A, 0x00, 0x01, 0x01}).empty());
}

// T=1 from the host's side, written out here independently of the card's engine.
class T1Host {
  public:
    explicit T1Host(Bench& b) : b_(b) {}

    Bytes block(std::uint8_t pcb, std::span<const std::uint8_t> inf) const {
        return t1_block(pcb, inf, crc_);
    }
    Bytes send(const Bytes& blk, Ticks limit = seconds(30)) { return b_.card(blk, 0, limit); }
    static bool good(const Bytes& blk, bool crc) {
        if (blk.size() < 4)
            return false;
        return t1_block(blk[1], std::span(blk).subspan(3, blk[2]), crc) == blk;
    }

    // Sends an APDU, chaining by `ifsc`, and collects the answer, acknowledging the card's chain.
    Bytes transmit(const Bytes& apdu, std::size_t ifsc = 32, std::size_t* host_blocks = nullptr,
                   std::size_t* card_blocks = nullptr) {
        std::size_t off = 0;
        Bytes reply;
        std::size_t sent = 0;
        while (true) {
            const std::size_t n = std::min(ifsc, apdu.size() - off);
            const bool more = off + n < apdu.size();
            std::uint8_t pcb = static_cast<std::uint8_t>(ns_ << 6 | (more ? 0x20 : 0));
            reply = send(block(pcb, std::span(apdu).subspan(off, n)));
            ++sent;
            ns_ ^= 1;
            off += n;
            if (!more)
                break;
            // The card asks for the next block: R-block with N(R) = our next N(S).
            EXPECT_EQ(reply.size(), 4u + crc_);
            EXPECT_EQ(reply[1], 0x80 | (ns_ << 4)) << "not an acknowledgement";
        }
        if (host_blocks)
            *host_blocks = sent;
        Bytes out;
        std::size_t got = 0;
        while (true) {
            EXPECT_TRUE(good(reply, crc_));
            if (reply.size() < 3)
                return out;
            const std::uint8_t pcb = reply[1];
            if ((pcb & 0x80) != 0)
                return out; // not an I-block: the caller looks at last()
            EXPECT_EQ((pcb >> 6) & 1, nr_) << "card's sequence number";
            nr_ ^= 1;
            ++got;
            out.insert(out.end(), reply.begin() + 3, reply.begin() + 3 + reply[2]);
            if (!(pcb & 0x20))
                break;
            reply = send(block(static_cast<std::uint8_t>(0x80 | nr_ << 4), {}));
        }
        if (card_blocks)
            *card_blocks = got;
        last_ = reply;
        return out;
    }
    std::uint8_t ns_ = 0;
    std::uint8_t nr_ = 0;
    Bytes last_;
    bool crc_ = false;

  private:
    Bench& b_;
};

class T1Card : public ::testing::Test {
  protected:
    void start(const char* name, bool crc = false, std::uint8_t bw = 0x45) {
        h.crc_ = crc;
        b.reader.insert(make_card(name));
        b.power_on();
        EXPECT_EQ(
            b.transact(set_params(static_cast<std::uint8_t>(0x10 | (crc ? 1 : 0)), 0, 0, bw))[0],
            0x62);
    }
    Bench b;
    T1Host h{b};
};

TEST_F(T1Card, IfsNegotiationAndASimpleCommand) {
    start("t1");
    const Bytes ifs = {0xFE};
    EXPECT_EQ(h.send(h.block(0xC1, ifs)), h.block(0xE1, ifs));
    const Bytes sel = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00,
                       0x00, 0x00, 0x51, 0x4B, 0x52, 0x01, 0x00};
    const Bytes r = h.transmit(sel);
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[0], 0x62);
    EXPECT_EQ(tail(r, 2), kSw9000);
}

TEST_F(T1Card, ChainingBothWaysWith261ByteCommand) {
    start("t1");
    // Slow echo of 255 bytes with Le 00: 4 + 1 + 255 + 1 = 261 bytes out, 257 back.
    Bytes apdu = {0x80, 0x10, 0x00, 0x00, 0xFF};
    for (int i = 0; i < 255; ++i)
        apdu.push_back(static_cast<std::uint8_t>(i * 7));
    apdu.push_back(0x00);
    ASSERT_EQ(apdu.size(), 261u);
    std::size_t out_blocks = 0, in_blocks = 0;
    const Bytes r = h.transmit(apdu, 32, &out_blocks, &in_blocks);
    EXPECT_EQ(out_blocks, 9u); // 8 x 32 + 5
    ASSERT_EQ(r.size(), 257u);
    EXPECT_TRUE(std::equal(r.begin(), r.begin() + 255, apdu.begin() + 5));
    EXPECT_EQ(tail(r, 2), kSw9000);
    EXPECT_EQ(in_blocks, 9u) << "the card chains by the reader's default IFSD of 32";

    // After IFS 254 the card answers in two blocks.
    const Bytes ifs = {0xFE};
    EXPECT_EQ(h.send(h.block(0xC1, ifs)), h.block(0xE1, ifs));
    const Bytes again = h.transmit(apdu, 32, nullptr, &in_blocks);
    EXPECT_EQ(again, r);
    EXPECT_EQ(in_blocks, 2u);
}

TEST_F(T1Card, BlocksLongerThanIfscAreRefused) {
    start("t1");
    const Bytes inf(33, 0x00);
    EXPECT_EQ(h.send(h.block(0x00, inf)), h.block(0x82, {}));
}

TEST_F(T1Card, ErrorRecovery) {
    start("t1");
    const Bytes apdu = {0x00, 0x84, 0x00, 0x00, 0x08};
    // A block with a bad LRC: R-block, EDC error, expecting N(S) 0.
    Bytes bad = h.block(0x00, apdu);
    bad.back() ^= 0xFF;
    EXPECT_EQ(h.send(bad), h.block(0x81, {}));
    // A block whose length byte lies: R-block, other error.
    Bytes lying = h.block(0x00, apdu);
    lying[2] = 9;
    EXPECT_EQ(h.send(lying), h.block(0x82, {}));
    // The good block: the answer; then the host says it lost it (R with N(R) 0) and gets it again.
    const Bytes answer = h.send(h.block(0x00, apdu));
    ASSERT_EQ(answer.size(), 3u + 10 + 1);
    EXPECT_EQ(answer[1], 0x00);
    EXPECT_EQ(h.send(h.block(0x80, {})), answer);
    // A repeat of the command block (old N(S)) is not run twice: the card resends its answer.
    EXPECT_EQ(h.send(h.block(0x00, apdu)), answer);
    // RESYNCH: back to sequence numbers 0.
    EXPECT_EQ(h.send(h.block(0xC0, {})), h.block(0xE0, {}));
    const Bytes fresh = h.send(h.block(0x00, apdu));
    EXPECT_EQ(fresh[1], 0x00);
    EXPECT_NE(fresh, answer) << "a new challenge after resynchronisation";
}

TEST_F(T1Card, AbortDropsTheCommandChain) {
    start("t1");
    const Bytes part(32, 0x11);
    EXPECT_EQ(h.send(h.block(0x20, part)), h.block(0x90, {}));
    EXPECT_EQ(h.send(h.block(0xC2, {})), h.block(0xE2, {}));
    // The next command starts afresh (its N(S) continues).
    EXPECT_EQ(h.send(h.block(0x40, kSelectMf)), h.block(0x00, kSw9000));
}

TEST_F(T1Card, CrcCardChecksTheCrc) {
    start("t1-crc", true);
    EXPECT_EQ(h.transmit(kSelectMf), kSw9000);
    // An LRC block is one byte short for this card: other error.
    EXPECT_EQ(h.send(t1_block(0x40, kSelectMf, false)), h.block(0x92, {}));
    // The CRC is the ISO/IEC 13239 one: check value of "123456789".
    const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(t1_epilogue(check, true), (Bytes{0x6E, 0x90}));
}

TEST_F(T1Card, ReaderSetToLrcCutsACrcCardsBlocksShort) {
    start("t1-crc", false);
    const Bytes r = b.card(t1_block(0x00, kSelectMf, true));
    ASSERT_EQ(r.size(), 3u + 2 + 1);
    EXPECT_FALSE(T1Host::good(r, true));
}

TEST_F(T1Card, WaitingTimeExtension) {
    start("wtx", false, 0x15);
    const Bytes apdu = {0x00, 0x84, 0x00, 0x00, 0x04};
    // The card needs longer than its block waiting time and asks for more.
    const Bytes req = h.send(h.block(0x00, apdu));
    ASSERT_EQ(req.size(), 5u);
    EXPECT_EQ(req[1], 0xC3);
    const std::uint8_t m = req[3];
    EXPECT_GE(m, 2);
    // The host tells the reader, then answers the card.
    EXPECT_EQ(b.transact(set_params(0x04, 0, 0, 0, m))[0], 0x62);
    const Bytes r = h.send(h.block(0xE3, Bytes{m}));
    ASSERT_EQ(r.size(), 3u + 6 + 1);
    EXPECT_EQ(r[1], 0x00);

    // Without telling the reader, it gives up after one block waiting time.
    const Bytes req2 = h.send(h.block(0x40, apdu));
    ASSERT_EQ(req2[1], 0xC3);
    EXPECT_TRUE(h.send(h.block(0xE3, Bytes{req2[3]})).empty());
}

TEST(CardPts, DualCardAcceptsAndTheCardClockSpeedsUp) {
    Bench b({.slot0_card = "dual"});
    b.power_on();
    b.card(kSelect5001);
    const Ticks s0 = b.k.now();
    b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00});
    const Ticks normal = b.k.now() - s0;

    b.power_on();
    const Bytes pts = {0xFF, 0x10, 0x13, 0xFC};
    EXPECT_EQ(b.card(pts), pts);
    EXPECT_EQ(b.transact(set_params(0x00, 3, 50, 0))[0], 0x62);
    EXPECT_EQ(b.card(kSelect5001), kSw9000);
    const Ticks start = b.k.now();
    const Bytes page = b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00});
    EXPECT_EQ(page.size(), 258u);
    const Ticks fast = b.k.now() - start;
    // The card's 264 characters: 12 etu at D = 1 before, 12 + 3 (guard time N = 3) etu at D = 4
    // after; the reply's time on the line stays the same.
    EXPECT_NEAR(static_cast<double>(normal - fast), 264 * (12 - 15 / 4.0) * etu_ticks(372, 1),
                static_cast<double>(milliseconds(5)));
}

TEST(CardPts, ProtocolSelectionByPts) {
    Bench b({.slot0_card = "dual"});
    b.power_on();
    const Bytes pts = {0xFF, 0x11, 0x13, 0xFD};
    EXPECT_EQ(b.card(pts), pts);
    // Now under T=1 without further ado.
    EXPECT_EQ(b.transact(set_params(0x10, 0, 0, 0x45))[0], 0x62);
    EXPECT_EQ(b.card(t1_block(0x00, kSelectMf)), t1_block(0x00, kSw9000));
}

TEST(CardPts, UnsupportedRatesAndLatePtsAndSpecificCards) {
    Bench b({.slot0_card = "t1"});
    b.power_on();
    // Di 32 is beyond the card's TA1 (Di 4): only the protocol is confirmed.
    EXPECT_EQ(b.card(Bytes{0xFF, 0x11, 0x16, 0xF8}), (Bytes{0xFF, 0x01, 0xFE}));
    // T=0 is not offered: no answer.
    b.power_on();
    EXPECT_TRUE(b.card(Bytes{0xFF, 0x10, 0x11, 0xEE}).empty());
}

TEST(CardPts, SpecificModeCardTakesNoPtsAndRunsAtItsOwnRates) {
    Bench sp({.slot0_card = "specific"});
    sp.power_on();
    // No PTS in specific mode: FF ... is taken for a T=0 command and refused by the reader.
    EXPECT_EQ(sp.transact(exchange(Bytes{0xFF, 0x10, 0x13, 0xFC}))[0], kReplyError);
    // And the card runs at its TA1 rates from the start (D = 4).
    sp.card(kSelect5001);
    const Ticks start = sp.k.now();
    sp.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00});
    // 264 characters at D = 4 (82 ms) and 268 bytes at 19200 bit/s (140 ms), not the 330 ms of
    // card time at D = 1.
    EXPECT_LT(sp.k.now() - start, milliseconds(300));
}

TEST(CardConvention, InverseCardNeedsTheInverseFlag) {
    Bench b({.slot0_card = "inverse"});
    const Bytes d = b.power_on();
    ASSERT_GE(d.size(), 2u);
    EXPECT_EQ(d[1], 0x3F);
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
        EXPECT_EQ(b.memory({0x01, 0x00, 0x40, 0x02}),
                  two ? (Bytes{0x00, 0x40, 0x41}) : (Bytes{0x00, 0x40 ^ 0xA5, 0x41 ^ 0xA5}));
        EXPECT_EQ(b.memory({0x01, 0x00, 0xFF, 0x02})[0], two ? 0x03 : 0x00);
        EXPECT_EQ(b.memory({0x02, 0x00, 0x00, 0xAA}), Bytes{0x04}) << "locked";
        // The secret code has three bytes on one, two on the other.
        const Bytes wrong = two ? Bytes{0x03, 0x12, 0x34, 0x56} : Bytes{0x03, 0x12, 0x34};
        const Bytes right = two ? Bytes{0x03, 0xFF, 0xFF, 0xFF} : Bytes{0x03, 0xFF, 0xFF};
        EXPECT_EQ(b.memory(wrong), Bytes{0x05});
        EXPECT_EQ(b.memory({0x04}), (Bytes{0x00, 0x02}));
        EXPECT_EQ(b.memory(right), Bytes{0x00});
        EXPECT_EQ(b.memory({0x04}), (Bytes{0x00, 0x03}));
        EXPECT_EQ(b.memory({0x02, 0x00, 0x00, 0xAA, 0xBB}), Bytes{0x00});
        EXPECT_EQ(b.memory({0x01, 0x00, 0x00, 0x02}), (Bytes{0x00, 0xAA, 0xBB}));
        EXPECT_EQ(b.memory({0x7F}), Bytes{0x07});
        EXPECT_EQ(b.memory({0x01, 0x00}), Bytes{0x01});
    }
    // A processor card is no memory card.
    Bench b({.slot0_card = "t0"});
    b.power_on();
    EXPECT_EQ(b.memory(Bytes{0x01, 0x00, 0x00, 0x01}), Bytes{0x02});
}

TEST(FileSystem, SelectReadUpdateVerifyAndChallenge) {
    FileSystemApp app;
    auto run = [&](Bytes c) { return app.execute(c); };
    EXPECT_EQ(run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34}), (Bytes{0x6A, 0x82}));
    EXPECT_EQ(run({0x00, 0xB0, 0x00, 0x00, 0x01}), (Bytes{0x69, 0x86})) << "no EF selected";
    EXPECT_EQ(run({0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00, 0x00, 0x00, 0x51, 0x4B, 0x52, 0x01}),
              kSw9000);
    EXPECT_EQ(run(kSelect5001), kSw9000);
    // 256-byte Le from offset 0x100 reads the second half; past the end: 62 82 with what there is.
    Bytes r = run({0x00, 0xB0, 0x01, 0x00, 0x00});
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(r[0], 0x00);
    EXPECT_EQ(r[255], 0xFF);
    r = run({0x00, 0xB0, 0x01, 0xF0, 0x20});
    EXPECT_EQ(r.size(), 16u + 2);
    EXPECT_EQ(tail(r, 2), (Bytes{0x62, 0x82}));
    EXPECT_EQ(run({0x00, 0xB0, 0x02, 0x00, 0x01}), (Bytes{0x6B, 0x00}));
    // EF 5002 needs the PIN for updates; the retry counter counts down and blocks.
    EXPECT_EQ(run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x02}), kSw9000);
    EXPECT_EQ(run({0x00, 0xD6, 0x00, 0x00, 0x01, 0x55}), (Bytes{0x69, 0x82}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x04, '0', '0', '0', '0'}), (Bytes{0x63, 0xC2}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}), kSw9000);
    EXPECT_EQ(app.pin_tries(), 3);
    EXPECT_EQ(run({0x00, 0xD6, 0x00, 0x00, 0x01, 0x55}), kSw9000);
    EXPECT_EQ(run({0x00, 0xB0, 0x00, 0x00, 0x01}), (Bytes{0x55, 0x90, 0x00}));
    app.reset();
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01}), (Bytes{0x63, 0xC3})) << "a reset forgets the PIN";
    for (int i = 2; i >= 0; --i)
        EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x01, 'x'}),
                  (Bytes{0x63, static_cast<std::uint8_t>(0xC0 | i)}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}), (Bytes{0x69, 0x83}));
    // Challenges repeat with the seed and differ between seeds.
    FileSystemApp a({.seed = 7}), b({.seed = 7}), c({.seed = 8});
    const Bytes gc = {0x00, 0x84, 0x00, 0x00, 0x08};
    const Bytes ca = a.execute(gc);
    EXPECT_EQ(ca.size(), 10u);
    EXPECT_EQ(ca, b.execute(gc));
    EXPECT_NE(ca, c.execute(gc));
    EXPECT_NE(ca, a.execute(gc));
    // Classes and instructions it does not know, and bad lengths.
    EXPECT_EQ(run({0xA0, 0xA4, 0x00, 0x00}), (Bytes{0x6E, 0x00}));
    EXPECT_EQ(run({0x00, 0x12, 0x00, 0x00}), (Bytes{0x6D, 0x00}));
    EXPECT_EQ(run({0x00, 0xA4, 0x00, 0x0C, 0x05, 0x3F}), (Bytes{0x67, 0x00}));
    EXPECT_EQ(run({0x00, 0xA4}), (Bytes{0x67, 0x00}));
}

// Each row runs after the one before it: a path from the current DF starts where the last
// SELECT left off. `fid` is the file the answer's FCP names (0: no FCP expected).
TEST(FileSystem, SelectFormsFindTheirFileAndAnswerAsP2Asks) {
    struct Row {
        Bytes command;
        std::uint16_t sw;
        std::uint16_t fid;
    };
    const Row rows[] = {
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
    FileSystemApp app;
    for (const Row& row : rows) {
        const Bytes r = app.execute(row.command);
        SCOPED_TRACE(testing::PrintToString(row.command));
        ASSERT_GE(r.size(), 2u);
        EXPECT_EQ(r[r.size() - 2] << 8 | r.back(), row.sw);
        if (row.fid == 0) {
            EXPECT_EQ(r.size(), 2u);
            continue;
        }
        ASSERT_GE(r.size(), 11u);
        EXPECT_EQ(r[0], 0x62);
        EXPECT_EQ(r[7] << 8 | r[8], row.fid);
    }
    // The selected EF is the one READ BINARY reads, at an offset.
    EXPECT_EQ(app.execute(Bytes{0x00, 0xA4, 0x08, 0x0C, 0x04, 0x50, 0x00, 0x50, 0x01}), kSw9000);
    EXPECT_EQ(app.execute(Bytes{0x00, 0xB0, 0x01, 0x02, 0x02}), (Bytes{0x02, 0x03, 0x90, 0x00}));
    // By short EF identifier (P1 80 | SFI, offset in P2), which selects the EF: 5003 is SFI 3.
    EXPECT_EQ(app.execute(Bytes{0x00, 0xD6, 0x83, 0x01, 0x01, 0xAA}), kSw9000);
    EXPECT_EQ(app.execute(Bytes{0x00, 0xB0, 0x00, 0x00, 0x02}), (Bytes{0x00, 0xAA, 0x90, 0x00}));
    EXPECT_EQ(app.execute(Bytes{0x00, 0xB0, 0x89, 0x00, 0x01}), (Bytes{0x6A, 0x82}));
    // The listing names the current DF's children: here 5000's EFs, and none of them a DF.
    EXPECT_EQ(app.execute(Bytes{0x80, 0xAA, 0x02, 0x00, 0x00}),
              (Bytes{0x50, 0x01, 0x50, 0x02, 0x50, 0x03, 0x90, 0x00}));
    EXPECT_EQ(app.execute(Bytes{0x80, 0xAA, 0x01, 0x00, 0x00}), kSw9000);
}

} // namespace
} // namespace qkr::sim::test
