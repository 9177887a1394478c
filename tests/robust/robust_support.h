// Helpers shared by the robustness tests: a host that turns verifier reports into failures, the
// statuses a failed card request may end with, and a card session checked against a model card.
#pragma once

#include "host/host.h"
#include "sim/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace qkr::robust {

using Data = std::vector<std::uint8_t>;
using Client = host::SlotClient;
const Data kSelectFile = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}; // 512 counting bytes

inline ULONG protocol_of(int slot) {
    return slot == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
}

// What a card request may fail with when the line, the reader or the card misbehaves (the last
// three: the reader's NAK, a bad frame, an incomplete frame). Anything else (a success with wrong
// data, a buffer status, an access violation) is a fault of the stack.
inline bool is_defined_failure(NTSTATUS s) {
    static const NTSTATUS defined[] = {STATUS_IO_TIMEOUT,           STATUS_NO_MEDIA,
                                       STATUS_DEVICE_DATA_ERROR,    STATUS_UNRECOGNIZED_MEDIA,
                                       STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_DEVICE_REQUEST,
                                       STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_READY,
                                       STATUS_DEVICE_REMOVED,       STATUS_DEVICE_BUSY,
                                       STATUS_DELETE_PENDING,       STATUS_CANCELLED,
                                       STATUS_UNSUCCESSFUL,         STATUS_NOT_SUPPORTED,
                                       NTSTATUS(0xFFFFFFFD),        NTSTATUS(0xFFFFFFFE),
                                       NTSTATUS(0x00000004)};
    return std::find(std::begin(defined), std::end(defined), s) != std::end(defined);
}

// An APDU whose answer must be the model card's, byte for byte.
inline bool as_model(Client& client, sim::FileSystemApp& model, const Data& apdu) {
    Data response;
    const NTSTATUS status = client.transmit(protocol_of(client.slot()), apdu, &response);
    const Data expected = model.execute(apdu);
    EXPECT_EQ(status, STATUS_SUCCESS) << "slot " << client.slot();
    EXPECT_EQ(response, expected) << "slot " << client.slot();
    return status == STATUS_SUCCESS && response == expected;
}

// A cold reset, the slot's protocol and a session on the counting file: a read, a write of marks
// and their read-back at `mark`, all answered as the model card answers.
inline bool session(Client& client, sim::FileSystemApp& model, std::uint8_t mark) {
    model.reset();
    const bool ok = client.power(SCARD_COLD_RESET) == STATUS_SUCCESS &&
                    client.set_protocol(protocol_of(client.slot())) == STATUS_SUCCESS;
    EXPECT_TRUE(ok) << "slot " << client.slot() << " not powered";
    const Data write = {0x00, 0xD6, 0x01, mark, 0x03, mark, std::uint8_t(~mark), 0x5A};
    return ok && as_model(client, model, kSelectFile) &&
           as_model(client, model, {0x00, 0xB0, 0x01, mark, 12}) &&
           as_model(client, model, write) && as_model(client, model, {0x00, 0xB0, 0x01, mark, 3});
}

// A host that turns a verifier report (a deadlock, say) into a test failure, with one reader
// added and started with cards in both slots (T=1 in slot 0, T=0 in slot 1), removed at the end
// with the line let go quiet before the harness takes the lines apart.
class SoakHost : public host::Host {
  public:
    host::Reader& reader;
    SoakHost() : reader(add_reader({.sim = {.slot0_card = "t1"}, .tap = false})) {
        kernel().set_verifier_handler(
            [](const std::string& message) { ADD_FAILURE() << "verifier: " << message; });
        EXPECT_EQ(reader.add(), STATUS_SUCCESS);
        EXPECT_EQ(reader.start(), STATUS_SUCCESS);
    }
    ~SoakHost() {
        if (reader.added())
            reader.remove();
        kernel().sleep_for(kern::seconds(1));
    }
};

} // namespace qkr::robust
