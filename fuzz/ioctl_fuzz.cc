// The smart card library's request dispatch as a client and a reader driver can abuse it: a run
// of device control requests with any code, any input and output sizes and contents, and any card
// state, served by callbacks that answer with anything that fits their buffer and any status.
// Every request is completed (a parked tracking request by the driver, as it would), with a
// status the library or the callback gave, and never reports more output than there was room
// for; the library's pool and the IRPs are all back at the end of each input.
// Input: 7 callback flags, a tracking flag, vendor name length, protocols (u32), card state,
// selected protocol (u32), ATR length; then per request a code index (0xFF: a u32 code follows),
// input length (u16) and input, output length (u16), and what the callbacks read.
#include "fuzz/fuzz_support.h"
#include "platform/smclib/smclib.h"

#include <iterator>
#include <memory>
#include <vector>

namespace {

using qkr::fuzz::Input;

struct Device {
    SMARTCARD_EXTENSION ext; // first: the callbacks find the rest from it
    Input* in;
    std::vector<NTSTATUS> answered; // statuses the callbacks gave for the current request
};

Device& device_of(PSMARTCARD_EXTENSION ext) {
    return *reinterpret_cast<Device*>(ext);
}

const std::vector<NTSTATUS> kCallbackStatuses({STATUS_SUCCESS, STATUS_IO_TIMEOUT, STATUS_NO_MEDIA,
                                               STATUS_BUFFER_TOO_SMALL, STATUS_DEVICE_DATA_ERROR,
                                               STATUS_INVALID_DEVICE_REQUEST,
                                               STATUS_UNRECOGNIZED_MEDIA, STATUS_CANCELLED});

// Any callback: an answer of any length that fits, a card state it may change, and a status.
NTSTATUS callback(PSMARTCARD_EXTENSION ext) {
    Device& d = device_of(ext);
    Input& in = *d.in;
    const ULONG room = ext->IoRequest.ReplyBufferLength;
    if (room > 0 && ext->IoRequest.ReplyBuffer != nullptr) {
        const ULONG n = in.u16() % (room + 1);
        auto bytes = in.take(n);
        std::memcpy(ext->IoRequest.ReplyBuffer, bytes.data(), bytes.size());
        std::memset(ext->IoRequest.ReplyBuffer + bytes.size(), 0x5A, n - bytes.size());
        if (ext->IoRequest.Information != nullptr)
            *ext->IoRequest.Information = n;
    }
    if (in.flag())
        ext->ReaderCapabilities.CurrentState = in.u8() % 8;
    if (in.flag())
        ext->CardCapabilities.Protocol.Selected = in.u32();
    const UCHAR pick = in.u8();
    NTSTATUS status = pick < kCallbackStatuses.size() ? kCallbackStatuses[pick]
                      : pick == 0xFF                  ? NTSTATUS(in.u32())
                                                      : STATUS_SUCCESS;
    // Pending would make the request the driver's own, which no driver does for these.
    status = status == STATUS_PENDING ? STATUS_SUCCESS : status;
    d.answered.push_back(status);
    return status;
}

// Tracking: refuses, or parks the request for the driver to complete later.
NTSTATUS tracking(PSMARTCARD_EXTENSION ext) {
    Device& d = device_of(ext);
    const NTSTATUS status = d.in->flag() ? STATUS_PENDING : STATUS_DEVICE_NOT_READY;
    d.answered.push_back(status);
    return status;
}

NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Device* d = *static_cast<Device**>(device->DeviceExtension);
    return SmartcardDeviceControl(&d->ext, irp);
}

NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &dispatch;
    return STATUS_SUCCESS;
}

const ULONG kCodes[] = {
    IOCTL_SMARTCARD_POWER,         IOCTL_SMARTCARD_GET_ATTRIBUTE, IOCTL_SMARTCARD_SET_ATTRIBUTE,
    IOCTL_SMARTCARD_CONFISCATE,    IOCTL_SMARTCARD_TRANSMIT,      IOCTL_SMARTCARD_EJECT,
    IOCTL_SMARTCARD_SWALLOW,       IOCTL_SMARTCARD_IS_PRESENT,    IOCTL_SMARTCARD_IS_ABSENT,
    IOCTL_SMARTCARD_SET_PROTOCOL,  IOCTL_SMARTCARD_GET_STATE,     IOCTL_SMARTCARD_GET_LAST_ERROR,
    IOCTL_SMARTCARD_GET_PERF_CNTR, SCARD_CTL_CODE(2048),          SCARD_CTL_CODE(2049),
    SCARD_CTL_CODE(2050)};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One kernel per input: its threads must be gone before the process exits, and nothing may
    // carry over between inputs.
    qkr::kern::Kernel kernel(qkr::kern::ClockMode::Virtual);
    qkr::fuzz::abort_on_report(kernel);
    PDRIVER_OBJECT driver = kernel.load_driver("qkr-fuzz-ioctl", &entry);
    kernel.watch_pool_tag(SMCLIB_POOL_TAG);
    const std::size_t pool_before = kernel.pool_allocations_total();

    Input in(data, size);
    auto d = std::make_unique<Device>();
    qkr::fuzz::zero(d->ext);
    d->in = &in;
    PDEVICE_OBJECT device = nullptr;
    FUZZ_CHECK(IoCreateDevice(driver, sizeof(Device*), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE,
                              &device) == STATUS_SUCCESS);
    *static_cast<Device**>(device->DeviceExtension) = d.get();

    SMARTCARD_EXTENSION& ext = d->ext;
    ext.Version = SMCLIB_VERSION;
    ext.SmartcardRequest.BufferSize = 1048;
    ext.SmartcardReply.BufferSize = 1048;
    FUZZ_CHECK(SmartcardInitialize(&ext) == STATUS_SUCCESS);
    ext.OsData->DeviceObject = device;
    for (unsigned f : {RDF_CARD_POWER, RDF_TRANSMIT, RDF_SET_PROTOCOL, RDF_IOCTL_VENDOR,
                       RDF_CARD_EJECT, RDF_CARD_CONFISCATE, RDF_READER_SWALLOW})
        if (in.flag())
            ext.ReaderFunction[f] = &callback;
    if (in.flag())
        ext.ReaderFunction[RDF_CARD_TRACKING] = &tracking;
    std::memcpy(ext.VendorAttr.VendorName.Buffer, "BRIMVEL", 7);
    ext.VendorAttr.VendorName.Length = in.u8() % (MAXIMUM_ATTR_STRING_LENGTH + 1);
    ext.ReaderCapabilities.SupportedProtocols = in.u32();
    ext.ReaderCapabilities.CLKFrequency.Default = 3571;
    ext.ReaderCapabilities.MaxIFSD = 240;
    ext.ReaderCapabilities.CurrentState = in.u8() % 8;
    ext.CardCapabilities.Protocol.Selected = in.u32();
    ext.CardCapabilities.ATR.Length = in.u8() % (MAXIMUM_ATR_LENGTH + 1);

    for (int request = 0; request < 16 && !in.empty(); ++request) {
        const UCHAR pick = in.u8();
        const ULONG code = pick < std::size(kCodes) ? kCodes[pick] : (pick == 0xFF ? in.u32() : 0);
        if (code == 0)
            continue;
        auto input = in.take(in.u16() % 1100);
        std::vector<UCHAR> input_copy(input.begin(), input.end());
        const ULONG output_length = in.u16() % 1100;
        std::vector<UCHAR> output(output_length + 1, 0xEE);

        d->answered.clear();
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(
            code, device, input_copy.empty() ? nullptr : input_copy.data(),
            ULONG(input_copy.size()), output_length != 0 ? output.data() : nullptr, output_length,
            FALSE, &done, &iosb);
        FUZZ_CHECK(irp != nullptr);
        const NTSTATUS returned = IoCallDriver(device, irp);
        if (returned == STATUS_PENDING && KeReadStateEvent(&done) == 0) {
            // Parked for tracking: the driver completes it when the card comes or goes, or lets it
            // go at the end; here, at once.
            KIRQL irql;
            KeAcquireSpinLock(&ext.OsData->SpinLock, &irql);
            PIRP parked = ext.OsData->NotificationIrp;
            ext.OsData->NotificationIrp = nullptr;
            KeReleaseSpinLock(&ext.OsData->SpinLock, irql);
            FUZZ_CHECK(parked == irp);
            parked->IoStatus.Status = STATUS_CANCELLED;
            parked->IoStatus.Information = 0;
            IoCompleteRequest(parked, IO_NO_INCREMENT);
        }
        if (returned == STATUS_PENDING)
            FUZZ_CHECK(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr) ==
                       STATUS_SUCCESS);
        else if (NT_ERROR(returned)) {
            // Failed without going pending: IoCallDriver's value is all the caller gets.
            iosb.Status = returned;
            iosb.Information = 0;
        }
        // A status the library gives of its own (cancelled: a parked request the driver let go)
        // or one a callback gave.
        FUZZ_CHECK(qkr::fuzz::one_of(iosb.Status,
                                     {STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_DEVICE_BUSY,
                                      STATUS_DEVICE_NOT_READY, STATUS_INSUFFICIENT_RESOURCES,
                                      STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_STATE,
                                      STATUS_INVALID_PARAMETER, STATUS_NOT_SUPPORTED,
                                      STATUS_NO_MEDIA, STATUS_CANCELLED}) ||
                   std::count(d->answered.begin(), d->answered.end(), iosb.Status));
        FUZZ_CHECK(iosb.Information <= output_length && output[output_length] == 0xEE);
        FUZZ_CHECK(ext.OsData->NotificationIrp == nullptr);
    }

    SmartcardExit(&ext);
    IoDeleteDevice(device);
    kernel.unload_driver(driver);
    FUZZ_CHECK(kernel.irps_live() == 0 && kernel.pool_allocations_total() == pool_before);
    return 0; // the kernel's end-of-life checks run as it goes
}
