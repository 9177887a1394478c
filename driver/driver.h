// The driver core: entry, device creation and removal, Plug and Play, request dispatch and power.
// The top of the driver: it builds on the card callbacks, event tracking and the link.
#pragma once

#include "card/card.h"
#include "tracking/tracking.h"

extern UCHAR DeviceInstanceInUse[QKR_MAX_INSTANCES];
extern ULONG Qkr_DataRatesSlot0[3];
extern ULONG Qkr_DataRatesSlot1[3];
extern const GUID Qkr_SmartcardReaderInterfaceGuid; // {50DD5230-BA8A-11D1-BF5D-0000F805F530}
extern const GUID Qkr_VendorInterfaceGuid;          // {46FEE741-0692-11D5-8E4A-0080C88FBDEE}

// Entry, creation and removal
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void Qkr_Unload(PDRIVER_OBJECT DriverObject);
NTSTATUS Qkr_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS Qkr_CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);
NTSTATUS Qkr_SetupSecondSlot(PDEVICE_OBJECT DeviceObject);
void Qkr_RemoveDevice(PDEVICE_OBJECT DeviceObject);

// Plug and Play, dispatch, power
NTSTATUS Qkr_PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_StartDevice(PDEVICE_OBJECT DeviceObject);
void QkrStopDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS Qkr_CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void Qkr_SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                               POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
