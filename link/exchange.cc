// One command to the reader and its one reply: frame it, send it, collect the reply chunk by chunk
// under a time-out, decode it. Up to three attempts per command.
#include "link/link.h"

#define QKR_ATTEMPTS 3
#define QKR_WRITE_TIMEOUT (-100000000LL)     // 10 s
#define QKR_NEXT_CHUNK_TIMEOUT (-20000000LL) // 2 s between chunks of a reply
// Each pass of a drain ends at the next character or after 2 s of quiet: enough passes for the
// longest frame, its DLEs doubled, character by character.
#define QKR_DRAIN_PASSES (2 * QKR_BUFFER_SIZE + 8)
#define QKR_FIRST_BYTE_TIMEOUT (-3000000000LL)     // 300 s when T=1 is not selected
#define QKR_START_FIRST_BYTE_TIMEOUT (-30000000LL) // 3 s for the start-up queries
#define QKR_T1_MIN_FIRST_BYTE_MS 60000

void Qkr_AcquireReader(PDEVICE_EXTENSION DeviceExtension) {
    KeWaitForSingleObject(&DeviceExtension->ReaderLock, Executive, KernelMode, FALSE, nullptr);
}

void Qkr_ReleaseReader(PDEVICE_EXTENSION DeviceExtension) {
    KeSetEvent(&DeviceExtension->ReaderLock, IO_NO_INCREMENT, FALSE);
}

void Qkr_DumpBytes(PCSTR Title, PUCHAR Bytes, ULONG Count) {
    ULONG i;
    DbgPrint("%s", Title);
    for (i = 0; i < Count; i++)
        DbgPrint("%x ", Bytes[i]);
    DbgPrint("\n");
}

static PREADER_EXTENSION Qkr_TimerSlot(PVOID DeferredContext, BOOLEAN SecondSlot) {
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)DeferredContext;
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    return SecondSlot ? deviceExtension->SecondSmartcardExtension.ReaderExtension
                      : deviceExtension->SmartcardExtension.ReaderExtension;
}

void Qkr_WriteTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                PVOID SystemArgument2) {
    PREADER_EXTENSION readerExtension = Qkr_TimerSlot(DeferredContext, FALSE);
    (void)Dpc;
    (void)SystemArgument1;
    (void)SystemArgument2;
    readerExtension->WriteTimedOut = TRUE;
    KeSetEvent(&readerExtension->SerialIoEvent, IO_NO_INCREMENT, FALSE);
}

void Qkr_ReadTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2) {
    PREADER_EXTENSION readerExtension = Qkr_TimerSlot(DeferredContext, FALSE);
    (void)Dpc;
    (void)SystemArgument1;
    (void)SystemArgument2;
    readerExtension->ReadTimedOut = TRUE;
    KeSetEvent(&readerExtension->SerialIoEvent, IO_NO_INCREMENT, FALSE);
}

void Qkr_SecondSlotWriteTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                          PVOID SystemArgument2) {
    PREADER_EXTENSION readerExtension = Qkr_TimerSlot(DeferredContext, TRUE);
    (void)Dpc;
    (void)SystemArgument1;
    (void)SystemArgument2;
    readerExtension->WriteTimedOut = TRUE;
    KeSetEvent(&readerExtension->SerialIoEvent, IO_NO_INCREMENT, FALSE);
}

void Qkr_SecondSlotReadTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                         PVOID SystemArgument2) {
    PREADER_EXTENSION readerExtension = Qkr_TimerSlot(DeferredContext, TRUE);
    (void)Dpc;
    (void)SystemArgument1;
    (void)SystemArgument2;
    readerExtension->ReadTimedOut = TRUE;
    KeSetEvent(&readerExtension->SerialIoEvent, IO_NO_INCREMENT, FALSE);
}

// How long to wait for the first byte of a reply. Under T=1 the card may legitimately think for its
// whole block waiting time, stretched by any waiting-time extension it asked for.
static LONGLONG Qkr_FirstByteTimeout(ULONG Mode, PSMARTCARD_EXTENSION SmartcardExtension) {
    ULONG ms;

    // A reader that does not answer its start-up queries at once is not going to: do not hold
    // the start for minutes.
    if (Mode == QKR_MODE_START)
        return QKR_START_FIRST_BYTE_TIMEOUT;
    if (SmartcardExtension->CardCapabilities.Protocol.Selected != SCARD_PROTOCOL_T1)
        return QKR_FIRST_BYTE_TIMEOUT;

    ms = SmartcardExtension->CardCapabilities.T1.BWT / 1000;
    if (SmartcardExtension->T1.Wtx != 0)
        ms = ms * SmartcardExtension->T1.Wtx;
    if (ms < QKR_T1_MIN_FIRST_BYTE_MS)
        ms = QKR_T1_MIN_FIRST_BYTE_MS;
    return -(LONGLONG)ms * 10000;
}

// How much the port has received and not yet handed over.
static NTSTATUS Qkr_QueuedBytes(PSMARTCARD_EXTENSION SmartcardExtension,
                                SERIAL_STATUS* SerialStatus) {
    ULONG transferred = 0;
    RtlZeroMemory(SerialStatus, sizeof(*SerialStatus));
    SmartcardExtension->ReaderExtension->SerialIoControlCode = IOCTL_SERIAL_GET_COMMSTATUS;
    return Qkr_SerialIo(SmartcardExtension, nullptr, 0, (PUCHAR)SerialStatus, sizeof(*SerialStatus),
                        &transferred);
}

// A reader without power (DSR off) will not answer: there is no point waiting minutes for it.
static NTSTATUS Qkr_ReaderPowered(PSMARTCARD_EXTENSION SmartcardExtension, PBOOLEAN Powered) {
    ULONG modemStatus = 0;
    ULONG transferred = 0;
    NTSTATUS status;
    SmartcardExtension->ReaderExtension->SerialIoControlCode = IOCTL_SERIAL_GET_MODEMSTATUS;
    status = Qkr_SerialIo(SmartcardExtension, nullptr, 0, (PUCHAR)&modemStatus, sizeof(modemStatus),
                          &transferred);
    *Powered = (modemStatus & SERIAL_DSR_STATE) != 0;
    return status;
}

// When an attempt fails on this side after its frame went out (a request the port could not take,
// for want of memory say), the reader may still be sending the reply. Were it left on the line it
// would pass for the reply to the next command, of this slot or the other: so it is waited out
// until the line has been quiet for the time allowed between chunks, and thrown away.
static void Qkr_DrainReply(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    LARGE_INTEGER dueTime;
    ULONG waitMask = SERIAL_EV_RXCHAR;
    ULONG purgeMask = SERIAL_PURGE_RXCLEAR;
    ULONG events;
    ULONG transferred = 0;
    NTSTATUS status;
    int pass;

    readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
    if (Qkr_SerialIo(SmartcardExtension, (PUCHAR)&waitMask, sizeof(waitMask), nullptr, 0,
                     &transferred) != STATUS_SUCCESS)
        return;
    for (pass = 0; pass < QKR_DRAIN_PASSES; pass++) {
        readerExtension->SerialIoControlCode = IOCTL_SERIAL_PURGE;
        if (Qkr_SerialIo(SmartcardExtension, (PUCHAR)&purgeMask, sizeof(purgeMask), nullptr, 0,
                         &transferred) != STATUS_SUCCESS)
            return;
        readerExtension->ReadTimedOut = FALSE;
        dueTime.QuadPart = QKR_NEXT_CHUNK_TIMEOUT;
        KeSetTimer(&readerExtension->ReadTimer, dueTime, &readerExtension->ReadTimeoutDpc);
        events = 0;
        readerExtension->SerialIoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
        status = Qkr_SerialIo(SmartcardExtension, nullptr, 0, (PUCHAR)&events, sizeof(events),
                              &transferred);
        KeCancelTimer(&readerExtension->ReadTimer);
        if (readerExtension->ReadTimedOut || status != STATUS_SUCCESS)
            return; // quiet, or nothing more can be learnt
    }
}

NTSTATUS Qkr_ReadWrite(ULONG Mode, PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    UCHAR receiveChunk[QKR_RECEIVE_CHUNK_SIZE];
    SERIAL_STATUS serialStatus;
    ULONG frameLength = 0;
    ULONG waitMask;
    ULONG events;
    ULONG purgeMask;
    ULONG transferred = 0;
    LARGE_INTEGER dueTime;
    LONG decodedLength;
    LONG result;
    NTSTATUS status;
    BOOLEAN lookFirst;
    BOOLEAN checkPower = TRUE;

    DbgPrint("[Qkr_ReadWrite] Enter :\n");

    status = Qkr_BuildFrame(readerExtension->TransmitBuffer, QKR_BUFFER_SIZE,
                            SmartcardExtension->SmartcardRequest.Buffer,
                            SmartcardExtension->SmartcardRequest.BufferLength, &frameLength);
    Qkr_DumpBytes("uTransmitBuffer : \n", readerExtension->TransmitBuffer,
                  status == STATUS_SUCCESS ? frameLength : 0);
    if (status != STATUS_SUCCESS || frameLength == 0)
        return STATUS_DEVICE_DATA_ERROR;

    // Whatever an earlier exchange left in the queues is not part of this one.
    purgeMask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    readerExtension->SerialIoControlCode = IOCTL_SERIAL_PURGE;
    status = Qkr_SerialIo(SmartcardExtension, (PUCHAR)&purgeMask, sizeof(purgeMask), nullptr, 0,
                          &transferred);
    if (status != STATUS_SUCCESS) {
        DbgPrint("[Qkr_ReadWrite]Purge CommPort fail ! \n");
        return status;
    }

    waitMask = SERIAL_EV_TXEMPTY;
    readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
    Qkr_SerialIo(SmartcardExtension, (PUCHAR)&waitMask, sizeof(waitMask), nullptr, 0, &transferred);

    readerExtension->WriteTimedOut = FALSE;
    dueTime.QuadPart = QKR_WRITE_TIMEOUT;
    KeSetTimer(&readerExtension->WriteTimer, dueTime, &readerExtension->WriteTimeoutDpc);

    readerExtension->SerialIoControlCode = SMARTCARD_WRITE;
    status = Qkr_SerialIo(SmartcardExtension, readerExtension->TransmitBuffer, frameLength, nullptr,
                          0, &transferred);
    if (readerExtension->WriteTimedOut) {
        KeCancelTimer(&readerExtension->WriteTimer);
        DbgPrint("[Qkr_ReadWrite]Write data Timeout! \n");
        return STATUS_IO_TIMEOUT;
    }
    if (status != STATUS_SUCCESS) {
        KeCancelTimer(&readerExtension->WriteTimer);
        DbgPrint("[Qkr_ReadWrite]Write data fail ! \n");
        return status;
    }

    // Until the frame has left, a character from the reader can only be noise.
    events = 0;
    readerExtension->SerialIoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    Qkr_SerialIo(SmartcardExtension, nullptr, 0, (PUCHAR)&events, sizeof(events), &transferred);
    KeCancelTimer(&readerExtension->WriteTimer);

    readerExtension->ReceivedLength = 0;
    readerExtension->FrameComplete = FALSE;
    readerExtension->DleSeen = FALSE;
    readerExtension->Storing = FALSE;
    readerExtension->FrameStarted = FALSE;
    readerExtension->ReadTimedOut = FALSE;

    // DSR too: a reader that loses power in the middle of a command ends the wait at once.
    waitMask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
    readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
    status = Qkr_SerialIo(SmartcardExtension, (PUCHAR)&waitMask, sizeof(waitMask), nullptr, 0,
                          &transferred);
    if (status != STATUS_SUCCESS) {
        DbgPrint("[Qkr_ReadWrite]Set wait mask fail ! \n");
        Qkr_DrainReply(SmartcardExtension);
        return status;
    }

    // Setting the mask forgot every character that came before it: a quick reader's reply may
    // already be queued in full, and no RXCHAR event will ever announce it.
    lookFirst = TRUE;

    for (;;) {
        ULONG queued;

        if (readerExtension->FrameStarted) {
            dueTime.QuadPart = QKR_NEXT_CHUNK_TIMEOUT;
        } else {
            readerExtension->ReadTimedOut = FALSE;
            dueTime.QuadPart = Qkr_FirstByteTimeout(Mode, SmartcardExtension);
        }
        KeSetTimer(&readerExtension->ReadTimer, dueTime, &readerExtension->ReadTimeoutDpc);

        if (!lookFirst) {
            events = 0;
            readerExtension->SerialIoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
            status = Qkr_SerialIo(SmartcardExtension, nullptr, 0, (PUCHAR)&events, sizeof(events),
                                  &transferred);
            if (readerExtension->ReadTimedOut) {
                DbgPrint("[Qkr_ReadWrite]Wait on mask TIMEOUT ! \n");
                KeCancelTimer(&readerExtension->ReadTimer);
                return STATUS_IO_TIMEOUT;
            }
            if (status != STATUS_SUCCESS) {
                KeCancelTimer(&readerExtension->ReadTimer);
                DbgPrint("[Qkr_ReadWrite]Wait on mask fail ! \n");
                Qkr_DrainReply(SmartcardExtension);
                return status;
            }
            if (events & SERIAL_EV_DSR) {
                checkPower = TRUE;
            }
        }

        status = Qkr_QueuedBytes(SmartcardExtension, &serialStatus);
        if (status != STATUS_SUCCESS) {
            DbgPrint("[Qkr_ReadWrite]Get COMM Status fail ! \n");
            KeCancelTimer(&readerExtension->ReadTimer);
            Qkr_DrainReply(SmartcardExtension);
            return status;
        }
        queued = serialStatus.AmountInInQueue;

        if (checkPower && queued == 0) {
            BOOLEAN powered = TRUE;
            checkPower = FALSE;
            status = Qkr_ReaderPowered(SmartcardExtension, &powered);
            if (status == STATUS_SUCCESS && !powered) {
                KeCancelTimer(&readerExtension->ReadTimer);
                DbgPrint("[Qkr_ReadWrite]Reader has no power (DSR off) ! \n");
                return STATUS_DEVICE_NOT_CONNECTED;
            }
        }

        if (lookFirst) {
            lookFirst = FALSE;
            if (queued == 0)
                continue; // nothing yet: wait for it
        }

        if (queued > 0) {
            readerExtension->SerialIoControlCode = SMARTCARD_READ;
            status =
                Qkr_SerialIo(SmartcardExtension, nullptr, 0, receiveChunk, queued, &transferred);
            KeCancelTimer(&readerExtension->ReadTimer);
            if (readerExtension->ReadTimedOut) {
                DbgPrint("[Qkr_ReadWrite]Read the first byte timeout! \n");
                return STATUS_IO_TIMEOUT;
            }
            if (status != STATUS_SUCCESS) {
                DbgPrint("[Qkr_ReadWrite]Get received data fail ! \n");
                Qkr_DrainReply(SmartcardExtension);
                return status;
            }
            Qkr_ScanReceivedBytes(SmartcardExtension, receiveChunk, queued);
        }

        if (readerExtension->FrameComplete)
            break;
    }

    // An overlong frame has filled the whole buffer; that is all there is to show.
    Qkr_DumpBytes("After receive all data\n", readerExtension->ReceiveBuffer,
                  readerExtension->ReceivedLength > QKR_BUFFER_SIZE
                      ? QKR_BUFFER_SIZE
                      : readerExtension->ReceivedLength);

    decodedLength = (LONG)readerExtension->ReceivedLength;
    result = Qkr_DecodeFrame(readerExtension->ReceiveBuffer, &decodedLength);
    readerExtension->ReceivedLength = (ULONG)decodedLength;

    Qkr_DumpBytes("after verified\n", readerExtension->ReceiveBuffer,
                  readerExtension->ReceivedLength);

    switch (result) {
    case QKR_FRAME_GOOD:
        RtlCopyMemory(SmartcardExtension->SmartcardReply.Buffer, readerExtension->ReceiveBuffer,
                      readerExtension->ReceivedLength);
        SmartcardExtension->SmartcardReply.BufferLength = readerExtension->ReceivedLength;
        DbgPrint("[Qkr_ReadWrite] OK Exit!\n");
        return STATUS_SUCCESS;
    case QKR_FRAME_NAK:
        DbgPrint("[Qkr_ReadWrite] RDDERR_NAK!\n");
        DbgPrint("[Qkr_ReadWrite] RDDERR_DUE!\n");
        return QKR_STATUS_NAK;
    case QKR_FRAME_BAD:
        DbgPrint("[Qkr_ReadWrite] RDDERR_DUE!\n");
        return QKR_STATUS_BAD_FRAME;
    default:
        DbgPrint("[Qkr_ReadWrite] Invalid datablock received!\n");
        return (NTSTATUS)result;
    }
}

NTSTATUS Qkr_ExchangeCommand(ULONG Mode, PSMARTCARD_EXTENSION SmartcardExtension) {
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(SmartcardExtension);
    NTSTATUS status = STATUS_SUCCESS;
    int attempt;

    // The reader answers one conversation at a time: ours holds the reader lock and, after the
    // start, the busy mark that keeps event tracking from reading a card change mid-command.
    ASSERT(KeReadStateEvent(&deviceExtension->ReaderLock) == 0);
    ASSERT(Mode == QKR_MODE_START ||
           deviceExtension->SmartcardExtension.ReaderExtension->ReaderBusy);
    for (attempt = 0; attempt < QKR_ATTEMPTS; attempt++) {
        status = Qkr_ReadWrite(Mode, SmartcardExtension);
        // Another attempt cannot help a reader without power.
        if (status == STATUS_SUCCESS || status == STATUS_DEVICE_NOT_CONNECTED)
            break;
    }
    return status;
}
