// Card presence tracking.
//
// The reader shows the card of slot 0 on CTS and its own presence on DSR. One IRP of our own stays
// outstanding at the serial port and alternates between a wait for a CTS/DSR change and a read of
// the modem lines; every read with DSR on updates slot 0's card state and completes the card
// tracking request the library has parked. The chain ends when SerialWaitMask comes back as 0 (a
// reader command or a stop set a new wait mask), when DSR drops, when the port keeps failing the
// requests, or when a new arming takes over.
//
// Per-chain bookkeeping lives in the tracking IRP's driver context: the IRP is ours from
// allocation to IoFreeIrp, so nobody else reads those words.
#include "tracking/tracking.h"

// Driver context slots of the tracking IRP.
#define QKR_CHAIN_END_REQUEST 0 // why an arming or a stop asked the chain to end (below)
#define QKR_CHAIN_END_EVENT 1   // signalled once the chain has ended, for an arming that waits
#define QKR_CHAIN_ERRORS 2      // failed requests in a row

// End requests.
#define QKR_END_NONE 0
#define QKR_END_FOR_REARM 1 // a new chain takes over: end quietly, never close the port
#define QKR_END_FOR_STOP 2  // the device stops: end as on an empty mask

// A port that fails the tracking requests again and again gets this many retries in a row; then
// the chain ends as if the mask had come back empty.
#define QKR_TRACKING_MAX_RETRIES 3

// How long an arming lets an old chain take to end before it nudges the port again, and how many
// nudges it makes before it gives up.
#define QKR_REARM_POLL_TICKS (-100000LL) // 10 ms, relative
#define QKR_REARM_MAX_POLLS 100

#define QKR_TRACKING_MASK (SERIAL_EV_CTS | SERIAL_EV_DSR)

static ULONG_PTR Qkr_ChainWord(PIRP Irp, int Slot) {
    return (ULONG_PTR)Irp->Tail.Overlay.DriverContext[Slot];
}

static void Qkr_SetChainWord(PIRP Irp, int Slot, ULONG_PTR Value) {
    Irp->Tail.Overlay.DriverContext[Slot] = (PVOID)Value;
}

// Writes one tracking request into the IRP's next stack location. The output buffer is the
// reader extension's own member, so the port writes the events or the lines straight into it.
static void Qkr_WriteTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp,
                                     BOOLEAN ReadLines) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);

    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Flags = 0;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    next->FileObject = NULL;
    if (ReadLines) {
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_GET_MODEMSTATUS;
        Irp->AssociatedIrp.SystemBuffer = &readerExtension->ModemStatus;
    } else {
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
        Irp->AssociatedIrp.SystemBuffer = &readerExtension->SerialWaitMask;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    Irp->Cancel = FALSE;
    IoSetCompletionRoutine(Irp, Qkr_SerialEvent, SmartcardExtension, TRUE, TRUE, TRUE);
}

// Sends IOCTL_SERIAL_SET_WAIT_MASK with the given mask and waits for it.
static NTSTATUS Qkr_SetPortWaitMask(PREADER_EXTENSION ReaderExtension, ULONG Mask, BOOLEAN* Built) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_SET_WAIT_MASK,
                                        ReaderExtension->AttachedDeviceObject, &Mask, sizeof(Mask),
                                        NULL, 0, FALSE, &event, &ioStatus);
    *Built = irp != NULL;
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IofCallDriver(ReaderExtension->AttachedDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// Ends a chain that is still outstanding, so that only one chain ever exists. Setting a wait mask
// completes the chain's wait with an empty mask; the chain sees the end request and stops without
// closing the port. If the chain was between two requests when the mask went in, its next wait
// is nudged out by setting the mask again.
//
// On success *MaskSet tells whether the port now holds the tracking mask already.
static NTSTATUS Qkr_EndOutstandingChain(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN* MaskSet) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    KEVENT ended;
    LARGE_INTEGER poll;
    KIRQL irql;
    PIRP old;
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN built;
    int polls;

    *MaskSet = FALSE;
    KeInitializeEvent(&ended, NotificationEvent, FALSE);

    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    old = readerExtension->SerialStatusIrp;
    if (old != NULL) {
        Qkr_SetChainWord(old, QKR_CHAIN_END_REQUEST, QKR_END_FOR_REARM);
        Qkr_SetChainWord(old, QKR_CHAIN_END_EVENT, (ULONG_PTR)&ended);
    }
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
    if (old == NULL) {
        return STATUS_SUCCESS;
    }

    poll.QuadPart = QKR_REARM_POLL_TICKS;
    for (polls = 0; polls < QKR_REARM_MAX_POLLS; polls++) {
        status = Qkr_SetPortWaitMask(readerExtension, QKR_TRACKING_MASK, &built);
        *MaskSet = NT_SUCCESS(status);
        if (KeWaitForSingleObject(&ended, Executive, KernelMode, FALSE, &poll) == STATUS_SUCCESS) {
            return STATUS_SUCCESS;
        }
    }

    // The old chain did not end. Take our event back unless the chain has already claimed it, in
    // which case it is about to signal it and we must stay until it has.
    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    BOOLEAN claimed = readerExtension->SerialStatusIrp != old ||
                      Qkr_ChainWord(old, QKR_CHAIN_END_EVENT) != (ULONG_PTR)&ended;
    if (!claimed) {
        Qkr_SetChainWord(old, QKR_CHAIN_END_EVENT, 0);
    }
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
    if (claimed) {
        KeWaitForSingleObject(&ended, Executive, KernelMode, FALSE, NULL);
        return STATUS_SUCCESS;
    }
    *MaskSet = FALSE;
    return NT_SUCCESS(status) ? STATUS_IO_TIMEOUT : status;
}

NTSTATUS Qkr_StartSerialEventTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(SmartcardExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    PDEVICE_OBJECT deviceObject = smartcardExtension->OsData->DeviceObject;
    NTSTATUS status;
    BOOLEAN maskSet;
    BOOLEAN built = TRUE;
    KIRQL irql;
    PIRP irp;

    DbgPrint("[Qkr_StartSerialEventTracking] Enter :\n");

    status = Qkr_EndOutstandingChain(smartcardExtension, &maskSet);
    if (status != STATUS_SUCCESS) {
        DbgPrint("[Qkr_StartSerialEventTracking] return %X \n", status);
        return status;
    }

    readerExtension->SerialWaitMask = QKR_TRACKING_MASK;
    if (!maskSet) {
        status = Qkr_SetPortWaitMask(readerExtension, readerExtension->SerialWaitMask, &built);
        if (!built) {
            readerExtension->SerialWaitMask = 0;
            DbgPrint("[Qkr_StartSerialEventTracking] SerialStatusIrp == NULL\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (status != STATUS_SUCCESS) {
            // Nothing is outstanding, so a stop must not wait for the chain to close the port.
            readerExtension->SerialWaitMask = 0;
            DbgPrint("[Qkr_StartSerialEventTracking] return %X \n", status);
            return status;
        }
    }

    irp = IoAllocateIrp((CCHAR)(deviceObject->StackSize + 1), FALSE);
    if (irp == NULL) {
        readerExtension->SerialWaitMask = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Qkr_SetChainWord(irp, QKR_CHAIN_END_REQUEST, QKR_END_NONE);
    Qkr_SetChainWord(irp, QKR_CHAIN_END_EVENT, 0);
    Qkr_SetChainWord(irp, QKR_CHAIN_ERRORS, 0);

    KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
    deviceExtension->CloseDeferred = FALSE;
    KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);

    // Every chain starts by reading the lines afresh: a modem status left by an earlier chain
    // says nothing about the lines now.
    readerExtension->GetModemStatus = FALSE;
    Qkr_WriteTrackingRequest(smartcardExtension, irp, FALSE);

    KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
    // One chain at a time: the old one has ended above, and armings never overlap.
    ASSERT(readerExtension->SerialStatusIrp == NULL);
    readerExtension->SerialStatusIrp = irp;
    KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);

    Qkr_SerialEvent(deviceObject, irp, smartcardExtension);

    DbgPrint("[Qkr_StartSerialEventTracking] return %X \n", 0);
    return STATUS_SUCCESS;
}

NTSTATUS Qkr_SerialEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PSMARTCARD_EXTENSION smartcardExtension = (PSMARTCARD_EXTENSION)Context;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(smartcardExtension);
    BOOLEAN cardEvent = FALSE;
    BOOLEAN lost = FALSE;
    BOOLEAN failed = !NT_SUCCESS(Irp->IoStatus.Status);
    BOOLEAN endChain;
    BOOLEAN queueClose = FALSE;
    ULONG_PTR endRequest;
    ULONG_PTR errors;
    PKEVENT endedEvent = NULL;
    KIRQL irql;

    (void)DeviceObject;
    DbgPrint("[Qkr_SerialEvent] Enter : \n");

    KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);

    // A failed request leaves its buffer stale: nothing in it is evaluated, and the same request
    // goes out again, a few times at most.
    errors = failed ? Qkr_ChainWord(Irp, QKR_CHAIN_ERRORS) + 1 : 0;
    Qkr_SetChainWord(Irp, QKR_CHAIN_ERRORS, errors);
    if (errors > QKR_TRACKING_MAX_RETRIES) {
        readerExtension->SerialWaitMask = 0;
        lost = TRUE;
    }

    if (!failed && readerExtension->GetModemStatus) {
        if ((readerExtension->ModemStatus & SERIAL_DSR_STATE) == 0) {
            DbgPrint("[Qkr_SerialEvent] DSR_STATE changed!\n");
            readerExtension->SerialWaitMask = 0;
            lost = TRUE;
            // A reader without power has dropped the card's power too, and can no longer say
            // whether a card is there.
            if (readerExtension->CardStatus != QKR_CARD_STATUS_UNKNOWN) {
                smartcardExtension->CardCapabilities.ATR.Length = 0;
                smartcardExtension->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
                readerExtension->CardStatus = QKR_CARD_STATUS_UNKNOWN;
                smartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
            }
        } else {
            cardEvent = TRUE;
            if (readerExtension->ModemStatus & SERIAL_CTS_STATE) {
                DbgPrint("[Qkr_SerialEvent] CTS_STATE changed to low Card Inserted\n");
                if (readerExtension->CardStatus == QKR_CARD_STATUS_UNKNOWN ||
                    readerExtension->CardStatus == QKR_CARD_STATUS_ABSENT) {
                    smartcardExtension->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
                    readerExtension->CardStatus = QKR_CARD_STATUS_PRESENT;
                    smartcardExtension->CardCapabilities.Protocol.Selected =
                        SCARD_PROTOCOL_UNDEFINED;
                }
            } else {
                DbgPrint("[Qkr_SerialEvent] CTS_STATE changed to high Card Removed\n");
                if (readerExtension->CardStatus >= 2) {
                    smartcardExtension->CardCapabilities.ATR.Length = 0;
                    smartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;
                    readerExtension->CardStatus = QKR_CARD_STATUS_ABSENT;
                    smartcardExtension->CardCapabilities.Protocol.Selected =
                        SCARD_PROTOCOL_UNDEFINED;
                }
            }
        }
    }
    ASSERT(readerExtension->CardStatus == QKR_CARD_STATUS_UNKNOWN ||
           readerExtension->CardStatus == QKR_CARD_STATUS_ABSENT ||
           readerExtension->CardStatus == QKR_CARD_STATUS_PRESENT);
    BOOLEAN busy = readerExtension->ReaderBusy;
    BOOLEAN powerRequest = readerExtension->PowerRequest;
    KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);

    if (!powerRequest && cardEvent && !busy) {
        DbgPrint("[Qkr_SerialEvent] PowerRequst == FALSE do completeTrackingWork\n");
        Qkr_CompleteCardTracking(smartcardExtension);
    }

    // The decision to end and the hand-over of the IRP are one step under the lock, so an arming
    // or a stop that marks this chain either sees it gone or is seen by this step.
    KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
    endRequest = Qkr_ChainWord(Irp, QKR_CHAIN_END_REQUEST);
    endChain = readerExtension->SerialWaitMask == 0 || endRequest != QKR_END_NONE;
    if (endChain) {
        // With the chain gone the mask means "off", whatever the port last wrote into it.
        readerExtension->SerialWaitMask = 0;
        readerExtension->SerialStatusIrp = NULL;
        endedEvent = (PKEVENT)Qkr_ChainWord(Irp, QKR_CHAIN_END_EVENT);
        Qkr_SetChainWord(Irp, QKR_CHAIN_END_EVENT, 0);
        if (endRequest != QKR_END_FOR_REARM && !readerExtension->ReaderBusy) {
            queueClose = TRUE;
            deviceExtension->CloseQueued = TRUE;
        } else if (lost && endRequest == QKR_END_NONE) {
            deviceExtension->CloseDeferred = TRUE;
        }
    } else if (!failed) {
        readerExtension->GetModemStatus = !readerExtension->GetModemStatus;
    }
    BOOLEAN readLines = readerExtension->GetModemStatus;
    KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);

    if (endChain) {
        if (queueClose) {
            DbgPrint("[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort\n");
            IoQueueWorkItem(deviceExtension->CloseSerialWorkItem, Qkr_CloseSerialPort,
                            DelayedWorkQueue, NULL);
        }
        IoFreeIrp(Irp);
        if (endedEvent != NULL) {
            KeSetEvent(endedEvent, IO_NO_INCREMENT, FALSE);
        }
        DbgPrint("[Qkr_SerialEvent] Freed Irp and returned!\n");
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    Qkr_WriteTrackingRequest(smartcardExtension, Irp, readLines);
    IofCallDriver(readerExtension->AttachedDeviceObject, Irp);
    DbgPrint("[Qkr_SerialEvent] Exit !\n");
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Takes the slot's parked card-tracking request out of the library's hands, its cancel routine
// cleared, and completes it with `Status` (STATUS_CANCELLED if it was cancelled meanwhile).
static void Qkr_FinishParkedRequest(PSMARTCARD_EXTENSION SmartcardExtension, NTSTATUS Status) {
    KIRQL cancelIrql;
    KIRQL irql;
    PIRP irp;

    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    irp = SmartcardExtension->OsData->NotificationIrp;
    SmartcardExtension->OsData->NotificationIrp = NULL;
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
    if (irp != NULL) {
        IoSetCancelRoutine(irp, NULL);
    }
    IoReleaseCancelSpinLock(cancelIrql);

    if (irp != NULL) {
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void Qkr_CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    DbgPrint("[Qkr_CompleteCardTracking] Enter !\n");
    Qkr_FinishParkedRequest(SmartcardExtension, STATUS_SUCCESS);
    DbgPrint("[Qkr_CompleteCardTracking] Exit !\n");
}

void Qkr_EndParkedCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension->OsData != NULL) {
        Qkr_FinishParkedRequest(SmartcardExtension, STATUS_CANCELLED);
    }
}

// A line change read while a reader command ran completed nothing, and the next one may be long in
// coming: once the command is over, a request whose wait is already over is completed.
void Qkr_CompleteSettledCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    BOOLEAN settled = FALSE;
    KIRQL irql;

    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    PIRP irp = SmartcardExtension->OsData->NotificationIrp;
    if (irp != NULL && !readerExtension->PowerRequest) {
        ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
        // A reader that lost power knows nothing of the card (SCARD_UNKNOWN): that ends no wait;
        // whoever waits learns of the reader's loss from its interfaces going away.
        ULONG state = SmartcardExtension->ReaderCapabilities.CurrentState;
        settled = (code == IOCTL_SMARTCARD_IS_PRESENT && state > SCARD_ABSENT) ||
                  (code == IOCTL_SMARTCARD_IS_ABSENT && state == SCARD_ABSENT);
    }
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);

    if (settled) {
        Qkr_CompleteCardTracking(SmartcardExtension);
    }
}

void Qkr_CloseIfReaderLost(PSMARTCARD_EXTENSION SmartcardExtension) {
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(SmartcardExtension);
    BOOLEAN queueClose = FALSE;
    KIRQL irql;

    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    if (deviceExtension->CloseDeferred &&
        SmartcardExtension->ReaderExtension->SerialStatusIrp == NULL &&
        !deviceExtension->CloseQueued) {
        deviceExtension->CloseQueued = TRUE;
        queueClose = TRUE;
    }
    deviceExtension->CloseDeferred = FALSE;
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);

    if (queueClose) {
        DbgPrint("[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort\n");
        IoQueueWorkItem(deviceExtension->CloseSerialWorkItem, Qkr_CloseSerialPort, DelayedWorkQueue,
                        NULL);
    }
}

NTSTATUS Qkr_SmartcardCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    KIRQL cancelIrql;
    KIRQL irql;
    PIRP cancelled = NULL;

    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    PIRP irp = SmartcardExtension->OsData->NotificationIrp;
    if (irp != NULL) {
        if (irp->Cancel) {
            // Cancelled before it could get a cancel routine: nobody else will ever end it.
            SmartcardExtension->OsData->NotificationIrp = NULL;
            cancelled = irp;
        } else {
            IoSetCancelRoutine(irp, Qkr_CancelCardTracking);
        }
    }
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
    IoReleaseCancelSpinLock(cancelIrql);

    if (cancelled != NULL) {
        cancelled->IoStatus.Information = 0;
        cancelled->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(cancelled, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

void Qkr_CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION secondSlot = &deviceExtension->SecondSmartcardExtension;
    PIRP parkedForSlot1 = NULL;
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);

    // Slot 1 has no line of its own, so only its cancel ever ends a request parked there.
    if (secondSlot->OsData != NULL) {
        KeAcquireSpinLock(&secondSlot->OsData->SpinLock, &irql);
        if (secondSlot->OsData->NotificationIrp == Irp) {
            secondSlot->OsData->NotificationIrp = NULL;
            parkedForSlot1 = Irp;
        }
        KeReleaseSpinLock(&secondSlot->OsData->SpinLock, irql);
    }
    if (parkedForSlot1 != NULL) {
        parkedForSlot1->IoStatus.Information = 0;
        parkedForSlot1->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(parkedForSlot1, IO_NO_INCREMENT);
        return;
    }

    Qkr_CompleteCardTracking(&deviceExtension->SmartcardExtension);
}

BOOLEAN Qkr_TrackingRunning(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN MarkStop,
                            PBOOLEAN CloseQueued) {
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(SmartcardExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    KIRQL irql;

    KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
    PIRP chain = readerExtension->SerialStatusIrp;
    if (chain != NULL && MarkStop) {
        readerExtension->SerialWaitMask = 0;
        Qkr_SetChainWord(chain, QKR_CHAIN_END_REQUEST, QKR_END_FOR_STOP);
    }
    *CloseQueued = deviceExtension->CloseQueued;
    KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);
    return chain != NULL;
}
