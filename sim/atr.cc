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

std::optional<AtrInfo> parse_atr(std::span<const std::uint8_t> atr) {
    if (atr.size() < 2 || atr.size() > 33)
        return std::nullopt;
    AtrInfo info;
    if (atr[0] == 0x3F)
        info.inverse = true;
    else if (atr[0] != 0x3B)
        return std::nullopt;
    std::size_t pos = 1;
    std::uint8_t y = atr[pos] >> 4;
    const unsigned k = atr[pos] & 0x0F;
    ++pos;
    unsigned group = 1;
    unsigned protocol = 0; // protocol announced by the TD that opened this group
    bool need_tck = false;
    auto take = [&](std::uint8_t& out) {
        if (pos >= atr.size())
            return false;
        out = atr[pos++];
        return true;
    };
    while (true) {
        std::uint8_t ta = 0, tb = 0, tc = 0, td = 0;
        const bool has_a = y & 1, has_b = y & 2, has_c = y & 4, has_d = y & 8;
        if ((has_a && !take(ta)) || (has_b && !take(tb)) || (has_c && !take(tc)) ||
            (has_d && !take(td)))
            return std::nullopt;
        if (group == 1) {
            if (has_a) {
                info.fi_code = ta >> 4;
                info.di_code = ta & 0x0F;
            }
            if (has_c)
                info.n = tc;
        } else if (group == 2) {
            if (has_a) {
                info.specific = true;
                info.specific_uses_ta1 = (ta & 0x10) == 0;
            }
            if (has_c && protocol == 0)
                info.wi = tc;
        }
        if (group >= 3 && protocol == 1) {
            if (has_a)
                info.ifsc = ta;
            if (has_b) {
                info.bwi = tb >> 4;
                info.cwi = tb & 0x0F;
            }
            if (has_c)
                info.crc = (tc & 1) != 0;
        }
        if (!has_d)
            break;
        protocol = td & 0x0F;
        if (group == 1)
            info.first_protocol = protocol;
        if (protocol == 0)
            info.offers_t0 = true;
        else if (protocol == 1)
            info.offers_t1 = true;
        if (protocol != 0)
            need_tck = true;
        y = td >> 4;
        ++group;
    }
    if (info.first_protocol == 0)
        info.offers_t0 = true;
    if (pos + k > atr.size())
        return std::nullopt;
    info.historical.assign(atr.begin() + static_cast<long>(pos),
                           atr.begin() + static_cast<long>(pos + k));
    pos += k;
    if (need_tck) {
        if (pos + 1 != atr.size())
            return std::nullopt;
        info.tck_present = true;
        std::uint8_t x = 0;
        for (std::size_t i = 1; i < atr.size(); ++i)
            x ^= atr[i];
        info.tck_ok = x == 0;
        if (!info.tck_ok)
            return std::nullopt;
    } else if (pos != atr.size()) {
        return std::nullopt;
    }
    return info;
}

} // namespace qkr::sim
