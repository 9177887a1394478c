// The frame codec on its own: encoding, collecting a reply chunk by chunk, and decoding.
#include "link/link.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

// Built without the kernel: the codec's assertions fail the test that tripped them.
void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR) {
    ADD_FAILURE() << "assertion failed: " << static_cast<const char*>(FailedAssertion) << " at "
                  << static_cast<const char*>(FileName) << ":" << LineNumber;
}

namespace {

using Bytes = std::vector<UCHAR>;

struct Built {
    NTSTATUS status;
    Bytes frame;
};

Built build(Bytes payload, ULONG room = QKR_BUFFER_SIZE) {
    Bytes out(room + 16, 0xEE);
    ULONG length = 0xDEAD;
    UCHAR dummy = 0;
    NTSTATUS status = Qkr_BuildFrame(out.data(), room, payload.empty() ? &dummy : payload.data(),
                                     static_cast<ULONG>(payload.size()), &length);
    if (status != STATUS_SUCCESS) {
        EXPECT_EQ(length, 0xDEADu) << "a failed encoding must not store a frame length";
        // Nothing may be written past the room the caller gave.
        for (size_t i = room; i < out.size(); ++i)
            EXPECT_EQ(out[i], 0xEE) << "byte " << i << " written past the output size";
        return {status, {}};
    }
    out.resize(length);
    return {status, out};
}

struct Decoded {
    LONG result;
    Bytes bytes;
};

Decoded decode(Bytes frame) {
    LONG length = static_cast<LONG>(frame.size());
    LONG result = Qkr_DecodeFrame(frame.data(), &length);
    frame.resize(length > 0 ? length : 0);
    if (result != QKR_FRAME_GOOD) {
        EXPECT_EQ(length, 0);
    }
    return {result, frame};
}

// One slot's scanner state, fed chunk by chunk as the exchange would.
struct Scanner {
    std::unique_ptr<READER_EXTENSION> reader = std::make_unique<READER_EXTENSION>();
    SMARTCARD_EXTENSION slot{};
    Scanner() { slot.ReaderExtension = reader.get(); }
    void feed(Bytes chunk) {
        Qkr_ScanReceivedBytes(&slot, chunk.data(), static_cast<ULONG>(chunk.size()));
    }
    Bytes stored() const {
        return Bytes(reader->ReceiveBuffer, reader->ReceiveBuffer + reader->ReceivedLength);
    }
};

// Encoded, and decoded back to the payload followed by its check byte.
TEST(FrameEncoding, WorkedExamplesGoOutAsOnTheWireAndDecodeBack) {
    struct Case {
        Bytes payload;
        Bytes wire;
    } cases[] = {
        {{0x60, 0x00, 0x00}, {0x10, 0x02, 0x60, 0x00, 0x00, 0x60, 0x10, 0x03}},
        {{0x67, 0x10, 0x00}, {0x10, 0x02, 0x67, 0x10, 0x10, 0x00, 0x77, 0x10, 0x03}},
        {{0x30, 0x20}, {0x10, 0x02, 0x30, 0x20, 0x10, 0x10, 0x10, 0x03}},
        {{}, {0x10, 0x02, 0x00, 0x10, 0x03}},
        // STX, ETX and NAK inside the payload stand unescaped.
        {{0x02, 0x03, 0x15}, {0x10, 0x02, 0x02, 0x03, 0x15, 0x14, 0x10, 0x03}},
    };
    for (const auto& c : cases) {
        Built b = build(c.payload);
        EXPECT_EQ(b.status, STATUS_SUCCESS);
        EXPECT_EQ(b.frame, c.wire);
        UCHAR check = 0;
        for (UCHAR x : c.payload)
            check ^= x;
        Bytes decoded = c.payload;
        decoded.push_back(check);
        Decoded d = decode(c.wire);
        EXPECT_EQ(d.result, QKR_FRAME_GOOD);
        EXPECT_EQ(d.bytes, decoded);
    }
}

TEST(FrameEncoding, RefusesMissingBuffersAndSmallOutputs) {
    UCHAR out[16];
    UCHAR payload[1] = {0};
    ULONG length = 0;
    EXPECT_EQ(Qkr_BuildFrame(nullptr, 16, payload, 1, &length), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Qkr_BuildFrame(out, 16, nullptr, 1, &length), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Qkr_BuildFrame(out, 16, payload, 1, nullptr), STATUS_DEVICE_DATA_ERROR);
    // Six bytes are refused even for an empty payload, whose frame takes five.
    EXPECT_EQ(build({}, 6).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(build({}, 7).status, STATUS_SUCCESS);
}

TEST(FrameEncoding, FailsOneByteShortOfRoomWithoutWritingPastIt) {
    // Every limit the encoder tests: a payload byte, its doubled DLE, the check byte, the doubled
    // check byte and the closing DLE ETX.
    const Bytes payloads[] = {
        Bytes(1043, 0x41),                  // 1043 + 5 = 1048 exactly
        Bytes{0x10, 0x20, 0x30},            // doubled payload DLE
        Bytes{0x30, 0x20},                  // doubled check byte
        Bytes{0x41, 0x42, 0x43, 0x44, 0x45} // plain
    };
    for (const auto& payload : payloads) {
        Built fits = build(payload);
        ASSERT_EQ(fits.status, STATUS_SUCCESS);
        ULONG exact = static_cast<ULONG>(fits.frame.size());
        if (exact >= 7) {
            EXPECT_EQ(build(payload, exact).status, STATUS_SUCCESS);
        }
        for (ULONG room = 7; room < exact; ++room)
            EXPECT_EQ(build(payload, room).status, STATUS_BUFFER_TOO_SMALL) << "room " << room;
    }
    EXPECT_EQ(build(Bytes(1043, 0x41)).frame.size(), 1048u);
    EXPECT_EQ(build(Bytes(1044, 0x41)).status, STATUS_BUFFER_TOO_SMALL);
}

TEST(FrameDecoding, EmptyNakLookalikeAndFramesInJunkAreGood) {
    Decoded d;
    // An empty frame without even a check byte is still a good frame, of length 0.
    d = decode({0x10, 0x02, 0x10, 0x03});
    EXPECT_EQ(d.result, QKR_FRAME_GOOD);
    EXPECT_TRUE(d.bytes.empty());

    // A three-byte reply starting with NAK is not the NAK.
    d = decode({0x10, 0x02, 0x15, 0x41, 0x54, 0x10, 0x03});
    EXPECT_EQ(d.result, QKR_FRAME_GOOD);
    EXPECT_EQ(d.bytes, (Bytes{0x15, 0x41, 0x54}));

    // Junk before DLE STX is skipped, bytes after DLE ETX are ignored.
    d = decode({0x55, 0x10, 0x10, 0x02, 0x10, 0x02, 0x41, 0x41, 0x10, 0x03, 0x99, 0x10});
    EXPECT_EQ(d.result, QKR_FRAME_GOOD);
    EXPECT_EQ(d.bytes, (Bytes{0x41, 0x41}));
}

TEST(FrameDecoding, EncodeThenDecodeRoundTripsEveryByteValue) {
    Bytes payload;
    for (int i = 0; i < 256; ++i)
        payload.push_back(static_cast<UCHAR>(i));
    payload.push_back(0x10);
    Built b = build(payload);
    ASSERT_EQ(b.status, STATUS_SUCCESS);
    Decoded d = decode(b.frame);
    ASSERT_EQ(d.result, QKR_FRAME_GOOD);
    ASSERT_EQ(d.bytes.size(), payload.size() + 1);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), d.bytes.begin()));
}

TEST(FrameDecoding, RecognisesNakBadAndIncompleteFrames) {
    EXPECT_EQ(decode({0x10, 0x02, 0x15, 0x15, 0x10, 0x03}).result, QKR_FRAME_NAK);
    // Check byte off by one bit.
    EXPECT_EQ(decode({0x10, 0x02, 0x60, 0x00, 0x00, 0x61, 0x10, 0x03}).result, QKR_FRAME_BAD);
    // DLE followed by something other than DLE or ETX inside the frame.
    EXPECT_EQ(decode({0x10, 0x02, 0x41, 0x10, 0x41, 0x10, 0x03}).result, QKR_FRAME_BAD);
    // Bytes run out before DLE ETX.
    EXPECT_EQ(decode({0x10, 0x02, 0x41, 0x41}).result, QKR_FRAME_INCOMPLETE);
    EXPECT_EQ(decode({0x10, 0x02, 0x41, 0x41, 0x10}).result, QKR_FRAME_INCOMPLETE);
    EXPECT_EQ(decode({0x10, 0x03}).result, QKR_FRAME_INCOMPLETE);

    UCHAR buffer[4] = {0x10, 0x02, 0x10, 0x03};
    LONG length = 0;
    EXPECT_EQ(Qkr_DecodeFrame(buffer, &length), QKR_FRAME_INCOMPLETE);
    length = -5;
    EXPECT_EQ(Qkr_DecodeFrame(buffer, &length), QKR_FRAME_INCOMPLETE);
    EXPECT_EQ(length, 0);
    length = -1;
    EXPECT_EQ(Qkr_DecodeFrame(buffer, &length), QKR_FRAME_BAD);
    EXPECT_EQ(length, 0);
}

TEST(FrameScanning, CollectsTheFrameFromDleStxOnWhateverTheChunking) {
    const Bytes wire = {0x55, 0xAA, 0x10, 0x10, 0x02, 0x10, 0x02,
                        0x60, 0x00, 0x00, 0x60, 0x10, 0x03};
    const Bytes frame = {0x10, 0x02, 0x60, 0x00, 0x00, 0x60, 0x10, 0x03};

    Scanner whole;
    whole.feed(wire);
    EXPECT_TRUE(whole.reader->FrameComplete);
    EXPECT_TRUE(whole.reader->FrameStarted);
    EXPECT_TRUE(whole.reader->Storing);
    EXPECT_EQ(whole.stored(), frame);

    for (size_t split = 1; split <= wire.size(); ++split) {
        Scanner s;
        for (size_t at = 0; at < wire.size(); at += split)
            s.feed(Bytes(wire.begin() + at, wire.begin() + std::min(wire.size(), at + split)));
        EXPECT_TRUE(s.reader->FrameComplete) << "chunks of " << split;
        EXPECT_EQ(s.stored(), frame) << "chunks of " << split;
    }
}

TEST(FrameScanning, FirstChunkStartsTheFrameEvenWhenItIsNoise) {
    Scanner s;
    s.feed({0x55, 0xAA});
    // FrameStarted tells the exchange to switch to the inter-chunk time-out.
    EXPECT_TRUE(s.reader->FrameStarted);
    EXPECT_FALSE(s.reader->Storing);
    EXPECT_EQ(s.reader->ReceivedLength, 0u);
}

TEST(FrameScanning, LoneDleEtxBeforeAnyFrameCompletesEmpty) {
    Scanner s;
    s.feed({0x10, 0x03});
    EXPECT_TRUE(s.reader->FrameComplete);
    EXPECT_EQ(s.reader->ReceivedLength, 0u);
    LONG length = 0;
    EXPECT_EQ(Qkr_DecodeFrame(s.reader->ReceiveBuffer, &length), QKR_FRAME_INCOMPLETE);
}

TEST(FrameScanning, StoresBytesAfterTheFrameAndASecondStartAsData) {
    Scanner s;
    s.feed({0x10, 0x02, 0x41, 0x10, 0x02, 0x53, 0x10, 0x03, 0x77});
    // The inner DLE STX is stored with the DLE put back, so the decoder sees DLE DLE 02.
    EXPECT_EQ(s.stored(), (Bytes{0x10, 0x02, 0x41, 0x10, 0x10, 0x02, 0x53, 0x10, 0x03, 0x77}));
    LONG length = static_cast<LONG>(s.reader->ReceivedLength);
    EXPECT_EQ(Qkr_DecodeFrame(s.reader->ReceiveBuffer, &length), QKR_FRAME_GOOD);
    EXPECT_EQ(Bytes(s.reader->ReceiveBuffer, s.reader->ReceiveBuffer + length),
              (Bytes{0x41, 0x10, 0x02, 0x53}));
}

TEST(FrameScanning, NeverStoresPastTheReceiveBuffer) {
    // A runaway frame: DLE STX and then more bytes than the buffer holds, never a DLE ETX.
    Scanner s;
    s.reader->ReceiveBuffer[QKR_BUFFER_SIZE - 1] = 0xEE;
    s.feed({0x10, 0x02});
    Bytes noise(QKR_BUFFER_SIZE, 0x41);
    s.feed(noise);
    EXPECT_TRUE(s.reader->FrameComplete) << "an overlong frame ends the reception";
    EXPECT_EQ(s.reader->ReceivedLength, QKR_RECEIVE_OVERFLOW);
    s.feed(noise); // later chunks change nothing
    EXPECT_EQ(s.reader->ReceivedLength, QKR_RECEIVE_OVERFLOW);
    LONG length = static_cast<LONG>(s.reader->ReceivedLength);
    EXPECT_EQ(Qkr_DecodeFrame(s.reader->ReceiveBuffer, &length), QKR_FRAME_BAD);
    EXPECT_EQ(length, 0);

    // A frame that fits, followed by trailing bytes that do not, is still a good frame.
    Scanner t;
    Bytes payload(1041, 0x41);
    Built b = build(payload);
    ASSERT_EQ(b.frame.size(), 1046u);
    Bytes wire = b.frame;
    wire.insert(wire.end(), 20, 0x99);
    t.feed(wire);
    EXPECT_TRUE(t.reader->FrameComplete);
    EXPECT_EQ(t.reader->ReceivedLength, static_cast<ULONG>(QKR_BUFFER_SIZE));
    length = static_cast<LONG>(t.reader->ReceivedLength);
    EXPECT_EQ(Qkr_DecodeFrame(t.reader->ReceiveBuffer, &length), QKR_FRAME_GOOD);
    EXPECT_EQ(length, 1042);

    // One byte too long: the closing ETX is the byte that does not fit.
    Scanner u;
    Built over = build(Bytes(1044, 0x41), QKR_BUFFER_SIZE + 1);
    ASSERT_EQ(over.frame.size(), 1049u);
    u.feed(over.frame);
    length = static_cast<LONG>(u.reader->ReceivedLength);
    EXPECT_EQ(Qkr_DecodeFrame(u.reader->ReceiveBuffer, &length), QKR_FRAME_BAD);
}

} // namespace
