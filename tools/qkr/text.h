// Text the tool reads and prints: hex byte strings and status names.
#pragma once

#include "platform/kernel/nt.h"
#include "sim/hex.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qkr::tool {

using sim::parse_hex;

// Upper-case hex pairs separated by single spaces: "90 00".
std::string format_hex(std::span<const std::uint8_t> bytes);

// Something a user typed, fit to echo in a message: at most `max` characters, anything but
// printable ASCII as '?', and the length of what was left out.
std::string excerpt(std::string_view text, std::size_t max = 40);

// The symbolic name of a status the driver stack produces, or "" when it has none.
std::string_view status_name(NTSTATUS status);

// "0xC00000B5 STATUS_IO_TIMEOUT" style: status in 8 hex digits and its name.
std::string describe_status(NTSTATUS status);

} // namespace qkr::tool
