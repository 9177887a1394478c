// Helpers shared by the robustness tests: a client of one slot, actions on the simulated reader
// from timer context, and the set of statuses a failed card request may end with.
#pragma once

#include "tools/host/host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qkr::robust {

using Data = std::vector<std::uint8_t>;

// Non-platform results the exchange passes up unchanged: NAK, bad frame, incomplete frame.
constexpr NTSTATUS kReaderNak = static_cast<NTSTATUS>(0xFFFFFFFD);
constexpr NTSTATUS kBadFrame = static_cast<NTSTATUS>(0xFFFFFFFE);
constexpr NTSTATUS kIncompleteFrame = static_cast<NTSTATUS>(0x00000004);

// What a card request may fail with when the line, the reader or the card misbehaves. Anything
// else (a success with wrong data, a buffer status, an access violation) is a fault of the stack.
inline bool is_defined_failure(NTSTATUS s) {
    switch (s) {
    case STATUS_IO_TIMEOUT:
    case kReaderNak:
    case kBadFrame:
    case kIncompleteFrame:
    case STATUS_NO_MEDIA:
    case STATUS_DEVICE_DATA_ERROR:
    case STATUS_UNRECOGNIZED_MEDIA:
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_DEVICE_REMOVED:
    case STATUS_DEVICE_BUSY:
    case STATUS_DELETE_PENDING:
    case STATUS_CANCELLED:
    case STATUS_UNSUCCESSFUL:
    case STATUS_NOT_SUPPORTED:
        return true;
    default:
        return false;
    }
}

// The standard smart card requests on one slot of an open handle.
class Client {
  public:
    Client(host::Reader& reader, kern::FileHandle& handle, int slot)
        : reader_(&reader), handle_(&handle), slot_(slot) {}

    NTSTATUS call(ULONG code, const Data& input, Data* output, ULONG output_length) {
        return slot_ == 0 ? reader_->ioctl(*handle_, code, input, output, output_length)
                          : reader_->ioctl_slot1(*handle_, code, input, output, output_length);
    }
    NTSTATUS power(ULONG minor, Data* atr = nullptr) {
        Data scratch;
        return call(IOCTL_SMARTCARD_POWER, u32(minor), atr != nullptr ? atr : &scratch, 64);
    }
    NTSTATUS set_protocol(ULONG accepted) {
        Data out;
        return call(IOCTL_SMARTCARD_SET_PROTOCOL, u32(accepted), &out, 4);
    }
    // One APDU behind the protocol header; the response without the header.
    NTSTATUS transmit(ULONG protocol, const Data& apdu, Data* response, ULONG room = 600) {
        SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
        Data in(sizeof header);
        std::memcpy(in.data(), &header, sizeof header);
        in.insert(in.end(), apdu.begin(), apdu.end());
        Data out;
        NTSTATUS status = call(IOCTL_SMARTCARD_TRANSMIT, in, &out, room);
        response->clear();
        if (out.size() >= sizeof header)
            response->assign(out.begin() + sizeof header, out.end());
        return status;
    }
    ULONG state() {
        Data out;
        call(IOCTL_SMARTCARD_GET_STATE, {}, &out, 4);
        ULONG v = 0xFFFFFFFF;
        if (out.size() == 4)
            std::memcpy(&v, out.data(), 4);
        return v;
    }
    int slot() const { return slot_; }

    static Data u32(ULONG v) {
        Data d(4);
        std::memcpy(d.data(), &v, 4);
        return d;
    }

  private:
    host::Reader* reader_;
    kern::FileHandle* handle_;
    int slot_;
};

// Runs `fn` in the kernel's timer context, where the simulator's state lives, and waits for it.
inline void in_timer(kern::Kernel& kernel, std::function<void()> fn) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    kernel.schedule_after(
        0,
        [&] {
            fn();
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        },
        "robust test action");
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

// A host that removes its readers and lets the line go quiet before the harness takes the lines
// apart, and that turns a verifier report (a deadlock, say) into a test failure.
class SoakHost : public host::Host {
  public:
    SoakHost() {
        kernel().set_verifier_handler(
            [](const std::string& message) { ADD_FAILURE() << "verifier: " << message; });
    }
    ~SoakHost() {
        for (std::size_t i = readers_.size(); i-- > 0;) {
            if (readers_[i]->added())
                readers_[i]->remove();
        }
        kernel().sleep_for(kern::seconds(1));
    }
    host::Reader& add_reader(host::ReaderOptions options = {}) {
        host::Reader& reader = host::Host::add_reader(std::move(options));
        readers_.push_back(&reader);
        return reader;
    }
    void release_reader(host::Reader& reader) {
        std::erase(readers_, &reader);
        host::Host::release_reader(reader);
    }

  private:
    std::vector<host::Reader*> readers_;
};

} // namespace qkr::robust
