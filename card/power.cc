// Card power: power-down, cold and warm reset, and the answer to reset handed to the library and
// the caller.
#include "card/card.h"

const UCHAR Qkr_MemoryCardAtr[24] = {0x3B, 0xBF, 0x18, 0x00, 0x80, 0x31, 0x70, 0x35,
                                     'S',  'T',  'A',  'R',  'C',  'O',  'S',  ' ',
                                     'S',  '2',  '1',  ' ',  'C',  0x90, 0x00, 0x9B};

// The longest answer to reset a card may give.
#define QKR_MAX_ATR_LENGTH 33

static NTSTATUS Qkr_SendPowerCommand(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Command,
                                     ULONG Mode) {
    PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    request[0] = Command;
    request[1] = (UCHAR)SmartcardExtension->ReaderExtension->SlotNumber;
    request[2] = 0x00;
    SmartcardExtension->SmartcardRequest.BufferLength = 3;
    return Qkr_ExchangeCommand(Mode, SmartcardExtension);
}

// The card is no longer powered: a card that was further along goes back to "in the slot".
static void Qkr_LowerToPresent(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_PRESENT) {
        SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
    }
}

// TRUE when the reset reply says the card did not answer. With memory-card support the first
// data byte is the card type. A memory card's reply is taken whatever its length says; any other
// type whose length has a low byte of 0 carries no usable answer (and must not make the length
// after the type byte wrap).
static BOOLEAN Qkr_ResetWithoutAnswer(PSMARTCARD_EXTENSION SmartcardExtension) {
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    ULONG received = Qkr_ReplyReceived(SmartcardExtension);
    if (received < QKR_REPLY_HEADER) {
        return TRUE;
    }
    if (reply[2] == 0 && reply[3] == 0) {
        return TRUE;
    }
    if (!SmartcardExtension->ReaderExtension->MemoryCardSupport || reply[3] != 0) {
        return FALSE;
    }
    return received <= QKR_REPLY_HEADER ||
           (reply[4] != QKR_CARD_TYPE_MEMORY2 && reply[4] != QKR_CARD_TYPE_MEMORY3);
}

NTSTATUS Qkr_ProcessAtr(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    ULONG received = Qkr_ReplyReceived(SmartcardExtension);
    ULONG skip = 0;
    ULONG atrLength;

    if (readerExtension->MemoryCardSupport) {
        if (received <= QKR_REPLY_HEADER) {
            return STATUS_UNRECOGNIZED_MEDIA;
        }
        // Memory cards give no answer to reset of their own; the reader reports their type and
        // the caller gets a stand-in that the library accepts.
        if (reply[4] == QKR_CARD_TYPE_MEMORY2 || reply[4] == QKR_CARD_TYPE_MEMORY3) {
            if (SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(Qkr_MemoryCardAtr)) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            RtlCopyMemory(SmartcardExtension->CardCapabilities.ATR.Buffer, Qkr_MemoryCardAtr,
                          sizeof(Qkr_MemoryCardAtr));
            SmartcardExtension->CardCapabilities.ATR.Length = sizeof(Qkr_MemoryCardAtr);
            *SmartcardExtension->IoRequest.Information = sizeof(Qkr_MemoryCardAtr);
            RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, Qkr_MemoryCardAtr,
                          sizeof(Qkr_MemoryCardAtr));
            readerExtension->MemoryCardPresent = TRUE;
            return STATUS_SUCCESS;
        }
        skip = 1;
    }

    readerExtension->MemoryCardPresent = FALSE;
    // Only the low length byte counts: an answer to reset is far shorter than 256 bytes.
    atrLength = (ULONG)reply[3] - skip;
    if (atrLength > QKR_MAX_ATR_LENGTH || QKR_REPLY_HEADER + skip + atrLength > received) {
        return STATUS_UNRECOGNIZED_MEDIA;
    }
    if (atrLength > SmartcardExtension->IoRequest.ReplyBufferLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(SmartcardExtension->CardCapabilities.ATR.Buffer, reply + QKR_REPLY_HEADER + skip,
                  atrLength);
    SmartcardExtension->CardCapabilities.ATR.Length = (UCHAR)atrLength;
    *SmartcardExtension->IoRequest.Information = atrLength;
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer,
                  SmartcardExtension->CardCapabilities.ATR.Buffer, atrLength);
    return STATUS_SUCCESS;
}

NTSTATUS Qkr_SmartcardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(SmartcardExtension);
    NTSTATUS status;
    BOOLEAN reset = FALSE;

    Qkr_BeginConversation(deviceExtension);
    SmartcardExtension->CardCapabilities.ATR.Length = 0;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    *SmartcardExtension->IoRequest.Information = 0;

    switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
        DbgPrint("[SmartcardPower] Power Down\n");
        Qkr_LowerToPresent(SmartcardExtension);
        status = Qkr_SendPowerCommand(SmartcardExtension, RDCMD_POWER_OFF, QKR_MODE_POWER_OFF);
        if (status == STATUS_SUCCESS) {
            if (Qkr_ReplyCode(SmartcardExtension) == RDRSP_DONE) {
                SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
                SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
            } else {
                status = STATUS_DEVICE_DATA_ERROR;
            }
        }
        break;

    case SCARD_COLD_RESET:
        DbgPrint("[Qkr_SmartcardPower] Cold Reset\n");
        status = Qkr_SendPowerCommand(SmartcardExtension, RDCMD_POWER_OFF, QKR_MODE_POWER_OFF);
        if (status != STATUS_SUCCESS || Qkr_ReplyCode(SmartcardExtension) != RDRSP_DONE) {
            status = STATUS_DEVICE_DATA_ERROR;
            break;
        }
        status = Qkr_SendPowerCommand(SmartcardExtension, RDCMD_POWER_ON, QKR_MODE_POWER_ON);
        reset = (status == STATUS_SUCCESS);
        break;

    case SCARD_WARM_RESET:
        status = Qkr_SendPowerCommand(SmartcardExtension, RDCMD_WARM_RESET, QKR_MODE_WARM_RESET);
        reset = (status == STATUS_SUCCESS);
        break;

    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }

    if (reset) {
        // The reset reply's code says nothing useful; only its length tells an answer apart.
        if (Qkr_ResetWithoutAnswer(SmartcardExtension)) {
            SmartcardExtension->SmartcardRequest.BufferLength = 0;
            Qkr_LowerToPresent(SmartcardExtension);
            if (Qkr_SendPowerCommand(SmartcardExtension, RDCMD_POWER_OFF, QKR_MODE_POWER_OFF) ==
                STATUS_SUCCESS) {
                SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
                SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
            }
            status = STATUS_UNRECOGNIZED_MEDIA;
        } else {
            status = Qkr_ProcessAtr(SmartcardExtension);
            if (status == STATUS_SUCCESS) {
                SmartcardExtension->ReaderExtension->DiIndex = 1;
                status = SmartcardUpdateCardCapabilities(SmartcardExtension);
            } else {
                // The card answered with something we cannot hand on: it is powered, but no
                // protocol may be used until a reset gives a proper answer.
                SmartcardExtension->CardCapabilities.ATR.Length = 0;
                *SmartcardExtension->IoRequest.Information = 0;
                if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_SWALLOWED) {
                    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
                }
            }
            SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        }
    }

    Qkr_EndConversation(deviceExtension);
    return status;
}
