// Records shared by every subsystem of the driver, the reader protocol constants, and the
// driver's routines.
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

// ---------------------------------------------------------------------------------------------
// Driver-wide tables
// ---------------------------------------------------------------------------------------------
extern UCHAR DeviceInstanceInUse[QKR_MAX_INSTANCES];
extern ULONG Qkr_DataRatesSlot0[3];
extern ULONG Qkr_DataRatesSlot1[3];
extern const signed char Qkr_DTable[16];
extern const UCHAR Qkr_MemoryCardAtr[24];
extern const GUID Qkr_SmartcardReaderInterfaceGuid; // {50DD5230-BA8A-11D1-BF5D-0000F805F530}
extern const GUID Qkr_VendorInterfaceGuid;          // {46FEE741-0692-11D5-8E4A-0080C88FBDEE}

// ---------------------------------------------------------------------------------------------
// Routines
// ---------------------------------------------------------------------------------------------
// driver/: entry, creation and removal
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void Qkr_Unload(PDRIVER_OBJECT DriverObject);
NTSTATUS Qkr_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS Qkr_CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);
NTSTATUS Qkr_SetupSecondSlot(PDEVICE_OBJECT DeviceObject);
void Qkr_RemoveDevice(PDEVICE_OBJECT DeviceObject);

// driver/: Plug and Play, dispatch, power
NTSTATUS Qkr_PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_StartDevice(PDEVICE_OBJECT DeviceObject);
void QkrStopDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS Qkr_CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Qkr_PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void Qkr_SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                               POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);

// link/: serial requests
NTSTATUS Qkr_SerialIo(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR InputBuffer,
                      ULONG InputLength, PUCHAR OutputBuffer, ULONG OutputLength,
                      PULONG BytesTransferred);
NTSTATUS Qkr_ConfigureSerialPort(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SetSerialBaudRate(ULONG BaudRate, PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_CallLowerDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp);
NTSTATUS Qkr_CallLowerDriverCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event);
void Qkr_CloseSerialPort(PDEVICE_OBJECT DeviceObject, PVOID Context);

// link/: frame codec
NTSTATUS Qkr_BuildFrame(PUCHAR OutputBuffer, ULONG OutputSize, PUCHAR Payload, ULONG PayloadLength,
                        PULONG FrameLength);
void Qkr_ScanReceivedBytes(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Chunk,
                           ULONG ChunkLength);
LONG Qkr_DecodeFrame(PUCHAR Buffer, PLONG Length);

// link/: command exchange
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

// card/: library callbacks
NTSTATUS Qkr_SmartcardPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_ProcessAtr(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SmartcardSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SelectPts(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SmartcardIoRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_TransmitReply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SmartcardVendor(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Qkr_SetReaderBaudRate(PSMARTCARD_EXTENSION SmartcardExtension);

// tracking/
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

// Helpers shared by the callbacks: the per-device conversation lock (see ReaderLock).
void Qkr_AcquireReader(PDEVICE_EXTENSION DeviceExtension);
void Qkr_ReleaseReader(PDEVICE_EXTENSION DeviceExtension);
inline PDEVICE_EXTENSION Qkr_DeviceExtensionOf(PSMARTCARD_EXTENSION SmartcardExtension) {
    return (PDEVICE_EXTENSION)SmartcardExtension->OsData->DeviceObject->DeviceExtension;
}
