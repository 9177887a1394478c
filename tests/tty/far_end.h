// The far end of a pseudo-terminal and of the modem-line side channel, played by a test on the
// real clock. Every wait is for an event, with a generous deadline only so that a fault fails
// instead of hanging.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace qkr::serial::tty_testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = 3s;

std::vector<std::uint8_t> bytes_of(std::string_view s) {
    return {s.begin(), s.end()};
}

class Log {
  public:
    std::function<void(std::string_view)> writer() {
        return [this](std::string_view line) {
            std::lock_guard lock(mu_);
            lines_.emplace_back(line);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mu_);
        return lines_;
    }
    int count_containing(std::string_view text) const {
        std::lock_guard lock(mu_);
        return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }

  private:
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
};

// The far end of a pseudo-terminal.
class Pty {
  public:
    Pty() {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << std::strerror(errno);
            return;
        }
        path_ = name;
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        close_master();
        if (slave_ >= 0) {
            ::close(slave_);
        }
    }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    void close_master() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }
    void write(std::span<const std::uint8_t> bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                ADD_FAILURE() << "master write: " << std::strerror(errno);
                return;
            } else {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 1000);
            }
        }
    }
    // Reads exactly n bytes, or fails at the deadline.
    std::vector<std::uint8_t> read(std::size_t n) {
        std::vector<std::uint8_t> out;
        const auto end = Clock::now() + kDeadline;
        while (out.size() < n && Clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            ::poll(&p, 1, 100);
            std::uint8_t buffer[4096];
            const ssize_t r = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
            if (r > 0) {
                out.insert(out.end(), buffer, buffer + r);
            }
        }
        EXPECT_EQ(out.size(), n) << "the far end got too few bytes";
        return out;
    }
    // Whether the tty refuses new openers (TIOCEXCL); the mark lives as long as the tty does.
    bool exclusive() const {
        int on = 0;
        EXPECT_EQ(::ioctl(slave_, TIOCGEXCL, &on), 0);
        return on != 0;
    }
    termios settings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(master_, &t), 0); // a pty master shows the slave's settings
        return t;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A far end listening for the modem-line side channel.
class SideChannel {
  public:
    SideChannel() {
        static std::atomic<int> counter{0};
        path_ = (std::filesystem::temp_directory_path() /
                 ("qkr-tty-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                    .string();
        ::unlink(path_.c_str());
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
    }
    ~SideChannel() {
        hang_up();
        ::close(listener_);
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    void accept() {
        pollfd p{listener_, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 3000), 1) << "the line never connected";
        conn_ = ::accept(listener_, nullptr, nullptr);
        ASSERT_GE(conn_, 0);
    }
    void send(std::string_view text) {
        ASSERT_EQ(::send(conn_, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // The next line the line sent, without its "\n".
    std::string next_line() {
        const auto end = Clock::now() + kDeadline;
        for (;;) {
            const auto nl = pending_.find('\n');
            if (nl != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return line;
            }
            if (Clock::now() >= end) {
                return "<nothing>";
            }
            pollfd p{conn_, POLLIN, 0};
            ::poll(&p, 1, 100);
            char buffer[256];
            const ssize_t r = ::recv(conn_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (r > 0) {
                pending_.append(buffer, static_cast<std::size_t>(r));
            }
        }
    }
    void hang_up() {
        if (conn_ >= 0) {
            ::close(conn_);
            conn_ = -1;
        }
    }

  private:
    std::string path_;
    int listener_ = -1;
    int conn_ = -1;
    std::string pending_;
};

} // namespace qkr::serial::tty_testing
