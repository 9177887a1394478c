// Serial event tracking and card-tracking completion. Builds on the link only.
#pragma once

#include "link/link.h"

NTSTATUS Qkr_StartSerialEventTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SerialEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void Qkr_CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
// Ends a slot's parked card-tracking request with STATUS_CANCELLED, without a log line: for the
// requests nothing else would ever end (slot 1 has no line of its own) before a handle or the
// slot's library state goes.
void Qkr_EndParkedCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
// Completes slot 0's parked card-tracking request if the card state already is what it waits for.
void Qkr_CompleteSettledCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
// Queues the port's close if tracking ended on a lost reader while a reader command ran.
void Qkr_CloseIfReaderLost(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SmartcardCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
void Qkr_CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Looks at the tracking chain under slot 0's lock. Returns TRUE while a chain runs; with MarkStop
// it also sets SerialWaitMask to 0 and marks the chain so that its next step ends it as on an
// empty mask, whatever events the port writes into the mask meanwhile. *CloseQueued tells whether
// an ended chain has queued the port's close and that close is still to come.
BOOLEAN Qkr_TrackingRunning(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN MarkStop,
                            PBOOLEAN CloseQueued);
