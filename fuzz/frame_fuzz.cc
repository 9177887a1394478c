// The receive side of the reader link: arbitrary bytes arriving in arbitrary chunks, collected by
// the scanner and decoded as the exchange does it. Whatever arrives, nothing is stored past the
// receive buffer, the decoder gives one of its four results with a length inside what it was
// given, and a good frame re-encodes to a frame that decodes to the same bytes.
#include "fuzz/fuzz_support.h"
#include "link/link.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

using qkr::fuzz::Input;

void check_decoded(const std::vector<UCHAR>& raw, LONG result, LONG length, LONG given) {
    FUZZ_CHECK(qkr::fuzz::one_of(
        result, {QKR_FRAME_GOOD, QKR_FRAME_BAD, QKR_FRAME_NAK, QKR_FRAME_INCOMPLETE}));
    FUZZ_CHECK(length >= 0 && length <= (result == QKR_FRAME_GOOD ? given : 0));
    if (result != QKR_FRAME_GOOD || length == 0)
        return;
    // The payload without its check byte goes out again and comes back the same.
    std::vector<UCHAR> frame(QKR_BUFFER_SIZE), payload(raw.begin(), raw.begin() + (length - 1));
    payload.reserve(1); // an empty payload still needs a pointer: null is refused
    ULONG frame_length = 0;
    const NTSTATUS built = Qkr_BuildFrame(frame.data(), QKR_BUFFER_SIZE, payload.data(),
                                          ULONG(payload.size()), &frame_length);
    if (built == STATUS_BUFFER_TOO_SMALL)
        return; // doubled DLEs may not fit where the raw frame did not need them
    FUZZ_CHECK(built == STATUS_SUCCESS && frame_length <= QKR_BUFFER_SIZE);
    LONG again = LONG(frame_length);
    const LONG r = Qkr_DecodeFrame(frame.data(), &again);
    const bool nak = payload.size() == 1 && payload[0] == QKR_NAK;
    FUZZ_CHECK(r == (nak ? QKR_FRAME_NAK : QKR_FRAME_GOOD));
    FUZZ_CHECK(nak || (again == length && std::memcmp(frame.data(), raw.data(), length) == 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    // A reader record of its own per input, so nothing carries over between inputs.
    auto reader = std::make_unique<READER_EXTENSION>();
    qkr::fuzz::zero(*reader);
    SMARTCARD_EXTENSION slot{};
    slot.ReaderExtension = reader.get();

    // Input: a byte bounding the chunks, a flag (bit 0), then each chunk as its length - 1 (one
    // byte) and its bytes. The flag lets reception go on past the end of the frame, which the
    // exchange never does but the scanner must survive.
    const unsigned max_chunk = 1u + in.u8();
    const bool past_end = in.flag();
    while (!in.empty()) {
        const std::size_t n = 1 + in.u8() % max_chunk;
        auto chunk = in.take(n);
        if (chunk.empty())
            break;
        std::vector<UCHAR> copy(chunk.begin(), chunk.end());
        Qkr_ScanReceivedBytes(&slot, copy.data(), ULONG(copy.size()));
        FUZZ_CHECK(reader->FrameStarted);
        FUZZ_CHECK(reader->ReceivedLength <= QKR_BUFFER_SIZE ||
                   (reader->ReceivedLength == QKR_RECEIVE_OVERFLOW && reader->FrameComplete));
        if (reader->FrameComplete && !past_end)
            break;
    }

    const ULONG received = reader->ReceivedLength;
    if (received != QKR_RECEIVE_OVERFLOW && received > 0)
        FUZZ_CHECK(reader->ReceiveBuffer[0] == QKR_DLE && reader->ReceiveBuffer[1] == QKR_STX);
    // What the scanner collected, then the decoder on its own straight on the input bytes.
    std::vector<UCHAR> decoded(reader->ReceiveBuffer, reader->ReceiveBuffer + QKR_BUFFER_SIZE);
    std::vector<UCHAR> raw(data, data + std::min<std::size_t>(size, QKR_BUFFER_SIZE));
    for (auto* bytes : {&decoded, &raw}) {
        const LONG given = LONG(bytes == &raw ? raw.size() : received);
        LONG length = given;
        const LONG result = Qkr_DecodeFrame(bytes->data(), &length);
        check_decoded(*bytes, result, length, given);
        FUZZ_CHECK(bytes == &raw || received != QKR_RECEIVE_OVERFLOW || result == QKR_FRAME_BAD);
    }
    return 0;
}
