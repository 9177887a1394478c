// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

NTSTATUS Qkr_SerialIo(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR InputBuffer,
                      ULONG InputLength, PUCHAR OutputBuffer, ULONG OutputLength,
                      PULONG BytesTransferred) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_ConfigureSerialPort(PSMARTCARD_EXTENSION SmartcardExtension) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_SetSerialBaudRate(ULONG BaudRate, PSMARTCARD_EXTENSION SmartcardExtension) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_CallLowerDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_CallLowerDriverCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event) {
    return STATUS_NOT_IMPLEMENTED;
}
void Qkr_CloseSerialPort(PDEVICE_OBJECT DeviceObject, PVOID Context) {}
