// A simulated serial line between the port (LineBackend side) and a simulated device (DeviceSide).
//
// Each character takes LineFormat::bits_per_char() bit times at the sender's speed, on the kernel
// clock, and reaches the receiver when its last bit has arrived. A character sent while the two
// ends disagree on speed or format arrives garbled: a fixed function of the byte and both formats,
// flagged as such to the device. Everything the line tells either end (bytes, transmitter empty,
// modem line changes) comes from a kernel timer callback, never inline from a call of the other
// end, so neither side can re-enter itself through the line.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/serial/line.h"
#include "platform/serial/tap.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace qkr::serial {

namespace detail {
// LineBackend and DeviceSide both name tx_queued, set_format and format; these two give each end's
// version a name of its own so that one object can be both ends.
class HostEnd : public LineBackend {
  public:
    std::size_t tx_queued() const final { return host_tx_queued(); }
    void set_format(const LineFormat& format) final { host_set_format(format); }
    LineFormat format() const final { return host_format(); }
    virtual std::size_t host_tx_queued() const = 0;
    virtual void host_set_format(const LineFormat& format) = 0;
    virtual LineFormat host_format() const = 0;
};

class DeviceEnd : public DeviceSide {
  public:
    std::size_t tx_queued() const final { return device_tx_queued(); }
    void set_format(const LineFormat& format) final { device_set_format(format); }
    LineFormat format() const final { return device_format(); }
    virtual std::size_t device_tx_queued() const = 0;
    virtual void device_set_format(const LineFormat& format) = 0;
    virtual LineFormat device_format() const = 0;
};
} // namespace detail

// Use it through its LineBackend and DeviceSide faces, or with the host_/device_ names directly.
class SimLine final : public detail::HostEnd, public detail::DeviceEnd {
  public:
    // Both ends start with `format`.
    explicit SimLine(kern::Kernel& kernel, LineFormat format = {});
    ~SimLine() override;
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Plugs the far end in (nullptr unplugs): calls device->connect(this). Returns once no
    // callback into the old device is still running, so the caller may destroy it.
    void connect_device(LineDevice* device);
    // Every character that completes its journey is recorded here (nullptr: none).
    void set_tap(Tap* tap);
    // The speeds the port's UART can do; the default is the usual 110 to 115200 bit/s.
    void set_supported_bauds(std::vector<std::uint32_t> bauds);
    bool is_open() const;
    // The far end's ring indicator and carrier detect (CTS and DSR are in DeviceSide).
    void set_ri(bool on);
    void set_dcd(bool on);
    // How long after the last byte has left the port's UART reports its transmit queue empty.
    // USB serial adapters report it late, often after the far end has already answered.
    void set_tx_empty_lag(kern::Ticks lag);
    bool break_on() const;

    // Time `count` characters sent back to back take in `format`, rounded up to the clock's
    // 100 ns (the line times a run as a whole, so rounding does not add up).
    static kern::Ticks char_time(const LineFormat& format, std::size_t count = 1);
    // What a receiver set to `receiver` makes of `byte` sent with `sender` when they differ.
    static std::uint8_t garble(std::uint8_t byte, const LineFormat& sender,
                               const LineFormat& receiver);

    // LineBackend (the port's side). attach() returns once no callback into the old sink is
    // still running.
    void attach(LinePortSink* sink) override;
    bool open() override;
    void close() override;
    bool supports_baud(std::uint32_t baud) const override;
    void host_set_format(const LineFormat& format) override;
    LineFormat host_format() const override;
    void transmit(std::span<const std::uint8_t> bytes) override;
    std::size_t host_tx_queued() const override;
    void purge_tx() override;
    void set_dtr(bool on) override;
    void set_rts(bool on) override;
    void set_break(bool on) override;
    ModemLines modem_lines() const override;

    // DeviceSide (the far end's side)
    void send(std::span<const std::uint8_t> bytes) override;
    std::size_t device_tx_queued() const override;
    void device_set_format(const LineFormat& format) override;
    LineFormat device_format() const override;
    void set_cts(bool on) override;
    void set_dsr(bool on) override;
    bool dtr() const override;
    bool rts() const override;

  private:
    struct Way {
        Direction direction;
        std::deque<std::uint8_t> queue; // the front one is on the wire while busy
        bool busy = false;
        bool run_open = false;
        LineFormat in_flight_format; // the sender's format for the character on the wire
        kern::Ticks epoch = 0;       // start of the current run of back-to-back characters
        std::uint64_t bits = 0;      // bit times sent since `epoch`
        std::uint32_t epoch_baud = 0;
        kern::Kernel::TimerId timer = 0;
        std::uint64_t generation = 0;
    };

    using Notification = std::function<void(LinePortSink* sink, LineDevice* device)>;

    const LineFormat& sender_format(const Way& way) const;
    const LineFormat& receiver_format(const Way& way) const;
    void enqueue(Way& way, std::span<const std::uint8_t> bytes);
    void start_next(Way& way, bool back_to_back); // under the lock
    void on_char_done(Way& way, std::uint64_t generation);
    // Under the lock: `fn` runs later from a timer callback, in the order of the calls (after
    // `delay`, for the few that are meant to come late).
    void notify(Notification fn, kern::Ticks delay = 0);
    void on_notify(std::uint64_t sequence, const Notification& fn);
    // Callback bookkeeping, so that detaching and destruction never race a running callback.
    void begin_delivery(); // under the lock
    void end_callback();   // takes the lock; the last thing a callback does
    void wait_quiet(std::unique_lock<kern::Mutex>& lock, bool all_timers);

    kern::Kernel& kernel_;
    mutable kern::Mutex mutex_;
    LinePortSink* sink_ = nullptr;
    LineDevice* device_ = nullptr;
    Tap* tap_ = nullptr;
    bool open_ = false;
    kern::Ticks tx_empty_lag_ = 0;
    LineFormat host_format_;
    LineFormat device_format_;
    std::vector<std::uint32_t> bauds_;
    ModemLines lines_;
    bool dtr_ = false;
    bool rts_ = false;
    bool break_ = false;
    Way to_device_{Direction::ToDevice};
    Way to_host_{Direction::ToHost};
    std::map<std::uint64_t, kern::Kernel::TimerId> notifications_;
    int armed_ = 0; // timers scheduled whose callback has neither been cancelled nor finished
    std::vector<std::thread::id> delivering_; // callbacks now calling out to an end
    kern::Condition quiet_;
    std::uint64_t notify_sequence_ = 0;
};

} // namespace qkr::serial
