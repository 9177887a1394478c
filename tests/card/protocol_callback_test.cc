// Protocol selection and PTS, against the scripted reader.
#include "tests/card/callback_fixture.h"

#include <cstring>

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ProtocolTest : public CallbackTest {
  protected:
    ProtocolTest() {
        for (int n = 0; n < 2; ++n) {
            auto* ext = w.slot(n);
            ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC; // no PTS unless asked
            ext->CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
            ext->CardCapabilities.N = 0;
            ext->CardCapabilities.T0.WI = 10;
            ext->CardCapabilities.T1.BWI = 4;
            ext->CardCapabilities.T1.CWI = 13;
            ext->CardCapabilities.PtsData.Fl = 1;
            ext->CardCapabilities.PtsData.Dl = 3;
            w.reader[n].DiIndex = 1;
            w.set_io(n, {}, 4);
        }
    }
    NTSTATUS select(int slot, ULONG accepted) {
        w.slot(slot)->MinorIoControlCode = accepted;
        return Qkr_SmartcardSetProtocol(w.slot(slot));
    }
    ULONG reported() const {
        ULONG v;
        std::memcpy(&v, w.client_reply.data(), 4);
        return v;
    }
    // The parameters command of the last selection.
    Bytes params() const { return w.sent.back().payload; }
    // A card that echoes the PTS it was sent.
    void card_echoes(std::uint8_t pts0, std::uint8_t pts1) {
        w.reply_data({0xFF, pts0, pts1, (std::uint8_t)(0xFF ^ pts0 ^ pts1)});
    }
};

TEST_F(ProtocolTest, MemoryCardGetsItsOwnProtocolWithoutReaderTraffic) {
    w.reader[0].MemoryCardPresent = TRUE;
    w.slot(0)->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    for (ULONG accepted : {1u, 2u, 3u, 0u}) {
        EXPECT_EQ(select(0, accepted), STATUS_SUCCESS);
        EXPECT_EQ(reported(), 0x10u);
        EXPECT_EQ(w.information(), 4u);
    }
    EXPECT_EQ(w.slot(0)->ReaderCapabilities.CurrentState, (ULONG)SCARD_SPECIFIC);
    EXPECT_EQ(w.slot(0)->CardCapabilities.Protocol.Selected, 0x10u);
    std::string expected;
    for (int i = 0; i < 4; ++i) {
        expected += "[SetProtocol] Memory Card Present\n";
    }
    EXPECT_EQ(w.log, expected);
    expect_no_conversation();
}

TEST_F(ProtocolTest, BothProtocolsAcceptedPicksT1WithItsFlags) {
    struct Case {
        UCHAR edc;
        BOOLEAN inverse;
        std::uint8_t flags;
    };
    for (Case c : {Case{0, FALSE, 0x10}, Case{1, FALSE, 0x11}, Case{1, TRUE, 0x13},
                   Case{0, TRUE, 0x12}, Case{2, FALSE, 0x10}}) {
        auto* ext = w.slot(0);
        ext->CardCapabilities.T1.EDC = c.edc;
        ext->CardCapabilities.InversConvention = c.inverse;
        ext->CardCapabilities.N = 255;
        w.reply_done();
        EXPECT_EQ(select(0, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), STATUS_SUCCESS);
        EXPECT_EQ(params(), (Bytes{0x61, 0x00, 0x00, c.flags, 255, 0x00, 0x4D, 0x00}));
        EXPECT_EQ(w.sent.back().mode, 4u);
        EXPECT_EQ(reported(), (ULONG)SCARD_PROTOCOL_T1);
        EXPECT_EQ(w.information(), 4u);
        EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, (ULONG)SCARD_PROTOCOL_T1);
        EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_SPECIFIC);
    }
}

TEST_F(ProtocolTest, T0GuardTimeNeverGoesBelowThree) {
    for (auto [n, sent] : std::vector<std::pair<UCHAR, std::uint8_t>>{
             {0, 3}, {1, 3}, {2, 3}, {255, 3}, {3, 3}, {5, 5}, {254, 254}}) {
        w.slot(1)->CardCapabilities.N = n;
        w.reply_done();
        EXPECT_EQ(select(1, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
        EXPECT_EQ(params()[1], 0x01) << "slot byte";
        EXPECT_EQ(params()[4], sent) << (int)n;
        EXPECT_EQ(reported(), (ULONG)SCARD_PROTOCOL_T0);
    }
}

TEST_F(ProtocolTest, T0WaitingTimeByteFollowsTheBitRateFactor) {
    struct Case {
        UCHAR di_index;
        UCHAR wi;
        std::uint8_t byte;
    };
    for (Case c : {Case{1, 10, 20}, Case{5, 16, 0xFF}, Case{7, 200, 10}, Case{0, 99, 10},
                   Case{10, 10, 5}, Case{15, 255, 3}, Case{9, 12, 250}, Case{9, 13, 0xFF},
                   Case{4, 30, 250}, Case{12, 64, 8}}) {
        w.reader[0].DiIndex = c.di_index;
        w.slot(0)->CardCapabilities.T0.WI = c.wi;
        w.slot(0)->CardCapabilities.InversConvention = TRUE;
        w.reply_done();
        EXPECT_EQ(select(0, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
        EXPECT_EQ(params(), (Bytes{0x61, 0x00, 0x00, 0x02, 3, c.byte, 0x00, 0x00}))
            << "DiIndex " << (int)c.di_index << " WI " << (int)c.wi;
    }
}

TEST_F(ProtocolTest, ConfirmedPtsTakesTheNewRates) {
    auto* ext = w.slot(0);
    ext->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    card_echoes(0x11, 0x13);
    w.reply_done();

    EXPECT_EQ(select(0, SCARD_PROTOCOL_T1), STATUS_SUCCESS);

    EXPECT_EQ(w.sent[0].payload, (Bytes{0x67, 0x00, 0x00, 0x00, 0x04, 0xFF, 0x11, 0x13, 0xFD}));
    EXPECT_EQ(w.sent[0].mode, 3u);
    EXPECT_EQ(ext->CardCapabilities.Fl, 1);
    EXPECT_EQ(ext->CardCapabilities.Dl, 3);
    EXPECT_EQ(w.reader[0].DiIndex, 3);
    EXPECT_EQ(w.sent.size(), 2u);
    EXPECT_EQ(w.log, "[SetProtocol] PTS selection success\n");
    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_SPECIFIC);
    expect_one_conversation();
}

TEST_F(ProtocolTest, T0PtsUsesTheNewBitRateForTheWaitingTime) {
    auto* ext = w.slot(0);
    ext->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    ext->CardCapabilities.PtsData.Dl = 4; // D = 8
    card_echoes(0x10, 0x14);
    w.reply_done();
    EXPECT_EQ(select(0, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
    EXPECT_EQ(w.sent[0].payload, (Bytes{0x67, 0x00, 0x00, 0x00, 0x04, 0xFF, 0x10, 0x14, 0xFB}));
    EXPECT_EQ(params()[5], 8 * 10 + 10);
}

TEST_F(ProtocolTest, PtsReplyOtherThanDataCountsAsSuccess) {
    auto* ext = w.slot(0);
    ext->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    ext->CardCapabilities.Fl = 9;
    ext->CardCapabilities.Dl = 9;
    w.reply_done(); // to the PTS
    w.reply_done(); // to the parameters
    EXPECT_EQ(select(0, SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    EXPECT_EQ(w.sent.size(), 2u) << "no warm reset";
    EXPECT_EQ(ext->CardCapabilities.Fl, 9);
    EXPECT_EQ(ext->CardCapabilities.Dl, 9);
    EXPECT_EQ(w.reader[0].DiIndex, 1);
    EXPECT_EQ(w.log, "[SetProtocol] PTS selection success\n");
}

TEST_F(ProtocolTest, RefusedPtsFallsBackToWarmResetAndDefaultRates) {
    struct Case {
        ULONG accepted;
        std::uint8_t pts0;
        std::uint8_t pck;
    };
    for (Case c : {Case{SCARD_PROTOCOL_T1, 0x11, 0xFF}, Case{SCARD_PROTOCOL_T0, 0x10, 0xFE}}) {
        w.sent.clear();
        w.log.clear();
        auto* ext = w.slot(1);
        ext->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
        ext->CardCapabilities.PtsData.Fl = 1;
        ext->CardCapabilities.PtsData.Dl = 3;
        card_echoes(c.pts0, 0x12);  // a different PTS1
        w.reply_data({0x3B, 0x00}); // the warm reset's answer is not read
        card_echoes(c.pts0, 0x11);
        w.reply_done();

        EXPECT_EQ(select(1, c.accepted), STATUS_SUCCESS);

        EXPECT_THAT(payloads(),
                    ElementsAre(Bytes{0x67, 0x01, 0x00, 0x00, 0x04, 0xFF, c.pts0, 0x13,
                                      (std::uint8_t)(0xFF ^ c.pts0 ^ 0x13)},
                                Bytes{0x64, 0x01, 0x00},
                                Bytes{0x67, 0x01, 0x00, 0x00, 0x04, 0xFF, c.pts0, 0x11, c.pck},
                                params()));
        EXPECT_THAT(modes(), ElementsAre(3u, 2u, 3u, 4u));
        EXPECT_EQ(w.log, "[SetProtocol] PTS selection fial\n"
                         "[SetProtocol] PTS selection Set default SUCCESS\n");
        EXPECT_EQ(w.reader[1].DiIndex, 1);
        EXPECT_EQ(ext->CardCapabilities.Dl, 1);
        EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_SPECIFIC);
    }
}

TEST_F(ProtocolTest, EveryWrongPtsAnswerIsRefused) {
    std::vector<std::pair<const char*, Bytes>> wrong = {
        {"bad check", {0xFF, 0x11, 0x13, 0xFC}},
        {"not PTSS", {0xFE, 0x11, 0x13, 0xFC}},
        {"other protocol", {0xFF, 0x10, 0x13, 0xFC}},
        {"other PTS1", {0xFF, 0x11, 0x14, 0xFA}},
        {"truncated", {0xFF, 0x11}},
    };
    for (const auto& [name, answer] : wrong) {
        w.sent.clear();
        w.log.clear();
        w.slot(0)->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
        w.slot(0)->CardCapabilities.PtsData.Dl = 3;
        w.reply_data(answer);
        w.fail(STATUS_IO_TIMEOUT); // the warm reset
        w.reply_done();
        EXPECT_EQ(select(0, SCARD_PROTOCOL_T1), STATUS_SUCCESS) << name;
        EXPECT_EQ(w.log, "[SetProtocol] PTS selection fial\n") << name;
        EXPECT_EQ(w.sent.size(), 3u) << name << ": PTS, warm reset, parameters";
        EXPECT_EQ(w.reader[0].DiIndex, 1) << name;
    }
}

TEST_F(ProtocolTest, SecondPtsFailingStillSetsTheParameters) {
    w.slot(0)->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    w.fail(STATUS_IO_TIMEOUT); // first PTS
    w.reply_done();            // warm reset
    w.fail(QKR_STATUS_NAK);    // second PTS
    w.reply_done();
    EXPECT_EQ(select(0, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
    EXPECT_EQ(w.log, "[SetProtocol] PTS selection fial\n"
                     "[SetProtocol] PTS selection Set default failed\n");
    EXPECT_THAT(modes(), ElementsAre(3u, 2u, 3u, 4u));
}

TEST_F(ProtocolTest, NoCommonProtocolIsRefusedWithoutReaderTraffic) {
    auto* ext = w.slot(0);
    ext->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    ext->CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T0;
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    EXPECT_EQ(select(0, SCARD_PROTOCOL_T1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_TRUE(w.sent.empty());
    EXPECT_EQ(w.information(), 0xDEADu);
    expect_one_conversation();
}

TEST_F(ProtocolTest, ReaderRefusingTheParametersLosesTheProtocol) {
    auto* ext = w.slot(0);
    w.reply_data({0x00});
    EXPECT_EQ(select(0, SCARD_PROTOCOL_T1), STATUS_NO_MEDIA);
    EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(w.information(), 0xDEADu);

    ext->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    w.reply_done(); // PTS
    w.fail(STATUS_IO_TIMEOUT);
    EXPECT_EQ(select(0, SCARD_PROTOCOL_T0), STATUS_IO_TIMEOUT);
    EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, (ULONG)SCARD_PROTOCOL_T0);
    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_NEGOTIABLE);
    EXPECT_EQ(w.tracking_arms, 2);
}

TEST_F(ProtocolTest, ReplyBufferWithoutRoomForTheProtocolIsRefusedFirst) {
    w.set_io(0, {}, 3);
    EXPECT_EQ(select(0, SCARD_PROTOCOL_T1), STATUS_BUFFER_TOO_SMALL);
    expect_no_conversation();
}

} // namespace
} // namespace qkr::cardtest
