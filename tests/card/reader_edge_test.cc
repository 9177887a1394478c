// The card callbacks' edge cases against the simulated reader, seen from a client: the exact
// commands that reach the reader, the driver's log lines, statuses and answers.
#include "sim/file_system.h"
#include "tests/card/stack_support.h"

#include <memory>

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ReaderEdgeTest : public ::testing::Test {
  protected:
    host::Host host;
    host::Reader* reader = nullptr;
    std::unique_ptr<CommandLog> log;
    kern::FileHandle handle;
    std::unique_ptr<Client> slot0;
    std::unique_ptr<Client> slot1;

    void start(const std::string& card, const std::string& firmware = "0016") {
        host::ReaderOptions options;
        options.sim.firmware = firmware;
        reader = &host.add_reader(options);
        if (!card.empty())
            reader->sim().insert(sim::make_card(card));
        log = std::make_unique<CommandLog>(reader->sim());
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        handle = reader->open();
        slot0 = std::make_unique<Client>(*reader, handle, 0);
        slot1 = std::make_unique<Client>(*reader, handle, 1);
    }
    void TearDown() override {
        if (handle.is_open())
            handle.close();
    }
    std::vector<std::string> card_lines() {
        std::vector<std::string> out;
        for (const std::string& l : host.log()) {
            if (l.rfind("[SetProtocol]", 0) == 0 || l.rfind("[SmartcardPower]", 0) == 0 ||
                l.rfind("[Qkr_SmartcardPower]", 0) == 0 ||
                l.rfind("[Qkr_SmartcardIoRequest]", 0) == 0 ||
                l.rfind("[Qkr_SmartcardVendor]", 0) == 0 ||
                l.rfind("[Qkr_SmartcardBrimvel]", 0) == 0)
                out.push_back(l);
        }
        return out;
    }
    READER_EXTENSION& rx(int n) { return *reader->reader_extension(n); }
};

TEST_F(ReaderEdgeTest, OldFirmwareGetsLongReadsAsFullReadsAndTheCallerStillGetsWhatItAskedFor) {
    for (const char* firmware : {"0009", "0011"}) {
        SCOPED_TRACE(firmware);
        start("t0", firmware);
        const bool rewrite = std::string(firmware) == "0009";
        EXPECT_EQ(rx(0).T0LeWorkaround, rewrite);
        ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
        ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T0), STATUS_SUCCESS);
        sim::FileSystemApp oracle;
        Data response;
        const Data select = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00};
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, select, &response), STATUS_SUCCESS);
        oracle.execute(select);
        const Data select_df = {0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00,
                                0x00, 0x00, 0x51, 0x4B, 0x52, 0x01};
        const Data select_counting = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
        for (const Data& apdu : {select_df, select_counting}) {
            ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, apdu, &response), STATUS_SUCCESS);
            oracle.execute(apdu);
        }
        for (std::uint8_t le : {0xFF, 0xFE, 0x10}) {
            log->clear();
            const Data read = {0x00, 0xB0, 0x00, 0x00, le};
            ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, read, &response), STATUS_SUCCESS);
            const Data expected = oracle.execute(read);
            EXPECT_EQ(response, expected) << (int)le;
            EXPECT_EQ(response.size(), std::size_t(le) + 2);
            const std::uint8_t p3 = rewrite && le >= 0xFE ? 0x00 : le;
            EXPECT_THAT(log->slot(0), ElementsAre(bytes({0x67, 0x00, 0x00, 0x00, 0x05, 0x00, 0xB0,
                                                         0x00, 0x00, p3})))
                << (int)le;
        }
        handle.close();
        host.release_reader(*reader);
    }
}

TEST_F(ReaderEdgeTest, WaitingTimeExtensionIsAnnouncedToTheReaderBeforeTheCardIsAnswered) {
    start("wtx");
    ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    log->clear();
    Data response;
    const Data challenge = {0x00, 0x84, 0x00, 0x00, 0x08};
    ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T1, challenge, &response), STATUS_SUCCESS);
    sim::FileSystemApp oracle;
    EXPECT_EQ(response, oracle.execute(challenge));

    const auto sent = log->slot(0);
    int extensions = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const Data& c = sent[i];
        if (c[0] != RDCMD_SET_PARAMS)
            continue;
        ++extensions;
        ASSERT_EQ(c.size(), 8u);
        EXPECT_EQ(Data(c.begin(), c.begin() + 7),
                  bytes({0x61, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}));
        // Next: the exchange carrying the S-block answer, PCB E3, whose one byte is the same
        // multiplier.
        ASSERT_LT(i + 1, sent.size());
        const Data& next = sent[i + 1];
        ASSERT_GE(next.size(), 9u);
        EXPECT_EQ(next[0], RDCMD_EXCHANGE);
        EXPECT_EQ(next[6], 0xE3);
        EXPECT_EQ(next[8], c[7]);
        EXPECT_NE(c[7], 0);
    }
    EXPECT_GE(extensions, 1) << "the card asked for more time";
}

TEST_F(ReaderEdgeTest, PtsIsNegotiatedAndARefusalFallsBackToTheDefaultRates) {
    start("dual");
    ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    log->clear();
    host.clear_log();
    ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    auto sent = log->slot(0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], bytes({0x67, 0x00, 0x00, 0x00, 0x04, 0xFF, 0x11, 0x13, 0xFD}));
    EXPECT_EQ(Data(sent[1].begin(), sent[1].begin() + 4), bytes({0x61, 0x00, 0x00, 0x10}));
    EXPECT_EQ(sent[1][6], 0x45) << "BWI 4, CWI 5";
    EXPECT_THAT(card_lines(), ElementsAre("[SetProtocol] PTS selection success"));
    EXPECT_EQ(rx(0).DiIndex, 3);

    for (sim::PtsBehaviour refusal : {sim::PtsBehaviour::Refuse, sim::PtsBehaviour::Wrong}) {
        ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
        reader->sim().faults().next_pts(refusal);
        log->clear();
        host.clear_log();
        ULONG selected = 0;
        ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T0, &selected), STATUS_SUCCESS);
        EXPECT_EQ(selected, (ULONG)SCARD_PROTOCOL_T0);
        sent = log->slot(0);
        ASSERT_EQ(sent.size(), 4u);
        EXPECT_EQ(sent[0], bytes({0x67, 0x00, 0x00, 0x00, 0x04, 0xFF, 0x10, 0x13, 0xFC}));
        EXPECT_EQ(sent[1], bytes({0x64, 0x00, 0x00}));
        EXPECT_EQ(sent[2], bytes({0x67, 0x00, 0x00, 0x00, 0x04, 0xFF, 0x10, 0x11, 0xFE}));
        EXPECT_EQ(sent[3][0], RDCMD_SET_PARAMS);
        EXPECT_EQ(sent[3][5], 10 + 10) << "D = 1 after the default rates";
        EXPECT_THAT(card_lines(), ElementsAre("[SetProtocol] PTS selection fial",
                                              "[SetProtocol] PTS selection Set default SUCCESS"));
        EXPECT_EQ(rx(0).DiIndex, 1);
        // The card works at the default rate.
        Data response;
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, {0x00, 0x84, 0x00, 0x00, 0x04}, &response),
                  STATUS_SUCCESS);
        EXPECT_EQ(response.size(), 6u);
    }
}

TEST_F(ReaderEdgeTest, ColdResetStopsWhenThePowerOffGetsNoAnswer) {
    start("t1");
    ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    log->clear();
    host.clear_log();
    const kern::Ticks before = host.kernel().now();
    reader->sim().faults().silent_next(3);
    EXPECT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_DEVICE_DATA_ERROR);
    EXPECT_THAT(log->slot(0), ElementsAre(bytes({0x63, 0x00, 0x00}), bytes({0x63, 0x00, 0x00}),
                                          bytes({0x63, 0x00, 0x00})));
    EXPECT_GE(host.kernel().now() - before, kern::seconds(3 * 300)) << "three full waits";
    EXPECT_THAT(card_lines(), ElementsAre("[Qkr_SmartcardPower] Cold Reset"));
}

TEST_F(ReaderEdgeTest, PowerDownThatGetsNoAnswerLeavesTheCardPresentOnly) {
    start("t1");
    ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    ASSERT_EQ(slot0->state(), (ULONG)SCARD_SPECIFIC);
    host.clear_log();
    reader->sim().faults().silent_next(3);
    EXPECT_EQ(slot0->power(SCARD_POWER_DOWN), STATUS_IO_TIMEOUT);
    EXPECT_EQ(slot0->state(), (ULONG)SCARD_PRESENT);
    EXPECT_THAT(card_lines(), ElementsAre("[SmartcardPower] Power Down"));
    // A power-down that works from there leaves the card in the slot, unpowered.
    EXPECT_EQ(slot0->power(SCARD_POWER_DOWN), STATUS_SUCCESS);
    EXPECT_EQ(slot0->state(), (ULONG)SCARD_SWALLOWED);
    EXPECT_EQ(slot0->power(SCARD_WARM_RESET), STATUS_SUCCESS);
}

TEST_F(ReaderEdgeTest, CardPulledOutInTheMiddleOfAChainEndsTheRequestWithNoMedia) {
    start("t1");
    ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    reader->sim().faults().remove_card_in_chain(1);
    Data update = {0x00, 0xD6, 0x00, 0x00, 100};
    update.resize(105, 0x11);
    Data response;
    EXPECT_EQ(slot0->transmit(SCARD_PROTOCOL_T1, update, &response), STATUS_NO_MEDIA);
    EXPECT_FALSE(rx(0).ReaderBusy);
}

TEST_F(ReaderEdgeTest, ReaderInformationIsTheSameOnBothSlotsAndNeedsNoReader) {
    start("t0");
    log->clear();
    Data info0, info1;
    ASSERT_EQ(slot0->vendor(IOCTL_SMARTCARD_GET_READER_INFO, {}, &info0, 16), STATUS_SUCCESS);
    ASSERT_EQ(slot1->vendor(IOCTL_SMARTCARD_GET_READER_INFO, {}, &info1, 32), STATUS_SUCCESS);
    EXPECT_EQ(info0, ascii("BRIMVEL QTX10016"));
    EXPECT_EQ(info1, info0);
    EXPECT_EQ(slot1->vendor(IOCTL_SMARTCARD_GET_READER_INFO, {}, &info1, 15),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(slot0->vendor(SCARD_CTL_CODE(2051), {}, &info1, 16), STATUS_NOT_SUPPORTED);
    EXPECT_THAT(log->all(), IsEmpty());
}

TEST_F(ReaderEdgeTest, SpeedChangeMovesReaderPortAndTheRequestingSlotsSpeed) {
    start("t0");
    auto change = [&](int slot, std::uint8_t code, std::uint32_t speed) {
        SCOPED_TRACE(testing::Message() << "slot " << slot << " code " << (int)code);
        Client& client = slot == 0 ? *slot0 : *slot1;
        log->clear();
        host.clear_log();
        Data reply;
        ASSERT_EQ(client.vendor(IOCTL_SMARTCARD_SET_BAUD_RATE, {0x4C, 0x00, code}, &reply),
                  STATUS_SUCCESS);
        EXPECT_EQ(reply, bytes({0x00}));
        EXPECT_THAT(log->all(), ElementsAre(bytes({0x6B, std::uint8_t(slot), 0x00, 0x00, 0x03, 0x4C,
                                                   0x00, code})));
        EXPECT_THAT(card_lines(),
                    ElementsAre("[Qkr_SmartcardBrimvel] IOCTL_SMARTCARD_SET_BAUD_RATE"));
        EXPECT_EQ(reader->port().snapshot().format.baud, speed);
        EXPECT_EQ(reader->sim().baud(), speed);
        EXPECT_EQ(rx(slot).BaudRate, speed);
        // The link works at the new speed.
        EXPECT_EQ(client.power(SCARD_COLD_RESET), STATUS_SUCCESS);
    };

    // Through slot 1: slot 1's speed changes; slot 0's, which the next start sets, stays.
    change(1, 0x03, 9600);
    EXPECT_EQ(rx(0).BaudRate, 19200u);
    change(1, 0x02, 19200);
    // Through slot 0: slot 0's speed changes.
    change(0, 0x03, 9600);
    EXPECT_EQ(rx(1).BaudRate, 19200u);

    // A refusal leaves both ends and the stored speed where they were.
    reader->sim().faults().refuse_speed_change();
    Data reply;
    EXPECT_EQ(slot0->vendor(IOCTL_SMARTCARD_SET_BAUD_RATE, {0x4C, 0x00, 0x01}, &reply),
              STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(reader->port().snapshot().format.baud, 9600u);
    EXPECT_EQ(rx(0).BaudRate, 9600u);
    EXPECT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);

    // Too short a request never reaches the reader.
    log->clear();
    EXPECT_EQ(slot0->vendor(IOCTL_SMARTCARD_SET_BAUD_RATE, {0x4C, 0x00}, &reply),
              STATUS_INVALID_PARAMETER);
    EXPECT_THAT(log->all(), IsEmpty());
}

TEST_F(ReaderEdgeTest, SetParametersCarryTheCardsCheckAndConvention) {
    struct Case {
        const char* card;
        ULONG protocol;
        std::uint8_t flags;
    };
    for (Case c : {Case{"t1", SCARD_PROTOCOL_T1, 0x10}, Case{"t1-crc", SCARD_PROTOCOL_T1, 0x11},
                   Case{"inverse", SCARD_PROTOCOL_T0, 0x02}, Case{"t0", SCARD_PROTOCOL_T0, 0x00}}) {
        SCOPED_TRACE(c.card);
        start(c.card);
        ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
        log->clear();
        ASSERT_EQ(slot0->set_protocol(c.protocol), STATUS_SUCCESS);
        const auto sent = log->slot(0);
        ASSERT_FALSE(sent.empty());
        ASSERT_EQ(sent.back().size(), 8u);
        EXPECT_EQ(sent.back()[0], RDCMD_SET_PARAMS);
        EXPECT_EQ(sent.back()[3], c.flags);
        handle.close();
        host.release_reader(*reader);
    }
}

// The library answers these requests itself before any callback runs; called directly, the
// callbacks still refuse them cleanly and leave the reader as they found it.
TEST_F(ReaderEdgeTest, CallbacksCalledPastTheLibrarysChecks) {
    start("");
    SMARTCARD_EXTENSION* ext = reader->slot(0);
    ULONG information = 0xDEAD;
    Data reply(64, 0xEE);
    auto call = [&](PRDF_FUNCTION fn, ULONG minor) {
        ext->MinorIoControlCode = minor;
        ext->IoRequest.Information = &information;
        ext->IoRequest.ReplyBuffer = reply.data();
        ext->IoRequest.ReplyBufferLength = ULONG(reply.size());
        NTSTATUS status = fn(ext);
        ext->IoRequest = {};
        return status;
    };

    // No protocol selected: nothing goes to the reader.
    log->clear();
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    EXPECT_EQ(call(Qkr_SmartcardIoRequest, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_THAT(log->all(), IsEmpty());
    EXPECT_FALSE(rx(0).ReaderBusy);
    host.kernel().sleep_for(kern::milliseconds(50));
    EXPECT_EQ(reader->port().snapshot().wait_mask, ULONG(SERIAL_EV_CTS | SERIAL_EV_DSR))
        << "event tracking is armed again";

    // No card: the reader answers the reset without an answer to reset.
    ASSERT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_ABSENT);
    EXPECT_EQ(call(Qkr_SmartcardPower, SCARD_COLD_RESET), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_THAT(log->slot(0), ElementsAre(bytes({0x63, 0x00, 0x00}), bytes({0x62, 0x00, 0x00}),
                                          bytes({0x63, 0x00, 0x00})));
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(reply, Data(64, 0xEE));
    EXPECT_FALSE(rx(0).ReaderBusy);
}

} // namespace
} // namespace qkr::cardtest
