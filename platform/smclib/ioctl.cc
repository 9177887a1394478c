// SmartcardDeviceControl: decodes the standard smart card control codes, checks them against
// their buffers and the card state, and calls at most one of the reader driver's callbacks.
#include "platform/smclib/private.h"

#include <algorithm>
#include <cstring>

using namespace qkr::smclib;

namespace {

struct Request {
    SMARTCARD_EXTENSION& ext;
    PIRP irp;
    ULONG code;
    const UCHAR* input;
    ULONG input_length;
    PUCHAR output;
    ULONG output_length;
};

struct Outcome {
    NTSTATUS status;
    ULONG information = 0;
};

LibraryPrivate& library(SMARTCARD_EXTENSION& ext) {
    return *static_cast<LibraryPrivate*>(ext.OsData->LibraryPrivate);
}

ULONG card_state(SMARTCARD_EXTENSION& ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext.OsData->SpinLock, &irql);
    const ULONG state = ext.ReaderCapabilities.CurrentState;
    KeReleaseSpinLock(&ext.OsData->SpinLock, irql);
    return state;
}

bool card_absent(ULONG state) {
    return state <= SCARD_ABSENT;
}

ULONG read_ulong(const UCHAR* p) {
    ULONG v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void complete(PIRP irp, const Outcome& outcome) {
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = NT_ERROR(outcome.status) ? 0 : outcome.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Runs one callback on the request's one system buffer, as the platform's library does: request
// and reply are the same bytes, so a reply the callback writes overwrites the request under it,
// and the reply may be as long as the caller's output length and no longer.
Outcome call(Request& r, unsigned function, ULONG minor) {
    SMARTCARD_EXTENSION& ext = r.ext;
    PRDF_FUNCTION fn = ext.ReaderFunction[function];
    if (fn == nullptr)
        return {STATUS_NOT_SUPPORTED};

    ULONG information = 0;
    ext.MajorIoControlCode = r.code;
    ext.MinorIoControlCode = minor;
    ext.IoRequest.RequestBuffer = const_cast<PUCHAR>(r.input);
    ext.IoRequest.RequestBufferLength = r.input_length;
    ext.IoRequest.ReplyBuffer = r.output;
    ext.IoRequest.ReplyBufferLength = r.output_length;
    ext.IoRequest.Information = &information;
    ext.OsData->CurrentIrp = r.irp;

    Outcome outcome{fn(&ext)};

    ext.OsData->CurrentIrp = nullptr;
    ext.IoRequest.RequestBuffer = nullptr;
    ext.IoRequest.RequestBufferLength = 0;
    ext.IoRequest.ReplyBuffer = nullptr;
    ext.IoRequest.ReplyBufferLength = 0;
    ext.IoRequest.Information = nullptr;

    if (!NT_ERROR(outcome.status) && outcome.status != STATUS_PENDING) {
        if (information > r.output_length)
            outcome.status = STATUS_BUFFER_TOO_SMALL;
        else
            outcome.information = information;
    }
    if (NT_ERROR(outcome.status))
        ext.LastError = ULONG(outcome.status);
    return outcome;
}

Outcome put_bytes(const Request& r, const void* data, ULONG length) {
    if (r.output_length < length)
        return {STATUS_BUFFER_TOO_SMALL};
    if (length != 0)
        std::memcpy(r.output, data, length);
    return {STATUS_SUCCESS, length};
}

Outcome put_ulong(const Request& r, ULONG value) {
    return put_bytes(r, &value, sizeof value);
}

Outcome put_uchar(const Request& r, UCHAR value) {
    return put_bytes(r, &value, sizeof value);
}

template <typename String>
Outcome put_string(const Request& r, const String& s) {
    return put_bytes(r, s.Buffer, std::min<ULONG>(s.Length, sizeof s.Buffer));
}

// The attributes the library answers itself; false for the ones it does not know.
bool known_attribute(ULONG id) {
    switch (id) {
    case SCARD_ATTR_VENDOR_NAME:
    case SCARD_ATTR_VENDOR_IFD_TYPE:
    case SCARD_ATTR_VENDOR_IFD_VERSION:
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
    case SCARD_ATTR_DEVICE_UNIT:
    case SCARD_ATTR_CHANNEL_ID:
    case SCARD_ATTR_PROTOCOL_TYPES:
    case SCARD_ATTR_DEFAULT_CLK:
    case SCARD_ATTR_MAX_CLK:
    case SCARD_ATTR_DEFAULT_DATA_RATE:
    case SCARD_ATTR_MAX_DATA_RATE:
    case SCARD_ATTR_MAX_IFSD:
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
    case SCARD_ATTR_CHARACTERISTICS:
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
    case SCARD_ATTR_CURRENT_CLK:
    case SCARD_ATTR_CURRENT_F:
    case SCARD_ATTR_CURRENT_D:
    case SCARD_ATTR_CURRENT_N:
    case SCARD_ATTR_CURRENT_W:
    case SCARD_ATTR_CURRENT_IFSC:
    case SCARD_ATTR_CURRENT_IFSD:
    case SCARD_ATTR_CURRENT_BWT:
    case SCARD_ATTR_CURRENT_CWT:
    case SCARD_ATTR_CURRENT_EBC_ENCODING:
    case SCARD_ATTR_ICC_PRESENCE:
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
    case SCARD_ATTR_ATR_STRING:
        return true;
    default:
        return false;
    }
}

bool about_current_card(ULONG id) {
    return (id >> 16) == SCARD_CLASS_IFD_PROTOCOL || id == SCARD_ATTR_ATR_STRING;
}

Outcome get_attribute(Request& r) {
    if (r.input_length < sizeof(ULONG))
        return {STATUS_INVALID_PARAMETER};
    const ULONG id = read_ulong(r.input);
    SMARTCARD_EXTENSION& ext = r.ext;
    if (!known_attribute(id)) {
        if (ext.ReaderFunction[RDF_IOCTL_VENDOR] == nullptr)
            return {STATUS_NOT_SUPPORTED};
        return call(r, RDF_IOCTL_VENDOR, id);
    }
    const ULONG state = card_state(ext);
    if (about_current_card(id) && card_absent(state))
        return {STATUS_NO_MEDIA};

    const VENDOR_ATTR& va = ext.VendorAttr;
    const SCARD_READER_CAPABILITIES& rc = ext.ReaderCapabilities;
    const SCARD_CARD_CAPABILITIES& cc = ext.CardCapabilities;
    switch (id) {
    case SCARD_ATTR_VENDOR_NAME:
        return put_string(r, va.VendorName);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
        return put_string(r, va.IfdType);
    case SCARD_ATTR_VENDOR_IFD_VERSION:
        return put_ulong(r, ULONG(va.IfdVersion.VersionMajor) << 24 |
                                ULONG(va.IfdVersion.VersionMinor) << 16 |
                                va.IfdVersion.BuildNumber);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
        if (va.IfdSerialNo.Length == 0)
            return {STATUS_NOT_SUPPORTED};
        return put_string(r, va.IfdSerialNo);
    case SCARD_ATTR_DEVICE_UNIT:
        return put_ulong(r, va.UnitNo);
    case SCARD_ATTR_CHANNEL_ID:
        // 0xDDDDCCCC: the kind of channel (the reader type bits) and its number.
        return put_ulong(r, (rc.ReaderType & 0xFFFF) << 16 | (rc.Channel & 0xFFFF));
    case SCARD_ATTR_PROTOCOL_TYPES:
        return put_ulong(r, rc.SupportedProtocols);
    case SCARD_ATTR_DEFAULT_CLK:
        return put_ulong(r, rc.CLKFrequency.Default);
    case SCARD_ATTR_MAX_CLK:
        return put_ulong(r, rc.CLKFrequency.Max);
    case SCARD_ATTR_DEFAULT_DATA_RATE:
        return put_ulong(r, rc.DataRate.Default);
    case SCARD_ATTR_MAX_DATA_RATE:
        return put_ulong(r, rc.DataRate.Max);
    case SCARD_ATTR_MAX_IFSD:
        return put_ulong(r, rc.MaxIFSD);
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
        return put_ulong(r, rc.PowerMgmtSupport);
    case SCARD_ATTR_CHARACTERISTICS:
        return put_ulong(r, rc.MechProperties);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
        return put_ulong(r, cc.Protocol.Selected);
    case SCARD_ATTR_CURRENT_CLK:
        return put_ulong(r, cc.PtsData.CLKFrequency != 0 ? cc.PtsData.CLKFrequency
                                                         : rc.CLKFrequency.Default);
    case SCARD_ATTR_CURRENT_F:
        return put_ulong(r, fi_factor(cc.Fl));
    case SCARD_ATTR_CURRENT_D:
        return put_ulong(r, di_factor(cc.Dl));
    case SCARD_ATTR_CURRENT_N:
        return put_ulong(r, cc.N);
    case SCARD_ATTR_CURRENT_W:
        return put_ulong(r, cc.T0.WI);
    case SCARD_ATTR_CURRENT_IFSC:
        return put_ulong(r, ext.T1.IFSC != 0 ? ext.T1.IFSC : cc.T1.IFSC);
    case SCARD_ATTR_CURRENT_IFSD:
        return put_ulong(r, ext.T1.IFSD);
    case SCARD_ATTR_CURRENT_BWT:
        return put_ulong(r, cc.T1.BWT);
    case SCARD_ATTR_CURRENT_CWT:
        return put_ulong(r, cc.T1.CWT);
    case SCARD_ATTR_CURRENT_EBC_ENCODING:
        return put_ulong(r, cc.T1.EDC & 0x01);
    case SCARD_ATTR_ICC_PRESENCE:
        return put_uchar(r, card_absent(state) ? 0 : state == SCARD_PRESENT ? 1 : 2);
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
        return put_uchar(r, state >= SCARD_POWERED ? 1 : 0);
    case SCARD_ATTR_ATR_STRING:
        if (cc.ATR.Length == 0)
            return {STATUS_INVALID_DEVICE_STATE};
        return put_bytes(r, cc.ATR.Buffer, std::min<ULONG>(cc.ATR.Length, sizeof cc.ATR.Buffer));
    default:
        return {STATUS_NOT_SUPPORTED};
    }
}

Outcome set_attribute(Request& r) {
    if (r.input_length < sizeof(ULONG))
        return {STATUS_INVALID_PARAMETER};
    const ULONG id = read_ulong(r.input);
    // The standard attributes are the reader's and the card's own; none can be set.
    if (known_attribute(id) || r.ext.ReaderFunction[RDF_IOCTL_VENDOR] == nullptr)
        return {STATUS_NOT_SUPPORTED};
    return call(r, RDF_IOCTL_VENDOR, id);
}

Outcome power(Request& r) {
    if (r.input_length < sizeof(ULONG))
        return {STATUS_INVALID_PARAMETER};
    const ULONG minor = read_ulong(r.input);
    if (minor != SCARD_POWER_DOWN && minor != SCARD_COLD_RESET && minor != SCARD_WARM_RESET)
        return {STATUS_INVALID_PARAMETER};
    if (card_absent(card_state(r.ext)))
        return {STATUS_NO_MEDIA};
    // A reset hands back the ATR, which may be as long as the standard allows.
    if (minor != SCARD_POWER_DOWN && r.output_length < MAXIMUM_ATR_LENGTH)
        return {STATUS_BUFFER_TOO_SMALL};
    return call(r, RDF_CARD_POWER, minor);
}

Outcome set_protocol(Request& r) {
    if (r.input_length < sizeof(ULONG))
        return {STATUS_INVALID_PARAMETER};
    if (r.output_length < sizeof(ULONG))
        return {STATUS_BUFFER_TOO_SMALL};
    const ULONG state = card_state(r.ext);
    if (card_absent(state))
        return {STATUS_NO_MEDIA};
    // Only a card whose ATR has been evaluated can be given a protocol.
    if (state < SCARD_NEGOTIABLE)
        return {STATUS_INVALID_DEVICE_STATE};
    return call(r, RDF_SET_PROTOCOL, read_ulong(r.input));
}

Outcome transmit(Request& r) {
    SMARTCARD_EXTENSION& ext = r.ext;
    if (card_absent(card_state(ext)))
        return {STATUS_NO_MEDIA};
    if (r.input_length < sizeof(SCARD_IO_REQUEST))
        return {STATUS_INVALID_PARAMETER};
    SCARD_IO_REQUEST header;
    std::memcpy(&header, r.input, sizeof header);
    if (header.cbPciLength < sizeof(SCARD_IO_REQUEST) || header.cbPciLength > r.input_length)
        return {STATUS_INVALID_PARAMETER};
    if (r.output_length < sizeof(SCARD_IO_REQUEST))
        return {STATUS_BUFFER_TOO_SMALL};
    const ULONG selected = ext.CardCapabilities.Protocol.Selected;
    if (selected == SCARD_PROTOCOL_UNDEFINED)
        return {STATUS_INVALID_DEVICE_STATE};
    if (header.dwProtocol != selected)
        return {STATUS_INVALID_PARAMETER};
    // A T=1 APDU a previous request left unfinished is abandoned; the block numbering carries on
    // unless the driver asked for a restart.
    if (ext.T1.State != T1_INIT && ext.T1.State != T1_START && ext.T1.State != T1_RESTART)
        ext.T1.State = T1_START;
    ext.T1.Wtx = 0;
    return call(r, RDF_TRANSMIT, 0);
}

Outcome dispatch(Request& r) {
    switch (r.code) {
    case IOCTL_SMARTCARD_POWER:
        return power(r);
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        return get_attribute(r);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
        return set_attribute(r);
    case IOCTL_SMARTCARD_SET_PROTOCOL:
        return set_protocol(r);
    case IOCTL_SMARTCARD_TRANSMIT:
        return transmit(r);
    case IOCTL_SMARTCARD_GET_STATE:
        if (r.output_length < sizeof(ULONG))
            return {STATUS_BUFFER_TOO_SMALL};
        return put_ulong(r, card_state(r.ext));
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
        if (r.output_length < sizeof(ULONG))
            return {STATUS_BUFFER_TOO_SMALL};
        return put_ulong(r, r.ext.LastError);
    case IOCTL_SMARTCARD_CONFISCATE:
        return call(r, RDF_CARD_CONFISCATE, 0);
    case IOCTL_SMARTCARD_EJECT:
        return call(r, RDF_CARD_EJECT, 0);
    case IOCTL_SMARTCARD_SWALLOW:
        return call(r, RDF_READER_SWALLOW, 0);
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
        return {STATUS_NOT_SUPPORTED};
    default:
        if (r.ext.ReaderFunction[RDF_IOCTL_VENDOR] == nullptr)
            return {STATUS_INVALID_DEVICE_REQUEST};
        return call(r, RDF_IOCTL_VENDOR, 0);
    }
}

// IS_PRESENT and IS_ABSENT: answered at once when the card state already does; otherwise parked
// in OsData->NotificationIrp for the driver to complete when the card comes or goes.
NTSTATUS track(Request& r) {
    SMARTCARD_EXTENSION& ext = r.ext;
    OS_DEP_DATA& os = *ext.OsData;
    const bool want_present = r.code == IOCTL_SMARTCARD_IS_PRESENT;
    KIRQL irql;
    KeAcquireSpinLock(&os.SpinLock, &irql);
    const ULONG state = ext.ReaderCapabilities.CurrentState;
    const bool answered = want_present ? state > SCARD_ABSENT : state == SCARD_ABSENT;
    NTSTATUS refused = STATUS_SUCCESS;
    if (answered)
        refused = STATUS_SUCCESS;
    else if (os.NotificationIrp != nullptr)
        refused = STATUS_DEVICE_BUSY;
    else if (ext.ReaderFunction[RDF_CARD_TRACKING] == nullptr)
        refused = STATUS_NOT_SUPPORTED;
    if (answered || refused != STATUS_SUCCESS) {
        KeReleaseSpinLock(&os.SpinLock, irql);
        complete(r.irp, {refused});
        return refused;
    }
    os.NotificationIrp = r.irp;
    IoMarkIrpPending(r.irp);
    KeReleaseSpinLock(&os.SpinLock, irql);

    ext.MajorIoControlCode = r.code;
    ext.MinorIoControlCode = want_present ? SCARD_PRESENT : SCARD_ABSENT;
    const NTSTATUS status = ext.ReaderFunction[RDF_CARD_TRACKING](&ext);
    if (status != STATUS_PENDING) {
        // The driver refused to track; the request is still ours unless it already took it.
        KeAcquireSpinLock(&os.SpinLock, &irql);
        const bool ours = os.NotificationIrp == r.irp;
        if (ours)
            os.NotificationIrp = nullptr;
        KeReleaseSpinLock(&os.SpinLock, irql);
        if (ours)
            complete(r.irp, {status});
    }
    // Marked pending: whoever completes it, the caller learns the outcome from the IRP.
    return STATUS_PENDING;
}

} // namespace

NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
    if (Irp == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr ||
        SmartcardExtension->OsData->LibraryPrivate == nullptr) {
        complete(Irp, {STATUS_DEVICE_NOT_READY});
        return STATUS_DEVICE_NOT_READY;
    }
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    Request r{ext,
              Irp,
              stack->Parameters.DeviceIoControl.IoControlCode,
              buffer,
              stack->Parameters.DeviceIoControl.InputBufferLength,
              buffer,
              stack->Parameters.DeviceIoControl.OutputBufferLength};
    if (buffer == nullptr && (r.input_length != 0 || r.output_length != 0)) {
        complete(Irp, {STATUS_INVALID_PARAMETER});
        return STATUS_INVALID_PARAMETER;
    }

    LibraryPrivate& lib = library(ext);
    KeWaitForSingleObject(&lib.SlotMutex, Executive, KernelMode, FALSE, nullptr);
    if (r.code == IOCTL_SMARTCARD_IS_PRESENT || r.code == IOCTL_SMARTCARD_IS_ABSENT) {
        const NTSTATUS status = track(r);
        KeSetEvent(&lib.SlotMutex, IO_NO_INCREMENT, FALSE);
        return status;
    }
    const Outcome outcome = dispatch(r);
    KeSetEvent(&lib.SlotMutex, IO_NO_INCREMENT, FALSE);
    if (outcome.status == STATUS_PENDING)
        return STATUS_PENDING; // the driver kept the request and completes it itself
    complete(Irp, outcome);
    return outcome.status;
}
