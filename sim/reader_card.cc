#include "sim/reader_impl.h"

namespace qkr::sim {

kern::Ticks ReaderSim::Impl::char_time(const Slot& s, bool t1) const {
    const unsigned guard = s.n == 255 ? 0 : s.n;
    return ticks(etu(s) * ((t1 ? 11 : 12) + guard));
}

kern::Ticks ReaderSim::Impl::work_waiting_time(const Slot& s) const {
    if (s.wt_byte != 0)
        return ticks(s.wt_byte * 960.0 * etu(s));
    return ticks(s.wi * 960.0 * s.d * etu(s));
}

kern::Ticks ReaderSim::Impl::block_waiting_time(const Slot& s) const {
    const double bwt =
        11 * etu(s) + std::ldexp(1.0, static_cast<int>(s.bwi)) * 960.0 * 372.0 / kCardClockHz * 1e7;
    return ticks(bwt * std::max(1u, s.wtx));
}

kern::Ticks ReaderSim::Impl::char_waiting_time(const Slot& s) const {
    return ticks((11 + std::ldexp(1.0, static_cast<int>(s.cwi))) * etu(s));
}

void ReaderSim::Impl::exchange(Slot& s, std::span<const std::uint8_t> body) {
    if (!s.card || !s.powered)
        return simple(kRspNoCard);
    if (s.card->kind() != CardKind::Processor)
        return error(kErrCardKind);
    if (body.empty())
        return error(kErrLength);
    if (s.pts_allowed && body[0] == 0xFF) {
        s.pts_allowed = false;
        return pts(s, body);
    }
    s.pts_allowed = false;
    end_exchange(s);
    Exchange& e = s.ex;
    e.tpdu.assign(body.begin(), body.end());
    if (s.t1) {
        if (s.index == 0 && chain_fault(s, body))
            return;
        e.kind = Exchange::Kind::T1;
        const std::uint64_t id = e.id;
        after(config.processing + char_time(s, true) * static_cast<long>(body.size()), [this, &s,
                                                                                        id] {
            if (s.ex.id != id || !s.card)
                return;
            arm_timeout(s, block_waiting_time(s));
            s.wtx = 0;
            to_card(
                s, [&s](std::span<const std::uint8_t> b) { s.card->t1_receive(b); }, s.ex.tpdu);
        });
        return;
    }
    if (body.size() < 5 || (body.size() > 5 && body.size() != 5 + std::size_t(body[4])))
        return error(kErrLength);
    e.kind = Exchange::Kind::T0;
    e.defect = version < 0x11 && body.size() == 5 && body[4] >= 0xFE;
    const std::uint64_t id = e.id;
    after(config.processing + char_time(s, false) * 5, [this, &s, id] {
        if (s.ex.id != id || !s.card)
            return;
        arm_timeout(s, work_waiting_time(s));
        to_card(
            s, [&s](std::span<const std::uint8_t> b) { s.card->t0_receive(b); },
            Bytes(s.ex.tpdu.begin(), s.ex.tpdu.begin() + 5));
    });
}

bool ReaderSim::Impl::chain_fault(Slot& s, std::span<const std::uint8_t> block) {
    const auto k = FaultsAccess::chain_removal(faults);
    const bool i_block = block.size() >= 3 && (block[1] & 0x80) == 0;
    if (k && s.chain >= *k) {
        FaultsAccess::clear_chain_removal(faults);
        s.chain = 0;
        remove_card();
        simple(kRspNoCard);
        return true;
    }
    if (i_block)
        s.chain = (block[1] & 0x20) ? s.chain + 1 : 0;
    return false;
}

void ReaderSim::Impl::arm_timeout(Slot& s, kern::Ticks limit) {
    cancel(s.ex.timeout);
    s.ex.waiting_since = kern::Kernel::current().now();
    s.ex.limit = limit;
    const std::uint64_t id = s.ex.id;
    s.ex.timeout = after(limit, [this, &s, id] {
        s.ex.timeout = 0;
        if (s.ex.id == id)
            card_timeout(s);
    });
}

void ReaderSim::Impl::card_timeout(Slot& s) {
    // A T=1 block cut short goes to the host as it is; otherwise the card said nothing.
    Bytes got = s.ex.kind == Exchange::Kind::T1 ? s.ex.got : Bytes{};
    finish(s, got);
}

void ReaderSim::Impl::finish(Slot& s, std::span<const std::uint8_t> data) {
    const Bytes r = with_length(kRspData, data);
    end_exchange(s);
    reply(r, 0);
}

void ReaderSim::Impl::on_card_emit(Slot& s, std::vector<Segment> segments) {
    std::lock_guard lock(mutex);
    if (s.ex.kind == Exchange::Kind::None)
        return;
    const bool t1 = s.ex.kind == Exchange::Kind::T1;
    // Time the card already kept the reader waiting counts against the first silence.
    const kern::Ticks waited = kern::Kernel::current().now() - s.ex.waiting_since;
    kern::Ticks limit = s.ex.limit - waited;
    const kern::Ticks ct = char_time(s, t1);
    kern::Ticks at = 0;
    Bytes chars;
    bool cut = false;
    for (auto& seg : segments) {
        if (seg.silence > limit) {
            at += std::max<kern::Ticks>(limit, 0);
            cut = true;
            break;
        }
        at += seg.silence;
        for (std::uint8_t c : seg.chars) {
            chars.push_back(s.inverse != s.card_inverse ? flip_convention(c) : c);
            at += ct;
        }
        limit = t1 ? char_waiting_time(s) : work_waiting_time(s);
    }
    cancel(s.ex.timeout);
    const std::uint64_t id = s.ex.id;
    after(at, [this, &s, id, chars = std::move(chars), cut] {
        if (s.ex.id != id)
            return;
        if (s.ex.kind == Exchange::Kind::T1)
            t1_chars(s, chars, cut);
        else
            t0_chars(s, chars, cut);
    });
}

void ReaderSim::Impl::t1_chars(Slot& s, const Bytes& chars, bool cut) {
    Exchange& e = s.ex;
    append(e.got, std::span<const std::uint8_t>(chars.begin(), chars.end()));
    if (e.got.size() >= 3) {
        const std::size_t need = 3 + e.got[2] + (s.crc ? 2 : 1);
        if (e.got.size() >= need) {
            e.got.resize(need);
            Bytes got = std::move(e.got);
            return finish(s, got);
        }
    }
    if (cut)
        return card_timeout(s);
    arm_timeout(s, char_waiting_time(s));
}

void ReaderSim::Impl::t0_chars(Slot& s, const Bytes& chars, bool cut) {
    Exchange& e = s.ex;
    const std::uint8_t ins = e.tpdu[1];
    const std::uint8_t p3 = e.tpdu[4];
    const std::size_t data_len = e.tpdu.size() - 5;
    for (std::uint8_t c : chars) {
        switch (e.phase) {
        case Exchange::Phase::Proc:
            if (c == 0x60)
                continue; // NULL: the card wants more time
            if ((c & 0xF0) == 0x60 || (c & 0xF0) == 0x90) {
                e.sw1 = c;
                e.phase = Exchange::Phase::Sw2;
                continue;
            }
            if (c == ins || c == static_cast<std::uint8_t>(~ins)) {
                const bool all = c == ins;
                if (e.sent < data_len) {
                    const std::size_t n = all ? data_len - e.sent : 1;
                    Bytes part(e.tpdu.begin() + static_cast<long>(5 + e.sent),
                               e.tpdu.begin() + static_cast<long>(5 + e.sent + n));
                    e.sent += n;
                    const std::uint64_t id = e.id;
                    after(char_time(s, false) * static_cast<long>(n), [this, &s, id,
                                                                       part = std::move(part)] {
                        if (s.ex.id != id || !s.card)
                            return;
                        arm_timeout(s, work_waiting_time(s));
                        to_card(
                            s, [&s](std::span<const std::uint8_t> b) { s.card->t0_receive(b); },
                            part);
                    });
                    return;
                }
                const std::size_t ne = p3 == 0 ? 256 : p3;
                e.expect = all ? ne - std::min(ne, e.got.size()) : 1;
                if (e.defect && all) {
                    // This firmware counts what is still to come together with the status
                    // word in eight bits: for P3 0xFE or 0xFF that wraps to 0 or 1.
                    e.expect = (p3 + 2) & 0xFF;
                    e.defect_armed = true;
                    if (e.expect == 0) {
                        Bytes got = std::move(e.got);
                        return finish(s, got);
                    }
                }
                if (e.expect == 0)
                    continue;
                e.phase = Exchange::Phase::Data;
                continue;
            }
            // Not a procedure byte: the card has lost track.
            return finish(s, {});
        case Exchange::Phase::Data:
            e.got.push_back(c);
            if (--e.expect == 0) {
                if (e.defect_armed) {
                    Bytes got = std::move(e.got);
                    return finish(s, got);
                }
                e.phase = Exchange::Phase::Proc;
            }
            continue;
        case Exchange::Phase::Sw2: {
            e.got.push_back(e.sw1);
            e.got.push_back(c);
            Bytes got = std::move(e.got);
            return finish(s, got);
        }
        }
    }
    if (cut)
        return card_timeout(s);
    arm_timeout(s, work_waiting_time(s));
}

} // namespace qkr::sim
