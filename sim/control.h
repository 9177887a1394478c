// The simulator's text commands, one per line, in two dialects of one language.
//
// The control socket's (qkr-sim's, the PC/SC handler's and control_command()'s), where each
// command answers one line, "ok", "ok <details>" or "error <why>":
//
//   insert NAME | remove | power on|off | dsr-drop MS | cts-pulse MS | status
//   fault nak N | fault silent N | fault corrupt N | fault truncate KEEP N | fault noise HEX
//   fault dle-pairs N | fault stray-etx N | fault chunk SIZE GAP_MS N | fault delay MS N
//   fault refuse-speed | fault pts refuse|wrong | fault chain-removal BLOCKS
//   fault random SEED PERCENT | fault clear
//
// The qkr tool's scripts, whose faults hit one reply or run on (its own error wording):
//
//   insert [NAME] | remove
//   fault nak N | corrupt N | partial N | silent N | noise HEX | chunk K | delay MS | dsr off|on
//   fault cts-pulse | refuse-speed | pts-refuse | pts-wrong | clear
//
// Counted faults hit the next N replies; `fault noise 55 AA01` sends those bytes (hex pairs, in
// one word or several) ahead of the next reply, as they are.
#pragma once

#include "sim/reader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qkr::sim {

// The most bytes `fault noise` sends ahead of a reply.
constexpr std::size_t kMaxNoise = 1024;

enum class Dialect { Socket, Script };

// A line's words, split at blanks (tabs and carriage returns included).
std::vector<std::string_view> command_words(std::string_view line);

// A command checked and ready: parsing may happen anywhere, running only where the reader's calls
// may be made (see reader.h).
class Command {
  public:
    struct Args {
        std::array<std::uint64_t, 3> n{};
        std::unique_ptr<Card> card;
        Bytes bytes;
    };
    using Act = std::string (*)(ReaderSim&, Args&);

    Command(Act act, Args args, std::string detail)
        : act_(act), args_(std::move(args)), detail_(std::move(detail)) {}
    // What follows "ok" in the answer; empty for most commands. Runs once.
    std::string run(ReaderSim& reader) { return act_(reader, args_); }
    // The inserted card's name; empty for other commands.
    const std::string& detail() const { return detail_; }

  private:
    Act act_;
    Args args_;
    std::string detail_;
};

struct Parsed {
    std::optional<Command> command;
    std::string error; // why there is no command, in the dialect's wording
};

// `seed` seeds an inserted card.
Parsed parse_command(std::span<const std::string_view> words, Dialect dialect, std::uint64_t seed);

// Carries out one control socket command on `reader` and answers it; call it where the reader's
// calls may be made.
std::string control_command(ReaderSim& reader, std::string_view line);

} // namespace qkr::sim
