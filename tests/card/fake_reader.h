// A scripted stand-in for everything below the card callbacks: the command exchange (a reader
// that answers from a script and records every command), event tracking, the conversation lock,
// the port speed, and the smart card library's protocol engines. The callbacks are compiled into
// the test as they are; only their neighbours are replaced, so every byte they put on the way to
// the reader and every byte they hand to the library can be checked.
#pragma once

#include "driver/driver.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qkr::cardtest {

using Bytes = std::vector<std::uint8_t>;

struct SentCommand {
    ULONG mode;
    Bytes payload;
    ULONG slot_of_extension; // SlotNumber of the extension the command went through
};

struct ScriptedReply {
    NTSTATUS status = STATUS_SUCCESS;
    Bytes payload; // the reply payload; the exchange appends the frame's check byte
};

// What the fake library does on one call of a request or reply routine.
struct LibraryStep {
    NTSTATUS status = STATUS_SUCCESS;
    Bytes append;                        // request routines: bytes for the card
    std::function<void()> side_effect{}; // runs before the step returns (set T1.State, say)
};

struct LibraryCall {
    std::string routine; // "T0Request", "T1Reply", ...
    Bytes data;          // reply routines: the bytes they were handed
};

class FakeWorld {
  public:
    FakeWorld();
    ~FakeWorld();
    FakeWorld(const FakeWorld&) = delete;
    FakeWorld& operator=(const FakeWorld&) = delete;

    static FakeWorld& current();

    // ----- the device and its two slots, as creation and start leave them -----
    DEVICE_OBJECT device{};
    std::unique_ptr<DEVICE_EXTENSION> extension;
    OS_DEP_DATA os_data[2]{};
    READER_EXTENSION reader[2]{};
    std::uint8_t request_buffer[2][QKR_BUFFER_SIZE]{};
    std::uint8_t reply_buffer[2][QKR_BUFFER_SIZE]{};
    PSMARTCARD_EXTENSION slot(int n);

    // The client's side of one request, pointed to by IoRequest.
    ULONG information_sink = 0xDEAD; // left alone where a callback must not touch it
    Bytes client_request;
    Bytes client_reply;
    // Points the slot's IoRequest at client_request / client_reply (reply_size bytes).
    void set_io(int n, Bytes request, std::size_t reply_size);
    ULONG information() const { return information_sink; }

    // ----- the reader -----
    std::deque<ScriptedReply> replies;
    std::vector<SentCommand> sent;
    void reply(Bytes payload) { replies.push_back({STATUS_SUCCESS, std::move(payload)}); }
    void fail(NTSTATUS status) { replies.push_back({status, {}}); }
    // RDRSP_DATA with its length bytes and the data.
    void reply_data(const Bytes& data);
    // A reply whose length bytes announce `announced` but carries `data`.
    void reply_data_announcing(std::size_t announced, const Bytes& data);
    void reply_done() { reply({RDRSP_DONE, 0x00, 0x00, 0x00}); }

    // ----- event tracking, the lock, the port -----
    int tracking_arms = 0;
    int lock_depth = 0;
    int lock_acquisitions = 0;
    std::vector<std::string> violations; // busy mark and lock misuse seen by the fakes
    std::vector<ULONG> port_speeds;
    NTSTATUS port_speed_status = STATUS_SUCCESS;

    // ----- the library -----
    std::deque<LibraryStep> library_steps; // consumed by every request/reply routine call
    std::vector<LibraryCall> library_calls;
    std::vector<Bytes> atrs_evaluated; // ATRs handed to SmartcardUpdateCardCapabilities
    NTSTATUS update_capabilities_status = STATUS_SUCCESS;
    ULONG state_after_atr = SCARD_NEGOTIABLE;

    // ----- debug output -----
    std::string log;

    NTSTATUS next_library_step(const char* routine, PSMARTCARD_EXTENSION ext, bool reply);
};

} // namespace qkr::cardtest
