// The simulated two-slot reader at the far end of the serial line: firmware that takes framed
// commands, talks to the cards in its slots on a card clock of its own, and answers in frames,
// with the timing of a real reader and faults on request. Commands, cards and faults are
// described in sim/README.md.
//
// Everything runs in kernel timer callbacks; the public calls act at once and must come from the
// thread that drives the kernel's clock or from timer context.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/serial/line.h"
#include "sim/card.h"
#include "sim/faults.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qkr::sim {

// Reply codes beyond the five every reader answers with.
constexpr std::uint8_t kReplyError = 0x6E; // byte 1 says why; see sim/README.md

struct ReaderConfig {
    // Four ASCII digits at the end of the type reply; read as a hexadecimal number.
    std::string firmware = "0016";
    // The twelve bytes before them.
    std::string identification = "BRIMVEL QK41";
    std::uint32_t baud = 19200; // the UART's speed at power-up
    kern::Ticks processing = kern::milliseconds(2);
    // Replies leave in pieces of this many bytes with `chunk_gap` between (0: whole frames).
    std::size_t chunk = 0;
    kern::Ticks chunk_gap = 0;
    // A frame the host leaves unfinished for this long is dropped.
    kern::Ticks receive_timeout = kern::milliseconds(500);
    // The card in slot 0 at the start, by name (see make_card); empty: the slot is empty.
    std::string slot0_card;
    // Slot 1's card, by name (see make_card).
    std::string slot1_card = "t0";
    std::uint64_t seed = 1;
};

class ReaderSim : public serial::LineDevice {
  public:
    explicit ReaderSim(ReaderConfig config = {});
    ~ReaderSim() override;
    ReaderSim(const ReaderSim&) = delete;
    ReaderSim& operator=(const ReaderSim&) = delete;

    // serial::LineDevice
    void connect(serial::DeviceSide* side) override;
    void on_byte(std::uint8_t byte, bool garbled) override;
    void on_host_lines(bool dtr, bool rts, bool brk) override;
    void on_tx_empty() override;

    // Slot 0. Inserting raises CTS; removing drops it and ends whatever the card was doing.
    void insert(std::unique_ptr<Card> card);
    void remove();
    bool card_present() const;
    // The card in slot 0 (nullptr when empty); only to compare, the reader owns it.
    const Card* card() const;
    // Runs `fn` from the kernel's timer queue with the reader's state to itself; the way in for
    // threads of other parts (the external card bridge). Safe from any thread.
    void post(std::function<void()> fn);
    // Slot 1 always holds a card; this swaps it.
    void set_slot1_card(std::unique_ptr<Card> card);

    // The reader's own power (DSR). Switching off forgets every card's power and the link
    // speed.
    void set_powered(bool on);
    bool powered() const;
    // DSR off now and on again after `off_for` (the reader restarts).
    void drop_dsr(kern::Ticks off_for);
    // CTS off now and on again after `off_for`; the card stays in.
    void pulse_cts(kern::Ticks off_for);

    Faults& faults();
    const ReaderConfig& config() const;
    std::uint32_t baud() const; // the UART's current speed

    // Each good command frame's payload as it arrives (before any fault takes effect).
    void set_command_observer(std::function<void(std::span<const std::uint8_t>)> observer);
    std::uint64_t commands_received() const;
    std::uint64_t naks_sent() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

} // namespace qkr::sim
