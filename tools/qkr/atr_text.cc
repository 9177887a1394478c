#include "tools/qkr/atr_text.h"

#include "sim/atr.h"
#include "tools/qkr/text.h"

#include <cstdio>

namespace qkr::tool {

namespace {

std::string hex1(std::uint8_t b) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

// "TA1 96  Fi 512 Di 32": an interface byte, named, and what it says where it says something.
std::string interface_line(const sim::AtrWalk::Interface& b) {
    const unsigned v = b.value, k = b.kind, level = b.group;
    std::string what;
    if (k == 0 && level == 1)
        what = "Fi " + std::to_string(sim::f_from_code(v >> 4)) + " Di " +
               std::to_string(sim::d_from_code(v & 15));
    else if (k == 2 && level == 1)
        what = "N " + std::to_string(v) + " (extra guard time)";
    else if (k == 0 && level == 2)
        what = "specific mode, T=" + std::to_string(v & 15);
    else if (k == 2 && level == 2)
        what = "WI " + std::to_string(v);
    else if (k == 0 && level >= 3)
        what = "IFSC " + std::to_string(v);
    else if (k == 1 && level >= 3)
        what = "BWI " + std::to_string(v >> 4) + " CWI " + std::to_string(v & 15);
    else if (k == 2 && level >= 3)
        what = std::string("EDC ") + ((v & 1) ? "CRC" : "LRC");
    else if (k == 3)
        what = "T=" + std::to_string(v & 15);
    const char* names[] = {"TA", "TB", "TC", "TD"};
    const std::string name = names[k] + std::to_string(level);
    return name + (name.size() < 4 ? " " : "") + hex1(b.value) + (what.empty() ? "" : "  " + what);
}

} // namespace

std::string describe_atr(std::span<const std::uint8_t> atr) {
    std::string out;
    auto line = [&](const std::string& s) { out += s + "\n"; };
    if (atr.empty()) {
        line("no ATR");
        return out;
    }
    const std::uint8_t ts = atr[0];
    line("TS  " + hex1(ts) +
         (ts == 0x3B   ? "  direct convention"
          : ts == 0x3F ? "  inverse convention"
                       : "  not a valid TS"));
    const sim::AtrWalk w = sim::walk_atr(atr);
    if (w.cut == sim::AtrWalk::Cut::T0) {
        line("malformed: no T0");
        return out;
    }
    line("T0  " + hex1(atr[1]) + "  " + std::to_string(w.historical) + " historical bytes");
    std::string protocols;
    for (const sim::AtrWalk::Interface& b : w.interface) {
        line(interface_line(b));
        if (b.kind == 3)
            protocols += (protocols.empty() ? "T=" : ", T=") + std::to_string(b.value & 15);
    }
    if (w.cut == sim::AtrWalk::Cut::Interface) {
        line("malformed: interface bytes cut short");
        return out;
    }
    line("protocols  " + (protocols.empty() ? std::string("T=0 (by default)") : protocols));
    if (w.cut == sim::AtrWalk::Cut::Historical) {
        line("malformed: historical bytes cut short");
        return out;
    }
    const auto historical = atr.subspan(w.historical_at, w.historical);
    std::string hist_text;
    for (std::uint8_t c : historical)
        hist_text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    line("historical bytes  " + format_hex(historical) + "  \"" + hist_text + "\"");
    std::size_t i = w.historical_at + w.historical;
    if (w.tck_needed) {
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
