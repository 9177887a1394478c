#include "tools/qkr/timeline.h"

#include "include/qkr/qkr.h"
#include "tools/qkr/text.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <map>
#include <sstream>

namespace qkr::tool {

namespace {

using serial::Direction;

// Within a busy stretch one millisecond is this wide; a quiet stretch longer than kBreak is drawn
// kBreakWidth wide with its length written on it, so that a 3 s pause does not dwarf the frames.
constexpr double kPxPerMs = 10;
constexpr kern::Ticks kBreak = kern::milliseconds(10);
constexpr double kBreakWidth = 64;
constexpr double kMinFrameWidth = 3;
constexpr double kLeft = 120;
constexpr double kLaneHeight = 34;
constexpr double kHostY = 44, kReaderY = 94, kLogY = 144, kAxisY = 176;

std::string command_name(const std::vector<std::uint8_t>& p) {
    if (p.empty())
        return "empty frame";
    std::string slot = p.size() > 1 && p[1] == 1 ? " [1]" : "";
    switch (p[0]) {
    case RDCMD_GET_TYPE:
        return "get type";
    case RDCMD_SET_PARAMS:
        return "set parameters" + slot;
    case RDCMD_POWER_ON:
        return "cold reset" + slot;
    case RDCMD_POWER_OFF:
        return "power off" + slot;
    case RDCMD_WARM_RESET:
        return "warm reset" + slot;
    case RDCMD_GET_STATUS:
        return "get status";
    case RDCMD_EXCHANGE:
        return "exchange (" + std::to_string(p.size() > 5 ? p.size() - 5 : 0) + ")" + slot;
    case RDCMD_MEM_EXCHANGE:
        return "memory exchange" + slot;
    case 0x4C:
        return "link speed";
    default: {
        char buf[24];
        std::snprintf(buf, sizeof buf, "command %02X", p[0]);
        return buf;
    }
    }
}

std::string reply_name(const std::vector<std::uint8_t>& p) {
    if (p.empty())
        return "empty frame";
    const std::size_t data = p.size() > 4 ? p.size() - 4 : 0;
    switch (p[0]) {
    case QKR_NAK:
        return "NAK";
    case RDRSP_TYPE:
        return "type";
    case RDRSP_STATUS:
        return "status";
    case RDRSP_DONE:
        return "done";
    case RDRSP_DATA:
        return data == 0 ? "no answer" : "data (" + std::to_string(data) + ")";
    case RDRSP_NO_CARD:
        return "no card";
    case 0x6E:
        return "refused";
    default: {
        char buf[24];
        std::snprintf(buf, sizeof buf, "reply %02X", p[0]);
        return buf;
    }
    }
}

std::string hex2(std::uint8_t a, std::uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X %02X", a, b);
    return buf;
}

std::string ins_name(std::uint8_t ins) {
    switch (ins) {
    case 0xA4:
        return "SELECT";
    case 0xB0:
        return "READ BINARY";
    case 0xD6:
        return "UPDATE BINARY";
    case 0x84:
        return "GET CHALLENGE";
    case 0xC0:
        return "GET RESPONSE";
    case 0x20:
        return "VERIFY";
    default: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "INS %02X", ins);
        return buf;
    }
    }
}

// A T=1 block by its PCB; an I-block by the command it opens or the status word it closes with.
std::string block_name(std::span<const std::uint8_t> block, bool from_card) {
    if (block.size() < 3)
        return "block (short)";
    const std::uint8_t pcb = block[1];
    const auto inf = block.subspan(3, std::min<std::size_t>(block[2], block.size() - 3));
    if ((pcb & 0x80) == 0) {
        const bool more = pcb & 0x20;
        if (from_card)
            return !more && inf.size() >= 2 ? "answer " + hex2(inf[inf.size() - 2], inf.back())
                                            : "I-block";
        return inf.size() >= 4 ? ins_name(inf[1]) : "I-block";
    }
    if ((pcb & 0xC0) == 0x80)
        return "R-block";
    static const char* kinds[] = {"RESYNCH", "IFS", "ABORT", "WTX"};
    return std::string("S(") + kinds[pcb & 0x03] + (pcb & 0x20 ? " response)" : " request)");
}

// Names the card exchanges and their answers once the frames are in order: the protocol of each
// slot is the one its last parameter setting chose, and a reset's first exchange that starts with
// FF is a PTS request.
void name_exchanges(std::vector<TimelineFrame>& frames) {
    bool t1[2] = {false, false};
    bool fresh[2] = {false, false}; // reset, parameters not set yet
    enum class Last { Other, Reset, Pts, T0, T1 } last = Last::Other;
    for (auto& f : frames) {
        const auto& p = f.payload;
        if (!f.complete || p.size() < 2)
            continue;
        const int slot = p[1] == 1 ? 1 : 0;
        const std::string tag = slot == 1 ? " [1]" : "";
        if (f.direction == Direction::ToDevice) {
            last = Last::Other;
            if (p[0] == RDCMD_POWER_ON || p[0] == RDCMD_WARM_RESET) {
                last = Last::Reset;
                fresh[slot] = true;
            } else if (p[0] == RDCMD_SET_PARAMS && p.size() > 3) {
                if (!(p[3] & RDPARAM_WTX))
                    t1[slot] = p[3] & RDPARAM_T1;
                fresh[slot] = false;
            } else if (p[0] == RDCMD_EXCHANGE && p.size() > 5) {
                const std::span<const std::uint8_t> body(p.begin() + 5, p.end());
                if (fresh[slot] && body[0] == 0xFF) {
                    last = Last::Pts;
                    f.label = "PTS request" + tag;
                } else if (t1[slot]) {
                    last = Last::T1;
                    f.label = block_name(body, false) + tag;
                } else {
                    last = Last::T0;
                    f.label = (body.size() >= 5 ? ins_name(body[1]) : "TPDU") + tag;
                }
                fresh[slot] = false;
            }
            continue;
        }
        if (p[0] != RDRSP_DATA || p.size() <= 4)
            continue;
        const std::span<const std::uint8_t> data(p.begin() + 4, p.end());
        if (last == Last::Reset)
            f.label = "ATR";
        else if (last == Last::Pts)
            f.label = "PTS answer";
        else if (last == Last::T1)
            f.label = block_name(data, true);
        else if (last == Last::T0 && data.size() >= 2)
            f.label = "answer " + hex2(data[data.size() - 2], data.back());
    }
}

// DLE STX, the payload with each DLE doubled, its check byte, DLE ETX; anything outside a frame is
// noise. A DLE STX inside a frame starts a new one, as the reader's own scanner does.
void scan(std::span<const serial::TapByte> bytes, Direction dir, std::vector<TimelineFrame>& out) {
    enum class Mode { Idle, Noise, Frame } mode = Mode::Idle;
    TimelineFrame cur;
    bool dle = false;
    kern::Ticks dle_time = 0;
    auto finish = [&](bool complete) {
        if (mode == Mode::Idle)
            return;
        cur.direction = dir;
        cur.complete = complete;
        if (mode == Mode::Noise) {
            cur.label = "noise";
        } else {
            if (complete && !cur.payload.empty())
                cur.payload.pop_back(); // the check byte
            cur.label =
                dir == Direction::ToDevice ? command_name(cur.payload) : reply_name(cur.payload);
            if (!complete)
                cur.label += " (incomplete)";
        }
        out.push_back(std::move(cur));
        cur = {};
        mode = Mode::Idle;
    };
    auto begin = [&](Mode m, kern::Ticks t) {
        mode = m;
        cur.start = cur.end = t;
    };
    for (const auto& b : bytes) {
        if (b.direction != dir)
            continue;
        const std::uint8_t c = b.byte;
        if (dle) {
            dle = false;
            if (c == QKR_STX) {
                finish(false);
                begin(Mode::Frame, dle_time);
            } else if (mode == Mode::Frame && c == QKR_ETX) {
                cur.end = b.time;
                finish(true);
                continue;
            } else if (mode == Mode::Frame) {
                cur.payload.push_back(c); // DLE DLE, or a DLE before anything else
            } else {
                if (mode == Mode::Idle)
                    begin(Mode::Noise, dle_time);
                if (c == QKR_DLE) {
                    dle = true;
                    dle_time = b.time;
                }
            }
        } else if (c == QKR_DLE) {
            dle = true;
            dle_time = b.time;
            if (mode != Mode::Frame)
                continue; // the start of a frame, or more noise
        } else if (mode == Mode::Frame) {
            cur.payload.push_back(c);
        } else if (mode == Mode::Idle) {
            begin(Mode::Noise, b.time);
        }
        cur.end = b.time;
        cur.garbled = cur.garbled || b.garbled;
    }
    finish(false);
}

std::string escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            // XML 1.0 allows no control characters, and a command line need not be UTF-8.
            out += static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F
                       ? '?'
                       : c;
        }
    }
    return out;
}

std::string seconds(kern::Ticks t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4f s", static_cast<double>(t) / kern::kTicksPerSecond);
    return buf;
}

std::string duration(kern::Ticks t) {
    char buf[32];
    if (t >= kern::kTicksPerSecond)
        std::snprintf(buf, sizeof buf, "%.3f s", static_cast<double>(t) / kern::kTicksPerSecond);
    else
        std::snprintf(buf, sizeof buf, "%.1f ms",
                      static_cast<double>(t) * 1000 / kern::kTicksPerSecond);
    return buf;
}

} // namespace

std::vector<TimelineFrame> timeline_frames(std::span<const serial::TapByte> bytes) {
    std::vector<TimelineFrame> frames;
    scan(bytes, Direction::ToDevice, frames);
    scan(bytes, Direction::ToHost, frames);
    std::stable_sort(frames.begin(), frames.end(),
                     [](const auto& a, const auto& b) { return a.start < b.start; });
    name_exchanges(frames);
    // A command is unanswered when the next command comes before any reply; the same command
    // again is the driver's retry.
    TimelineFrame* last_cmd = nullptr;
    bool answered = true, answer_good = true;
    for (auto& f : frames) {
        if (f.direction == Direction::ToHost) {
            answered = true;
            answer_good = f.complete && !f.garbled && f.label != "NAK";
            continue;
        }
        if (f.label == "noise")
            continue;
        if (last_cmd != nullptr) {
            f.retry = f.payload == last_cmd->payload && !(answered && answer_good);
            last_cmd->unanswered = !answered;
        }
        last_cmd = &f;
        answered = false;
    }
    if (last_cmd != nullptr)
        last_cmd->unanswered = !answered;
    return frames;
}

namespace {

// The time axis: every instant something happened, quiet stretches shortened to a marked break.
struct Axis {
    struct Break {
        double x;
        kern::Ticks from, to;
    };
    std::vector<kern::Ticks> times;
    std::map<kern::Ticks, double> x;
    std::vector<Break> breaks;
    double width = 0;
};

Axis time_axis(const std::vector<TimelineFrame>& frames, std::span<const LogLine> log) {
    Axis axis;
    std::vector<kern::Ticks>& times = axis.times;
    for (const auto& f : frames) {
        times.push_back(f.start);
        times.push_back(f.end);
    }
    for (const auto& l : log)
        times.push_back(l.time);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    double at = kLeft + 10;
    for (std::size_t i = 0; i < times.size(); ++i) {
        if (i > 0) {
            const kern::Ticks gap = times[i] - times[i - 1];
            if (gap > kBreak) {
                axis.breaks.push_back({at, times[i - 1], times[i]});
                at += kBreakWidth;
            } else {
                at += static_cast<double>(gap) * kPxPerMs / kern::milliseconds(1);
            }
        }
        axis.x[times[i]] = at;
    }
    axis.width = at + 120;
    return axis;
}

void draw_background(std::ostream& svg, const Axis& axis, const std::string& title) {
    const double width = axis.width;
    const double height = kAxisY + 20;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height
        << "\" font-family=\"monospace\" font-size=\"10\">\n"
        << "<title>" << escape(title) << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"8\" y=\"18\" font-size=\"12\">" << escape(title) << "</text>\n";
    const char* lanes[] = {"host → reader", "reader → host", "driver log"};
    const double lane_y[] = {kHostY, kReaderY, kLogY};
    for (int i = 0; i < 3; ++i)
        svg << "<text x=\"8\" y=\"" << lane_y[i] + 20 << "\">" << lanes[i] << "</text>\n"
            << "<line x1=\"" << kLeft << "\" y1=\"" << lane_y[i] + kLaneHeight << "\" x2=\""
            << width - 10 << "\" y2=\"" << lane_y[i] + kLaneHeight << "\" stroke=\"#ddd\"/>\n";
    for (const auto& b : axis.breaks)
        svg << "<g class=\"gap\"><rect x=\"" << b.x + 4 << "\" y=\"" << kHostY << "\" width=\""
            << kBreakWidth - 8 << "\" height=\"" << kAxisY - kHostY
            << "\" fill=\"#f4f4f4\"/><text x=\"" << b.x + kBreakWidth / 2 << "\" y=\"" << kHostY - 6
            << "\" text-anchor=\"middle\" fill=\"#888\">+" << duration(b.to - b.from)
            << "</text></g>\n";

    // The clock at the start of each busy stretch.
    double last_clock = -1e9; // no label over another
    const std::vector<kern::Ticks>& times = axis.times;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const double at = axis.x.at(times[i]);
        if ((i > 0 && times[i] - times[i - 1] <= kBreak) || at - last_clock < 64)
            continue;
        last_clock = at;
        svg << "<text x=\"" << at << "\" y=\"" << kAxisY + 10 << "\" fill=\"#555\">"
            << seconds(times[i]) << "</text>\n";
    }
}

void draw_frame(std::ostream& svg, const Axis& axis, const TimelineFrame& f) {
    const bool host = f.direction == Direction::ToDevice;
    const double x0 = axis.x.at(f.start);
    const double w = std::max(kMinFrameWidth, axis.x.at(f.end) - x0);
    const double y = host ? kHostY : kReaderY;
    const bool bad = f.label == "NAK" || f.label == "noise" || !f.complete || f.garbled;
    const char* fill = bad ? "#f6c6c6" : host ? "#cfe0f7" : "#d3efd3";
    const char* stroke = f.retry ? "#e08000" : bad ? "#c00000" : "#555";
    svg << "<g class=\"frame\" data-dir=\"" << (host ? "out" : "in") << "\" data-start=\""
        << f.start << "\" data-end=\"" << f.end << "\"><title>" << escape(f.label) << " at "
        << seconds(f.start) << ": " << format_hex(f.payload) << "</title>"
        << "<rect x=\"" << x0 << "\" y=\"" << y << "\" width=\"" << w << "\" height=\""
        << kLaneHeight - 8 << "\" rx=\"2\" fill=\"" << fill << "\" stroke=\"" << stroke << "\""
        << (f.retry ? " stroke-width=\"2\"" : "") << "/><text x=\"" << x0 + 2 << "\" y=\"" << y + 16
        << "\">" << escape((f.retry ? "retry: " : "") + f.label) << "</text></g>\n";
    if (f.unanswered)
        svg << "<g class=\"timeout\"><line x1=\"" << x0 + w << "\" y1=\"" << kReaderY + 13
            << "\" x2=\"" << x0 + w + 40 << "\" y2=\"" << kReaderY + 13
            << "\" stroke=\"#c00000\" stroke-dasharray=\"3,2\"/><text x=\"" << x0 + w + 2
            << "\" y=\"" << kReaderY + 24 << "\" fill=\"#c00000\">no reply</text></g>\n";
}

void draw_log_line(std::ostream& svg, const Axis& axis, const LogLine& l) {
    const bool alarm = l.text.find("imeout") != std::string::npos ||
                       l.text.find("TIMEOUT") != std::string::npos ||
                       l.text.find("NAK") != std::string::npos;
    const double lx = axis.x.at(l.time);
    svg << "<line class=\"log\" x1=\"" << lx << "\" y1=\"" << kLogY + (alarm ? 0 : 10) << "\" x2=\""
        << lx << "\" y2=\"" << kLogY + kLaneHeight - 8 << "\" stroke=\""
        << (alarm ? "#c00000" : "#888") << "\"" << (alarm ? " stroke-width=\"2\"" : "")
        << "><title>" << seconds(l.time) << " " << escape(l.text) << "</title></line>\n";
}

} // namespace

std::string timeline_svg(std::span<const serial::TapByte> bytes, std::span<const LogLine> log,
                         const std::string& title) {
    const std::vector<TimelineFrame> frames = timeline_frames(bytes);
    const Axis axis = time_axis(frames, log);
    std::ostringstream svg;
    svg << std::fixed << std::setprecision(1); // no exponents, however long the session
    draw_background(svg, axis, title);
    for (const auto& f : frames)
        draw_frame(svg, axis, f);
    for (const auto& l : log)
        draw_log_line(svg, axis, l);
    svg << "</svg>\n";
    return svg.str();
}

} // namespace qkr::tool
