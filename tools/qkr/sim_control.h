// Commands that act on the simulated reader itself rather than through the driver: cards in and
// out, line changes and faults. The tool's script language and the PC/SC handler's control socket
// both speak them.
#pragma once

#include "platform/kernel/nt.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace qkr::sim {
class ReaderSim;
}

namespace qkr::tool {

// Parses `words` ("insert t1", "remove", "fault nak 2", "fault dsr off", ...) into an action on
// the simulator. Returns STATUS_SUCCESS with `action` set, or STATUS_INVALID_PARAMETER after
// writing one line naming the problem to `err`. The action must run in kernel timer context.
NTSTATUS parse_sim_command(sim::ReaderSim& sim, const std::vector<std::string>& words,
                           std::uint64_t seed, std::function<void()>& action, std::ostream& err,
                           std::string* detail = nullptr);

// Runs `fn` in kernel timer context, where the simulator may be touched, and waits for it.
void run_in_timer_context(std::function<void()> fn);

} // namespace qkr::tool
