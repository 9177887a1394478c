// Stopping: event tracking is ended, and its chain closes the port from a work item; without a
// chain the port is closed here. Used by a stop, a failed start and the removal alike.
#include "driver/driver.h"

// How long a stop waits for the tracking chain's close before it looks again why none came.
#define QKR_STOP_POLL_TICKS (-10000000LL) // 1 s, relative

void QkrStopDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    LARGE_INTEGER poll;
    BOOLEAN closeQueued;
    BOOLEAN running;
    ULONG bytes = 0;

    if (KeReadStateEvent(&deviceExtension->SerialCloseDone)) {
        return;
    }

    // The chain's IRP, not the mask, tells whether tracking runs: the mask is the output buffer
    // of the chain's wait and the port may write events into it at any moment.
    running = Qkr_TrackingRunning(smartcardExtension, TRUE, &closeQueued);
    if (!running && !closeQueued) {
        DbgPrint("[QkrStopDevice] Close serial port");
        Qkr_CloseSerialPort(DeviceObject, NULL);
        return;
    }

    poll.QuadPart = QKR_STOP_POLL_TICKS;
    for (;;) {
        if (running) {
            *(PULONG)smartcardExtension->SmartcardRequest.Buffer = 0;
            smartcardExtension->SmartcardRequest.BufferLength = sizeof(ULONG);
            smartcardExtension->SmartcardReply.BufferLength = 0;
            readerExtension->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
            Qkr_SerialIo(smartcardExtension, smartcardExtension->SmartcardRequest.Buffer,
                         smartcardExtension->SmartcardRequest.BufferLength,
                         smartcardExtension->SmartcardReply.Buffer,
                         smartcardExtension->SmartcardReply.BufferLength, &bytes);
        }
        if (KeWaitForSingleObject(&deviceExtension->SerialCloseDone, Executive, KernelMode, FALSE,
                                  &poll) == STATUS_SUCCESS) {
            return;
        }
        // No close yet. Either the chain sent its next wait after the mask went in (set the mask
        // again to end it), or it ended during a reader command and queued nothing.
        running = Qkr_TrackingRunning(smartcardExtension, FALSE, &closeQueued);
        if (!running && !closeQueued) {
            Qkr_CloseSerialPort(DeviceObject, NULL);
            return;
        }
    }
}
