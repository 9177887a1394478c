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
#include <mutex>
#include <optional>
#include <vector>

namespace qkr::sim::test {

using kern::milliseconds;
using kern::seconds;
using kern::Ticks;

// The port's end: records what arrives and when.
class PortSink : public serial::LinePortSink {
  public:
    explicit PortSink(kern::Kernel& k) : k_(k) {}
    void on_receive(std::span<const std::uint8_t> bytes) override {
        std::lock_guard lock(m);
        for (auto b : bytes) {
            rx.push_back(b);
            times.push_back(k_.now());
        }
    }
    void on_tx_empty() override {}
    void on_modem_change(serial::ModemLines l) override {
        std::lock_guard lock(m);
        lines = l;
        changes.push_back(l);
    }
    // Under `m` when the clock is real; a virtual clock runs one thing at a time.
    std::mutex m;
    Bytes rx;
    std::vector<Ticks> times;
    serial::ModemLines lines;
    std::vector<serial::ModemLines> changes;

  private:
    kern::Kernel& k_;
};

// Host-side framing, written out here so the tests do not lean on the simulator's own.
inline Bytes frame(std::span<const std::uint8_t> payload) {
    Bytes f = {0x10, 0x02};
    std::uint8_t x = 0;
    auto put = [&](std::uint8_t b) {
        f.push_back(b);
        if (b == 0x10)
            f.push_back(0x10);
    };
    for (auto b : payload) {
        x ^= b;
        put(b);
    }
    put(x);
    f.insert(f.end(), {0x10, 0x03});
    return f;
}

// Finds the first complete frame in `raw` (noise before it skipped). Returns the payload without
// the check byte; `ok` tells whether the check byte was right. nullopt: no complete frame yet.
struct Decoded {
    Bytes payload;
    bool ok = false;
    std::size_t end = 0; // index after DLE ETX
};
inline std::optional<Decoded> deframe(const Bytes& raw, std::size_t from = 0) {
    std::size_t i = from;
    for (; i + 1 < raw.size(); ++i) {
        if (raw[i] == 0x10 && raw[i + 1] == 0x02)
            break;
        if (raw[i] == 0x10 && raw[i + 1] == 0x10)
            ++i; // a pair in the noise
    }
    if (i + 1 >= raw.size())
        return std::nullopt;
    Decoded d;
    std::uint8_t x = 0;
    for (i += 2; i < raw.size(); ++i) {
        std::uint8_t b = raw[i];
        if (b == 0x10) {
            if (i + 1 >= raw.size())
                return std::nullopt;
            if (raw[i + 1] == 0x03) {
                d.ok = x == 0 && !d.payload.empty();
                if (!d.payload.empty())
                    d.payload.pop_back();
                d.end = i + 2;
                return d;
            }
            if (raw[i + 1] != 0x10)
                return Decoded{};
            ++i;
        }
        d.payload.push_back(b);
        x ^= b;
    }
    return std::nullopt;
}

inline Bytes cmd(std::uint8_t code, std::uint8_t slot = 0) {
    return {code, slot, 0x00};
}
inline Bytes exchange(std::span<const std::uint8_t> body, std::uint8_t slot = 0,
                      std::uint8_t code = 0x67) {
    Bytes p = {code, slot, 0x00, static_cast<std::uint8_t>(body.size() >> 8),
               static_cast<std::uint8_t>(body.size() & 0xFF)};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}
inline Bytes set_params(std::uint8_t flags, std::uint8_t n, std::uint8_t wt, std::uint8_t bw,
                        std::uint8_t mult = 0, std::uint8_t slot = 0) {
    return {0x61, slot, 0x00, flags, n, wt, bw, mult};
}
// The data of a reply (bytes 4 on), after checking the length bytes against it.
inline Bytes data_of(const Bytes& reply) {
    if (reply.size() < 4)
        return {};
    const std::size_t len = static_cast<std::size_t>(reply[2]) << 8 | reply[3];
    EXPECT_EQ(reply.size(), 4 + len) << "length bytes disagree with the reply";
    return Bytes(reply.begin() + 4, reply.end());
}

inline Bytes tail(const Bytes& b, std::size_t n) {
    return Bytes(b.end() - static_cast<long>(std::min(n, b.size())), b.end());
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kSelect5001 = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
const Bytes kSw9000 = {0x90, 0x00};
const Bytes kNoCard = {0x67, 0x00, 0x00, 0x00};
const Bytes kNakFrame = {0x10, 0x02, 0x15, 0x15, 0x10, 0x03};

inline Bytes t1_block(std::uint8_t pcb, std::span<const std::uint8_t> inf, bool crc = false) {
    Bytes b = {0x00, pcb, static_cast<std::uint8_t>(inf.size())};
    b.insert(b.end(), inf.begin(), inf.end());
    Bytes e = t1_epilogue(b, crc);
    b.insert(b.end(), e.begin(), e.end());
    return b;
}

class Bench {
  public:
    kern::Kernel k;

    explicit Bench(ReaderConfig config = {}, std::uint32_t baud = 19200,
                   kern::ClockMode mode = kern::ClockMode::Virtual)
        : k(mode), line(k, serial::LineFormat{baud}), sink(k), reader(std::move(config)) {
        line.attach(&sink);
        line.open();
        line.connect_device(&reader);
        k.sleep_for(milliseconds(1));
    }
    ~Bench() {
        line.connect_device(nullptr);
        line.attach(nullptr);
    }

    void send_raw(std::span<const std::uint8_t> bytes) { line.transmit(bytes); }
    void send(std::span<const std::uint8_t> payload) {
        const Bytes f = frame(payload);
        send_raw(f);
    }
    // Waits (virtual time) until a complete reply frame has arrived after `from`, or `limit`.
    std::optional<Decoded> wait_reply(Ticks limit = seconds(5)) {
        const Ticks end = k.now() + limit;
        while (k.now() < end) {
            Bytes rx;
            {
                std::lock_guard lock(sink.m);
                rx = sink.rx;
            }
            if (auto d = deframe(rx, consumed)) {
                consumed = d->end;
                return d;
            }
            k.sleep_for(milliseconds(1));
        }
        return std::nullopt;
    }
    // Sends a command and returns its reply payload; fails the test if none comes back.
    Bytes transact(std::span<const std::uint8_t> payload, Ticks limit = seconds(5)) {
        send(payload);
        auto d = wait_reply(limit);
        EXPECT_TRUE(d.has_value()) << "no reply";
        if (!d)
            return {};
        EXPECT_TRUE(d->ok) << "reply check byte wrong";
        return d->payload;
    }
    // Powers slot `slot` up and returns the reply data.
    Bytes power_on(std::uint8_t slot = 0) { return data_of(transact(cmd(0x62, slot))); }
    // Sends a card body (T=0 TPDU or T=1 block) and returns the reply data.
    Bytes card(std::span<const std::uint8_t> body, std::uint8_t slot = 0,
               Ticks limit = seconds(30)) {
        const Bytes r = transact(exchange(body, slot), limit);
        EXPECT_FALSE(r.empty());
        if (r.empty())
            return {};
        EXPECT_EQ(r[0], 0x64) << "not a data reply";
        return data_of(r);
    }
    // A memory card command (or the link speed command 4C) and its reply data.
    Bytes memory(const Bytes& body) { return data_of(transact(exchange(body, 0, 0x6B))); }
    Bytes set_speed(std::uint8_t code) { return memory(Bytes{0x4C, 0x00, code}); }
    void quiet(Ticks t) { k.sleep_for(t); }
    // Forgets what has arrived so far.
    void clear_rx() {
        sink.rx.clear();
        sink.times.clear();
        consumed = 0;
    }

    serial::SimLine line;
    PortSink sink;
    ReaderSim reader;
    std::size_t consumed = 0;
};

} // namespace qkr::sim::test
