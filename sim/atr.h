// Answers to reset as ISO/IEC 7816-3 lays them out, and the clock and bit rate tables both the
// cards and the reader's firmware take their timing from.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qkr::sim {

using Bytes = std::vector<std::uint8_t>;

// Appends `from` to `to`.
void append(Bytes& to, std::span<const std::uint8_t> from);

// The card clock every slot of the reader runs at, in Hz.
constexpr double kCardClockHz = 3'571'000.0;

// Clock rate conversion factor F for a code Fi (0 when the code is reserved).
unsigned f_from_code(unsigned code);
// Bit rate adjustment factor D for a code Di (0 when the code is reserved).
unsigned d_from_code(unsigned code);

struct AtrShape {
    bool inverse = false;            // TS 0x3F instead of 0x3B
    std::optional<std::uint8_t> ta1; // Fi << 4 | Di
    std::optional<std::uint8_t> tb1;
    std::optional<std::uint8_t> tc1; // extra guard time N
    bool t0 = true;                  // offers T=0
    bool t1 = false;                 // offers T=1
    std::optional<std::uint8_t> ta2; // specific mode
    std::optional<std::uint8_t> tc2; // T=0 waiting time integer WI
    std::uint8_t ifsc = 32;          // T=1 TA3
    std::uint8_t bwi = 4;            // T=1 TB3, high nibble
    std::uint8_t cwi = 13;           // T=1 TB3, low nibble
    bool crc = false;                // T=1 TC3 bit 0
    Bytes historical;
};

// Builds the ATR bytes (as decoded values: TS reads 0x3F for the inverse convention), with TCK
// whenever a protocol other than T=0 is offered.
Bytes build_atr(const AtrShape& shape);

// What the reader's firmware and the tests need out of an ATR.
struct AtrInfo {
    bool inverse = false;
    unsigned fi_code = 1; // TA1, or the defaults
    unsigned di_code = 1;
    unsigned n = 0; // TC1
    bool offers_t0 = false;
    bool offers_t1 = false;
    unsigned first_protocol = 0; // the protocol of TD1, 0 when absent
    bool specific = false;       // TA2 present
    bool specific_uses_ta1 = false;
    unsigned wi = 10; // TC2
    unsigned ifsc = 32;
    unsigned bwi = 4;
    unsigned cwi = 13;
    bool crc = false;
    Bytes historical;
    bool tck_present = false;
    bool tck_ok = true;
};

// An ATR's structure as its bytes give it, read as far as they go: the one walk through the
// interface bytes that both the firmware's parse and the tool's description take.
struct AtrWalk {
    struct Interface {
        unsigned group; // TA1 is in group 1
        unsigned kind;  // 0 TA, 1 TB, 2 TC, 3 TD
        std::uint8_t value;
        unsigned protocol; // the protocol of the TD that opened the group; 0 in group 1
    };
    enum class Cut { None, T0, Interface, Historical };
    std::vector<Interface> interface;
    std::size_t historical_at = 0; // where the historical bytes begin
    std::size_t historical = 0;    // as many as T0 announces
    bool tck_needed = false;       // a protocol other than T=0 is announced
    Cut cut = Cut::None;           // where the bytes ran out, if they did
};
AtrWalk walk_atr(std::span<const std::uint8_t> atr);

// Parses an ATR; nullopt when it is malformed (too short, truncated, longer than 33 bytes, a wrong
// TS or, when present, a wrong TCK).
std::optional<AtrInfo> parse_atr(std::span<const std::uint8_t> atr);

// One elementary time unit in 100 ns ticks (as a double: etus are fractional).
double etu_ticks(unsigned f, unsigned d);

} // namespace qkr::sim
