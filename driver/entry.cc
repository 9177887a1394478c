// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return STATUS_NOT_IMPLEMENTED;
}
void Qkr_Unload(PDRIVER_OBJECT DriverObject) {}
NTSTATUS Qkr_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_SetupSecondSlot(PDEVICE_OBJECT DeviceObject) {
    return STATUS_NOT_IMPLEMENTED;
}
void Qkr_RemoveDevice(PDEVICE_OBJECT DeviceObject) {}

UCHAR DeviceInstanceInUse[QKR_MAX_INSTANCES];
ULONG Qkr_DataRatesSlot0[3] = {9600, 19200, 38400};
ULONG Qkr_DataRatesSlot1[3] = {9600, 19200, 38400};
const signed char Qkr_DTable[16] = {0, 1, 2, 4, 8, 16, 32, 0, 12, 20, -1, -2, -3, -4, -5, -6};
const UCHAR Qkr_MemoryCardAtr[24] = {};
const GUID Qkr_SmartcardReaderInterfaceGuid = {};
const GUID Qkr_VendorInterfaceGuid = {};
