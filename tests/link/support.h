// Small helpers shared by the driver's link and device tests.
#pragma once

#include "driver/driver.h"

#include <algorithm>
#include <string>
#include <vector>

namespace qkr::testing {

using Bytes = std::vector<unsigned char>;

// A log line as the driver wrote it, without the line end (the kernel may or may not keep it).
inline std::string line_text(std::string line) {
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

inline std::vector<std::string> normalised(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    out.reserve(lines.size());
    for (const auto& l : lines)
        out.push_back(line_text(l));
    return out;
}

// The lines of `log` that start with one of `prefixes`, in order.
inline std::vector<std::string> lines_starting(const std::vector<std::string>& log,
                                               const std::vector<std::string>& prefixes) {
    std::vector<std::string> out;
    for (const auto& l : normalised(log)) {
        for (const auto& p : prefixes) {
            if (l.rfind(p, 0) == 0) {
                out.push_back(l);
                break;
            }
        }
    }
    return out;
}

inline std::size_t count_lines(const std::vector<std::string>& log, const std::string& text) {
    auto n = normalised(log);
    return static_cast<std::size_t>(std::count(n.begin(), n.end(), line_text(text)));
}

// True if `wanted` appear in `log` in this order, other lines in between allowed.
inline bool has_in_order(const std::vector<std::string>& log,
                         const std::vector<std::string>& wanted) {
    auto n = normalised(log);
    auto at = n.begin();
    for (const auto& w : wanted) {
        at = std::find(at, n.end(), line_text(w));
        if (at == n.end())
            return false;
        ++at;
    }
    return true;
}

// Runs `talk` as the callbacks hold a conversation with the reader: under the reader lock, with
// the busy mark set.
template <typename Talk>
auto in_conversation(PSMARTCARD_EXTENSION slot, Talk talk) {
    PDEVICE_EXTENSION device = Qkr_DeviceExtensionOf(slot);
    BOOLEAN& busy = device->SmartcardExtension.ReaderExtension->ReaderBusy;
    Qkr_AcquireReader(device);
    busy = TRUE;
    const auto result = talk();
    busy = FALSE;
    Qkr_ReleaseReader(device);
    return result;
}

// A reader command sent as the driver sends it.
inline NTSTATUS exchange_in_conversation(ULONG mode, PSMARTCARD_EXTENSION slot) {
    return in_conversation(slot, [&] { return Qkr_ExchangeCommand(mode, slot); });
}

} // namespace qkr::testing
