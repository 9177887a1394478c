#include "sim/frame.h"

namespace qkr::sim {

std::vector<std::uint8_t> encode_frame(std::span<const std::uint8_t> payload, bool corrupt_check) {
    std::vector<std::uint8_t> out;
    out.reserve(payload.size() * 2 + 6);
    out.push_back(kDle);
    out.push_back(kStx);
    std::uint8_t check = 0;
    auto put = [&](std::uint8_t b) {
        out.push_back(b);
        if (b == kDle)
            out.push_back(kDle);
    };
    for (std::uint8_t b : payload) {
        check ^= b;
        put(b);
    }
    if (corrupt_check)
        check ^= 0x01;
    put(check);
    out.push_back(kDle);
    out.push_back(kEtx);
    return out;
}

std::vector<std::uint8_t> nak_frame() {
    return {kDle, kStx, kNak, kNak, kDle, kEtx};
}

void FrameReceiver::reset() {
    state_ = State::Hunt;
    payload_.clear();
    raw_ = 0;
}

FrameReceiver::Event FrameReceiver::push(std::uint8_t byte) {
    switch (state_) {
    case State::Hunt:
        if (byte == kDle)
            state_ = State::HuntDle;
        return Event::None;
    case State::HuntDle:
        if (byte == kStx) {
            state_ = State::Data;
            payload_.clear();
            raw_ = 2;
        } else {
            // A DLE pair or a stray DLE ETX in the noise: nothing starts.
            state_ = State::Hunt;
        }
        return Event::None;
    case State::Data:
        if (++raw_ > kMaxFrame) {
            reset();
            return Event::BadFrame;
        }
        if (byte == kDle)
            state_ = State::DataDle;
        else
            payload_.push_back(byte);
        return Event::None;
    case State::DataDle:
        if (++raw_ > kMaxFrame) {
            reset();
            return Event::BadFrame;
        }
        if (byte == kDle) {
            payload_.push_back(kDle);
            state_ = State::Data;
            return Event::None;
        }
        if (byte == kStx) {
            // The host gave up on a frame and started again.
            payload_.clear();
            raw_ = 2;
            state_ = State::Data;
            return Event::None;
        }
        if (byte == kEtx) {
            state_ = State::Hunt;
            std::uint8_t x = 0;
            for (std::uint8_t b : payload_)
                x ^= b;
            if (payload_.empty() || x != 0) {
                payload_.clear();
                return Event::BadFrame;
            }
            payload_.pop_back(); // the check byte
            return Event::Frame;
        }
        reset();
        return Event::BadFrame;
    }
    return Event::None;
}

} // namespace qkr::sim
