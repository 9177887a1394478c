// Client requests: opening and closing a handle, its cleanup, and the control requests of both
// slots, which pass the request gate and go to the smart card library.
#include "driver/driver.h"

static NTSTATUS Qkr_CompleteHere(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The gate in front of the library, shared by both slots. A request goes through at once while
// another is inside the library; otherwise it waits until the reader may take requests. The test
// of the gate and the count are one step under SpinLock, so a stop query that finds the count at
// 0 can never be overtaken by a request that had already looked at the gate.
static NTSTATUS Qkr_PassGate(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;

    for (;;) {
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
        if (DeviceExtension->IoCount > 0) {
            DeviceExtension->IoCount++;
            KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
            return STATUS_SUCCESS;
        }
        if (KeReadStateEvent(&DeviceExtension->ReaderStarted)) {
            // Removal opens the gate too, so that nobody waits for a start that never comes.
            if (DeviceExtension->Removed) {
                KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
                return STATUS_DEVICE_REMOVED;
            }
            DeviceExtension->IoCount++;
            KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
            return STATUS_SUCCESS;
        }
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
        KeWaitForSingleObject(&DeviceExtension->ReaderStarted, Executive, KernelMode, FALSE, NULL);
    }
}

static void Qkr_LeaveGate(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    DeviceExtension->IoCount--;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

NTSTATUS Qkr_CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;

    DbgPrint("[Qkr_CreateClose] Enter : \n");

    if (stack->MajorFunction == IRP_MJ_CREATE) {
        DbgPrint("[Qkr_CreateClose] IRP_MJ_CREATE \n");
        // The open handle holds the remove lock until it is closed, so removal waits for it.
        if (SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) {
            DbgPrint("[Qkr_CreateClose] SmartcardAcquireRemoveLock fail! \n");
            status = STATUS_DEVICE_REMOVED;
        }
    } else if (stack->MajorFunction == IRP_MJ_CLOSE) {
        DbgPrint("[Qkr_CreateClose] IRP_MJ_CLOSE \n");
        SmartcardReleaseRemoveLock(smartcardExtension);
    }

    return Qkr_CompleteHere(Irp, status);
}

NTSTATUS Qkr_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    DbgPrint("[Qkr_Cleanup]Enter:\n");
    Qkr_CompleteCardTracking(&deviceExtension->SmartcardExtension);
    // Slot 1's card never changes, so nothing else ends a request parked there; and the handle's
    // close, which gives back the remove lock its open took, waits for every request sent on it.
    Qkr_EndParkedCardTracking(&deviceExtension->SecondSmartcardExtension);
    return Qkr_CompleteHere(Irp, STATUS_SUCCESS);
}

NTSTATUS Qkr_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    NTSTATUS status;

    status = Qkr_PassGate(deviceExtension);
    if (status != STATUS_SUCCESS) {
        return Qkr_CompleteHere(Irp, status);
    }

    if (SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) {
        Qkr_CompleteHere(Irp, STATUS_DEVICE_REMOVED);
        Qkr_LeaveGate(deviceExtension);
        return STATUS_DEVICE_REMOVED;
    }

    status = SmartcardDeviceControl(smartcardExtension, Irp);

    SmartcardReleaseRemoveLock(smartcardExtension);
    Qkr_LeaveGate(deviceExtension);

    DbgPrint("[Qkr_DeviceControl] Leave %X\n", status);
    return status;
}

NTSTATUS Qkr_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SecondSmartcardExtension;
    NTSTATUS status;

    DbgPrint("[Qkr_InternalDeviceControl] Enter : \n");

    status = Qkr_PassGate(deviceExtension);
    if (status != STATUS_SUCCESS) {
        return Qkr_CompleteHere(Irp, status);
    }

    // Slot 1 gets its library state only at the end of a good start; a request that comes
    // before any start set it up, or after that set-up failed, has nothing to be served by.
    if (smartcardExtension->OsData == NULL) {
        Qkr_CompleteHere(Irp, STATUS_DEVICE_NOT_READY);
        Qkr_LeaveGate(deviceExtension);
        DbgPrint("[Qkr_InternalDeviceControl] Leave %X\n", STATUS_DEVICE_NOT_READY);
        return STATUS_DEVICE_NOT_READY;
    }

    if (SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) {
        Qkr_CompleteHere(Irp, STATUS_DEVICE_REMOVED);
        Qkr_LeaveGate(deviceExtension);
        return STATUS_DEVICE_REMOVED;
    }

    status = SmartcardDeviceControl(smartcardExtension, Irp);

    SmartcardReleaseRemoveLock(smartcardExtension);
    Qkr_LeaveGate(deviceExtension);

    DbgPrint("[Qkr_InternalDeviceControl] Leave %X\n", status);
    return status;
}
