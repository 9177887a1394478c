// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

NTSTATUS Qkr_ExchangeCommand(ULONG Mode, PSMARTCARD_EXTENSION SmartcardExtension) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_ReadWrite(ULONG Mode, PSMARTCARD_EXTENSION SmartcardExtension) {
    return STATUS_NOT_IMPLEMENTED;
}
void Qkr_WriteTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                PVOID SystemArgument2) {}
void Qkr_ReadTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2) {}
void Qkr_SecondSlotWriteTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                          PVOID SystemArgument2) {}
void Qkr_SecondSlotReadTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                         PVOID SystemArgument2) {}
void Qkr_DumpBytes(PCSTR Title, PUCHAR Bytes, ULONG Count) {}
void Qkr_AcquireReader(PDEVICE_EXTENSION DeviceExtension) {}
void Qkr_ReleaseReader(PDEVICE_EXTENSION DeviceExtension) {}
