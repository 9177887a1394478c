// Observation of a serial port and its line: every request the port received and every character
// that crossed the line, with the kernel clock's time. Tests assert exact request sequences and
// byte timing from it; benchmarks switch it off.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/kernel/nt.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace qkr::serial {

enum class Direction : std::uint8_t {
    ToDevice, // host (port) to the far end
    ToHost,   // far end to the host
};

struct TapByte {
    kern::Ticks time = 0; // when the last bit arrived at the receiver
    Direction direction = Direction::ToDevice;
    std::uint8_t byte = 0;     // as sent
    std::uint8_t received = 0; // as the receiver's UART saw it
    bool garbled = false;      // the two ends disagreed on speed or format
};

struct TapRequest {
    kern::Ticks time = 0; // when the port received it
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0; // control code of a device control request, else 0
    // Input bytes of a control request, or the data of a write.
    std::vector<std::uint8_t> input;
    ULONG input_length = 0;
    ULONG output_length = 0;          // output buffer length, or the length of a read
    NTSTATUS status = STATUS_PENDING; // STATUS_PENDING while not yet completed
    ULONG_PTR information = 0;
    bool completed = false;
};

class Tap {
  public:
    using Id = std::uint64_t;
    static constexpr Id kNone = 0;

    void set_enabled(bool enabled);
    bool enabled() const;
    void clear();

    std::vector<TapRequest> requests() const;
    std::vector<TapByte> bytes() const;
    // The characters that travelled one way, in order, as sent.
    std::vector<std::uint8_t> data(Direction direction) const;
    // Control codes of the device control requests, in the order they arrived.
    std::vector<ULONG> control_codes() const;

    // Recording, for the port and the line.
    Id begin_request(TapRequest request);
    void end_request(Id id, NTSTATUS status, ULONG_PTR information);
    void record_byte(const TapByte& byte);

  private:
    mutable std::mutex mutex_;
    bool enabled_ = true;
    std::vector<TapRequest> requests_;
    std::vector<TapByte> bytes_;
    Id base_ = 0; // ids at or below it belong to records dropped by clear()
};

} // namespace qkr::serial
