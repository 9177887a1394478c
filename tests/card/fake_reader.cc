#include "tests/card/fake_reader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace qkr::cardtest {
namespace {
FakeWorld* g_world = nullptr;

PREADER_EXTENSION slot0_reader() {
    return &FakeWorld::current().reader[0];
}

// Every reader command must run inside a conversation: lock held, busy mark set.
void check_conversation(const char* what) {
    FakeWorld& w = FakeWorld::current();
    if (w.lock_depth != 1) {
        w.violations.push_back(std::string(what) + " without the conversation lock");
    }
    if (!slot0_reader()->ReaderBusy) {
        w.violations.push_back(std::string(what) + " without slot 0's busy mark");
    }
}
} // namespace

FakeWorld::FakeWorld() : extension(std::make_unique<DEVICE_EXTENSION>()) {
    if (g_world != nullptr) {
        throw std::logic_error("one FakeWorld at a time");
    }
    g_world = this;
    device.DeviceExtension = extension.get();
    SMARTCARD_EXTENSION* slots[2] = {&extension->SmartcardExtension,
                                     &extension->SecondSmartcardExtension};
    for (int n = 0; n < 2; ++n) {
        PSMARTCARD_EXTENSION ext = slots[n];
        os_data[n].DeviceObject = &device;
        ext->OsData = &os_data[n];
        ext->Version = 0x150;
        ext->ReaderExtension = &reader[n];
        ext->SmartcardRequest.Buffer = request_buffer[n];
        ext->SmartcardRequest.BufferSize = QKR_BUFFER_SIZE;
        ext->SmartcardReply.Buffer = reply_buffer[n];
        ext->SmartcardReply.BufferSize = QKR_BUFFER_SIZE;
        ext->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
        ext->ReaderCapabilities.SupportedProtocols = 0x13;
        reader[n].SlotNumber = (ULONG)n;
        reader[n].BaudRate = n == 0 ? 19200 : 0;
        reader[n].ReaderPowerState = n == 0 ? 1 : 0;
        set_io(n, {}, 64);
    }
}

FakeWorld::~FakeWorld() {
    g_world = nullptr;
}

FakeWorld& FakeWorld::current() {
    if (g_world == nullptr) {
        throw std::logic_error("no FakeWorld");
    }
    return *g_world;
}

PSMARTCARD_EXTENSION FakeWorld::slot(int n) {
    return n == 0 ? &extension->SmartcardExtension : &extension->SecondSmartcardExtension;
}

void FakeWorld::set_io(int n, Bytes request, std::size_t reply_size) {
    client_request = std::move(request);
    client_reply.assign(reply_size, 0xEE);
    PSMARTCARD_EXTENSION ext = slot(n);
    ext->IoRequest.Information = &information_sink;
    ext->IoRequest.RequestBuffer = client_request.empty() ? nullptr : client_request.data();
    ext->IoRequest.RequestBufferLength = (ULONG)client_request.size();
    ext->IoRequest.ReplyBuffer = client_reply.empty() ? nullptr : client_reply.data();
    ext->IoRequest.ReplyBufferLength = (ULONG)client_reply.size();
}

void FakeWorld::reply_data(const Bytes& data) {
    reply_data_announcing(data.size(), data);
}

void FakeWorld::reply_data_announcing(std::size_t announced, const Bytes& data) {
    Bytes payload{RDRSP_DATA, 0x00, (std::uint8_t)(announced >> 8), (std::uint8_t)announced};
    payload.insert(payload.end(), data.begin(), data.end());
    reply(std::move(payload));
}

NTSTATUS FakeWorld::next_library_step(const char* routine, PSMARTCARD_EXTENSION ext, bool reply) {
    LibraryCall call{routine, {}};
    if (reply) {
        call.data.assign(ext->SmartcardReply.Buffer,
                         ext->SmartcardReply.Buffer + ext->SmartcardReply.BufferLength);
    }
    library_calls.push_back(std::move(call));
    if (library_steps.empty()) {
        return STATUS_SUCCESS;
    }
    LibraryStep step = std::move(library_steps.front());
    library_steps.pop_front();
    if (!reply) {
        std::memcpy(ext->SmartcardRequest.Buffer + ext->SmartcardRequest.BufferLength,
                    step.append.data(), step.append.size());
        ext->SmartcardRequest.BufferLength += (ULONG)step.append.size();
    }
    if (step.side_effect) {
        step.side_effect();
    }
    return step.status;
}

} // namespace qkr::cardtest

using qkr::cardtest::FakeWorld;

// ----- the driver's neighbours -----
NTSTATUS Qkr_ExchangeCommand(ULONG Mode, PSMARTCARD_EXTENSION SmartcardExtension) {
    FakeWorld& w = FakeWorld::current();
    qkr::cardtest::check_conversation("exchange");
    const auto& req = SmartcardExtension->SmartcardRequest;
    w.sent.push_back({Mode,
                      {req.Buffer, req.Buffer + req.BufferLength},
                      SmartcardExtension->ReaderExtension->SlotNumber});
    if (w.replies.empty()) {
        return STATUS_IO_TIMEOUT; // a silent reader
    }
    qkr::cardtest::ScriptedReply r = std::move(w.replies.front());
    w.replies.pop_front();
    if (r.status != STATUS_SUCCESS) {
        return r.status;
    }
    std::uint8_t check = 0;
    for (std::uint8_t b : r.payload) {
        check ^= b;
    }
    r.payload.push_back(check);
    std::memcpy(SmartcardExtension->SmartcardReply.Buffer, r.payload.data(), r.payload.size());
    SmartcardExtension->SmartcardReply.BufferLength = (ULONG)r.payload.size();
    return STATUS_SUCCESS;
}

NTSTATUS Qkr_StartSerialEventTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    FakeWorld& w = FakeWorld::current();
    qkr::cardtest::check_conversation("re-arming tracking");
    if (SmartcardExtension != w.slot(0)) {
        w.violations.push_back("tracking armed with a slot other than slot 0");
    }
    ++w.tracking_arms;
    return STATUS_SUCCESS;
}

void Qkr_CompleteSettledCardTracking(PSMARTCARD_EXTENSION) {}
void Qkr_CloseIfReaderLost(PSMARTCARD_EXTENSION) {}

void Qkr_AcquireReader(PDEVICE_EXTENSION DeviceExtension) {
    FakeWorld& w = FakeWorld::current();
    if (DeviceExtension != w.extension.get()) {
        w.violations.push_back("lock taken on another device");
    }
    if (w.lock_depth != 0) {
        w.violations.push_back("lock taken twice");
    }
    if (w.reader[0].ReaderBusy) {
        w.violations.push_back("busy mark set before the lock was taken");
    }
    ++w.lock_depth;
    ++w.lock_acquisitions;
}

void Qkr_ReleaseReader(PDEVICE_EXTENSION DeviceExtension) {
    FakeWorld& w = FakeWorld::current();
    (void)DeviceExtension;
    if (w.reader[0].ReaderBusy) {
        w.violations.push_back("lock released with the busy mark still set");
    }
    if (w.lock_depth != 1) {
        w.violations.push_back("lock released without being held");
    }
    --w.lock_depth;
}

NTSTATUS Qkr_SetSerialBaudRate(ULONG BaudRate, PSMARTCARD_EXTENSION SmartcardExtension) {
    FakeWorld& w = FakeWorld::current();
    (void)SmartcardExtension;
    qkr::cardtest::check_conversation("port speed change");
    w.port_speeds.push_back(BaudRate);
    return w.port_speed_status;
}

// ----- the library -----
#define QKR_FAKE_LIBRARY_ROUTINE(name, is_reply)                                                   \
    NTSTATUS Smartcard##name(PSMARTCARD_EXTENSION e) {                                             \
        return FakeWorld::current().next_library_step(#name, e, is_reply);                         \
    }
QKR_FAKE_LIBRARY_ROUTINE(T0Request, false)
QKR_FAKE_LIBRARY_ROUTINE(T1Request, false)
QKR_FAKE_LIBRARY_ROUTINE(RawRequest, false)
QKR_FAKE_LIBRARY_ROUTINE(T0Reply, true)
QKR_FAKE_LIBRARY_ROUTINE(T1Reply, true)
QKR_FAKE_LIBRARY_ROUTINE(RawReply, true)
NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION e) {
    FakeWorld& w = FakeWorld::current();
    const auto& atr = e->CardCapabilities.ATR;
    w.atrs_evaluated.emplace_back(atr.Buffer, atr.Buffer + atr.Length);
    if (w.update_capabilities_status == STATUS_SUCCESS) {
        e->ReaderCapabilities.CurrentState = w.state_after_atr;
    }
    return w.update_capabilities_status;
}

// ----- the kernel calls the callbacks make -----
ULONG DbgPrint(PCSTR Format, ...) {
    char line[512];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(line, sizeof line, Format, args);
    va_end(args);
    FakeWorld::current().log += line;
    return STATUS_SUCCESS;
}

void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    std::memmove(Destination, Source, Length);
}
