// The reader's own control codes: memory-card exchange, reader identification, link speed.
#include "card/card.h"

#define QKR_MEM_HEADER 5
#define QKR_MAX_VENDOR_REQUEST (QKR_BUFFER_SIZE - QKR_MEM_HEADER) // 1043
#define QKR_READER_INFO_LENGTH 16
// The speed code is the third byte of a speed-change request.
#define QKR_SPEED_CODE_INDEX 2

// Reader speed codes 1 to 6.
static const ULONG Qkr_SpeedByCode[7] = {0, 38400, 19200, 9600, 4800, 2400, 1200};

// The caller's bytes go to the reader unchanged behind the memory-card command header.
static void Qkr_BuildMemoryCommand(PSMARTCARD_EXTENSION SmartcardExtension) {
    PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    ULONG length = SmartcardExtension->IoRequest.RequestBufferLength;

    request[0] = RDCMD_MEM_EXCHANGE;
    request[1] = (UCHAR)SmartcardExtension->ReaderExtension->SlotNumber;
    request[2] = 0x00;
    request[3] = (UCHAR)(length >> 8);
    request[4] = (UCHAR)length;
    if (length > 0) {
        RtlCopyMemory(request + QKR_MEM_HEADER, SmartcardExtension->IoRequest.RequestBuffer,
                      length);
    }
    SmartcardExtension->SmartcardRequest.BufferLength = QKR_MEM_HEADER + length;
}

NTSTATUS Qkr_SetReaderBaudRate(PSMARTCARD_EXTENSION SmartcardExtension) {
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    ULONG length;
    ULONG code;
    ULONG speed;
    NTSTATUS status;

    if (SmartcardExtension->IoRequest.RequestBufferLength <= QKR_SPEED_CODE_INDEX) {
        return STATUS_INVALID_PARAMETER;
    }
    // Taken now: the reply is copied over the request's bytes (one buffered I/O buffer).
    code = SmartcardExtension->IoRequest.RequestBuffer[QKR_SPEED_CODE_INDEX];

    // The reader switches first; the port follows only once the reader has agreed, or the two
    // would no longer understand each other.
    Qkr_BuildMemoryCommand(SmartcardExtension);
    status = Qkr_ExchangeCommand(QKR_MODE_BAUD, SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    if (Qkr_ReplyCode(SmartcardExtension) != RDRSP_DATA) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    length = Qkr_ReplyDataLength(SmartcardExtension);
    if (!Qkr_ReplyDataComplete(SmartcardExtension, length)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    *SmartcardExtension->IoRequest.Information = length;
    if (length > SmartcardExtension->IoRequest.ReplyBufferLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, reply + QKR_REPLY_HEADER, length);
    if (length == 0 || SmartcardExtension->IoRequest.ReplyBuffer[0] != 0) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    if (code < 1 || code > 6) {
        return STATUS_INVALID_PARAMETER;
    }
    speed = Qkr_SpeedByCode[code];
    if (Qkr_SetSerialBaudRate(speed, SmartcardExtension) != STATUS_SUCCESS) {
        return STATUS_UNSUCCESSFUL;
    }
    SmartcardExtension->ReaderExtension->BaudRate = speed;
    return STATUS_SUCCESS;
}

static NTSTATUS Qkr_MemoryCardTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    ULONG length;
    NTSTATUS status;

    *SmartcardExtension->IoRequest.Information = 0;
    Qkr_BuildMemoryCommand(SmartcardExtension);
    status = Qkr_ExchangeCommand(QKR_MODE_MEM_EXCHANGE, SmartcardExtension);
    if (status != STATUS_SUCCESS || Qkr_ReplyCode(SmartcardExtension) != RDRSP_DATA) {
        return status;
    }
    length = Qkr_ReplyDataLength(SmartcardExtension);
    if (!Qkr_ReplyDataComplete(SmartcardExtension, length)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    *SmartcardExtension->IoRequest.Information = length;
    if (length > SmartcardExtension->IoRequest.ReplyBufferLength) {
        DbgPrint("[Qkr_SmartcardBrimvel] Buffer too small to fit the returned data");
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, reply + QKR_REPLY_HEADER, length);
    return STATUS_SUCCESS;
}

NTSTATUS Qkr_SmartcardVendor(PSMARTCARD_EXTENSION SmartcardExtension) {
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(SmartcardExtension);
    NTSTATUS status;

    switch (SmartcardExtension->MajorIoControlCode) {
    case IOCTL_SMARTCARD_BRV_MEM_TRANSMIT:
        if (SmartcardExtension->IoRequest.RequestBufferLength > QKR_MAX_VENDOR_REQUEST) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        Qkr_BeginConversation(deviceExtension);
        DbgPrint("[Qkr_SmartcardVendor] IOCTL_SMARTCARD_BRV_MEM_TRANSMIT \n");
        status = Qkr_MemoryCardTransmit(SmartcardExtension);
        Qkr_EndConversation(deviceExtension);
        return status;

    case IOCTL_SMARTCARD_GET_READER_INFO:
        *SmartcardExtension->IoRequest.Information = QKR_READER_INFO_LENGTH;
        if (SmartcardExtension->IoRequest.ReplyBufferLength < QKR_READER_INFO_LENGTH) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer,
                      SmartcardExtension->ReaderExtension->ReaderInfo, QKR_READER_INFO_LENGTH);
        return STATUS_SUCCESS;

    case IOCTL_SMARTCARD_SET_BAUD_RATE:
        if (SmartcardExtension->IoRequest.RequestBufferLength > QKR_MAX_VENDOR_REQUEST) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        Qkr_BeginConversation(deviceExtension);
        DbgPrint("[Qkr_SmartcardBrimvel] IOCTL_SMARTCARD_SET_BAUD_RATE\n");
        status = Qkr_SetReaderBaudRate(SmartcardExtension);
        Qkr_EndConversation(deviceExtension);
        return status;

    default:
        return STATUS_NOT_SUPPORTED;
    }
}
