// The serial link: requests to the serial port below us, the frame codec, the command exchange
// and the reader lock. It names no other subsystem of the driver.
#pragma once

#include "include/qkr/qkr.h"

// Serial requests
NTSTATUS Qkr_SerialIo(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR InputBuffer,
                      ULONG InputLength, PUCHAR OutputBuffer, ULONG OutputLength,
                      PULONG BytesTransferred);
NTSTATUS Qkr_ConfigureSerialPort(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SetSerialBaudRate(ULONG BaudRate, PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_CallLowerDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp);
NTSTATUS Qkr_CallLowerDriverCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event);
void Qkr_CloseSerialPort(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Frame codec
NTSTATUS Qkr_BuildFrame(PUCHAR OutputBuffer, ULONG OutputSize, PUCHAR Payload, ULONG PayloadLength,
                        PULONG FrameLength);
void Qkr_ScanReceivedBytes(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Chunk,
                           ULONG ChunkLength);
LONG Qkr_DecodeFrame(PUCHAR Buffer, PLONG Length);

// Command exchange
NTSTATUS Qkr_ExchangeCommand(ULONG Mode, PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_ReadWrite(ULONG Mode, PSMARTCARD_EXTENSION SmartcardExtension);
void Qkr_WriteTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                PVOID SystemArgument2);
void Qkr_ReadTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
void Qkr_SecondSlotWriteTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                          PVOID SystemArgument2);
void Qkr_SecondSlotReadTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                         PVOID SystemArgument2);
void Qkr_DumpBytes(PCSTR Title, PUCHAR Bytes, ULONG Count);

// The per-device conversation lock (see ReaderLock).
void Qkr_AcquireReader(PDEVICE_EXTENSION DeviceExtension);
void Qkr_ReleaseReader(PDEVICE_EXTENSION DeviceExtension);
