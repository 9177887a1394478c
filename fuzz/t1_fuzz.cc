// The host side of T=1 against a card that answers anything: for a few APDUs in a row, every
// block the card sends comes from the fuzzer (raw, or well formed with a correct check so the
// engine goes deeper). Each APDU ends, within its bound of exchanges, with a defined status; a
// response never outgrows the caller's buffer; every block the engine builds fits its buffer.
#include "fuzz/fuzz_support.h"
#include "platform/smclib/smclib.h"
#include "sim/t1_card.h"

#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;

// Input: maximum IFSD, IFSC, CRC flag, number of APDUs - 1; per APDU its length (u16) and the
// room for its response (u16); per block the card sends, a kind (0 silence, 1 raw, 2 and 3 a
// good check) and the kind's bytes: raw, a length (u16) and bytes; good, NAD, PCB, LEN and INF.
// Bounds the engine promises: the bytes to send, the largest response and some spare.
constexpr unsigned long kMostExchanges = 1100 + 65538 + 1024 + 8;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qkr::fuzz::Input in(data, size);
    std::vector<UCHAR> request(1048), reply(1048);
    SMARTCARD_EXTENSION ext;
    qkr::fuzz::zero(ext);
    ext.Version = SMCLIB_VERSION;
    ext.ReaderCapabilities.CLKFrequency.Default = 3571;
    ext.ReaderCapabilities.MaxIFSD = in.u8();
    ext.SmartcardRequest.Buffer = request.data();
    ext.SmartcardRequest.BufferSize = ULONG(request.size());
    ext.SmartcardReply.Buffer = reply.data();
    ext.SmartcardReply.BufferSize = ULONG(reply.size());

    // A T=1 card with the IFSC and check of the input's choosing.
    const UCHAR ifsc = in.u8();
    const bool crc = in.flag();
    const Bytes atr = {
        0x3B, 0x80, 0x81, 0x51, ifsc, UCHAR(crc), UCHAR(0x80 ^ 0x81 ^ 0x51 ^ ifsc ^ crc)};
    std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    ext.CardCapabilities.ATR.Length = UCHAR(atr.size());
    if (SmartcardUpdateCardCapabilities(&ext) != STATUS_SUCCESS)
        return 0;
    ext.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;

    const int apdus = 1 + in.u8() % 4;
    for (int a = 0; a < apdus && !in.empty(); ++a) {
        // The caller's request (header and APDU) and the room for the response.
        SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
        Bytes caller(sizeof header + in.u16() % 1100);
        std::memcpy(caller.data(), &header, sizeof header);
        for (std::size_t i = sizeof header; i < caller.size(); ++i)
            caller[i] = UCHAR((i - sizeof header) * 31 + a);
        // The library's dispatch never passes less room than the header takes.
        const ULONG room = ULONG(sizeof header) + in.u16() % 1200;
        Bytes response(room + 1, 0xEE); // one guard byte past the room
        ULONG information = 0;
        ext.IoRequest.RequestBuffer = caller.data();
        ext.IoRequest.RequestBufferLength = ULONG(caller.size());
        ext.IoRequest.ReplyBuffer = response.data();
        ext.IoRequest.ReplyBufferLength = room;
        ext.IoRequest.Information = &information;

        NTSTATUS status = STATUS_MORE_PROCESSING_REQUIRED;
        for (unsigned long exchanges = 0; status == STATUS_MORE_PROCESSING_REQUIRED; ++exchanges) {
            FUZZ_CHECK(exchanges <= kMostExchanges);
            ext.SmartcardRequest.BufferLength = 5;
            status = SmartcardT1Request(&ext);
            const ULONG built = ext.SmartcardRequest.BufferLength;
            FUZZ_CHECK(built <= ext.SmartcardRequest.BufferSize);
            if (status != STATUS_SUCCESS)
                break;
            FUZZ_CHECK(built >= 5 + 4 && built <= 5 + 259); // 3 + 254 + 2 behind our five at most

            const UCHAR how = in.u8();
            ULONG length = 0;
            if (how % 4 == 0) { // silence
                ext.T1.PrevState = ULONG(STATUS_IO_TIMEOUT);
            } else if (how % 4 == 1) { // raw bytes, whatever they are
                auto b = in.take(in.u16() % 1049);
                std::memcpy(reply.data(), b.data(), b.size());
                length = ULONG(b.size());
            } else { // a block with a good check: NAD, PCB, LEN and INF from the input
                reply[0] = in.u8();
                reply[1] = in.u8();
                auto inf = in.take(in.u8());
                reply[2] = UCHAR(inf.size());
                std::memcpy(reply.data() + 3, inf.data(), inf.size());
                length = 3 + ULONG(inf.size());
                const auto check = qkr::sim::t1_epilogue(std::span(reply.data(), length), crc);
                std::memcpy(reply.data() + length, check.data(), check.size());
                length += ULONG(check.size());
            }
            ext.SmartcardReply.Buffer = reply.data();
            ext.SmartcardReply.BufferLength = length;
            status = SmartcardT1Reply(&ext);
        }
        FUZZ_CHECK(
            qkr::fuzz::one_of(status, {STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR, STATUS_IO_TIMEOUT,
                                       STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_DEVICE_STATE,
                                       STATUS_INVALID_PARAMETER}));
        FUZZ_CHECK(response[room] == 0xEE);
        FUZZ_CHECK(status != STATUS_SUCCESS ||
                   (information >= sizeof header && information <= room));
    }
    return 0;
}
