// Shared by the fuzz targets: reading the fuzzer's bytes as a sequence of choices, and checks
// that end the run with a message (under libFuzzer and in the replay programs alike).
#pragma once

#include "platform/kernel/kernel.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <span>
#include <type_traits>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace qkr::fuzz {

// The input as choices; once it runs out every choice reads as 0 and every span is empty, so a
// target never needs to look at the remaining length to stay in bounds.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t u8() { return empty() ? 0 : data_[pos_++]; }
    std::uint16_t u16() { return std::uint16_t(u8() | u8() << 8); }
    std::uint32_t u32() { return std::uint32_t(u16()) | std::uint32_t(u16()) << 16; }
    bool flag() { return (u8() & 1) != 0; }
    // Up to `n` bytes (fewer at the end of the input).
    std::span<const std::uint8_t> take(std::size_t n) {
        n = std::min(n, size_ - pos_);
        pos_ += n;
        return {data_ + pos_ - n, n};
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

template <class T>
bool one_of(T value, std::initializer_list<std::type_identity_t<T>> allowed) {
    return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

// A record as the platform hands it out: all zero.
template <class T>
void zero(T& record) {
    std::memset(static_cast<void*>(&record), 0, sizeof record);
}

// Verifier reports (a deadlock, a leak found by the kernel's end-of-life checks) end the run.
inline void abort_on_report(kern::Kernel& k) {
    k.set_verifier_handler([](const std::string& message) {
        std::fprintf(stderr, "verifier: %s\n", message.c_str());
        std::abort();
    });
}

} // namespace qkr::fuzz
