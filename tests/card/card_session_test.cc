// Whole card sessions through the driver against the simulated reader: every built-in card model
// in every protocol it offers, in both slots at once, answering exactly what the card's own
// application answers.
#include "sim/file_system.h"
#include "tests/card/stack_support.h"

#include <atomic>
#include <memory>

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;

struct Session {
    std::string card;
    ULONG protocol;
};

std::string session_name(const ::testing::TestParamInfo<Session>& info) {
    std::string n = info.param.card + (info.param.protocol == SCARD_PROTOCOL_T1 ? "_T1" : "_T0");
    for (char& c : n)
        if (c == '-')
            c = '_';
    return n;
}

// The commands of a session: SELECT by identifier and by name, READ BINARY short and of 256
// bytes (chained under T=1), UPDATE BINARY with a body longer than the card's IFSC, a read-back,
// GET CHALLENGE and a wrong PIN. Only commands without both data in and data out, so that T=0
// and T=1 answer alike.
std::vector<Data> session_apdus() {
    Data update = {0x00, 0xD6, 0x00, 0x10, 100};
    for (int i = 0; i < 100; ++i)
        update.push_back(std::uint8_t(0xC0 ^ i));
    return {
        {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00},
        {0x00, 0xB0, 0x00, 0x00, 0x10},
        {0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00, 0x00, 0x00, 0x51, 0x4B, 0x52, 0x01},
        {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01},
        {0x00, 0xB0, 0x01, 0x00, 0x00},
        {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x03},
        update,
        {0x00, 0xB0, 0x00, 0x10, 100},
        {0x00, 0x84, 0x00, 0x00, 0x08},
        {0x00, 0x20, 0x00, 0x01, 0x04, 0x39, 0x39, 0x39, 0x39},
    };
}

class CardSessionTest : public ::testing::TestWithParam<Session> {
  protected:
    host::Host host;
    host::Reader* reader = nullptr;

    void SetUp() override {
        reader = &host.add_reader();
        reader->sim().insert(sim::make_card(GetParam().card));
        reader->sim().set_slot1_card(sim::make_card(GetParam().card));
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    }

    // One slot's whole session; failures are recorded against the slot.
    void run_session(Client& client, int slot) {
        const Session& s = GetParam();
        Data atr;
        ASSERT_EQ(client.power(SCARD_COLD_RESET, &atr), STATUS_SUCCESS) << "slot " << slot;
        EXPECT_EQ(atr, sim::make_card(s.card)->reset(true)) << "slot " << slot;

        ULONG selected = 0;
        ASSERT_EQ(client.set_protocol(s.protocol, &selected), STATUS_SUCCESS) << "slot " << slot;
        EXPECT_EQ(selected, s.protocol);
        EXPECT_EQ(client.state(), (ULONG)SCARD_SPECIFIC);

        sim::FileSystemApp oracle;
        oracle.reset();
        for (const Data& apdu : session_apdus()) {
            Data response;
            ASSERT_EQ(client.transmit(s.protocol, apdu, &response), STATUS_SUCCESS)
                << "slot " << slot << " APDU " << (int)apdu[1];
            EXPECT_EQ(response, oracle.execute(apdu))
                << "slot " << slot << " APDU " << (int)apdu[1];
        }
        EXPECT_EQ(client.power(SCARD_POWER_DOWN), STATUS_SUCCESS);
        EXPECT_EQ(client.state(), (ULONG)SCARD_SWALLOWED);
    }
};

TEST_P(CardSessionTest, BothSlotsAtOnceGetTheCardsExactAnswers) {
    kern::FileHandle handle = reader->open();
    Client slot0(*reader, handle, 0);
    Client slot1(*reader, handle, 1);
    kern::Thread other = host.kernel().spawn("slot1", [&] { run_session(slot1, 1); });
    run_session(slot0, 0);
    other.join();

    // A few answers spelled out, so the comparison above cannot be fooled by the application.
    Data response;
    ASSERT_EQ(slot0.power(SCARD_COLD_RESET), STATUS_SUCCESS);
    ASSERT_EQ(slot0.set_protocol(GetParam().protocol), STATUS_SUCCESS);
    ASSERT_EQ(
        slot0.transmit(GetParam().protocol, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00}, &response),
        STATUS_SUCCESS);
    EXPECT_EQ(response, bytes({0x90, 0x00}));
    ASSERT_EQ(slot0.transmit(GetParam().protocol, {0x00, 0xB0, 0x00, 0x00, 0x10}, &response),
              STATUS_SUCCESS);
    EXPECT_EQ(response, concat(ascii("QKR SIM CARD 000"), {0x90, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(
    EveryCardModel, CardSessionTest,
    ::testing::Values(Session{"t0", SCARD_PROTOCOL_T0}, Session{"t1", SCARD_PROTOCOL_T1},
                      Session{"t1-crc", SCARD_PROTOCOL_T1}, Session{"dual", SCARD_PROTOCOL_T0},
                      Session{"dual", SCARD_PROTOCOL_T1}, Session{"specific", SCARD_PROTOCOL_T0},
                      Session{"inverse", SCARD_PROTOCOL_T0}, Session{"wtx", SCARD_PROTOCOL_T1}),
    session_name);

// ----- memory cards, which have no APDU session (a mute card's reset, the memory-card transmit
// lengths and the callbacks' exact bytes are checked against the fake reader) -----

class SpecialCardTest : public ::testing::Test {
  protected:
    host::Host host;
    host::Reader* reader = nullptr;
    std::unique_ptr<CommandLog> log;

    void start(const std::string& card) {
        reader = &host.add_reader();
        reader->sim().insert(sim::make_card(card));
        log = std::make_unique<CommandLog>(reader->sim());
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    }
};

TEST_F(SpecialCardTest, MemoryCardsAreReportedWithTheStandInAnswerAndUsedThroughTheVendorCode) {
    const Data stand_in = concat(
        concat(bytes({0x3B, 0xBF, 0x18, 0x00, 0x80, 0x31, 0x70, 0x35}), ascii("STARCOS S21 C")),
        {0x90, 0x00, 0x9B});
    for (const char* card : {"memory2", "memory3"}) {
        SCOPED_TRACE(card);
        start(card);
        kern::FileHandle handle = reader->open();
        Client client(*reader, handle, 0);
        Data atr;
        ASSERT_EQ(client.power(SCARD_COLD_RESET, &atr), STATUS_SUCCESS);
        EXPECT_EQ(atr, stand_in);
        EXPECT_TRUE(qkr::host::DriverRecords::reader(*reader, 0)->MemoryCardPresent);

        ULONG selected = 0;
        log->clear();
        ASSERT_EQ(client.set_protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &selected),
                  STATUS_SUCCESS);
        EXPECT_EQ(selected, 0x10u);
        EXPECT_EQ(client.state(), (ULONG)SCARD_SPECIFIC);

        Data response;
        // READ 16 bytes from address 0x10.
        ASSERT_EQ(
            client.vendor(IOCTL_SMARTCARD_BRV_MEM_TRANSMIT, {0x01, 0x00, 0x10, 0x10}, &response),
            STATUS_SUCCESS);
        ASSERT_EQ(response.size(), 17u);
        EXPECT_EQ(response[0], 0x00);
        const bool two = std::string(card) == "memory2";
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(response[1 + i], std::uint8_t(two ? 0x10 + i : (0x10 + i) ^ 0xA5));
        EXPECT_THAT(log->all(),
                    ElementsAre(bytes({0x6B, 0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x10, 0x10})));
        handle.close();
        host.release_reader(*reader);
    }
}

} // namespace
} // namespace qkr::cardtest
