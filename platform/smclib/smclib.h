// The system smart card library's interface: its per-slot record, constants, control codes and
// calls. Reader drivers include this with nt.h.
#pragma once

#include "platform/kernel/nt.h"

// ---------------------------------------------------------------------------------------------
// Control codes
// ---------------------------------------------------------------------------------------------
#define SCARD_CTL_CODE(code)                                                                       \
    CTL_CODE(FILE_DEVICE_SMARTCARD, (code), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_SMARTCARD_POWER SCARD_CTL_CODE(1)
#define IOCTL_SMARTCARD_GET_ATTRIBUTE SCARD_CTL_CODE(2)
#define IOCTL_SMARTCARD_SET_ATTRIBUTE SCARD_CTL_CODE(3)
#define IOCTL_SMARTCARD_CONFISCATE SCARD_CTL_CODE(4)
#define IOCTL_SMARTCARD_TRANSMIT SCARD_CTL_CODE(5)
#define IOCTL_SMARTCARD_EJECT SCARD_CTL_CODE(6)
#define IOCTL_SMARTCARD_SWALLOW SCARD_CTL_CODE(7)
#define IOCTL_SMARTCARD_IS_PRESENT SCARD_CTL_CODE(10)
#define IOCTL_SMARTCARD_IS_ABSENT SCARD_CTL_CODE(11)
#define IOCTL_SMARTCARD_SET_PROTOCOL SCARD_CTL_CODE(12)
#define IOCTL_SMARTCARD_GET_STATE SCARD_CTL_CODE(14)
#define IOCTL_SMARTCARD_GET_LAST_ERROR SCARD_CTL_CODE(15)
#define IOCTL_SMARTCARD_GET_PERF_CNTR SCARD_CTL_CODE(16)

// Card states
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6

// Protocols
#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#define SCARD_PROTOCOL_T0 0x00000001
#define SCARD_PROTOCOL_T1 0x00000002
#define SCARD_PROTOCOL_RAW 0x00010000
#define SCARD_PROTOCOL_Tx (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
#define SCARD_PROTOCOL_DEFAULT 0x80000000
#define SCARD_PROTOCOL_OPTIMAL 0x00000000

// IOCTL_SMARTCARD_POWER minor codes
#define SCARD_POWER_DOWN 0
#define SCARD_COLD_RESET 1
#define SCARD_WARM_RESET 2

// Reader types and mechanical properties
#define SCARD_READER_TYPE_SERIAL 0x01
#define SCARD_READER_TYPE_PARALELL 0x02
#define SCARD_READER_TYPE_KEYBOARD 0x04
#define SCARD_READER_TYPE_SCSI 0x08
#define SCARD_READER_TYPE_IDE 0x10
#define SCARD_READER_TYPE_USB 0x20
#define SCARD_READER_TYPE_VENDOR 0xF0

// Attributes: (class << 16) | tag
#define SCARD_CLASS_VENDOR_INFO 1
#define SCARD_CLASS_COMMUNICATIONS 2
#define SCARD_CLASS_PROTOCOL 3
#define SCARD_CLASS_POWER_MGMT 4
#define SCARD_CLASS_SECURITY 5
#define SCARD_CLASS_MECHANICAL 6
#define SCARD_CLASS_VENDOR_DEFINED 7
#define SCARD_CLASS_IFD_PROTOCOL 8
#define SCARD_CLASS_ICC_STATE 9
#define SCARD_CLASS_SYSTEM 0x7fff
#define SCARD_ATTR_VALUE(Class, Tag) ((((ULONG)(Class)) << 16) | ((ULONG)(Tag)))

#define SCARD_ATTR_VENDOR_NAME SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0100)
#define SCARD_ATTR_VENDOR_IFD_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0101)
#define SCARD_ATTR_VENDOR_IFD_VERSION SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0102)
#define SCARD_ATTR_VENDOR_IFD_SERIAL_NO SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0103)
#define SCARD_ATTR_CHANNEL_ID SCARD_ATTR_VALUE(SCARD_CLASS_COMMUNICATIONS, 0x0110)
#define SCARD_ATTR_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120)
#define SCARD_ATTR_DEFAULT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0121)
#define SCARD_ATTR_MAX_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0122)
#define SCARD_ATTR_DEFAULT_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0123)
#define SCARD_ATTR_MAX_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0124)
#define SCARD_ATTR_MAX_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0125)
#define SCARD_ATTR_POWER_MGMT_SUPPORT SCARD_ATTR_VALUE(SCARD_CLASS_POWER_MGMT, 0x0131)
#define SCARD_ATTR_CHARACTERISTICS SCARD_ATTR_VALUE(SCARD_CLASS_MECHANICAL, 0x0150)
#define SCARD_ATTR_CURRENT_PROTOCOL_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0201)
#define SCARD_ATTR_CURRENT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0202)
#define SCARD_ATTR_CURRENT_F SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0203)
#define SCARD_ATTR_CURRENT_D SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0204)
#define SCARD_ATTR_CURRENT_N SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0205)
#define SCARD_ATTR_CURRENT_W SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0206)
#define SCARD_ATTR_CURRENT_IFSC SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0207)
#define SCARD_ATTR_CURRENT_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0208)
#define SCARD_ATTR_CURRENT_BWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0209)
#define SCARD_ATTR_CURRENT_CWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020a)
#define SCARD_ATTR_CURRENT_EBC_ENCODING SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020b)
#define SCARD_ATTR_ICC_PRESENCE SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0300)
#define SCARD_ATTR_ICC_INTERFACE_STATUS SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0301)
#define SCARD_ATTR_ATR_STRING SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0303)
#define SCARD_ATTR_DEVICE_UNIT SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0001)
#define SCARD_ATTR_DEVICE_IN_USE SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0002)

// ReaderFunction indices
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9
#define RDF_MAX_FUNCTIONS 16

// T=1 protocol states (T1_DATA.State); the values are the PCB of the block being sent where one
// exists. A driver whose transport lost a block mid-APDU sets T1_RESTART: the APDU is given up, and
// the next one starts with S(RESYNCH request), since what the card last saw is unknown.
#define T1_INIT 0
#define T1_START 1
#define T1_I_BLOCK 2
#define T1_R_BLOCK 3
#define T1_RESTART 4
#define T1_RESYNCH_REQUEST 0xC0
#define T1_RESYNCH_RESPONSE 0xE0
#define T1_IFS_REQUEST 0xC1
#define T1_IFS_RESPONSE 0xE1
#define T1_ABORT_REQUEST 0xC2
#define T1_ABORT_RESPONSE 0xE2
#define T1_WTX_REQUEST 0xC3
#define T1_WTX_RESPONSE 0xE3

#define SMCLIB_VERSION 0x150
// Pool tag of everything the library allocates ("SmCl").
#define SMCLIB_POOL_TAG 0x6c436d53
// The smallest request and reply buffers SmartcardInitialize accepts: a 254-byte T=1 block with
// its prologue and epilogue, or a short APDU with its header, plus room for the driver's header.
#define SMCLIB_MIN_BUFFER_SIZE 264
#define MAXIMUM_ATTR_STRING_LENGTH 32
#define MAXIMUM_ATR_LENGTH 33

// The header in front of transmit data, both ways.
struct SCARD_IO_REQUEST {
    ULONG dwProtocol;
    ULONG cbPciLength; // header plus any protocol information that follows it
};
using PSCARD_IO_REQUEST = SCARD_IO_REQUEST*;

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------
struct READER_EXTENSION; // the reader driver's own per-slot record
using PREADER_EXTENSION = READER_EXTENSION*;
struct SMARTCARD_EXTENSION;
using PSMARTCARD_EXTENSION = SMARTCARD_EXTENSION*;

struct VENDOR_ATTR {
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } VendorName;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdType;
    struct {
        USHORT BuildNumber;
        UCHAR VersionMinor;
        UCHAR VersionMajor;
    } IfdVersion;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdSerialNo;
    ULONG ChannelId;
    ULONG UnitNo;
};

struct SCARD_READER_CAPABILITIES {
    ULONG SupportedProtocols;
    ULONG Reserved;
    ULONG ReaderType;
    ULONG MechProperties;
    ULONG CurrentState;
    ULONG Channel;
    struct {
        ULONG Default; // kHz
        ULONG Max;
    } CLKFrequency;
    struct {
        ULONG Default; // bit/s
        ULONG Max;
    } DataRate;
    ULONG MaxIFSD;
    ULONG PowerMgmtSupport;
    ULONG CardConfiscated;
    struct {
        PULONG List;
        UCHAR Entries;
    } DataRatesSupported;
    struct {
        PULONG List;
        UCHAR Entries;
    } CLKFrequenciesSupported;
};

struct PTS_DATA {
    UCHAR Type;
    UCHAR Fl; // clock rate conversion code (Fi index)
    UCHAR Dl; // bit rate adjustment code (Di index)
    ULONG CLKFrequency;
    ULONG DataRate;
    UCHAR StopBits;
};

struct SCARD_CARD_CAPABILITIES {
    BOOLEAN InversConvention;
    ULONG etu; // microseconds
    struct {
        UCHAR Buffer[64];
        UCHAR Length;
    } ATR;
    struct {
        UCHAR Buffer[16];
        UCHAR Length;
    } HistoricalChars;
    UCHAR Fl; // current clock rate conversion code
    UCHAR Dl; // current bit rate adjustment code
    UCHAR II;
    UCHAR P;
    UCHAR N;  // extra guard time, etu (TC1)
    ULONG GT; // extra guard time in microseconds (0 when N is 0 or 255)
    struct {
        ULONG Supported;
        ULONG Selected;
    } Protocol;
    struct {
        UCHAR WI;
        ULONG WT; // microseconds
    } T0;
    struct {
        UCHAR IFSC;
        UCHAR CWI;
        UCHAR BWI;
        UCHAR EDC; // bit 0: CRC
        ULONG CWT; // microseconds
        ULONG BWT; // microseconds
        ULONG BGT; // microseconds
    } T1;
    PTS_DATA PtsData;
};

struct T0_DATA {
    ULONG Lc;
    ULONG Le;
};

// The library's T=1 state for the slot.
struct T1_DATA {
    UCHAR IFSC;
    UCHAR IFSD;
    ULONG BytesReceived;
    ULONG BytesSent;
    ULONG BytesToSend;
    UCHAR LastError;
    BOOLEAN MoreData;
    UCHAR NAD;
    ULONG PrevState;
    UCHAR RSN; // receive sequence number expected next
    UCHAR SSN; // send sequence number of the next I-block
    ULONG State;
    UCHAR Wtx; // multiplier the card asked for; 0 when none is in force
    PUCHAR ReplyData;
    ULONG ReplyLength;
    UCHAR Resend;
    UCHAR Resync;
    BOOLEAN WaitForReply;
    UCHAR InfSent;
    UCHAR PendingSBlock;
    // Added by the library for its block engine; drivers never touch these.
    BOOLEAN IfsdPending;   // an IFS request goes out before the next I-block
    BOOLEAN IBlockPending; // the last I-block sent is not yet acknowledged
    BOOLEAN Overflow;      // the response did not fit the caller's buffer
    BOOLEAN LastTimedOut;  // the last failed exchange brought no block at all
    ULONG Exchanges;       // blocks received for the current APDU
};

struct SMARTCARD_REQUEST {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength;
};

struct SMARTCARD_REPLY {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength;
};

struct SMCLIB_REMOVE_LOCK {
    BOOLEAN Removed;
    LONG RefCount;
    KEVENT RemoveEvent;
};

struct OS_DEP_DATA {
    PDEVICE_OBJECT DeviceObject;
    PIRP CurrentIrp;
    PIRP NotificationIrp;
    KSPIN_LOCK SpinLock;
    SMCLIB_REMOVE_LOCK RemoveLock;
    PVOID LibraryPrivate; // the library's own state
};
using POS_DEP_DATA = OS_DEP_DATA*;

using PRDF_FUNCTION = NTSTATUS (*)(PSMARTCARD_EXTENSION SmartcardExtension);

struct SMARTCARD_EXTENSION {
    ULONG Version;
    VENDOR_ATTR VendorAttr;
    PRDF_FUNCTION ReaderFunction[RDF_MAX_FUNCTIONS];
    SCARD_CARD_CAPABILITIES CardCapabilities;
    ULONG LastError;
    struct {
        PULONG Information;
        PUCHAR RequestBuffer;
        ULONG RequestBufferLength;
        PUCHAR ReplyBuffer;
        ULONG ReplyBufferLength;
    } IoRequest;
    ULONG MajorIoControlCode;
    ULONG MinorIoControlCode;
    POS_DEP_DATA OsData;
    SCARD_READER_CAPABILITIES ReaderCapabilities;
    PREADER_EXTENSION ReaderExtension;
    SMARTCARD_REPLY SmartcardReply;
    SMARTCARD_REQUEST SmartcardRequest;
    T0_DATA T0;
    T1_DATA T1;
};

// ---------------------------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------------------------
NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
// Serves one IOCTL_SMARTCARD_* request (buffered). Checks the buffers and the card state before a
// callback runs: no card (CurrentState <= SCARD_ABSENT) refuses POWER, SET_PROTOCOL, TRANSMIT and
// the current-card attributes with STATUS_NO_MEDIA; SET_PROTOCOL needs SCARD_NEGOTIABLE or
// SCARD_SPECIFIC; TRANSMIT needs a selected protocol equal to the request's dwProtocol. Callbacks
// of one slot run one at a time, at PASSIVE_LEVEL, with private copies of the request and reply
// (IoRequest.RequestBuffer / ReplyBuffer are valid only during the callback); the library
// completes the IRP unless the request was parked (IS_PRESENT / IS_ABSENT in NotificationIrp) or
// the callback returned STATUS_PENDING, in which case the driver owns the IRP.
NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
void SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
void SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);

// Evaluates CardCapabilities.ATR (bytes already in direct convention; TS 0x3F marks an inverse
// convention card). A good ATR leaves CurrentState SCARD_NEGOTIABLE, or SCARD_SPECIFIC when TA2 is
// present, and resets the T=1 state. A malformed ATR returns STATUS_UNRECOGNIZED_MEDIA and leaves
// the card SCARD_POWERED with no protocol supported, so it can only be reset or powered down.
// T=1 with CRC uses the ISO/IEC 13239 frame check sequence (polynomial x^16 + x^12 + x^5 + 1,
// bits least significant first, initial value 0xFFFF, complemented), least significant byte
// first.
NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);
