// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

NTSTATUS Qkr_BuildFrame(PUCHAR OutputBuffer, ULONG OutputSize, PUCHAR Payload, ULONG PayloadLength,
                        PULONG FrameLength) {
    return STATUS_NOT_IMPLEMENTED;
}
void Qkr_ScanReceivedBytes(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Chunk,
                           ULONG ChunkLength) {}
LONG Qkr_DecodeFrame(PUCHAR Buffer, PLONG Length) {
    return 0;
}
