// T=0 command mapping and the raw pass-through, as the driver's transmit callback uses them.
#include "platform/smclib/smclib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;

class Transfer : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(static_cast<void*>(&ext_), 0, sizeof ext_);
        ext_.SmartcardRequest.Buffer = request_;
        ext_.SmartcardRequest.BufferSize = sizeof request_;
        ext_.SmartcardReply.Buffer = reply_;
        ext_.SmartcardReply.BufferSize = sizeof reply_;
        ext_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    }

    void start(const Bytes& data, ULONG reply_capacity = 600) {
        SCARD_IO_REQUEST header{ext_.CardCapabilities.Protocol.Selected, sizeof(SCARD_IO_REQUEST)};
        caller_request_.assign(sizeof header, 0);
        std::memcpy(caller_request_.data(), &header, sizeof header);
        caller_request_.insert(caller_request_.end(), data.begin(), data.end());
        caller_reply_.assign(reply_capacity + 16, 0xEE);
        information_ = 0;
        ext_.IoRequest.RequestBuffer = caller_request_.data();
        ext_.IoRequest.RequestBufferLength = ULONG(caller_request_.size());
        ext_.IoRequest.ReplyBuffer = caller_reply_.data();
        ext_.IoRequest.ReplyBufferLength = reply_capacity;
        ext_.IoRequest.Information = &information_;
        ext_.SmartcardRequest.BufferLength = 5;
    }

    // What the request routine appended behind the driver's 5 bytes; empty on failure.
    Bytes built(NTSTATUS (*request)(PSMARTCARD_EXTENSION), NTSTATUS expected = STATUS_SUCCESS) {
        EXPECT_EQ(request(&ext_), expected);
        return Bytes(request_ + 5, request_ + ext_.SmartcardRequest.BufferLength);
    }

    NTSTATUS answer(NTSTATUS (*reply)(PSMARTCARD_EXTENSION), const Bytes& card) {
        if (!card.empty())
            std::memcpy(reply_, card.data(), card.size());
        ext_.SmartcardReply.BufferLength = ULONG(card.size());
        return reply(&ext_);
    }

    Bytes caller_data() const {
        return Bytes(caller_reply_.begin() + sizeof(SCARD_IO_REQUEST),
                     caller_reply_.begin() + information_);
    }

    SMARTCARD_EXTENSION ext_;
    UCHAR request_[300];
    UCHAR reply_[300];
    Bytes caller_request_;
    Bytes caller_reply_;
    ULONG information_ = 0;
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
    ext_.SmartcardRequest.BufferLength = 50; // leaves 250 bytes, 260 needed
    EXPECT_EQ(SmartcardT0Request(&ext_), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ext_.SmartcardRequest.BufferLength, 50u);
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

    start(Bytes(296, 0x33)); // 5 + 296 > 300
    EXPECT_TRUE(built(SmartcardRawRequest, STATUS_BUFFER_TOO_SMALL).empty());
    start({0x01}, sizeof(SCARD_IO_REQUEST) + 1);
    EXPECT_EQ(answer(SmartcardRawReply, {0x01, 0x02}), STATUS_BUFFER_TOO_SMALL);
}

} // namespace
