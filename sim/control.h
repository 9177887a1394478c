// The simulator's text commands, one per line, as the standalone program's control socket takes
// them (and anything else that wants to script a reader):
//
//   insert NAME | remove | power on|off | dsr-drop MS | cts-pulse MS | status
//   fault nak N | fault silent N | fault corrupt N | fault truncate KEEP N | fault noise HEX
//   fault dle-pairs N | fault stray-etx N | fault chunk SIZE GAP_MS N | fault delay MS N
//   fault refuse-speed | fault pts refuse|wrong | fault chain-removal BLOCKS
//   fault random SEED PERCENT | fault clear
//
// Counted faults hit the next N replies; `fault noise 55 AA01` sends those bytes (hex pairs, in
// one word or several) ahead of the next reply, as they are. Each command answers one line: "ok",
// "ok <details>" or "error <why>".
#pragma once

#include "sim/reader.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace qkr::sim {

// The most bytes `fault noise` sends ahead of a reply.
constexpr std::size_t kMaxNoise = 1024;

// Carries out one command on `reader`; call it where the reader's calls may be made (see
// reader.h).
std::string control_command(ReaderSim& reader, std::string_view line);

} // namespace qkr::sim
