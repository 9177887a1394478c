// The card callbacks against replies a well-behaved reader would not give: each reply checked by
// the driver, through the whole stack, with a scripted reader at the far end of the line.
#include "tests/card/scripted_firmware.h"
#include "tests/card/stack_support.h"

#include <memory>

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using FW = ScriptedFirmware;

const Data kT0Atr = {0x3B, 0x00};             // T=0, nothing else
const Data kT1Atr = {0x3B, 0x80, 0x01, 0x81}; // T=1 only

class ReaderReplyTest : public ::testing::Test {
  protected:
    host::Host host;
    std::unique_ptr<FW> firmware = std::make_unique<FW>(host.kernel());
    host::Reader* reader = nullptr;
    kern::FileHandle handle;
    std::unique_ptr<Client> client;

    void SetUp() override {
        host::ReaderOptions options;
        options.device = firmware.get();
        reader = &host.add_reader(options);
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        handle = reader->open();
        client = std::make_unique<Client>(*reader, handle, 0);
    }
    void TearDown() override {
        handle.close();
        // Let the removal's line changes settle before the line itself goes.
        reader->remove();
        host.kernel().sleep_for(kern::milliseconds(100));
        host.release_reader(*reader);
    }

    // A processor card reset and given its only protocol, with the PTS confirmed.
    void ready_card(const Data& atr, ULONG protocol) {
        firmware->answer(RDCMD_POWER_ON, FW::data(concat({0x01}, atr)));
        ASSERT_EQ(client->power(SCARD_COLD_RESET), STATUS_SUCCESS);
        const std::uint8_t pts0 = protocol == SCARD_PROTOCOL_T1 ? 0x11 : 0x10;
        firmware->answer(RDCMD_EXCHANGE, FW::data({0xFF, pts0, 0x11, std::uint8_t(0xEE ^ pts0)}));
        ASSERT_EQ(client->set_protocol(protocol), STATUS_SUCCESS);
        firmware->forget_commands();
        host.clear_log();
    }
    std::vector<std::string> card_lines() {
        std::vector<std::string> out;
        for (const char* tag :
             {"[SetProtocol]", "[SmartcardPower]", "[Qkr_SmartcardPower]",
              "[Qkr_SmartcardIoRequest]", "[Qkr_SmartcardBrimvel]", "[Qkr_SmartcardVendor]"}) {
            for (const std::string& l : lines_with(host.log(), tag))
                out.push_back(l);
        }
        return out;
    }
};

TEST_F(ReaderReplyTest, RefusedPowerOffFailsAColdResetBeforeThePowerOn) {
    firmware->answer(RDCMD_POWER_OFF, FW::data({0x00}));
    EXPECT_EQ(client->power(SCARD_COLD_RESET), STATUS_DEVICE_DATA_ERROR);
    EXPECT_THAT(firmware->card_commands(), ElementsAre(Data{0x63, 0x00, 0x00}));
    EXPECT_THAT(card_lines(), ElementsAre("[Qkr_SmartcardPower] Cold Reset"));
}

TEST_F(ReaderReplyTest, RefusedPowerDownLeavesTheCardPresent) {
    ready_card(kT1Atr, SCARD_PROTOCOL_T1);
    ASSERT_EQ(client->state(), (ULONG)SCARD_SPECIFIC);
    firmware->answer(RDCMD_POWER_OFF, FW::data({0x00}));
    EXPECT_EQ(client->power(SCARD_POWER_DOWN), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(client->state(), (ULONG)SCARD_PRESENT);
    EXPECT_THAT(card_lines(), ElementsAre("[SmartcardPower] Power Down"));
}

TEST_F(ReaderReplyTest, AnswersToResetTheCallerCannotBeGivenAreRefused) {
    Data too_long = {0x3B, 0x0F};
    too_long.resize(34, 0x41);
    firmware->answer(RDCMD_POWER_ON, FW::data(concat({0x01}, too_long)));
    Data atr;
    EXPECT_EQ(client->power(SCARD_COLD_RESET, &atr), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_TRUE(atr.empty());

    // Announces eleven bytes, sends two.
    firmware->answer(RDCMD_WARM_RESET, FW::data({0x01, 0x3B, 0x00}, 12));
    EXPECT_EQ(client->power(SCARD_WARM_RESET, &atr), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_TRUE(atr.empty());
    EXPECT_EQ(reader->slot(0)->CardCapabilities.ATR.Length, 0);

    // A good one afterwards is taken.
    firmware->answer(RDCMD_WARM_RESET, FW::data(concat({0x01}, kT0Atr)));
    EXPECT_EQ(client->power(SCARD_WARM_RESET, &atr), STATUS_SUCCESS);
    EXPECT_EQ(atr, kT0Atr);
}

TEST_F(ReaderReplyTest, PtsReplyThatIsNotDataCountsAsConfirmed) {
    firmware->answer(RDCMD_POWER_ON, FW::data(concat({0x01}, kT0Atr)));
    ASSERT_EQ(client->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    firmware->forget_commands();
    host.clear_log();
    firmware->answer(RDCMD_EXCHANGE, FW::done());
    ULONG selected = 0;
    ASSERT_EQ(client->set_protocol(SCARD_PROTOCOL_T0, &selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, (ULONG)SCARD_PROTOCOL_T0);
    EXPECT_THAT(firmware->card_commands(),
                ElementsAre(Data{0x67, 0x00, 0x00, 0x00, 0x04, 0xFF, 0x10, 0x11, 0xFE},
                            Data{0x61, 0x00, 0x00, 0x00, 0x03, 20, 0x00, 0x00}));
    EXPECT_THAT(card_lines(), ElementsAre("[SetProtocol] PTS selection success"));
}

TEST_F(ReaderReplyTest, FailingWarmResetSkipsTheSecondPtsButTheParametersStillGo) {
    firmware->answer(RDCMD_POWER_ON, FW::data(concat({0x01}, kT1Atr)));
    ASSERT_EQ(client->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    firmware->forget_commands();
    host.clear_log();
    firmware->answer(RDCMD_EXCHANGE, FW::data({0xFF, 0x11, 0x12, 0xFC})); // other PTS1
    firmware->stay_silent(RDCMD_WARM_RESET, 3);
    ASSERT_EQ(client->set_protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    const auto& card = reader->slot(0)->CardCapabilities;
    const std::uint8_t block_waiting = std::uint8_t(card.T1.BWI * 16 + card.T1.CWI);
    EXPECT_THAT(firmware->card_commands(),
                ElementsAre(Data{0x67, 0x00, 0x00, 0x00, 0x04, 0xFF, 0x11, 0x11, 0xFF},
                            Data{0x64, 0x00, 0x00}, Data{0x64, 0x00, 0x00}, Data{0x64, 0x00, 0x00},
                            Data{0x61, 0x00, 0x00, 0x10, 0x00, 0x00, block_waiting, 0x00}));
    EXPECT_THAT(card_lines(), ElementsAre("[SetProtocol] PTS selection fial"));
}

TEST_F(ReaderReplyTest, ReaderRefusingTheParametersLeavesNoProtocol) {
    firmware->answer(RDCMD_POWER_ON, FW::data(concat({0x01}, kT0Atr)));
    ASSERT_EQ(client->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    firmware->answer(RDCMD_EXCHANGE, FW::done());
    firmware->answer(RDCMD_SET_PARAMS, FW::data({0x00}));
    EXPECT_EQ(client->set_protocol(SCARD_PROTOCOL_T0), STATUS_NO_MEDIA);
    EXPECT_EQ(reader->slot(0)->CardCapabilities.Protocol.Selected, 0u);
    Data response;
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T0, {0x00, 0x84, 0x00, 0x00, 0x08}, &response),
              STATUS_INVALID_DEVICE_STATE)
        << "the library refuses a transmit without a protocol";
}

TEST_F(ReaderReplyTest, ExchangeRepliesOtherThanDataUnderT0) {
    ready_card(kT0Atr, SCARD_PROTOCOL_T0);
    const Data apdu = {0x00, 0xB0, 0x00, 0x00, 0x08};
    Data response;

    firmware->answer(RDCMD_EXCHANGE, {RDRSP_NO_CARD, 0x00, 0x00, 0x00});
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T0, apdu, &response), STATUS_NO_MEDIA);

    firmware->answer(RDCMD_EXCHANGE, FW::done());
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T0, apdu, &response), STATUS_SUCCESS);
    EXPECT_TRUE(response.empty());

    firmware->answer(RDCMD_EXCHANGE, FW::data({}));
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T0, apdu, &response), STATUS_IO_TIMEOUT);

    firmware->answer(RDCMD_EXCHANGE, FW::data({0x90, 0x00}, 10)); // announces more than it sent
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T0, apdu, &response), STATUS_DEVICE_DATA_ERROR);

    firmware->answer(RDCMD_EXCHANGE, FW::data({1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00}));
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T0, apdu, &response), STATUS_SUCCESS);
    EXPECT_EQ(response, (Data{1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00}));

    auto sent = firmware->card_commands();
    ASSERT_EQ(sent.size(), 5u);
    for (const Data& c : sent)
        EXPECT_EQ(c, (Data{0x67, 0x00, 0x00, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x08}));
    EXPECT_FALSE(reader->reader_extension(0)->ReaderBusy);
}

TEST_F(ReaderReplyTest, ExchangeRepliesOtherThanDataUnderT1) {
    ready_card(kT1Atr, SCARD_PROTOCOL_T1);
    const Data apdu = {0x00, 0x84, 0x00, 0x00, 0x02};
    Data response;

    firmware->answer(RDCMD_EXCHANGE, {RDRSP_NO_CARD, 0x00, 0x00, 0x00});
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T1, apdu, &response), STATUS_NO_MEDIA);

    firmware->answer(RDCMD_EXCHANGE, FW::done());
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T1, apdu, &response), STATUS_SUCCESS);
    EXPECT_TRUE(response.empty());

    EXPECT_FALSE(reader->reader_extension(0)->ReaderBusy);
}

TEST_F(ReaderReplyTest, EmptyT1BlockReachesTheLibraryAsACardThatSaidNothing) {
    ready_card(kT1Atr, SCARD_PROTOCOL_T1);
    // The T=1 engine opens with its IFSD request; an empty block makes it ask again, and the
    // exchange then goes on as usual.
    firmware->answer(RDCMD_EXCHANGE, FW::data({}));
    firmware->answer(RDCMD_EXCHANGE, FW::data({0x00, 0xE1, 0x01, 0xF0, 0x10}));
    firmware->answer(RDCMD_EXCHANGE, FW::data({0x00, 0x00, 0x04, 0xAA, 0xBB, 0x90, 0x00, 0x85}));
    Data response;
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_T1, {0x00, 0x84, 0x00, 0x00, 0x02}, &response),
              STATUS_SUCCESS);
    EXPECT_EQ(response, (Data{0xAA, 0xBB, 0x90, 0x00}));
    auto sent = firmware->card_commands();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], sent[1]) << "the block that got no answer is sent again";
    EXPECT_EQ(sent[2], (Data{0x67, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00,
                             0x02, 0x83}));
}

TEST_F(ReaderReplyTest, EmptyDataUnderRawIsJustLogged) {
    ready_card(kT0Atr, SCARD_PROTOCOL_T0);
    // The driver offers raw exchanges to the library but never selects the protocol itself.
    reader->slot(0)->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
    firmware->answer(RDCMD_EXCHANGE, FW::data({}));
    Data response;
    EXPECT_EQ(client->transmit(SCARD_PROTOCOL_RAW, {0x01, 0x02, 0x03}, &response), STATUS_SUCCESS);
    EXPECT_TRUE(response.empty());
    EXPECT_THAT(card_lines(), ElementsAre("[Qkr_SmartcardIoRequest]Unknown protocol"));
    EXPECT_THAT(firmware->card_commands(),
                ElementsAre(Data{0x67, 0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03}));
}

TEST_F(ReaderReplyTest, MemoryCardReplyLongerThanTheCallersBufferIsRefusedWithAMessage) {
    firmware->answer(RDCMD_MEM_EXCHANGE, FW::data(Data(17, 0x42)));
    Data response;
    EXPECT_EQ(client->vendor(IOCTL_SMARTCARD_BRV_MEM_TRANSMIT, {0x01}, &response, 16),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(response.empty());
    auto lines = lines_with(host.log(), "[Qkr_SmartcardBrimvel]");
    ASSERT_EQ(lines.size(), 1u);
    // The message has no line end of its own: whatever the driver logs next joins it.
    EXPECT_EQ(lines[0].rfind("[Qkr_SmartcardBrimvel] Buffer too small to fit the returned data", 0),
              0u);

    firmware->answer(RDCMD_MEM_EXCHANGE, FW::data(Data(16, 0x42)));
    EXPECT_EQ(client->vendor(IOCTL_SMARTCARD_BRV_MEM_TRANSMIT, {0x01}, &response, 16),
              STATUS_SUCCESS);
    EXPECT_EQ(response, Data(16, 0x42));

    firmware->answer(RDCMD_MEM_EXCHANGE, FW::done());
    EXPECT_EQ(client->vendor(IOCTL_SMARTCARD_BRV_MEM_TRANSMIT, {0x01}, &response, 16),
              STATUS_SUCCESS);
    EXPECT_TRUE(response.empty());
}

TEST_F(ReaderReplyTest, SpeedCodeTheDriverDoesNotKnowLeavesThePortAlone) {
    firmware->answer(RDCMD_MEM_EXCHANGE, FW::data({0x00}));
    Data reply;
    EXPECT_EQ(client->vendor(IOCTL_SMARTCARD_SET_BAUD_RATE, {0x4C, 0x00, 0x07}, &reply),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reader->port().snapshot().format.baud, 19200u);
    EXPECT_EQ(reader->reader_extension(0)->BaudRate, 19200u);

    // A reply without data is no acceptance.
    firmware->answer(RDCMD_MEM_EXCHANGE, FW::data({}));
    EXPECT_EQ(client->vendor(IOCTL_SMARTCARD_SET_BAUD_RATE, {0x4C, 0x00, 0x03}, &reply),
              STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(reader->port().snapshot().format.baud, 19200u);
    EXPECT_EQ(reader->reader_extension(0)->BaudRate, 19200u);
}

} // namespace
} // namespace qkr::cardtest
