// A far end for the serial line that answers each frame from the host with exactly the bytes a test
// scripted, when and in the pieces the test asked for, and stays silent when nothing is scripted.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/serial/line.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace qkr::testing {

struct ScriptedReply {
    std::vector<std::vector<std::uint8_t>> chunks; // each handed to the line in one piece
    kern::Ticks delay = kern::milliseconds(5);     // from the host's last byte to the first chunk
    kern::Ticks gap = 0;                           // between the starts of chunks
};

class ScriptedReader final : public serial::LineDevice {
  public:
    explicit ScriptedReader(kern::Kernel& kernel) : kernel_(kernel) {}
    ~ScriptedReader() override {
        std::lock_guard lock(mutex_);
        for (auto id : timers_)
            kernel_.cancel(id);
    }

    void script(ScriptedReply reply) {
        std::lock_guard lock(mutex_);
        replies_.push_back(std::move(reply));
    }
    // One frame in one piece.
    void reply(std::vector<std::uint8_t> bytes) { script({{std::move(bytes)}}); }
    // The same frame, one byte at a time, `gap` apart.
    void reply_bytewise(const std::vector<std::uint8_t>& bytes, kern::Ticks gap) {
        ScriptedReply r;
        for (auto b : bytes)
            r.chunks.push_back({b});
        r.gap = gap;
        script(std::move(r));
    }
    // Answers every frame that has no scripted reply: given the raw frame, returns the reply.
    void set_responder(std::function<ScriptedReply(const std::vector<std::uint8_t>&)> responder) {
        std::lock_guard lock(mutex_);
        responder_ = std::move(responder);
    }
    // Frames received from the host, raw.
    std::vector<std::vector<std::uint8_t>> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }

    // A reader with power: DSR on.
    void connect(serial::DeviceSide* side) override {
        std::lock_guard lock(mutex_);
        side_ = side;
        if (side_ != nullptr)
            side_->set_dsr(true);
    }
    void on_byte(std::uint8_t byte, bool garbled) override {
        (void)garbled;
        std::lock_guard lock(mutex_);
        current_.push_back(byte);
        if (byte == 0x10) {
            dle_ = !dle_;
            return;
        }
        if (byte == 0x03 && dle_) {
            frames_.push_back(current_);
            current_.clear();
            dle_ = false;
            answer();
        }
        dle_ = false;
    }
    void on_host_lines(bool, bool, bool) override {}

  private:
    void answer() { // under the lock
        ScriptedReply r;
        if (!replies_.empty()) {
            r = std::move(replies_.front());
            replies_.pop_front();
        } else if (responder_) {
            r = responder_(frames_.back());
        } else {
            return;
        }
        kern::Ticks at = r.delay;
        for (auto& chunk : r.chunks) {
            timers_.push_back(kernel_.schedule_after(at, [this, chunk] {
                std::lock_guard lock(mutex_);
                if (side_ != nullptr)
                    side_->send(chunk);
            }));
            at += r.gap;
        }
    }

    kern::Kernel& kernel_;
    mutable std::mutex mutex_;
    serial::DeviceSide* side_ = nullptr;
    std::deque<ScriptedReply> replies_;
    std::function<ScriptedReply(const std::vector<std::uint8_t>&)> responder_;
    std::vector<std::vector<std::uint8_t>> frames_;
    std::vector<std::uint8_t> current_;
    bool dle_ = false;
    std::vector<kern::Kernel::TimerId> timers_;
};

} // namespace qkr::testing
