// A reader at the far end of the simulated line whose every answer a test can dictate. It reads
// the host's frames, keeps the plain answers of a working reader for the commands a test does not
// care about (type, status, power off, set parameters), and answers everything else from what
// the test queued for that command letter. Unlike the full simulator it can say things a real
// reader would not, which is what the driver's checks of the reader's replies are for.
#pragma once

#include "driver/driver.h"
#include "platform/kernel/kernel.h"
#include "platform/serial/line.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qkr::cardtest {

using FwBytes = std::vector<std::uint8_t>;

class ScriptedFirmware final : public serial::LineDevice {
  public:
    explicit ScriptedFirmware(kern::Kernel& kernel, std::string version = "0016")
        : kernel_(kernel), version_(std::move(version)) {}
    ~ScriptedFirmware() override {
        std::lock_guard lock(mutex_);
        for (auto id : timers_)
            kernel_.cancel(id);
    }

    // ----- what the test dictates -----
    // The next command with this letter gets this reply payload (the frame is built here).
    // `after` is the reader's time to think, from the command's last byte to the reply.
    void answer(std::uint8_t letter, FwBytes payload, kern::Ticks after = kern::milliseconds(2)) {
        std::lock_guard lock(mutex_);
        queued_[letter].push_back(Queued{std::move(payload), after});
    }
    // The next command with this letter gets no answer at all (the exchange retries it).
    void stay_silent(std::uint8_t letter, int times = 1) {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < times; ++i)
            queued_[letter].push_back(Queued{std::nullopt, 0});
    }
    // RDRSP_DATA with its length and the data.
    static FwBytes data(const FwBytes& bytes, std::size_t announced = SIZE_MAX) {
        std::size_t n = announced == SIZE_MAX ? bytes.size() : announced;
        FwBytes out{RDRSP_DATA, 0x00, std::uint8_t(n >> 8), std::uint8_t(n)};
        out.insert(out.end(), bytes.begin(), bytes.end());
        return out;
    }
    static FwBytes done() { return {RDRSP_DONE, 0x00, 0x00, 0x00}; }
    // After the next reply has left, the reader's UART runs at this speed.
    void switch_speed_after_reply(std::uint32_t baud) {
        std::lock_guard lock(mutex_);
        pending_baud_ = baud;
    }
    void set_card_in_slot0(bool in) {
        std::lock_guard lock(mutex_);
        card_in_ = in;
        if (side_ != nullptr)
            side_->set_cts(in);
    }

    // ----- what the host sent: command payloads, decoded -----
    std::vector<FwBytes> commands() const {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    // Only the card commands (not the reader-level type and status queries).
    std::vector<FwBytes> card_commands() const {
        std::vector<FwBytes> out;
        for (const FwBytes& c : commands()) {
            if (!c.empty() && c[0] != RDCMD_GET_TYPE && c[0] != RDCMD_GET_STATUS)
                out.push_back(c);
        }
        return out;
    }
    void forget_commands() {
        std::lock_guard lock(mutex_);
        commands_.clear();
    }
    std::uint32_t uart_baud() const {
        std::lock_guard lock(mutex_);
        return side_ != nullptr ? side_->format().baud : 0;
    }

    // ----- LineDevice -----
    void connect(serial::DeviceSide* side) override {
        std::lock_guard lock(mutex_);
        side_ = side;
        if (side_ != nullptr) {
            // A powered reader holds DSR up; CTS tells whether a card is in slot 0.
            timers_.push_back(kernel_.schedule_after(0, [this] {
                std::lock_guard inner(mutex_);
                if (side_ != nullptr) {
                    side_->set_dsr(true);
                    side_->set_cts(card_in_);
                }
            }));
        }
    }
    void on_byte(std::uint8_t byte, bool garbled) override {
        (void)garbled;
        std::lock_guard lock(mutex_);
        scan(byte);
    }
    void on_host_lines(bool, bool, bool) override {}
    void on_tx_empty() override {
        std::lock_guard lock(mutex_);
        if (pending_baud_ != 0 && reply_sent_ && side_ != nullptr) {
            serial::LineFormat f = side_->format();
            f.baud = pending_baud_;
            side_->set_format(f);
            pending_baud_ = 0;
        }
    }

  private:
    // Frame reader: DLE STX, payload with doubled DLE, check byte, DLE ETX.
    void scan(std::uint8_t b) {
        if (!in_frame_) {
            if (dle_ && b == QKR_STX) {
                in_frame_ = true;
                frame_.clear();
                dle_ = false;
                return;
            }
            dle_ = (b == QKR_DLE) && !dle_;
            return;
        }
        if (dle_) {
            dle_ = false;
            if (b == QKR_DLE) {
                frame_.push_back(b);
                return;
            }
            if (b == QKR_ETX) {
                in_frame_ = false;
                std::uint8_t check = 0;
                for (std::uint8_t x : frame_)
                    check ^= x;
                if (frame_.empty() || check != 0) {
                    send({QKR_NAK});
                    return;
                }
                frame_.pop_back();
                commands_.push_back(frame_);
                respond(frame_);
            }
            return;
        }
        if (b == QKR_DLE) {
            dle_ = true;
            return;
        }
        frame_.push_back(b);
    }

    void respond(const FwBytes& command) {
        const std::uint8_t letter = command[0];
        auto q = queued_.find(letter);
        if (q != queued_.end() && !q->second.empty()) {
            Queued r = std::move(q->second.front());
            q->second.pop_front();
            if (r.reply)
                send(*r.reply, r.after);
            return;
        }
        switch (letter) {
        case RDCMD_GET_TYPE: {
            FwBytes r{RDRSP_TYPE, 0x00, 0x00, 0x10};
            std::string id = "BRIMVEL QK41" + version_;
            r.insert(r.end(), id.begin(), id.end());
            send(r);
            break;
        }
        case RDCMD_GET_STATUS:
            send({RDRSP_STATUS, 0x00, 0x00, 0x01, std::uint8_t(card_in_ ? 0x08 : 0x00)});
            break;
        case RDCMD_POWER_OFF:
        case RDCMD_SET_PARAMS:
            send(done());
            break;
        default:
            break; // nothing queued: the test wants silence
        }
    }

    void send(const FwBytes& payload, kern::Ticks after = kern::milliseconds(2)) {
        FwBytes frame{QKR_DLE, QKR_STX};
        std::uint8_t check = 0;
        for (std::uint8_t b : payload) {
            frame.push_back(b);
            if (b == QKR_DLE)
                frame.push_back(b);
            check ^= b;
        }
        frame.push_back(check); // a NAK (15) thus goes out as 15 15
        if (check == QKR_DLE)
            frame.push_back(check);
        frame.push_back(QKR_DLE);
        frame.push_back(QKR_ETX);
        reply_sent_ = false;
        timers_.push_back(kernel_.schedule_after(after, [this, frame] {
            std::lock_guard lock(mutex_);
            if (side_ != nullptr) {
                side_->send(frame);
                reply_sent_ = true;
            }
        }));
    }

    kern::Kernel& kernel_;
    std::string version_;
    mutable std::mutex mutex_;
    serial::DeviceSide* side_ = nullptr;
    struct Queued {
        std::optional<FwBytes> reply;
        kern::Ticks after;
    };
    std::map<std::uint8_t, std::deque<Queued>> queued_;
    std::vector<FwBytes> commands_;
    FwBytes frame_;
    bool in_frame_ = false;
    bool dle_ = false;
    bool card_in_ = true;
    std::uint32_t pending_baud_ = 0;
    bool reply_sent_ = false;
    std::vector<kern::Kernel::TimerId> timers_;
};

} // namespace qkr::cardtest
