// A person's reading of an answer to reset, field by field.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qkr::tool {

// Lines such as "TS 3B direct convention", "TA1 11 Fi 372 Di 1", "historical bytes ...".
// A malformed ATR is described as far as it goes, then named malformed.
std::string describe_atr(std::span<const std::uint8_t> atr);

} // namespace qkr::tool
