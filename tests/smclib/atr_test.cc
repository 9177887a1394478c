// Answer-to-reset evaluation against ATRs of the shapes cards really send.
#include "platform/smclib/smclib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace {

using Atr = std::vector<int>;

// A JCOP-style T=1 card: TA1 0x13, IFSC 254, BWI 4 / CWI 5, ten historical bytes, TCK.
const Atr kJcop = {0x3B, 0xFA, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x4A,
                   0x43, 0x4F, 0x50, 0x34, 0x31, 0x56, 0x32, 0x32, 0x31, 0x96};
// A T=1 card asking for CRC, IFSC 0x20.
const Atr kCrc = {0x3B, 0x85, 0x81, 0x71, 0x20, 0x45, 0x01, 'C', 'R', 'C', '0', '1', 0x42};

class AtrEvaluation : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(static_cast<void*>(&ext_), 0, sizeof ext_);
        ext_.Version = SMCLIB_VERSION;
        auto& caps = ext_.ReaderCapabilities;
        caps.CLKFrequency.Default = caps.CLKFrequency.Max = 3571;
        caps.DataRatesSupported.List = rates_;
        caps.DataRatesSupported.Entries = 3;
        caps.MaxIFSD = 240;
        caps.CurrentState = SCARD_SWALLOWED;
    }

    NTSTATUS evaluate(const Atr& atr) {
        for (size_t i = 0; i < atr.size(); i++)
            ext_.CardCapabilities.ATR.Buffer[i] = UCHAR(atr[i]);
        ext_.CardCapabilities.ATR.Length = UCHAR(atr.size());
        return SmartcardUpdateCardCapabilities(&ext_);
    }

    SCARD_CARD_CAPABILITIES& card() { return ext_.CardCapabilities; }
    ULONG state() const { return ext_.ReaderCapabilities.CurrentState; }

    ULONG rates_[3] = {9600, 19200, 38400};
    SMARTCARD_EXTENSION ext_;
};

TEST_F(AtrEvaluation, T1OnlyCardGivesItsBlockParametersAndNegotiableMode) {
    ASSERT_EQ(evaluate(kJcop), STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG(SCARD_NEGOTIABLE));
    EXPECT_EQ(card().Protocol.Supported, ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(card().Protocol.Selected, ULONG(SCARD_PROTOCOL_UNDEFINED));
    EXPECT_EQ(card().T1.IFSC, 254);
    EXPECT_EQ(card().T1.BWI, 4);
    EXPECT_EQ(card().T1.CWI, 5);
    // Until a PTS, the card runs at F 372, D 1: one etu is 104.2 us at 3.571 MHz.
    EXPECT_EQ(card().Fl, 1);
    EXPECT_EQ(card().Dl, 1);
    // BWT = 11 etu + 2^4 * 960 * 372 / f; CWT = (11 + 2^5) etu.
    EXPECT_NEAR(double(card().T1.BWT), 1145.9 + 1600089.6, 2.0);
    EXPECT_NEAR(double(card().T1.CWT), 43 * 104.17, 2.0);
    // TA1 offers D 4 at F 372: 38400 bit/s, which the reader runs.
    EXPECT_EQ(card().PtsData.Fl, 1);
    EXPECT_EQ(card().PtsData.Dl, 3);
    EXPECT_EQ(card().PtsData.DataRate, 38400u);
    // A new card session: the T=1 engine starts over.
    EXPECT_EQ(ext_.T1.State, ULONG(T1_INIT));
    EXPECT_EQ(ext_.T1.IFSC, 254);
    EXPECT_EQ(ext_.T1.IFSD, 32);
}

// No interface bytes at all: T=0, Fi 372, Di 1, WI 10; and a card offering both protocols.
TEST_F(AtrEvaluation, T0OnlyCardUsesTheDefaultsAndADualCardItsT1Parameters) {
    ASSERT_EQ(evaluate({0x3B, 0x02, 0x14, 0x50}), STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG(SCARD_NEGOTIABLE));
    EXPECT_EQ(card().Protocol.Supported, ULONG(SCARD_PROTOCOL_T0));
    EXPECT_EQ(card().T0.WI, 10);
    EXPECT_NEAR(double(card().T0.WT), 1000056.0, 2.0); // 960 * 10 * 372 / 3.571 MHz
    EXPECT_EQ(card().PtsData.Dl, 1);
    EXPECT_EQ(card().PtsData.DataRate, 9600u);
    ASSERT_EQ(evaluate({0x3B, 0xDB, 0x18, 0x00, 0x80, 0xB1, 0xFE, 0x45, 0x1F, 0x83, 0x00,
                        0x31, 0xC0, 0x64, 0x1A, 0x18, 0x01, 0x00, 0x07, 0x90, 0x00, 0xD4}),
              STATUS_SUCCESS);
    EXPECT_EQ(card().Protocol.Supported, ULONG(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    // The global TA4 after T=15 is not taken for the T=1 IFSC: TA3 is.
    EXPECT_EQ(card().T1.IFSC, 254);
    // TA1 0x18 asks for D 12 (115 kbit/s); the fastest the reader runs with D <= 12 is D 4.
    EXPECT_EQ(card().PtsData.Dl, 3);
}

TEST_F(AtrEvaluation, DataRateChoiceHonoursTheReadersListAndItsEntryCount) {
    // TA1 0x13 offers D 4: the reader's list cut to 9600, or to 9600 and 19200.
    for (auto [entries, dl, rate] : {std::tuple{1, 1, 9600u}, {2, 2, 19200u}}) {
        ext_.ReaderCapabilities.DataRatesSupported.Entries = entries;
        ASSERT_EQ(evaluate(kJcop), STATUS_SUCCESS);
        EXPECT_EQ(card().PtsData.Fl, 1);
        EXPECT_EQ(card().PtsData.Dl, dl);
        EXPECT_EQ(card().PtsData.DataRate, rate);
    }
    // F 512, D 16: no D up to 16 gives a listed rate at this F, so the defaults stay.
    ext_.ReaderCapabilities.DataRatesSupported.Entries = 3;
    ASSERT_EQ(evaluate({0x3B, 0x90, 0x95, 0x01, 0x04}), STATUS_SUCCESS);
    EXPECT_EQ(card().PtsData.Dl, 1);
    EXPECT_EQ(card().PtsData.DataRate, 9600u);
    // The T=0 waiting time follows the card's own Fi, 512.
    EXPECT_NEAR(double(card().T0.WT), 1376421.2, 2.0);
}

// TA2 names the protocol; with explicit parameters the card already runs at TA1's F and D, with
// implicit ones (bit 5) TA1 is not in force.
TEST_F(AtrEvaluation, Ta2PutsTheCardInSpecificModeWithTheNamedProtocol) {
    ASSERT_EQ(evaluate({0x3B, 0xD4, 0x13, 0x02, 0x91, 0x81, 0x31, 0x80, 0x55, 0x41, 0x42, 0x43,
                        0x44, 0x35}),
              STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG(SCARD_SPECIFIC));
    EXPECT_EQ(card().Protocol.Supported, ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(card().Dl, 3);
    EXPECT_EQ(card().etu, 26u); // 372 / 4 / 3.571 MHz
    EXPECT_EQ(card().T1.IFSC, 0x80);
    EXPECT_EQ(card().T1.BWI, 5);
    // TC1 2: two extra etu of guard time.
    EXPECT_EQ(card().N, 2);
    EXPECT_NEAR(double(card().GT), 2 * 26.04, 1.0);
    ASSERT_EQ(evaluate({0x3B, 0xD4, 0x13, 0x02, 0x91, 0x91, 0x31, 0x80, 0x55, 0x41, 0x42, 0x43,
                        0x44, 0x25}),
              STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG(SCARD_SPECIFIC));
    EXPECT_EQ(card().Dl, 1);
    EXPECT_EQ(card().etu, 104u); // 372 / 3.571 MHz
    // TC1 255 is no extra guard time.
    ASSERT_EQ(evaluate({0x3B, 0x52, 0x11, 0xFF, 0x12, 0x34}), STATUS_SUCCESS);
    EXPECT_EQ(card().N, 255);
    EXPECT_EQ(card().GT, 0u);
}

// Malformed answers, a check byte missing beyond T=0 (T=15 alone is enough) or wrong where a T=0
// card sends one anyway: each leaves a powered card that cannot be used.
TEST_F(AtrEvaluation, MalformedAnswersAreRefusedAndLeaveNoProtocol) {
    EXPECT_EQ(evaluate({0x3B, 0x80, 0x80, 0x1F, 0x07, 0x18}), STATUS_SUCCESS);
    EXPECT_EQ(card().Protocol.Supported, ULONG(SCARD_PROTOCOL_T0));
    EXPECT_EQ(evaluate({0x3B, 0x02, 0x14, 0x50, 0x46}), STATUS_SUCCESS);
    const std::vector<Atr> bad = {
        {},                                         // nothing
        {0x3C, 0x02, 0x14, 0x50},                   // unknown TS
        {0x3B, 0xFA, 0x13, 0x00, 0x00, 0x81, 0x31}, // truncated in the interface bytes
        {0x3B, 0x02, 0x14},                         // truncated in the historical bytes
        {0x3B, 0x80, 0x80, 0x1F, 0x07},             // T=15 without TCK
        {0x3B, 0x02, 0x14, 0x50, 0x47},             // T=0 with a wrong TCK
        {0x3B, 0x85, 0x81, 0x71, 0x20, 0x45, 0x01, 'C', 'R', 'C', '0', '1'},       // no TCK
        {0x3B, 0x85, 0x81, 0x71, 0x20, 0x45, 0x01, 'C', 'R', 'C', '0', '1', 0x43}, // bad TCK
        {0x3B, 0x02, 0x14, 0x50, 0x46, 0x00},                                      // trailing bytes
    };
    for (const auto& atr : bad) {
        SCOPED_TRACE(atr.size());
        ASSERT_EQ(evaluate(kCrc), STATUS_SUCCESS); // a good ATR first, so stale values would show
        std::memset(card().ATR.Buffer, 0, sizeof card().ATR.Buffer);
        EXPECT_EQ(evaluate(atr), STATUS_UNRECOGNIZED_MEDIA);
        EXPECT_EQ(state(), ULONG(SCARD_POWERED));
        EXPECT_EQ(card().Protocol.Supported, 0u);
        EXPECT_EQ(card().T1.EDC, 0);
        EXPECT_EQ(card().HistoricalChars.Length, 0);
    }
}

} // namespace
