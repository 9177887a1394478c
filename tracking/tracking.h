// What the stop sequence needs to know about event tracking beyond the routines every caller uses.
#pragma once

#include "include/qkr/qkr.h"

// Looks at the tracking chain under slot 0's lock. Returns TRUE while a chain runs; with MarkStop
// it also sets SerialWaitMask to 0 and marks the chain so that its next step ends it as on an
// empty mask, whatever events the port writes into the mask meanwhile. *CloseQueued tells whether
// an ended chain has queued the port's close and that close is still to come.
BOOLEAN Qkr_TrackingRunning(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN MarkStop,
                            PBOOLEAN CloseQueued);
