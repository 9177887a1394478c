// The simulated reader's insides, shared by the files that make it up: reader.cc (its public
// face), reader_line.cc (timers, and frames in and out on the line, faulted and chunked),
// reader_firmware.cc (the firmware's commands), reader_card.cc (the card link and its timing) and
// reader_slot.cc (slot 0's card and the reader's power).
#pragma once

#include "sim/frame.h"
#include "sim/reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <set>
#include <utility>

namespace qkr::sim {

// The reader's protocol as its firmware speaks it.
constexpr std::uint8_t kCmdGetType = 0x60;
constexpr std::uint8_t kCmdSetParams = 0x61;
constexpr std::uint8_t kCmdPowerOn = 0x62;
constexpr std::uint8_t kCmdPowerOff = 0x63;
constexpr std::uint8_t kCmdWarmReset = 0x64;
constexpr std::uint8_t kCmdGetStatus = 0x65;
constexpr std::uint8_t kCmdExchange = 0x67;
constexpr std::uint8_t kCmdMemExchange = 0x6B;

constexpr std::uint8_t kRspType = 0x60;
constexpr std::uint8_t kRspStatus = 0x61;
constexpr std::uint8_t kRspDone = 0x62;
constexpr std::uint8_t kRspData = 0x64;
constexpr std::uint8_t kRspNoCard = 0x67;

// Why a command was refused (byte 1 of kReplyError).
constexpr std::uint8_t kErrUnknownCommand = 0x01;
constexpr std::uint8_t kErrLength = 0x02;
constexpr std::uint8_t kErrSlot = 0x03;
constexpr std::uint8_t kErrCardKind = 0x04;

constexpr std::uint8_t kLinkSpeedCommand = 0x4C;
constexpr std::array<std::uint32_t, 7> kSpeeds = {0, 38400, 19200, 9600, 4800, 2400, 1200};

// The longest a mute card is waited for after a reset: 40000 clock cycles, then some.
constexpr kern::Ticks kAtrTimeout = kern::milliseconds(12);
// Time the card takes between reset and the first ATR character.
constexpr kern::Ticks kAtrDelay = kern::milliseconds(2);

inline kern::Ticks ticks(double t) {
    return static_cast<kern::Ticks>(std::llround(t));
}

// A character under the other convention reads as its bits reversed and inverted.
inline std::uint8_t flip_convention(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1u << i))
            r |= static_cast<std::uint8_t>(0x80u >> i);
    return static_cast<std::uint8_t>(~r);
}

inline Bytes with_length(std::uint8_t code, std::span<const std::uint8_t> data) {
    Bytes out = {code, 0x00, static_cast<std::uint8_t>(data.size() >> 8),
                 static_cast<std::uint8_t>(data.size() & 0xFF)};
    append(out, std::span<const std::uint8_t>(data.begin(), data.end()));
    return out;
}

// The firmware's view of the fault settings.
class FaultsAccess {
  public:
    enum class Random { None, Nak, Corrupt, Truncate, Delay };
    static bool silent(Faults& f) { return Faults::take(f.silent_); }
    static bool nak(Faults& f) { return Faults::take(f.nak_) || draw(f) == Random::Nak; }
    // One draw per command in random mode; the reply draws again.
    static Random draw(Faults& f) {
        if (f.percent_ == 0)
            return Random::None;
        if (f.next() % 100 >= f.percent_)
            return Random::None;
        switch (f.next() % 4) {
        case 0:
            return Random::Nak;
        case 1:
            return Random::Corrupt;
        case 2:
            return Random::Truncate;
        default:
            return Random::Delay;
        }
    }
    static std::optional<PtsBehaviour> take_pts(Faults& f) {
        auto p = f.pts_;
        f.pts_.reset();
        return p;
    }
    static bool take_refuse_speed(Faults& f) {
        const bool r = f.refuse_speed_;
        f.refuse_speed_ = false;
        return r;
    }
    static std::optional<std::size_t> chain_removal(const Faults& f) { return f.chain_removal_; }
    static void clear_chain_removal(Faults& f) { f.chain_removal_.reset(); }

    // Dresses a reply frame with the faults due; returns the extra delay and the chunking.
    struct Shape {
        Bytes frame;
        kern::Ticks extra = 0;
        std::size_t chunk = 0;
        kern::Ticks gap = 0;
    };
    static Shape shape(Faults& f, std::span<const std::uint8_t> payload) {
        Shape s;
        const Random r = draw(f);
        const bool corrupt = Faults::take(f.corrupt_) || r == Random::Corrupt;
        s.frame = encode_frame(payload, corrupt);
        if (Faults::take(f.truncate_))
            s.frame.resize(std::min(s.frame.size(), f.truncate_keep_));
        else if (r == Random::Truncate)
            s.frame.resize(s.frame.size() / 2);
        Bytes before = std::exchange(f.noise_bytes_, {});
        if (Faults::take(f.noise_)) {
            for (int i = 0; i < 4; ++i) {
                auto b = static_cast<std::uint8_t>(f.next());
                before.push_back(b == kDle ? 0x55 : b);
            }
        }
        if (Faults::take(f.dle_pairs_))
            before.insert(before.end(), {kDle, kDle, kDle, kDle});
        if (Faults::take(f.stray_etx_))
            before.insert(before.end(), {kDle, kEtx});
        s.frame.insert(s.frame.begin(), before.begin(), before.end());
        if (Faults::take(f.delay_))
            s.extra += f.delay_extra_;
        if (r == Random::Delay)
            s.extra += kern::milliseconds(100 + static_cast<std::int64_t>(f.next() % 900));
        if (Faults::take(f.chunk_)) {
            s.chunk = f.chunk_size_;
            s.gap = f.chunk_gap_;
        }
        return s;
    }
};

struct ReaderSim::Impl : std::enable_shared_from_this<Impl> {
    struct Slot;

    // One card exchange in progress.
    struct Exchange {
        enum class Kind { None, T0, T1 } kind = Kind::None;
        enum class Phase { Proc, Data, Sw2 } phase = Phase::Proc;
        std::uint64_t id = 0;
        Bytes tpdu;
        std::size_t sent = 0; // data bytes of the TPDU given to the card
        std::size_t expect = 0;
        std::uint8_t sw1 = 0;
        bool defect = false; // old firmware reading a long answer
        bool defect_armed = false;
        Bytes got;
        kern::Kernel::TimerId timeout = 0;
        kern::Ticks waiting_since = 0; // when the reader began waiting for the card
        kern::Ticks limit = 0;         // how long it waits for the first character
    };

    struct Slot : CardLink {
        Impl* reader = nullptr;
        int index = 0;
        std::unique_ptr<Card> card;
        bool powered = false;
        // What the firmware runs the card with.
        bool t1 = false;
        bool crc = false;
        bool inverse = false;      // as the host set it
        bool card_inverse = false; // as the card talks
        unsigned n = 0;
        unsigned wi = 10;
        unsigned wt_byte = 0; // 0 until the host sets it: the ATR's WI rules
        unsigned bwi = 4;
        unsigned cwi = 13;
        unsigned wtx = 0;
        unsigned f = 372;
        unsigned d = 1;
        bool pts_allowed = false;
        std::size_t chain = 0; // I-blocks of the current command chain given to the card
        Exchange ex;

        void card_emit(std::vector<Segment> segments) override {
            reader->on_card_emit(*this, std::move(segments));
        }
    };

    explicit Impl(ReaderConfig c);
    ~Impl();

    // ----- timers, and frames in and out on the line (reader_line.cc) -----
    kern::Kernel::TimerId after(kern::Ticks delay, std::function<void()> fn);
    void cancel(kern::Kernel::TimerId& id);
    void cancel_all();

    serial::LineFormat format() const;
    void receive(std::uint8_t byte);
    void send_nak();

    // Queues a reply frame `delay` from now, faults applied.
    void reply(std::span<const std::uint8_t> payload, kern::Ticks delay);

    kern::Ticks line_time(std::size_t bytes) const;
    void transmit(Bytes frame, kern::Ticks delay, std::size_t chunk, kern::Ticks gap);

    // The whole reply is queued at the UART: the firmware takes the next command.
    void sent(std::size_t bytes);
    void switch_speed();
    void update_lines();

    // ----- the firmware's commands (reader_firmware.cc) -----
    void command(Bytes payload);
    void error(std::uint8_t why);
    void simple(std::uint8_t code);
    void dispatch(const Bytes& p);
    void power_off(Slot& s);
    void end_exchange(Slot& s);
    void reset(Slot& s, bool cold);
    void set_params(Slot& s, const Bytes& p);
    void pts(Slot& s, std::span<const std::uint8_t> request);
    void memory(Slot& s, std::span<const std::uint8_t> body);
    void link_speed(std::span<const std::uint8_t> body);

    // ----- the card link and its timing (reader_card.cc) -----
    double etu(const Slot& s) const { return etu_ticks(s.f, s.d); }
    kern::Ticks char_time(const Slot& s, bool t1) const;
    kern::Ticks work_waiting_time(const Slot& s) const;
    kern::Ticks block_waiting_time(const Slot& s) const;
    kern::Ticks char_waiting_time(const Slot& s) const;

    void exchange(Slot& s, std::span<const std::uint8_t> body);

    // The card gets the bytes as it would read them under the convention the host chose.
    template <typename Fn>
    void to_card(Slot& s, Fn&& deliver, Bytes bytes) {
        if (s.inverse != s.card_inverse)
            for (auto& b : bytes)
                b = flip_convention(b);
        deliver(std::span<const std::uint8_t>(bytes));
    }

    bool chain_fault(Slot& s, std::span<const std::uint8_t> block);
    void arm_timeout(Slot& s, kern::Ticks limit);
    void card_timeout(Slot& s);
    void finish(Slot& s, std::span<const std::uint8_t> data);
    void on_card_emit(Slot& s, std::vector<Segment> segments);
    void t1_chars(Slot& s, const Bytes& chars, bool cut);
    void t0_chars(Slot& s, const Bytes& chars, bool cut);

    // ----- slot 0's card and the reader's power (reader_slot.cc) -----
    void insert_card(std::unique_ptr<Card> card);
    void remove_card();
    void set_power(bool on);

    std::recursive_mutex mutex;
    ReaderConfig config;
    serial::DeviceSide* side = nullptr;
    std::uint32_t baud;
    std::uint32_t pending_baud = 0;
    unsigned version = 0;
    bool powered = true;
    bool busy = false;
    bool cts_held_off = false;
    FrameReceiver rx;
    kern::Ticks last_rx = 0;
    std::array<Slot, 2> slots;
    Faults faults;
    std::set<kern::Kernel::TimerId> timers;
    std::function<void(std::span<const std::uint8_t>)> observer;
    std::uint64_t commands = 0;
    std::uint64_t naks = 0;
};

} // namespace qkr::sim
