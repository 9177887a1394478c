#include "sim/control.h"

#include "sim/hex.h"

#include <charconv>
#include <climits>

namespace qkr::sim {

namespace {

using namespace std::string_literals;
using Args = Command::Args;

enum class Takes { Numbers, Card, CardOrT1, Hex };

struct Range {
    std::uint64_t lo = 0, hi = 0;
};

constexpr unsigned kSocket = 1, kScript = 2, kBoth = kSocket | kScript;
constexpr std::uint64_t kMaxMs = 3'600'000;
constexpr std::uint64_t kMaxCount = 1'000'000;

// A command of one dialect or both: its fixed words, what follows them and what it does.
struct Entry {
    unsigned dialects;
    std::string_view words;
    Command::Act act;
    std::array<Range, 3> ranges{}; // the numbers that follow, as many as are given
    std::size_t numbers = 0;
    // The answer to numbers out of range (and, in scripts, to too few or too many of them).
    std::string_view bad = {};
    Takes takes = Takes::Numbers;
};

kern::Ticks ms(std::uint64_t n) {
    return kern::milliseconds(static_cast<std::int64_t>(n));
}
int count(std::uint64_t n) {
    return static_cast<int>(n);
}

std::string status(ReaderSim& r, Args&) {
    const Card* c = r.card();
    return "powered=" + std::string(r.powered() ? "1" : "0") +
           " card=" + (c ? c->name() : std::string("none")) + " baud=" + std::to_string(r.baud()) +
           " commands=" + std::to_string(r.commands_received());
}

std::string insert(ReaderSim& r, Args& a) {
    return r.insert(std::move(a.card)), "";
}
template <bool On>
std::string power(ReaderSim& r, Args&) {
    return r.set_powered(On), "";
}
template <void (Faults::*Counted)(int)>
std::string counted(ReaderSim& r, Args& a) {
    return (r.faults().*Counted)(count(a.n[0])), "";
}
template <PtsBehaviour B>
std::string pts(ReaderSim& r, Args&) {
    return r.faults().next_pts(B), "";
}
std::string noise(ReaderSim& r, Args& a) {
    return r.faults().noise_before_next(std::move(a.bytes)), "";
}

constexpr Range kCount{0, kMaxCount};
constexpr Range kTime{0, kMaxMs};

// Every command; a dialect's words name one of its entries at most.
const Entry kEntries[] = {
    {.dialects = kSocket, .words = "insert", .act = insert, .takes = Takes::Card},
    {.dialects = kScript, .words = "insert", .act = insert, .takes = Takes::CardOrT1},
    {kBoth, "remove", [](ReaderSim& r, Args&) { return r.remove(), ""s; }},
    {kSocket, "power on", power<true>},
    {kSocket, "power off", power<false>},
    {kSocket,
     "dsr-drop",
     [](ReaderSim& r, Args& a) { return r.drop_dsr(ms(a.n[0])), ""s; },
     {kTime},
     1,
     "bad time"},
    {kSocket,
     "cts-pulse",
     [](ReaderSim& r, Args& a) { return r.pulse_cts(ms(a.n[0])), ""s; },
     {kTime},
     1,
     "bad time"},
    {kSocket, "status", status},
    {kBoth, "fault clear", [](ReaderSim& r, Args&) { return r.faults().clear(), ""s; }},
    {kBoth, "fault refuse-speed",
     [](ReaderSim& r, Args&) { return r.faults().refuse_speed_change(), ""s; }},
    {kSocket, "fault nak", counted<&Faults::nak_next>, {kCount}, 1, "bad arguments"},
    {kSocket, "fault silent", counted<&Faults::silent_next>, {kCount}, 1, "bad arguments"},
    {kSocket, "fault corrupt", counted<&Faults::corrupt_next>, {kCount}, 1, "bad arguments"},
    {kSocket, "fault dle-pairs", counted<&Faults::dle_pairs_next>, {kCount}, 1, "bad arguments"},
    {kSocket, "fault stray-etx", counted<&Faults::stray_etx_next>, {kCount}, 1, "bad arguments"},
    {kSocket,
     "fault chain-removal",
     [](ReaderSim& r, Args& a) { return r.faults().remove_card_in_chain(a.n[0]), ""s; },
     {kCount},
     1,
     "bad arguments"},
    {kSocket,
     "fault truncate",
     [](ReaderSim& r, Args& a) { return r.faults().truncate_next(a.n[0], count(a.n[1])), ""s; },
     {kCount, kCount},
     2,
     "bad arguments"},
    {kSocket,
     "fault delay",
     [](ReaderSim& r, Args& a) { return r.faults().delay_next(ms(a.n[0]), count(a.n[1])), ""s; },
     {kTime, kCount},
     2,
     "bad arguments"},
    {kSocket,
     "fault chunk",
     [](ReaderSim& r, Args& a) {
         return r.faults().chunk_next(a.n[0], ms(a.n[1]), count(a.n[2])), ""s;
     },
     {Range{1, kMaxCount}, kTime, kCount},
     3,
     "bad arguments"},
    {kSocket,
     "fault random",
     [](ReaderSim& r, Args& a) {
         return r.faults().random(a.n[0], static_cast<unsigned>(a.n[1])), ""s;
     },
     {Range{0, UINT64_MAX - 1}, Range{0, 100}},
     2,
     "bad arguments"},
    {kSocket, "fault pts refuse", pts<PtsBehaviour::Refuse>},
    {kSocket, "fault pts wrong", pts<PtsBehaviour::Wrong>},
    {.dialects = kSocket,
     .words = "fault noise",
     .act = noise,
     .bad = "noise takes hex bytes",
     .takes = Takes::Hex},
    {kScript,
     "fault nak",
     counted<&Faults::nak_next>,
     {Range{0, 1000}},
     1,
     "fault nak takes a count"},
    {kScript,
     "fault corrupt",
     counted<&Faults::corrupt_next>,
     {Range{0, 1000}},
     1,
     "fault corrupt takes a count"},
    {kScript,
     "fault silent",
     counted<&Faults::silent_next>,
     {Range{0, 1000}},
     1,
     "fault silent takes a count"},
    {kScript,
     "fault partial",
     [](ReaderSim& r, Args& a) { return r.faults().truncate_next(a.n[0]), ""s; },
     {Range{0, 1048}},
     1,
     "fault partial takes the number of bytes to keep"},
    // Every reply from then on, in pieces a millisecond apart.
    {kScript,
     "fault chunk",
     [](ReaderSim& r, Args& a) {
         return r.faults().chunk_next(a.n[0], kern::milliseconds(1), INT_MAX), ""s;
     },
     {Range{1, 1048}},
     1,
     "fault chunk takes a size in bytes"},
    {kScript,
     "fault delay",
     [](ReaderSim& r, Args& a) { return r.faults().delay_next(ms(a.n[0])), ""s; },
     {Range{0, 10'000'000}},
     1,
     "fault delay takes milliseconds"},
    {.dialects = kScript,
     .words = "fault noise",
     .act = noise,
     .bad = "fault noise takes hex bytes",
     .takes = Takes::Hex},
    {kScript, "fault dsr on", power<true>},
    {kScript, "fault dsr off", power<false>},
    {kScript, "fault cts-pulse",
     [](ReaderSim& r, Args&) { return r.pulse_cts(kern::milliseconds(10)), ""s; }},
    {kScript, "fault pts-refuse", pts<PtsBehaviour::Refuse>},
    {kScript, "fault pts-wrong", pts<PtsBehaviour::Wrong>},
};

unsigned mask(Dialect d) {
    return d == Dialect::Socket ? kSocket : kScript;
}

std::string unknown(std::span<const std::string_view> w, Dialect d) {
    const bool fault = w.size() >= 2 && w[0] == "fault";
    if (d == Dialect::Socket)
        return fault ? "unknown fault" : "unknown command";
    if (!fault)
        return "unknown simulator command " + std::string(w[0]);
    return "unknown fault " + std::string(w[1]) +
           " (nak N, corrupt N, partial N, silent N, noise HEX, chunk K, delay MS, dsr off|on, "
           "cts-pulse, refuse-speed, pts-refuse, pts-wrong, clear)";
}

// How many of `w`'s first words are the entry's fixed words; 0 when they are not all there.
std::size_t matches(const Entry& e, std::span<const std::string_view> w) {
    const auto fixed = command_words(e.words);
    if (w.size() < fixed.size())
        return 0;
    for (std::size_t i = 0; i < fixed.size(); ++i)
        if (w[i] != fixed[i])
            return 0;
    return fixed.size();
}

std::optional<std::uint64_t> decimal(std::string_view s, Range r) {
    std::uint64_t v = 0;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), v);
    if (res.ec != std::errc() || res.ptr != s.data() + s.size() || v < r.lo || v > r.hi)
        return std::nullopt;
    return v;
}

// What the entry's arguments say, or why they do not fit (`unknown` when they read as no command
// at all).
Parsed take(const Entry& e, std::span<const std::string_view> rest, Dialect d, std::uint64_t seed,
            const std::string& unknown_command) {
    auto fail = [](std::string why) { return Parsed{std::nullopt, std::move(why)}; };
    Args args;
    std::string detail;
    switch (e.takes) {
    case Takes::Numbers:
        if (rest.size() != e.numbers)
            return fail(d == Dialect::Script && !e.bad.empty() ? std::string(e.bad)
                                                               : unknown_command);
        for (std::size_t i = 0; i < e.numbers; ++i) {
            const auto v = decimal(rest[i], e.ranges[i]);
            if (!v)
                return fail(std::string(e.bad));
            args.n[i] = *v;
        }
        break;
    case Takes::Card:
    case Takes::CardOrT1: {
        if (rest.size() > 1 || (rest.empty() && e.takes == Takes::Card))
            return fail(unknown_command);
        detail = rest.empty() ? "t1" : std::string(rest[0]);
        args.card = make_card(detail, seed);
        if (args.card)
            break;
        if (d == Dialect::Socket)
            return fail("unknown card " + detail);
        std::string known;
        for (const auto& n : card_names())
            known += " " + n;
        return fail("unknown card model " + detail + " (known:" + known + ")");
    }
    case Takes::Hex:
        if (rest.empty() && d == Dialect::Socket)
            return fail(unknown_command);
        for (std::string_view word : rest) {
            const auto bytes = parse_hex(word);
            if (!bytes)
                return fail(std::string(e.bad));
            args.bytes.insert(args.bytes.end(), bytes->begin(), bytes->end());
        }
        if (d == Dialect::Socket && args.bytes.size() > kMaxNoise)
            return fail("noise takes at most " + std::to_string(kMaxNoise) + " bytes");
        if (d == Dialect::Script && (args.bytes.empty() || args.bytes.size() > kMaxNoise))
            return fail("fault noise takes 1 to " + std::to_string(kMaxNoise) + " hex bytes");
        break;
    }
    return Parsed{Command(e.act, std::move(args), std::move(detail)), {}};
}

} // namespace

std::vector<std::string_view> command_words(std::string_view line) {
    std::vector<std::string_view> out;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && blank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !blank(line[i]))
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

Parsed parse_command(std::span<const std::string_view> words, Dialect dialect, std::uint64_t seed) {
    if (words.empty())
        return {std::nullopt, dialect == Dialect::Socket ? "empty command" : "no command"};
    const std::string no_such = unknown(words, dialect);
    for (const Entry& e : kEntries) {
        if (!(e.dialects & mask(dialect)))
            continue;
        if (const std::size_t n = matches(e, words))
            return take(e, words.subspan(n), dialect, seed, no_such);
    }
    return {std::nullopt, no_such};
}

std::string control_command(ReaderSim& reader, std::string_view line) {
    const auto words = command_words(line);
    Parsed p = parse_command(words, Dialect::Socket, reader.config().seed);
    if (!p.command)
        return "error " + p.error;
    const std::string details = p.command->run(reader);
    return details.empty() ? "ok" : "ok " + details;
}

} // namespace qkr::sim
