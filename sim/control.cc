#include "sim/control.h"

#include <charconv>
#include <vector>

namespace qkr::sim {

namespace {

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool number(std::string_view s, std::uint64_t& out) {
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// Appends the bytes of `s`, hex digit pairs; false if it is anything else.
bool hex(std::string_view s, Bytes& out) {
    auto digit = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    if (s.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const int hi = digit(s[i]), lo = digit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return true;
}

} // namespace

std::string control_command(ReaderSim& reader, std::string_view line) {
    const auto w = words(line);
    if (w.empty())
        return "error empty command";
    std::vector<std::uint64_t> n;
    for (std::size_t i = 1; i < w.size(); ++i) {
        std::uint64_t v = 0;
        n.push_back(number(w[i], v) ? v : UINT64_MAX);
    }
    auto arg = [&](std::size_t i, std::uint64_t max) -> std::optional<std::uint64_t> {
        if (i >= n.size() || n[i] > max)
            return std::nullopt;
        return n[i];
    };
    const std::string_view verb = w[0];
    const std::uint64_t kMaxMs = 3'600'000;
    if (verb == "insert" && w.size() == 2) {
        auto card = make_card(w[1], reader.config().seed);
        if (!card)
            return "error unknown card " + std::string(w[1]);
        reader.insert(std::move(card));
        return "ok";
    }
    if (verb == "remove" && w.size() == 1) {
        reader.remove();
        return "ok";
    }
    if (verb == "power" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        reader.set_powered(w[1] == "on");
        return "ok";
    }
    if ((verb == "dsr-drop" || verb == "cts-pulse") && w.size() == 2) {
        const auto ms = arg(0, kMaxMs);
        if (!ms)
            return "error bad time";
        if (verb == "dsr-drop")
            reader.drop_dsr(kern::milliseconds(static_cast<std::int64_t>(*ms)));
        else
            reader.pulse_cts(kern::milliseconds(static_cast<std::int64_t>(*ms)));
        return "ok";
    }
    if (verb == "status" && w.size() == 1) {
        const Card* c = reader.card();
        return "ok powered=" + std::string(reader.powered() ? "1" : "0") +
               " card=" + (c ? c->name() : std::string("none")) +
               " baud=" + std::to_string(reader.baud()) +
               " commands=" + std::to_string(reader.commands_received());
    }
    if (verb != "fault" || w.size() < 2)
        return "error unknown command";

    Faults& f = reader.faults();
    const std::string_view what = w[1];
    auto count = [&](std::size_t i) { return arg(i, 1'000'000); };
    auto done = [](bool ok) { return ok ? std::string("ok") : std::string("error bad arguments"); };
    if (what == "clear" && w.size() == 2) {
        f.clear();
        return "ok";
    }
    if (what == "refuse-speed" && w.size() == 2) {
        f.refuse_speed_change();
        return "ok";
    }
    if (what == "pts" && w.size() == 3 && (w[2] == "refuse" || w[2] == "wrong")) {
        f.next_pts(w[2] == "refuse" ? PtsBehaviour::Refuse : PtsBehaviour::Wrong);
        return "ok";
    }
    if (what == "noise" && w.size() >= 3) {
        Bytes noise;
        for (std::size_t i = 2; i < w.size(); ++i)
            if (!hex(w[i], noise))
                return "error noise takes hex bytes";
        if (noise.size() > kMaxNoise)
            return "error noise takes at most " + std::to_string(kMaxNoise) + " bytes";
        f.noise_before_next(std::move(noise));
        return "ok";
    }
    if (w.size() == 3) {
        const auto c = count(1);
        if (!c)
            return "error bad arguments";
        const int k = static_cast<int>(*c);
        if (what == "nak")
            f.nak_next(k);
        else if (what == "silent")
            f.silent_next(k);
        else if (what == "corrupt")
            f.corrupt_next(k);
        else if (what == "dle-pairs")
            f.dle_pairs_next(k);
        else if (what == "stray-etx")
            f.stray_etx_next(k);
        else if (what == "chain-removal")
            f.remove_card_in_chain(*c);
        else
            return "error unknown fault";
        return "ok";
    }
    if (what == "truncate" && w.size() == 4) {
        const auto keep = count(1), k = count(2);
        if (keep && k)
            f.truncate_next(*keep, static_cast<int>(*k));
        return done(keep && k);
    }
    if (what == "delay" && w.size() == 4) {
        const auto ms = arg(1, kMaxMs), k = count(2);
        if (ms && k)
            f.delay_next(kern::milliseconds(static_cast<std::int64_t>(*ms)), static_cast<int>(*k));
        return done(ms && k);
    }
    if (what == "chunk" && w.size() == 5) {
        const auto size = count(1), gap = arg(2, kMaxMs), k = count(3);
        const bool ok = size && *size > 0 && gap && k;
        if (ok)
            f.chunk_next(*size, kern::milliseconds(static_cast<std::int64_t>(*gap)),
                         static_cast<int>(*k));
        return done(ok);
    }
    if (what == "random" && w.size() == 4) {
        const auto seed = arg(1, UINT64_MAX - 1), pct = arg(2, 100);
        if (seed && pct)
            f.random(*seed, static_cast<unsigned>(*pct));
        return done(seed && pct);
    }
    return "error unknown fault";
}

} // namespace qkr::sim
