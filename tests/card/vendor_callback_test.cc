// The reader's own control codes, against the scripted reader.
#include "tests/card/callback_fixture.h"

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class VendorTest : public CallbackTest {
  protected:
    NTSTATUS vendor(int slot, ULONG code) {
        w.slot(slot)->MajorIoControlCode = code;
        return Qkr_SmartcardVendor(w.slot(slot));
    }
    static Bytes mem(std::uint8_t slot, const Bytes& body) {
        Bytes out{0x6B, slot, 0x00, (std::uint8_t)(body.size() >> 8), (std::uint8_t)body.size()};
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
};

TEST_F(VendorTest, MemoryCardBytesGoThroughUnchanged) {
    for (std::size_t n : {0u, 3u, 300u, 1043u}) {
        w.sent.clear();
        Bytes body(n);
        for (std::size_t i = 0; i < n; ++i) {
            body[i] = (std::uint8_t)(i * 7);
        }
        w.set_io(1, body, 16);
        w.reply_data({0xA1, 0xA2});
        EXPECT_EQ(vendor(1, IOCTL_SMARTCARD_BRV_MEM_TRANSMIT), STATUS_SUCCESS) << n;
        EXPECT_THAT(payloads(), ElementsAre(mem(1, body))) << n;
        EXPECT_THAT(modes(), ElementsAre(1u));
        EXPECT_EQ(w.information(), 2u);
        EXPECT_EQ(client_reply(2), (Bytes{0xA1, 0xA2}));
    }
    EXPECT_EQ(w.tracking_arms, 4);
}

TEST_F(VendorTest, MemoryCardRepliesOfEveryShape) {
    struct Case {
        const char* name;
        ScriptedReply reply;
        std::size_t room;
        NTSTATUS status;
        ULONG information;
    };
    const NTSTATUS bad = STATUS_DEVICE_DATA_ERROR;
    Bytes reply17{RDRSP_DATA, 0x00, 0x00, 17};
    reply17.resize(4 + 17, 0x42);
    for (const Case& c : {
             Case{"no data", {STATUS_SUCCESS, {RDRSP_DATA, 0, 0, 0}}, 16, STATUS_SUCCESS, 0},
             Case{"one byte too many", {STATUS_SUCCESS, reply17}, 16, STATUS_BUFFER_TOO_SMALL, 17},
             Case{"exact fit", {STATUS_SUCCESS, reply17}, 17, STATUS_SUCCESS, 17},
             Case{"not data", {STATUS_SUCCESS, {RDRSP_DONE, 0, 0, 0}}, 16, STATUS_SUCCESS, 0},
             Case{"failed exchange", {STATUS_IO_TIMEOUT, {}}, 16, STATUS_IO_TIMEOUT, 0},
             Case{"announced, not sent", {STATUS_SUCCESS, {RDRSP_DATA, 0, 0, 9}}, 16, bad, 0},
         }) {
        w.set_io(0, {0x01}, c.room);
        w.replies.push_back(c.reply);
        EXPECT_EQ(vendor(0, IOCTL_SMARTCARD_BRV_MEM_TRANSMIT), c.status) << c.name;
        EXPECT_EQ(w.information(), c.information) << c.name;
        if (c.status != STATUS_SUCCESS || c.information == 0) {
            EXPECT_EQ(w.client_reply, Bytes(c.room, 0xEE)) << c.name << ": nothing copied";
        }
    }
    EXPECT_EQ(w.log, "[Qkr_SmartcardVendor] IOCTL_SMARTCARD_BRV_MEM_TRANSMIT \n"
                     "[Qkr_SmartcardVendor] IOCTL_SMARTCARD_BRV_MEM_TRANSMIT \n"
                     "[Qkr_SmartcardBrimvel] Buffer too small to fit the returned data"
                     "[Qkr_SmartcardVendor] IOCTL_SMARTCARD_BRV_MEM_TRANSMIT \n"
                     "[Qkr_SmartcardVendor] IOCTL_SMARTCARD_BRV_MEM_TRANSMIT \n"
                     "[Qkr_SmartcardVendor] IOCTL_SMARTCARD_BRV_MEM_TRANSMIT \n"
                     "[Qkr_SmartcardVendor] IOCTL_SMARTCARD_BRV_MEM_TRANSMIT \n");
}

TEST_F(VendorTest, OversizedReaderRequestsAreRefusedBeforeAnything) {
    for (ULONG code : {IOCTL_SMARTCARD_BRV_MEM_TRANSMIT, IOCTL_SMARTCARD_SET_BAUD_RATE}) {
        w.set_io(0, Bytes(1044, 0x03), 16);
        EXPECT_EQ(vendor(0, code), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(w.information(), 0xDEADu);
    }
    expect_no_conversation();
    EXPECT_EQ(w.log, "");
}

TEST_F(VendorTest, ReaderInformationComesFromTheSlotsOwnCopyWithoutTraffic) {
    for (int slot : {0, 1}) {
        for (int i = 0; i < 16; ++i) {
            w.reader[slot].ReaderInfo[i] = (UCHAR)(0x40 + i);
        }
        w.set_io(slot, {}, 20);
        EXPECT_EQ(vendor(slot, IOCTL_SMARTCARD_GET_READER_INFO), STATUS_SUCCESS);
        EXPECT_EQ(w.information(), 16u);
        EXPECT_EQ(client_reply(16),
                  Bytes(w.reader[slot].ReaderInfo, w.reader[slot].ReaderInfo + 16));
        EXPECT_EQ(w.client_reply[16], 0xEE);

        w.set_io(slot, {}, 15);
        EXPECT_EQ(vendor(slot, IOCTL_SMARTCARD_GET_READER_INFO), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(w.information(), 16u);
        EXPECT_EQ(w.client_reply, Bytes(15, 0xEE));
    }
    expect_no_conversation();
}

TEST_F(VendorTest, UnknownCodesAreNotSupported) {
    for (ULONG code : {(ULONG)SCARD_CTL_CODE(2051), (ULONG)SCARD_CTL_CODE(2047), 0u}) {
        EXPECT_EQ(vendor(0, code), STATUS_NOT_SUPPORTED);
    }
    EXPECT_EQ(w.information(), 0xDEADu);
    expect_no_conversation();
}

TEST_F(VendorTest, AcceptedSpeedChangeMovesThePortAndTheSlotsSpeed) {
    struct Case {
        std::uint8_t code;
        ULONG speed;
    };
    for (Case c : {Case{1, 38400}, Case{2, 19200}, Case{3, 9600}, Case{4, 4800}, Case{5, 2400},
                   Case{6, 1200}}) {
        w.sent.clear();
        w.port_speeds.clear();
        w.set_io(0, {0x42, 0x00, c.code}, 8);
        w.reply_data({0x00});
        EXPECT_EQ(vendor(0, IOCTL_SMARTCARD_SET_BAUD_RATE), STATUS_SUCCESS);
        EXPECT_THAT(payloads(), ElementsAre(mem(0, {0x42, 0x00, c.code})));
        EXPECT_THAT(modes(), ElementsAre(8u));
        EXPECT_THAT(w.port_speeds, ElementsAre(c.speed));
        EXPECT_EQ(w.reader[0].BaudRate, c.speed);
        EXPECT_EQ(w.information(), 1u);
    }
}

TEST_F(VendorTest, SpeedChangeThroughSlotOneChangesOnlySlotOnesSpeed) {
    w.reader[1].BaudRate = 19200;
    w.set_io(1, {0x42, 0x00, 0x03}, 8);
    w.reply_data({0x00, 0x17});
    EXPECT_EQ(vendor(1, IOCTL_SMARTCARD_SET_BAUD_RATE), STATUS_SUCCESS);
    EXPECT_EQ(w.sent[0].payload[1], 0x01);
    EXPECT_EQ(w.reader[1].BaudRate, 9600u);
    EXPECT_EQ(w.reader[0].BaudRate, 19200u);
    EXPECT_EQ(w.log, "[Qkr_SmartcardBrimvel] IOCTL_SMARTCARD_SET_BAUD_RATE\n");
    expect_one_conversation();
}

TEST_F(VendorTest, SpeedChangeFailuresLeaveThePortAlone) {
    struct Case {
        const char* name;
        std::uint8_t code; // the speed code of a three-byte request; 0xFF: a two-byte one
        ScriptedReply reply;
        std::size_t room;
        NTSTATUS status;
        ULONG information;
    };
    const NTSTATUS bad = STATUS_DEVICE_DATA_ERROR;
    const NTSTATUS small = STATUS_BUFFER_TOO_SMALL;
    const ScriptedReply ok = {STATUS_SUCCESS, {RDRSP_DATA, 0, 0, 1, 0x00}};
    for (const Case& c : {
             Case{"refused", 3, {STATUS_SUCCESS, {RDRSP_DATA, 0, 0, 1, 0x01}}, 8, bad, 1},
             Case{"no data", 3, {STATUS_SUCCESS, {RDRSP_DATA, 0, 0, 0}}, 8, bad, 0},
             Case{"not data", 3, {STATUS_SUCCESS, {RDRSP_DONE, 0, 0, 0}}, 8, bad, 0xDEAD},
             Case{"failed exchange", 3, {STATUS_IO_TIMEOUT, {}}, 8, STATUS_IO_TIMEOUT, 0xDEAD},
             Case{"too short", 0xFF, {}, 8, STATUS_INVALID_PARAMETER, 0xDEAD},
             Case{"unknown speed code", 7, ok, 8, STATUS_INVALID_PARAMETER, 1},
             Case{"speed code 0", 0, ok, 8, STATUS_INVALID_PARAMETER, 1},
             Case{"reply too big", 3, {STATUS_SUCCESS, {RDRSP_DATA, 0, 0, 2, 0, 0}}, 1, small, 2},
             Case{"5 announced", 3, {STATUS_SUCCESS, {RDRSP_DATA, 0, 0, 5, 0}}, 8, bad, 0xDEAD},
         }) {
        const bool sent = c.code != 0xFF;
        w.sent.clear();
        w.information_sink = 0xDEAD;
        int arms = w.tracking_arms;
        w.set_io(0, sent ? Bytes{0x42, 0x00, c.code} : Bytes{0x42, 0x00}, c.room);
        if (sent) {
            w.replies.push_back(c.reply);
        }
        EXPECT_EQ(vendor(0, IOCTL_SMARTCARD_SET_BAUD_RATE), c.status) << c.name;
        EXPECT_EQ(w.information(), c.information) << c.name;
        EXPECT_EQ(w.sent.size(), sent ? 1u : 0u) << c.name;
        EXPECT_EQ(w.tracking_arms, arms + 1) << c.name;
        EXPECT_THAT(w.port_speeds, IsEmpty()) << c.name;
        EXPECT_EQ(w.reader[0].BaudRate, 19200u) << c.name;
    }
}

TEST_F(VendorTest, PortRefusingTheNewSpeedKeepsTheOldOne) {
    w.port_speed_status = STATUS_INVALID_PARAMETER;
    w.set_io(0, {0x42, 0x00, 0x01}, 8);
    w.reply_data({0x00});
    EXPECT_EQ(vendor(0, IOCTL_SMARTCARD_SET_BAUD_RATE), STATUS_UNSUCCESSFUL);
    EXPECT_THAT(w.port_speeds, ElementsAre(38400u));
    EXPECT_EQ(w.reader[0].BaudRate, 19200u);
    EXPECT_EQ(w.information(), 1u);
}

} // namespace
} // namespace qkr::cardtest
