// Helpers shared by the robustness tests: a client of one slot and the set of statuses a failed
// card request may end with.
#pragma once

#include "host/host.h"

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
using Client = host::SlotClient;

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
