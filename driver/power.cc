// Power management: the driver owns its device's power policy, mapping system states to D0 and
// D3 itself. No reader command is sent; the card is only remembered across a sleep.
#include "driver/driver.h"

// READER_EXTENSION.ReaderPowerState
#define QKR_READER_POWERED 1
#define QKR_READER_POWERED_DOWN 2

enum QKR_POWER_ACTION { QkrPowerSkip, QkrPowerWait, QkrPowerComplete, QkrPowerRequest };

// Deep sleep, hibernation and shutdown take the device to D3.
static BOOLEAN Qkr_IsDeepSleep(ULONG SystemState) {
    return SystemState == PowerSystemSleeping3 || SystemState == PowerSystemHibernate ||
           SystemState == PowerSystemShutdown;
}

// After a wake, or a deep-sleep query the system did not follow, requests may go through again:
// but only through a gate the query closed (a device never started, or stopped, keeps its port
// closed) and that no granted stop query still holds.
static void Qkr_ReopenAfterSleep(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    if (DeviceExtension->SleepQueried) {
        DeviceExtension->SleepQueried = FALSE;
        if (!DeviceExtension->StopQueried) {
            KeSetEvent(&DeviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
        }
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

NTSTATUS Qkr_PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PSMARTCARD_EXTENSION smartcardExtension = (PSMARTCARD_EXTENSION)Context;
    PDEVICE_OBJECT deviceObject = smartcardExtension->OsData->DeviceObject;
    PDEVICE_EXTENSION deviceExtension = Qkr_DeviceExtensionOf(smartcardExtension);
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    (void)DeviceObject;

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    // Whatever the port made of the power-up, the device is working again.
    readerExtension->PowerRequest = FALSE;
    // The resource manager must look at the card again: it may have been changed while we slept.
    if (readerExtension->CardPresentAtPowerDown ||
        smartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
        Qkr_CompleteCardTracking(smartcardExtension);
    }
    readerExtension->ReaderPowerState = QKR_READER_POWERED;
    SmartcardReleaseRemoveLock(smartcardExtension);
    PoSetPowerState(deviceObject, DevicePowerState, stack->Parameters.Power.State);
    PoStartNextPowerIrp(Irp);

    Qkr_ReopenAfterSleep(deviceExtension);
    return STATUS_SUCCESS;
}

void Qkr_SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                               POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    PIRP systemIrp = (PIRP)Context;
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT lowerDevice =
        deviceExtension->SmartcardExtension.ReaderExtension->AttachedDeviceObject;
    POWER_STATE working;
    (void)MinorFunction;

    systemIrp->IoStatus.Status = IoStatus->Status;
    systemIrp->IoStatus.Information = 0;
    SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
    if (PowerState.DeviceState == PowerDeviceD0) {
        working.SystemState = PowerSystemWorking;
        PoSetPowerState(DeviceObject, SystemPowerState, working);
    }
    PoStartNextPowerIrp(systemIrp);
    if (NT_SUCCESS(IoStatus->Status)) {
        // The system request goes on down once the device has its power: the port and the bus
        // below must see every system power change too.
        IoCopyCurrentIrpStackLocationToNext(systemIrp);
        PoCallDriver(lowerDevice, systemIrp);
        return;
    }
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS Qkr_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    QKR_POWER_ACTION action = QkrPowerSkip;
    POWER_STATE deviceState;
    POWER_STATE sleeping;
    NTSTATUS status;
    KIRQL irql;

    status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (status != STATUS_SUCCESS) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    deviceState.DeviceState = PowerDeviceD0;

    if (stack->Parameters.Power.Type == DevicePowerState &&
        stack->MinorFunction == IRP_MN_SET_POWER) {
        switch (stack->Parameters.Power.State.DeviceState) {
        case PowerDeviceD0:
            // The port must be powered before we are; finish our part on the way back up.
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, Qkr_PowerUpCompletion, smartcardExtension, TRUE, TRUE,
                                   TRUE);
            action = QkrPowerWait;
            break;
        case PowerDeviceD3:
            PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
            readerExtension->CardPresentAtPowerDown =
                smartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
            readerExtension->PowerRequest = TRUE;
            readerExtension->ReaderPowerState = QKR_READER_POWERED_DOWN;
            action = QkrPowerSkip;
            break;
        default:
            action = QkrPowerSkip;
            break;
        }
    } else if (stack->Parameters.Power.Type == SystemPowerState &&
               stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (Qkr_IsDeepSleep(stack->Parameters.Power.State.SystemState)) {
            KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
            if (deviceExtension->IoCount != 0) {
                status = STATUS_DEVICE_BUSY;
            } else {
                // Only a gate this query closes is ours to reopen if the sleep is abandoned; one
                // that was already closed (never started, stopped) must stay so.
                if (KeReadStateEvent(&deviceExtension->ReaderStarted)) {
                    deviceExtension->SleepQueried = TRUE;
                }
                KeClearEvent(&deviceExtension->ReaderStarted);
            }
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        }
        action = QkrPowerComplete;
    } else if (stack->Parameters.Power.Type == SystemPowerState &&
               stack->MinorFunction == IRP_MN_SET_POWER) {
        ULONG target = stack->Parameters.Power.State.SystemState;
        if (target == PowerSystemWorking || target == PowerSystemSleeping1 ||
            target == PowerSystemSleeping2 || target == PowerSystemMaximum) {
            if (readerExtension->ReaderPowerState == QKR_READER_POWERED) {
                Qkr_ReopenAfterSleep(deviceExtension);
                action = QkrPowerComplete;
            } else {
                deviceState.DeviceState = PowerDeviceD0;
                action = QkrPowerRequest;
            }
        } else if (Qkr_IsDeepSleep(target)) {
            if (readerExtension->ReaderPowerState == QKR_READER_POWERED_DOWN) {
                action = QkrPowerComplete;
            } else {
                sleeping.SystemState = PowerSystemSleeping3;
                PoSetPowerState(DeviceObject, SystemPowerState, sleeping);
                deviceState.DeviceState = PowerDeviceD3;
                action = QkrPowerRequest;
            }
        } else {
            action = QkrPowerComplete;
        }
    }

    switch (action) {
    case QkrPowerSkip:
        SmartcardReleaseRemoveLock(smartcardExtension);
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(readerExtension->AttachedDeviceObject, Irp);

    case QkrPowerWait:
        // The remove lock and the next power IRP are left to Qkr_PowerUpCompletion.
        return PoCallDriver(readerExtension->AttachedDeviceObject, Irp);

    case QkrPowerComplete:
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        SmartcardReleaseRemoveLock(smartcardExtension);
        PoStartNextPowerIrp(Irp);
        if (NT_SUCCESS(status)) {
            // Only a refusal ends here; what we agree to, the drivers below must see as well.
            IoSkipCurrentIrpStackLocation(Irp);
            return PoCallDriver(readerExtension->AttachedDeviceObject, Irp);
        }
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;

    case QkrPowerRequest:
    default:
        Irp->IoStatus.Status = STATUS_PENDING;
        IoMarkIrpPending(Irp);
        status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, deviceState,
                                   Qkr_SystemPowerCompletion, Irp, NULL);
        if (!NT_SUCCESS(status)) {
            // The callback will never run: finish the system request here, as it would have.
            Irp->IoStatus.Status = status;
            Irp->IoStatus.Information = 0;
            SmartcardReleaseRemoveLock(smartcardExtension);
            PoStartNextPowerIrp(Irp);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            // The request was marked pending, so its outcome travels in the IRP alone.
            return STATUS_PENDING;
        }
        return status;
    }
}
