// The T=1 block transmission protocol (ISO/IEC 7816-3 clause 11), interface device side. One call
// of SmartcardT1Request builds the next block; one call of SmartcardT1Reply digests the card's
// answer to it and decides what goes next.
//
// T1.State names the block that is being sent (its PCB for S-blocks) until the card's answer has
// been digested; T1_START means no APDU is in progress. Error recovery follows the standard's
// rules: an invalid or missing answer to an I- or R-block is answered with an R-block asking for
// the expected block, an S request is repeated; after three failed attempts in a row the
// interface resynchronises (at most three S(RESYNCH request) per APDU) and then gives up.
#include "platform/smclib/private.h"

#include <cstring>

namespace qkr::smclib {

namespace {

constexpr UCHAR kDefaultIfs = 32;
constexpr UCHAR kMaxInf = 254;
constexpr unsigned kMaxAttempts = 3; // sending a block three times without success
constexpr unsigned kMaxResyncs = 3;
// A card can keep an APDU going for ever with requests of its own or empty chained blocks; past
// this many blocks beyond what the longest command and response need, it is given up on.
constexpr ULONG kMaxResponse = 65536 + 2;
constexpr ULONG kSpareExchanges = 1024;

constexpr UCHAR kPcbR = 0x80;
constexpr UCHAR kPcbS = 0xC0;
constexpr UCHAR kSResponse = 0x20;
constexpr UCHAR kSResynch = 0x00;
constexpr UCHAR kSIfs = 0x01;
constexpr UCHAR kSAbort = 0x02;
constexpr UCHAR kSWtx = 0x03;

constexpr UCHAR kErrNone = 0;
constexpr UCHAR kErrEdc = 1;
constexpr UCHAR kErrOther = 2;

bool uses_crc(const SMARTCARD_EXTENSION& ext) {
    return (ext.CardCapabilities.T1.EDC & 0x01) != 0;
}

UCHAR ifsc(const SMARTCARD_EXTENSION& ext) {
    return ext.T1.IFSC != 0 ? ext.T1.IFSC : kDefaultIfs;
}

UCHAR ifsd(const SMARTCARD_EXTENSION& ext) {
    return ext.T1.IFSD != 0 ? ext.T1.IFSD : kDefaultIfs;
}

UCHAR wanted_ifsd(const SMARTCARD_EXTENSION& ext) {
    const ULONG max = ext.ReaderCapabilities.MaxIFSD;
    return UCHAR(max > kMaxInf ? kMaxInf : max);
}

bool idle(const T1_DATA& t1) {
    return t1.State == T1_INIT || t1.State == T1_START || t1.State == T1_RESTART;
}

// The APDU still to go out: where the next I-block's INF starts and how much is left.
ULONG remaining(const T1_DATA& t1) {
    return t1.BytesToSend > t1.BytesSent ? t1.BytesToSend - t1.BytesSent : 0;
}

// Ends the APDU; the engine is ready for the next one.
NTSTATUS finish(SMARTCARD_EXTENSION& ext, NTSTATUS status) {
    ext.T1.State = T1_START;
    ext.T1.Wtx = 0;
    ext.T1.MoreData = FALSE;
    ext.T1.IBlockPending = FALSE;
    return status;
}

NTSTATUS more(SMARTCARD_EXTENSION& ext, ULONG next) {
    ext.T1.State = next;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Starts (or, after a resynchronisation, restarts) the APDU from its first byte.
ULONG begin_apdu(SMARTCARD_EXTENSION& ext) {
    T1_DATA& t1 = ext.T1;
    t1.BytesSent = 0;
    t1.BytesReceived = 0;
    t1.InfSent = 0;
    t1.MoreData = FALSE;
    t1.IBlockPending = FALSE;
    t1.Overflow = FALSE;
    t1.Resend = 0;
    return t1.IfsdPending ? T1_IFS_REQUEST : T1_I_BLOCK;
}

NTSTATUS resynchronise(SMARTCARD_EXTENSION& ext) {
    T1_DATA& t1 = ext.T1;
    if (t1.Resync >= kMaxResyncs)
        return finish(ext, t1.LastTimedOut ? STATUS_IO_TIMEOUT : STATUS_DEVICE_DATA_ERROR);
    t1.Resync++;
    t1.Resend = 0;
    return more(ext, T1_RESYNCH_REQUEST);
}

// The card's answer was missing or unusable. `error` is the R-block code that describes it.
NTSTATUS recover(SMARTCARD_EXTENSION& ext, ULONG sent, UCHAR error, bool timed_out) {
    T1_DATA& t1 = ext.T1;
    t1.LastTimedOut = timed_out ? TRUE : FALSE;
    if (sent == T1_RESYNCH_REQUEST)
        return resynchronise(ext);
    if (++t1.Resend >= kMaxAttempts)
        return resynchronise(ext);
    if (sent == T1_IFS_REQUEST)
        return more(ext, T1_IFS_REQUEST);
    // Ask for the block expected next: N(R) is the sequence number the card's next I-block must
    // carry. A card that missed our I-block answers with that N(R) and gets it again.
    t1.LastError = error;
    return more(ext, T1_R_BLOCK);
}

// Repeats the last I-block the card has not acknowledged.
NTSTATUS resend_i_block(SMARTCARD_EXTENSION& ext) {
    T1_DATA& t1 = ext.T1;
    t1.LastTimedOut = FALSE;
    if (++t1.Resend >= kMaxAttempts)
        return resynchronise(ext);
    return more(ext, T1_I_BLOCK);
}

// Our unacknowledged I-block was received by the card.
void acknowledged(T1_DATA& t1) {
    if (!t1.IBlockPending)
        return;
    t1.BytesSent += t1.InfSent;
    t1.InfSent = 0;
    t1.SSN ^= 1;
    t1.IBlockPending = FALSE;
    t1.Resend = 0;
}

bool sending_chain(const T1_DATA& t1) {
    return t1.IBlockPending && t1.BytesSent + t1.InfSent < t1.BytesToSend;
}

NTSTATUS on_i_block(SMARTCARD_EXTENSION& ext, ULONG sent, UCHAR pcb, const UCHAR* inf, ULONG len) {
    T1_DATA& t1 = ext.T1;
    const UCHAR ns = (pcb >> 6) & 1;
    const bool more_follows = (pcb & 0x20) != 0;
    // An I-block while our chain is unfinished, in answer to an S request, or out of sequence
    // is a protocol error on the card's side.
    if (sending_chain(t1) || sent == T1_IFS_REQUEST || sent == T1_RESYNCH_REQUEST || ns != t1.RSN)
        return recover(ext, sent, kErrOther, false);

    acknowledged(t1);
    t1.Resend = 0;
    t1.RSN ^= 1;
    const ULONG room = ext.IoRequest.ReplyBufferLength > sizeof(SCARD_IO_REQUEST)
                           ? ext.IoRequest.ReplyBufferLength - ULONG(sizeof(SCARD_IO_REQUEST))
                           : 0;
    if (t1.Overflow || ext.IoRequest.ReplyBuffer == nullptr || t1.BytesReceived > room ||
        room - t1.BytesReceived < len) {
        // Keep the chain going so the card ends up where it expects, but say so at the end.
        t1.Overflow = TRUE;
    } else if (len != 0) {
        std::memcpy(ext.IoRequest.ReplyBuffer + sizeof(SCARD_IO_REQUEST) + t1.BytesReceived, inf,
                    len);
    }
    t1.BytesReceived += len;
    if (t1.BytesReceived > kMaxResponse)
        return finish(ext, STATUS_DEVICE_DATA_ERROR);
    if (more_follows) {
        t1.MoreData = TRUE;
        t1.LastError = kErrNone;
        return more(ext, T1_R_BLOCK);
    }
    t1.MoreData = FALSE;
    if (t1.Overflow)
        return finish(ext, STATUS_BUFFER_TOO_SMALL);
    SCARD_IO_REQUEST header{ext.CardCapabilities.Protocol.Selected,
                            ULONG(sizeof(SCARD_IO_REQUEST))};
    std::memcpy(ext.IoRequest.ReplyBuffer, &header, sizeof header);
    if (ext.IoRequest.Information != nullptr)
        *ext.IoRequest.Information = ULONG(sizeof header) + t1.BytesReceived;
    return finish(ext, STATUS_SUCCESS);
}

NTSTATUS on_r_block(SMARTCARD_EXTENSION& ext, ULONG sent, UCHAR pcb) {
    T1_DATA& t1 = ext.T1;
    const UCHAR nr = (pcb >> 4) & 1;
    if (sent == T1_IFS_REQUEST) {
        // The card does not take part in the IFS negotiation; go on with the default IFSD.
        t1.IfsdPending = FALSE;
        t1.Resend = 0;
        return more(ext, T1_I_BLOCK);
    }
    if (sent == T1_RESYNCH_REQUEST)
        return recover(ext, sent, kErrOther, false);
    if (t1.IBlockPending) {
        if (nr != t1.SSN && sending_chain(t1)) {
            // Acknowledges a chained block: the next part follows.
            acknowledged(t1);
            return more(ext, T1_I_BLOCK);
        }
        if (nr == t1.SSN)
            return resend_i_block(ext);
        // Acknowledging the last block of the APDU with an R-block is not an answer.
        return recover(ext, sent, kErrOther, false);
    }
    if (t1.MoreData) {
        // The card missed our acknowledgement inside its chain: say it again.
        t1.LastTimedOut = FALSE;
        if (++t1.Resend >= kMaxAttempts)
            return resynchronise(ext);
        return more(ext, T1_R_BLOCK);
    }
    return recover(ext, sent, kErrOther, false);
}

NTSTATUS on_s_block(SMARTCARD_EXTENSION& ext, ULONG sent, UCHAR pcb, const UCHAR* inf, ULONG len) {
    T1_DATA& t1 = ext.T1;
    const UCHAR type = pcb & 0x1F;
    const bool response = (pcb & kSResponse) != 0;
    if (!response) {
        switch (type) {
        case kSWtx:
            if (len != 1 || inf[0] == 0)
                break;
            t1.Wtx = inf[0];
            return more(ext, T1_WTX_RESPONSE);
        case kSIfs:
            if (len != 1 || inf[0] == 0 || inf[0] == 0xFF)
                break;
            t1.IFSC = inf[0];
            t1.PendingSBlock = inf[0];
            return more(ext, T1_IFS_RESPONSE);
        case kSAbort:
            if (len != 0)
                break;
            return more(ext, T1_ABORT_RESPONSE);
        default:
            break;
        }
        return recover(ext, sent, kErrOther, false);
    }
    if (type == kSIfs && sent == T1_IFS_REQUEST && len == 1 && inf[0] == t1.PendingSBlock) {
        t1.IFSD = inf[0];
        t1.IfsdPending = FALSE;
        t1.Resend = 0;
        return more(ext, T1_I_BLOCK);
    }
    if (type == kSResynch && sent == T1_RESYNCH_REQUEST && len == 0) {
        // Both sides start over with sequence numbers 0 and the initial information field
        // sizes; the APDU goes out again from its beginning.
        t1.SSN = 0;
        t1.RSN = 0;
        t1.IFSC = ext.CardCapabilities.T1.IFSC != 0 ? ext.CardCapabilities.T1.IFSC : kDefaultIfs;
        t1.IFSD = kDefaultIfs;
        t1.IfsdPending = wanted_ifsd(ext) != 0 ? TRUE : FALSE;
        return more(ext, begin_apdu(ext));
    }
    return recover(ext, sent, kErrOther, false);
}

} // namespace

std::uint16_t t1_crc(const UCHAR* data, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0x8408) : std::uint16_t(crc >> 1);
    }
    return std::uint16_t(~crc);
}

UCHAR t1_lrc(const UCHAR* data, std::size_t length) {
    UCHAR x = 0;
    for (std::size_t i = 0; i < length; i++)
        x ^= data[i];
    return x;
}

void reset_t1(SMARTCARD_EXTENSION& ext) {
    T1_DATA& t1 = ext.T1;
    t1 = {};
    t1.IFSC = ext.CardCapabilities.T1.IFSC != 0 ? ext.CardCapabilities.T1.IFSC : kDefaultIfs;
    t1.IFSD = kDefaultIfs;
    t1.State = T1_INIT;
    t1.IfsdPending = wanted_ifsd(ext) != 0 ? TRUE : FALSE;
}

} // namespace qkr::smclib

using namespace qkr::smclib;

NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    T1_DATA& t1 = ext.T1;
    const UCHAR* apdu = nullptr;
    ULONG apdu_length = 0;
    if (!request_data(ext, apdu, apdu_length))
        return STATUS_INVALID_PARAMETER;

    if (idle(t1)) {
        // A command APDU has at least CLA INS P1 P2.
        if (apdu_length < 4)
            return STATUS_INVALID_PARAMETER;
        if (t1.IFSD == 0)
            reset_t1(ext);
        t1.BytesToSend = apdu_length;
        t1.Exchanges = 0;
        t1.Resync = 0;
        t1.Wtx = 0;
        t1.LastTimedOut = FALSE;
        if (t1.State == T1_RESTART) {
            // The card may have taken the lost block or not: only a resynchronisation tells both
            // sides where the sequence numbers stand.
            begin_apdu(ext);
            t1.Resync = 1;
            t1.State = T1_RESYNCH_REQUEST;
        } else {
            t1.State = begin_apdu(ext);
        }
    } else if (t1.BytesToSend != apdu_length) {
        // The request changed under a running APDU.
        finish(ext, STATUS_SUCCESS);
        return STATUS_INVALID_DEVICE_STATE;
    }

    UCHAR block[3 + kMaxInf + 2];
    UCHAR pcb = 0;
    ULONG len = 0;
    switch (t1.State) {
    case T1_I_BLOCK: {
        const ULONG left = remaining(t1);
        len = left > ifsc(ext) ? ifsc(ext) : left;
        const bool chained = left > len;
        pcb = UCHAR((t1.SSN & 1) << 6) | (chained ? 0x20 : 0x00);
        std::memcpy(block + 3, apdu + t1.BytesSent, len);
        t1.InfSent = UCHAR(len);
        t1.IBlockPending = TRUE;
        break;
    }
    case T1_R_BLOCK:
        pcb = UCHAR(kPcbR | ((t1.RSN & 1) << 4) | (t1.LastError & 0x03));
        break;
    case T1_IFS_REQUEST:
        pcb = kPcbS | kSIfs;
        t1.PendingSBlock = wanted_ifsd(ext);
        block[3] = t1.PendingSBlock;
        len = 1;
        break;
    case T1_IFS_RESPONSE:
        pcb = kPcbS | kSResponse | kSIfs;
        block[3] = t1.PendingSBlock;
        len = 1;
        break;
    case T1_WTX_RESPONSE:
        pcb = kPcbS | kSResponse | kSWtx;
        block[3] = t1.Wtx;
        len = 1;
        break;
    case T1_ABORT_RESPONSE:
        pcb = kPcbS | kSResponse | kSAbort;
        break;
    case T1_RESYNCH_REQUEST:
        pcb = kPcbS | kSResynch;
        break;
    default:
        finish(ext, STATUS_SUCCESS);
        return STATUS_INVALID_DEVICE_STATE;
    }
    block[0] = 0; // NAD
    block[1] = pcb;
    block[2] = UCHAR(len);
    ULONG size = 3 + len;
    if (uses_crc(ext)) {
        const std::uint16_t crc = t1_crc(block, size);
        block[size++] = UCHAR(crc & 0xFF);
        block[size++] = UCHAR(crc >> 8);
    } else {
        block[size] = t1_lrc(block, size);
        size++;
    }

    SMARTCARD_REQUEST& req = ext.SmartcardRequest;
    if (req.Buffer == nullptr || req.BufferLength > req.BufferSize ||
        req.BufferSize - req.BufferLength < size)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(req.Buffer + req.BufferLength, block, size);
    req.BufferLength += size;
    return STATUS_SUCCESS;
}

NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    T1_DATA& t1 = ext.T1;
    if (idle(t1))
        return STATUS_INVALID_DEVICE_STATE;
    const ULONG sent = t1.State;
    // The card has answered (or failed to) the block that carried our WTX response.
    t1.Wtx = 0;
    if (++t1.Exchanges > t1.BytesToSend + kMaxResponse + kSpareExchanges)
        return finish(ext, STATUS_DEVICE_DATA_ERROR);

    if (sent == T1_ABORT_RESPONSE) {
        // The card gave up its chain; the APDU has no answer.
        return finish(ext, STATUS_DEVICE_DATA_ERROR);
    }

    const SMARTCARD_REPLY& rep = ext.SmartcardReply;
    const ULONG length = rep.BufferLength;
    if (length == 0 || rep.Buffer == nullptr)
        return recover(ext, sent, kErrOther, true);
    if (length > rep.BufferSize)
        return recover(ext, sent, kErrOther, false);
    const UCHAR* b = rep.Buffer;
    const ULONG edc_size = uses_crc(ext) ? 2 : 1;
    if (length < 3 + edc_size || b[2] == 0xFF || length != 3 + ULONG(b[2]) + edc_size)
        return recover(ext, sent, kErrOther, false);
    const ULONG len = b[2];
    bool edc_ok;
    if (edc_size == 2) {
        const std::uint16_t crc = t1_crc(b, 3 + len);
        edc_ok = b[3 + len] == UCHAR(crc & 0xFF) && b[4 + len] == UCHAR(crc >> 8);
    } else {
        edc_ok = t1_lrc(b, 3 + len) == b[3 + len];
    }
    if (!edc_ok)
        return recover(ext, sent, kErrEdc, false);
    if (b[0] != 0)
        return recover(ext, sent, kErrOther, false);

    const UCHAR pcb = b[1];
    const UCHAR* inf = b + 3;
    if ((pcb & 0x80) == 0) {
        if (len > ifsd(ext))
            return recover(ext, sent, kErrOther, false);
        return on_i_block(ext, sent, pcb, inf, len);
    }
    if ((pcb & 0xC0) == kPcbR) {
        if (len != 0 || (pcb & 0x20) != 0 || (pcb & 0x03) == 0x03)
            return recover(ext, sent, kErrOther, false);
        return on_r_block(ext, sent, pcb);
    }
    return on_s_block(ext, sent, pcb, inf, len);
}
