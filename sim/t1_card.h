// The card's half of the T=1 block protocol (ISO/IEC 7816-3): I-blocks with chaining both ways,
// R-blocks, S-blocks (RESYNCH, IFS, ABORT, WTX), LRC or CRC, and the card's error recovery.
// Deliberately written apart from the host's engine so that each checks the other.
#pragma once

#include "sim/atr.h"

#include <cstdint>
#include <optional>
#include <span>

namespace qkr::sim {

// The epilogue of a block over `data` (prologue and information field): one LRC byte, or the
// The ISO/IEC 13239 CRC of `data`.
std::uint16_t t1_crc(std::span<const std::uint8_t> data);
// A block's epilogue: its LRC, or its CRC least significant byte first.
Bytes t1_epilogue(std::span<const std::uint8_t> data, bool crc);

class T1Card {
  public:
    struct Config {
        std::uint8_t ifsc = 32; // what the card takes in one I-block
        bool crc = false;
    };
    explicit T1Card(Config config);

    // Back to the state after an ATR: sequence numbers 0, IFSD 32, no chain.
    void reset();

    struct Outcome {
        Bytes reply;                  // a block to send now (empty when `command` is set)
        std::optional<Bytes> command; // a complete command APDU for the application
        bool wtx_confirmed = false;   // the reader answered our waiting-time request
    };
    Outcome receive(std::span<const std::uint8_t> block);
    // The first block of the answer to the last command (more follow as the reader asks).
    Bytes respond(Bytes response);
    // An S(WTX request) for `multiplier` times the block waiting time.
    Bytes wtx_request(std::uint8_t multiplier);

    std::size_t ifsd() const { return ifsd_; }
    // Blocks received in the current command chain.
    std::size_t chained_blocks() const { return chain_blocks_; }

  private:
    Outcome take_i_block(std::uint8_t pcb, std::span<const std::uint8_t> inf);
    Outcome take_r_block(std::uint8_t pcb);
    Outcome take_s_block(std::uint8_t pcb, std::span<const std::uint8_t> inf);
    Bytes block(std::uint8_t pcb, std::span<const std::uint8_t> inf);
    Bytes r_block(std::uint8_t error);
    Bytes next_i_block();
    Bytes resend();

    Config config_;
    std::size_t ifsd_ = 32;
    std::uint8_t ns_ = 0;       // N(S) of the card's next I-block
    std::uint8_t expected_ = 0; // N(S) the card expects from the reader
    Bytes rx_;                  // command being received
    std::size_t chain_blocks_ = 0;
    bool receiving_ = false;
    Bytes tx_;                  // answer being sent
    std::size_t tx_offset_ = 0; // start of the unacknowledged part
    std::size_t tx_last_ = 0;   // length of the last I-block sent
    bool sending_ = false;
    Bytes last_;   // the last block sent, for retransmission
    Bytes last_i_; // the last I-block sent
};

} // namespace qkr::sim
