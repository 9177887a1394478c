// T=0 (ISO/IEC 7816-3 clause 10) and raw transfers. The reader firmware deals with the procedure
// bytes, so the library only maps short APDUs onto command headers and hands back what the card
// answered.
#include "platform/smclib/private.h"

#include <cstring>

namespace qkr::smclib {

bool request_data(const SMARTCARD_EXTENSION& ext, const UCHAR*& data, ULONG& length) {
    const ULONG total = ext.IoRequest.RequestBufferLength;
    if (ext.IoRequest.RequestBuffer == nullptr || total < sizeof(SCARD_IO_REQUEST))
        return false;
    SCARD_IO_REQUEST header;
    std::memcpy(&header, ext.IoRequest.RequestBuffer, sizeof header);
    if (header.cbPciLength < sizeof(SCARD_IO_REQUEST) || header.cbPciLength > total)
        return false;
    data = ext.IoRequest.RequestBuffer + header.cbPciLength;
    length = total - header.cbPciLength;
    return true;
}

NTSTATUS write_reply(SMARTCARD_EXTENSION& ext, const UCHAR* data, ULONG length) {
    const ULONG needed = ULONG(sizeof(SCARD_IO_REQUEST)) + length;
    if (ext.IoRequest.ReplyBuffer == nullptr || length > 0xFFFF0000u ||
        ext.IoRequest.ReplyBufferLength < needed)
        return STATUS_BUFFER_TOO_SMALL;
    SCARD_IO_REQUEST header{ext.CardCapabilities.Protocol.Selected,
                            ULONG(sizeof(SCARD_IO_REQUEST))};
    std::memcpy(ext.IoRequest.ReplyBuffer, &header, sizeof header);
    if (length != 0)
        std::memmove(ext.IoRequest.ReplyBuffer + sizeof header, data, length);
    if (ext.IoRequest.Information != nullptr)
        *ext.IoRequest.Information = needed;
    return STATUS_SUCCESS;
}

namespace {

// Appends `length` bytes at SmartcardRequest.BufferLength.
NTSTATUS append(SMARTCARD_EXTENSION& ext, const UCHAR* bytes, ULONG length) {
    SMARTCARD_REQUEST& req = ext.SmartcardRequest;
    if (req.Buffer == nullptr || req.BufferLength > req.BufferSize ||
        req.BufferSize - req.BufferLength < length)
        return STATUS_BUFFER_TOO_SMALL;
    if (length != 0)
        std::memcpy(req.Buffer + req.BufferLength, bytes, length);
    req.BufferLength += length;
    return STATUS_SUCCESS;
}

// The card's bytes the driver handed over, or false when they cannot be trusted.
bool reply_bytes(const SMARTCARD_EXTENSION& ext, const UCHAR*& data, ULONG& length) {
    const SMARTCARD_REPLY& rep = ext.SmartcardReply;
    if (rep.BufferLength != 0 && (rep.Buffer == nullptr || rep.BufferLength > rep.BufferSize))
        return false;
    data = rep.Buffer;
    length = rep.BufferLength;
    return true;
}

} // namespace

} // namespace qkr::smclib

using namespace qkr::smclib;

NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    const UCHAR* apdu = nullptr;
    ULONG length = 0;
    if (!request_data(ext, apdu, length) || length < 4)
        return STATUS_INVALID_PARAMETER;

    UCHAR header[5] = {apdu[0], apdu[1], apdu[2], apdu[3], 0};
    const UCHAR* body = nullptr;
    ULONG lc = 0;
    ULONG le = 0;
    if (length == 4) {
        // Case 1: no data either way.
    } else if (length == 5) {
        // Case 2 short: P3 is Le (0 asks for 256).
        header[4] = apdu[4];
        le = apdu[4] == 0 ? 256 : apdu[4];
    } else {
        lc = apdu[4];
        // Lc 0 in front of more bytes is the extended form, which T=0 cannot carry.
        if (lc == 0)
            return STATUS_INVALID_PARAMETER;
        if (length == 5 + lc) {
            // Case 3 short.
        } else if (length == 6 + lc) {
            // Case 4 short: Le is not sent; the card's 61xx reaches the caller, who fetches the
            // response with GET RESPONSE.
            le = apdu[5 + lc] == 0 ? 256 : apdu[5 + lc];
        } else {
            return STATUS_INVALID_PARAMETER;
        }
        header[4] = UCHAR(lc);
        body = apdu + 5;
    }

    const ULONG before = ext.SmartcardRequest.BufferLength;
    NTSTATUS status = append(ext, header, sizeof header);
    if (NT_SUCCESS(status) && lc != 0)
        status = append(ext, body, lc);
    if (!NT_SUCCESS(status)) {
        ext.SmartcardRequest.BufferLength = before;
        return status;
    }
    ext.T0.Lc = lc;
    ext.T0.Le = le;
    return STATUS_SUCCESS;
}

NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    const UCHAR* data = nullptr;
    ULONG length = 0;
    // Every T=0 answer ends with the status word.
    if (!reply_bytes(ext, data, length) || length < 2)
        return STATUS_DEVICE_DATA_ERROR;
    return write_reply(ext, data, length);
}

NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    const UCHAR* data = nullptr;
    ULONG length = 0;
    if (!request_data(ext, data, length))
        return STATUS_INVALID_PARAMETER;
    return append(ext, data, length);
}

NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    const UCHAR* data = nullptr;
    ULONG length = 0;
    if (!reply_bytes(ext, data, length))
        return STATUS_DEVICE_DATA_ERROR;
    return write_reply(ext, data, length);
}
