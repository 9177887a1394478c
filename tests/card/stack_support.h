// A client's view of a reader for the whole-stack card tests: the standard smart card requests on
// one slot through the driver's device, with the answers unpacked.
#pragma once

#include "tools/host/host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace qkr::cardtest {

using Data = std::vector<std::uint8_t>;

class Client {
  public:
    Client(host::Reader& reader, kern::FileHandle& handle, int slot)
        : reader_(reader), handle_(handle), slot_(slot) {}

    NTSTATUS call(ULONG code, const Data& input, Data* output, ULONG output_length) {
        return slot_ == 0 ? reader_.ioctl(handle_, code, input, output, output_length)
                          : reader_.ioctl_slot1(handle_, code, input, output, output_length);
    }
    NTSTATUS power(ULONG minor, Data* atr = nullptr, ULONG room = 64) {
        Data scratch;
        return call(IOCTL_SMARTCARD_POWER, u32(minor), atr != nullptr ? atr : &scratch, room);
    }
    NTSTATUS set_protocol(ULONG accepted, ULONG* selected = nullptr) {
        Data out;
        NTSTATUS status = call(IOCTL_SMARTCARD_SET_PROTOCOL, u32(accepted), &out, 4);
        if (selected != nullptr)
            *selected = out.size() == 4 ? read_u32(out) : 0xFFFFFFFF;
        return status;
    }
    // One APDU; the response without the protocol header in front of it.
    NTSTATUS transmit(ULONG protocol, const Data& apdu, Data* response, ULONG room = 600) {
        SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
        Data in(sizeof header);
        std::memcpy(in.data(), &header, sizeof header);
        in.insert(in.end(), apdu.begin(), apdu.end());
        Data out;
        NTSTATUS status = call(IOCTL_SMARTCARD_TRANSMIT, in, &out, room);
        response->clear();
        if (out.size() >= sizeof header)
            response->assign(out.begin() + sizeof header, out.end());
        return status;
    }
    NTSTATUS vendor(ULONG code, const Data& input, Data* output, ULONG room = 64) {
        return call(code, input, output, room);
    }
    ULONG state() {
        Data out;
        call(IOCTL_SMARTCARD_GET_STATE, {}, &out, 4);
        return out.size() == 4 ? read_u32(out) : 0xFFFFFFFF;
    }

    static Data u32(ULONG v) {
        Data d(4);
        std::memcpy(d.data(), &v, 4);
        return d;
    }
    static ULONG read_u32(const Data& d) {
        ULONG v = 0;
        std::memcpy(&v, d.data(), 4);
        return v;
    }

  private:
    host::Reader& reader_;
    kern::FileHandle& handle_;
    int slot_;
};

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
