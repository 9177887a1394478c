// Records shared by every subsystem of the driver and the reader protocol constants. Each
// subsystem's routines are declared in its own header (link/link.h, tracking/tracking.h,
// card/card.h, driver/driver.h), which names only the subsystems below it.
#pragma once

#include "platform/kernel/nt.h"
#include "platform/serial/ntddser.h"
#include "platform/smclib/smclib.h"

// ---------------------------------------------------------------------------------------------
// Sizes and tags
// ---------------------------------------------------------------------------------------------
#define QKR_BUFFER_SIZE 1048        // TransmitBuffer, ReceiveBuffer, both library buffers
#define QKR_RECEIVE_CHUNK_SIZE 1048 // one read takes everything the port can queue for a frame
#define QKR_MAX_INSTANCES 4
#define QKR_POOL_TAG 0x206b6444 // "Ddk "
#define QKR_MAX_BODY (QKR_BUFFER_SIZE - 5)

// ---------------------------------------------------------------------------------------------
// Frame bytes
// ---------------------------------------------------------------------------------------------
#define QKR_DLE 0x10
#define QKR_STX 0x02
#define QKR_ETX 0x03
#define QKR_NAK 0x15

// Results of Qkr_DecodeFrame
#define QKR_FRAME_GOOD 1
#define QKR_FRAME_BAD (-2)
#define QKR_FRAME_NAK (-3)
#define QKR_FRAME_INCOMPLETE 4

// ReceivedLength after a frame outgrew ReceiveBuffer before its DLE ETX: the decoder reads a
// length of -1 as a bad frame, so the exchange reports it like any other broken reply.
#define QKR_RECEIVE_OVERFLOW ((ULONG)-1)

// The exchange's own failure values
#define QKR_STATUS_NAK ((NTSTATUS)0xFFFFFFFDL)
#define QKR_STATUS_BAD_FRAME ((NTSTATUS)0xFFFFFFFEL)
#define QKR_STATUS_INCOMPLETE_FRAME ((NTSTATUS)0x00000004L)

// ---------------------------------------------------------------------------------------------
// Reader commands and replies
// ---------------------------------------------------------------------------------------------
#define RDCMD_GET_TYPE 0x60
#define RDCMD_SET_PARAMS 0x61
#define RDCMD_POWER_ON 0x62
#define RDCMD_POWER_OFF 0x63
#define RDCMD_WARM_RESET 0x64
#define RDCMD_GET_STATUS 0x65
#define RDCMD_EXCHANGE 0x67
#define RDCMD_MEM_EXCHANGE 0x6B

#define RDRSP_TYPE 0x60
#define RDRSP_STATUS 0x61
#define RDRSP_DONE 0x62
#define RDRSP_DATA 0x64
#define RDRSP_NO_CARD 0x67

// RDCMD_SET_PARAMS flags (byte 3)
#define RDPARAM_T1 0x10
#define RDPARAM_CRC 0x01
#define RDPARAM_INVERSE 0x02
#define RDPARAM_WTX 0x04

// Reader status reply, byte 4: a card is in slot 0
#define RDSTATUS_CARD_IN_SLOT0 0x08

// Exchange modes, one per sender
#define QKR_MODE_POWER_ON 0
#define QKR_MODE_POWER_OFF 1
#define QKR_MODE_MEM_EXCHANGE 1
#define QKR_MODE_WARM_RESET 2
#define QKR_MODE_PTS 3
#define QKR_MODE_SET_PARAMS 4
#define QKR_MODE_EXCHANGE 5
#define QKR_MODE_START 6
#define QKR_MODE_BAUD 8

// Card-type byte of a reset reply (firmware with memory-card support)
#define QKR_CARD_TYPE_MEMORY2 2
#define QKR_CARD_TYPE_MEMORY3 3

// The protocol value the driver selects for memory cards
#define QKR_PROTOCOL_MEMORY 0x10

// Private control codes that Qkr_SerialIo turns into reads and writes
#define SMARTCARD_READ SCARD_CTL_CODE(1000)  // 0x310FA0
#define SMARTCARD_WRITE SCARD_CTL_CODE(1001) // 0x310FA4

// Vendor control codes
#define IOCTL_SMARTCARD_BRV_MEM_TRANSMIT SCARD_CTL_CODE(2048) // 0x312000
#define IOCTL_SMARTCARD_GET_READER_INFO SCARD_CTL_CODE(2049)  // 0x312004
#define IOCTL_SMARTCARD_SET_BAUD_RATE SCARD_CTL_CODE(2050)    // 0x312008

// READER_EXTENSION.CardStatus
#define QKR_CARD_STATUS_UNKNOWN 0
#define QKR_CARD_STATUS_ABSENT 1
#define QKR_CARD_STATUS_PRESENT 3

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------
struct READER_EXTENSION {
    SERIAL_HANDFLOW SerialHandFlow;
    SERIAL_CHARS SerialChars;
    SERIAL_TIMEOUTS SerialTimeouts;
    ULONG BaudRate;
    SERIAL_LINE_CONTROL SerialLineControl;
    ULONG SerialWaitMask;
    ULONG SerialIoControlCode;
    PIRP SerialStatusIrp;
    UCHAR ReceiveBuffer[QKR_BUFFER_SIZE];
    UCHAR TransmitBuffer[QKR_BUFFER_SIZE];
    ULONG ReceivedLength;
    ULONG ReaderPowerState;
    ULONG CardStatus;
    PDEVICE_OBJECT AttachedDeviceObject;
    BOOLEAN ReaderBusy;
    BOOLEAN FrameStarted;
    BOOLEAN DleSeen;
    BOOLEAN Storing;
    BOOLEAN FrameComplete;
    BOOLEAN WriteTimedOut;
    KTIMER WriteTimer;
    KDPC WriteTimeoutDpc;
    BOOLEAN ReadTimedOut;
    KTIMER ReadTimer;
    KDPC ReadTimeoutDpc;
    KEVENT SerialIoEvent;
    BOOLEAN GetModemStatus;
    ULONG ModemStatus;
    BOOLEAN PowerRequest;
    BOOLEAN CardPresentAtPowerDown;
    BOOLEAN MemoryCardSupport;
    BOOLEAN MemoryCardPresent;
    UCHAR ReaderInfo[16];
    BOOLEAN T0LeWorkaround;
    BOOLEAN T0LeAdjusted;
    UCHAR T0SavedP3;
    ULONG SlotNumber;
    UCHAR DiIndex;
};

struct DEVICE_EXTENSION {
    SMARTCARD_EXTENSION SmartcardExtension;       // slot 0; must stay the first member
    SMARTCARD_EXTENSION SecondSmartcardExtension; // slot 1
    UNICODE_STRING PnPDeviceName;
    UNICODE_STRING VendorInterfaceName;
    PIO_WORKITEM CloseSerialWorkItem;
    KSPIN_LOCK SpinLock;
    LONG IoCount;
    KEVENT SerialCloseDone;
    KEVENT ReaderStarted;
    ULONG DeviceInstance;
    // Only one reader conversation uses the port at a time: held across each callback's whole
    // conversation and across the start sequence (a synchronization event, signalled when free).
    KEVENT ReaderLock;
    // Set once removal has begun, so requests waiting at the gate end instead of waiting for ever.
    BOOLEAN Removed;
    // TRUE from a granted IRP_MN_QUERY_STOP_DEVICE until its cancel, the stop or the next start
    // (set and cleared by Qkr_PnP under SpinLock): a sleep that is abandoned meanwhile must not
    // reopen the gate that the stop query closed.
    BOOLEAN StopQueried;
    // TRUE from a granted deep-sleep query that closed an open gate until the wake, or the
    // abandoned sleep, opens it again (Qkr_Power only, under SpinLock).
    BOOLEAN SleepQueried;
    // TRUE once event tracking has queued CloseSerialWorkItem and until the port is opened again
    // (written under slot 0's OsData->SpinLock): a stop that finds tracking already ended then
    // waits for that close instead of closing the port a second time.
    BOOLEAN CloseQueued;
    // TRUE when event tracking ended on a lost reader (DSR off, or a port that kept failing)
    // while a reader command ran (under slot 0's OsData->SpinLock): the port's close is queued
    // once the command is over, as it would have been at once outside it.
    BOOLEAN CloseDeferred;
};
using PDEVICE_EXTENSION = DEVICE_EXTENSION*;

// Any routine handed a slot's record finds the device's record through the library's OS data.
inline PDEVICE_EXTENSION Qkr_DeviceExtensionOf(PSMARTCARD_EXTENSION SmartcardExtension) {
    return (PDEVICE_EXTENSION)SmartcardExtension->OsData->DeviceObject->DeviceExtension;
}
