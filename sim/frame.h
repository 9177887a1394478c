// The reader's side of the link framing: DLE STX, payload with every DLE doubled, XOR check byte
// (doubled too when it is DLE), DLE ETX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qkr::sim {

constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kNak = 0x15;
// The firmware's receive buffer; longer frames are refused like corrupted ones.
constexpr std::size_t kMaxFrame = 1048;

// Frames a payload. `corrupt_check` flips the check byte's low bit before it goes out.
std::vector<std::uint8_t> encode_frame(std::span<const std::uint8_t> payload,
                                       bool corrupt_check = false);
// The reader's negative acknowledgement, 10 02 15 15 10 03.
std::vector<std::uint8_t> nak_frame();

// Collects command frames out of the byte stream from the host, one byte at a time.
class FrameReceiver {
  public:
    enum class Event {
        None,    // nothing finished yet
        Frame,   // a good frame: payload() holds it, check byte removed
        BadFrame // a frame ended wrong: check byte, DLE sequence, or too long
    };
    Event push(std::uint8_t byte);
    // Drops a half-received frame (the host went quiet in the middle of one).
    void reset();
    bool in_frame() const { return state_ != State::Hunt && state_ != State::HuntDle; }
    const std::vector<std::uint8_t>& payload() const { return payload_; }

  private:
    enum class State { Hunt, HuntDle, Data, DataDle };
    State state_ = State::Hunt;
    std::vector<std::uint8_t> payload_;
    std::size_t raw_ = 0;
};

} // namespace qkr::sim
