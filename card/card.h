// Reader commands and the smart card library callbacks; helpers for reading the reader's reply
// without trusting what it announces, and the start and end of a reader conversation. Builds on
// the link and on event tracking.
#pragma once

#include "link/link.h"
#include "tracking/tracking.h"

// Indexed by the DI code of the card: the factor D, 0 where a code has none, -k for 1/2^k.
extern const signed char Qkr_DTable[16];
// What a memory card, which has no answer to reset of its own, is reported with.
extern const UCHAR Qkr_MemoryCardAtr[24];

// Library callbacks
NTSTATUS Qkr_SmartcardPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_ProcessAtr(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SmartcardSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SelectPts(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SmartcardIoRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_TransmitReply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SmartcardVendor(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SetReaderBaudRate(PSMARTCARD_EXTENSION SmartcardExtension);

// Reader reply layout: code, second byte, big-endian data length, data.
#define QKR_REPLY_HEADER 4

// Number of reply payload bytes the reader actually sent. The decoded reply ends with the frame's
// check byte, which is not part of the payload.
inline ULONG Qkr_ReplyReceived(PSMARTCARD_EXTENSION SmartcardExtension) {
    ULONG length = SmartcardExtension->SmartcardReply.BufferLength;
    if (length > SmartcardExtension->SmartcardReply.BufferSize) {
        length = SmartcardExtension->SmartcardReply.BufferSize;
    }
    return length > 0 ? length - 1 : 0;
}

// The reply code, or 0 (no code the driver knows) when the reply is empty.
inline UCHAR Qkr_ReplyCode(PSMARTCARD_EXTENSION SmartcardExtension) {
    return Qkr_ReplyReceived(SmartcardExtension) >= 1 ? SmartcardExtension->SmartcardReply.Buffer[0]
                                                      : 0;
}

// The data length the reply announces in bytes 2 and 3, or 0 when the reply is too short to
// carry one.
inline ULONG Qkr_ReplyDataLength(PSMARTCARD_EXTENSION SmartcardExtension) {
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    if (Qkr_ReplyReceived(SmartcardExtension) < QKR_REPLY_HEADER) {
        return 0;
    }
    return ((ULONG)reply[2] << 8) | reply[3];
}

// TRUE when the announced data really arrived.
inline BOOLEAN Qkr_ReplyDataComplete(PSMARTCARD_EXTENSION SmartcardExtension, ULONG DataLength) {
    return QKR_REPLY_HEADER + DataLength <= Qkr_ReplyReceived(SmartcardExtension);
}

// Slot 0's reader record, which holds the busy mark whichever slot a request is for.
inline PREADER_EXTENSION Qkr_Slot0Reader(PDEVICE_EXTENSION DeviceExtension) {
    return DeviceExtension->SmartcardExtension.ReaderExtension;
}

// A reader conversation: the port is ours and event tracking stands down until we re-arm it.
inline void Qkr_BeginConversation(PDEVICE_EXTENSION DeviceExtension) {
    Qkr_AcquireReader(DeviceExtension);
    Qkr_Slot0Reader(DeviceExtension)->ReaderBusy = TRUE;
}

// Every exchange changed the port's wait mask, which ended the tracking wait: re-arm it before
// the busy mark goes, so a line change is never missed nor reported in the middle of a command.
inline void Qkr_EndConversation(PDEVICE_EXTENSION DeviceExtension) {
    Qkr_StartSerialEventTracking(&DeviceExtension->SmartcardExtension);
    Qkr_Slot0Reader(DeviceExtension)->ReaderBusy = FALSE;
    // A line change seen while we held the port completed nothing, and a lost reader closed
    // nothing.
    Qkr_CompleteSettledCardTracking(&DeviceExtension->SmartcardExtension);
    Qkr_CloseIfReaderLost(&DeviceExtension->SmartcardExtension);
    Qkr_ReleaseReader(DeviceExtension);
}
