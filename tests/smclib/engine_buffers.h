// The buffers a driver puts around the library's protocol engines: the caller's request (behind
// its SCARD_IO_REQUEST header) and reply as the library hands them over, 16 bytes of the reply
// beyond its stated capacity to show overruns, and the driver's own request and reply buffers.
#pragma once

#include "platform/smclib/smclib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace qkr::smclib_test {

using Bytes = std::vector<UCHAR>;

class EngineBuffers : public ::testing::Test {
  protected:
    void reset() {
        std::memset(static_cast<void*>(&ext_), 0, sizeof ext_);
        ext_.Version = SMCLIB_VERSION;
        ext_.SmartcardRequest.Buffer = request_;
        ext_.SmartcardRequest.BufferSize = sizeof request_;
        ext_.SmartcardReply.Buffer = reply_;
        ext_.SmartcardReply.BufferSize = sizeof reply_;
    }
    // The caller's request: the selected protocol's header, then `data`.
    void start(const Bytes& data, ULONG reply_capacity = 1024) {
        SCARD_IO_REQUEST header{ext_.CardCapabilities.Protocol.Selected, sizeof(SCARD_IO_REQUEST)};
        caller_request_.resize(sizeof header);
        std::memcpy(caller_request_.data(), &header, sizeof header);
        caller_request_.insert(caller_request_.end(), data.begin(), data.end());
        caller_reply_.assign(reply_capacity + 16, 0xEE);
        information_ = 0;
        ext_.IoRequest.RequestBuffer = caller_request_.data();
        ext_.IoRequest.RequestBufferLength = ULONG(caller_request_.size());
        ext_.IoRequest.ReplyBuffer = caller_reply_.data();
        ext_.IoRequest.ReplyBufferLength = reply_capacity;
        ext_.IoRequest.Information = &information_;
    }
    // What the request routine appended behind the driver's 5 header bytes; empty on failure.
    Bytes built(NTSTATUS (*request)(PSMARTCARD_EXTENSION), NTSTATUS expected = STATUS_SUCCESS) {
        ext_.SmartcardRequest.BufferLength = 5;
        EXPECT_EQ(request(&ext_), expected);
        return Bytes(request_ + 5, request_ + ext_.SmartcardRequest.BufferLength);
    }
    // The card's answer, handed to the reply routine.
    NTSTATUS answer(NTSTATUS (*reply)(PSMARTCARD_EXTENSION), const Bytes& card) {
        if (!card.empty())
            std::memcpy(reply_, card.data(), card.size());
        ext_.SmartcardReply.BufferLength = ULONG(card.size());
        return reply(&ext_);
    }
    // What reached the caller behind the reply's header.
    Bytes caller_data() const {
        return Bytes(caller_reply_.begin() + sizeof(SCARD_IO_REQUEST),
                     caller_reply_.begin() + information_);
    }

    SMARTCARD_EXTENSION ext_;
    UCHAR request_[1048];
    UCHAR reply_[1048];
    Bytes caller_request_, caller_reply_;
    ULONG information_ = 0;
};

} // namespace qkr::smclib_test
