// Plug and Play: start, stop, and the queries around them.
//
// Starting opens the serial port below us, configures it, asks the reader who it is and whether a
// card is in, arms event tracking, enables the two interfaces, opens the request gate and sets up
// slot 1. Stopping ends event tracking, whose chain then closes the port from a work item.
#include "driver/driver.h"

// Firmware versions that change what the reader can do.
#define QKR_FIRMWARE_MEMORY_CARDS 0x4 // reports memory cards in its reset reply
#define QKR_FIRMWARE_ALL_RATES 0x10   // talks to cards at every data rate in the table
#define QKR_FIRMWARE_LONG_LE_FIXED 0x11

// The firmware version is four ASCII digits read as a hexadecimal number; the arithmetic is
// modulo 2^32, so a field that is not digits lands far above every threshold.
static void Qkr_TakeReaderType(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    ULONG version = (ULONG)(reply[16] - 0x30) * 4096u + (ULONG)(reply[17] - 0x30) * 256u +
                    (ULONG)(reply[18] - 0x30) * 16u + (ULONG)(reply[19] - 0x30);

    if (version < QKR_FIRMWARE_MEMORY_CARDS) {
        readerExtension->MemoryCardSupport = FALSE;
        SmartcardExtension->ReaderCapabilities.DataRatesSupported.Entries = 1;
        readerExtension->T0LeWorkaround = TRUE;
    } else if (version < QKR_FIRMWARE_ALL_RATES) {
        readerExtension->MemoryCardSupport = TRUE;
        SmartcardExtension->ReaderCapabilities.DataRatesSupported.Entries = 1;
        readerExtension->T0LeWorkaround = TRUE;
    } else if (version < QKR_FIRMWARE_LONG_LE_FIXED) {
        readerExtension->MemoryCardSupport = TRUE;
        readerExtension->T0LeWorkaround = TRUE;
    } else {
        readerExtension->MemoryCardSupport = TRUE;
        readerExtension->T0LeWorkaround = FALSE;
    }

    RtlCopyMemory(readerExtension->ReaderInfo, reply + 4, sizeof(readerExtension->ReaderInfo));
    // The model name ends in "TX" whatever the firmware calls itself.
    readerExtension->ReaderInfo[9] = 0x54;
    readerExtension->ReaderInfo[10] = 0x58;
}

static void Qkr_AskReader(PSMARTCARD_EXTENSION SmartcardExtension) {
    PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    NTSTATUS status;
    ULONG length;

    request[0] = RDCMD_GET_TYPE;
    request[1] = 0x00;
    request[2] = 0x00;
    SmartcardExtension->SmartcardRequest.BufferLength = 3;
    status = Qkr_ExchangeCommand(QKR_MODE_START, SmartcardExtension);
    if (status == STATUS_SUCCESS) {
        DbgPrint("[Qkr_StartDevice] get reader type success\n");
        // Bytes 4 to 19 carry the identification; a reply that announces or brings less carries
        // none (the decoded reply's last byte is the frame's check byte, not data).
        length = Qkr_ReplyDataLength(SmartcardExtension);
        if (length >= 16 && Qkr_ReplyDataComplete(SmartcardExtension, length) &&
            reply[0] == RDRSP_TYPE && reply[1] == 0x00) {
            Qkr_TakeReaderType(SmartcardExtension);
        }
    }

    request[0] = RDCMD_GET_STATUS;
    request[1] = 0x00;
    request[2] = 0x00;
    SmartcardExtension->SmartcardRequest.BufferLength = 3;
    status = Qkr_ExchangeCommand(QKR_MODE_START, SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
        SmartcardExtension->CardCapabilities.ATR.Length = 0;
        return;
    }
    DbgPrint("[Qkr_StartDevice] get reader status success\n");
    length = Qkr_ReplyDataLength(SmartcardExtension);
    if (length >= 1 && Qkr_ReplyDataComplete(SmartcardExtension, length) &&
        reply[0] == RDRSP_STATUS) {
        SmartcardExtension->ReaderCapabilities.CurrentState =
            (reply[4] & RDSTATUS_CARD_IN_SLOT0) ? SCARD_SWALLOWED : SCARD_ABSENT;
        SmartcardExtension->CardCapabilities.ATR.Length = 0;
    }
}

NTSTATUS Qkr_StartDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    IO_STATUS_BLOCK ioStatus;
    PIO_STACK_LOCATION stack;
    BOOLEAN openGate = FALSE;
    NTSTATUS status;
    KIRQL irql;
    PIRP irp;

    DbgPrint("[Qkr_StartDevice] Enter : \n");

    irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) {
        DbgPrint("[Qkr_StartDevice] Allocate Irp ERROR!! \n");
        return STATUS_NO_MEMORY;
    }

    do {
        ioStatus.Status = STATUS_SUCCESS;
        ioStatus.Information = 0;
        irp->UserIosb = &ioStatus;
        IoSetNextIrpStackLocation(irp);
        stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_CREATE;
        stack->MinorFunction = 0;
        stack->DeviceObject = DeviceObject;
        stack->Parameters.Create.SecurityContext = NULL;
        stack->Parameters.Create.Options = 0;
        stack->Parameters.Create.FileAttributes = 0;
        stack->Parameters.Create.ShareAccess = 0;
        stack->Parameters.Create.EaLength = 0;
        status = Qkr_CallLowerDriver(readerExtension->AttachedDeviceObject, irp);
        if (status != STATUS_SUCCESS) {
            DbgPrint("[Qkr_StartDevice]  IRP_MJ_CREATE to serial.sys FAIL!! \n");
            break;
        }
        DbgPrint("[Qkr_StartDevice]  IRP_MJ_CREATE to serial.sys success \n");
        KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
        deviceExtension->CloseQueued = FALSE;
        KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);
        KeClearEvent(&deviceExtension->SerialCloseDone);

        status = Qkr_ConfigureSerialPort(smartcardExtension);
        if (status != STATUS_SUCCESS) {
            DbgPrint("[Qkr_StartDevice]  Qkr_ConfigureSerialPort FAIL!! \n");
            break;
        }
        DbgPrint("[Qkr_StartDevice]  Qkr_ConfigureSerialPort success\n");

        // The reader answers one conversation at a time; a request that slipped through a
        // restart must not interleave its commands with ours.
        Qkr_AcquireReader(deviceExtension);
        Qkr_AskReader(smartcardExtension);
        status = Qkr_StartSerialEventTracking(smartcardExtension);
        Qkr_ReleaseReader(deviceExtension);
        if (status != STATUS_SUCCESS) {
            break;
        }

        IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
        status = IoSetDeviceInterfaceState(&deviceExtension->VendorInterfaceName, TRUE);
        if (status != STATUS_SUCCESS) {
            DbgPrint("[Qkr_StartDevice] IoSetDeviceInterfaceState to TRUE FAIL !!\n");
            break;
        }
        openGate = TRUE;
    } while (FALSE);

    if (status == STATUS_SUCCESS) {
        status = Qkr_SetupSecondSlot(DeviceObject);
    }
    // The gate opens only once slot 1 has been (re)written, so no request of slot 1 runs on
    // records that are being filled in. A failed set-up leaves the gate open all the same; slot
    // 1 then turns its requests away.
    if (openGate) {
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        deviceExtension->StopQueried = FALSE;
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
    }
    if (status != STATUS_SUCCESS) {
        QkrStopDevice(DeviceObject);
    }
    IoFreeIrp(irp);

    DbgPrint("[Qkr_StartDevice] Exit : \n");
    return status;
}

static NTSTATUS Qkr_CompletePnP(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS Qkr_PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lowerDevice;
    NTSTATUS status;
    KIRQL irql;

    DbgPrint("[Qkr_PnP] Entering : \n");

    status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (status != STATUS_SUCCESS) {
        Irp->IoStatus.Information = 0;
        Qkr_CompletePnP(Irp, status);
        DbgPrint("[Qkr_PnP] SmartcardAcquireRemoveLock Fail \n");
        return status;
    }

    lowerDevice = smartcardExtension->ReaderExtension->AttachedDeviceObject;
    Irp->IoStatus.Information = 0;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        DbgPrint("[Qkr_PnP] IRP_MN_START_DEVICE \n");
        status = Qkr_CallLowerDriver(lowerDevice, Irp);
        if (status == STATUS_SUCCESS) {
            status = Qkr_StartDevice(DeviceObject);
        }
        break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
        DbgPrint("[Qkr_PnP] IRP_MN_QUERY_REMOVE_DEVICE \n");
        IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
        DbgPrint("11111111111get query remove and set to false\n");
        IoSetDeviceInterfaceState(&deviceExtension->VendorInterfaceName, FALSE);
        status = Qkr_CallLowerDriver(lowerDevice, Irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
        DbgPrint("[Qkr_PnP] IRP_MN_REMOVE_DEVICE \n");
        // Removal gives our remove-lock hold back while it waits for the others, and deletes the
        // device: nothing of the extension may be touched after it.
        Qkr_RemoveDevice(DeviceObject);
        status = Qkr_CallLowerDriver(lowerDevice, Irp);
        Qkr_CompletePnP(Irp, status);
        DbgPrint("[Qkr_PnP] Exit : \n");
        return status;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        DbgPrint("[Qkr_PnP] IRP_MN_CANCEL_REMOVE_DEVICE \n");
        status = Qkr_CallLowerDriver(lowerDevice, Irp);
        if (status == STATUS_SUCCESS) {
            IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
            status = IoSetDeviceInterfaceState(&deviceExtension->VendorInterfaceName, TRUE);
        }
        break;

    case IRP_MN_STOP_DEVICE:
        DbgPrint("[Qkr_PnP] IRP_MN_STOP_DEVICE \n");
        QkrStopDevice(DeviceObject);
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        deviceExtension->StopQueried = FALSE;
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        status = Qkr_CallLowerDriver(lowerDevice, Irp);
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        DbgPrint("[Qkr_PnP] IRP_MN_QUERY_STOP_DEVICE \n");
        // The count and the gate change together, so no request can pass the gate between a
        // count of 0 and the closing of the gate.
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        if (deviceExtension->IoCount > 0) {
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
            status = STATUS_DEVICE_BUSY;
            break;
        }
        KeClearEvent(&deviceExtension->ReaderStarted);
        deviceExtension->StopQueried = TRUE;
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        status = Qkr_CallLowerDriver(lowerDevice, Irp);
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        DbgPrint("[Qkr_PnP] IRP_MN_CANCEL_STOP_DEVICE \n");
        status = Qkr_CallLowerDriver(lowerDevice, Irp);
        if (status == STATUS_SUCCESS) {
            KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
            deviceExtension->StopQueried = FALSE;
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
            KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
        }
        break;

    default:
        DbgPrint("[Qkr_PnP] Other IRP \n");
        if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
            // Requests held at the gate of a stopped device would otherwise wait for a start
            // that never comes, and the removal waits for their handles to close.
            KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
            deviceExtension->Removed = TRUE;
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
            KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        status = IofCallDriver(lowerDevice, Irp);
        SmartcardReleaseRemoveLock(smartcardExtension);
        DbgPrint("[Qkr_PnP] Exit : \n");
        return status;
    }

    Qkr_CompletePnP(Irp, status);
    SmartcardReleaseRemoveLock(smartcardExtension);
    DbgPrint("[Qkr_PnP] Exit : \n");
    return status;
}
