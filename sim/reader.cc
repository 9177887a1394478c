#include "sim/reader_impl.h"

namespace qkr::sim {

std::uint64_t Faults::next() {
    rng_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = rng_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

ReaderSim::Impl::Impl(ReaderConfig c) : config(std::move(c)), baud(config.baud) {
    for (int i = 0; i < 2; ++i) {
        slots[i].reader = this;
        slots[i].index = i;
    }
    slots[1].card = make_card(config.slot1_card, config.seed + 1);
    if (!slots[1].card)
        slots[1].card = make_card("t0", config.seed + 1);
    slots[1].card->attach(&slots[1]);
    for (char ch : config.firmware.substr(0, 4))
        version = version * 16 + static_cast<unsigned>(ch - '0');
}

ReaderSim::Impl::~Impl() {
    if (auto* k = kern::Kernel::current_or_null())
        for (auto id : timers)
            k->cancel(id);
    for (auto& s : slots)
        if (s.card)
            s.card->attach(nullptr);
}

ReaderSim::ReaderSim(ReaderConfig config) : impl_(std::make_shared<Impl>(std::move(config))) {
    if (!impl_->config.slot0_card.empty()) {
        auto& s = impl_->slots[0];
        s.card = make_card(impl_->config.slot0_card, impl_->config.seed);
        if (s.card)
            s.card->attach(&s);
    }
}

ReaderSim::~ReaderSim() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->side)
        impl_->side = nullptr;
}

void ReaderSim::connect(serial::DeviceSide* side) {
    std::lock_guard lock(impl_->mutex);
    impl_->side = side;
    if (side) {
        side->set_format(impl_->format());
        impl_->update_lines();
    }
}

void ReaderSim::on_byte(std::uint8_t byte, bool) {
    std::lock_guard lock(impl_->mutex);
    impl_->receive(byte);
}

void ReaderSim::on_host_lines(bool, bool, bool) {}

void ReaderSim::on_tx_empty() {
    std::lock_guard lock(impl_->mutex);
    impl_->switch_speed();
}

void ReaderSim::insert(std::unique_ptr<Card> card) {
    std::lock_guard lock(impl_->mutex);
    impl_->insert_card(std::move(card));
}

void ReaderSim::remove() {
    std::lock_guard lock(impl_->mutex);
    impl_->remove_card();
}

bool ReaderSim::card_present() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->slots[0].card != nullptr;
}

const Card* ReaderSim::card() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->slots[0].card.get();
}

void ReaderSim::post(std::function<void()> fn) {
    std::lock_guard lock(impl_->mutex);
    impl_->after(0, std::move(fn));
}

void ReaderSim::set_slot1_card(std::unique_ptr<Card> card) {
    std::lock_guard lock(impl_->mutex);
    if (!card)
        return;
    auto& s = impl_->slots[1];
    const bool waiting = s.ex.kind != Impl::Exchange::Kind::None;
    s.card->attach(nullptr);
    impl_->end_exchange(s);
    s.powered = false;
    s.card = std::move(card);
    s.card->attach(&s);
    if (waiting)
        impl_->simple(kRspNoCard); // the old card went away under the reader
}

void ReaderSim::set_powered(bool on) {
    std::lock_guard lock(impl_->mutex);
    impl_->set_power(on);
}

bool ReaderSim::powered() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->powered;
}

void ReaderSim::drop_dsr(kern::Ticks off_for) {
    std::lock_guard lock(impl_->mutex);
    impl_->set_power(false);
    Impl* impl = impl_.get();
    impl_->after(off_for, [impl] { impl->set_power(true); });
}

void ReaderSim::pulse_cts(kern::Ticks off_for) {
    std::lock_guard lock(impl_->mutex);
    impl_->cts_held_off = true;
    impl_->update_lines();
    Impl* impl = impl_.get();
    impl_->after(off_for, [impl] {
        impl->cts_held_off = false;
        impl->update_lines();
    });
}

Faults& ReaderSim::faults() {
    return impl_->faults;
}

const ReaderConfig& ReaderSim::config() const {
    return impl_->config;
}

std::uint32_t ReaderSim::baud() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->baud;
}

void ReaderSim::set_command_observer(std::function<void(std::span<const std::uint8_t>)> observer) {
    std::lock_guard lock(impl_->mutex);
    impl_->observer = std::move(observer);
}

std::uint64_t ReaderSim::commands_received() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->commands;
}

std::uint64_t ReaderSim::naks_sent() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->naks;
}

} // namespace qkr::sim
