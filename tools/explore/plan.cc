// Plans: their random generation from a seed, their text form, and shrinking a failing one.
#include "tools/explore/explore.h"

#include <array>
#include <istream>
#include <ostream>
#include <sstream>
#include <string_view>

namespace qkr::explore {

namespace {

struct Names {
    OpKind kind;
    std::string_view name;
};
constexpr std::array<Names, 26> kNames{{
    {OpKind::Start, "start"},
    {OpKind::Stop, "stop"},
    {OpKind::QueryStopCancelled, "query-stop-cancelled"},
    {OpKind::QueryRemoveCancelled, "query-remove-cancelled"},
    {OpKind::SurpriseRemoval, "surprise-removal"},
    {OpKind::Remove, "remove"},
    {OpKind::Sleep, "sleep"},
    {OpKind::Wake, "wake"},
    {OpKind::AbandonedSleep, "abandoned-sleep"},
    {OpKind::InsertCard, "insert"},
    {OpKind::RemoveCard, "remove-card"},
    {OpKind::SwapSlot1Card, "swap-slot1"},
    {OpKind::ReaderPowerOff, "power-off"},
    {OpKind::ReaderPowerOn, "power-on"},
    {OpKind::DsrBlip, "dsr-blip"},
    {OpKind::CtsPulse, "cts-pulse"},
    {OpKind::LineFault, "line-fault"},
    {OpKind::PoolFailure, "pool-failure"},
    {OpKind::IrpFailure, "irp-failure"},
    {OpKind::Session, "session"},
    {OpKind::Read, "read"},
    {OpKind::Update, "update"},
    {OpKind::PowerDown, "power-down"},
    {OpKind::Track, "track"},
    {OpKind::CancelTrack, "cancel-track"},
    {OpKind::Close, "close"},
}};

class Rng {
  public:
    explicit Rng(std::uint64_t seed) : state_(seed ^ 0x5EEDF00Dull) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }

  private:
    std::uint64_t state_;
};

// Weighted choice: each entry's share of the total.
template <std::size_t N>
OpKind choose(Rng& rng, const std::array<std::pair<OpKind, int>, N>& w) {
    int total = 0;
    for (const auto& [kind, weight] : w)
        total += weight;
    int pick = static_cast<int>(rng.below(static_cast<std::uint32_t>(total)));
    for (const auto& [kind, weight] : w) {
        if (pick < weight)
            return kind;
        pick -= weight;
    }
    return w[0].first;
}

constexpr std::array<std::pair<OpKind, int>, 19> kEnvironment{{
    {OpKind::Start, 4},
    {OpKind::Stop, 3},
    {OpKind::QueryStopCancelled, 2},
    {OpKind::QueryRemoveCancelled, 2},
    {OpKind::SurpriseRemoval, 1},
    {OpKind::Remove, 1},
    {OpKind::Sleep, 2},
    {OpKind::Wake, 3},
    {OpKind::AbandonedSleep, 1},
    {OpKind::InsertCard, 4},
    {OpKind::RemoveCard, 3},
    {OpKind::SwapSlot1Card, 1},
    {OpKind::ReaderPowerOff, 1},
    {OpKind::ReaderPowerOn, 2},
    {OpKind::DsrBlip, 1},
    {OpKind::CtsPulse, 1},
    {OpKind::LineFault, 4},
    {OpKind::PoolFailure, 1},
    {OpKind::IrpFailure, 1},
}};
constexpr std::array<std::pair<OpKind, int>, 6> kClient{{
    {OpKind::Session, 4},
    {OpKind::Read, 8},
    {OpKind::Update, 6},
    {OpKind::PowerDown, 1},
    {OpKind::Track, 1},
    {OpKind::Close, 1},
}};
constexpr std::array<std::pair<OpKind, int>, 3> kTracker{{
    {OpKind::Track, 5},
    {OpKind::CancelTrack, 3},
    {OpKind::Close, 2},
}};

Op random_op(Rng& rng, int readers) {
    Op op;
    const std::uint32_t who = rng.below(100);
    op.actor = who < 30 ? 0 : who < 58 ? 1 : who < 86 ? 2 : 3;
    op.reader = static_cast<int>(rng.below(static_cast<std::uint32_t>(readers)));
    op.slot = op.actor == 1 ? 0 : op.actor == 2 ? 1 : static_cast<int>(rng.below(2));
    op.kind = op.actor == 0   ? choose(rng, kEnvironment)
              : op.actor == 3 ? choose(rng, kTracker)
                              : choose(rng, kClient);
    // Clients mostly work in bursts, so that both slots of a reader are busy at once.
    op.delay_ms = op.actor == 0 ? rng.below(5000) : rng.below(2) == 0 ? 0 : rng.below(400);
    switch (op.kind) {
    case OpKind::Read:
    case OpKind::Update:
        op.b = 1 + rng.below(rng.below(4) == 0 ? 250 : 32); // length
        op.a = rng.below(512 - op.b + 1);                   // offset
        if (op.kind == OpKind::Update)
            op.b |= rng.below(256) << 16; // the data's seed rides in the high half
        break;
    case OpKind::InsertCard:
    case OpKind::SwapSlot1Card:
        op.a = rng.below(5); // which processor card
        break;
    case OpKind::LineFault:
        op.a = rng.below(6); // which fault
        op.b = 1 + rng.below(3);
        break;
    case OpKind::PoolFailure:
    case OpKind::IrpFailure:
        op.a = 1 + rng.below(30);
        break;
    case OpKind::Track:
        op.a = rng.below(2); // 0: present, 1: absent
        break;
    case OpKind::DsrBlip:
    case OpKind::CtsPulse:
        op.a = 1 + rng.below(2000); // ms off
        break;
    default:
        break;
    }
    return op;
}

} // namespace

Plan generate(std::uint64_t seed, int steps, kern::Schedule schedule) {
    Rng rng(seed);
    Plan plan;
    plan.seed = seed;
    plan.schedule = schedule;
    const std::uint32_t r = rng.below(20);
    plan.readers = r < 8 ? 1 : r < 14 ? 2 : r < 17 ? 3 : 4;
    for (int i = 0; i < steps; ++i)
        plan.ops.push_back(random_op(rng, plan.readers));
    return plan;
}

std::string op_text(const Op& op) {
    std::string name = "?";
    for (const auto& n : kNames)
        if (n.kind == op.kind)
            name = n.name;
    std::ostringstream out;
    out << op.actor << " +" << op.delay_ms << " r" << op.reader << " s" << op.slot << " " << name
        << " " << op.a << " " << op.b;
    return out.str();
}

void write_plan(const Plan& plan, std::ostream& out) {
    out << "# qkr explore --replay: actor +pause_ms reader slot operation a b\n";
    out << "seed " << plan.seed << "\n";
    out << "schedule " << (plan.schedule == kern::Schedule::Pct ? "pct" : "random") << " "
        << plan.depth << "\n";
    out << "readers " << plan.readers << "\n";
    for (const Op& op : plan.ops)
        out << op_text(op) << "\n";
}

std::optional<Plan> read_plan(std::istream& in, std::string* error) {
    Plan plan;
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& why) {
        if (error != nullptr)
            *error = "line " + std::to_string(number) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "seed") {
            words >> plan.seed;
        } else if (first == "schedule") {
            std::string kind;
            words >> kind >> plan.depth;
            if (kind != "random" && kind != "pct")
                return fail("schedule is random or pct");
            plan.schedule = kind == "pct" ? kern::Schedule::Pct : kern::Schedule::Random;
        } else if (first == "readers") {
            words >> plan.readers;
            if (plan.readers < 1 || plan.readers > 4)
                return fail("readers is 1 to 4");
        } else {
            Op op;
            char plus = 0, r = 0, s = 0;
            std::string name;
            std::istringstream all(line);
            all >> op.actor >> plus >> op.delay_ms >> r >> op.reader >> s >> op.slot >> name >>
                op.a >> op.b;
            bool known = false;
            for (const auto& n : kNames)
                if (n.name == name) {
                    op.kind = n.kind;
                    known = true;
                }
            if (!all || plus != '+' || r != 'r' || s != 's' || !known || op.actor < 0 ||
                op.actor > 3 || op.reader < 0 || op.reader >= plan.readers || op.slot < 0 ||
                op.slot > 1)
                return fail("not an operation: " + line.substr(0, 80));
            plan.ops.push_back(op);
        }
        if (!words && first != "seed" && first != "schedule" && first != "readers")
            continue;
    }
    return plan;
}

namespace {

// What kind of failure a problem is: its text with addresses and numbers after the first words
// left out, so that a shrunk plan keeps failing the same way, not just any way.
std::string kind_of(const std::string& problem) {
    std::string kind;
    for (std::size_t i = 0; i < problem.size() && kind.size() < 48; ++i) {
        const char c = problem[i];
        if (c == '0' && i + 1 < problem.size() && problem[i + 1] == 'x')
            break;
        kind += c;
    }
    return kind;
}

bool fails_alike(const Result& result, const std::string& kind) {
    for (const std::string& p : result.problems)
        if (kind_of(p) == kind)
            return true;
    return false;
}

} // namespace

Plan shrink(const Plan& failing, int budget) {
    const Result original = run(failing);
    if (original.problems.empty())
        return failing;
    const std::string kind = kind_of(original.problems.front());
    Plan best = failing;
    std::size_t chunk = best.ops.size() / 2;
    while (chunk >= 1 && budget > 0) {
        bool removed = false;
        for (std::size_t at = 0; at < best.ops.size() && budget > 0;) {
            Plan trial = best;
            const std::size_t end = std::min(at + chunk, trial.ops.size());
            trial.ops.erase(trial.ops.begin() + static_cast<std::ptrdiff_t>(at),
                            trial.ops.begin() + static_cast<std::ptrdiff_t>(end));
            --budget;
            if (fails_alike(run(trial), kind)) {
                best = std::move(trial);
                removed = true;
            } else {
                at += chunk;
            }
        }
        if (!removed)
            chunk /= 2;
    }
    return best;
}

} // namespace qkr::explore
