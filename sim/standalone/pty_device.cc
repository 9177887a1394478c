#include "sim/standalone/pty_device.h"

#include "platform/serial/sim_line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace qkr::sim {

namespace {

bool parse_format(std::string_view v, serial::LineFormat& f) {
    // "<bit/s> <data bits><parity><stop bits>", e.g. "19200 8N1"
    const auto space = v.find(' ');
    if (space == std::string_view::npos || v.size() != space + 4)
        return false;
    std::uint32_t baud = 0;
    for (char c : v.substr(0, space)) {
        if (c < '0' || c > '9')
            return false;
        baud = baud * 10 + static_cast<std::uint32_t>(c - '0');
    }
    const char bits = v[space + 1], parity = v[space + 2], stop = v[space + 3];
    if (bits < '5' || bits > '8' || (stop != '1' && stop != '2'))
        return false;
    serial::Parity p;
    switch (parity) {
    case 'N':
        p = serial::Parity::None;
        break;
    case 'O':
        p = serial::Parity::Odd;
        break;
    case 'E':
        p = serial::Parity::Even;
        break;
    case 'M':
        p = serial::Parity::Mark;
        break;
    case 'S':
        p = serial::Parity::Space;
        break;
    default:
        return false;
    }
    f.baud = baud;
    f.data_bits = static_cast<std::uint8_t>(bits - '0');
    f.parity = p;
    f.stop_bits = static_cast<std::uint8_t>(stop - '0');
    return true;
}

} // namespace

PtyDevice::PtyDevice(ReaderSim& reader, std::string modem_socket)
    : reader_(reader), modem_path_(std::move(modem_socket)) {}

PtyDevice::~PtyDevice() {
    reader_.connect(nullptr);
    stop_ = true;
    wake_.wake();
    if (thread_.joinable())
        thread_.join();
}

bool PtyDevice::open() {
    auto fail = [this](const std::string& what) {
        error_ = what + ": " + std::strerror(errno);
        return false;
    };
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
        return fail("pseudo-terminal");
    const char* name = ::ptsname(master_.get());
    if (name == nullptr)
        return fail("pseudo-terminal name");
    slave_path_ = name;
    slave_keep_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave_keep_)
        return fail(slave_path_);
    termios t{};
    ::tcgetattr(slave_keep_.get(), &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_keep_.get(), TCSANOW, &t);
    ::fcntl(master_.get(), F_SETFL, ::fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
    if (!wake_.open())
        return fail("pipe");

    if (!listen_.open_unix(modem_path_)) {
        error_ = listen_.error();
        return false;
    }

    reader_.connect(this);
    thread_ = std::thread([this] { run(); });
    return true;
}

void PtyDevice::send(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    out_.append(bytes.begin(), bytes.end());
    flush_locked();
}

void PtyDevice::flush_locked() {
    while (!out_.empty()) {
        const ssize_t n = ::write(master_.get(), out_.data(), out_.size());
        if (n <= 0) {
            // Full: the thread tries again when the pseudo-terminal can take more.
            wake_.wake();
            return;
        }
        out_.erase(0, static_cast<std::size_t>(n));
    }
}

std::size_t PtyDevice::tx_queued() const {
    std::lock_guard lock(mutex_);
    return out_.size();
}

void PtyDevice::set_format(const serial::LineFormat& format) {
    std::lock_guard lock(mutex_);
    device_format_ = format;
}

serial::LineFormat PtyDevice::host_format() const {
    std::lock_guard lock(mutex_);
    return host_format_known_ ? host_format_ : device_format_;
}

serial::LineFormat PtyDevice::format() const {
    std::lock_guard lock(mutex_);
    return device_format_;
}

void PtyDevice::tell_locked(const std::string& line) {
    if (modem_) [[maybe_unused]]
        auto r = ::send(modem_.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void PtyDevice::set_cts(bool on) {
    std::lock_guard lock(mutex_);
    if (cts_ != on)
        tell_locked(on ? "CTS 1\n" : "CTS 0\n");
    cts_ = on;
}

void PtyDevice::set_dsr(bool on) {
    std::lock_guard lock(mutex_);
    if (dsr_ != on)
        tell_locked(on ? "DSR 1\n" : "DSR 0\n");
    dsr_ = on;
}

bool PtyDevice::dtr() const {
    std::lock_guard lock(mutex_);
    return dtr_;
}

bool PtyDevice::rts() const {
    std::lock_guard lock(mutex_);
    return rts_;
}

void PtyDevice::host_line(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos)
        return;
    const std::string_view word = line.substr(0, space), value = line.substr(space + 1);
    bool changed = false;
    bool d = false, r = false, b = false;
    {
        std::lock_guard lock(mutex_);
        if (word == "LINE") {
            serial::LineFormat f;
            if (parse_format(value, f)) {
                host_format_ = f;
                host_format_known_ = true;
            }
            return;
        }
        if (value != "0" && value != "1")
            return;
        const bool on = value == "1";
        bool* flag = word == "DTR"   ? &dtr_
                     : word == "RTS" ? &rts_
                     : word == "BRK" ? &brk_
                                     : nullptr;
        if (flag == nullptr)
            return;
        changed = *flag != on;
        *flag = on;
        d = dtr_;
        r = rts_;
        b = brk_;
    }
    if (changed) {
        ReaderSim& reader = reader_;
        reader.post([&reader, d, r, b] { reader.on_host_lines(d, r, b); });
    }
}

void PtyDevice::read_modem() {
    for (;;) {
        char buf[256];
        const ssize_t n = ::recv(modem_.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            std::lock_guard lock(mutex_);
            modem_.reset();
            return;
        }
        std::vector<std::string> lines;
        for (const char c : std::string_view(buf, static_cast<std::size_t>(n))) {
            if (c == '\n') {
                if (!modem_overlong_)
                    lines.push_back(modem_in_);
                modem_in_.clear();
                modem_overlong_ = false;
            } else if (modem_in_.size() < kMaxModemLine) {
                modem_in_ += c;
            } else {
                // None of a line too long is taken, its tail least of all.
                modem_in_.clear();
                modem_overlong_ = true;
            }
        }
        for (const auto& line : lines)
            host_line(line);
    }
}

void PtyDevice::run() {
    while (!stop_) {
        pollfd fds[4] = {{master_.get(), POLLIN, 0},
                         {listen_.fd(), POLLIN, 0},
                         {wake_.fd(), POLLIN, 0},
                         {modem_.get(), POLLIN, 0}};
        {
            std::lock_guard lock(mutex_);
            if (!out_.empty())
                fds[0].events |= POLLOUT;
            fds[3].fd = modem_.get();
        }
        if (::poll(fds, fds[3].fd >= 0 ? 4 : 3, 200) <= 0)
            continue;
        if (fds[2].revents & POLLIN)
            wake_.drain();
        if (fds[0].revents & POLLOUT) {
            std::lock_guard lock(mutex_);
            flush_locked();
        }
        if (fds[0].revents & POLLIN) {
            std::uint8_t buf[1024];
            const ssize_t n = ::read(master_.get(), buf, sizeof buf);
            if (n > 0) {
                serial::LineFormat host, device;
                {
                    std::lock_guard lock(mutex_);
                    host = host_format_;
                    device = device_format_;
                }
                Bytes bytes(buf, buf + n);
                bool known = false;
                {
                    std::lock_guard lock(mutex_);
                    known = host_format_known_;
                }
                // Until the host says otherwise its port is taken to match the reader's.
                const bool garbled = known && !(host == device);
                if (garbled)
                    for (auto& b : bytes)
                        b = serial::SimLine::garble(b, host, device);
                ReaderSim& reader = reader_;
                reader.post([&reader, bytes = std::move(bytes), garbled] {
                    for (auto b : bytes)
                        reader.on_byte(b, garbled);
                });
            }
        }
        if (fds[3].fd >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR)))
            read_modem();
        if (fds[1].revents & POLLIN) {
            // A host that hung up and came straight back may have left its last lines unread:
            // they and its hang-up come first, so that it is not taken for a second host.
            if (modem_)
                read_modem();
            serial::Fd fd = listen_.accept();
            std::lock_guard lock(mutex_);
            // A second host is closed at once (as fd goes): the first keeps its session.
            if (fd && !modem_) {
                modem_ = std::move(fd);
                modem_in_.clear();
                modem_overlong_ = false;
                tell_locked(cts_ ? "CTS 1\n" : "CTS 0\n");
                tell_locked(dsr_ ? "DSR 1\n" : "DSR 0\n");
            }
        }
    }
}

} // namespace qkr::sim
