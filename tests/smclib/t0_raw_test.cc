// T=0 command mapping and the raw pass-through, as the driver's transmit callback uses them.
#include "tests/smclib/engine_buffers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using qkr::smclib_test::Bytes;

class Transfer : public qkr::smclib_test::EngineBuffers {
  protected:
    void SetUp() override {
        reset();
        ext_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    }
};

// Case 1 gains P3 0; case 2's P3 is Le (0: 256); case 4 drops Le, the card's 61xx telling the
// caller to fetch the response.
TEST_F(Transfer, T0ShortApduCasesMapOntoCommandHeaders) {
    const struct {
        ULONG lc, le;
        Bytes apdu, header; // header empty: the APDU as it is
    } cases[] = {
        {0, 0, {0x00, 0x70, 0x00, 0x00}, {0x00, 0x70, 0x00, 0x00, 0x00}},
        {0, 16, {0x00, 0xB0, 0x00, 0x00, 0x10}, {}},
        {0, 256, {0x00, 0xB0, 0x00, 0x00, 0x00}, {}},
        {2, 0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {}},
        {3,
         256,
         {0x00, 0xA4, 0x04, 0x00, 0x03, 0xA0, 0x00, 0x01, 0x00},
         {0x00, 0xA4, 0x04, 0x00, 0x03, 0xA0, 0x00, 0x01}},
    };
    for (const auto& c : cases) {
        start(c.apdu);
        EXPECT_EQ(built(SmartcardT0Request), c.header.empty() ? c.apdu : c.header);
        EXPECT_EQ(ext_.T0.Lc, c.lc);
        EXPECT_EQ(ext_.T0.Le, c.le);
    }
}

// What T=0 cannot carry is refused, and a command that does not fit the request buffer is refused
// whole.
TEST_F(Transfer, T0RefusesApdusItCannotCarryOrFit) {
    const std::vector<Bytes> bad = {
        {},                                                     // nothing
        {0x00, 0xA4, 0x00},                                     // shorter than a header
        {0x00, 0xA4, 0x00, 0x00, 0x03, 0x3F},                   // Lc says 3, one byte follows
        {0x00, 0xA4, 0x00, 0x00, 0x01, 0x3F, 0x00, 0x00, 0x00}, // two bytes too many
        {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00},             // extended length
    };
    for (const auto& apdu : bad) {
        SCOPED_TRACE(apdu.size());
        start(apdu);
        EXPECT_TRUE(built(SmartcardT0Request, STATUS_INVALID_PARAMETER).empty());
    }
    Bytes apdu = {0x00, 0xD6, 0x00, 0x00, 0xFF};
    apdu.resize(5 + 255, 0x5A);
    start(apdu);
    ext_.SmartcardRequest.BufferLength = 800; // leaves 248 bytes, 260 needed
    EXPECT_EQ(SmartcardT0Request(&ext_), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ext_.SmartcardRequest.BufferLength, 800u);
}

TEST_F(Transfer, T0ReplyGoesToTheCallerBehindTheHeaderIfItFitsAndHasAStatusWord) {
    start({0x00, 0xB0, 0x00, 0x00, 0x02});
    built(SmartcardT0Request);
    ASSERT_EQ(answer(SmartcardT0Reply, {0x12, 0x34, 0x90, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(information_, sizeof(SCARD_IO_REQUEST) + 4);
    EXPECT_EQ(caller_data(), (Bytes{0x12, 0x34, 0x90, 0x00}));
    EXPECT_EQ(Bytes(caller_reply_.begin(), caller_reply_.begin() + 8),
              Bytes(caller_request_.begin(), caller_request_.begin() + 8));
    // Without a status word, or too big for the caller: refused.
    EXPECT_EQ(answer(SmartcardT0Reply, {0x90}), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(answer(SmartcardT0Reply, {}), STATUS_DEVICE_DATA_ERROR);
    start({0x00, 0xB0, 0x00, 0x00, 0x02}, sizeof(SCARD_IO_REQUEST) + 3);
    EXPECT_EQ(answer(SmartcardT0Reply, {0x12, 0x34, 0x90, 0x00}), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information_, 0u);
    EXPECT_EQ(caller_reply_[sizeof(SCARD_IO_REQUEST) + 3], 0xEE);
    // A length the reply buffer cannot hold is not believed.
    ext_.SmartcardReply.BufferLength = sizeof reply_ + 1;
    EXPECT_EQ(SmartcardT0Reply(&ext_), STATUS_DEVICE_DATA_ERROR);
}

TEST_F(Transfer, RawBytesPassBothWaysBounded) {
    ext_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
    start({0xFF, 0x10, 0x11, 0xFE});
    EXPECT_EQ(built(SmartcardRawRequest), (Bytes{0xFF, 0x10, 0x11, 0xFE}));
    ASSERT_EQ(answer(SmartcardRawReply, {0xFF, 0x10, 0x11, 0xFE}), STATUS_SUCCESS);
    EXPECT_EQ(caller_data(), (Bytes{0xFF, 0x10, 0x11, 0xFE}));
    ASSERT_EQ(answer(SmartcardRawReply, {}), STATUS_SUCCESS);
    EXPECT_EQ(information_, sizeof(SCARD_IO_REQUEST));

    start(Bytes(1044, 0x33)); // 5 + 1044 > 1048
    EXPECT_TRUE(built(SmartcardRawRequest, STATUS_BUFFER_TOO_SMALL).empty());
    start({0x01}, sizeof(SCARD_IO_REQUEST) + 1);
    EXPECT_EQ(answer(SmartcardRawReply, {0x01, 0x02}), STATUS_BUFFER_TOO_SMALL);
}

} // namespace
