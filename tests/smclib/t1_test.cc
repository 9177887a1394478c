// The T=1 block engine against a scripted card: each test plays the card's side block by block
// and checks every block the interface sends.
#include "sim/t1_card.h"
#include "tests/smclib/engine_buffers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using qkr::smclib_test::Bytes;

// The blocks below are checked with the simulated card's CRC, computed apart from the library.
TEST(T1Checksum, FcsMatchesTheStandardCheckValue) {
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(qkr::sim::t1_crc(digits), 0x906E);
}

class T1Exchange : public qkr::smclib_test::EngineBuffers {
  protected:
    // A T=1 card: IFSC from TA3, CRC when asked; TCK computed.
    void insert_card(UCHAR ifsc, bool crc) {
        reset();
        ext_.ReaderCapabilities.CLKFrequency.Default = 3571;
        ext_.ReaderCapabilities.MaxIFSD = 240;
        crc_ = crc;
        Bytes atr = {0x3B, 0x80, 0x81, 0x51, ifsc, UCHAR(crc ? 0x01 : 0x00)};
        UCHAR tck = 0;
        for (size_t i = 1; i < atr.size(); i++)
            tck ^= atr[i];
        atr.push_back(tck);
        std::memcpy(ext_.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
        ext_.CardCapabilities.ATR.Length = UCHAR(atr.size());
        ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext_), STATUS_SUCCESS);
        ext_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    }

    void SetUp() override { insert_card(32, false); }

    Bytes block(UCHAR pcb, const Bytes& inf = {}) const {
        Bytes b = {0x00, pcb, UCHAR(inf.size())};
        b.insert(b.end(), inf.begin(), inf.end());
        if (crc_) {
            const std::uint16_t c = qkr::sim::t1_crc(b);
            b.push_back(UCHAR(c & 0xFF));
            b.push_back(UCHAR(c >> 8));
        } else {
            UCHAR lrc = 0;
            for (UCHAR x : b)
                lrc ^= x;
            b.push_back(lrc);
        }
        return b;
    }

    // The block the interface sends next, as the driver asks for it: behind 5 header bytes.
    Bytes sent() { return built(SmartcardT1Request); }
    NTSTATUS card_sends(const Bytes& b) { return answer(SmartcardT1Reply, b); }

    NTSTATUS card_silent() {
        ext_.T1.PrevState = ULONG(STATUS_IO_TIMEOUT);
        ext_.SmartcardReply.BufferLength = 0;
        return SmartcardT1Reply(&ext_);
    }

    // The IFSD the library asks for before the first block of a card session.
    void negotiate_ifsd() {
        ASSERT_EQ(sent(), block(0xC1, {240}));
        ASSERT_EQ(card_sends(block(0xE1, {240})), STATUS_MORE_PROCESSING_REQUIRED);
    }

    // A SELECT as the first APDU of the session: IFSD negotiated, the I-block with N(S) 0 sent.
    void begin_select() {
        start(select_);
        negotiate_ifsd();
        ASSERT_EQ(sent(), block(0x00, select_));
    }

    void expect_response(const Bytes& data) {
        ASSERT_EQ(information_, sizeof(SCARD_IO_REQUEST) + data.size());
        SCARD_IO_REQUEST header;
        std::memcpy(&header, caller_reply_.data(), sizeof header);
        EXPECT_EQ(header.dwProtocol, ULONG(SCARD_PROTOCOL_T1));
        EXPECT_EQ(header.cbPciLength, sizeof(SCARD_IO_REQUEST));
        EXPECT_EQ(caller_data(), data);
    }

    static Bytes pattern(size_t n, UCHAR seed) {
        Bytes b(n);
        for (size_t i = 0; i < n; i++)
            b[i] = UCHAR(seed + i * 7);
        return b;
    }

    bool crc_ = false;
    const Bytes select_ = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    const Bytes ok_ = {0x90, 0x00};
};

TEST_F(T1Exchange, FirstApduNegotiatesIfsdAndSequenceNumbersAlternate) {
    start(select_);
    negotiate_ifsd();
    EXPECT_EQ(ext_.T1.IFSD, 240);
    EXPECT_EQ(sent(), block(0x00, select_));
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);
    expect_response(ok_);
    EXPECT_EQ(ext_.T1.State, ULONG(T1_START));

    // The next APDU goes out at once with N(S) 1, and the card answers with its N(S) 1.
    start(select_);
    EXPECT_EQ(sent(), block(0x40, select_));
    ASSERT_EQ(card_sends(block(0x40, {0x6A, 0x82})), STATUS_SUCCESS);
    expect_response({0x6A, 0x82});
    start(select_);
    EXPECT_EQ(sent(), block(0x00, select_));
}

TEST_F(T1Exchange, CommandLongerThanIfscIsChainedAndEachPartAcknowledged) {
    insert_card(16, false);
    const Bytes apdu = pattern(40, 1);
    start(apdu);
    negotiate_ifsd();
    EXPECT_EQ(sent(), block(0x20, Bytes(apdu.begin(), apdu.begin() + 16)));
    ASSERT_EQ(card_sends(block(0x90)), STATUS_MORE_PROCESSING_REQUIRED); // R(1): next please
    EXPECT_EQ(sent(), block(0x60, Bytes(apdu.begin() + 16, apdu.begin() + 32)));
    ASSERT_EQ(card_sends(block(0x80)), STATUS_MORE_PROCESSING_REQUIRED); // R(0)
    EXPECT_EQ(sent(), block(0x00, Bytes(apdu.begin() + 32, apdu.end())));
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);
    expect_response(ok_);
}

TEST_F(T1Exchange, ResponseChainedByTheCardIsReassembled) {
    begin_select();
    const Bytes first = pattern(240, 3);
    const Bytes second = pattern(240, 5);
    const Bytes third = pattern(60, 9);
    ASSERT_EQ(card_sends(block(0x20, first)), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x90)); // R(1): acknowledges and asks for the next part
    ASSERT_EQ(card_sends(block(0x60, second)), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x80)); // R(0): each R-block names the N(S) expected next
    ASSERT_EQ(card_sends(block(0x00, third)), STATUS_SUCCESS);
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), third.begin(), third.end());
    expect_response(all);
}

TEST_F(T1Exchange, BlockLargerThanIfsdIsRejected) {
    begin_select();
    ASSERT_EQ(card_sends(block(0x20, pattern(241, 0))), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x82)); // R(0), other error
}

TEST_F(T1Exchange, WaitingTimeExtensionIsAnsweredAndVisibleWhileItGoesOut) {
    begin_select();
    ASSERT_EQ(card_sends(block(0xC3, {5})), STATUS_MORE_PROCESSING_REQUIRED);
    // What the driver looks at before it asks for the next block.
    EXPECT_EQ(ext_.T1.State, ULONG(T1_WTX_RESPONSE));
    EXPECT_EQ(ext_.T1.Wtx, 5);
    EXPECT_EQ(sent(), block(0xE3, {5}));
    EXPECT_EQ(ext_.T1.State, ULONG(T1_WTX_RESPONSE));
    EXPECT_EQ(ext_.T1.Wtx, 5);
    // A second extension in a row, then the answer.
    ASSERT_EQ(card_sends(block(0xC3, {2})), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(ext_.T1.Wtx, 2);
    EXPECT_EQ(sent(), block(0xE3, {2}));
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);
    EXPECT_EQ(ext_.T1.Wtx, 0);
    EXPECT_NE(ext_.T1.State, ULONG(T1_WTX_RESPONSE));
    expect_response(ok_);
}

// Silence, a corrupt block, a block whose length byte disagrees with its size and a block out of
// sequence each get the R-block asking again for N(S) 0; the card's R-block asking for the command
// gets it again. The real answer is then taken.
TEST_F(T1Exchange, MissingOrBadAnswerIsAskedForAgainAndALostCommandSentAgain) {
    Bytes corrupt = block(0x00, ok_);
    corrupt.back() ^= 0x01;
    Bytes cut = block(0x00, ok_);
    cut.erase(cut.begin() + 3);
    const std::pair<Bytes, Bytes> cases[] = {{{}, block(0x82)},
                                             {corrupt, block(0x81)},
                                             {cut, block(0x82)},
                                             {block(0x40, ok_), block(0x82)},
                                             {block(0x80), block(0x00, select_)}};
    for (const auto& [answer, again] : cases) {
        SCOPED_TRACE(::testing::PrintToString(again));
        insert_card(32, false);
        begin_select();
        ASSERT_EQ(answer.empty() ? card_silent() : card_sends(answer),
                  STATUS_MORE_PROCESSING_REQUIRED);
        EXPECT_EQ(sent(), again);
        ASSERT_EQ(card_sends(block(0x00, {0x61, 0x10})), STATUS_SUCCESS);
        expect_response({0x61, 0x10});
    }
}

TEST_F(T1Exchange, ThreeFailuresLeadToResynchronisationAndTheApduStartsOver) {
    // One good APDU first so both sequence numbers are 1.
    begin_select();
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);

    start(select_);
    EXPECT_EQ(sent(), block(0x40, select_));
    ASSERT_EQ(card_silent(), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x92)); // R(1)
    ASSERT_EQ(card_silent(), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x92));
    ASSERT_EQ(card_silent(), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0xC0)); // S(RESYNCH request)
    ASSERT_EQ(card_sends(block(0xE0)), STATUS_MORE_PROCESSING_REQUIRED);
    // Back to the initial state: IFSD again, then the APDU from the start with N(S) 0.
    negotiate_ifsd();
    EXPECT_EQ(sent(), block(0x00, select_));
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);
    expect_response(ok_);
}

TEST_F(T1Exchange, SilentCardFailsAfterTheRetryAndResynchronisationLimits) {
    start(select_);
    negotiate_ifsd();
    std::vector<Bytes> blocks;
    NTSTATUS status = STATUS_MORE_PROCESSING_REQUIRED;
    while (status == STATUS_MORE_PROCESSING_REQUIRED && blocks.size() < 50) {
        blocks.push_back(sent());
        status = card_silent();
    }
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    const std::vector<Bytes> expected = {block(0x00, select_), block(0x82), block(0x82),
                                         block(0xC0),          block(0xC0), block(0xC0)};
    EXPECT_EQ(blocks, expected);

    // The engine is ready for the next APDU; a card that answers again is served.
    start(select_);
    EXPECT_EQ(sent(), block(0x00, select_));
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);
}

TEST_F(T1Exchange, GarblingCardFailsWithADataError) {
    start(select_);
    negotiate_ifsd();
    int blocks = 0;
    NTSTATUS status = STATUS_MORE_PROCESSING_REQUIRED;
    while (status == STATUS_MORE_PROCESSING_REQUIRED && blocks < 50) {
        sent();
        blocks++;
        status = card_sends({0x00, 0x00, 0x02, 0x90});
    }
    EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(blocks, 6);
}

TEST_F(T1Exchange, CrcCardsGetAndMustSendTwoByteEpilogues) {
    insert_card(32, true);
    begin_select();
    // An LRC-style epilogue is not a valid CRC block.
    Bytes lrc_block = {0x00, 0x00, 0x02, 0x90, 0x00, 0x92};
    ASSERT_EQ(card_sends(lrc_block), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x82));
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);
    expect_response(ok_);
}

TEST_F(T1Exchange, CardMayChangeIfscInTheMiddleOfAChain) {
    const Bytes apdu = pattern(50, 5);
    start(apdu);
    negotiate_ifsd();
    EXPECT_EQ(sent(), block(0x20, Bytes(apdu.begin(), apdu.begin() + 32)));
    ASSERT_EQ(card_sends(block(0xC1, {8})), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0xE1, {8}));
    ASSERT_EQ(card_sends(block(0x90)), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x60, Bytes(apdu.begin() + 32, apdu.begin() + 40)));
    ASSERT_EQ(card_sends(block(0x80)), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x20, Bytes(apdu.begin() + 40, apdu.begin() + 48)));
    ASSERT_EQ(card_sends(block(0x90)), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x40, Bytes(apdu.begin() + 48, apdu.end())));
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);
}

TEST_F(T1Exchange, IfsRequestLostIsSentAgainAndIgnoredIsGivenUp) {
    // No answer to the IFS request: it goes out again (a driver reports an empty block thus).
    start(select_);
    EXPECT_EQ(sent(), block(0xC1, {240}));
    ASSERT_EQ(card_silent(), STATUS_MORE_PROCESSING_REQUIRED);
    negotiate_ifsd();
    EXPECT_EQ(sent(), block(0x00, select_));
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);

    // An R-block instead: the APDU goes out with the default IFSD.
    insert_card(32, false);
    start(select_);
    EXPECT_EQ(sent(), block(0xC1, {240}));
    ASSERT_EQ(card_sends(block(0x82)), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x00, select_));
    EXPECT_EQ(ext_.T1.IFSD, 32);
    ASSERT_EQ(card_sends(block(0x00, ok_)), STATUS_SUCCESS);
}

TEST_F(T1Exchange, CardAbortingItsChainEndsTheApdu) {
    begin_select();
    ASSERT_EQ(card_sends(block(0x20, pattern(10, 0))), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x90));
    ASSERT_EQ(card_sends(block(0xC2)), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0xE2));
    EXPECT_EQ(card_silent(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(ext_.T1.State, ULONG(T1_START));
}

TEST_F(T1Exchange, ResponseLargerThanTheCallersBufferIsRefusedAfterTheChain) {
    start(select_, sizeof(SCARD_IO_REQUEST) + 100);
    negotiate_ifsd();
    EXPECT_EQ(sent(), block(0x00, select_));
    ASSERT_EQ(card_sends(block(0x20, pattern(80, 0))), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(sent(), block(0x90));
    ASSERT_EQ(card_sends(block(0x40, pattern(80, 1))), STATUS_BUFFER_TOO_SMALL);
    // Nothing past the caller's buffer, and the next APDU is in sequence again.
    for (size_t i = sizeof(SCARD_IO_REQUEST) + 100; i < caller_reply_.size(); i++)
        ASSERT_EQ(caller_reply_[i], 0xEE);
    start(select_);
    EXPECT_EQ(sent(), block(0x40, select_));
}

} // namespace
