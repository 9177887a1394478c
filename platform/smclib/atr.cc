// Evaluation of the answer to reset under ISO/IEC 7816-3 (clause 8).
#include "platform/smclib/private.h"

#include <array>
#include <cstring>

namespace qkr::smclib {

namespace {

constexpr std::array<std::uint32_t, 16> kFi = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                               0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr std::array<std::uint32_t, 16> kDi = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

constexpr ULONG kDefaultClockKhz = 3571;
constexpr UCHAR kDefaultWi = 10;
constexpr UCHAR kDefaultIfsc = 32;
constexpr UCHAR kDefaultBwi = 4;
constexpr UCHAR kDefaultCwi = 13;

// What the interface bytes say, before any of it is applied to the slot.
struct Atr {
    bool inverse = false;
    bool ta1_present = false;
    unsigned fi_code = 1;
    unsigned di_code = 1;
    UCHAR n = 0;
    bool specific = false;
    bool implicit = false; // TA2 bit 5: parameters not given by the interface bytes
    unsigned specific_protocol = 0;
    UCHAR wi = kDefaultWi;
    UCHAR ifsc = kDefaultIfsc;
    UCHAR bwi = kDefaultBwi;
    UCHAR cwi = kDefaultCwi;
    UCHAR edc = 0;
    ULONG protocols = 0;
    const UCHAR* historical = nullptr;
    unsigned historical_length = 0;
};

// One group's interface bytes and where they belong: group 1 is global, group 2 is global or
// about the first protocol offered; from group 3 on, the T of the previous TD.
struct Group {
    unsigned number = 1;
    unsigned protocol = 0;
    bool has_ta = false, has_tb = false, has_tc = false;
    UCHAR ta = 0, tb = 0, tc = 0;
};

// The first TA, TB and TC of T=1 groups count; later ones are ignored.
struct T1Seen {
    bool ta = false, tb = false, tc = false;
};

void take_group(const Group& g, T1Seen& seen, Atr& out) {
    // TB1 and TB2 (programming voltage) are deprecated and ignored.
    if (g.number == 1) {
        if (g.has_ta) {
            out.ta1_present = true;
            out.fi_code = g.ta >> 4;
            out.di_code = g.ta & 0x0F;
        }
        if (g.has_tc)
            out.n = g.tc;
    } else if (g.number == 2) {
        if (g.has_ta) {
            out.specific = true;
            out.implicit = (g.ta & 0x10) != 0;
            out.specific_protocol = g.ta & 0x0F;
        }
        if (g.has_tc)
            out.wi = g.tc;
    } else if (g.protocol == 1) {
        if (g.has_ta && !seen.ta) {
            seen.ta = true;
            // IFSC 0x00 and 0xFF are reserved; keep the default rather than refuse the card.
            if (g.ta != 0x00 && g.ta != 0xFF)
                out.ifsc = g.ta;
        }
        if (g.has_tb && !seen.tb) {
            seen.tb = true;
            out.bwi = g.tb >> 4;
            out.cwi = g.tb & 0x0F;
        }
        if (g.has_tc && !seen.tc) {
            seen.tc = true;
            out.edc = g.tc & 0x01;
        }
    }
}

// The historical bytes and the check byte after the interface bytes.
bool take_tail(const UCHAR* atr, unsigned length, unsigned pos, unsigned k, bool tck_required,
               Atr& out) {
    if (pos + k > length)
        return false;
    out.historical = atr + pos;
    out.historical_length = k;
    pos += k;
    // Some T=0-only cards send a check byte anyway; accept exactly one that checks out.
    if (pos != length && pos + 1 != length)
        return false;
    if (tck_required && pos + 1 != length)
        return false;
    if (pos + 1 == length) {
        UCHAR x = 0;
        for (unsigned i = 1; i < length; i++)
            x ^= atr[i];
        if (x != 0)
            return false;
    }
    return true;
}

bool parse(const UCHAR* atr, unsigned length, Atr& out) {
    if (length < 2 || length > MAXIMUM_ATR_LENGTH)
        return false;
    if (atr[0] == 0x3B)
        out.inverse = false;
    else if (atr[0] == 0x3F)
        out.inverse = true;
    else
        return false;

    unsigned pos = 1;
    UCHAR y = atr[pos] >> 4;
    const unsigned k = atr[pos] & 0x0F;
    pos++;
    bool tck_required = false;
    bool any_td = false;
    Group g;
    T1Seen seen;
    for (;;) {
        g.has_ta = y & 0x1;
        g.has_tb = y & 0x2;
        g.has_tc = y & 0x4;
        const bool has_td = y & 0x8;
        const unsigned needed = unsigned(g.has_ta) + g.has_tb + g.has_tc + has_td;
        if (pos + needed > length)
            return false;
        g.ta = g.has_ta ? atr[pos++] : 0;
        g.tb = g.has_tb ? atr[pos++] : 0;
        g.tc = g.has_tc ? atr[pos++] : 0;
        const UCHAR td = has_td ? atr[pos++] : 0;
        take_group(g, seen, out);
        if (!has_td)
            break;
        any_td = true;
        const unsigned t = td & 0x0F;
        if (t != 0)
            tck_required = true;
        if (t == 0)
            out.protocols |= SCARD_PROTOCOL_T0;
        else if (t == 1)
            out.protocols |= SCARD_PROTOCOL_T1;
        g.protocol = t;
        g.number++;
        y = td >> 4;
    }
    if (!any_td)
        out.protocols = SCARD_PROTOCOL_T0;
    return take_tail(atr, length, pos, k, tck_required, out);
}

// Microseconds, rounded to the nearest, of `cycles` clock cycles at `khz`.
ULONG cycles_to_us(std::uint64_t cycles, ULONG khz) {
    const std::uint64_t us = (cycles * 1000 + khz / 2) / khz;
    return us > 0xFFFFFFFFull ? 0xFFFFFFFFu : ULONG(us);
}

bool rate_supported(const SCARD_READER_CAPABILITIES& reader, std::uint64_t rate, ULONG& entry) {
    if (reader.DataRatesSupported.List == nullptr)
        return false;
    for (unsigned i = 0; i < reader.DataRatesSupported.Entries; i++) {
        const std::uint64_t listed = reader.DataRatesSupported.List[i];
        // The nominal rates of a list (9600, 19200, ...) are what f*D/F rounds to at 3.5712 MHz.
        const std::uint64_t diff = listed > rate ? listed - rate : rate - listed;
        if (listed != 0 && diff * 100 <= listed) {
            entry = ULONG(listed);
            return true;
        }
    }
    return false;
}

// The rate as the reader names it when it runs it, else as computed.
ULONG nominal_rate(const SCARD_READER_CAPABILITIES& reader, std::uint64_t rate) {
    ULONG entry = 0;
    if (rate_supported(reader, rate, entry))
        return entry;
    return rate > 0xFFFFFFFFull ? 0xFFFFFFFFu : ULONG(rate);
}

} // namespace

std::uint32_t fi_factor(unsigned code) {
    return code < kFi.size() ? kFi[code] : 0;
}
std::uint32_t di_factor(unsigned code) {
    return code < kDi.size() ? kDi[code] : 0;
}

} // namespace qkr::smclib

using namespace qkr::smclib;

namespace {

// Everything derived from an earlier ATR goes, whatever the new one turns out to be.
void forget_card(SMARTCARD_EXTENSION& ext) {
    SCARD_CARD_CAPABILITIES& cc = ext.CardCapabilities;
    cc.InversConvention = FALSE;
    cc.HistoricalChars.Length = 0;
    cc.Fl = 1;
    cc.Dl = 1;
    cc.II = 0;
    cc.P = 0;
    cc.N = 0;
    cc.GT = 0;
    cc.Protocol.Supported = 0;
    cc.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    cc.T0 = {};
    cc.T1 = {};
    cc.PtsData = {};
    reset_t1(ext);
}

// What a PTS should ask for: the fastest pair the card allows whose rate the reader runs.
void choose_pts(SCARD_CARD_CAPABILITIES& cc, const SCARD_READER_CAPABILITIES& rc, const Atr& atr,
                ULONG khz, bool ta1_usable, unsigned fi_code, unsigned di_code) {
    cc.PtsData.Type = 0;
    cc.PtsData.Fl = 1;
    cc.PtsData.Dl = 1;
    cc.PtsData.CLKFrequency = khz;
    cc.PtsData.DataRate = nominal_rate(rc, (std::uint64_t(khz) * 1000 + 186) / 372);
    if (ta1_usable && !atr.specific) {
        const std::uint32_t f = fi_factor(fi_code);
        const std::uint32_t dmax = di_factor(di_code);
        std::uint32_t best_d = 0;
        for (unsigned code = 1; code < 16; code++) {
            const std::uint32_t d = di_factor(code);
            if (d == 0 || d > dmax || d <= best_d)
                continue;
            const std::uint64_t rate = (std::uint64_t(khz) * 1000 * d + f / 2) / f;
            ULONG entry = 0;
            if (rate_supported(rc, rate, entry)) {
                best_d = d;
                cc.PtsData.Fl = UCHAR(fi_code);
                cc.PtsData.Dl = UCHAR(code);
                cc.PtsData.DataRate = entry;
            }
        }
    } else if (atr.specific) {
        cc.PtsData.Fl = cc.Fl;
        cc.PtsData.Dl = cc.Dl;
        cc.PtsData.DataRate =
            nominal_rate(rc, (std::uint64_t(khz) * 1000 * di_factor(cc.Dl) + fi_factor(cc.Fl) / 2) /
                                 fi_factor(cc.Fl));
    }
}

// Timing at the current parameters.
void set_timing(SCARD_CARD_CAPABILITIES& cc, const Atr& atr, ULONG khz, unsigned fi_code) {
    const std::uint32_t f_cur = fi_factor(cc.Fl);
    const std::uint32_t d_cur = di_factor(cc.Dl);
    const auto etu_us = [&](std::uint64_t etus) { return cycles_to_us(etus * f_cur / d_cur, khz); };
    cc.etu = etu_us(1);
    cc.GT = (atr.n == 0 || atr.n == 255) ? 0 : etu_us(atr.n);

    cc.T0.WI = atr.wi;
    cc.T0.WT = cycles_to_us(std::uint64_t(960) * atr.wi * fi_factor(fi_code), khz);

    cc.T1.IFSC = atr.ifsc;
    cc.T1.BWI = atr.bwi;
    cc.T1.CWI = atr.cwi;
    cc.T1.EDC = atr.edc;
    cc.T1.CWT = etu_us(11 + (std::uint64_t(1) << atr.cwi));
    const std::uint64_t bwt_us =
        std::uint64_t(etu_us(11)) + cycles_to_us((std::uint64_t(1) << atr.bwi) * 960 * 372, khz);
    cc.T1.BWT = bwt_us > 0xFFFFFFFFull ? 0xFFFFFFFFu : ULONG(bwt_us);
    cc.T1.BGT = etu_us(22);
}

} // namespace

NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    SCARD_CARD_CAPABILITIES& cc = ext.CardCapabilities;
    SCARD_READER_CAPABILITIES& rc = ext.ReaderCapabilities;

    forget_card(ext);
    Atr atr;
    if (!parse(cc.ATR.Buffer, cc.ATR.Length, atr)) {
        rc.CurrentState = SCARD_POWERED;
        return STATUS_UNRECOGNIZED_MEDIA;
    }

    const ULONG khz = rc.CLKFrequency.Default != 0 ? rc.CLKFrequency.Default : kDefaultClockKhz;
    cc.InversConvention = atr.inverse ? TRUE : FALSE;
    std::memcpy(cc.HistoricalChars.Buffer, atr.historical, atr.historical_length);
    cc.HistoricalChars.Length = UCHAR(atr.historical_length);
    cc.N = atr.n;

    // A TA1 naming a reserved factor cannot be used; the card then runs at the defaults.
    const bool ta1_usable =
        atr.ta1_present && fi_factor(atr.fi_code) != 0 && di_factor(atr.di_code) != 0;
    const unsigned fi_code = ta1_usable ? atr.fi_code : 1;
    const unsigned di_code = ta1_usable ? atr.di_code : 1;

    if (atr.specific) {
        rc.CurrentState = SCARD_SPECIFIC;
        if (atr.specific_protocol == 0)
            cc.Protocol.Supported = SCARD_PROTOCOL_T0;
        else if (atr.specific_protocol == 1)
            cc.Protocol.Supported = SCARD_PROTOCOL_T1;
        // In specific mode the card already works with the TA1 values unless TA2 says they are
        // implicit.
        if (!atr.implicit) {
            cc.Fl = UCHAR(fi_code);
            cc.Dl = UCHAR(di_code);
        }
    } else {
        rc.CurrentState = SCARD_NEGOTIABLE;
        cc.Protocol.Supported = atr.protocols;
    }
    choose_pts(cc, rc, atr, khz, ta1_usable, fi_code, di_code);
    set_timing(cc, atr, khz, fi_code);
    reset_t1(ext);
    return STATUS_SUCCESS;
}
