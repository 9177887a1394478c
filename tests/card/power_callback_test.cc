// Card power and answer to reset, against the scripted reader.
#include "tests/card/callback_fixture.h"

namespace qkr::cardtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const Bytes kAtr11 = {0x3B, 0x87, 0x11, 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};

class PowerTest : public CallbackTest {
  protected:
    NTSTATUS power(int slot, ULONG minor) {
        w.slot(slot)->MinorIoControlCode = minor;
        return Qkr_SmartcardPower(w.slot(slot));
    }
};

TEST_F(PowerTest, PowerDownSwitchesTheCardOffAndForgetsItsProtocol) {
    auto* ext = w.slot(0);
    ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ext->CardCapabilities.ATR.Length = 11;
    w.reply_done();

    EXPECT_EQ(power(0, SCARD_POWER_DOWN), STATUS_SUCCESS);

    EXPECT_THAT(payloads(), ElementsAre(Bytes{0x63, 0x00, 0x00}));
    EXPECT_THAT(modes(), ElementsAre(1u));
    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_SWALLOWED);
    EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(ext->CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(w.information(), 0u);
    EXPECT_EQ(w.log, "[SmartcardPower] Power Down\n");
    expect_one_conversation();
}

TEST_F(PowerTest, PowerDownThatFailsOnlyEverLowersTheState) {
    struct Case {
        ULONG before;
        bool reader_answers_data; // else the exchange times out
        NTSTATUS status;
        ULONG after;
    };
    for (Case c : {Case{SCARD_POWERED, true, STATUS_DEVICE_DATA_ERROR, SCARD_PRESENT},
                   Case{SCARD_SPECIFIC, false, STATUS_IO_TIMEOUT, SCARD_PRESENT},
                   Case{SCARD_ABSENT, false, STATUS_IO_TIMEOUT, SCARD_ABSENT},
                   Case{SCARD_PRESENT, true, STATUS_DEVICE_DATA_ERROR, SCARD_PRESENT}}) {
        w.sent.clear();
        auto* ext = w.slot(0);
        ext->ReaderCapabilities.CurrentState = c.before;
        ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
        if (c.reader_answers_data) {
            w.reply_data({0x01});
        } else {
            w.fail(STATUS_IO_TIMEOUT);
        }
        EXPECT_EQ(power(0, SCARD_POWER_DOWN), c.status) << c.before;
        EXPECT_EQ(ext->ReaderCapabilities.CurrentState, c.after) << c.before;
        EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, (ULONG)SCARD_PROTOCOL_T0);
    }
    EXPECT_EQ(w.tracking_arms, 4);
}

TEST_F(PowerTest, ColdResetWhosePowerOffIsRefusedNeverPowersTheCardOn) {
    w.reply_data({0x3B});
    EXPECT_EQ(power(0, SCARD_COLD_RESET), STATUS_DEVICE_DATA_ERROR);
    EXPECT_THAT(payloads(), ElementsAre(Bytes{0x63, 0x00, 0x00}));

    w.sent.clear();
    w.fail(STATUS_IO_TIMEOUT); // the exchange's own status does not come through
    EXPECT_EQ(power(0, SCARD_COLD_RESET), STATUS_DEVICE_DATA_ERROR);
    EXPECT_THAT(payloads(), ElementsAre(Bytes{0x63, 0x00, 0x00}));
    EXPECT_EQ(w.information(), 0u);
    EXPECT_THAT(w.atrs_evaluated, IsEmpty());
    EXPECT_EQ(w.tracking_arms, 2);
}

TEST_F(PowerTest, ColdResetHandsTheAnswerToResetToLibraryAndCaller) {
    auto* ext = w.slot(0);
    w.reader[0].DiIndex = 9;
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    w.reply_done();
    w.reply_data(kAtr11);

    EXPECT_EQ(power(0, SCARD_COLD_RESET), STATUS_SUCCESS);

    EXPECT_THAT(payloads(), ElementsAre(Bytes{0x63, 0x00, 0x00}, Bytes{0x62, 0x00, 0x00}));
    EXPECT_THAT(modes(), ElementsAre(1u, 0u));
    EXPECT_EQ(atr(0), kAtr11);
    EXPECT_THAT(w.atrs_evaluated, ElementsAre(kAtr11));
    EXPECT_EQ(w.information(), 11u);
    EXPECT_EQ(client_reply(11), kAtr11);
    EXPECT_EQ(w.reader[0].DiIndex, 1);
    EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_NEGOTIABLE);
    EXPECT_FALSE(w.reader[0].MemoryCardPresent);
    EXPECT_EQ(w.log, "[Qkr_SmartcardPower] Cold Reset\n");
    expect_one_conversation();
}

TEST_F(PowerTest, WarmResetOnSlotOneIsSilentAndAddressesSlotOne) {
    w.reply_data(kAtr11);
    EXPECT_EQ(power(1, SCARD_WARM_RESET), STATUS_SUCCESS);
    EXPECT_THAT(payloads(), ElementsAre(Bytes{0x64, 0x01, 0x00}));
    EXPECT_THAT(modes(), ElementsAre(2u));
    EXPECT_EQ(w.sent[0].slot_of_extension, 1u);
    EXPECT_EQ(atr(1), kAtr11);
    EXPECT_EQ(w.reader[1].DiIndex, 1);
    EXPECT_EQ(w.log, "");
    expect_one_conversation();
}

TEST_F(PowerTest, ResetFailureKeepsTheStateAndReturnsTheExchangeStatus) {
    auto* ext = w.slot(0);
    ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    w.fail(QKR_STATUS_NAK);
    EXPECT_EQ(power(0, SCARD_WARM_RESET), QKR_STATUS_NAK);
    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_SPECIFIC);

    w.reply_done();
    w.fail(STATUS_IO_TIMEOUT);
    EXPECT_EQ(power(0, SCARD_COLD_RESET), STATUS_IO_TIMEOUT);
    EXPECT_EQ(ext->CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(w.information(), 0u);
}

TEST_F(PowerTest, ResetWithoutAnswerPowersTheSameSlotDownAgain) {
    auto* ext = w.slot(1);
    ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    w.reply_data({});                  // bytes 2 and 3 both 0
    w.reply({0x55, 0x00, 0x00, 0x00}); // the second power-off's code is not looked at

    EXPECT_EQ(power(1, SCARD_WARM_RESET), STATUS_UNRECOGNIZED_MEDIA);

    EXPECT_THAT(payloads(), ElementsAre(Bytes{0x64, 0x01, 0x00}, Bytes{0x63, 0x01, 0x00}));
    EXPECT_THAT(modes(), ElementsAre(2u, 1u));
    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_SWALLOWED);
    EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(w.information(), 0u);
    EXPECT_THAT(w.atrs_evaluated, IsEmpty());
    expect_one_conversation();
}

TEST_F(PowerTest, ResetWithoutAnswerWhosePowerOffFailsLeavesTheCardPresent) {
    auto* ext = w.slot(0);
    ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    w.reply_done();
    w.reply_data({});
    w.fail(STATUS_IO_TIMEOUT);
    EXPECT_EQ(power(0, SCARD_COLD_RESET), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, (ULONG)SCARD_PRESENT);
    EXPECT_EQ(ext->CardCapabilities.Protocol.Selected, (ULONG)SCARD_PROTOCOL_T0);
}

// The stand-in answer itself is the driver's table (checked through the whole stack and by the
// library's evaluation); here it must reach caller and library whole.
TEST_F(PowerTest, MemoryCardsGetTheStandInAnswerToReset) {
    const Bytes stand_in(Qkr_MemoryCardAtr, Qkr_MemoryCardAtr + sizeof Qkr_MemoryCardAtr);
    // 256 bytes: the length's low byte is 0, but the type byte says what the reply is.
    for (std::size_t length : {3, 256}) {
        for (std::uint8_t type : {2, 3}) {
            w.reader[0].MemoryCardSupport = TRUE;
            w.reader[0].MemoryCardPresent = FALSE;
            Bytes data(length, 0xAA);
            data[0] = type;
            w.reply_data(data);
            EXPECT_EQ(power(0, SCARD_WARM_RESET), STATUS_SUCCESS) << length;
            EXPECT_EQ(w.information(), 24u);
            EXPECT_EQ(client_reply(24), stand_in);
            EXPECT_EQ(atr(0), stand_in);
            EXPECT_TRUE(w.reader[0].MemoryCardPresent);
        }
    }
}

TEST_F(PowerTest, TheCardTypeByteIsSkippedOnlyWhenTheFirmwareSendsOne) {
    Bytes data = {0x01};
    data.insert(data.end(), kAtr11.begin(), kAtr11.end());
    w.reader[0].MemoryCardSupport = TRUE;
    w.reader[0].MemoryCardPresent = TRUE; // left over from an earlier memory card
    w.reply_data(data);                   // byte 3 = 12
    EXPECT_EQ(power(0, SCARD_WARM_RESET), STATUS_SUCCESS);
    EXPECT_EQ(atr(0), kAtr11);
    EXPECT_EQ(w.information(), 11u);
    EXPECT_FALSE(w.reader[0].MemoryCardPresent);

    // Without memory-card support a leading 0x02 is just the first byte of the answer.
    w.reader[0].MemoryCardSupport = FALSE;
    Bytes plain = {0x02, 0x11, 0x22};
    w.reply_data(plain);
    EXPECT_EQ(power(0, SCARD_WARM_RESET), STATUS_SUCCESS);
    EXPECT_EQ(atr(0), plain);
    EXPECT_FALSE(w.reader[0].MemoryCardPresent);
}

TEST_F(PowerTest, AnswersThatCannotBeHandedOnAreRefusedWithNothingCopied) {
    struct Case {
        const char* name;
        bool memory_support;
        std::size_t announced;
        Bytes data;
        std::size_t reply_room;
        NTSTATUS status;
    };
    const Bytes long_atr(34, 0x3B);
    const NTSTATUS unrecognised = STATUS_UNRECOGNIZED_MEDIA;
    const NTSTATUS small = STATUS_BUFFER_TOO_SMALL;
    const Bytes part(kAtr11.begin(), kAtr11.begin() + 5);
    for (const Case& c : {
             Case{"longer than any card may send", false, 34, long_atr, 64, unrecognised},
             Case{"longer than what arrived", false, 11, part, 64, unrecognised},
             Case{"type byte, fewer than announced", true, 12, {0x01, 0x3B}, 64, unrecognised},
             Case{"longer than the caller's buffer", false, 11, kAtr11, 10, small},
             Case{"stand-in too long for the caller", true, 1, {0x02}, 23, small},
         }) {
        w.reader[0].MemoryCardSupport = c.memory_support;
        w.set_io(0, {}, c.reply_room);
        w.slot(0)->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
        w.slot(0)->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
        w.reply_data_announcing(c.announced, c.data);
        EXPECT_EQ(power(0, SCARD_WARM_RESET), c.status) << c.name;
        EXPECT_EQ(w.information(), 0u) << c.name;
        EXPECT_EQ(w.slot(0)->CardCapabilities.ATR.Length, 0) << c.name;
        EXPECT_EQ(w.client_reply, Bytes(c.reply_room, 0xEE)) << c.name;
        EXPECT_EQ(w.slot(0)->CardCapabilities.Protocol.Selected, 0u) << c.name;
        EXPECT_LE(w.slot(0)->ReaderCapabilities.CurrentState, (ULONG)SCARD_SWALLOWED) << c.name;
        EXPECT_FALSE(w.reader[0].MemoryCardPresent) << c.name;
    }
    EXPECT_THAT(w.atrs_evaluated, IsEmpty());
}

TEST_F(PowerTest, TypeByteWithNothingAfterItCountsAsNoAnswer) {
    w.reader[0].MemoryCardSupport = TRUE;
    // Byte 3 is 0 while byte 2 is not: the length left after the type byte would wrap.
    Bytes data(256, 0x01);
    w.reply_data(data);
    w.reply_done();
    EXPECT_EQ(power(0, SCARD_WARM_RESET), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_THAT(payloads(), ElementsAre(Bytes{0x64, 0x00, 0x00}, Bytes{0x63, 0x00, 0x00}));
    EXPECT_THAT(w.atrs_evaluated, IsEmpty());
}

TEST_F(PowerTest, LibraryRejectingTheAnswerIsPassedOn) {
    w.update_capabilities_status = STATUS_UNRECOGNIZED_MEDIA;
    w.reply_data(kAtr11);
    EXPECT_EQ(power(0, SCARD_WARM_RESET), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(w.information(), 11u); // the caller still sees what the card said
}

TEST_F(PowerTest, UnknownPowerRequestStillClearsTheAnswerAndRearmsTracking) {
    w.slot(0)->CardCapabilities.ATR.Length = 11;
    EXPECT_EQ(power(0, 7), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(w.slot(0)->CardCapabilities.ATR.Length, 0);
    EXPECT_TRUE(w.sent.empty());
    EXPECT_EQ(w.information(), 0u);
    expect_one_conversation();
    EXPECT_THAT(w.log, Not(HasSubstr("Power")));
}

} // namespace
} // namespace qkr::cardtest
