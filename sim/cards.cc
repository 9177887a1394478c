#include "sim/card.h"
#include "sim/file_system.h"
#include "sim/t1_card.h"

#include <algorithm>
#include <cmath>

namespace qkr::sim {

namespace {

Bytes historical(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

kern::Ticks to_ticks(double t) {
    return static_cast<kern::Ticks>(std::llround(t));
}

// A processor card: an ATR, a T=0 and a T=1 engine of its own, and an application behind them.
class ProcessorCard : public Card {
  public:
    ProcessorCard(ProcessorCardConfig config, std::unique_ptr<Application> app)
        : config_(std::move(config)), app_(std::move(app)),
          atr_(config_.atr_bytes.empty() ? build_atr(config_.atr) : config_.atr_bytes),
          info_(parse_atr(atr_).value_or(AtrInfo{})),
          t1_({static_cast<std::uint8_t>(info_.ifsc), info_.crc}),
          alive_(std::make_shared<bool>(true)) {}
    ~ProcessorCard() override { *alive_ = false; }

    std::string name() const override { return config_.name; }

    Bytes reset(bool) override {
        powered_ = true;
        app_->reset();
        t1_.reset();
        t0_state_ = T0State::Idle;
        t0_pending_.clear();
        wtx_pending_.reset();
        ++epoch_;
        return atr_;
    }

    void power_off() override {
        if (powered_)
            app_->power_off();
        powered_ = false;
        ++epoch_;
    }

    Bytes pts(std::span<const std::uint8_t> request) override {
        if (!powered_ || info_.specific || request.size() < 3 || request[0] != 0xFF)
            return {};
        std::uint8_t x = 0;
        for (std::uint8_t b : request)
            x ^= b;
        const std::uint8_t pts0 = request[1];
        const std::size_t expected = 3 + ((pts0 >> 4) & 1) + ((pts0 >> 5) & 1) + ((pts0 >> 6) & 1);
        const unsigned protocol = pts0 & 0x0F;
        const bool offered =
            (protocol == 0 && info_.offers_t0) || (protocol == 1 && info_.offers_t1);
        if (x != 0 || request.size() != expected || !offered)
            return {};
        switch (config_.pts) {
        case PtsBehaviour::Refuse:
            return {};
        case PtsBehaviour::Wrong:
            if (pts0 & 0x10) {
                Bytes wrong = {0xFF, pts0, static_cast<std::uint8_t>(request[2] ^ 0x01)};
                wrong.push_back(static_cast<std::uint8_t>(0xFF ^ wrong[1] ^ wrong[2]));
                return wrong;
            }
            return {};
        case PtsBehaviour::Accept:
            break;
        }
        if (pts0 & 0x10) {
            const std::uint8_t pts1 = request[2];
            const unsigned fl = pts1 >> 4, dl = pts1 & 0x0F;
            const bool supported = f_from_code(fl) != 0 && d_from_code(dl) != 0 &&
                                   (fl == info_.fi_code || f_from_code(fl) == 372) &&
                                   d_from_code(dl) <= d_from_code(info_.di_code);
            if (!supported) {
                // Only the protocol is confirmed: the card stays at the default rates.
                const std::uint8_t p0 = static_cast<std::uint8_t>(protocol);
                return {0xFF, p0, static_cast<std::uint8_t>(0xFF ^ p0)};
            }
        }
        return Bytes(request.begin(), request.end());
    }

    void t0_receive(std::span<const std::uint8_t> chars) override {
        if (!powered_ || !info_.offers_t0)
            return;
        if (t0_state_ == T0State::Idle) {
            if (chars.size() < 5)
                return;
            header_.assign(chars.begin(), chars.begin() + 5);
            t0_header();
            return;
        }
        if (t0_state_ == T0State::Receiving) {
            append(data_, std::span<const std::uint8_t>(chars.begin(), chars.end()));
            if (data_.size() < header_[4]) {
                if (config_.t0_byte_by_byte)
                    emit({{0, {static_cast<std::uint8_t>(~header_[1])}}});
                return;
            }
            t0_state_ = T0State::Busy;
            Bytes apdu = header_;
            append(apdu, std::span<const std::uint8_t>(data_.begin(), data_.end()));
            if (t0_case_ == Application::T0Case::InOut)
                apdu.push_back(0x00);
            run(std::move(apdu), [this](Bytes response, kern::Ticks took) {
                t0_answer_in(std::move(response), took);
            });
        }
    }

    void t1_receive(std::span<const std::uint8_t> block) override {
        if (!powered_ || !info_.offers_t1)
            return;
        T1Card::Outcome out = t1_.receive(block);
        if (out.wtx_confirmed && wtx_pending_) {
            Pending p = std::move(*wtx_pending_);
            wtx_pending_.reset();
            emit({{p.time, std::move(p.block)}});
            return;
        }
        if (out.command) {
            run(std::move(*out.command), [this](Bytes response, kern::Ticks took) {
                Bytes block = t1_.respond(std::move(response));
                const kern::Ticks bwt = block_waiting_time();
                if (took < bwt) {
                    emit({{took, std::move(block)}});
                    return;
                }
                // Too slow for one block waiting time: ask for more first.
                const auto m =
                    static_cast<std::uint8_t>(std::min<kern::Ticks>(took / bwt + 1, 255));
                wtx_pending_ = Pending{std::move(block), took};
                emit({{kern::milliseconds(1), t1_.wtx_request(m)}});
            });
            return;
        }
        if (!out.reply.empty())
            emit({{0, std::move(out.reply)}});
    }

  private:
    enum class T0State { Idle, Receiving, Busy };
    struct Pending {
        Bytes block;
        kern::Ticks time;
    };

    // Runs a command through the application; a card reset or power-off meanwhile voids it.
    void run(Bytes apdu, std::function<void(Bytes, kern::Ticks)> then) {
        const std::uint64_t epoch = epoch_;
        std::weak_ptr<bool> alive = alive_;
        app_->process(std::move(apdu),
                      [this, epoch, alive, then = std::move(then)](Bytes r, kern::Ticks took) {
                          auto a = alive.lock();
                          if (!a || !*a || epoch != epoch_ || !powered_)
                              return;
                          then(std::move(r), took);
                      });
    }

    kern::Ticks work_waiting_time() const {
        const unsigned wi = info_.wi == 0 ? 10 : info_.wi;
        return to_ticks(960.0 * wi * 372.0 / kCardClockHz * 1e7);
    }

    kern::Ticks block_waiting_time() const {
        const double etu = etu_ticks(372, 1);
        return to_ticks(11 * etu + std::ldexp(1.0, static_cast<int>(info_.bwi)) * 960.0 * 372.0 /
                                       kCardClockHz * 1e7);
    }

    // The answer goes out after `took`; a T=0 card keeps the reader waiting with NULL bytes.
    void emit_after(kern::Ticks took, Bytes chars) {
        std::vector<Segment> segments;
        const kern::Ticks step = work_waiting_time() / 2;
        while (took > step) {
            segments.push_back({step, {0x60}});
            took -= step;
        }
        segments.push_back({took, std::move(chars)});
        emit(std::move(segments));
    }

    void t0_header() {
        const std::uint8_t ins = header_[1];
        if ((ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90) {
            emit({{0, {0x6D, 0x00}}});
            return;
        }
        if (ins == 0xC0 && !t0_pending_.empty()) {
            t0_get_response();
            return;
        }
        t0_case_ = app_->t0_case(header_);
        const std::uint8_t p3 = header_[4];
        if ((t0_case_ == Application::T0Case::In || t0_case_ == Application::T0Case::InOut) &&
            p3 > 0) {
            t0_state_ = T0State::Receiving;
            data_.clear();
            const std::uint8_t ack =
                config_.t0_byte_by_byte ? static_cast<std::uint8_t>(~ins) : ins;
            emit({{0, {ack}}});
            return;
        }
        t0_state_ = T0State::Busy;
        Bytes apdu = header_;
        if (t0_case_ != Application::T0Case::Out)
            apdu.pop_back(); // case 1: P3 is 0 and no length is announced
        run(std::move(apdu),
            [this](Bytes response, kern::Ticks took) { t0_answer_out(std::move(response), took); });
    }

    // Case 1 or 2: data from the card must match P3 exactly, else 6Cxx tells the right length.
    void t0_answer_out(Bytes response, kern::Ticks took) {
        t0_state_ = T0State::Idle;
        if (response.size() < 2)
            response = {0x6F, 0x00};
        const std::size_t ne = header_[4] == 0 ? 256 : header_[4];
        const std::size_t data = response.size() - 2;
        Bytes out;
        if (t0_case_ == Application::T0Case::Out && data == ne) {
            out.push_back(header_[1]);
            append(out, std::span<const std::uint8_t>(response.begin(), response.end()));
        } else if (t0_case_ == Application::T0Case::Out && data > 0) {
            out = {0x6C, static_cast<std::uint8_t>(data)};
        } else {
            out.assign(response.end() - 2, response.end());
        }
        emit_after(took, std::move(out));
    }

    // Case 3 or 4: data the command produced waits for GET RESPONSE.
    void t0_answer_in(Bytes response, kern::Ticks took) {
        t0_state_ = T0State::Idle;
        if (response.size() < 2)
            response = {0x6F, 0x00};
        const std::size_t data = response.size() - 2;
        if (data == 0) {
            emit_after(took, std::move(response));
            return;
        }
        t0_sw_.assign(response.end() - 2, response.end());
        t0_pending_.assign(response.begin(), response.end() - 2);
        emit_after(took, {0x61, static_cast<std::uint8_t>(data >= 256 ? 0 : data)});
    }

    void t0_get_response() {
        const std::size_t ne = header_[4] == 0 ? 256 : header_[4];
        const std::size_t have = t0_pending_.size();
        if (ne > have) {
            emit({{0, {0x6C, static_cast<std::uint8_t>(have)}}});
            return;
        }
        Bytes out = {header_[1]};
        append(out, std::span<const std::uint8_t>(t0_pending_.begin(),
                                                  t0_pending_.begin() + static_cast<long>(ne)));
        t0_pending_.erase(t0_pending_.begin(), t0_pending_.begin() + static_cast<long>(ne));
        if (t0_pending_.empty()) {
            append(out, std::span<const std::uint8_t>(t0_sw_.begin(), t0_sw_.end()));
        } else {
            const std::size_t rest = t0_pending_.size();
            out.push_back(0x61);
            out.push_back(static_cast<std::uint8_t>(rest >= 256 ? 0 : rest));
        }
        emit({{kern::milliseconds(1), std::move(out)}});
    }

    ProcessorCardConfig config_;
    std::unique_ptr<Application> app_;
    Bytes atr_;
    AtrInfo info_;
    T1Card t1_;
    bool powered_ = false;
    std::uint64_t epoch_ = 0;
    std::shared_ptr<bool> alive_;
    T0State t0_state_ = T0State::Idle;
    Application::T0Case t0_case_ = Application::T0Case::None;
    Bytes header_;
    Bytes data_;
    Bytes t0_pending_;
    Bytes t0_sw_;
    std::optional<Pending> wtx_pending_;
};

// A memory card of type 2 (256 bytes, three-byte PSC) or type 3 (1024 bytes, two-byte PSC).
class MemoryCard : public Card {
  public:
    explicit MemoryCard(CardKind kind) : kind_(kind) {
        const bool two = kind == CardKind::Memory2;
        memory_.resize(two ? 256 : 1024);
        for (std::size_t i = 0; i < memory_.size(); ++i)
            memory_[i] = static_cast<std::uint8_t>(two ? i : (i ^ 0xA5));
        psc_.assign(two ? 3 : 2, 0xFF);
    }
    std::string name() const override { return kind_ == CardKind::Memory2 ? "memory2" : "memory3"; }
    CardKind kind() const override { return kind_; }

    Bytes reset(bool) override {
        powered_ = true;
        verified_ = false;
        AtrShape shape;
        shape.historical = historical(kind_ == CardKind::Memory2 ? "QKR MEM2" : "QKR MEM3");
        return build_atr(shape);
    }
    void power_off() override { powered_ = false; }

    Bytes memory_command(std::span<const std::uint8_t> c) override {
        if (!powered_)
            return {0x02};
        if (c.empty())
            return {0x07};
        auto address = [&] { return static_cast<std::size_t>(c[1]) << 8 | c[2]; };
        switch (c[0]) {
        case 0x01: { // READ addr_hi addr_lo count (0 = 256)
            if (c.size() != 4)
                return {0x01};
            const std::size_t n = c[3] == 0 ? 256 : c[3];
            if (address() + n > memory_.size())
                return {0x03};
            Bytes out = {0x00};
            append(out, std::span<const std::uint8_t>(
                            memory_.begin() + static_cast<long>(address()),
                            memory_.begin() + static_cast<long>(address() + n)));
            return out;
        }
        case 0x02: { // WRITE addr_hi addr_lo data...
            if (c.size() < 4)
                return {0x01};
            const std::size_t n = c.size() - 3;
            if (address() + n > memory_.size())
                return {0x03};
            if (!verified_)
                return {0x04};
            std::copy(c.begin() + 3, c.end(), memory_.begin() + static_cast<long>(address()));
            return {0x00};
        }
        case 0x03: { // VERIFY PSC
            if (c.size() != 1 + psc_.size())
                return {0x01};
            if (errors_ == 0)
                return {0x06};
            if (std::equal(psc_.begin(), psc_.end(), c.begin() + 1)) {
                errors_ = 3;
                verified_ = true;
                return {0x00};
            }
            --errors_;
            verified_ = false;
            return {static_cast<std::uint8_t>(errors_ == 0 ? 0x06 : 0x05)};
        }
        case 0x04: // READ ERROR COUNTER
            return {0x00, static_cast<std::uint8_t>(errors_)};
        default:
            return {0x07};
        }
    }

  private:
    CardKind kind_;
    bool powered_ = false;
    bool verified_ = false;
    int errors_ = 3;
    Bytes memory_;
    Bytes psc_;
};

// A card that never answers the reset.
class MuteCard : public Card {
  public:
    std::string name() const override { return "mute"; }
    Bytes reset(bool) override { return {}; }
    void power_off() override {}
};

} // namespace

std::unique_ptr<Card> make_processor_card(ProcessorCardConfig config,
                                          std::unique_ptr<Application> app) {
    return std::make_unique<ProcessorCard>(std::move(config), std::move(app));
}

std::vector<std::string> card_names() {
    return {"t0",      "t1",  "t1-crc", "dual",    "specific",
            "inverse", "wtx", "mute",   "memory2", "memory3"};
}

std::unique_ptr<Card> make_card(std::string_view name, std::uint64_t seed) {
    FileSystemConfig fs;
    fs.seed = seed;
    ProcessorCardConfig c;
    c.name = std::string(name);
    AtrShape& a = c.atr;
    if (name == "t0") {
        a.ta1 = 0x11;
        a.tc2 = 10;
        a.historical = historical("QKR T0");
        c.t0_byte_by_byte = true;
    } else if (name == "t1" || name == "t1-crc") {
        a.t0 = false;
        a.t1 = true;
        a.ta1 = 0x13;
        a.ifsc = 32;
        a.bwi = 4;
        a.cwi = 5;
        a.crc = name == "t1-crc";
        a.historical = historical(a.crc ? "QKR T1 CRC" : "QKR T1");
    } else if (name == "dual") {
        a.t1 = true;
        a.ta1 = 0x13; // a PTS may ask for up to Di 4
        a.ifsc = 32;
        a.bwi = 4;
        a.cwi = 5;
        a.historical = historical("QKR DUAL");
    } else if (name == "specific") {
        a.ta1 = 0x13;
        a.ta2 = 0x00; // specific mode, T=0, parameters of TA1
        a.historical = historical("QKR SPCF");
    } else if (name == "inverse") {
        a.inverse = true;
        a.historical = historical("QKR INV");
    } else if (name == "wtx") {
        a.t0 = false;
        a.t1 = true;
        a.ifsc = 32;
        a.bwi = 1; // about 0.2 s, less than one command takes
        a.cwi = 5;
        a.historical = historical("QKR WTX");
        fs.base_time = kern::milliseconds(450);
    } else if (name == "mute") {
        return std::make_unique<MuteCard>();
    } else if (name == "memory2") {
        return std::make_unique<MemoryCard>(CardKind::Memory2);
    } else if (name == "memory3") {
        return std::make_unique<MemoryCard>(CardKind::Memory3);
    } else {
        return nullptr;
    }
    return make_processor_card(std::move(c), std::make_unique<FileSystemApp>(fs));
}

} // namespace qkr::sim
