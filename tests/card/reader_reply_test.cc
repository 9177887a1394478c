// The card callbacks with the real T=1 engine against replies a well-behaved reader would not
// give, through the whole stack, with a scripted reader at the far end of the line. How the
// callbacks check each kind of reply is covered against the fake reader (*_callback_test.cc).
#include "tests/card/scripted_firmware.h"
#include "tests/card/stack_support.h"

#include <memory>

namespace qkr::cardtest {
namespace {

using FW = ScriptedFirmware;

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

    // A T=1 card reset and given its protocol, with the PTS confirmed.
    void ready_t1_card() {
        firmware->answer(RDCMD_POWER_ON, FW::data(concat({0x01}, kT1Atr)));
        ASSERT_EQ(client->power(SCARD_COLD_RESET), STATUS_SUCCESS);
        firmware->answer(RDCMD_EXCHANGE, FW::data({0xFF, 0x11, 0x11, 0xFF}));
        ASSERT_EQ(client->set_protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
        firmware->forget_commands();
    }
};

TEST_F(ReaderReplyTest, EmptyT1BlockReachesTheLibraryAsACardThatSaidNothing) {
    ready_t1_card();
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

} // namespace
} // namespace qkr::cardtest
