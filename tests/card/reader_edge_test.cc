// The card callbacks' edge cases that need a real reader and card, seen from a client: the
// commands that reach the reader, the driver's log lines, statuses and answers. The callbacks'
// own decisions are checked byte by byte against the fake reader (*_callback_test.cc).
#include "sim/file_system.h"
#include "tests/card/stack_support.h"

#include <functional>
#include <memory>

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;

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
        reader->sim().insert(sim::make_card(card));
        log = std::make_unique<CommandLog>(reader->sim());
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        handle = reader->open();
        slot0 = std::make_unique<Client>(*reader, handle, 0);
        slot1 = std::make_unique<Client>(*reader, handle, 1);
    }
    void TearDown() override { handle.close(); }
    READER_EXTENSION& rx(int n) { return *qkr::host::DriverRecords::reader(*reader, n); }
};

// The firmware version decides the rewrite (start-up tests); the bytes of the rewrite and the
// cut are checked against the fake reader. Here: a real reader's 256 bytes come back as asked.
TEST_F(ReaderEdgeTest, OldFirmwareGetsLongReadsAsFullReadsAndTheCallerStillGetsWhatItAskedFor) {
    start("t0", "0009");
    ASSERT_TRUE(rx(0).T0LeWorkaround);
    ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T0), STATUS_SUCCESS);
    sim::FileSystemApp oracle;
    Data response;
    const Data select_df = {0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00,
                            0x00, 0x00, 0x51, 0x4B, 0x52, 0x01};
    const Data select_counting = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
    for (const Data& apdu : {select_df, select_counting}) {
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, apdu, &response), STATUS_SUCCESS);
        oracle.execute(apdu);
    }
    for (std::uint8_t le : {0xFF, 0xFE}) {
        log->clear();
        const Data read = {0x00, 0xB0, 0x00, 0x00, le};
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, read, &response), STATUS_SUCCESS);
        EXPECT_EQ(response, oracle.execute(read)) << (int)le;
        EXPECT_EQ(response.size(), std::size_t(le) + 2);
        EXPECT_THAT(log->slot(0), ElementsAre(bytes({0x67, 0x00, 0x00, 0x00, 0x05, 0x00, 0xB0, 0x00,
                                                     0x00, 0x00})));
    }
}

// The exact PTS, warm reset and parameter bytes are checked against the fake reader; here a real
// card refusing the PTS in either way is still usable at the default rates afterwards.
TEST_F(ReaderEdgeTest, RefusedPtsFallsBackToTheDefaultRatesAndTheCardStillWorks) {
    start("dual");
    for (sim::PtsBehaviour refusal : {sim::PtsBehaviour::Refuse, sim::PtsBehaviour::Wrong}) {
        ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
        reader->sim().faults().next_pts(refusal);
        log->clear();
        host.clear_log();
        ULONG selected = 0;
        ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T0, &selected), STATUS_SUCCESS);
        EXPECT_EQ(selected, (ULONG)SCARD_PROTOCOL_T0);
        const auto sent = log->slot(0);
        ASSERT_EQ(sent.size(), 4u) << "PTS, warm reset, PTS of the default rates, parameters";
        EXPECT_EQ(sent[1], bytes({0x64, 0x00, 0x00}));
        EXPECT_THAT(lines_with(host.log(), "[SetProtocol]"),
                    ElementsAre("[SetProtocol] PTS selection fial",
                                "[SetProtocol] PTS selection Set default SUCCESS"));
        EXPECT_EQ(rx(0).DiIndex, 1);
        Data response;
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, {0x00, 0x84, 0x00, 0x00, 0x04}, &response),
                  STATUS_SUCCESS);
        EXPECT_EQ(response.size(), 6u);
    }
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

// A T=1 exchange whose reply is lost between reader and driver leaves the card's block numbering
// unknown. The commands after it must get their own answers, never the card's repeat of the lost
// one, and a write after it must really happen.
TEST_F(ReaderEdgeTest, CommandsAfterALostT1ReplyGetTheirOwnAnswers) {
    start("t1");
    ASSERT_EQ(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    sim::FileSystemApp card;
    const Data select = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x03};
    Data response;
    ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T1, select, &response), STATUS_SUCCESS);
    card.execute(select);
    const std::function<void()> faults[] = {
        [&] { reader->sim().faults().corrupt_next(3); },
        [&] { reader->sim().faults().delay_next(kern::seconds(200)); },
    };
    std::uint8_t fill = 0x40;
    for (const auto& fault : faults) {
        const Data lost = {0x00, 0xD6, 0x00, 0x00, 0x02, fill, fill};
        fault();
        EXPECT_NE(slot0->transmit(SCARD_PROTOCOL_T1, lost, &response), STATUS_SUCCESS);
        // The card may or may not have carried the lost write out.
        const Data read = {0x00, 0xB0, 0x00, 0x00, 0x04};
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T1, read, &response), STATUS_SUCCESS);
        sim::FileSystemApp written = card;
        written.execute(lost);
        EXPECT_TRUE(response == card.execute(read) || response == written.execute(read));
        card = written.execute(read) == response ? written : card;
        const Data update = {0x00, 0xD6, 0x00, 0x01, 0x02, UCHAR(fill + 1), UCHAR(fill + 2)};
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T1, update, &response), STATUS_SUCCESS);
        EXPECT_EQ(response, card.execute(update));
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T1, read, &response), STATUS_SUCCESS);
        EXPECT_EQ(response, card.execute(read));
        fill += 0x10;
    }
}

// A reader that loses power in the middle of a command ends that command at once, and the
// driver no longer claims to know about a card: later commands fail without waiting minutes.
TEST_F(ReaderEdgeTest, ReaderLosingPowerMidCommandEndsItAndLaterCommandsAtOnce) {
    for (ULONG protocol : {ULONG{SCARD_PROTOCOL_T0}, ULONG{SCARD_PROTOCOL_T1}}) {
        SCOPED_TRACE(protocol);
        host::Reader& r = host.add_reader();
        r.sim().insert(sim::make_card("dual"));
        ASSERT_EQ(r.add(), STATUS_SUCCESS);
        ASSERT_EQ(r.start(), STATUS_SUCCESS);
        kern::FileHandle h = r.open();
        Client client(r, h, 0);
        ASSERT_EQ(client.power(SCARD_COLD_RESET), STATUS_SUCCESS);
        ASSERT_EQ(client.set_protocol(protocol), STATUS_SUCCESS);
        // The card thinks for ten seconds; the reader's power goes after one.
        r.sim().faults().delay_next(kern::seconds(10));
        r.kernel().schedule_after(kern::seconds(1), [&r] { r.sim().set_powered(false); });
        Data response;
        auto began = r.kernel().now();
        EXPECT_EQ(client.transmit(protocol, {0x00, 0x84, 0x00, 0x00, 0x08}, &response),
                  STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_LT(r.kernel().now() - began, kern::seconds(2));
        EXPECT_EQ(client.state(), ULONG{SCARD_UNKNOWN});
        began = r.kernel().now();
        EXPECT_NE(client.power(SCARD_COLD_RESET), STATUS_SUCCESS);
        EXPECT_LT(r.kernel().now() - began, kern::milliseconds(100));
        h.close();
    }
}

// A card put in while a command of the other slot holds the reader changes nothing on the line
// afterwards: the waiting client must hear of it when that command ends, not at the next change.
TEST_F(ReaderEdgeTest, CardInsertedDuringACommandIsReportedWhenTheCommandEnds) {
    start("none");
    kern::PendingIo present = slot0->park(IOCTL_SMARTCARD_IS_PRESENT);
    reader->sim().faults().delay_next(kern::seconds(1));
    reader->kernel().schedule_after(kern::milliseconds(500),
                                    [this] { reader->sim().insert(sim::make_card("t1")); });
    ASSERT_EQ(slot1->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    EXPECT_TRUE(present.wait_for(kern::milliseconds(100)));
    EXPECT_EQ(present.status(), STATUS_SUCCESS);
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
        EXPECT_THAT(lines_with(host.log(), "[Qkr_SmartcardBrimvel]"),
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
}

} // namespace
} // namespace qkr::cardtest
