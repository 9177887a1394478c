// The tool's script language: one command a line, `#` comments, one result line per command.
#pragma once

#include "tools/qkr/session.h"

#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace qkr::tool {

struct ScriptOptions {
    bool keep_going = false;  // go on after an unexpected error
    bool interactive = false; // print a prompt before each line
};

// Runs one command line against the session and prints its result line to `out`.
// Returns true when the command did what was asked (or failed as `expect` said it would).
bool run_command(Session& session, std::string_view line, std::ostream& out, std::ostream& err);

// Runs every line of `in`; returns the process exit status: 0 only if every command succeeded.
int run_script(Session& session, std::istream& in, std::ostream& out, std::ostream& err,
               ScriptOptions options);

// A number of seconds a person may ask to wait or advance by: 0 to 10^7 (nan, infinities and
// larger values would overflow the clock's ticks).
std::optional<double> parse_seconds(const std::string& word);

// The attribute ids `attr` knows by name ("vendor-name", "atr", ...), for help and tests.
std::string attribute_names();

} // namespace qkr::tool
