// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

NTSTATUS Qkr_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    return STATUS_NOT_IMPLEMENTED;
}
void Qkr_SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                               POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {}
