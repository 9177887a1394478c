#include "sim/reader_impl.h"

namespace qkr::sim {

void ReaderSim::Impl::insert_card(std::unique_ptr<Card> card) {
    remove_card();
    slots[0].card = std::move(card);
    if (slots[0].card)
        slots[0].card->attach(&slots[0]);
    update_lines();
}

void ReaderSim::Impl::remove_card() {
    Slot& s = slots[0];
    if (!s.card)
        return;
    const bool waiting = s.ex.kind != Exchange::Kind::None;
    s.card->power_off();
    s.card->attach(nullptr);
    s.card.reset();
    s.powered = false;
    s.chain = 0;
    end_exchange(s);
    if (waiting)
        simple(kRspNoCard); // the reader notices the card gone under it
    update_lines();
}

void ReaderSim::Impl::set_power(bool on) {
    if (on == powered)
        return;
    powered = on;
    if (!on) {
        // Every timer goes, the end of a CTS pulse included, so the pulse ends here.
        cancel_all();
        cts_held_off = false;
        for (auto& s : slots) {
            if (s.card)
                s.card->power_off();
            s.powered = false;
        }
        rx.reset();
        busy = false;
        pending_baud = 0;
        if (baud != config.baud) {
            baud = config.baud;
            if (side)
                side->set_format(format());
        }
    }
    update_lines();
}

} // namespace qkr::sim
