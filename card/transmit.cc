// Not written yet: placeholders that keep the driver library linkable.
#include "include/qkr/qkr.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

NTSTATUS Qkr_SmartcardIoRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS Qkr_TransmitReply(PSMARTCARD_EXTENSION SmartcardExtension) {
    return STATUS_NOT_IMPLEMENTED;
}
