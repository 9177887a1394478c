#include "sim/reader_impl.h"

namespace qkr::sim {

kern::Kernel::TimerId ReaderSim::Impl::after(kern::Ticks delay, std::function<void()> fn) {
    auto& k = kern::Kernel::current();
    std::weak_ptr<Impl> weak = weak_from_this();
    auto id_box = std::make_shared<kern::Kernel::TimerId>(0);
    const auto id = k.schedule_after(
        std::max<kern::Ticks>(delay, 0),
        [weak, id_box, fn = std::move(fn)] {
            auto self = weak.lock();
            if (!self)
                return;
            std::lock_guard lock(self->mutex);
            self->timers.erase(*id_box);
            fn();
        },
        "qkr-sim");
    *id_box = id;
    timers.insert(id);
    return id;
}

void ReaderSim::Impl::cancel(kern::Kernel::TimerId& id) {
    if (id != 0) {
        kern::Kernel::current().cancel(id);
        timers.erase(id);
        id = 0;
    }
}

void ReaderSim::Impl::cancel_all() {
    auto& k = kern::Kernel::current();
    for (auto id : timers)
        k.cancel(id);
    timers.clear();
    for (auto& s : slots)
        s.ex = Exchange{.id = s.ex.id + 1};
}

serial::LineFormat ReaderSim::Impl::format() const {
    serial::LineFormat f;
    f.baud = baud;
    return f;
}

void ReaderSim::Impl::receive(std::uint8_t byte) {
    if (!powered)
        return;
    const kern::Ticks now = kern::Kernel::current().now();
    if (rx.in_frame() && now - last_rx > config.receive_timeout)
        rx.reset();
    last_rx = now;
    switch (rx.push(byte)) {
    case FrameReceiver::Event::None:
        break;
    case FrameReceiver::Event::Frame:
        command(rx.payload());
        break;
    case FrameReceiver::Event::BadFrame:
        if (!busy) {
            busy = true;
            send_nak();
        }
        break;
    }
}

void ReaderSim::Impl::send_nak() {
    ++naks;
    transmit(nak_frame(), config.processing, 0, 0);
}

// Queues a reply frame `delay` from now, faults applied.
void ReaderSim::Impl::reply(std::span<const std::uint8_t> payload, kern::Ticks delay) {
    auto s = FaultsAccess::shape(faults, payload);
    const std::size_t chunk = s.chunk ? s.chunk : config.chunk;
    const kern::Ticks gap = s.chunk ? s.gap : config.chunk_gap;
    transmit(std::move(s.frame), delay + s.extra, chunk, gap);
}

kern::Ticks ReaderSim::Impl::line_time(std::size_t bytes) const {
    const serial::LineFormat f = format();
    return ticks(static_cast<double>(bytes) * f.bits_per_char() * 1e7 / f.baud);
}

void ReaderSim::Impl::transmit(Bytes frame, kern::Ticks delay, std::size_t chunk, kern::Ticks gap) {
    if (chunk == 0 || chunk >= frame.size()) {
        after(delay, [this, frame = std::move(frame)] {
            if (side)
                side->send(frame);
            sent(frame.size());
        });
        return;
    }
    kern::Ticks at = delay;
    for (std::size_t pos = 0; pos < frame.size(); pos += chunk) {
        const std::size_t n = std::min(chunk, frame.size() - pos);
        Bytes piece(frame.begin() + static_cast<long>(pos),
                    frame.begin() + static_cast<long>(pos + n));
        const bool last = pos + n >= frame.size();
        after(at, [this, piece = std::move(piece), last, total = frame.size()] {
            if (side)
                side->send(piece);
            if (last)
                sent(total);
        });
        at += line_time(n) + gap;
    }
}

// The whole reply is queued at the UART: the firmware takes the next command.
void ReaderSim::Impl::sent(std::size_t bytes) {
    busy = false;
    if (pending_baud != 0) {
        // The new speed applies once the reply has left at the old one.
        const std::uint32_t b = pending_baud;
        after(line_time(bytes) + kern::microseconds(100), [this, b] {
            if (pending_baud == b)
                switch_speed();
        });
    }
}

void ReaderSim::Impl::switch_speed() {
    if (pending_baud == 0)
        return;
    baud = pending_baud;
    pending_baud = 0;
    if (side)
        side->set_format(format());
}

void ReaderSim::Impl::update_lines() {
    if (!side)
        return;
    side->set_dsr(powered);
    side->set_cts(powered && slots[0].card != nullptr && !cts_held_off);
}

} // namespace qkr::sim
