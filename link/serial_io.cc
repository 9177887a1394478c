// Requests to the serial port below the device: the one synchronous request routine, the port's
// configuration, line speed changes, forwarding an IRP down the stack, and closing the port.
#include "link/link.h"

// What one request of Qkr_SerialIo shares with its completion routine. It lives in the caller's
// frame, which is safe because the routine never returns before the IRP has come back.
struct QKR_SERIAL_IO_CONTEXT {
    KEVENT Returned;       // the port has completed the request and it is ours again
    PKEVENT SerialIoEvent; // what the waiting thread sleeps on; the time-out DPCs set it too
};

// Keeps the IRP from being finished and freed behind our back: a time-out may still want to
// cancel it, which is only safe while it cannot disappear.
static NTSTATUS Qkr_SerialIoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    QKR_SERIAL_IO_CONTEXT* context = (QKR_SERIAL_IO_CONTEXT*)Context;
    (void)DeviceObject;
    (void)Irp;
    // Wake the waiter before marking the request returned: once it sees the mark it may start the
    // next request, whose event must not be set by this one.
    KeSetEvent(context->SerialIoEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&context->Returned, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Qkr_SerialIo(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR InputBuffer,
                      ULONG InputLength, PUCHAR OutputBuffer, ULONG OutputLength,
                      PULONG BytesTransferred) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    ULONG bytesWritten;
    ULONG code;
    NTSTATUS status;

    if (InputLength > QKR_BUFFER_SIZE || OutputLength > QKR_BUFFER_SIZE)
        return STATUS_BUFFER_TOO_SMALL;

    bytesWritten = 0;
    for (;;) {
        QKR_SERIAL_IO_CONTEXT context;
        IO_STATUS_BLOCK ioStatus;
        KEVENT finished; // set by the I/O manager once it is done with the IRP for good
        PUCHAR inBuffer;
        ULONG inLength;
        PUCHAR outBuffer;
        ULONG outLength;
        PIRP irp;
        PIO_STACK_LOCATION stack;
        BOOLEAN pended;

        KeInitializeEvent(&readerExtension->SerialIoEvent, NotificationEvent, FALSE);

        code = readerExtension->SerialIoControlCode;
        if (code == SMARTCARD_WRITE) {
            // Under a guard time the bytes go one by one (an empty write stays empty).
            inLength = (SmartcardExtension->CardCapabilities.GT != 0 && InputLength != 0)
                           ? 1
                           : InputLength;
            inBuffer = InputBuffer + bytesWritten;
            bytesWritten++;
            outBuffer = nullptr;
            outLength = 0;
        } else {
            inBuffer = (InputLength != 0) ? InputBuffer : nullptr;
            inLength = InputLength;
            outBuffer = OutputBuffer;
            outLength = OutputLength;
        }

        KeInitializeEvent(&finished, NotificationEvent, FALSE);
        irp = IoBuildDeviceIoControlRequest(code, readerExtension->AttachedDeviceObject, inBuffer,
                                            inLength, outBuffer, outLength, FALSE, &finished,
                                            &ioStatus);
        if (irp == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;

        stack = IoGetNextIrpStackLocation(irp);
        if (code == SMARTCARD_READ) {
            stack->MajorFunction = IRP_MJ_READ;
            stack->Parameters.Read.Length = outLength;
            stack->Parameters.Read.Key = 0;
            stack->Parameters.Read.ByteOffset.QuadPart = 0;
        } else if (code == SMARTCARD_WRITE) {
            stack->MajorFunction = IRP_MJ_WRITE;
            stack->Parameters.Write.Length = inLength;
            stack->Parameters.Write.Key = 0;
            stack->Parameters.Write.ByteOffset.QuadPart = 0;
        }

        KeInitializeEvent(&context.Returned, NotificationEvent, FALSE);
        context.SerialIoEvent = &readerExtension->SerialIoEvent;
        IoSetCompletionRoutine(irp, Qkr_SerialIoCompletion, &context, TRUE, TRUE, TRUE);

        status = IofCallDriver(readerExtension->AttachedDeviceObject, irp);
        pended = (status == STATUS_PENDING);
        if (pended) {
            KeWaitForSingleObject(&readerExtension->SerialIoEvent, Executive, KernelMode, FALSE,
                                  nullptr);
            if (!KeReadStateEvent(&context.Returned)) {
                // A time-out ended the wait: the request must not outlive this call.
                IoCancelIrp(irp);
                KeWaitForSingleObject(&context.Returned, Executive, KernelMode, FALSE, nullptr);
            }
        } else {
            KeWaitForSingleObject(&context.Returned, Executive, KernelMode, FALSE, nullptr);
        }

        // Let the I/O manager finish the request (copying a read's bytes back, filling the status
        // block) and wait until it has let go of our storage. It signals only a request that
        // went pending: one that failed at once has told us everything through IofCallDriver.
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (pended) {
            KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
            if (BytesTransferred != nullptr)
                *BytesTransferred = (ULONG)ioStatus.Information;
        }

        if (code == SMARTCARD_WRITE && SmartcardExtension->CardCapabilities.GT != 0 &&
            bytesWritten < InputLength) {
            KeStallExecutionProcessor(SmartcardExtension->CardCapabilities.GT);
            continue;
        }
        return status;
    }
}

NTSTATUS Qkr_ConfigureSerialPort(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PUCHAR libraryBuffer = SmartcardExtension->SmartcardRequest.Buffer;
    LARGE_INTEGER delay;
    NTSTATUS status;
    ULONG transferred = 0;
    ULONG i;
    struct {
        ULONG Code;
        PVOID Setting; // none: the library's buffer goes out with the length left over
        ULONG Length;
    } requests[8] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, &readerExtension->BaudRate, sizeof(ULONG)},
        {IOCTL_SERIAL_SET_LINE_CONTROL, &readerExtension->SerialLineControl,
         sizeof(SERIAL_LINE_CONTROL)},
        {IOCTL_SERIAL_SET_CHARS, &readerExtension->SerialChars, sizeof(SERIAL_CHARS)},
        {IOCTL_SERIAL_SET_TIMEOUTS, &readerExtension->SerialTimeouts, sizeof(SERIAL_TIMEOUTS)},
        {IOCTL_SERIAL_SET_HANDFLOW, &readerExtension->SerialHandFlow, sizeof(SERIAL_HANDFLOW)},
        {IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0},
        {IOCTL_SERIAL_SET_DTR, nullptr, 0},
        {IOCTL_SERIAL_SET_RTS, nullptr, 0},
    };

    SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;

    for (i = 0; i < 8; i++) {
        if (requests[i].Setting != nullptr) {
            SmartcardExtension->SmartcardRequest.Buffer = (PUCHAR)requests[i].Setting;
            SmartcardExtension->SmartcardRequest.BufferLength = requests[i].Length;
        }
        readerExtension->SerialIoControlCode = requests[i].Code;
        status = Qkr_SerialIo(SmartcardExtension, SmartcardExtension->SmartcardRequest.Buffer,
                              SmartcardExtension->SmartcardRequest.BufferLength,
                              SmartcardExtension->SmartcardReply.Buffer,
                              SmartcardExtension->SmartcardReply.BufferLength, &transferred);
        SmartcardExtension->SmartcardRequest.Buffer = libraryBuffer;
        if (status != STATUS_SUCCESS)
            return status;
    }

    // Give the reader time to notice DTR and RTS and come up.
    delay.QuadPart = -30000000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    return STATUS_SUCCESS;
}

NTSTATUS Qkr_SetSerialBaudRate(ULONG BaudRate, PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    LARGE_INTEGER delay;
    ULONG ignored = 0;
    ULONG speed = BaudRate;
    NTSTATUS status;

    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;

    readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_BAUD_RATE;
    status = Qkr_SerialIo(SmartcardExtension, (PUCHAR)&speed, sizeof(speed),
                          SmartcardExtension->SmartcardReply.Buffer,
                          SmartcardExtension->SmartcardReply.BufferLength, &ignored);
    if (!NT_SUCCESS(status))
        return status;

    // Dropping DTR and raising it again makes the reader pick up the new speed.
    readerExtension->SerialIoControlCode = IOCTL_SERIAL_CLR_DTR;
    status = Qkr_SerialIo(SmartcardExtension, nullptr, 0, nullptr, 0, &ignored);
    if (!NT_SUCCESS(status))
        return status;

    readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_DTR;
    status = Qkr_SerialIo(SmartcardExtension, nullptr, 0, nullptr, 0, &ignored);
    if (!NT_SUCCESS(status))
        return status;

    delay.QuadPart = -15000000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    return STATUS_SUCCESS;
}

NTSTATUS Qkr_CallLowerDriverCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event) {
    (void)DeviceObject;
    if (Irp->Cancel)
        Irp->IoStatus.Status = STATUS_CANCELLED;
    KeSetEvent((PKEVENT)Event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Qkr_CallLowerDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    KEVENT event;
    NTSTATUS status;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->Control = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, Qkr_CallLowerDriverCompletion, &event, TRUE, TRUE, TRUE);

    status = IofCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

void Qkr_CloseSerialPort(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    LARGE_INTEGER delay;
    int retries;
    (void)Context;

    IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
    DbgPrint("444444444444444444444444\n");
    IoSetDeviceInterfaceState(&deviceExtension->VendorInterfaceName, FALSE);

    // A port left open refuses every later start, so a passing shortage of IRPs is waited out
    // (up to a second) rather than taken as the end of the port.
    irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
    for (retries = 0; irp == nullptr && retries < 100; retries++) {
        delay.QuadPart = -10 * 1000 * 10; // 10 ms
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
    }
    if (irp != nullptr) {
        PIO_STACK_LOCATION stack;

        irp->UserIosb = &ioStatus;
        IoSetNextIrpStackLocation(irp);
        stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_CLOSE;
        stack->MinorFunction = 0;
        Qkr_CallLowerDriver(readerExtension->AttachedDeviceObject, irp);
        IoFreeIrp(irp);
    }

    KeSetEvent(&deviceExtension->SerialCloseDone, IO_NO_INCREMENT, FALSE);
}
