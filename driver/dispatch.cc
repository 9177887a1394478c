// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

NTSTATUS Qkr_CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return STATUS_NOT_IMPLEMENTED;
}
