#include "tools/qkr/atr_text.h"

#include "tools/qkr/text.h"

#include <cstdio>

namespace qkr::tool {

namespace {
constexpr int kFi[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                         0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr int kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

std::string hex1(std::uint8_t b) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}
} // namespace

std::string describe_atr(std::span<const std::uint8_t> atr) {
    std::string out;
    auto line = [&](const std::string& s) { out += s + "\n"; };
    if (atr.empty()) {
        line("no ATR");
        return out;
    }
    std::size_t i = 0;
    std::uint8_t ts = atr[i++];
    line("TS  " + hex1(ts) +
         (ts == 0x3B   ? "  direct convention"
          : ts == 0x3F ? "  inverse convention"
                       : "  not a valid TS"));
    if (i >= atr.size()) {
        line("malformed: no T0");
        return out;
    }
    std::uint8_t t0 = atr[i++];
    int historical = t0 & 0x0F;
    line("T0  " + hex1(t0) + "  " + std::to_string(historical) + " historical bytes");
    std::uint8_t y = t0 >> 4;
    int level = 1;
    bool tck_needed = false;
    std::string protocols;
    while (true) {
        const char* names[] = {"TA", "TB", "TC", "TD"};
        std::uint8_t td = 0;
        bool has_td = false;
        for (int k = 0; k < 4; ++k) {
            if (!(y & (1 << k)))
                continue;
            if (i >= atr.size()) {
                line("malformed: interface bytes cut short");
                return out;
            }
            std::uint8_t b = atr[i++];
            std::string name = std::string(names[k]) + std::to_string(level);
            std::string what;
            if (k == 0 && level == 1)
                what = "Fi " + std::to_string(kFi[b >> 4]) + " Di " + std::to_string(kDi[b & 15]);
            else if (k == 2 && level == 1)
                what = "N " + std::to_string(b) + " (extra guard time)";
            else if (k == 0 && level == 2)
                what = "specific mode, T=" + std::to_string(b & 15);
            else if (k == 2 && level == 2)
                what = "WI " + std::to_string(b);
            else if (k == 0 && level >= 3)
                what = "IFSC " + std::to_string(b);
            else if (k == 1 && level >= 3)
                what = "BWI " + std::to_string(b >> 4) + " CWI " + std::to_string(b & 15);
            else if (k == 2 && level >= 3)
                what = std::string("EDC ") + ((b & 1) ? "CRC" : "LRC");
            else if (k == 3) {
                what = "T=" + std::to_string(b & 15);
                if (!protocols.empty())
                    protocols += ", ";
                protocols += "T=" + std::to_string(b & 15);
                if ((b & 15) != 0)
                    tck_needed = true;
            }
            line(name + (name.size() < 4 ? " " : "") + hex1(b) + (what.empty() ? "" : "  " + what));
            if (k == 3) {
                td = b;
                has_td = true;
            }
        }
        if (!has_td)
            break;
        y = td >> 4;
        ++level;
    }
    line("protocols  " + (protocols.empty() ? std::string("T=0 (by default)") : protocols));
    if (i + historical > atr.size()) {
        line("malformed: historical bytes cut short");
        return out;
    }
    std::string hist_text;
    for (int k = 0; k < historical; ++k) {
        std::uint8_t c = atr[i + k];
        hist_text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    line("historical bytes  " + format_hex(atr.subspan(i, historical)) + "  \"" + hist_text + "\"");
    i += historical;
    if (tck_needed) {
        if (i >= atr.size()) {
            line("malformed: TCK missing");
            return out;
        }
        std::uint8_t x = 0;
        for (std::size_t k = 1; k <= i; ++k)
            x ^= atr[k];
        line("TCK " + hex1(atr[i]) + (x == 0 ? "  correct" : "  WRONG"));
        ++i;
    }
    if (i < atr.size())
        line("extra bytes after the ATR: " + format_hex(atr.subspan(i)));
    return out;
}

} // namespace qkr::tool
