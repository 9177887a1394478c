#include "platform/serial/sim_line.h"

#include <algorithm>
#include <utility>

namespace qkr::serial {

namespace {
const std::vector<std::uint32_t> kUsualBauds = {110,  300,   600,   1200,  2400,  4800,
                                                9600, 14400, 19200, 38400, 57600, 115200};

kern::Ticks bit_ticks(std::uint64_t bits, std::uint32_t baud) {
    const std::uint64_t b = baud == 0 ? 1 : baud;
    return static_cast<kern::Ticks>((bits * kern::kTicksPerSecond + b - 1) / b);
}
} // namespace

SimLine::SimLine(kern::Kernel& kernel, LineFormat format)
    : kernel_(kernel), host_format_(format), device_format_(format), bauds_(kUsualBauds) {}

SimLine::~SimLine() {
    std::unique_lock lock(mutex_);
    for (Way* way : {&to_device_, &to_host_}) {
        if (way->timer != 0 && kernel_.cancel(way->timer))
            --armed_;
        way->timer = 0;
        way->generation++;
    }
    for (const auto& [sequence, id] : notifications_) {
        if (kernel_.cancel(id))
            --armed_;
    }
    notifications_.clear();
    sink_ = nullptr;
    device_ = nullptr;
    tap_ = nullptr;
    // Callbacks already on their way find nothing to do; wait until they are out.
    wait_quiet(lock, true);
}

void SimLine::begin_delivery() {
    delivering_.push_back(std::this_thread::get_id());
}

void SimLine::end_callback() {
    std::lock_guard lock(mutex_);
    auto it = std::find(delivering_.begin(), delivering_.end(), std::this_thread::get_id());
    if (it != delivering_.end())
        delivering_.erase(it);
    --armed_;
    quiet_.notify_all();
}

void SimLine::wait_quiet(std::unique_lock<kern::Mutex>& lock, bool all_timers) {
    const auto me = std::this_thread::get_id();
    // A callback that detaches its own end must not wait for itself.
    const auto mine = [&] { return std::count(delivering_.begin(), delivering_.end(), me); };
    if (all_timers)
        quiet_.wait(lock, [&] { return armed_ == mine(); });
    else
        quiet_.wait(lock, [&] { return static_cast<long>(delivering_.size()) == mine(); });
}

void SimLine::connect_device(LineDevice* device) {
    LineDevice* old = nullptr;
    {
        std::unique_lock lock(mutex_);
        old = std::exchange(device_, device);
        if (old != nullptr && old != device)
            wait_quiet(lock, false);
    }
    if (old != nullptr && old != device)
        old->connect(nullptr);
    if (device != nullptr)
        device->connect(this);
}

void SimLine::set_tap(Tap* tap) {
    std::lock_guard lock(mutex_);
    tap_ = tap;
}

void SimLine::set_supported_bauds(std::vector<std::uint32_t> bauds) {
    std::lock_guard lock(mutex_);
    bauds_ = std::move(bauds);
}

bool SimLine::is_open() const {
    std::lock_guard lock(mutex_);
    return open_;
}

kern::Ticks SimLine::char_time(const LineFormat& format, std::size_t count) {
    return bit_ticks(static_cast<std::uint64_t>(format.bits_per_char()) * count, format.baud);
}

std::uint8_t SimLine::garble(std::uint8_t byte, const LineFormat& sender,
                             const LineFormat& receiver) {
    // Not a model of what a UART really samples, just stable garbage that never equals a clean
    // byte for long: the mix depends on both ends' settings, so every mismatch garbles differently.
    std::uint32_t h = 0x811C9DC5u;
    auto mix = [&h](std::uint32_t v) {
        h ^= v;
        h *= 0x01000193u;
    };
    mix(sender.baud);
    mix(receiver.baud);
    mix(static_cast<std::uint32_t>(sender.data_bits) << 8 |
        static_cast<std::uint32_t>(sender.parity) << 4 | sender.stop_bits);
    mix(static_cast<std::uint32_t>(receiver.data_bits) << 8 |
        static_cast<std::uint32_t>(receiver.parity) << 4 | receiver.stop_bits);
    mix(byte);
    const auto key = static_cast<std::uint8_t>(1 + (h ^ (h >> 8) ^ (h >> 16) ^ (h >> 24)) % 255);
    auto out = static_cast<std::uint8_t>(byte ^ key);
    if (receiver.data_bits < 8)
        out &= static_cast<std::uint8_t>((1u << receiver.data_bits) - 1);
    return out;
}

// ----- the port's side -----

void SimLine::attach(LinePortSink* sink) {
    std::unique_lock lock(mutex_);
    LinePortSink* old = std::exchange(sink_, sink);
    if (old != nullptr && old != sink)
        wait_quiet(lock, false);
}

bool SimLine::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    return true;
}

void SimLine::close() {
    std::lock_guard lock(mutex_);
    open_ = false;
}

bool SimLine::supports_baud(std::uint32_t baud) const {
    std::lock_guard lock(mutex_);
    return std::find(bauds_.begin(), bauds_.end(), baud) != bauds_.end();
}

void SimLine::host_set_format(const LineFormat& format) {
    std::lock_guard lock(mutex_);
    host_format_ = format;
}

LineFormat SimLine::host_format() const {
    std::lock_guard lock(mutex_);
    return host_format_;
}

void SimLine::transmit(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    enqueue(to_device_, bytes);
}

std::size_t SimLine::host_tx_queued() const {
    std::lock_guard lock(mutex_);
    return to_device_.queue.size();
}

void SimLine::purge_tx() {
    std::lock_guard lock(mutex_);
    // The character in the shift register finishes; the rest never leave.
    auto& q = to_device_.queue;
    q.erase(to_device_.busy ? q.begin() + 1 : q.begin(), q.end());
}

void SimLine::set_dtr(bool on) {
    std::lock_guard lock(mutex_);
    if (dtr_ == on)
        return;
    dtr_ = on;
    notify([on, rts = rts_, brk = break_](LinePortSink*, LineDevice* device) {
        if (device != nullptr)
            device->on_host_lines(on, rts, brk);
    });
}

void SimLine::set_rts(bool on) {
    std::lock_guard lock(mutex_);
    if (rts_ == on)
        return;
    rts_ = on;
    notify([dtr = dtr_, on, brk = break_](LinePortSink*, LineDevice* device) {
        if (device != nullptr)
            device->on_host_lines(dtr, on, brk);
    });
}

void SimLine::set_break(bool on) {
    std::lock_guard lock(mutex_);
    if (break_ == on)
        return;
    break_ = on;
    notify([dtr = dtr_, rts = rts_, on](LinePortSink*, LineDevice* device) {
        if (device != nullptr)
            device->on_host_lines(dtr, rts, on);
    });
}

bool SimLine::break_on() const {
    std::lock_guard lock(mutex_);
    return break_;
}

ModemLines SimLine::modem_lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

// ----- the far end's side -----

void SimLine::send(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    enqueue(to_host_, bytes);
}

std::size_t SimLine::device_tx_queued() const {
    std::lock_guard lock(mutex_);
    return to_host_.queue.size();
}

void SimLine::device_set_format(const LineFormat& format) {
    std::lock_guard lock(mutex_);
    device_format_ = format;
}

LineFormat SimLine::device_format() const {
    std::lock_guard lock(mutex_);
    return device_format_;
}

void SimLine::set_cts(bool on) {
    std::lock_guard lock(mutex_);
    if (lines_.cts == on)
        return;
    lines_.cts = on;
    notify([lines = lines_](LinePortSink* sink, LineDevice*) {
        if (sink != nullptr)
            sink->on_modem_change(lines);
    });
}

void SimLine::set_dsr(bool on) {
    std::lock_guard lock(mutex_);
    if (lines_.dsr == on)
        return;
    lines_.dsr = on;
    notify([lines = lines_](LinePortSink* sink, LineDevice*) {
        if (sink != nullptr)
            sink->on_modem_change(lines);
    });
}

void SimLine::set_tx_empty_lag(kern::Ticks lag) {
    std::lock_guard lock(mutex_);
    tx_empty_lag_ = lag;
}

void SimLine::set_ri(bool on) {
    std::lock_guard lock(mutex_);
    if (lines_.ri == on)
        return;
    lines_.ri = on;
    notify([lines = lines_](LinePortSink* sink, LineDevice*) {
        if (sink != nullptr)
            sink->on_modem_change(lines);
    });
}

void SimLine::set_dcd(bool on) {
    std::lock_guard lock(mutex_);
    if (lines_.dcd == on)
        return;
    lines_.dcd = on;
    notify([lines = lines_](LinePortSink* sink, LineDevice*) {
        if (sink != nullptr)
            sink->on_modem_change(lines);
    });
}

bool SimLine::dtr() const {
    std::lock_guard lock(mutex_);
    return dtr_;
}

bool SimLine::rts() const {
    std::lock_guard lock(mutex_);
    return rts_;
}

// ----- timing -----

const LineFormat& SimLine::sender_format(const Way& way) const {
    return way.direction == Direction::ToDevice ? host_format_ : device_format_;
}

const LineFormat& SimLine::receiver_format(const Way& way) const {
    return way.direction == Direction::ToDevice ? device_format_ : host_format_;
}

void SimLine::enqueue(Way& way, std::span<const std::uint8_t> bytes) {
    way.queue.insert(way.queue.end(), bytes.begin(), bytes.end());
    if (!way.busy && !way.queue.empty())
        start_next(way, false);
}

void SimLine::start_next(Way& way, bool back_to_back) {
    const LineFormat& format = sender_format(way);
    // Characters sent back to back are timed from the start of their run, so that rounding to
    // the clock's 100 ns does not add up over a long frame.
    if (!back_to_back || !way.run_open || way.epoch_baud != format.baud) {
        way.epoch = kernel_.now();
        way.bits = 0;
        way.epoch_baud = format.baud;
        way.run_open = true;
    }
    way.bits += format.bits_per_char();
    way.in_flight_format = format;
    way.busy = true;
    const std::uint64_t generation = ++way.generation;
    ++armed_;
    way.timer = kernel_.schedule_at(
        way.epoch + bit_ticks(way.bits, format.baud),
        [this, &way, generation] { on_char_done(way, generation); },
        way.direction == Direction::ToDevice ? "line: character to device"
                                             : "line: character to host");
}

void SimLine::on_char_done(Way& way, std::uint64_t generation) {
    LinePortSink* sink = nullptr;
    LineDevice* device = nullptr;
    Tap* tap = nullptr;
    bool open = false;
    bool now_empty = false;
    TapByte record;
    {
        std::unique_lock lock(mutex_);
        if (generation != way.generation || !way.busy) {
            lock.unlock();
            end_callback();
            return;
        }
        way.busy = false;
        way.timer = 0;
        record.time = kernel_.now();
        record.direction = way.direction;
        record.byte = way.queue.front();
        way.queue.pop_front();
        const LineFormat& receiver = receiver_format(way);
        record.garbled = !(way.in_flight_format == receiver);
        record.received =
            record.garbled ? garble(record.byte, way.in_flight_format, receiver) : record.byte;
        if (!way.queue.empty()) {
            start_next(way, true);
        } else {
            way.run_open = false;
            now_empty = true;
        }
        if (now_empty && way.direction == Direction::ToDevice && tx_empty_lag_ > 0) {
            now_empty = false;
            notify(
                [this, generation](LinePortSink* port, LineDevice*) {
                    bool still_empty;
                    {
                        std::lock_guard relock(mutex_);
                        still_empty =
                            to_device_.generation == generation && to_device_.queue.empty();
                    }
                    if (still_empty && port != nullptr)
                        port->on_tx_empty();
                },
                tx_empty_lag_);
        }
        sink = sink_;
        device = device_;
        tap = tap_;
        open = open_;
        begin_delivery();
    }
    if (tap != nullptr)
        tap->record_byte(record);
    if (way.direction == Direction::ToDevice) {
        if (device != nullptr)
            device->on_byte(record.received, record.garbled);
        if (now_empty && sink != nullptr)
            sink->on_tx_empty();
    } else {
        // A closed port's UART is not listening.
        if (sink != nullptr && open)
            sink->on_receive(std::span<const std::uint8_t>(&record.received, 1));
        if (now_empty && device != nullptr)
            device->on_tx_empty();
    }
    end_callback();
}

void SimLine::notify(Notification fn, kern::Ticks delay) {
    const std::uint64_t sequence = ++notify_sequence_;
    ++armed_;
    const auto id = kernel_.schedule_after(
        delay, [this, sequence, fn = std::move(fn)] { on_notify(sequence, fn); },
        "line: modem lines");
    notifications_.emplace(sequence, id);
}

void SimLine::on_notify(std::uint64_t sequence, const Notification& fn) {
    LinePortSink* sink = nullptr;
    LineDevice* device = nullptr;
    {
        std::unique_lock lock(mutex_);
        if (notifications_.erase(sequence) == 0) {
            lock.unlock();
            end_callback();
            return;
        }
        sink = sink_;
        device = device_;
        begin_delivery();
    }
    fn(sink, device);
    end_callback();
}

} // namespace qkr::serial
