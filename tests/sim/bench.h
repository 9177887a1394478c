// A reader simulator on a simulated line, driven from the port's end with hand-built frames, on
// the kernel's virtual clock.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/serial/sim_line.h"
#include "sim/reader.h"
#include "sim/t1_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace qkr::sim::test {

using kern::milliseconds;
using kern::seconds;
using kern::Ticks;
using u8 = std::uint8_t;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Host-side framing, written out here so the tests do not lean on the simulator's own.
inline Bytes frame(std::span<const std::uint8_t> payload) {
    Bytes f = {0x10, 0x02}, body(payload.begin(), payload.end());
    body.push_back(std::accumulate(payload.begin(), payload.end(), 0, std::bit_xor<>()));
    for (std::uint8_t b : body)
        f.insert(f.end(), b == 0x10 ? 2 : 1, b);
    return f + Bytes{0x10, 0x03};
}

// The first complete frame in `raw` from `from` on (noise before it skipped): its payload without
// the check byte, whether the check byte was right, and the index after its DLE ETX.
struct Decoded {
    Bytes payload;
    bool ok = false;
    std::size_t end = 0;
};
inline std::optional<Decoded> deframe(const Bytes& raw, std::size_t i = 0) {
    for (; i + 1 < raw.size() && !(raw[i] == 0x10 && raw[i + 1] == 0x02); ++i)
        i += raw[i] == 0x10 && raw[i + 1] == 0x10; // a pair in the noise
    Decoded d;
    for (i += 2; i + 1 < raw.size(); d.payload.push_back(raw[i++])) {
        if (raw[i] == 0x10 && raw[i + 1] == 0x03) {
            d.ok = std::accumulate(d.payload.begin(), d.payload.end(), 0, std::bit_xor<>()) == 0 &&
                   !d.payload.empty();
            d.payload.resize(d.payload.empty() ? 0 : d.payload.size() - 1);
            return d.end = i + 2, d;
        }
        if (raw[i] == 0x10 && raw[++i] != 0x10)
            return Decoded{};
    }
    return std::nullopt;
}

inline Bytes cmd(u8 code, u8 slot = 0) {
    return {code, slot, 0x00};
}
inline Bytes exchange(std::span<const u8> body, u8 slot = 0, u8 code = 0x67) {
    return Bytes{code, slot, 0x00, u8(body.size() >> 8), u8(body.size())} +
           Bytes(body.begin(), body.end());
}
inline Bytes set_params(u8 flags, u8 n, u8 wt, u8 bw, u8 mult = 0) {
    return {0x61, 0x00, 0x00, flags, n, wt, bw, mult};
}
// The data of a reply (bytes 4 on), after checking the length bytes against it.
inline Bytes data_of(const Bytes& reply) {
    if (reply.size() < 4)
        return {};
    EXPECT_EQ(reply.size(), 4u + (reply[2] << 8 | reply[3])) << "length bytes disagree";
    return Bytes(reply.begin() + 4, reply.end());
}
inline Bytes t1_block(std::uint8_t pcb, std::span<const std::uint8_t> inf, bool crc = false) {
    const Bytes b = Bytes{0x00, pcb, std::uint8_t(inf.size())} + Bytes(inf.begin(), inf.end());
    return b + t1_epilogue(b, crc);
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kSelect5001 = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
const Bytes kSw9000 = {0x90, 0x00};
const Bytes kNoCard = {0x67, 0x00, 0x00, 0x00};
const Bytes kNakFrame = {0x10, 0x02, 0x15, 0x15, 0x10, 0x03};

// The reader on a line whose port's end records what arrives and when, and the modem lines
// (under `m` when the clock is real; a virtual clock runs one thing at a time).
struct Bench : serial::LinePortSink {
    explicit Bench(ReaderConfig config = {}, std::uint32_t baud = 19200,
                   kern::ClockMode mode = kern::ClockMode::Virtual)
        : k(mode), line(k, serial::LineFormat{baud}), reader(std::move(config)) {
        line.attach(this);
        line.open();
        line.connect_device(&reader);
        k.sleep_for(milliseconds(1));
    }
    ~Bench() override { line.connect_device(nullptr), line.attach(nullptr); }
    void on_receive(std::span<const std::uint8_t> bytes) override {
        std::lock_guard lock(m);
        rx.insert(rx.end(), bytes.begin(), bytes.end());
        times.insert(times.end(), bytes.size(), k.now());
    }
    void on_tx_empty() override {}
    void on_modem_change(serial::ModemLines l) override {
        std::lock_guard lock(m);
        lines = l;
    }
    void send_raw(std::span<const std::uint8_t> bytes) { line.transmit(bytes); }
    void send(std::span<const std::uint8_t> payload) { send_raw(frame(payload)); }
    // The next complete reply frame, waiting up to `limit` (virtual time) for it.
    std::optional<Decoded> wait_reply(Ticks limit = seconds(5)) {
        for (const Ticks end = k.now() + limit; k.now() < end; k.sleep_for(milliseconds(1))) {
            std::unique_lock lock(m);
            if (auto d = deframe(rx, consumed))
                return consumed = d->end, d;
        }
        return std::nullopt;
    }
    // A command's reply payload; the test fails if none comes back or its check byte is wrong.
    Bytes transact(std::span<const std::uint8_t> payload, Ticks limit = seconds(5)) {
        send(payload);
        auto d = wait_reply(limit);
        EXPECT_TRUE(d && d->ok) << "no good reply";
        return d ? d->payload : Bytes{};
    }
    Bytes power_on(std::uint8_t slot = 0) { return data_of(transact(cmd(0x62, slot))); }
    // A card body (T=0 TPDU or T=1 block) and the data of its reply.
    Bytes card(std::span<const std::uint8_t> body, std::uint8_t slot = 0) {
        const Bytes r = transact(exchange(body, slot), seconds(30));
        EXPECT_EQ(r.empty() ? 0 : r[0], 0x64) << "not a data reply";
        return data_of(r);
    }
    // A memory card command (or the link speed command 4C) and its reply data.
    Bytes memory(const Bytes& body) { return data_of(transact(exchange(body, 0, 0x6B))); }
    Bytes set_speed(std::uint8_t code) { return memory(Bytes{0x4C, 0x00, code}); }
    void quiet(Ticks t) { k.sleep_for(t); }
    void clear_rx() { rx.clear(), times.clear(), consumed = 0; }

    kern::Kernel k;
    serial::SimLine line;
    ReaderSim reader;
    std::mutex m;
    Bytes rx;
    std::vector<Ticks> times;
    serial::ModemLines lines;
    std::size_t consumed = 0;
};

} // namespace qkr::sim::test
