#include "platform/serial/tap.h"

namespace qkr::serial {

void Tap::set_enabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

bool Tap::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void Tap::clear() {
    std::lock_guard lock(mutex_);
    base_ += requests_.size();
    requests_.clear();
    bytes_.clear();
}

std::vector<TapRequest> Tap::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<TapByte> Tap::bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::vector<std::uint8_t> Tap::data(Direction direction) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> out;
    for (const auto& b : bytes_) {
        if (b.direction == direction)
            out.push_back(b.byte);
    }
    return out;
}

std::vector<ULONG> Tap::control_codes() const {
    std::lock_guard lock(mutex_);
    std::vector<ULONG> out;
    for (const auto& r : requests_) {
        if (r.major == IRP_MJ_DEVICE_CONTROL)
            out.push_back(r.code);
    }
    return out;
}

Tap::Id Tap::begin_request(TapRequest request) {
    std::lock_guard lock(mutex_);
    if (!enabled_)
        return kNone;
    requests_.push_back(std::move(request));
    return base_ + requests_.size();
}

void Tap::end_request(Id id, NTSTATUS status, ULONG_PTR information) {
    std::lock_guard lock(mutex_);
    if (id == kNone || id <= base_ || id - base_ > requests_.size())
        return;
    auto& r = requests_[id - base_ - 1];
    r.status = status;
    r.information = information;
    r.completed = true;
}

void Tap::record_byte(const TapByte& byte) {
    std::lock_guard lock(mutex_);
    if (enabled_)
        bytes_.push_back(byte);
}

} // namespace qkr::serial
