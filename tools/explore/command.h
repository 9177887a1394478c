// The explorer as a command of the qkr tool.
#pragma once

#include "platform/kernel/kernel.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace qkr::explore {

struct CommandOptions {
    std::uint64_t seed = 1;
    std::uint64_t seeds = 1; // seed, seed + 1, ...
    int steps = 60;
    kern::Schedule schedule = kern::Schedule::Random;
    int depth = 3;
    std::string replay;        // a replay file to run instead
    std::string out_dir = "."; // where a failing seed's replay file goes
    bool verbose = false;
    bool shrink = true; // a failing plan shrinks before it is written
    bool trace = false; // the driver's lines of a replay, on standard error
};

// Exit status: 0 when every invariant held, 1 on a failure, 2 on a bad replay file.
int command(const CommandOptions& options, std::ostream& out);

} // namespace qkr::explore
