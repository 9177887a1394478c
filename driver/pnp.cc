// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

NTSTATUS Qkr_PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_StartDevice(PDEVICE_OBJECT DeviceObject) {
    return STATUS_NOT_IMPLEMENTED;
}
void QkrStopDevice(PDEVICE_OBJECT DeviceObject) {}
