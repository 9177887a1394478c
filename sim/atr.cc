#include "sim/atr.h"

#include <array>
#include <cstring>

namespace qkr::sim {

void append(Bytes& to, std::span<const std::uint8_t> from) {
    if (from.empty())
        return;
    const std::size_t old = to.size();
    to.resize(old + from.size());
    std::memcpy(to.data() + old, from.data(), from.size());
}

unsigned f_from_code(unsigned code) {
    static constexpr std::array<unsigned, 16> f = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                                   0,   512, 768, 1024, 1536, 2048, 0,    0};
    return code < f.size() ? f[code] : 0;
}

unsigned d_from_code(unsigned code) {
    static constexpr std::array<unsigned, 16> d = {0,  1,  2, 4, 8, 16, 32, 64,
                                                   12, 20, 0, 0, 0, 0,  0,  0};
    return code < d.size() ? d[code] : 0;
}

double etu_ticks(unsigned f, unsigned d) {
    if (f == 0 || d == 0) {
        f = 372;
        d = 1;
    }
    return static_cast<double>(f) / (static_cast<double>(d) * kCardClockHz) * 1e7;
}

Bytes build_atr(const AtrShape& shape) {
    Bytes atr;
    atr.push_back(shape.inverse ? 0x3F : 0x3B);
    const bool need_group2 = shape.ta2 || (shape.tc2 && shape.t0) || shape.t1;
    const unsigned first = shape.t0 ? 0 : 1;
    const bool td1 = need_group2 || first != 0;
    std::uint8_t t0 = static_cast<std::uint8_t>(shape.historical.size() & 0x0F);
    t0 |=
        (shape.ta1 ? 0x10 : 0) | (shape.tb1 ? 0x20 : 0) | (shape.tc1 ? 0x40 : 0) | (td1 ? 0x80 : 0);
    atr.push_back(t0);
    if (shape.ta1)
        atr.push_back(*shape.ta1);
    if (shape.tb1)
        atr.push_back(*shape.tb1);
    if (shape.tc1)
        atr.push_back(*shape.tc1);
    if (td1) {
        const bool tc2 = shape.tc2 && shape.t0;
        std::uint8_t b = static_cast<std::uint8_t>(first);
        b |= (shape.ta2 ? 0x10 : 0) | (tc2 ? 0x40 : 0) | (shape.t1 ? 0x80 : 0);
        atr.push_back(b);
        if (shape.ta2)
            atr.push_back(*shape.ta2);
        if (tc2)
            atr.push_back(*shape.tc2);
        if (shape.t1) {
            atr.push_back(static_cast<std::uint8_t>(0x70 | 1)); // TA3 TB3 TC3, T=1
            atr.push_back(shape.ifsc);
            atr.push_back(static_cast<std::uint8_t>((shape.bwi << 4) | (shape.cwi & 0x0F)));
            atr.push_back(shape.crc ? 0x01 : 0x00);
        }
    }
    append(atr, std::span<const std::uint8_t>(
                    shape.historical.begin(),
                    shape.historical.begin() + static_cast<long>(shape.historical.size() & 0x0F)));
    if (shape.t1 || first != 0) {
        std::uint8_t tck = 0;
        for (std::size_t i = 1; i < atr.size(); ++i)
            tck ^= atr[i];
        atr.push_back(tck);
    }
    return atr;
}

AtrWalk walk_atr(std::span<const std::uint8_t> atr) {
    AtrWalk w;
    if (atr.size() < 2) {
        w.cut = AtrWalk::Cut::T0;
        return w;
    }
    std::size_t pos = 2;
    std::uint8_t y = atr[1] >> 4;
    w.historical = atr[1] & 0x0F;
    unsigned protocol = 0;
    for (unsigned group = 1;; ++group) {
        bool td = false;
        for (unsigned kind = 0; kind < 4; ++kind) {
            if (!(y & (1u << kind)))
                continue;
            if (pos >= atr.size()) {
                w.cut = AtrWalk::Cut::Interface;
                return w;
            }
            w.interface.push_back({group, kind, atr[pos++], protocol});
            td = kind == 3;
        }
        if (!td)
            break;
        const std::uint8_t b = w.interface.back().value;
        protocol = b & 0x0F;
        w.tck_needed = w.tck_needed || protocol != 0;
        y = b >> 4;
    }
    w.historical_at = pos;
    if (pos + w.historical > atr.size())
        w.cut = AtrWalk::Cut::Historical;
    return w;
}

namespace {

// What one interface byte tells the firmware.
void take(AtrInfo& info, const AtrWalk::Interface& b) {
    const std::uint8_t v = b.value;
    if (b.kind == 3) {
        const unsigned protocol = v & 0x0F;
        if (b.group == 1)
            info.first_protocol = protocol;
        info.offers_t0 = info.offers_t0 || protocol == 0;
        info.offers_t1 = info.offers_t1 || protocol == 1;
    } else if (b.group == 1) {
        if (b.kind == 0) {
            info.fi_code = v >> 4;
            info.di_code = v & 0x0F;
        } else if (b.kind == 2) {
            info.n = v;
        }
    } else if (b.group == 2) {
        if (b.kind == 0) {
            info.specific = true;
            info.specific_uses_ta1 = (v & 0x10) == 0;
        } else if (b.kind == 2 && b.protocol == 0) {
            info.wi = v;
        }
    }
    if (b.group >= 3 && b.protocol == 1) {
        if (b.kind == 0) {
            info.ifsc = v;
        } else if (b.kind == 1) {
            info.bwi = v >> 4;
            info.cwi = v & 0x0F;
        } else if (b.kind == 2) {
            info.crc = (v & 1) != 0;
        }
    }
}

} // namespace

std::optional<AtrInfo> parse_atr(std::span<const std::uint8_t> atr) {
    if (atr.size() < 2 || atr.size() > 33)
        return std::nullopt;
    AtrInfo info;
    if (atr[0] == 0x3F)
        info.inverse = true;
    else if (atr[0] != 0x3B)
        return std::nullopt;
    const AtrWalk w = walk_atr(atr);
    if (w.cut != AtrWalk::Cut::None)
        return std::nullopt;
    for (const AtrWalk::Interface& b : w.interface)
        take(info, b);
    if (info.first_protocol == 0)
        info.offers_t0 = true;
    const std::size_t end = w.historical_at + w.historical;
    info.historical.assign(atr.begin() + static_cast<long>(w.historical_at),
                           atr.begin() + static_cast<long>(end));
    if (!w.tck_needed)
        return end == atr.size() ? std::optional(info) : std::nullopt;
    if (end + 1 != atr.size())
        return std::nullopt;
    info.tck_present = true;
    std::uint8_t x = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        x ^= atr[i];
    info.tck_ok = x == 0;
    if (!info.tck_ok)
        return std::nullopt;
    return info;
}

} // namespace qkr::sim
