// Faults the simulated reader can be told to commit. Counted faults hit the next N commands or
// replies and then wear off; random mode hits a share of all frames, drawn from a seed, so a run
// can be repeated exactly.
#pragma once

#include "platform/kernel/kernel.h"
#include "sim/card.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace qkr::sim {

class Faults {
  public:
    // Commands answered with the NAK frame without being carried out.
    void nak_next(int n = 1) { nak_ = n; }
    // Commands taken in and never answered nor carried out.
    void silent_next(int n = 1) { silent_ = n; }
    // Replies whose check byte is wrong.
    void corrupt_next(int n = 1) { corrupt_ = n; }
    // Replies cut after `keep` bytes, after which the reader says nothing more.
    void truncate_next(std::size_t keep, int n = 1) {
        truncate_ = n;
        truncate_keep_ = keep;
    }
    // Replies preceded by line noise (no DLE in it).
    void noise_next(int n = 1) { noise_ = n; }
    // These bytes, as they are, ahead of the next reply.
    void noise_before_next(Bytes bytes) { noise_bytes_ = std::move(bytes); }
    // Replies preceded by DLE DLE pairs, which a receiver must not take for a frame start.
    void dle_pairs_next(int n = 1) { dle_pairs_ = n; }
    // Replies preceded by a lone DLE ETX.
    void stray_etx_next(int n = 1) { stray_etx_ = n; }
    // Replies sent in pieces of `size` bytes with `gap` between them.
    void chunk_next(std::size_t size, kern::Ticks gap, int n = 1) {
        chunk_ = n;
        chunk_size_ = size;
        chunk_gap_ = gap;
    }
    // Replies held back for `extra` beyond the usual time.
    void delay_next(kern::Ticks extra, int n = 1) {
        delay_ = n;
        delay_extra_ = extra;
    }
    // The next link speed change is refused.
    void refuse_speed_change() { refuse_speed_ = true; }
    // The card answers the next PTS request this way instead of its own.
    void next_pts(PtsBehaviour behaviour) { pts_ = behaviour; }
    // Under T=1, the card in slot 0 is pulled out when the reader has passed it `blocks`
    // I-blocks of one command chain; that block is answered RDRSP_NO_CARD.
    void remove_card_in_chain(std::size_t blocks) { chain_removal_ = blocks; }
    // Random mode: `percent` of the commands are NAKed and of the replies corrupted, cut short
    // or delayed, chosen from `seed`. 0 percent switches it off.
    void random(std::uint64_t seed, unsigned percent) {
        rng_ = seed;
        percent_ = percent > 100 ? 100 : percent;
    }
    void clear() { *this = Faults(); }
    // Whether any fault is still to strike.
    bool armed() const {
        return nak_ > 0 || silent_ > 0 || corrupt_ > 0 || truncate_ > 0 || noise_ > 0 ||
               !noise_bytes_.empty() || dle_pairs_ > 0 || stray_etx_ > 0 || chunk_ > 0 ||
               delay_ > 0 || refuse_speed_ || pts_ || chain_removal_ || percent_ > 0;
    }

  private:
    friend class FaultsAccess;
    static bool take(int& counter) {
        if (counter <= 0)
            return false;
        --counter;
        return true;
    }
    std::uint64_t next();
    int nak_ = 0;
    int silent_ = 0;
    int corrupt_ = 0;
    int truncate_ = 0;
    std::size_t truncate_keep_ = 0;
    int noise_ = 0;
    Bytes noise_bytes_;
    int dle_pairs_ = 0;
    int stray_etx_ = 0;
    int chunk_ = 0;
    std::size_t chunk_size_ = 1;
    kern::Ticks chunk_gap_ = 0;
    int delay_ = 0;
    kern::Ticks delay_extra_ = 0;
    bool refuse_speed_ = false;
    std::optional<PtsBehaviour> pts_;
    std::optional<std::size_t> chain_removal_;
    std::uint64_t rng_ = 0;
    unsigned percent_ = 0;
};

} // namespace qkr::sim
