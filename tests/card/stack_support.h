// A client's view of a reader for the whole-stack card tests: the standard smart card requests on
// one slot through the driver's device, with the answers unpacked.
#pragma once

#include "host/host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace qkr::cardtest {

using Data = std::vector<std::uint8_t>;

using Client = host::SlotClient;

// Every command payload the simulated reader receives, in order.
class CommandLog {
  public:
    explicit CommandLog(sim::ReaderSim& sim) {
        sim.set_command_observer([this](std::span<const std::uint8_t> p) {
            std::lock_guard lock(mutex_);
            commands_.emplace_back(p.begin(), p.end());
        });
    }
    std::vector<Data> all() const {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    // The card commands of one slot (reader-level queries left out).
    std::vector<Data> slot(int n) const {
        std::vector<Data> out;
        for (const Data& c : all()) {
            if (c.size() >= 2 && c[0] != RDCMD_GET_TYPE && c[0] != RDCMD_GET_STATUS && c[1] == n)
                out.push_back(c);
        }
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        commands_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Data> commands_;
};

// The log lines that carry `tag`.
inline std::vector<std::string> lines_with(const std::vector<std::string>& lines,
                                           const std::string& tag) {
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (l.find(tag) != std::string::npos)
            out.push_back(l);
    return out;
}

inline Data bytes(std::initializer_list<std::uint8_t> b) {
    return Data(b);
}
inline Data ascii(const std::string& s) {
    return Data(s.begin(), s.end());
}
inline Data concat(Data a, const Data& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace qkr::cardtest
