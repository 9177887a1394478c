// The whole-system explorer: a seeded random plan of operations on one to four readers (Plug
// and Play, power, cards, the line, allocation failures, clients on both slots) carried out by
// concurrent actors under the kernel's controlled schedule, with invariants checked along the
// way and at the end. A failing plan shrinks to a short one that still fails, written as a
// replay file.
#pragma once

#include "platform/kernel/kernel.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace qkr::explore {

enum class OpKind {
    // Plug and Play, power and the world around the reader (the environment actor).
    Start,
    Stop,
    QueryStopCancelled,
    QueryRemoveCancelled,
    SurpriseRemoval, // then the removal and a new device on the same reader
    Remove,          // a removal query, the removal, and a new device
    Sleep,
    Wake,
    AbandonedSleep, // a sleep query the system then gives up
    InsertCard,
    RemoveCard,
    SwapSlot1Card,
    ReaderPowerOff,
    ReaderPowerOn,
    DsrBlip,
    CtsPulse,
    LineFault,
    PoolFailure,
    IrpFailure,
    // Clients.
    Session, // cold reset, protocol, SELECT of the file
    Read,
    Update,
    PowerDown,
    Track,       // a card-tracking request left parked
    CancelTrack, // cancels the oldest parked one
    Close,       // closes the client's handle (ending what it parked)
};

struct Op {
    int actor = 0; // 0: environment; 1, 2: the slot-0 and slot-1 clients; 3: the tracker
    OpKind kind = OpKind::Start;
    int reader = 0;
    int slot = 0;
    std::uint32_t a = 0;        // offset, card model, fault kind, count ...
    std::uint32_t b = 0;        // length, data seed ...
    std::uint32_t delay_ms = 0; // the actor's pause before it
};

struct Plan {
    std::uint64_t seed = 1;
    int readers = 1;
    kern::Schedule schedule = kern::Schedule::Random;
    int depth = 3;
    std::vector<Op> ops;
};

// A seeded plan of `steps` operations.
Plan generate(std::uint64_t seed, int steps, kern::Schedule schedule = kern::Schedule::Random);

struct Result {
    std::vector<std::string> problems; // empty: every invariant held
    std::uint64_t ops_done = 0;
    std::uint64_t apdus_ok = 0;     // answered as the model says
    std::uint64_t apdus_failed = 0; // ended with a defined failure while something was going on
    std::uint64_t switch_points = 0;
    std::uint64_t fingerprint = 0;
    kern::Ticks virtual_time = 0;
    std::uint64_t log_hash = 0; // of the driver's lines, in order
    std::uint64_t log_lines = 0;
};

// Runs the plan under the controlled schedule its seed gives, in a process of its own (a crash or
// a hang is a problem found, not the end of the caller).
// `trace` prints the driver's lines on standard error as they come.
Result run(const Plan& plan, bool trace = false);

// A shorter plan that still fails, found by removing operations (at most `budget` runs).
Plan shrink(const Plan& failing, int budget = 400);

// The replay file: a header with the seed, the schedule and the number of readers, then one
// operation a line.
void write_plan(const Plan& plan, std::ostream& out);
std::optional<Plan> read_plan(std::istream& in, std::string* error);
std::string op_text(const Op& op);

} // namespace qkr::explore
