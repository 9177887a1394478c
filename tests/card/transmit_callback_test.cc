// Card data exchange, against the scripted reader and a scripted library.
#include "tests/card/callback_fixture.h"

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class TransmitTest : public CallbackTest {
  protected:
    NTSTATUS transmit(int slot, ULONG protocol) {
        w.slot(slot)->CardCapabilities.Protocol.Selected = protocol;
        return Qkr_SmartcardIoRequest(w.slot(slot));
    }
    void library_sends(Bytes card_bytes, NTSTATUS status = STATUS_SUCCESS) {
        w.library_steps.push_back({status, std::move(card_bytes), {}});
    }
    void library_answers(NTSTATUS status, std::function<void()> effect = {}) {
        w.library_steps.push_back({status, {}, std::move(effect)});
    }
    static Bytes exchange(std::uint8_t slot, const Bytes& body) {
        Bytes out{0x67, slot, 0x00, (std::uint8_t)(body.size() >> 8), (std::uint8_t)body.size()};
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
    static Bytes answer(std::size_t data_bytes) {
        Bytes out;
        for (std::size_t i = 0; i < data_bytes; ++i) {
            out.push_back((std::uint8_t)i);
        }
        out.push_back(0x90);
        out.push_back(0x00);
        return out;
    }
};

TEST_F(TransmitTest, ProtocolsTheReaderCannotCarryAreRefusedWithoutTraffic) {
    for (ULONG protocol : {0u, 0x10u, 4u}) {
        EXPECT_EQ(transmit(0, protocol), STATUS_INVALID_DEVICE_REQUEST);
    }
    EXPECT_TRUE(w.sent.empty());
    EXPECT_THAT(w.library_calls, IsEmpty());
    EXPECT_EQ(w.tracking_arms, 3) << "tracking is re-armed on every way out";
}

TEST_F(TransmitTest, T0CommandIsWrappedAndTheAnswerHandedToTheLibrary) {
    library_sends({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00});
    w.reply_data({0x61, 0x10});
    EXPECT_EQ(transmit(1, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
    EXPECT_THAT(payloads(), ElementsAre(exchange(1, {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00})));
    EXPECT_THAT(modes(), ElementsAre(5u));
    ASSERT_EQ(w.library_calls.size(), 2u);
    EXPECT_EQ(w.library_calls[1].routine, "T0Reply");
    EXPECT_EQ(w.library_calls[1].data, (Bytes{0x61, 0x10}));
    // The reply record is given back as the reader left it, counting only the data.
    EXPECT_EQ(w.slot(1)->SmartcardReply.Buffer, w.reply_buffer[1]);
    EXPECT_EQ(w.slot(1)->SmartcardReply.BufferLength, 2u);
    expect_one_conversation();
}

TEST_F(TransmitTest, LongBodyIsAnnouncedBigEndian) {
    Bytes body(300, 0x5A);
    library_sends(body);
    w.reply_data({0x90, 0x00});
    EXPECT_EQ(transmit(0, SCARD_PROTOCOL_RAW), STATUS_SUCCESS);
    ASSERT_EQ(w.sent.size(), 1u);
    EXPECT_EQ(w.sent[0].payload[3], 0x01);
    EXPECT_EQ(w.sent[0].payload[4], 0x2C);
    EXPECT_EQ(w.sent[0].payload.size(), 305u);
    EXPECT_EQ(w.library_calls.back().routine, "RawReply");
}

TEST_F(TransmitTest, OldFirmwareAsksFor256AndCutsTheAnswerBackTo255Or254) {
    w.reader[0].T0LeWorkaround = TRUE;
    for (auto [p3, kept] :
         std::vector<std::pair<std::uint8_t, std::size_t>>{{0xFF, 255}, {0xFE, 254}}) {
        w.sent.clear();
        w.library_calls.clear();
        library_sends({0x00, 0xB0, 0x00, 0x00, p3});
        w.reply_data(answer(256));

        EXPECT_EQ(transmit(0, SCARD_PROTOCOL_T0), STATUS_SUCCESS);

        EXPECT_THAT(payloads(),
                    ElementsAre(Bytes{0x67, 0x00, 0x00, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x00}));
        Bytes expected = answer(kept);
        EXPECT_EQ(w.library_calls.back().data, expected) << (int)p3;
        EXPECT_EQ(w.slot(0)->SmartcardReply.BufferLength, expected.size());
    }
}

TEST_F(TransmitTest, LongLeRewriteLeavesEverythingElseAlone) {
    struct Case {
        const char* name;
        BOOLEAN workaround;
        ULONG protocol;
        Bytes command;
    };
    for (const Case& c : {
             Case{"newer firmware", FALSE, SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0xFF}},
             Case{"with data", TRUE, SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0xFF, 0x01}},
             Case{"other length", TRUE, SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0xFD}},
             Case{"T=1 block", TRUE, SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0xFF}},
         }) {
        w.sent.clear();
        w.library_calls.clear();
        w.reader[0].T0LeWorkaround = c.workaround;
        library_sends(c.command);
        w.reply_data(answer(256));
        EXPECT_EQ(transmit(0, c.protocol), STATUS_SUCCESS) << c.name;
        EXPECT_EQ(w.sent[0].payload, exchange(0, c.command)) << c.name;
        EXPECT_EQ(w.library_calls.back().data, answer(256)) << c.name;
        EXPECT_FALSE(w.reader[0].T0LeAdjusted) << c.name;
    }
}

TEST_F(TransmitTest, ShortAnswerToARewrittenCommandIsHandedOnUnchanged) {
    w.reader[0].T0LeWorkaround = TRUE;
    library_sends({0x00, 0xB0, 0x00, 0x00, 0xFF});
    w.reply_data({0x6B, 0x00});
    EXPECT_EQ(transmit(0, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
    EXPECT_EQ(w.library_calls.back().data, (Bytes{0x6B, 0x00}));

    // The next command of the same request no longer carries the mark.
    w.library_calls.clear();
    library_sends({0x00, 0xC0, 0x00, 0x00, 0x10});
    w.reply_data(answer(256));
    EXPECT_EQ(transmit(0, SCARD_PROTOCOL_T0), STATUS_SUCCESS);
    EXPECT_EQ(w.library_calls.back().data, answer(256));
}

TEST_F(TransmitTest, T1ChainLoopsWhileTheLibraryWantsMoreAndSendsTheExtensionFirst) {
    auto* ext = w.slot(1);
    ext->T1.State = T1_I_BLOCK;
    library_sends({0x00, 0x20, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05, 0x21}); // I-block, chained
    library_answers(STATUS_MORE_PROCESSING_REQUIRED);                      // R-block comes back
    library_sends({0x00, 0x00, 0x01, 0x06, 0x07});                         // last I-block
    library_answers(STATUS_MORE_PROCESSING_REQUIRED, [ext] {               // card asks for time
        ext->T1.State = T1_WTX_RESPONSE;
        ext->T1.Wtx = 5;
    });
    library_sends({0x00, 0xE3, 0x01, 0x05, 0xE7}); // the library's S-block answer
    library_answers(STATUS_SUCCESS);
    w.reply_data({0x00, 0x90, 0x00, 0x90});
    w.reply_data({0x00, 0xC3, 0x01, 0x05, 0xC7});
    w.reply_done(); // the extension command's reply is not looked at
    w.reply_data({0x00, 0x40, 0x02, 0x90, 0x00, 0xD2});

    EXPECT_EQ(transmit(1, SCARD_PROTOCOL_T1), STATUS_SUCCESS);

    EXPECT_THAT(payloads(),
                ElementsAre(exchange(1, {0x00, 0x20, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05, 0x21}),
                            exchange(1, {0x00, 0x00, 0x01, 0x06, 0x07}),
                            Bytes{0x61, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x05},
                            exchange(1, {0x00, 0xE3, 0x01, 0x05, 0xE7})));
    EXPECT_THAT(modes(), ElementsAre(5u, 5u, 4u, 5u));
    EXPECT_EQ(w.library_calls.back().data, (Bytes{0x00, 0x40, 0x02, 0x90, 0x00, 0xD2}));
    expect_one_conversation();
}

TEST_F(TransmitTest, FailedExtensionCommandDoesNotStopTheBlock) {
    auto* ext = w.slot(0);
    ext->T1.State = T1_WTX_RESPONSE;
    ext->T1.Wtx = 2;
    w.fail(STATUS_IO_TIMEOUT);
    library_sends({0x00, 0xE3, 0x01, 0x02, 0xE0});
    w.reply_data({0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(transmit(0, SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    EXPECT_THAT(modes(), ElementsAre(4u, 5u));
}

TEST_F(TransmitTest, ReaderAnswersOtherThanDataEndTheRequest) {
    struct Case {
        const char* name;
        ULONG protocol;
        Bytes reply;
        NTSTATUS status;
    };
    const Bytes no_card = {RDRSP_NO_CARD, 0x00, 0x00, 0x00};
    const Bytes done = {RDRSP_DONE, 0x00, 0x00, 0x00};
    const Bytes empty = {RDRSP_DATA, 0x00, 0x00, 0x00};
    for (const Case& c : {
             Case{"no card, T=0", SCARD_PROTOCOL_T0, no_card, STATUS_NO_MEDIA},
             Case{"no card, T=1", SCARD_PROTOCOL_T1, no_card, STATUS_NO_MEDIA},
             Case{"no card, raw", SCARD_PROTOCOL_RAW, no_card, STATUS_NO_MEDIA},
             Case{"done, T=0", SCARD_PROTOCOL_T0, done, STATUS_SUCCESS},
             Case{"done, T=1", SCARD_PROTOCOL_T1, done, STATUS_SUCCESS},
             Case{"done, raw", SCARD_PROTOCOL_RAW, done, STATUS_SUCCESS},
             Case{"empty data, T=0", SCARD_PROTOCOL_T0, empty, STATUS_IO_TIMEOUT},
             Case{"empty data, raw", SCARD_PROTOCOL_RAW, empty, STATUS_SUCCESS},
             Case{"empty frame", SCARD_PROTOCOL_T0, {}, STATUS_SUCCESS},
         }) {
        w.library_calls.clear();
        library_sends({0x01});
        w.reply(c.reply);
        EXPECT_EQ(transmit(0, c.protocol), c.status) << c.name;
        EXPECT_EQ(w.library_calls.size(), 1u) << c.name << ": no reply routine";
    }
    EXPECT_EQ(w.log, "[Qkr_SmartcardIoRequest]Unknown protocol\n");
}

TEST_F(TransmitTest, EmptyT1ReplyIsReportedToTheLibraryAsATimeOut) {
    auto* ext = w.slot(0);
    library_sends({0x00, 0x00, 0x00, 0x00});
    library_answers(STATUS_IO_TIMEOUT);
    w.reply_data({});
    EXPECT_EQ(transmit(0, SCARD_PROTOCOL_T1), STATUS_IO_TIMEOUT);
    EXPECT_EQ(ext->T1.PrevState, (ULONG)STATUS_IO_TIMEOUT);
    ASSERT_EQ(w.library_calls.size(), 2u);
    EXPECT_EQ(w.library_calls[1].routine, "T1Reply");
    EXPECT_THAT(w.library_calls[1].data, IsEmpty());
}

TEST_F(TransmitTest, DataLongerThanWhatArrivedNeverReachesTheLibrary) {
    library_sends({0x00, 0xB0, 0x00, 0x00, 0x10});
    w.reply_data_announcing(16, {0x01, 0x02});
    EXPECT_EQ(transmit(0, SCARD_PROTOCOL_T0), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(w.library_calls.size(), 1u);
    EXPECT_EQ(w.slot(0)->SmartcardReply.Buffer, w.reply_buffer[0]);
}

TEST_F(TransmitTest, ExchangeAndLibraryFailuresEndTheRequestWithTheirStatus) {
    library_sends({0x01}, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(transmit(0, SCARD_PROTOCOL_T0), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(w.sent.empty());

    library_sends({0x01});
    w.fail(QKR_STATUS_BAD_FRAME);
    EXPECT_EQ(transmit(0, SCARD_PROTOCOL_T1), QKR_STATUS_BAD_FRAME);
    EXPECT_EQ(w.library_calls.size(), 2u) << "the T=1 engine is not resumed";
    EXPECT_EQ(w.tracking_arms, 2);
}

} // namespace
} // namespace qkr::cardtest
