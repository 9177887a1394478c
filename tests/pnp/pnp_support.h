// Shared pieces of the Plug and Play, dispatch and tracking tests: a whole stack from the host
// harness, the driver's log filtered to the routines these tests are about, and a card callback
// of the test's own that holds the reader busy while the test acts on the line or the device.
#pragma once

#include "card/card.h"
#include "driver/driver.h"
#include "host/host.h"
#include "platform/kernel/kernel.h"
#include "sim/frame.h"
#include "sim/reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qkr::pnp_test {

// The log lines of start, stop, dispatch and tracking; the exchange's frame dumps and the card
// callbacks' lines are left out.
inline std::vector<std::string> own_lines(const std::vector<std::string>& lines) {
    static const std::string_view tags[] = {
        "[Qkr_PnP]",
        "[Qkr_StartDevice]",
        "[QkrStopDevice]",
        "[Qkr_SerialEvent]",
        "[Qkr_CompleteCardTracking]",
        "[Qkr_StartSerialEventTracking]",
        "[Qkr_CreateClose]",
        "[Qkr_Cleanup]",
        "[Qkr_DeviceControl]",
        "[Qkr_InternalDeviceControl]",
        "11111111111",
        "444444444444",
    };
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        for (std::string_view tag : tags) {
            if (line.find(tag) != std::string::npos) {
                out.push_back(line);
                break;
            }
        }
    }
    return out;
}

inline std::size_t count_lines(const std::vector<std::string>& lines, std::string_view text) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), std::string(text)));
}

// Requests of one major function the port has seen.
inline std::size_t port_requests(host::Reader& reader, UCHAR major) {
    std::size_t n = 0;
    for (const serial::TapRequest& r : reader.tap().requests()) {
        if (r.major == major)
            ++n;
    }
    return n;
}

inline std::size_t port_controls(host::Reader& reader, ULONG code) {
    std::size_t n = 0;
    for (const serial::TapRequest& r : reader.tap().requests()) {
        if (r.major == IRP_MJ_DEVICE_CONTROL && r.code == code)
            ++n;
    }
    return n;
}

// Lets every other thread and every timer due within `span` of virtual time run.
inline void settle(host::Reader& reader, kern::Ticks span = kern::milliseconds(200)) {
    reader.kernel().sleep_for(span);
}

// A host that, before it goes, removes its readers and lets the line deliver what the removal
// set in motion (the port's close drops DTR and RTS), so that nothing is still on its way along
// the line when the harness takes the line and the simulator apart.
class TestHost : public host::Host {
  public:
    host::Reader& add_reader(host::ReaderOptions options = {}) {
        host::Reader& reader = host::Host::add_reader(std::move(options));
        readers_.push_back(&reader);
        return reader;
    }
    ~TestHost() {
        for (host::Reader* reader : readers_) {
            if (reader->added())
                reader->remove();
        }
        kernel().sleep_for(kern::seconds(1));
    }

  private:
    std::vector<host::Reader*> readers_;
};

// ---------------------------------------------------------------------------------------------
// The reader at the far end: the test acts on it and then lets the line carry the change to the
// driver.
// ---------------------------------------------------------------------------------------------
inline void at_reader(host::Reader& reader, const std::function<void(sim::ReaderSim&)>& fn) {
    reader.act_on_sim(fn);
    settle(reader);
}

inline host::ReaderOptions with_firmware(const char* version) {
    host::ReaderOptions options;
    options.sim.firmware = version;
    return options;
}

// The sixteen identification bytes the simulated reader puts in its type reply.
inline std::array<std::uint8_t, 16> reader_identification(host::Reader& reader) {
    const std::string id = reader.sim().config().identification + reader.sim().config().firmware;
    std::array<std::uint8_t, 16> bytes{};
    std::copy_n(id.begin(), std::min<std::size_t>(id.size(), bytes.size()), bytes.begin());
    return bytes;
}

// A reader that takes every command in and never answers.
inline void make_silent(host::Reader& reader) {
    at_reader(reader, [](sim::ReaderSim& s) { s.faults().silent_next(1 << 20); });
}

inline void insert_card(host::Reader& reader, std::string name = "t1") {
    at_reader(reader, [name](sim::ReaderSim& s) { s.insert(sim::make_card(name)); });
}

inline void remove_card(host::Reader& reader) {
    at_reader(reader, [](sim::ReaderSim& s) { s.remove(); });
}

inline void set_dsr(host::Reader& reader, bool on) {
    at_reader(reader, [on](sim::ReaderSim& s) { s.set_powered(on); });
}

inline void pulse_cts(host::Reader& reader) {
    at_reader(reader, [](sim::ReaderSim& s) { s.pulse_cts(kern::milliseconds(1)); });
}

// A reader of the test's own on the line, in place of the simulator: it answers each command
// with the payload the test gave for its command letter, and holds DSR and CTS as told. It must
// outlive the Host whose line it is plugged into.
class ScriptedReader : public serial::LineDevice {
  public:
    ScriptedReader(bool card, std::map<std::uint8_t, std::vector<std::uint8_t>> replies)
        : card_(card), replies_(std::move(replies)) {}

    void connect(serial::DeviceSide* side) override {
        std::lock_guard lock(mutex_);
        side_ = side;
        if (side_ != nullptr) {
            side_->set_dsr(true);
            side_->set_cts(card_);
        }
    }
    void on_byte(std::uint8_t byte, bool garbled) override {
        std::lock_guard lock(mutex_);
        if (garbled || side_ == nullptr)
            return;
        if (receiver_.push(byte) != sim::FrameReceiver::Event::Frame)
            return;
        const std::vector<std::uint8_t>& command = receiver_.payload();
        if (command.empty())
            return;
        auto reply = replies_.find(command[0]);
        if (reply != replies_.end())
            side_->send(sim::encode_frame(reply->second));
    }
    void on_host_lines(bool, bool, bool) override {}

  private:
    std::mutex mutex_;
    bool card_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> replies_;
    serial::DeviceSide* side_ = nullptr;
    sim::FrameReceiver receiver_;
};

// A type reply: code, second byte, length 16, identification ending in the version digits.
inline std::vector<std::uint8_t> type_reply(std::uint8_t second, const char* version) {
    std::vector<std::uint8_t> reply = {RDRSP_TYPE, second, 0x00, 0x10};
    const std::string id = std::string("BRIMVEL QK41") + version;
    reply.insert(reply.end(), id.begin(), id.end());
    return reply;
}

inline std::vector<std::uint8_t> status_reply(std::uint8_t code, bool card) {
    return {code, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(card ? 0x08 : 0x00)};
}

// ---------------------------------------------------------------------------------------------
// A card callback of the test's own. It holds a reader conversation as every callback that talks
// to the reader does (card/card.h) and exchanges a command, and in the middle it stops until the
// test releases it.
// ---------------------------------------------------------------------------------------------
struct HeldCallback {
    KEVENT entered{}; // the callback holds the reader
    KEVENT release{}; // the test lets it finish
    NTSTATUS exchange = STATUS_PENDING;
    std::atomic<int> calls{0};

    HeldCallback() {
        KeInitializeEvent(&entered, NotificationEvent, FALSE);
        KeInitializeEvent(&release, NotificationEvent, FALSE);
    }
    void wait_entered() { KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr); }
    void let_go() { KeSetEvent(&release, IO_NO_INCREMENT, FALSE); }

    // The one callback instance the installed routine talks to (the library's callback table
    // carries no context).
    static HeldCallback*& current() {
        static HeldCallback* instance = nullptr;
        return instance;
    }

    static NTSTATUS routine(PSMARTCARD_EXTENSION SmartcardExtension) {
        HeldCallback* self = current();
        PDEVICE_EXTENSION device = Qkr_DeviceExtensionOf(SmartcardExtension);
        self->calls++;
        Qkr_BeginConversation(device);
        SmartcardExtension->SmartcardRequest.Buffer[0] = RDCMD_GET_STATUS;
        SmartcardExtension->SmartcardRequest.Buffer[1] = 0;
        SmartcardExtension->SmartcardRequest.Buffer[2] = 0;
        SmartcardExtension->SmartcardRequest.BufferLength = 3;
        self->exchange = Qkr_ExchangeCommand(QKR_MODE_START, SmartcardExtension);
        KeSetEvent(&self->entered, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&self->release, Executive, KernelMode, FALSE, nullptr);
        Qkr_EndConversation(device);
        if (SmartcardExtension->IoRequest.Information != nullptr)
            *SmartcardExtension->IoRequest.Information = 0;
        return STATUS_SUCCESS;
    }
};

// Installs a HeldCallback as the vendor callback of a slot (the library hands every control
// code it does not know to that callback, whatever the card state) for the life of the object.
class HoldVendorCallback {
  public:
    HoldVendorCallback(host::Reader& reader, int slot)
        : ext_(qkr::host::DriverRecords::slot(reader, slot)) {
        saved_ = ext_->ReaderFunction[RDF_IOCTL_VENDOR];
        ext_->ReaderFunction[RDF_IOCTL_VENDOR] = HeldCallback::routine;
        HeldCallback::current() = &callback_;
    }
    ~HoldVendorCallback() {
        ext_->ReaderFunction[RDF_IOCTL_VENDOR] = saved_;
        HeldCallback::current() = nullptr;
    }
    HeldCallback& operator*() { return callback_; }
    HeldCallback* operator->() { return &callback_; }

  private:
    SMARTCARD_EXTENSION* ext_;
    PRDF_FUNCTION saved_ = nullptr;
    HeldCallback callback_;
};

// A vendor code the library does not know, so that it reaches the vendor callback.
constexpr ULONG kHeldCode = SCARD_CTL_CODE(3000);

} // namespace qkr::pnp_test
