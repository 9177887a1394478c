// Protocol selection: PTS negotiation with the card, then the protocol and its timing given to
// the reader.
#include "card/card.h"

const signed char Qkr_DTable[16] = {0, 1, 2, 4, 8, 16, 32, 0, 12, 20, -1, -2, -3, -4, -5, -6};

#define QKR_PTSS 0xFF
#define QKR_PTS0_T0 0x10 // PTS1 follows, protocol T=0
#define QKR_PTS0_T1 0x11 // PTS1 follows, protocol T=1

// The protocol both sides accept: T=1 when both are possible, 0 when neither is.
static ULONG Qkr_ChooseProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
    ULONG accepted = SmartcardExtension->MinorIoControlCode &
                     SmartcardExtension->CardCapabilities.Protocol.Supported;
    if (accepted & SCARD_PROTOCOL_T1) {
        return SCARD_PROTOCOL_T1;
    }
    if (accepted & SCARD_PROTOCOL_T0) {
        return SCARD_PROTOCOL_T0;
    }
    return SCARD_PROTOCOL_UNDEFINED;
}

// The reader's T=0 waiting-time byte: the card's WI scaled by the bit rate factor D in force,
// plus a margin of 10, capped at one byte. Fractional factors only shift WI down.
static UCHAR Qkr_T0WaitingTimeByte(UCHAR DiIndex, UCHAR WI) {
    LONG d = Qkr_DTable[DiIndex & 0x0F];
    if ((DiIndex & 0x0F) >= 10) {
        return (UCHAR)(WI >> -d);
    }
    LONG w = d * WI + 10;
    return w <= 0xFF ? (UCHAR)w : 0xFF;
}

NTSTATUS Qkr_SelectPts(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    PTS_DATA* ptsData = &SmartcardExtension->CardCapabilities.PtsData;
    UCHAR pts0 =
        Qkr_ChooseProtocol(SmartcardExtension) == SCARD_PROTOCOL_T1 ? QKR_PTS0_T1 : QKR_PTS0_T0;
    UCHAR pts1 = (UCHAR)(ptsData->Fl * 16 + ptsData->Dl);
    NTSTATUS status;

    request[0] = RDCMD_EXCHANGE;
    request[1] = (UCHAR)readerExtension->SlotNumber;
    request[2] = 0x00;
    request[3] = 0x00;
    request[4] = 0x04;
    request[5] = QKR_PTSS;
    request[6] = pts0;
    request[7] = pts1;
    request[8] = (UCHAR)(QKR_PTSS ^ pts0 ^ pts1);
    SmartcardExtension->SmartcardRequest.BufferLength = 9;

    status = Qkr_ExchangeCommand(QKR_MODE_PTS, SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    // A reader that does not pass the card's answer on has nothing for us to check.
    if (Qkr_ReplyCode(SmartcardExtension) != RDRSP_DATA) {
        return STATUS_SUCCESS;
    }
    if (Qkr_ReplyReceived(SmartcardExtension) < QKR_REPLY_HEADER + 4) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if ((reply[4] ^ reply[5] ^ reply[6] ^ reply[7]) != 0 || reply[4] != QKR_PTSS ||
        reply[6] != pts1 || reply[5] != pts0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    SmartcardExtension->CardCapabilities.Fl = ptsData->Fl;
    SmartcardExtension->CardCapabilities.Dl = ptsData->Dl;
    readerExtension->DiIndex = ptsData->Dl;
    return STATUS_SUCCESS;
}

NTSTATUS Qkr_SmartcardSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(SmartcardExtension);
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    SCARD_CARD_CAPABILITIES* card = &SmartcardExtension->CardCapabilities;
    PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    ULONG protocol;
    NTSTATUS status;

    // The selected protocol goes back as a 32-bit value.
    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
        SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    // Memory cards are driven through the reader's memory-card command; nothing to negotiate.
    if (readerExtension->MemoryCardPresent) {
        DbgPrint("[SetProtocol] Memory Card Present\n");
        SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
        card->Protocol.Selected = QKR_PROTOCOL_MEMORY;
        protocol = QKR_PROTOCOL_MEMORY;
        RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &protocol, sizeof(protocol));
        *SmartcardExtension->IoRequest.Information = sizeof(protocol);
        return STATUS_SUCCESS;
    }

    Qkr_BeginConversation(deviceExtension);
    protocol = Qkr_ChooseProtocol(SmartcardExtension);

    if (protocol == SCARD_PROTOCOL_UNDEFINED) {
        card->Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
        status = STATUS_INVALID_PARAMETER;
        Qkr_EndConversation(deviceExtension);
        return status;
    }

    if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_NEGOTIABLE) {
        if (Qkr_SelectPts(SmartcardExtension) == STATUS_SUCCESS) {
            DbgPrint("[SetProtocol] PTS selection success\n");
        } else {
            DbgPrint("[SetProtocol] PTS selection fial\n");
            // The card may be left in a confused state by a refused PTS: reset it and ask for
            // the default rates, which every card must accept.
            request[0] = RDCMD_WARM_RESET;
            request[1] = (UCHAR)readerExtension->SlotNumber;
            request[2] = 0x00;
            SmartcardExtension->SmartcardRequest.BufferLength = 3;
            if (Qkr_ExchangeCommand(QKR_MODE_WARM_RESET, SmartcardExtension) == STATUS_SUCCESS) {
                card->PtsData.Fl = 1;
                card->PtsData.Dl = 1;
                if (Qkr_SelectPts(SmartcardExtension) == STATUS_SUCCESS) {
                    DbgPrint("[SetProtocol] PTS selection Set default SUCCESS\n");
                } else {
                    DbgPrint("[SetProtocol] PTS selection Set default failed\n");
                }
            }
        }
    }

    request[0] = RDCMD_SET_PARAMS;
    request[1] = (UCHAR)readerExtension->SlotNumber;
    request[2] = 0x00;
    request[3] = 0x00;
    if (protocol == SCARD_PROTOCOL_T1) {
        card->Protocol.Selected = SCARD_PROTOCOL_T1;
        request[3] |= RDPARAM_T1;
        if (card->T1.EDC & 0x01) {
            request[3] |= RDPARAM_CRC;
        }
        request[5] = 0x00;
        request[6] = (UCHAR)(card->T1.BWI * 16 + card->T1.CWI);
        request[4] = card->N;
    } else {
        card->Protocol.Selected = SCARD_PROTOCOL_T0;
        request[5] = Qkr_T0WaitingTimeByte(readerExtension->DiIndex, card->T0.WI);
        request[6] = 0x00;
        // The reader's T=0 guard time starts at 3; 255 is the card's code for the minimum
        // character time, not a count.
        request[4] = (card->N < 3 || card->N == 0xFF) ? 3 : card->N;
    }
    if (card->InversConvention) {
        request[3] |= RDPARAM_INVERSE;
    }
    request[7] = 0x00;
    SmartcardExtension->SmartcardRequest.BufferLength = 8;

    status = Qkr_ExchangeCommand(QKR_MODE_SET_PARAMS, SmartcardExtension);
    if (status == STATUS_SUCCESS) {
        if (Qkr_ReplyCode(SmartcardExtension) == RDRSP_DONE) {
            SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
            protocol = card->Protocol.Selected;
            RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &protocol, sizeof(protocol));
            *SmartcardExtension->IoRequest.Information = sizeof(protocol);
        } else {
            card->Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
            status = STATUS_NO_MEDIA;
        }
    }

    Qkr_EndConversation(deviceExtension);
    return status;
}
