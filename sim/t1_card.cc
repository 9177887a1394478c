#include "sim/t1_card.h"

#include <algorithm>

namespace qkr::sim {

namespace {

constexpr std::uint8_t kMore = 0x20;

bool is_i(std::uint8_t pcb) {
    return (pcb & 0x80) == 0;
}
bool is_r(std::uint8_t pcb) {
    return (pcb & 0xC0) == 0x80;
}

} // namespace

std::uint16_t t1_crc(std::span<const std::uint8_t> data) {
    std::uint16_t fcs = 0xFFFF;
    for (std::uint8_t b : data) {
        fcs ^= b;
        for (int i = 0; i < 8; ++i)
            fcs = (fcs & 1) ? static_cast<std::uint16_t>((fcs >> 1) ^ 0x8408)
                            : static_cast<std::uint16_t>(fcs >> 1);
    }
    return static_cast<std::uint16_t>(~fcs);
}

Bytes t1_epilogue(std::span<const std::uint8_t> data, bool crc) {
    if (!crc) {
        std::uint8_t lrc = 0;
        for (std::uint8_t b : data)
            lrc ^= b;
        return {lrc};
    }
    const std::uint16_t fcs = t1_crc(data);
    return {static_cast<std::uint8_t>(fcs & 0xFF), static_cast<std::uint8_t>(fcs >> 8)};
}

T1Card::T1Card(Config config) : config_(config) {}

void T1Card::reset() {
    ifsd_ = 32;
    ns_ = 0;
    expected_ = 0;
    rx_.clear();
    chain_blocks_ = 0;
    receiving_ = false;
    tx_.clear();
    tx_offset_ = tx_last_ = 0;
    sending_ = false;
    last_.clear();
    last_i_.clear();
}

Bytes T1Card::block(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
    Bytes b = {0x00, pcb, static_cast<std::uint8_t>(inf.size())};
    append(b, std::span<const std::uint8_t>(inf.begin(), inf.end()));
    const Bytes edc = t1_epilogue(b, config_.crc);
    append(b, std::span<const std::uint8_t>(edc.begin(), edc.end()));
    last_ = b;
    return b;
}

Bytes T1Card::r_block(std::uint8_t error) {
    return block(static_cast<std::uint8_t>(0x80 | (expected_ << 4) | error), {});
}

Bytes T1Card::resend() {
    if (last_.empty())
        return r_block(0x02);
    return last_;
}

Bytes T1Card::next_i_block() {
    const std::size_t left = tx_.size() - tx_offset_;
    const std::size_t n = std::min(left, ifsd_);
    const bool more = n < left;
    std::uint8_t pcb = static_cast<std::uint8_t>(ns_ << 6);
    if (more)
        pcb |= kMore;
    tx_last_ = n;
    sending_ = more;
    Bytes b = block(pcb, std::span(tx_).subspan(tx_offset_, n));
    last_i_ = b;
    ns_ ^= 1;
    return b;
}

Bytes T1Card::respond(Bytes response) {
    tx_ = std::move(response);
    tx_offset_ = 0;
    return next_i_block();
}

Bytes T1Card::wtx_request(std::uint8_t multiplier) {
    const std::uint8_t inf[] = {multiplier};
    return block(0xC3, inf);
}

T1Card::Outcome T1Card::receive(std::span<const std::uint8_t> b) {
    const std::size_t edc = config_.crc ? 2 : 1;
    // Anything that is not a well-formed block with a good epilogue asks for the last block
    // again, marked as an EDC error or another error.
    if (b.size() < 3 + edc || b[2] == 0xFF || b.size() != 3 + b[2] + edc)
        return {.reply = r_block(0x02)};
    const std::size_t len = b[2];
    if (t1_epilogue(b.first(3 + len), config_.crc) !=
        Bytes(b.begin() + static_cast<long>(3 + len), b.end()))
        return {.reply = r_block(0x01)};
    const std::uint8_t pcb = b[1];
    const auto inf = b.subspan(3, len);
    if (is_i(pcb))
        return take_i_block(pcb, inf);
    if (is_r(pcb))
        return take_r_block(pcb);
    return take_s_block(pcb, inf);
}

T1Card::Outcome T1Card::take_i_block(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
    const std::uint8_t ns = (pcb >> 6) & 1;
    // A repeat of a block already taken: the reader missed our answer to it.
    if (ns != expected_)
        return {.reply = resend()};
    if (inf.size() > config_.ifsc)
        return {.reply = r_block(0x02)};
    expected_ ^= 1;
    if (sending_) {
        // The reader gave up on the rest of our answer.
        sending_ = false;
        tx_.clear();
    }
    if (!receiving_) {
        rx_.clear();
        chain_blocks_ = 0;
    }
    append(rx_, inf);
    ++chain_blocks_;
    if (pcb & kMore) {
        receiving_ = true;
        return {.reply = r_block(0x00)};
    }
    receiving_ = false;
    Outcome out{.command = std::move(rx_)};
    rx_.clear();
    return out;
}

T1Card::Outcome T1Card::take_r_block(std::uint8_t pcb) {
    const std::uint8_t nr = (pcb >> 4) & 1;
    if (sending_ && nr == ns_) {
        // Our last I-block arrived: on with the chain.
        tx_offset_ += tx_last_;
        return {.reply = next_i_block()};
    }
    if (!receiving_ && !last_i_.empty() && nr != ns_) {
        // The reader wants our last I-block again: send it with its old number.
        last_ = last_i_;
        return {.reply = last_i_};
    }
    return {.reply = resend()};
}

T1Card::Outcome T1Card::take_s_block(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
    switch (pcb) {
    case 0xC0: // RESYNCH
        reset();
        return {.reply = block(0xE0, {})};
    case 0xC1: // IFS: the reader's receive size
        if (inf.size() != 1 || inf[0] == 0 || inf[0] == 0xFF)
            return {.reply = r_block(0x02)};
        ifsd_ = inf[0];
        return {.reply = block(0xE1, inf)};
    case 0xC2: // ABORT
        rx_.clear();
        receiving_ = false;
        tx_.clear();
        sending_ = false;
        return {.reply = block(0xE2, {})};
    case 0xE3: // WTX response to our request
        if (!last_.empty() && last_[1] == 0xC3)
            return {.wtx_confirmed = true};
        return {.reply = r_block(0x02)};
    default:
        return {.reply = r_block(0x02)};
    }
}

} // namespace qkr::sim
