// The card callbacks through the whole stack (kernel, driver, port, line, simulated reader and
// card), seen from a client, for what the scripted reader cannot show: real cards' answers against
// the card's own application, and the reader's edges a real line produces. Card models the
// explorer already draws are exercised there; the byte-level decisions are in *_callback_test.cc.
#include "host/host.h"
#include "sim/file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;
using Data = std::vector<std::uint8_t>;
using Client = host::SlotClient;

class StackTest : public ::testing::Test {
  protected:
    host::Host host;
    host::Reader* reader = nullptr;
    kern::FileHandle handle;
    std::unique_ptr<Client> slot0;
    std::unique_ptr<Client> slot1;
    std::mutex mutex;
    std::vector<Data> commands; // every command payload the simulated reader received

    void start(const std::string& card, const std::string& firmware = "0016") {
        host::ReaderOptions options;
        options.sim.firmware = firmware;
        reader = &host.add_reader(options);
        reader->sim().insert(sim::make_card(card));
        reader->sim().set_slot1_card(sim::make_card(card));
        reader->sim().set_command_observer([this](std::span<const std::uint8_t> p) {
            std::lock_guard lock(mutex);
            commands.emplace_back(p.begin(), p.end());
        });
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        handle = reader->open();
        slot0 = std::make_unique<Client>(*reader, handle, 0);
        slot1 = std::make_unique<Client>(*reader, handle, 1);
        forget();
    }
    void TearDown() override { handle.close(); }
    void forget() {
        std::lock_guard lock(mutex);
        commands.clear();
        host.clear_log();
    }
    // The card commands of one slot (reader-level queries left out).
    std::vector<Data> sent(int slot) {
        std::lock_guard lock(mutex);
        std::vector<Data> out;
        for (const Data& c : commands)
            if (c.size() >= 2 && c[0] != RDCMD_GET_TYPE && c[0] != RDCMD_GET_STATUS && c[1] == slot)
                out.push_back(c);
        return out;
    }
    std::vector<std::string> log_with(const std::string& tag) {
        std::vector<std::string> out;
        for (const std::string& l : host.log())
            if (l.find(tag) != std::string::npos)
                out.push_back(l);
        return out;
    }
    READER_EXTENSION& rx(int n) { return *host::DriverRecords::reader(*reader, n); }
    void open_session(Client& client, ULONG protocol) {
        ASSERT_EQ(client.power(SCARD_COLD_RESET), STATUS_SUCCESS);
        ASSERT_EQ(client.set_protocol(protocol), STATUS_SUCCESS);
    }
};

// Cards the explorer does not draw: a card in its specific mode and one that keeps asking for
// waiting-time extensions. Both slots at once, every answer the card's application's.
TEST_F(StackTest, BothSlotsAtOnceGetTheCardsExactAnswers) {
    for (auto [card, protocol] : {std::pair{"specific", ULONG{SCARD_PROTOCOL_T0}},
                                  std::pair{"wtx", ULONG{SCARD_PROTOCOL_T1}}}) {
        SCOPED_TRACE(card);
        start(card);
        Data update = {0x00, 0xD6, 0x00, 0x10, 100};
        for (int i = 0; i < 100; ++i)
            update.push_back(std::uint8_t(0xC0 ^ i));
        const std::vector<Data> apdus = {
            {0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00, 0x00, 0x00, 0x51, 0x4B, 0x52, 0x01},
            {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01},
            {0x00, 0xB0, 0x01, 0x00, 0x00},
            {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x03},
            update,
            {0x00, 0xB0, 0x00, 0x10, 100},
            {0x00, 0x20, 0x00, 0x01, 0x04, 0x39, 0x39, 0x39, 0x39},
        };
        auto session = [&](Client& client, int slot) {
            Data atr;
            ASSERT_EQ(client.power(SCARD_COLD_RESET, &atr), STATUS_SUCCESS) << slot;
            EXPECT_EQ(atr, sim::make_card(card)->reset(true)) << slot;
            ASSERT_EQ(client.set_protocol(protocol), STATUS_SUCCESS) << slot;
            sim::FileSystemApp oracle;
            for (const Data& apdu : apdus) {
                Data response;
                ASSERT_EQ(client.transmit(protocol, apdu, &response), STATUS_SUCCESS) << slot;
                EXPECT_EQ(response, oracle.execute(apdu)) << slot << " APDU " << int(apdu[1]);
            }
        };
        kern::Thread other = host.kernel().spawn("slot1", [&] { session(*slot1, 1); });
        session(*slot0, 0);
        other.join();
        // Spelled out once, so that the application cannot fool the comparison.
        Data response;
        ASSERT_EQ(slot0->transmit(protocol, {0x00, 0xB0, 0x00, 0x10, 0x02}, &response),
                  STATUS_SUCCESS);
        EXPECT_EQ(response, (Data{0xC0, 0xC1, 0x90, 0x00}));
        handle.close();
        host.release_reader(*reader);
    }
}

TEST_F(StackTest, MemoryCardsAreReportedWithTheStandInAnswerAndUsedThroughTheVendorCode) {
    const std::string stand_in_text = "STARCOS S21 C";
    Data stand_in = {0x3B, 0xBF, 0x18, 0x00, 0x80, 0x31, 0x70, 0x35};
    stand_in.insert(stand_in.end(), stand_in_text.begin(), stand_in_text.end());
    stand_in.insert(stand_in.end(), {0x90, 0x00, 0x9B});
    for (const char* card : {"memory2", "memory3"}) {
        SCOPED_TRACE(card);
        start(card);
        Data atr;
        ASSERT_EQ(slot0->power(SCARD_COLD_RESET, &atr), STATUS_SUCCESS);
        EXPECT_EQ(atr, stand_in);
        ULONG selected = 0;
        ASSERT_EQ(slot0->set_protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &selected),
                  STATUS_SUCCESS);
        EXPECT_EQ(selected, 0x10u);
        forget();
        Data response; // READ 16 bytes from address 0x10
        ASSERT_EQ(
            slot0->vendor(IOCTL_SMARTCARD_BRV_MEM_TRANSMIT, {0x01, 0x00, 0x10, 0x10}, &response),
            STATUS_SUCCESS);
        ASSERT_EQ(response.size(), 17u);
        const bool two = std::string(card) == "memory2";
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(response[1 + i], std::uint8_t(two ? 0x10 + i : (0x10 + i) ^ 0xA5));
        EXPECT_THAT(sent(0),
                    ElementsAre(Data{0x6B, 0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x10, 0x10}));
        handle.close();
        host.release_reader(*reader);
    }
}

// Older firmware is asked for 256 bytes; the caller still gets exactly the 255 or 254 it asked for.
TEST_F(StackTest, OldFirmwareGetsLongReadsAsFullReadsAndTheCallerStillGetsWhatItAskedFor) {
    start("t0", "0009");
    open_session(*slot0, SCARD_PROTOCOL_T0);
    sim::FileSystemApp oracle;
    Data response;
    for (const Data& select :
         {Data{0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00, 0x00, 0x00, 0x51, 0x4B, 0x52, 0x01},
          Data{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}}) {
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, select, &response), STATUS_SUCCESS);
        oracle.execute(select);
    }
    for (std::uint8_t le : {0xFF, 0xFE}) {
        forget();
        const Data read = {0x00, 0xB0, 0x00, 0x00, le};
        ASSERT_EQ(slot0->transmit(SCARD_PROTOCOL_T0, read, &response), STATUS_SUCCESS);
        EXPECT_EQ(response, oracle.execute(read));
        EXPECT_EQ(response.size(), std::size_t(le) + 2);
        EXPECT_THAT(sent(0),
                    ElementsAre(Data{0x67, 0x00, 0x00, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x00}));
    }
}

// A reader that loses power in the middle of a command ends that command at once, and the driver
// no longer claims to know about a card: later commands fail without waiting minutes.
TEST_F(StackTest, ReaderLosingPowerMidCommandEndsItAndLaterCommandsAtOnce) {
    for (ULONG protocol : {ULONG{SCARD_PROTOCOL_T0}, ULONG{SCARD_PROTOCOL_T1}}) {
        SCOPED_TRACE(protocol);
        start("dual");
        open_session(*slot0, protocol);
        // The card thinks for ten seconds; the reader's power goes after one.
        reader->sim().faults().delay_next(kern::seconds(10));
        reader->kernel().schedule_after(kern::seconds(1),
                                        [r = reader] { r->sim().set_powered(false); });
        Data response;
        auto began = reader->kernel().now();
        EXPECT_EQ(slot0->transmit(protocol, {0x00, 0x84, 0x00, 0x00, 0x08}, &response),
                  STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_LT(reader->kernel().now() - began, kern::seconds(2));
        EXPECT_EQ(slot0->state(), ULONG{SCARD_UNKNOWN});
        began = reader->kernel().now();
        EXPECT_NE(slot0->power(SCARD_COLD_RESET), STATUS_SUCCESS);
        EXPECT_LT(reader->kernel().now() - began, kern::milliseconds(100));
        handle.close();
    }
}

// A card put in while a command of the other slot holds the reader changes nothing on the line
// afterwards: the waiting client must hear of it when that command ends, not at the next change.
TEST_F(StackTest, CardInsertedDuringACommandIsReportedWhenTheCommandEnds) {
    start("none");
    reader->sim().set_slot1_card(sim::make_card("t1"));
    kern::PendingIo present = slot0->park(IOCTL_SMARTCARD_IS_PRESENT);
    reader->sim().faults().delay_next(kern::seconds(1));
    reader->kernel().schedule_after(kern::milliseconds(500),
                                    [this] { reader->sim().insert(sim::make_card("t1")); });
    ASSERT_EQ(slot1->power(SCARD_COLD_RESET), STATUS_SUCCESS);
    EXPECT_TRUE(present.wait_for(kern::milliseconds(100)));
    EXPECT_EQ(present.status(), STATUS_SUCCESS);
}

// The one whole-stack check of a link speed change: reader, port and the asking slot's speed
// move together, and the link works at the new speed.
TEST_F(StackTest, SpeedChangeMovesReaderPortAndTheRequestingSlotsSpeed) {
    start("t0");
    auto change = [&](int slot, std::uint8_t code, std::uint32_t speed) {
        SCOPED_TRACE(testing::Message() << "slot " << slot << " code " << int(code));
        Client& client = slot == 0 ? *slot0 : *slot1;
        forget();
        Data reply;
        ASSERT_EQ(client.vendor(IOCTL_SMARTCARD_SET_BAUD_RATE, {0x4C, 0x00, code}, &reply),
                  STATUS_SUCCESS);
        EXPECT_EQ(reply, Data{0x00});
        EXPECT_THAT(sent(slot), ElementsAre(Data{0x6B, std::uint8_t(slot), 0x00, 0x00, 0x03, 0x4C,
                                                 0x00, code}));
        EXPECT_THAT(log_with("[Qkr_SmartcardBrimvel]"),
                    ElementsAre("[Qkr_SmartcardBrimvel] IOCTL_SMARTCARD_SET_BAUD_RATE"));
        EXPECT_EQ(reader->port().snapshot().format.baud, speed);
        EXPECT_EQ(reader->sim().baud(), speed);
        EXPECT_EQ(rx(slot).BaudRate, speed);
        EXPECT_EQ(client.power(SCARD_COLD_RESET), STATUS_SUCCESS);
    };
    change(1, 0x03, 9600);
    EXPECT_EQ(rx(0).BaudRate, 19200u) << "slot 0's speed, which the next start sets, stays";
    change(0, 0x02, 19200);
    EXPECT_EQ(rx(1).BaudRate, 9600u);
}

} // namespace
} // namespace qkr::cardtest
