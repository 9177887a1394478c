#include "sim/reader.h"

#include "sim/frame.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <set>
#include <utility>

namespace qkr::sim {

namespace {

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

kern::Ticks ticks(double t) {
    return static_cast<kern::Ticks>(std::llround(t));
}

// A character under the other convention reads as its bits reversed and inverted.
std::uint8_t flip_convention(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1u << i))
            r |= static_cast<std::uint8_t>(0x80u >> i);
    return static_cast<std::uint8_t>(~r);
}

Bytes with_length(std::uint8_t code, std::span<const std::uint8_t> data) {
    Bytes out = {code, 0x00, static_cast<std::uint8_t>(data.size() >> 8),
                 static_cast<std::uint8_t>(data.size() & 0xFF)};
    append(out, std::span<const std::uint8_t>(data.begin(), data.end()));
    return out;
}

} // namespace

std::uint64_t Faults::next() {
    rng_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = rng_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
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

    explicit Impl(ReaderConfig c) : config(std::move(c)), baud(config.baud) {
        for (int i = 0; i < 2; ++i) {
            slots[i].reader = this;
            slots[i].index = i;
        }
        slots[1].card = make_card(config.slot1_card, config.seed + 1);
        if (!slots[1].card)
            slots[1].card = make_card("t0", config.seed + 1);
        slots[1].card->attach(&slots[1]);
        for (char ch : config.firmware.substr(0, 4))
            version = version * 16 + static_cast<unsigned>(ch - '0');
    }

    ~Impl() {
        if (auto* k = kern::Kernel::current_or_null())
            for (auto id : timers)
                k->cancel(id);
        for (auto& s : slots)
            if (s.card)
                s.card->attach(nullptr);
    }

    // ----- timers -----
    kern::Kernel::TimerId after(kern::Ticks delay, std::function<void()> fn) {
        auto& k = kern::Kernel::current();
        std::weak_ptr<Impl> weak = weak_from_this();
        auto id_box = std::make_shared<kern::Kernel::TimerId>(0);
        const auto id = k.schedule_after(
            std::max<kern::Ticks>(delay, 0),
            [weak, id_box, fn = std::move(fn)] {
                auto self = weak.lock();
                if (!self)
                    return;
                std::lock_guard lock(self->mutex);
                self->timers.erase(*id_box);
                fn();
            },
            "qkr-sim");
        *id_box = id;
        timers.insert(id);
        return id;
    }

    void cancel(kern::Kernel::TimerId& id) {
        if (id != 0) {
            kern::Kernel::current().cancel(id);
            timers.erase(id);
            id = 0;
        }
    }

    void cancel_all() {
        auto& k = kern::Kernel::current();
        for (auto id : timers)
            k.cancel(id);
        timers.clear();
        for (auto& s : slots)
            s.ex = Exchange{.id = s.ex.id + 1};
    }

    // ----- line -----
    serial::LineFormat format() const {
        serial::LineFormat f;
        f.baud = baud;
        return f;
    }

    void receive(std::uint8_t byte) {
        if (!powered)
            return;
        const kern::Ticks now = kern::Kernel::current().now();
        if (rx.in_frame() && now - last_rx > config.receive_timeout)
            rx.reset();
        last_rx = now;
        switch (rx.push(byte)) {
        case FrameReceiver::Event::None:
            break;
        case FrameReceiver::Event::Frame:
            command(rx.payload());
            break;
        case FrameReceiver::Event::BadFrame:
            if (!busy) {
                busy = true;
                send_nak();
            }
            break;
        }
    }

    void send_nak() {
        ++naks;
        transmit(nak_frame(), config.processing, 0, 0);
    }

    // Queues a reply frame `delay` from now, faults applied.
    void reply(std::span<const std::uint8_t> payload, kern::Ticks delay) {
        auto s = FaultsAccess::shape(faults, payload);
        const std::size_t chunk = s.chunk ? s.chunk : config.chunk;
        const kern::Ticks gap = s.chunk ? s.gap : config.chunk_gap;
        transmit(std::move(s.frame), delay + s.extra, chunk, gap);
    }

    kern::Ticks line_time(std::size_t bytes) const {
        const serial::LineFormat f = format();
        return ticks(static_cast<double>(bytes) * f.bits_per_char() * 1e7 / f.baud);
    }

    void transmit(Bytes frame, kern::Ticks delay, std::size_t chunk, kern::Ticks gap) {
        if (chunk == 0 || chunk >= frame.size()) {
            after(delay, [this, frame = std::move(frame)] {
                if (side)
                    side->send(frame);
                sent(frame.size());
            });
            return;
        }
        kern::Ticks at = delay;
        for (std::size_t pos = 0; pos < frame.size(); pos += chunk) {
            const std::size_t n = std::min(chunk, frame.size() - pos);
            Bytes piece(frame.begin() + static_cast<long>(pos),
                        frame.begin() + static_cast<long>(pos + n));
            const bool last = pos + n >= frame.size();
            after(at, [this, piece = std::move(piece), last, total = frame.size()] {
                if (side)
                    side->send(piece);
                if (last)
                    sent(total);
            });
            at += line_time(n) + gap;
        }
    }

    // The whole reply is queued at the UART: the firmware takes the next command.
    void sent(std::size_t bytes) {
        busy = false;
        if (pending_baud != 0) {
            // The new speed applies once the reply has left at the old one.
            const std::uint32_t b = pending_baud;
            after(line_time(bytes) + kern::microseconds(100), [this, b] {
                if (pending_baud == b)
                    switch_speed();
            });
        }
    }

    void switch_speed() {
        if (pending_baud == 0)
            return;
        baud = pending_baud;
        pending_baud = 0;
        if (side)
            side->set_format(format());
    }

    void update_lines() {
        if (!side)
            return;
        side->set_dsr(powered);
        side->set_cts(powered && slots[0].card != nullptr && !cts_held_off);
    }

    // ----- commands -----
    void command(Bytes payload) {
        ++commands;
        if (observer)
            observer(payload);
        if (busy)
            return; // the firmware is still busy with the card and does not listen
        if (FaultsAccess::silent(faults))
            return;
        busy = true;
        if (FaultsAccess::nak(faults)) {
            send_nak();
            return;
        }
        dispatch(payload);
    }

    void error(std::uint8_t why) {
        const Bytes r = {kReplyError, why, 0x00, 0x00};
        reply(r, config.processing);
    }

    void simple(std::uint8_t code) {
        const Bytes r = {code, 0x00, 0x00, 0x00};
        reply(r, config.processing);
    }

    void dispatch(const Bytes& p) {
        if (p.empty())
            return error(kErrUnknownCommand);
        const std::uint8_t cmd = p[0];
        if (cmd == kCmdGetType || cmd == kCmdGetStatus) {
            if (p.size() != 3)
                return error(kErrLength);
            if (cmd == kCmdGetType) {
                std::string id = config.identification;
                id.resize(12, ' ');
                std::string fw = config.firmware;
                fw.resize(4, '0');
                id += fw;
                Bytes data(id.begin(), id.end());
                Bytes r = with_length(kRspType, data);
                return reply(r, config.processing);
            }
            std::uint8_t status = 0x01; // slot 1 always holds a card
            if (slots[1].powered)
                status |= 0x02;
            if (slots[0].powered)
                status |= 0x04;
            if (slots[0].card)
                status |= 0x08;
            const Bytes data = {status};
            return reply(with_length(kRspStatus, data), config.processing);
        }
        if (p.size() < 3)
            return error(kErrLength);
        if (cmd == kCmdMemExchange || cmd == kCmdExchange) {
            if (p.size() < 5 || p.size() != 5 + (static_cast<std::size_t>(p[3]) << 8 | p[4]))
                return error(kErrLength);
        }
        if (cmd == kCmdMemExchange && p.size() > 5 && p[5] == kLinkSpeedCommand)
            return link_speed(std::span(p).subspan(5));
        if (p[1] > 1)
            return error(kErrSlot);
        Slot& s = slots[p[1]];
        switch (cmd) {
        case kCmdPowerOff:
            if (p.size() != 3)
                return error(kErrLength);
            power_off(s);
            return simple(kRspDone);
        case kCmdPowerOn:
        case kCmdWarmReset:
            if (p.size() != 3)
                return error(kErrLength);
            return reset(s, cmd == kCmdPowerOn || !s.powered);
        case kCmdSetParams:
            if (p.size() != 8)
                return error(kErrLength);
            return set_params(s, p);
        case kCmdExchange:
            return exchange(s, std::span(p).subspan(5));
        case kCmdMemExchange:
            return memory(s, std::span(p).subspan(5));
        default:
            return error(kErrUnknownCommand);
        }
    }

    void power_off(Slot& s) {
        if (s.card)
            s.card->power_off();
        s.powered = false;
        end_exchange(s);
    }

    void end_exchange(Slot& s) {
        cancel(s.ex.timeout);
        s.ex = Exchange{.id = s.ex.id + 1};
    }

    void reset(Slot& s, bool cold) {
        end_exchange(s);
        if (!s.card) {
            s.powered = false;
            return simple(kRspNoCard);
        }
        const CardKind kind = s.card->kind();
        Bytes atr;
        if (kind == CardKind::Processor || version >= 4)
            atr = s.card->reset(cold);
        else
            s.card->power_off(); // this firmware does not know memory cards
        if (atr.empty()) {
            s.powered = false;
            return reply(with_length(kRspData, {}), config.processing + kAtrTimeout);
        }
        s.powered = true;
        const auto info = parse_atr(atr);
        const AtrInfo a = info.value_or(AtrInfo{});
        s.card_inverse = a.inverse;
        s.inverse = a.inverse;
        s.n = a.n;
        s.wi = a.wi == 0 ? 10 : a.wi;
        s.wt_byte = 0;
        s.bwi = a.bwi;
        s.cwi = a.cwi;
        s.crc = a.crc;
        s.wtx = 0;
        s.chain = 0;
        s.f = 372;
        s.d = 1;
        s.t1 = a.first_protocol == 1 || (!a.offers_t0 && a.offers_t1);
        s.pts_allowed = !a.specific;
        if (a.specific && a.specific_uses_ta1 && f_from_code(a.fi_code) && d_from_code(a.di_code)) {
            s.f = f_from_code(a.fi_code);
            s.d = d_from_code(a.di_code);
        }
        Bytes data;
        if (version >= 4)
            data.push_back(static_cast<std::uint8_t>(kind));
        append(data, std::span<const std::uint8_t>(atr.begin(), atr.end()));
        const kern::Ticks atr_time = kAtrDelay + ticks(atr.size() * 12 * etu_ticks(372, 1));
        reply(with_length(kRspData, data), config.processing + atr_time);
    }

    void set_params(Slot& s, const Bytes& p) {
        if (!s.card || !s.powered)
            return simple(kRspNoCard);
        const std::uint8_t flags = p[3];
        if (flags & 0x04) {
            s.wtx = p[7]; // for the next block only
            return simple(kRspDone);
        }
        s.t1 = (flags & 0x10) != 0;
        s.crc = (flags & 0x01) != 0;
        s.inverse = (flags & 0x02) != 0;
        s.n = p[4];
        s.wt_byte = p[5];
        s.bwi = p[6] >> 4;
        s.cwi = p[6] & 0x0F;
        s.wtx = 0;
        s.pts_allowed = false;
        simple(kRspDone);
    }

    // ----- card timing -----
    double etu(const Slot& s) const { return etu_ticks(s.f, s.d); }
    kern::Ticks char_time(const Slot& s, bool t1) const {
        const unsigned guard = s.n == 255 ? 0 : s.n;
        return ticks(etu(s) * ((t1 ? 11 : 12) + guard));
    }
    kern::Ticks work_waiting_time(const Slot& s) const {
        if (s.wt_byte != 0)
            return ticks(s.wt_byte * 960.0 * etu(s));
        return ticks(s.wi * 960.0 * s.d * etu(s));
    }
    kern::Ticks block_waiting_time(const Slot& s) const {
        const double bwt = 11 * etu(s) + std::ldexp(1.0, static_cast<int>(s.bwi)) * 960.0 * 372.0 /
                                             kCardClockHz * 1e7;
        return ticks(bwt * std::max(1u, s.wtx));
    }
    kern::Ticks char_waiting_time(const Slot& s) const {
        return ticks((11 + std::ldexp(1.0, static_cast<int>(s.cwi))) * etu(s));
    }

    // ----- card exchange -----
    void exchange(Slot& s, std::span<const std::uint8_t> body) {
        if (!s.card || !s.powered)
            return simple(kRspNoCard);
        if (s.card->kind() != CardKind::Processor)
            return error(kErrCardKind);
        if (body.empty())
            return error(kErrLength);
        if (s.pts_allowed && body[0] == 0xFF) {
            s.pts_allowed = false;
            return pts(s, body);
        }
        s.pts_allowed = false;
        end_exchange(s);
        Exchange& e = s.ex;
        e.tpdu.assign(body.begin(), body.end());
        if (s.t1) {
            if (s.index == 0 && chain_fault(s, body))
                return;
            e.kind = Exchange::Kind::T1;
            const std::uint64_t id = e.id;
            after(config.processing + char_time(s, true) * static_cast<long>(body.size()),
                  [this, &s, id] {
                      if (s.ex.id != id || !s.card)
                          return;
                      arm_timeout(s, block_waiting_time(s));
                      s.wtx = 0;
                      to_card(
                          s, [&s](std::span<const std::uint8_t> b) { s.card->t1_receive(b); },
                          s.ex.tpdu);
                  });
            return;
        }
        if (body.size() < 5 || (body.size() > 5 && body.size() != 5 + std::size_t(body[4])))
            return error(kErrLength);
        e.kind = Exchange::Kind::T0;
        e.defect = version < 0x11 && body.size() == 5 && body[4] >= 0xFE;
        const std::uint64_t id = e.id;
        after(config.processing + char_time(s, false) * 5, [this, &s, id] {
            if (s.ex.id != id || !s.card)
                return;
            arm_timeout(s, work_waiting_time(s));
            to_card(
                s, [&s](std::span<const std::uint8_t> b) { s.card->t0_receive(b); },
                Bytes(s.ex.tpdu.begin(), s.ex.tpdu.begin() + 5));
        });
    }

    // The card gets the bytes as it would read them under the convention the host chose.
    template <typename Fn>
    void to_card(Slot& s, Fn&& deliver, Bytes bytes) {
        if (s.inverse != s.card_inverse)
            for (auto& b : bytes)
                b = flip_convention(b);
        deliver(std::span<const std::uint8_t>(bytes));
    }

    bool chain_fault(Slot& s, std::span<const std::uint8_t> block) {
        const auto k = FaultsAccess::chain_removal(faults);
        const bool i_block = block.size() >= 3 && (block[1] & 0x80) == 0;
        if (k && s.chain >= *k) {
            FaultsAccess::clear_chain_removal(faults);
            s.chain = 0;
            remove_card();
            simple(kRspNoCard);
            return true;
        }
        if (i_block)
            s.chain = (block[1] & 0x20) ? s.chain + 1 : 0;
        return false;
    }

    void arm_timeout(Slot& s, kern::Ticks limit) {
        cancel(s.ex.timeout);
        s.ex.waiting_since = kern::Kernel::current().now();
        s.ex.limit = limit;
        const std::uint64_t id = s.ex.id;
        s.ex.timeout = after(limit, [this, &s, id] {
            s.ex.timeout = 0;
            if (s.ex.id == id)
                card_timeout(s);
        });
    }

    void card_timeout(Slot& s) {
        // A T=1 block cut short goes to the host as it is; otherwise the card said nothing.
        Bytes got = s.ex.kind == Exchange::Kind::T1 ? s.ex.got : Bytes{};
        finish(s, got);
    }

    void finish(Slot& s, std::span<const std::uint8_t> data) {
        const Bytes r = with_length(kRspData, data);
        end_exchange(s);
        reply(r, 0);
    }

    void on_card_emit(Slot& s, std::vector<Segment> segments) {
        std::lock_guard lock(mutex);
        if (s.ex.kind == Exchange::Kind::None)
            return;
        const bool t1 = s.ex.kind == Exchange::Kind::T1;
        // Time the card already kept the reader waiting counts against the first silence.
        const kern::Ticks waited = kern::Kernel::current().now() - s.ex.waiting_since;
        kern::Ticks limit = s.ex.limit - waited;
        const kern::Ticks ct = char_time(s, t1);
        kern::Ticks at = 0;
        Bytes chars;
        bool cut = false;
        for (auto& seg : segments) {
            if (seg.silence > limit) {
                at += std::max<kern::Ticks>(limit, 0);
                cut = true;
                break;
            }
            at += seg.silence;
            for (std::uint8_t c : seg.chars) {
                chars.push_back(s.inverse != s.card_inverse ? flip_convention(c) : c);
                at += ct;
            }
            limit = t1 ? char_waiting_time(s) : work_waiting_time(s);
        }
        cancel(s.ex.timeout);
        const std::uint64_t id = s.ex.id;
        after(at, [this, &s, id, chars = std::move(chars), cut] {
            if (s.ex.id != id)
                return;
            if (s.ex.kind == Exchange::Kind::T1)
                t1_chars(s, chars, cut);
            else
                t0_chars(s, chars, cut);
        });
    }

    void t1_chars(Slot& s, const Bytes& chars, bool cut) {
        Exchange& e = s.ex;
        append(e.got, std::span<const std::uint8_t>(chars.begin(), chars.end()));
        if (e.got.size() >= 3) {
            const std::size_t need = 3 + e.got[2] + (s.crc ? 2 : 1);
            if (e.got.size() >= need) {
                e.got.resize(need);
                Bytes got = std::move(e.got);
                return finish(s, got);
            }
        }
        if (cut)
            return card_timeout(s);
        arm_timeout(s, char_waiting_time(s));
    }

    void t0_chars(Slot& s, const Bytes& chars, bool cut) {
        Exchange& e = s.ex;
        const std::uint8_t ins = e.tpdu[1];
        const std::uint8_t p3 = e.tpdu[4];
        const std::size_t data_len = e.tpdu.size() - 5;
        for (std::uint8_t c : chars) {
            switch (e.phase) {
            case Exchange::Phase::Proc:
                if (c == 0x60)
                    continue; // NULL: the card wants more time
                if ((c & 0xF0) == 0x60 || (c & 0xF0) == 0x90) {
                    e.sw1 = c;
                    e.phase = Exchange::Phase::Sw2;
                    continue;
                }
                if (c == ins || c == static_cast<std::uint8_t>(~ins)) {
                    const bool all = c == ins;
                    if (e.sent < data_len) {
                        const std::size_t n = all ? data_len - e.sent : 1;
                        Bytes part(e.tpdu.begin() + static_cast<long>(5 + e.sent),
                                   e.tpdu.begin() + static_cast<long>(5 + e.sent + n));
                        e.sent += n;
                        const std::uint64_t id = e.id;
                        after(char_time(s, false) * static_cast<long>(n), [this, &s, id,
                                                                           part = std::move(part)] {
                            if (s.ex.id != id || !s.card)
                                return;
                            arm_timeout(s, work_waiting_time(s));
                            to_card(
                                s, [&s](std::span<const std::uint8_t> b) { s.card->t0_receive(b); },
                                part);
                        });
                        return;
                    }
                    const std::size_t ne = p3 == 0 ? 256 : p3;
                    e.expect = all ? ne - std::min(ne, e.got.size()) : 1;
                    if (e.defect && all) {
                        // This firmware counts what is still to come together with the status
                        // word in eight bits: for P3 0xFE or 0xFF that wraps to 0 or 1.
                        e.expect = (p3 + 2) & 0xFF;
                        e.defect_armed = true;
                        if (e.expect == 0) {
                            Bytes got = std::move(e.got);
                            return finish(s, got);
                        }
                    }
                    if (e.expect == 0)
                        continue;
                    e.phase = Exchange::Phase::Data;
                    continue;
                }
                // Not a procedure byte: the card has lost track.
                return finish(s, {});
            case Exchange::Phase::Data:
                e.got.push_back(c);
                if (--e.expect == 0) {
                    if (e.defect_armed) {
                        Bytes got = std::move(e.got);
                        return finish(s, got);
                    }
                    e.phase = Exchange::Phase::Proc;
                }
                continue;
            case Exchange::Phase::Sw2: {
                e.got.push_back(e.sw1);
                e.got.push_back(c);
                Bytes got = std::move(e.got);
                return finish(s, got);
            }
            }
        }
        if (cut)
            return card_timeout(s);
        arm_timeout(s, work_waiting_time(s));
    }

    void pts(Slot& s, std::span<const std::uint8_t> request) {
        const kern::Ticks ct = char_time(s, false);
        Bytes answer = s.card->pts(request);
        if (auto forced = FaultsAccess::take_pts(faults)) {
            if (*forced == PtsBehaviour::Refuse) {
                answer.clear();
            } else if (*forced == PtsBehaviour::Wrong && request.size() >= 3) {
                answer.assign(request.begin(), request.end());
                answer[2] ^= 0x01;
                answer.back() ^= 0x01;
            }
        }
        const kern::Ticks out = ct * static_cast<long>(request.size());
        if (answer.empty())
            return reply(with_length(kRspData, {}), config.processing + out + work_waiting_time(s));
        if (std::equal(answer.begin(), answer.end(), request.begin(), request.end())) {
            s.t1 = (request[1] & 0x0F) == 1;
            if ((request[1] & 0x10) && request.size() >= 4) {
                s.f = f_from_code(request[2] >> 4);
                s.d = d_from_code(request[2] & 0x0F);
            }
        }
        const kern::Ticks back = kern::milliseconds(1) + ct * static_cast<long>(answer.size());
        reply(with_length(kRspData, answer), config.processing + out + back);
    }

    void memory(Slot& s, std::span<const std::uint8_t> body) {
        if (!s.card || !s.powered)
            return simple(kRspNoCard);
        Bytes answer = {0x02};
        if (s.card->kind() != CardKind::Processor)
            answer = s.card->memory_command(body);
        reply(with_length(kRspData, answer), config.processing + kern::milliseconds(1));
    }

    void link_speed(std::span<const std::uint8_t> body) {
        const std::uint8_t code = body.size() >= 3 ? body[2] : 0;
        const bool refuse = FaultsAccess::take_refuse_speed(faults);
        if (refuse || code == 0 || code >= kSpeeds.size()) {
            const Bytes no = {0x01};
            return reply(with_length(kRspData, no), config.processing);
        }
        pending_baud = kSpeeds[code];
        const Bytes yes = {0x00};
        reply(with_length(kRspData, yes), config.processing);
    }

    // ----- slot 0 -----
    void insert_card(std::unique_ptr<Card> card) {
        remove_card();
        slots[0].card = std::move(card);
        if (slots[0].card)
            slots[0].card->attach(&slots[0]);
        update_lines();
    }

    void remove_card() {
        Slot& s = slots[0];
        if (!s.card)
            return;
        const bool waiting = s.ex.kind != Exchange::Kind::None;
        s.card->power_off();
        s.card->attach(nullptr);
        s.card.reset();
        s.powered = false;
        s.chain = 0;
        end_exchange(s);
        if (waiting)
            simple(kRspNoCard); // the reader notices the card gone under it
        update_lines();
    }

    void set_power(bool on) {
        if (on == powered)
            return;
        powered = on;
        if (!on) {
            // Every timer goes, the end of a CTS pulse included, so the pulse ends here.
            cancel_all();
            cts_held_off = false;
            for (auto& s : slots) {
                if (s.card)
                    s.card->power_off();
                s.powered = false;
            }
            rx.reset();
            busy = false;
            pending_baud = 0;
            if (baud != config.baud) {
                baud = config.baud;
                if (side)
                    side->set_format(format());
            }
        }
        update_lines();
    }

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

ReaderSim::ReaderSim(ReaderConfig config) : impl_(std::make_shared<Impl>(std::move(config))) {
    if (!impl_->config.slot0_card.empty()) {
        auto& s = impl_->slots[0];
        s.card = make_card(impl_->config.slot0_card, impl_->config.seed);
        if (s.card)
            s.card->attach(&s);
    }
}

ReaderSim::~ReaderSim() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->side)
        impl_->side = nullptr;
}

void ReaderSim::connect(serial::DeviceSide* side) {
    std::lock_guard lock(impl_->mutex);
    impl_->side = side;
    if (side) {
        side->set_format(impl_->format());
        impl_->update_lines();
    }
}

void ReaderSim::on_byte(std::uint8_t byte, bool) {
    std::lock_guard lock(impl_->mutex);
    impl_->receive(byte);
}

void ReaderSim::on_host_lines(bool, bool, bool) {}

void ReaderSim::on_tx_empty() {
    std::lock_guard lock(impl_->mutex);
    impl_->switch_speed();
}

void ReaderSim::insert(std::unique_ptr<Card> card) {
    std::lock_guard lock(impl_->mutex);
    impl_->insert_card(std::move(card));
}

void ReaderSim::remove() {
    std::lock_guard lock(impl_->mutex);
    impl_->remove_card();
}

bool ReaderSim::card_present() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->slots[0].card != nullptr;
}

const Card* ReaderSim::card() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->slots[0].card.get();
}

void ReaderSim::post(std::function<void()> fn) {
    std::lock_guard lock(impl_->mutex);
    impl_->after(0, std::move(fn));
}

void ReaderSim::set_slot1_card(std::unique_ptr<Card> card) {
    std::lock_guard lock(impl_->mutex);
    if (!card)
        return;
    auto& s = impl_->slots[1];
    const bool waiting = s.ex.kind != Impl::Exchange::Kind::None;
    s.card->attach(nullptr);
    impl_->end_exchange(s);
    s.powered = false;
    s.card = std::move(card);
    s.card->attach(&s);
    if (waiting)
        impl_->simple(kRspNoCard); // the old card went away under the reader
}

void ReaderSim::set_powered(bool on) {
    std::lock_guard lock(impl_->mutex);
    impl_->set_power(on);
}

bool ReaderSim::powered() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->powered;
}

void ReaderSim::drop_dsr(kern::Ticks off_for) {
    std::lock_guard lock(impl_->mutex);
    impl_->set_power(false);
    Impl* impl = impl_.get();
    impl_->after(off_for, [impl] { impl->set_power(true); });
}

void ReaderSim::pulse_cts(kern::Ticks off_for) {
    std::lock_guard lock(impl_->mutex);
    impl_->cts_held_off = true;
    impl_->update_lines();
    Impl* impl = impl_.get();
    impl_->after(off_for, [impl] {
        impl->cts_held_off = false;
        impl->update_lines();
    });
}

Faults& ReaderSim::faults() {
    return impl_->faults;
}

const ReaderConfig& ReaderSim::config() const {
    return impl_->config;
}

std::uint32_t ReaderSim::baud() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->baud;
}

void ReaderSim::set_command_observer(std::function<void(std::span<const std::uint8_t>)> observer) {
    std::lock_guard lock(impl_->mutex);
    impl_->observer = std::move(observer);
}

std::uint64_t ReaderSim::commands_received() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->commands;
}

std::uint64_t ReaderSim::naks_sent() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->naks;
}

} // namespace qkr::sim
