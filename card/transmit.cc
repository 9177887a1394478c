// Card data exchange: the library's protocol bytes carried through the reader, block after block.
#include "card/card.h"

#define QKR_EXCHANGE_HEADER 5
// A bare T=0 command header after the reader's exchange header: P3 is the expected length.
#define QKR_T0_HEADER_ONLY (QKR_EXCHANGE_HEADER + 5)
#define QKR_T0_P3 (QKR_EXCHANGE_HEADER + 4)
// A full answer to a P3 of 0: 256 data bytes and the status word.
#define QKR_T0_FULL_ANSWER 258

NTSTATUS Qkr_TransmitReply(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    ULONG length = Qkr_ReplyDataLength(SmartcardExtension);
    PUCHAR data;
    NTSTATUS status;

    if (!Qkr_ReplyDataComplete(SmartcardExtension, length)) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    data = reply + QKR_REPLY_HEADER;
    SmartcardExtension->SmartcardReply.Buffer = data;
    SmartcardExtension->SmartcardReply.BufferLength = length;

    // Older firmware cannot ask the card for 254 or 255 bytes, so the command asked for 256:
    // drop the surplus and keep the status word behind the bytes the caller wanted. Anything
    // shorter than a full answer (an error status word, say) is handed on as it came.
    if (readerExtension->T0LeAdjusted && length == QKR_T0_FULL_ANSWER) {
        if (readerExtension->T0SavedP3 == 0xFF) {
            data[255] = data[256];
            data[256] = data[257];
            SmartcardExtension->SmartcardReply.BufferLength -= 1;
        } else if (readerExtension->T0SavedP3 == 0xFE) {
            data[254] = data[256];
            data[255] = data[257];
            SmartcardExtension->SmartcardReply.BufferLength -= 2;
        }
    }

    switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
        status = SmartcardT0Reply(SmartcardExtension);
        break;
    case SCARD_PROTOCOL_T1:
        status = SmartcardT1Reply(SmartcardExtension);
        break;
    case SCARD_PROTOCOL_RAW:
        status = SmartcardRawReply(SmartcardExtension);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }

    SmartcardExtension->SmartcardReply.Buffer = reply;
    return status;
}

// The card asked for more time: tell the reader to wait that many block waiting times before
// the library's answer goes out.
static void Qkr_SendWaitingTimeExtension(PSMARTCARD_EXTENSION SmartcardExtension) {
    PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    request[0] = RDCMD_SET_PARAMS;
    request[1] = (UCHAR)SmartcardExtension->ReaderExtension->SlotNumber;
    request[2] = 0x00;
    request[3] = RDPARAM_WTX;
    request[4] = 0x00;
    request[5] = 0x00;
    request[6] = 0x00;
    request[7] = SmartcardExtension->T1.Wtx;
    SmartcardExtension->SmartcardRequest.BufferLength = 8;
    // The card's block follows whatever the reader made of this.
    (void)Qkr_ExchangeCommand(QKR_MODE_SET_PARAMS, SmartcardExtension);
    SmartcardExtension->SmartcardRequest.BufferLength = QKR_EXCHANGE_HEADER;
}

NTSTATUS Qkr_SmartcardIoRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(SmartcardExtension);
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    ULONG protocol = SmartcardExtension->CardCapabilities.Protocol.Selected;
    NTSTATUS status;
    ULONG length;

    Qkr_BeginConversation(deviceExtension);

    do {
        readerExtension->T0LeAdjusted = FALSE;
        SmartcardExtension->SmartcardRequest.BufferLength = QKR_EXCHANGE_HEADER;

        if (protocol == SCARD_PROTOCOL_T0) {
            status = SmartcardT0Request(SmartcardExtension);
        } else if (protocol == SCARD_PROTOCOL_T1) {
            if (SmartcardExtension->T1.State == T1_WTX_RESPONSE) {
                Qkr_SendWaitingTimeExtension(SmartcardExtension);
            }
            status = SmartcardT1Request(SmartcardExtension);
        } else if (protocol == SCARD_PROTOCOL_RAW) {
            status = SmartcardRawRequest(SmartcardExtension);
        } else {
            // Memory cards and cards without a protocol are not reached this way.
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
        if (status != STATUS_SUCCESS) {
            continue;
        }

        length = SmartcardExtension->SmartcardRequest.BufferLength - QKR_EXCHANGE_HEADER;
        request[0] = RDCMD_EXCHANGE;
        request[1] = (UCHAR)readerExtension->SlotNumber;
        request[2] = 0x00;
        request[3] = (UCHAR)(length >> 8);
        request[4] = (UCHAR)length;

        // Older firmware fails a T=0 read of 254 or 255 bytes: ask for 256 and cut the answer.
        if (readerExtension->T0LeWorkaround && protocol == SCARD_PROTOCOL_T0 &&
            SmartcardExtension->SmartcardRequest.BufferLength == QKR_T0_HEADER_ONLY &&
            (request[QKR_T0_P3] == 0xFF || request[QKR_T0_P3] == 0xFE)) {
            readerExtension->T0LeAdjusted = TRUE;
            readerExtension->T0SavedP3 = request[QKR_T0_P3];
            request[QKR_T0_P3] = 0x00;
        }

        status = Qkr_ExchangeCommand(QKR_MODE_EXCHANGE, SmartcardExtension);
        if (status != STATUS_SUCCESS) {
            continue;
        }

        switch (Qkr_ReplyCode(SmartcardExtension)) {
        case RDRSP_NO_CARD:
            status = STATUS_NO_MEDIA;
            break;
        case RDRSP_DATA:
            if (Qkr_ReplyDataLength(SmartcardExtension) != 0) {
                status = Qkr_TransmitReply(SmartcardExtension);
            } else if (protocol == SCARD_PROTOCOL_T0) {
                status = STATUS_IO_TIMEOUT;
            } else if (protocol == SCARD_PROTOCOL_T1) {
                // An empty block is how the reader reports a card that stayed silent; the
                // library's T=1 engine recovers from a time-out by itself.
                SmartcardExtension->T1.PrevState = (ULONG)STATUS_IO_TIMEOUT;
                status = Qkr_TransmitReply(SmartcardExtension);
            } else {
                DbgPrint("[Qkr_SmartcardIoRequest]Unknown protocol\n");
            }
            break;
        default:
            // The reader carried the command out but has nothing to hand back.
            break;
        }
    } while (status == STATUS_MORE_PROCESSING_REQUIRED);

    // A block lost between reader and card leaves the library mid-APDU, with the card's sequence
    // numbers unknown; carrying on would hand the next command the card's repeated old answer.
    if (protocol == SCARD_PROTOCOL_T1 && SmartcardExtension->T1.State != T1_START &&
        SmartcardExtension->T1.State != T1_INIT) {
        SmartcardExtension->T1.State = T1_RESTART;
    }

    Qkr_EndConversation(deviceExtension);
    return status;
}
