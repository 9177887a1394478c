// Hex byte strings as people type them, for every command language of the simulator and tools.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qkr::sim {

// "00A4 04 00" or "00:a4:04:00" -> bytes; nullopt for an odd digit count or a non-hex character.
std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text);

} // namespace qkr::sim
