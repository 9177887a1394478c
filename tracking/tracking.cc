// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

NTSTATUS Qkr_StartSerialEventTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_SerialEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    return STATUS_NOT_IMPLEMENTED;
}
void Qkr_CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {}
NTSTATUS Qkr_SmartcardCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    return STATUS_NOT_IMPLEMENTED;
}
void Qkr_CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {}
