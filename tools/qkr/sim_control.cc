#include "tools/qkr/sim_control.h"

#include "platform/kernel/kernel.h"
#include "sim/control.h"
#include "sim/reader.h"
#include "tools/qkr/text.h"

#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>

namespace qkr::tool {

namespace {
std::optional<int> parse_int(const std::string& s, int lo, int hi) {
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0' || v < lo || v > hi)
        return std::nullopt;
    return static_cast<int>(v);
}
} // namespace

void run_in_timer_context(std::function<void()> fn) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    kern::Kernel::current().schedule_after(0, [&] {
        fn();
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS parse_sim_command(sim::ReaderSim& sim, const std::vector<std::string>& words,
                           std::uint64_t seed, std::function<void()>& action, std::ostream& err,
                           std::string* detail) {
    auto bad = [&](const std::string& why) {
        err << "qkr: " << why << "\n";
        return STATUS_INVALID_PARAMETER;
    };
    if (words.empty())
        return bad("no command");
    if (words[0] == "insert" && words.size() <= 2) {
        std::string name = words.size() == 2 ? words[1] : "t1";
        auto card = sim::make_card(name, seed);
        if (!card) {
            std::string known;
            for (const auto& n : sim::card_names())
                known += " " + n;
            return bad("unknown card model " + name + " (known:" + known + ")");
        }
        auto holder = std::make_shared<std::unique_ptr<sim::Card>>(std::move(card));
        action = [&sim, holder] { sim.insert(std::move(*holder)); };
        if (detail)
            *detail = name;
        return STATUS_SUCCESS;
    }
    if (words[0] == "remove" && words.size() == 1) {
        action = [&sim] { sim.remove(); };
        return STATUS_SUCCESS;
    }
    if (words[0] != "fault" || words.size() < 2)
        return bad("unknown simulator command " + words[0]);

    const std::string& what = words[1];
    auto count = [&](int lo, int hi) -> std::optional<int> {
        if (words.size() != 3)
            return std::nullopt;
        return parse_int(words[2], lo, hi);
    };
    if (what == "nak" || what == "corrupt" || what == "silent") {
        auto n = count(0, 1000);
        if (!n)
            return bad("fault " + what + " takes a count");
        if (what == "nak")
            action = [&sim, n] { sim.faults().nak_next(*n); };
        else if (what == "corrupt")
            action = [&sim, n] { sim.faults().corrupt_next(*n); };
        else
            action = [&sim, n] { sim.faults().silent_next(*n); };
    } else if (what == "partial") {
        auto n = count(0, 1048);
        if (!n)
            return bad("fault partial takes the number of bytes to keep");
        action = [&sim, n] { sim.faults().truncate_next(static_cast<std::size_t>(*n)); };
    } else if (what == "chunk") {
        auto n = count(1, 1048);
        if (!n)
            return bad("fault chunk takes a size in bytes");
        action = [&sim, n] {
            sim.faults().chunk_next(static_cast<std::size_t>(*n), kern::milliseconds(1), INT_MAX);
        };
    } else if (what == "delay") {
        auto n = count(0, 10'000'000);
        if (!n)
            return bad("fault delay takes milliseconds");
        action = [&sim, n] { sim.faults().delay_next(kern::milliseconds(*n)); };
    } else if (what == "noise") {
        sim::Bytes noise;
        for (std::size_t i = 2; i < words.size(); ++i) {
            const auto bytes = parse_hex(words[i]);
            if (!bytes)
                return bad("fault noise takes hex bytes");
            noise.insert(noise.end(), bytes->begin(), bytes->end());
        }
        if (noise.empty() || noise.size() > sim::kMaxNoise)
            return bad("fault noise takes 1 to " + std::to_string(sim::kMaxNoise) + " hex bytes");
        action = [&sim, noise] { sim.faults().noise_before_next(noise); };
    } else if (what == "clear" && words.size() == 2) {
        action = [&sim] { sim.faults().clear(); };
    } else if (what == "dsr" && words.size() == 3 && (words[2] == "on" || words[2] == "off")) {
        bool on = words[2] == "on";
        action = [&sim, on] { sim.set_powered(on); };
    } else if (what == "cts-pulse" && words.size() == 2) {
        action = [&sim] { sim.pulse_cts(kern::milliseconds(10)); };
    } else if (what == "refuse-speed" && words.size() == 2) {
        action = [&sim] { sim.faults().refuse_speed_change(); };
    } else if (what == "pts-refuse" && words.size() == 2) {
        action = [&sim] { sim.faults().next_pts(sim::PtsBehaviour::Refuse); };
    } else if (what == "pts-wrong" && words.size() == 2) {
        action = [&sim] { sim.faults().next_pts(sim::PtsBehaviour::Wrong); };
    } else {
        return bad("unknown fault " + what +
                   " (nak N, corrupt N, partial N, silent N, noise HEX, chunk K, delay MS, "
                   "dsr off|on, cts-pulse, refuse-speed, pts-refuse, pts-wrong, clear)");
    }
    return STATUS_SUCCESS;
}

} // namespace qkr::tool
