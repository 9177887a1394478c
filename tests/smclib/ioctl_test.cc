// The library as a reader driver and its clients see it: life cycle, remove lock, and the control
// codes the driver relies on with good, short and missing buffers, through real IRPs of the
// kernel stand-in and recording callbacks.
#include "platform/kernel/kernel.h"
#include "platform/smclib/smclib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace kern = qkr::kern;
using qkr::kern::Fault;
using qkr::kern::Kernel;
using qkr::kern::milliseconds;
using qkr::kern::seconds;
using qkr::kern::Thread;
using Bytes = std::vector<UCHAR>;

Bytes ulong_bytes(ULONG v) {
    return Bytes(reinterpret_cast<UCHAR*>(&v), reinterpret_cast<UCHAR*>(&v) + sizeof v);
}

// An extension as a driver fills it in before SmartcardInitialize.
SMARTCARD_EXTENSION fresh_extension() {
    SMARTCARD_EXTENSION e{};
    e.Version = SMCLIB_VERSION;
    e.SmartcardRequest.BufferSize = e.SmartcardReply.BufferSize = 1048;
    return e;
}

Bytes transmit_input(ULONG protocol, Bytes data) {
    SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
    data.insert(data.begin(), reinterpret_cast<UCHAR*>(&header),
                reinterpret_cast<UCHAR*>(&header) + sizeof header);
    return data;
}

struct Call {
    unsigned function;
    ULONG major, minor;
    Bytes request;
    ULONG reply_length;
};
struct Result {
    NTSTATUS status;
    ULONG_PTR information;
    Bytes output;
};

class Library : public ::testing::Test {
  protected:
    static inline Library* self = nullptr; // the running test, for the callbacks

    void SetUp() override {
        self = this;
        kernel_.set_verifier_handler([this](const std::string& m) { verifier_.push_back(m); });
        driver_ = kernel_.load_driver("smclib-test", [](PDRIVER_OBJECT d, PUNICODE_STRING) {
            for (auto& f : d->MajorFunction)
                f = [](PDEVICE_OBJECT, PIRP irp) {
                    irp->IoStatus.Status = STATUS_SUCCESS;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    return NTSTATUS{STATUS_SUCCESS};
                };
            d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
                return SmartcardDeviceControl(&self->ext_, irp);
            };
            return NTSTATUS{STATUS_SUCCESS};
        });
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        ext_ = fresh_extension();
        ASSERT_EQ(SmartcardInitialize(&ext_), STATUS_SUCCESS);
        ext_.OsData->DeviceObject = device_;
        for (unsigned f :
             {RDF_CARD_POWER, RDF_TRANSMIT, RDF_SET_PROTOCOL, RDF_CARD_TRACKING, RDF_IOCTL_VENDOR})
            ext_.ReaderFunction[f] = callbacks[f];
        std::memcpy(ext_.VendorAttr.IfdType.Buffer, "QK410TX", 8);
        ext_.VendorAttr.IfdType.Length = 7;
        auto& caps = ext_.ReaderCapabilities;
        caps.SupportedProtocols = 0x13;
        caps.CLKFrequency.Default = caps.CLKFrequency.Max = 3571;
        caps.DataRatesSupported.List = rates_;
        caps.DataRatesSupported.Entries = 3;
        caps.MaxIFSD = 240;
        caps.CurrentState = SCARD_SWALLOWED;
        ASSERT_EQ(kernel_.open(device_, &handle_), STATUS_SUCCESS);
    }

    void TearDown() override {
        handle_.close();
        SmartcardExit(&ext_);
        IoDeleteDevice(device_);
        kernel_.unload_driver(driver_);
        EXPECT_EQ(kernel_.pool_allocations(SMCLIB_POOL_TAG), 0u);
        EXPECT_EQ(kernel_.irps_live(), 0u);
        EXPECT_TRUE(verifier_.empty()) << verifier_.front();
    }

    // What every recording callback does: note the request, then run the test's behaviour.
    template <unsigned F>
    static NTSTATUS callback(PSMARTCARD_EXTENSION) {
        return self->record(F);
    }
    static constexpr PRDF_FUNCTION callbacks[] = {callback<0>, callback<1>, callback<2>,
                                                  callback<3>, callback<4>, callback<5>,
                                                  callback<6>, callback<7>, callback<8>};
    NTSTATUS record(unsigned function) {
        const auto& io = ext_.IoRequest;
        calls_.push_back({function, ext_.MajorIoControlCode, ext_.MinorIoControlCode,
                          Bytes(io.RequestBuffer, io.RequestBuffer + io.RequestBufferLength),
                          io.ReplyBufferLength});
        return behaviour_                      ? behaviour_(function)
               : function == RDF_CARD_TRACKING ? STATUS_PENDING
                                               : STATUS_SUCCESS;
    }

    // Writes `reply` as the callback's answer.
    NTSTATUS answer(const Bytes& reply) {
        std::memcpy(ext_.IoRequest.ReplyBuffer, reply.data(), reply.size());
        *ext_.IoRequest.Information = ULONG(reply.size());
        return STATUS_SUCCESS;
    }

    // A request as a client sends it, its output buffer filled with 0xEE.
    Result ioctl(ULONG code, const Bytes& input, ULONG output_length) {
        Result r{0, 0, Bytes(output_length, 0xEE)};
        r.status = handle_.ioctl(code, input, r.output, &r.information);
        return r;
    }
    // What a driver does when the card's state changes: takes the parked request and completes it.
    void complete_parked(NTSTATUS status) {
        PIRP parked = std::exchange(ext_.OsData->NotificationIrp, nullptr);
        ASSERT_NE(parked, nullptr);
        parked->IoStatus.Status = status;
        IoCompleteRequest(parked, IO_NO_INCREMENT);
    }
    void set_state(ULONG state, ULONG selected = 0) {
        ext_.ReaderCapabilities.CurrentState = state;
        ext_.CardCapabilities.Protocol.Selected = selected;
    }

    Kernel kernel_;
    std::vector<std::string> verifier_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    SMARTCARD_EXTENSION ext_;
    ULONG rates_[3] = {9600, 19200, 38400};
    std::vector<Call> calls_;
    std::function<NTSTATUS(unsigned)> behaviour_;
    kern::FileHandle handle_;
};

TEST_F(Library, InitialiseThatRunsOutOfPoolGivesEverythingBack) {
    EXPECT_EQ(kernel_.pool_allocations(SMCLIB_POOL_TAG), 4u); // OS data, private, two buffers
    for (int n = 1; n <= 4; n++) {
        SCOPED_TRACE(n);
        SMARTCARD_EXTENSION other = fresh_extension();
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
    // Holders let go on their own threads while removal waits and then frees the library state at
    // once; the last holder must be done with the lock by then (the sanitizer builds check).
    for (int round = 0; round < 20; round++) {
        SMARTCARD_EXTENSION other = fresh_extension();
        ASSERT_EQ(SmartcardInitialize(&other), STATUS_SUCCESS);
        std::vector<Thread> holders;
        for (int i = 0; i < 4; i++) {
            SmartcardAcquireRemoveLock(&other);
            if (i > 0) // the first is removal's own
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

// Requests the library answers or refuses itself, with a card whose ATR was evaluated: the status,
// and where given, the answer; none of them reaches a callback.
TEST_F(Library, RequestsTheLibraryAnswersOrRefusesAlone) {
    struct Row {
        ULONG state, selected, code;
        Bytes in;
        ULONG out;
        NTSTATUS status;
        Bytes reply = {};
    };
    const Bytes atr = {0x3B, 0xFA, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x4A,
                       0x43, 0x4F, 0x50, 0x34, 0x31, 0x56, 0x32, 0x32, 0x31, 0x96};
    std::memcpy(ext_.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    ext_.CardCapabilities.ATR.Length = UCHAR(atr.size());
    ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext_), STATUS_SUCCESS);
    const Bytes apdu = {0x00, 0xA4, 0x00, 0x00};
    const Bytes t0 = transmit_input(SCARD_PROTOCOL_T0, apdu);
    Bytes lying = t0;
    lying[4] = 200; // cbPciLength beyond the input
    auto w = ulong_bytes;
    constexpr ULONG kNeg = SCARD_NEGOTIABLE, kAbs = SCARD_ABSENT, kSw = SCARD_SWALLOWED,
                    kSp = SCARD_SPECIFIC, kT0 = SCARD_PROTOCOL_T0, kT1 = SCARD_PROTOCOL_T1,
                    kPow = IOCTL_SMARTCARD_POWER, kTx = IOCTL_SMARTCARD_TRANSMIT,
                    kGet = IOCTL_SMARTCARD_GET_ATTRIBUTE;
    constexpr NTSTATUS kSmall = STATUS_BUFFER_TOO_SMALL, kNoMedia = STATUS_NO_MEDIA,
                       kOk = STATUS_SUCCESS;
    const Row rows[] = {
        // clang-format off
        {kNeg, 0, kPow, w(SCARD_WARM_RESET), 32, kSmall},
        {kAbs, 0, kPow, w(SCARD_COLD_RESET), 64, kNoMedia},
        {kSw, 0, IOCTL_SMARTCARD_SET_PROTOCOL, w(3), 4, STATUS_INVALID_DEVICE_STATE}, // not reset
        {kSp, 0, kTx, t0, 64, STATUS_INVALID_DEVICE_STATE}, // no protocol selected yet
        {kSp, kT0, kTx, transmit_input(SCARD_PROTOCOL_T1, apdu), 64, STATUS_INVALID_PARAMETER},
        {kSp, kT0, kTx, lying, 64, STATUS_INVALID_PARAMETER},
        {kSp, kT0, kTx, t0, 7, kSmall},
        {kAbs, kT0, kTx, t0, 64, kNoMedia},
        {kNeg, 0, kGet, w(SCARD_ATTR_VENDOR_IFD_TYPE), 6, kSmall},
        {kNeg, 0, kGet, w(SCARD_ATTR_VENDOR_IFD_TYPE), 7, kOk, {'Q', 'K', '4', '1', '0', 'T', 'X'}},
        {kAbs, 0, kGet, w(SCARD_ATTR_ATR_STRING), 33, kNoMedia},
        {kSp, kT1, kGet, w(SCARD_ATTR_ATR_STRING), 33, kOk, atr},
        {kSp, kT1, kGet, w(SCARD_ATTR_ATR_STRING), 19, kSmall},
        {kSp, kT1, kGet, w(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), 4, kOk, w(kT1)},
        {kSp, kT1, kGet, w(SCARD_ATTR_CURRENT_IFSC), 4, kOk, w(254)},
        {kNeg, 0, kGet, w(SCARD_ATTR_ICC_PRESENCE), 1, kOk, {2}}, // a single byte
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
        set_state(row.state, row.selected);
        Result r = ioctl(row.code, row.in, row.out);
        EXPECT_EQ(r.status, row.status);
        if (!row.reply.empty()) {
            EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + r.information), row.reply);
        }
    }
    EXPECT_TRUE(calls_.empty());
}

// Power, protocol and transmit reach their callback with the caller's request; what the callback
// answers comes back.
TEST_F(Library, CallbacksGetTheCallersRequestAndTheirAnswerOrFailureComesBack) {
    const Bytes atr = {0x3B, 0x02, 0x14, 0x50};
    behaviour_ = [&](unsigned) { return answer(atr); };
    // Room for the longest ATR the standard allows, and not a byte more, is enough.
    Result r = ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), MAXIMUM_ATR_LENGTH);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + r.information), atr);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].function, unsigned(RDF_CARD_POWER));
    EXPECT_EQ(calls_[0].minor, ULONG(SCARD_COLD_RESET));
    EXPECT_EQ(calls_[0].reply_length, ULONG(MAXIMUM_ATR_LENGTH));
    set_state(SCARD_NEGOTIABLE);
    r = ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(3), 4);
    EXPECT_EQ(r.output, atr);
    EXPECT_EQ(calls_.back().minor, 3u);
    set_state(SCARD_SPECIFIC, 0x10); // the driver's memory-card value
    behaviour_ = [](unsigned) { return STATUS_INVALID_DEVICE_REQUEST; };
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT, transmit_input(0x10, {1, 2}), 64).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(calls_.back().function, unsigned(RDF_TRANSMIT));
    EXPECT_EQ(calls_.back().request, transmit_input(0x10, {1, 2}));
    // A failure is passed on and remembered.
    behaviour_ = [](unsigned) { return STATUS_IO_TIMEOUT; };
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64).status,
              STATUS_IO_TIMEOUT);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).output, ulong_bytes(STATUS_IO_TIMEOUT));
}

// A T=1 state an earlier request left halfway is abandoned before the next transmit.
TEST_F(Library, TransmitStartsTheT1EngineOver) {
    const Bytes apdu = {0x00, 0xA4, 0x04, 0x00, 0x02, 0xA0, 0x00, 0x00};
    set_state(SCARD_SPECIFIC, SCARD_PROTOCOL_T1);
    ext_.T1.State = T1_R_BLOCK; // a driver that gave up in the middle of a chain
    ULONG state_seen = 0;
    behaviour_ = [&](unsigned) {
        state_seen = ext_.T1.State;
        return STATUS_IO_TIMEOUT;
    };
    ioctl(IOCTL_SMARTCARD_TRANSMIT, transmit_input(SCARD_PROTOCOL_T1, apdu), 64);
    EXPECT_EQ(state_seen, ULONG(T1_START));
}

TEST_F(Library, TrackingRequestIsParkedUntilTheDriverCompletesItAndASecondOneIsBusy) {
    kern::PendingIo parked = handle_.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    EXPECT_FALSE(parked.done());
    EXPECT_EQ(calls_.back().function, unsigned(RDF_CARD_TRACKING));
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_DEVICE_BUSY);
    complete_parked(STATUS_CANCELLED);
    EXPECT_EQ(parked.wait(), STATUS_CANCELLED);
    // Before the card's state is known, either kind is parked.
    set_state(SCARD_UNKNOWN);
    parked = handle_.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    complete_parked(STATUS_SUCCESS);
    EXPECT_EQ(parked.wait(), STATUS_SUCCESS);
    // A tracking request the driver refuses is completed with its status.
    set_state(SCARD_ABSENT);
    behaviour_ = [](unsigned) { return STATUS_DEVICE_NOT_READY; };
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(ext_.OsData->NotificationIrp, nullptr);
}

} // namespace
