// The library as a reader driver and its clients see it: life cycle, remove lock, and every
// standard control code with good, short and missing buffers, through real IRPs of the kernel
// stand-in and a table of recording callbacks.
#include "platform/kernel/kernel.h"
#include "platform/smclib/smclib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using qkr::kern::Fault;
using qkr::kern::Kernel;
using qkr::kern::milliseconds;
using qkr::kern::seconds;
using qkr::kern::Thread;
using Bytes = std::vector<UCHAR>;

Bytes ulong_bytes(ULONG v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

ULONG as_ulong(const Bytes& b, size_t at = 0) {
    ULONG v = 0;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

// An extension as a driver fills it in before SmartcardInitialize.
SMARTCARD_EXTENSION fresh_extension() {
    SMARTCARD_EXTENSION e{};
    e.Version = SMCLIB_VERSION;
    e.SmartcardRequest.BufferSize = 1048;
    e.SmartcardReply.BufferSize = 1048;
    return e;
}

Bytes transmit_input(ULONG protocol, const Bytes& data) {
    SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
    Bytes b(sizeof header + data.size());
    std::memcpy(b.data(), &header, sizeof header);
    std::copy(data.begin(), data.end(), b.begin() + sizeof header);
    return b;
}

struct Call {
    unsigned function;
    ULONG major;
    ULONG minor;
    Bytes request;
    ULONG reply_length;
    bool shared; // request and reply are the caller's one system buffer
};

struct Result {
    NTSTATUS returned;
    NTSTATUS status;
    ULONG_PTR information;
    Bytes output;
};

class Library;
Library* g_library = nullptr; // the fixture of the running test, for the callbacks

class Library : public ::testing::Test {
  protected:
    void SetUp() override {
        g_library = this;
        kernel_.set_verifier_handler([this](const std::string& m) { verifier_.push_back(m); });
        driver_ = kernel_.load_driver("smclib-test", &Library::entry);
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(void*), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE,
                                 &device_),
                  STATUS_SUCCESS);
        std::memset(static_cast<void*>(&ext_), 0, sizeof ext_);
        ext_.Version = SMCLIB_VERSION;
        ext_.SmartcardRequest.BufferSize = 1048;
        ext_.SmartcardReply.BufferSize = 1048;
        ASSERT_EQ(SmartcardInitialize(&ext_), STATUS_SUCCESS);
        ext_.OsData->DeviceObject = device_;
        ext_.ReaderFunction[RDF_CARD_POWER] = &Library::power_cb;
        ext_.ReaderFunction[RDF_TRANSMIT] = &Library::transmit_cb;
        ext_.ReaderFunction[RDF_SET_PROTOCOL] = &Library::protocol_cb;
        ext_.ReaderFunction[RDF_CARD_TRACKING] = &Library::tracking_cb;
        ext_.ReaderFunction[RDF_IOCTL_VENDOR] = &Library::vendor_cb;
        std::memcpy(ext_.VendorAttr.VendorName.Buffer, "BRIMVEL", 8);
        ext_.VendorAttr.VendorName.Length = 7;
        std::memcpy(ext_.VendorAttr.IfdType.Buffer, "QK410TX", 8);
        ext_.VendorAttr.IfdType.Length = 7;
        ext_.VendorAttr.UnitNo = 2;
        ext_.ReaderCapabilities.SupportedProtocols = 0x13;
        ext_.ReaderCapabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
        ext_.ReaderCapabilities.CLKFrequency.Default = 3571;
        ext_.ReaderCapabilities.CLKFrequency.Max = 3571;
        ext_.ReaderCapabilities.DataRate.Default = 9600;
        ext_.ReaderCapabilities.DataRate.Max = 9600;
        ext_.ReaderCapabilities.DataRatesSupported.List = rates_;
        ext_.ReaderCapabilities.DataRatesSupported.Entries = 3;
        ext_.ReaderCapabilities.MaxIFSD = 240;
        ext_.ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
        *static_cast<Library**>(device_->DeviceExtension) = this;
    }

    void TearDown() override {
        SmartcardExit(&ext_);
        IoDeleteDevice(device_);
        kernel_.unload_driver(driver_);
        EXPECT_EQ(kernel_.pool_allocations(SMCLIB_POOL_TAG), 0u);
        EXPECT_EQ(kernel_.irps_live(), 0u);
        EXPECT_TRUE(verifier_.empty()) << verifier_.front();
        g_library = nullptr;
    }

    static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
        Library* self = *static_cast<Library**>(device->DeviceExtension);
        return SmartcardDeviceControl(&self->ext_, irp);
    }

    static NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &Library::dispatch;
        return STATUS_SUCCESS;
    }

    // What every recording callback does: note the request, then run the test's behaviour.
    NTSTATUS record(unsigned function) {
        Call c;
        c.function = function;
        c.major = ext_.MajorIoControlCode;
        c.minor = ext_.MinorIoControlCode;
        c.request.assign(ext_.IoRequest.RequestBuffer,
                         ext_.IoRequest.RequestBuffer + ext_.IoRequest.RequestBufferLength);
        c.reply_length = ext_.IoRequest.ReplyBufferLength;
        c.shared = ext_.IoRequest.RequestBuffer == caller_buffer_ &&
                   ext_.IoRequest.ReplyBuffer == caller_buffer_;
        calls_.push_back(c);
        if (behaviour_)
            return behaviour_(function);
        return STATUS_SUCCESS;
    }
    static NTSTATUS power_cb(PSMARTCARD_EXTENSION) { return g_library->record(RDF_CARD_POWER); }
    static NTSTATUS transmit_cb(PSMARTCARD_EXTENSION) { return g_library->record(RDF_TRANSMIT); }
    static NTSTATUS protocol_cb(PSMARTCARD_EXTENSION) {
        return g_library->record(RDF_SET_PROTOCOL);
    }
    static NTSTATUS tracking_cb(PSMARTCARD_EXTENSION) {
        g_library->record(RDF_CARD_TRACKING);
        return g_library->tracking_status_;
    }
    static NTSTATUS vendor_cb(PSMARTCARD_EXTENSION) { return g_library->record(RDF_IOCTL_VENDOR); }

    // Writes `reply` as the callback's answer.
    NTSTATUS answer(const Bytes& reply) {
        std::memcpy(ext_.IoRequest.ReplyBuffer, reply.data(), reply.size());
        *ext_.IoRequest.Information = ULONG(reply.size());
        return STATUS_SUCCESS;
    }

    PIRP build(ULONG code, const Bytes& input, ULONG output_length, Bytes& output, KEVENT& done,
               IO_STATUS_BLOCK& iosb) {
        output.assign(output_length, 0xEE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(
            code, device_, input.empty() ? nullptr : const_cast<UCHAR*>(input.data()),
            ULONG(input.size()), output_length != 0 ? output.data() : nullptr, output_length, FALSE,
            &done, &iosb);
        if (irp != nullptr)
            caller_buffer_ = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        return irp;
    }

    Result ioctl(ULONG code, const Bytes& input, ULONG output_length) {
        Result r{};
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        PIRP irp = build(code, input, output_length, r.output, done, iosb);
        EXPECT_NE(irp, nullptr);
        r.returned = IoCallDriver(device_, irp);
        EXPECT_NE(r.returned, STATUS_PENDING);
        // A failure without STATUS_PENDING is told by IoCallDriver alone.
        r.status = NT_ERROR(r.returned) ? r.returned : iosb.Status;
        r.information = NT_ERROR(r.returned) ? 0 : iosb.Information;
        return r;
    }

    // A request sent without waiting for it, for those the library parks.
    struct Pending {
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        Bytes out;
        PIRP irp = nullptr;
        NTSTATUS returned = STATUS_PENDING;
    };
    void send(Pending& p, ULONG code) {
        p.irp = build(code, {}, 0, p.out, p.done, p.iosb);
        p.returned = IoCallDriver(device_, p.irp);
    }
    // What a driver does when the card's state changes: takes the parked request and completes it.
    PIRP complete_parked(NTSTATUS status, ULONG new_state) {
        KIRQL irql;
        KeAcquireSpinLock(&ext_.OsData->SpinLock, &irql);
        PIRP parked = ext_.OsData->NotificationIrp;
        ext_.OsData->NotificationIrp = nullptr;
        ext_.ReaderCapabilities.CurrentState = new_state;
        KeReleaseSpinLock(&ext_.OsData->SpinLock, irql);
        if (parked != nullptr) {
            parked->IoStatus.Status = status;
            parked->IoStatus.Information = 0;
            IoCompleteRequest(parked, IO_NO_INCREMENT);
        }
        return parked;
    }

    void set_state(ULONG state) { ext_.ReaderCapabilities.CurrentState = state; }

    Kernel kernel_;
    std::vector<std::string> verifier_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    SMARTCARD_EXTENSION ext_;
    ULONG rates_[3] = {9600, 19200, 38400};
    std::vector<Call> calls_;
    std::function<NTSTATUS(unsigned)> behaviour_;
    NTSTATUS tracking_status_ = STATUS_PENDING;
    // Written by each client thread as it builds a request, read by the callbacks.
    std::atomic<PUCHAR> caller_buffer_{nullptr};
};

TEST_F(Library, InitialiseRefusesOldVersionsAndTinyBuffersAndGivesEverythingBack) {
    EXPECT_EQ(kernel_.pool_allocations(SMCLIB_POOL_TAG), 4u); // OS data, private, two buffers
    SMARTCARD_EXTENSION other = fresh_extension();
    other.Version = SMCLIB_VERSION - 1;
    EXPECT_EQ(SmartcardInitialize(&other), STATUS_INVALID_PARAMETER);
    other = fresh_extension();
    other.SmartcardReply.BufferSize = 16;
    EXPECT_EQ(SmartcardInitialize(&other), STATUS_INVALID_PARAMETER);
    for (int n = 1; n <= 4; n++) {
        SCOPED_TRACE(n);
        other = fresh_extension();
        kernel_.fail_nth(Fault::PoolAllocation, n);
        EXPECT_EQ(SmartcardInitialize(&other), STATUS_INSUFFICIENT_RESOURCES);
        kernel_.clear_faults();
        EXPECT_EQ(kernel_.pool_allocations(SMCLIB_POOL_TAG), 4u);
        SmartcardExit(&other); // what a driver does when OsData may be set
        EXPECT_EQ(other.OsData, nullptr);
    }
}

TEST_F(Library, RemovalWaitsForEveryOtherHolderAndRefusesNewOnes) {
    ASSERT_EQ(SmartcardAcquireRemoveLock(&ext_), STATUS_SUCCESS); // removal's own hold
    ASSERT_EQ(SmartcardAcquireRemoveLock(&ext_), STATUS_SUCCESS); // an open handle
    std::atomic<bool> returned{false};
    Thread remover = kernel_.spawn("remover", [&] {
        SmartcardReleaseRemoveLockAndWait(&ext_);
        returned = true;
    });
    kernel_.sleep_for(seconds(30));
    EXPECT_FALSE(returned);
    EXPECT_EQ(SmartcardAcquireRemoveLock(&ext_), STATUS_DELETE_PENDING);
    SmartcardReleaseRemoveLock(&ext_); // the handle closes
    remover.join();
    EXPECT_TRUE(returned);
    // One release too many is reported.
    SmartcardReleaseRemoveLock(&ext_);
    ASSERT_EQ(verifier_.size(), 1u);
    EXPECT_NE(verifier_[0].find("released more often than it was acquired"), std::string::npos);
    verifier_.clear();
}

TEST_F(Library, RecordCanBeFreedAsSoonAsTheRemovalWaitReturns) {
    // Holders let go on their own threads while removal waits and then frees the library state
    // at once; the last holder must be done with the lock by then (the sanitizer builds check).
    for (int round = 0; round < 20; round++) {
        SMARTCARD_EXTENSION other = fresh_extension();
        ASSERT_EQ(SmartcardInitialize(&other), STATUS_SUCCESS);
        ASSERT_EQ(SmartcardAcquireRemoveLock(&other), STATUS_SUCCESS);
        std::vector<Thread> holders;
        for (int i = 0; i < 3; i++) {
            ASSERT_EQ(SmartcardAcquireRemoveLock(&other), STATUS_SUCCESS);
            holders.push_back(kernel_.spawn("holder", [&other] {
                Kernel::current().sleep_for(milliseconds(1));
                SmartcardReleaseRemoveLock(&other);
            }));
        }
        SmartcardReleaseRemoveLockAndWait(&other);
        SmartcardExit(&other);
        for (auto& t : holders)
            t.join();
    }
}

// Requests the library answers or refuses itself: the status, and where the answer is a word,
// that word; none of them reaches a callback.
TEST_F(Library, RequestsTheLibraryAnswersOrRefusesAlone) {
    struct Row {
        ULONG state;
        ULONG selected;
        ULONG code;
        Bytes in;
        ULONG out;
        NTSTATUS status;
        std::optional<ULONG> word = std::nullopt;
    };
    const Bytes apdu = {0x00, 0xA4, 0x00, 0x00};
    Bytes lying = transmit_input(SCARD_PROTOCOL_T0, apdu);
    lying[4] = 200; // cbPciLength beyond the input
    auto attr = [](ULONG id) { return ulong_bytes(id); };
    constexpr ULONG kNeg = SCARD_NEGOTIABLE, kT0 = SCARD_PROTOCOL_T0;
    const Row rows[] = {
        {kNeg, 0, IOCTL_SMARTCARD_POWER, {}, 64, STATUS_INVALID_PARAMETER},
        {kNeg, 0, IOCTL_SMARTCARD_POWER, {1, 0}, 64, STATUS_INVALID_PARAMETER},
        {kNeg, 0, IOCTL_SMARTCARD_POWER, ulong_bytes(7), 64, STATUS_INVALID_PARAMETER},
        {kNeg, 0, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), 32,
         STATUS_BUFFER_TOO_SMALL},
        {kNeg, 0, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 0, STATUS_BUFFER_TOO_SMALL},
        {SCARD_ABSENT, 0, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64,
         STATUS_NO_MEDIA},
        {SCARD_UNKNOWN, 0, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 0,
         STATUS_NO_MEDIA},
        {SCARD_SWALLOWED, 0, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(3), 2,
         STATUS_BUFFER_TOO_SMALL},
        {SCARD_SWALLOWED, 0, IOCTL_SMARTCARD_SET_PROTOCOL, {3}, 4, STATUS_INVALID_PARAMETER},
        {SCARD_SWALLOWED, 0, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(3), 4,
         STATUS_INVALID_DEVICE_STATE}, // inserted but never reset
        {SCARD_ABSENT, 0, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(3), 4, STATUS_NO_MEDIA},
        {SCARD_SPECIFIC, 0, IOCTL_SMARTCARD_TRANSMIT, transmit_input(kT0, apdu), 64,
         STATUS_INVALID_DEVICE_STATE}, // no protocol selected yet
        {SCARD_SPECIFIC, kT0, IOCTL_SMARTCARD_TRANSMIT, transmit_input(SCARD_PROTOCOL_T1, apdu), 64,
         STATUS_INVALID_PARAMETER},
        {SCARD_SPECIFIC,
         kT0,
         IOCTL_SMARTCARD_TRANSMIT,
         {1, 0, 0, 0, 8, 0},
         64,
         STATUS_INVALID_PARAMETER}, // shorter than the header
        {SCARD_SPECIFIC, kT0, IOCTL_SMARTCARD_TRANSMIT, lying, 64, STATUS_INVALID_PARAMETER},
        {SCARD_SPECIFIC, kT0, IOCTL_SMARTCARD_TRANSMIT, transmit_input(kT0, apdu), 7,
         STATUS_BUFFER_TOO_SMALL},
        {SCARD_ABSENT, kT0, IOCTL_SMARTCARD_TRANSMIT, transmit_input(kT0, apdu), 64,
         STATUS_NO_MEDIA},
        {kNeg, 0, IOCTL_SMARTCARD_GET_STATE, {}, 4, STATUS_SUCCESS, kNeg},
        {kNeg, 0, IOCTL_SMARTCARD_GET_STATE, {}, 2, STATUS_BUFFER_TOO_SMALL},
        {kNeg, 0, IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 3, STATUS_BUFFER_TOO_SMALL},
        {SCARD_SWALLOWED, 0, IOCTL_SMARTCARD_IS_PRESENT, {}, 0, STATUS_SUCCESS},
        {SCARD_ABSENT, 0, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, STATUS_SUCCESS},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, {}, 4, STATUS_INVALID_PARAMETER},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, {1, 1}, 4, STATUS_INVALID_PARAMETER},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_VENDOR_NAME), 6,
         STATUS_BUFFER_TOO_SMALL},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_DEVICE_UNIT), 4, STATUS_SUCCESS,
         2},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_DEVICE_UNIT), 3,
         STATUS_BUFFER_TOO_SMALL},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_CHANNEL_ID), 4, STATUS_SUCCESS,
         0x00010000},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_PROTOCOL_TYPES), 4, STATUS_SUCCESS,
         0x13},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_DEFAULT_CLK), 4, STATUS_SUCCESS,
         3571},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_MAX_DATA_RATE), 4, STATUS_SUCCESS,
         9600},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_MAX_IFSD), 4, STATUS_SUCCESS, 240},
        {kNeg, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_CHARACTERISTICS), 4,
         STATUS_SUCCESS, 0},
        {SCARD_ABSENT, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_ATR_STRING), 33,
         STATUS_NO_MEDIA},
        {SCARD_ABSENT, 0, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), 4,
         STATUS_NO_MEDIA},
        {kNeg, 0, IOCTL_SMARTCARD_SET_ATTRIBUTE, attr(SCARD_ATTR_VENDOR_NAME), 0,
         STATUS_NOT_SUPPORTED}, // the library's own attributes cannot be set
        {kNeg, 0, IOCTL_SMARTCARD_SET_ATTRIBUTE, {}, 0, STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
        set_state(row.state);
        ext_.CardCapabilities.Protocol.Selected = row.selected;
        Result r = ioctl(row.code, row.in, row.out);
        EXPECT_EQ(r.status, row.status);
        if (row.word) {
            EXPECT_EQ(r.information, 4u);
            EXPECT_EQ(as_ulong(r.output), *row.word);
        }
    }
    EXPECT_TRUE(calls_.empty());
    Result r = ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_VENDOR_IFD_TYPE), 7);
    EXPECT_EQ(std::string(r.output.begin(), r.output.end()), "QK410TX");
}

TEST_F(Library, ResetReachesThePowerCallbackInTheCallersBufferAndTheAtrComesBack) {
    const Bytes atr = {0x3B, 0x02, 0x14, 0x50};
    behaviour_ = [&](unsigned) { return answer(atr); };
    Result r = ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, atr.size());
    EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + 4), atr);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].function, unsigned(RDF_CARD_POWER));
    EXPECT_EQ(calls_[0].major, ULONG(IOCTL_SMARTCARD_POWER));
    EXPECT_EQ(calls_[0].minor, ULONG(SCARD_COLD_RESET));
    EXPECT_EQ(calls_[0].reply_length, 64u);
    EXPECT_TRUE(calls_[0].shared);
    // Power-down needs no output at all.
    behaviour_ = nullptr;
    r = ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(calls_.back().minor, ULONG(SCARD_POWER_DOWN));
}

TEST_F(Library, CallbackFailureOrOverlongReplyIsPassedOnAndRemembered) {
    behaviour_ = [](unsigned) { return STATUS_IO_TIMEOUT; };
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64).status,
              STATUS_IO_TIMEOUT);
    Result r = ioctl(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(as_ulong(r.output), ULONG(STATUS_IO_TIMEOUT));
    // A driver that claims an ATR of 40 bytes for a 36-byte buffer is refused...
    behaviour_ = [&](unsigned) {
        *ext_.IoRequest.Information = 40;
        return STATUS_SUCCESS;
    };
    r = ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 36);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.output, Bytes(36, 0xEE));
    EXPECT_EQ(ext_.LastError, ULONG(STATUS_BUFFER_TOO_SMALL));
    // ...and one that writes them runs off the end of the request's one buffer.
    behaviour_ = [&](unsigned) { return answer(Bytes(40, 0x3B)); };
    ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 36);
    ASSERT_EQ(verifier_.size(), 1u);
    EXPECT_NE(verifier_[0].find("wrote past the end of its system buffer"), std::string::npos);
    verifier_.clear();
}

TEST_F(Library, SetProtocolAndTransmitReachTheDriverWithTheCallersRequest) {
    set_state(SCARD_NEGOTIABLE);
    behaviour_ = [&](unsigned) { return answer(ulong_bytes(SCARD_PROTOCOL_T1)); };
    Result r = ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(3), 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(as_ulong(r.output), ULONG(SCARD_PROTOCOL_T1));
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].minor, 3u);

    set_state(SCARD_SPECIFIC);
    ext_.CardCapabilities.Protocol.Selected = 0x10; // the driver's memory-card value
    behaviour_ = [](unsigned) { return STATUS_INVALID_DEVICE_REQUEST; };
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT, transmit_input(0x10, {0x01, 0x02}), 64).status,
              STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[1].function, unsigned(RDF_TRANSMIT));
    EXPECT_EQ(calls_[1].request, transmit_input(0x10, {0x01, 0x02}));
}

TEST_F(Library, T0TransmitRunsThroughTheEnginesWithSeparateBuffers) {
    set_state(SCARD_SPECIFIC);
    ext_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    Bytes sent_to_card;
    // A driver in miniature: header room, the engine's bytes, a card answer, the engine's reply.
    behaviour_ = [&](unsigned) {
        ext_.SmartcardRequest.BufferLength = 5;
        NTSTATUS s = SmartcardT0Request(&ext_);
        if (!NT_SUCCESS(s))
            return s;
        sent_to_card.assign(ext_.SmartcardRequest.Buffer + 5,
                            ext_.SmartcardRequest.Buffer + ext_.SmartcardRequest.BufferLength);
        std::memcpy(ext_.SmartcardReply.Buffer, "\x61\x10", 2);
        ext_.SmartcardReply.BufferLength = 2;
        return SmartcardT0Reply(&ext_);
    };
    const Bytes apdu = {0x00, 0xA4, 0x04, 0x00, 0x02, 0xA0, 0x00, 0x00};
    Result r = ioctl(IOCTL_SMARTCARD_TRANSMIT, transmit_input(SCARD_PROTOCOL_T0, apdu), 10);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(sent_to_card, Bytes(apdu.begin(), apdu.end() - 1));
    ASSERT_EQ(r.information, 10u);
    EXPECT_EQ(as_ulong(r.output), ULONG(SCARD_PROTOCOL_T0));
    EXPECT_EQ(Bytes(r.output.begin() + 8, r.output.end()), (Bytes{0x61, 0x10}));
}

TEST_F(Library, TransmitAbandonsAT1ApduAnEarlierRequestLeftHalfway) {
    set_state(SCARD_SPECIFIC);
    ext_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ext_.T1.State = T1_R_BLOCK; // a driver that gave up in the middle of a chain
    ULONG state_seen = 0;
    behaviour_ = [&](unsigned) {
        state_seen = ext_.T1.State;
        return STATUS_IO_TIMEOUT;
    };
    ioctl(IOCTL_SMARTCARD_TRANSMIT, transmit_input(SCARD_PROTOCOL_T1, {0, 0xA4, 0, 0}), 64);
    EXPECT_EQ(state_seen, ULONG(T1_START));
}

TEST_F(Library, CardAttributesFollowTheEvaluatedAtrAndThePresence) {
    const Bytes atr = {0x3B, 0xFA, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x4A,
                       0x43, 0x4F, 0x50, 0x34, 0x31, 0x56, 0x32, 0x32, 0x31, 0x96};
    std::memcpy(ext_.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    ext_.CardCapabilities.ATR.Length = UCHAR(atr.size());
    ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext_), STATUS_SUCCESS);
    ext_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    Result r = ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_ATR_STRING), 33);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + r.information), atr);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_ATR_STRING), 19).status,
              STATUS_BUFFER_TOO_SMALL);
    const std::pair<ULONG, ULONG> numbers[] = {
        {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, SCARD_PROTOCOL_T1},
        {SCARD_ATTR_CURRENT_F, 372},
        {SCARD_ATTR_CURRENT_D, 1},
        {SCARD_ATTR_CURRENT_IFSC, 254},
        {SCARD_ATTR_CURRENT_IFSD, 32},
        {SCARD_ATTR_CURRENT_BWT, ext_.CardCapabilities.T1.BWT},
    };
    for (auto [id, value] : numbers) {
        SCOPED_TRACE(id);
        EXPECT_EQ(as_ulong(ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(id), 4).output), value);
    }
    // Presence and interface status are single bytes.
    for (auto [state, presence, active] :
         {std::tuple{SCARD_NEGOTIABLE, 2, 1}, {SCARD_PRESENT, 1, 0}, {SCARD_ABSENT, 0, 0}}) {
        set_state(state);
        r = ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_ICC_PRESENCE), 1);
        EXPECT_EQ(r.information, 1u);
        EXPECT_EQ(r.output[0], presence) << state;
        r = ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_ICC_INTERFACE_STATUS), 1);
        EXPECT_EQ(r.output[0], active) << state;
    }
}

TEST_F(Library, UnknownAttributesAndCodesGoToTheVendorCallbackIfThereIsOne) {
    const ULONG vendor_attr = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x0042);
    behaviour_ = [&](unsigned) { return answer({0xAB}); };
    Result r = ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(vendor_attr), 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1u);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].function, unsigned(RDF_IOCTL_VENDOR));
    EXPECT_EQ(calls_[0].major, ULONG(IOCTL_SMARTCARD_GET_ATTRIBUTE));
    EXPECT_EQ(calls_[0].minor, vendor_attr);
    Bytes set = ulong_bytes(vendor_attr);
    set.push_back(0x01);
    behaviour_ = nullptr;
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_SET_ATTRIBUTE, set, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(calls_.back().request, set);
    const ULONG private_code = SCARD_CTL_CODE(2049);
    behaviour_ = [&](unsigned) { return answer(Bytes(16, 0x51)); };
    r = ioctl(private_code, {}, 16);
    EXPECT_EQ(r.output, Bytes(16, 0x51));
    EXPECT_EQ(calls_.back().major, private_code);

    ext_.ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
    EXPECT_EQ(ioctl(private_code, {}, 16).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(vendor_attr), 8).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_EJECT, {}, 0).status, STATUS_NOT_SUPPORTED);
}

TEST_F(Library, TrackingRequestIsParkedUntilTheDriverCompletesItAndASecondOneIsBusy) {
    set_state(SCARD_SWALLOWED);
    Pending p;
    send(p, IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_EQ(p.returned, STATUS_PENDING);
    EXPECT_EQ(ext_.OsData->NotificationIrp, p.irp);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].function, unsigned(RDF_CARD_TRACKING));
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS); // not held up
    ASSERT_EQ(complete_parked(STATUS_SUCCESS, SCARD_ABSENT), p.irp);
    LARGE_INTEGER limit;
    limit.QuadPart = -seconds(1);
    EXPECT_EQ(KeWaitForSingleObject(&p.done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    EXPECT_EQ(p.iosb.Status, STATUS_SUCCESS);

    // Before the card's state is known, either kind is parked.
    set_state(SCARD_UNKNOWN);
    for (ULONG code : {IOCTL_SMARTCARD_IS_PRESENT, IOCTL_SMARTCARD_IS_ABSENT}) {
        Pending q;
        send(q, code);
        ASSERT_EQ(q.returned, STATUS_PENDING);
        ASSERT_EQ(complete_parked(STATUS_CANCELLED, SCARD_UNKNOWN), q.irp);
        EXPECT_EQ(q.iosb.Status, STATUS_CANCELLED);
    }
}

TEST_F(Library, TrackingTheDriverRefusesIsCompletedWithItsStatus) {
    set_state(SCARD_ABSENT);
    tracking_status_ = STATUS_DEVICE_NOT_READY;
    Pending p;
    send(p, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(p.returned, STATUS_PENDING);
    EXPECT_EQ(p.iosb.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(KeReadStateEvent(&p.done), 1);
    EXPECT_EQ(ext_.OsData->NotificationIrp, nullptr);
    ext_.ReaderFunction[RDF_CARD_TRACKING] = nullptr;
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_NOT_SUPPORTED);
}

TEST_F(Library, OneSlotRunsOneCallbackAtATime) {
    set_state(SCARD_SPECIFIC);
    ext_.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    behaviour_ = [&](unsigned) {
        const int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        kernel_.sleep_for(milliseconds(500)); // a long reader exchange
        --inside;
        return STATUS_SUCCESS;
    };
    auto client = [&] {
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT,
                            transmit_input(SCARD_PROTOCOL_T0, {0, 0xB0, 0, 0, 2}), 64)
                          .status,
                      STATUS_SUCCESS);
    };
    Thread a = kernel_.spawn("client a", client);
    Thread b = kernel_.spawn("client b", client);
    a.join();
    b.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(calls_.size(), 6u);
}

} // namespace
