// A picture of a session on its time axis: the frames on the serial line, one lane per direction,
// and the driver's log lines as ticks, as an SVG document.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/serial/tap.h"

#include <span>
#include <string>
#include <vector>

namespace qkr::tool {

struct LogLine {
    kern::Ticks time = 0;
    std::string text;
};

// One frame (or a run of bytes outside any frame) as the timeline draws it.
struct TimelineFrame {
    serial::Direction direction = serial::Direction::ToDevice;
    kern::Ticks start = 0; // the first byte's arrival
    kern::Ticks end = 0;   // the last byte's arrival
    std::vector<std::uint8_t> payload;
    std::string label;       // "get status", "data (15)", "NAK", "noise" ...
    bool complete = false;   // ended with DLE ETX
    bool garbled = false;    // a byte the two ends disagreed on
    bool retry = false;      // the host sent the same command again
    bool unanswered = false; // a command the reader did not answer before the next one
};

// The line's bytes grouped into frames, labelled and marked.
std::vector<TimelineFrame> timeline_frames(std::span<const serial::TapByte> bytes);

std::string timeline_svg(std::span<const serial::TapByte> bytes, std::span<const LogLine> log,
                         const std::string& title);

} // namespace qkr::tool
