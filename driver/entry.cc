// Driver entry, and the birth and death of a reader's device object with both slots' records.
#include "driver/driver.h"

UCHAR DeviceInstanceInUse[QKR_MAX_INSTANCES];
ULONG Qkr_DataRatesSlot0[3] = {9600, 19200, 38400};
ULONG Qkr_DataRatesSlot1[3] = {9600, 19200, 38400};

const GUID Qkr_SmartcardReaderInterfaceGuid = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const GUID Qkr_VendorInterfaceGuid = {
    0x46FEE741, 0x0692, 0x11D5, {0x8E, 0x4A, 0x00, 0x80, 0xC8, 0x8F, 0xBD, 0xEE}};

static const char Qkr_VendorName[] = "BRIMVEL";
static const char Qkr_IfdType[] = "QK410TX";

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    DbgPrint("[DriverEntry] Entering : \n");

    DriverObject->MajorFunction[IRP_MJ_CREATE] = Qkr_CreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = Qkr_CreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Qkr_Cleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Qkr_DeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Qkr_InternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = Qkr_PnP;
    DriverObject->MajorFunction[IRP_MJ_POWER] = Qkr_Power;
    DriverObject->DriverUnload = Qkr_Unload;
    DriverObject->DriverExtension->AddDevice = Qkr_AddDevice;

    DbgPrint("[DriverEntry] Exit : \n");
    return STATUS_SUCCESS;
}

void Qkr_Unload(PDRIVER_OBJECT DriverObject) {
    (void)DriverObject;
}

NTSTATUS Qkr_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT deviceObject = nullptr;
    PDEVICE_EXTENSION deviceExtension;
    PREADER_EXTENSION readerExtension;
    NTSTATUS status;

    DbgPrint("[Qkr_AddDevice] Entering : \n");

    do {
        status = Qkr_CreateDevice(DriverObject, &deviceObject);
        if (status != STATUS_SUCCESS)
            break;

        deviceExtension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
        readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;

        readerExtension->AttachedDeviceObject =
            IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
        if (readerExtension->AttachedDeviceObject == nullptr) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }

        // A reader nobody can find through the smart card reader interface is of no use, so a
        // failure to register it fails the device as well.
        status = IoRegisterDeviceInterface(PhysicalDeviceObject, &Qkr_SmartcardReaderInterfaceGuid,
                                           nullptr, &deviceExtension->PnPDeviceName);
        if (status != STATUS_SUCCESS)
            break;
        status = IoRegisterDeviceInterface(PhysicalDeviceObject, &Qkr_VendorInterfaceGuid, nullptr,
                                           &deviceExtension->VendorInterfaceName);
        if (status != STATUS_SUCCESS)
            break;

        deviceObject->Flags |= DO_BUFFERED_IO;
        deviceObject->Flags |= DO_POWER_PAGABLE;
        deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    } while (0);

    if (status != STATUS_SUCCESS) {
        // Removal gives back the remove-lock hold of the request that removes the device; a
        // failed add has no such request, so it takes the hold for it.
        if (deviceObject != nullptr)
            SmartcardAcquireRemoveLock(
                &((PDEVICE_EXTENSION)deviceObject->DeviceExtension)->SmartcardExtension);
        Qkr_RemoveDevice(deviceObject);
    }

    DbgPrint("[Qkr_AddDevice] Exit : \n");
    return status;
}

static void Qkr_InitializeSlotTimers(PREADER_EXTENSION ReaderExtension, PDEVICE_OBJECT DeviceObject,
                                     PKDEFERRED_ROUTINE WriteRoutine,
                                     PKDEFERRED_ROUTINE ReadRoutine) {
    KeInitializeTimer(&ReaderExtension->WriteTimer);
    KeInitializeDpc(&ReaderExtension->WriteTimeoutDpc, WriteRoutine, DeviceObject);
    KeInitializeTimer(&ReaderExtension->ReadTimer);
    KeInitializeDpc(&ReaderExtension->ReadTimeoutDpc, ReadRoutine, DeviceObject);
}

// The values both slots share; the data rate table is each slot's own.
static void Qkr_SetSlotDescription(PSMARTCARD_EXTENSION SmartcardExtension,
                                   PDEVICE_OBJECT DeviceObject, ULONG UnitNo, PULONG DataRates) {
    SmartcardExtension->OsData->DeviceObject = DeviceObject;

    SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = Qkr_SmartcardPower;
    SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = Qkr_SmartcardIoRequest;
    SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = Qkr_SmartcardCardTracking;
    SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = Qkr_SmartcardSetProtocol;
    SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = Qkr_SmartcardVendor;

    RtlCopyMemory(SmartcardExtension->VendorAttr.VendorName.Buffer, Qkr_VendorName,
                  sizeof(Qkr_VendorName));
    SmartcardExtension->VendorAttr.VendorName.Length = sizeof(Qkr_VendorName) - 1;
    RtlCopyMemory(SmartcardExtension->VendorAttr.IfdType.Buffer, Qkr_IfdType, sizeof(Qkr_IfdType));
    SmartcardExtension->VendorAttr.IfdType.Length = sizeof(Qkr_IfdType) - 1;
    SmartcardExtension->VendorAttr.UnitNo = UnitNo;

    SmartcardExtension->ReaderCapabilities.SupportedProtocols =
        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | QKR_PROTOCOL_MEMORY;
    SmartcardExtension->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
    SmartcardExtension->ReaderCapabilities.MechProperties = 0;
    SmartcardExtension->ReaderCapabilities.CLKFrequency.Default = 3571;
    SmartcardExtension->ReaderCapabilities.CLKFrequency.Max = 3571;
    SmartcardExtension->ReaderCapabilities.DataRate.Default = DataRates[0];
    SmartcardExtension->ReaderCapabilities.DataRate.Max = DataRates[0];
    SmartcardExtension->ReaderCapabilities.DataRatesSupported.List = DataRates;
    SmartcardExtension->ReaderCapabilities.MaxIFSD = 240;

    SmartcardExtension->CardCapabilities.ATR.Length = 0;
}

NTSTATUS Qkr_CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject) {
    PDEVICE_OBJECT deviceObject = nullptr;
    PDEVICE_EXTENSION deviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension;
    PREADER_EXTENSION readerExtension;
    ULONG instance;
    NTSTATUS status;

    DbgPrint("[Qkr_CreateDevice] Entering : \n");
    *DeviceObject = nullptr;

    for (instance = 0; instance < QKR_MAX_INSTANCES; instance++) {
        if (DeviceInstanceInUse[instance] == 0) {
            DeviceInstanceInUse[instance] = 1;
            break;
        }
    }
    if (instance == QKR_MAX_INSTANCES)
        return STATUS_INSUFFICIENT_RESOURCES;

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD,
                            0, TRUE, &deviceObject);
    if (status != STATUS_SUCCESS) {
        DbgPrint("[Qkr_CreateDevice] IoCreateDevice Fail! : \n");
        DeviceInstanceInUse[instance] = 0;
        return status;
    }
    DbgPrint("[Qkr_CreateDevice] IoCreateDevice Success! : \n");

    deviceExtension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    smartcardExtension = &deviceExtension->SmartcardExtension;

    deviceExtension->DeviceInstance = instance;
    // Event tracking queues the port's close on this item without a second thought, so a device
    // without one must not exist.
    deviceExtension->CloseSerialWorkItem = IoAllocateWorkItem(deviceObject);
    if (deviceExtension->CloseSerialWorkItem == nullptr) {
        IoDeleteDevice(deviceObject);
        DeviceInstanceInUse[instance] = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeEvent(&deviceExtension->ReaderStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->SerialCloseDone, NotificationEvent, TRUE);
    KeInitializeEvent(&deviceExtension->ReaderLock, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&deviceExtension->SpinLock);

    readerExtension = (PREADER_EXTENSION)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(READER_EXTENSION), QKR_POOL_TAG);
    smartcardExtension->ReaderExtension = readerExtension;
    if (readerExtension == nullptr) {
        IoFreeWorkItem(deviceExtension->CloseSerialWorkItem);
        IoDeleteDevice(deviceObject);
        DeviceInstanceInUse[instance] = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(readerExtension, sizeof(READER_EXTENSION));
    Qkr_InitializeSlotTimers(readerExtension, deviceObject, Qkr_WriteTimeoutDpcRoutine,
                             Qkr_ReadTimeoutDpcRoutine);

    smartcardExtension->Version = SMCLIB_VERSION;
    smartcardExtension->SmartcardRequest.BufferSize = QKR_BUFFER_SIZE;
    smartcardExtension->SmartcardReply.BufferSize = QKR_BUFFER_SIZE;
    status = SmartcardInitialize(smartcardExtension);
    if (status != STATUS_SUCCESS) {
        if (smartcardExtension->OsData != nullptr)
            SmartcardExit(smartcardExtension);
        ExFreePoolWithTag(readerExtension, QKR_POOL_TAG);
        smartcardExtension->ReaderExtension = nullptr;
        IoFreeWorkItem(deviceExtension->CloseSerialWorkItem);
        IoDeleteDevice(deviceObject);
        DeviceInstanceInUse[instance] = 0;
        DbgPrint("[Qkr_CreateDevice] SmartcardInitialize FAIL : \n");
        return status;
    }
    DbgPrint("[Qkr_CreateDevice] SmartcardInitialize Success : \n");

    Qkr_SetSlotDescription(smartcardExtension, deviceObject, instance, Qkr_DataRatesSlot0);
    smartcardExtension->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
    smartcardExtension->ReaderCapabilities.DataRatesSupported.Entries = 3;

    readerExtension->SerialHandFlow.ControlHandShake = 0;
    readerExtension->SerialHandFlow.FlowReplace = SERIAL_XOFF_CONTINUE;
    readerExtension->SerialHandFlow.XonLimit = 0;
    readerExtension->SerialHandFlow.XoffLimit = 0;
    readerExtension->SerialChars.EofChar = 0;
    readerExtension->SerialChars.ErrorChar = 0;
    readerExtension->SerialChars.BreakChar = 0xFF;
    readerExtension->SerialChars.EventChar = 0;
    readerExtension->SerialChars.XonChar = 0;
    readerExtension->SerialChars.XoffChar = 0;
    readerExtension->SerialTimeouts.ReadIntervalTimeout = 30;
    readerExtension->SerialTimeouts.ReadTotalTimeoutMultiplier = 0;
    readerExtension->SerialTimeouts.ReadTotalTimeoutConstant = 3000;
    readerExtension->SerialTimeouts.WriteTotalTimeoutMultiplier = 0;
    readerExtension->SerialTimeouts.WriteTotalTimeoutConstant = 5000;
    readerExtension->BaudRate = 19200;
    readerExtension->SerialLineControl.StopBits = STOP_BIT_1;
    readerExtension->SerialLineControl.Parity = NO_PARITY;
    readerExtension->SerialLineControl.WordLength = 8;
    readerExtension->ReaderPowerState = 1;
    readerExtension->CardStatus = QKR_CARD_STATUS_UNKNOWN;

    *DeviceObject = deviceObject;
    DbgPrint("[Qkr_CreateDevice] leaving : \n");
    return STATUS_SUCCESS;
}

NTSTATUS Qkr_SetupSecondSlot(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION slot0 = &deviceExtension->SmartcardExtension;
    PSMARTCARD_EXTENSION slot1 = &deviceExtension->SecondSmartcardExtension;
    PREADER_EXTENSION reader0 = slot0->ReaderExtension;
    PREADER_EXTENSION reader1;
    NTSTATUS status;

    // A restart finds slot 1 already set up: its records and library state are kept until the
    // device goes away, and only its values are written afresh.
    if (slot1->ReaderExtension == nullptr || slot1->OsData == nullptr) {
        reader1 = (PREADER_EXTENSION)ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION),
                                                           QKR_POOL_TAG);
        slot1->ReaderExtension = reader1;
        if (reader1 == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(reader1, sizeof(READER_EXTENSION));
        Qkr_InitializeSlotTimers(reader1, DeviceObject, Qkr_SecondSlotWriteTimeoutDpcRoutine,
                                 Qkr_SecondSlotReadTimeoutDpcRoutine);

        slot1->Version = SMCLIB_VERSION;
        slot1->SmartcardRequest.BufferSize = QKR_BUFFER_SIZE;
        slot1->SmartcardReply.BufferSize = QKR_BUFFER_SIZE;
        status = SmartcardInitialize(slot1);
        if (status != STATUS_SUCCESS) {
            // Removal must not release the library's state a second time.
            if (slot1->OsData != nullptr)
                SmartcardExit(slot1);
            slot1->OsData = nullptr;
            ExFreePoolWithTag(reader1, QKR_POOL_TAG);
            slot1->ReaderExtension = nullptr;
            return status;
        }
    } else {
        // Nothing runs on slot 1 while the device is stopped, so its timers are idle.
        reader1 = slot1->ReaderExtension;
        RtlZeroMemory(reader1, sizeof(READER_EXTENSION));
        Qkr_InitializeSlotTimers(reader1, DeviceObject, Qkr_SecondSlotWriteTimeoutDpcRoutine,
                                 Qkr_SecondSlotReadTimeoutDpcRoutine);
    }

    Qkr_SetSlotDescription(slot1, DeviceObject, slot0->VendorAttr.UnitNo, Qkr_DataRatesSlot1);
    slot1->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
    slot1->ReaderCapabilities.DataRatesSupported.Entries =
        slot0->ReaderCapabilities.DataRatesSupported.Entries;

    reader1->AttachedDeviceObject = reader0->AttachedDeviceObject;
    reader1->MemoryCardSupport = reader0->MemoryCardSupport;
    reader1->T0LeWorkaround = reader0->T0LeWorkaround;
    RtlCopyMemory(reader1->ReaderInfo, reader0->ReaderInfo, sizeof(reader1->ReaderInfo));
    reader0->SlotNumber = 0;
    reader1->SlotNumber = 1;
    return STATUS_SUCCESS;
}

void Qkr_RemoveDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION deviceExtension;
    PSMARTCARD_EXTENSION slot0;
    PSMARTCARD_EXTENSION slot1;

    if (DeviceObject == nullptr)
        return;
    deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    slot0 = &deviceExtension->SmartcardExtension;
    slot1 = &deviceExtension->SecondSmartcardExtension;

    // Requests parked at the gate must end rather than wait for a start that never comes;
    // otherwise they would hold the remove lock we are about to wait for.
    deviceExtension->Removed = TRUE;
    KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);

    if (slot0->OsData != nullptr)
        SmartcardReleaseRemoveLockAndWait(slot0);

    DeviceInstanceInUse[deviceExtension->DeviceInstance] = 0;

    QkrStopDevice(DeviceObject);

    if (slot0->ReaderExtension != nullptr &&
        slot0->ReaderExtension->AttachedDeviceObject != nullptr)
        IoDetachDevice(slot0->ReaderExtension->AttachedDeviceObject);

    if (deviceExtension->PnPDeviceName.Buffer != nullptr)
        RtlFreeUnicodeString(&deviceExtension->PnPDeviceName);
    if (deviceExtension->VendorInterfaceName.Buffer != nullptr)
        RtlFreeUnicodeString(&deviceExtension->VendorInterfaceName);

    // A request still parked in a slot's library state would outlive the device.
    Qkr_EndParkedCardTracking(slot0);
    Qkr_EndParkedCardTracking(slot1);

    if (slot0->OsData != nullptr)
        SmartcardExit(slot0);
    if (slot0->ReaderExtension != nullptr) {
        ExFreePoolWithTag(slot0->ReaderExtension, QKR_POOL_TAG);
        slot0->ReaderExtension = nullptr;
    }

    if (slot1->OsData != nullptr)
        SmartcardExit(slot1);
    if (slot1->ReaderExtension != nullptr) {
        ExFreePoolWithTag(slot1->ReaderExtension, QKR_POOL_TAG);
        slot1->ReaderExtension = nullptr;
    }

    if (deviceExtension->CloseSerialWorkItem != nullptr) {
        IoFreeWorkItem(deviceExtension->CloseSerialWorkItem);
        deviceExtension->CloseSerialWorkItem = nullptr;
    }

    IoDeleteDevice(DeviceObject);
}
