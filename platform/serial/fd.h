// An owned file descriptor: closed when its owner goes, so that no path out of a function (an
// early failure, an exception) leaks one.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace qkr::serial {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Wakes a thread out of poll(): it polls fd(), and any thread may wake() it.
class WakePipe {
  public:
    bool open() {
        int ends[2];
        if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
            return false;
        read_.reset(ends[0]);
        write_.reset(ends[1]);
        return true;
    }
    int fd() const { return read_.get(); }
    void wake() const {
        const char b = 1;
        if (write_) [[maybe_unused]]
            auto n = ::write(write_.get(), &b, 1);
    }
    void drain() const {
        char buf[64];
        while (::read(read_.get(), buf, sizeof buf) > 0) {
        }
    }

  private:
    Fd read_;
    Fd write_;
};

} // namespace qkr::serial
