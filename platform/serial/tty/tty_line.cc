#include "platform/serial/tty/tty_line.h"

#include "platform/kernel/kernel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace qkr::serial {

namespace {

// Set on each of a TtyLine's threads, so that calls from its own callbacks can be recognised.
thread_local const TtyLine* tl_line_of_this_thread = nullptr;

constexpr std::size_t kChunk = 4096;
constexpr std::size_t kMaxSideChannelLine = 63;

struct Speed {
    std::uint32_t baud;
    speed_t code;
};
constexpr Speed kSpeeds[] = {
    {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},     {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

bool speed_code(std::uint32_t baud, speed_t* code) {
    for (const Speed& s : kSpeeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

std::string errno_text(int error) {
    return std::strerror(error);
}

char parity_letter(Parity parity) {
    switch (parity) {
    case Parity::None:
        return 'N';
    case Parity::Odd:
        return 'O';
    case Parity::Even:
        return 'E';
    case Parity::Mark:
        return 'M';
    case Parity::Space:
        return 'S';
    }
    return '?';
}

std::string describe(const LineFormat& f) {
    return std::to_string(f.baud) + " " + std::to_string(f.data_bits) + parity_letter(f.parity) +
           std::to_string(f.stop_bits);
}

// Fills `t` (already read from the tty) for raw transfer in format `f`; false with a reason if
// the format is not one a tty can have.
bool make_termios(const LineFormat& f, termios* t, std::string* why) {
    speed_t code = 0;
    if (!speed_code(f.baud, &code)) {
        *why = "no termios speed of " + std::to_string(f.baud) + " bit/s";
        return false;
    }
    tcflag_t size = 0;
    switch (f.data_bits) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        *why = "no word length of " + std::to_string(f.data_bits) + " bits";
        return false;
    }
    if (f.stop_bits != 1 && f.stop_bits != 2) {
        *why = "no " + std::to_string(f.stop_bits) + " stop bits";
        return false;
    }
    cfmakeraw(t);
    t->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t->c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    t->c_cflag |= CLOCAL | CREAD | size;
    if (f.stop_bits == 2) {
        t->c_cflag |= CSTOPB;
    }
    switch (f.parity) {
    case Parity::None:
        break;
    case Parity::Odd:
        t->c_cflag |= PARENB | PARODD;
        break;
    case Parity::Even:
        t->c_cflag |= PARENB;
        break;
    case Parity::Mark:
    case Parity::Space:
#ifdef CMSPAR
        t->c_cflag |= PARENB | CMSPAR | (f.parity == Parity::Mark ? PARODD : 0);
        break;
#else
        *why = "no mark or space parity on this system";
        return false;
#endif
    }
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
    cfsetispeed(t, code);
    cfsetospeed(t, code);
    return true;
}

// The no-op handler whose only purpose is to end a TIOCMIWAIT with EINTR.
int wake_signal() {
    return SIGRTMIN + 4;
}

void on_wake_signal(int) {}

void install_wake_handler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (sigaction(wake_signal(), nullptr, &old) != 0) {
            return;
        }
        const bool free = (old.sa_flags & SA_SIGINFO) == 0 &&
                          (old.sa_handler == SIG_DFL || old.sa_handler == SIG_IGN);
        if (!free) {
            return; // the program has its own handler, which interrupts the wait just as well
        }
        struct sigaction sa {};
        sa.sa_handler = on_wake_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the wait must end
        sigaction(wake_signal(), &sa, nullptr);
    });
}

ModemLines lines_from_bits(int bits) {
    ModemLines l;
    l.cts = (bits & TIOCM_CTS) != 0;
    l.dsr = (bits & TIOCM_DSR) != 0;
    l.ri = (bits & TIOCM_RNG) != 0;
    l.dcd = (bits & TIOCM_CD) != 0;
    return l;
}

// Waits until `fd` can take more bytes, or the stop event is readable, or the wake event (which
// this consumes) is. A purge wakes it too, rather than trusting every tty driver to wake its
// writers when a flush makes room.
void wait_writable(int fd, int stop_fd, int wake_fd) {
    pollfd fds[3] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    while (::poll(fds, 3, -1) < 0 && errno == EINTR) {
    }
    if (fds[2].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(wake_fd, &count, sizeof count);
    }
}

// Puts the tty into raw mode in format `f`. tcsetattr() succeeds if it made any of the changes,
// so the result is read back: a speed the tty did not take is a failure (and the old settings
// are put back); a character framing it did not take (a pseudo-terminal always carries plain
// 8-bit bytes) is only noted.
bool apply_format(int fd, const LineFormat& f, std::string* error, std::string* note) {
    termios old{};
    if (::tcgetattr(fd, &old) != 0) {
        *error = errno_text(errno);
        return false;
    }
    termios want = old;
    if (!make_termios(f, &want, error)) {
        return false;
    }
    if (::tcsetattr(fd, TCSANOW, &want) != 0) {
        *error = errno_text(errno);
        ::tcsetattr(fd, TCSANOW, &old);
        return false;
    }
    termios got{};
    if (::tcgetattr(fd, &got) != 0) {
        *error = errno_text(errno);
        return false;
    }
    if (cfgetospeed(&got) != cfgetospeed(&want) || cfgetispeed(&got) != cfgetispeed(&want)) {
        *error = "the tty did not take the speed";
        ::tcsetattr(fd, TCSANOW, &old);
        return false;
    }
    tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CMSPAR
    framing |= CMSPAR;
#endif
    if ((got.c_cflag & framing) != (want.c_cflag & framing)) {
        *note = "the tty does not frame characters as " + describe(f) +
                " itself (a pseudo-terminal carries plain bytes)";
    }
    return true;
}

// The tty's descriptor until open() hands it over: its exclusive mark, which belongs to the tty
// and not to the descriptor, goes with it on every way out.
class Claim {
  public:
    explicit Claim(Fd fd) : fd_(std::move(fd)) {}
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() {
        if (fd_) {
            ::ioctl(fd_.get(), TIOCNXCL); // harmless when not yet marked exclusive
        }
    }
    int get() const { return fd_.get(); }
    explicit operator bool() const { return static_cast<bool>(fd_); }
    Fd release() { return std::move(fd_); }

  private:
    Fd fd_;
};

std::string open_error(const std::string& path, int e) {
    std::string message = "cannot open serial port " + path + ": " + errno_text(e);
    if (e == EACCES || e == EPERM) {
        message += " (the user needs read and write access to it; serial ports usually "
                   "belong to the group dialout)";
    } else if (e == EBUSY) {
        message += " (in use by another program)";
    }
    return message;
}

// Opens `path` as the port: locked, exclusive, raw in `format`, emptied of what came before.
// An empty Fd and *error when it cannot; *note tells of a framing the tty leaves undone.
Fd open_tty(const std::string& path, const LineFormat& format, std::string* error,
            std::string* note) {
    Claim tty(Fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)));
    if (!tty) {
        *error = open_error(path, errno);
        return {};
    }
    termios t{};
    if (::tcgetattr(tty.get(), &t) != 0) {
        const int e = errno;
        *error = "cannot use " + path + " as a serial port: not a terminal (" + errno_text(e) + ")";
        return {};
    }
    if (::flock(tty.get(), LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        *error =
            "serial port " + path + " is busy: another program holds it (" + errno_text(e) + ")";
        return {};
    }
    ::ioctl(tty.get(), TIOCEXCL); // keeps out openers that do not lock; root passes anyway
    std::string why;
    if (!apply_format(tty.get(), format, &why, note)) {
        *error = "cannot set serial port " + path + " to " + describe(format) + ": " + why;
        return {};
    }
    ::tcflush(tty.get(), TCIOFLUSH); // nothing from before our time
    return tty.release();
}

// The far end's side channel at `socket_path`, non-blocking; an empty Fd and *error when nobody
// listens there.
Fd connect_side_channel(const std::string& socket_path, const std::string& path,
                        std::string* error) {
    const std::string what =
        "cannot connect to the modem-line socket " + socket_path + " of serial port " + path + ": ";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof(addr.sun_path)) {
        *error = what + "the path is too long";
        return {};
    }
    std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());
    Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock ||
        ::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        const int e = errno;
        *error = what + errno_text(e);
        return {};
    }
    ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) | O_NONBLOCK);
    return sock;
}

} // namespace

TtyLine::TtyLine(TtyOptions options) : options_(std::move(options)), format_(options_.format) {
    lines_.cts = options_.assume_cts;
    lines_.dsr = options_.assume_dsr;
}

TtyLine::~TtyLine() {
    close();
}

bool TtyLine::is_termios_speed(std::uint32_t baud) {
    speed_t code = 0;
    return speed_code(baud, &code);
}

bool TtyLine::supports_baud(std::uint32_t baud) const {
    return is_termios_speed(baud);
}

void TtyLine::attach(LinePortSink* sink) {
    std::lock_guard lock(delivery_mu_);
    sink_ = sink;
}

template <typename Fn>
void TtyLine::deliver(Fn&& fn) {
    std::lock_guard lock(delivery_mu_);
    if (sink_ != nullptr) {
        fn(*sink_);
    }
}

bool TtyLine::on_own_thread() const {
    return tl_line_of_this_thread == this;
}

void TtyLine::log(std::string message) const {
    if (options_.log) {
        options_.log(message);
    } else {
        std::clog << message << '\n';
    }
}

bool TtyLine::is_open() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(fd_);
}

bool TtyLine::has_modem_lines() const {
    std::lock_guard lock(mutex_);
    return has_modem_lines_;
}

std::string TtyLine::last_error() const {
    std::lock_guard lock(mutex_);
    return last_error_;
}

bool TtyLine::open() {
    if (on_own_thread()) {
        std::lock_guard lock(mutex_);
        last_error_ = "serial port " + options_.path + ": open() from a line callback";
        return false; // the line is open anyway
    }
    std::lock_guard life(lifecycle_mu_);
    LineFormat format;
    {
        std::lock_guard lock(mutex_);
        if (fd_) {
            return true;
        }
        format = format_;
    }
    const std::string& path = options_.path;
    auto fail = [&](std::string message) {
        std::lock_guard lock(mutex_);
        last_error_ = std::move(message);
        return false;
    };
    if (path.empty()) {
        return fail("no serial port given");
    }
    // Under the virtual clock, time-outs would expire while real bytes are still on the wire.
    if (const kern::Kernel* k = kern::Kernel::current_or_null();
        k != nullptr && k->mode() != kern::ClockMode::Real) {
        return fail("serial port " + path +
                    " is a real tty and needs the kernel's real clock (ClockMode::Real)");
    }
    std::string error;
    std::string note;
    Claim tty(open_tty(path, format, &error, &note));
    if (!tty) {
        return fail(error);
    }
    int bits = 0;
    bool modem = true;
    if (::ioctl(tty.get(), TIOCMGET, &bits) != 0) {
        const int e = errno;
        if (e != ENOTTY && e != EINVAL) {
            return fail("cannot read the modem lines of serial port " + path + ": " +
                        errno_text(e));
        }
        modem = false;
    }
    Fd sock;
    if (!modem && !options_.modem_socket.empty() &&
        !(sock = connect_side_channel(options_.modem_socket, path, &error))) {
        return fail(error);
    }
    Fd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop || !wake) {
        const int e = errno;
        return fail("cannot open serial port " + path + ": " + errno_text(e));
    }
    const bool side_channel = static_cast<bool>(sock);
    const bool announce =
        take_over(tty.release(), std::move(sock), std::move(stop), std::move(wake), modem, bits);
    log_line_source(note, modem, side_channel);
    start_threads(announce, modem);
    return true;
}

bool TtyLine::take_over(Fd tty, Fd sock, Fd stop, Fd wake, bool modem, int bits) {
    std::lock_guard lock(mutex_);
    const ModemLines before = lines_;
    fd_ = std::move(tty);
    sock_fd_ = std::move(sock);
    stop_fd_ = std::move(stop);
    wake_fd_ = std::move(wake);
    stopping_ = false;
    hung_up_ = false;
    has_modem_lines_ = modem;
    if (modem) {
        lines_ = lines_from_bits(bits);
        dtr_ = (bits & TIOCM_DTR) != 0;
        rts_ = (bits & TIOCM_RTS) != 0;
    } else {
        lines_ = ModemLines{};
        lines_.cts = options_.assume_cts;
        lines_.dsr = options_.assume_dsr;
        dtr_ = true; // as a port's open raises them
        rts_ = true;
    }
    tx_queue_.clear();
    tx_empty_due_ = false;
    last_error_.clear();
    sock_buffer_.clear();
    sock_discarding_ = false;
    send_state_to_side_channel();
    return lines_ != before;
}

void TtyLine::log_line_source(const std::string& note, bool modem, bool side_channel) const {
    const std::string& path = options_.path;
    if (!note.empty()) {
        log("tty " + path + ": " + note);
    }
    if (!modem) {
        std::string source = side_channel ? "the side channel at " + options_.modem_socket
                                          : std::string("the options (CTS ") +
                                                (options_.assume_cts ? "on" : "off") + ", DSR " +
                                                (options_.assume_dsr ? "on" : "off") + ")";
        log("tty " + path + " has no modem lines; CTS and DSR come from " + source);
    } else if (!options_.modem_socket.empty()) {
        log("tty " + path + " has modem lines of its own; the side channel at " +
            options_.modem_socket + " is not used");
    }
}

void TtyLine::start_threads(bool announce, bool modem) {
    int fd = -1;
    int stop = -1;
    int sock = -1;
    int wake = -1;
    {
        std::lock_guard lock(mutex_);
        fd = fd_.get();
        stop = stop_fd_.get();
        sock = sock_fd_.get();
        wake = wake_fd_.get();
    }
    {
        std::lock_guard lock(modem_exit_mu_);
        modem_exited_ = false;
    }
    reader_ = std::thread([this, fd, stop, sock, announce] {
        tl_line_of_this_thread = this;
        if (announce) {
            // The sink may have read modem_lines() before the open; tell it what they are now.
            const ModemLines lines = modem_lines();
            deliver([&](LinePortSink& sink) { sink.on_modem_change(lines); });
        }
        reader_loop(fd, stop, sock);
    });
    writer_ = std::thread([this, fd, stop, wake] {
        tl_line_of_this_thread = this;
        writer_loop(fd, stop, wake);
    });
    if (modem) {
        install_wake_handler();
        modem_ = std::thread([this, fd] {
            tl_line_of_this_thread = this;
            modem_loop(fd);
            std::lock_guard lock(modem_exit_mu_);
            modem_exited_ = true;
            modem_exit_cv_.notify_all();
        });
    }
}

void TtyLine::close() {
    if (on_own_thread()) {
        log("tty " + options_.path + ": close() from a line callback is ignored");
        return;
    }
    std::lock_guard life(lifecycle_mu_);
    {
        std::lock_guard lock(mutex_);
        if (!fd_) {
            return;
        }
        stopping_ = true;
        tx_queue_.clear();
        ++purges_;
        tx_cv_.notify_all();
    }
    stop_threads();
    release_fds();
}

void TtyLine::stop_threads() {
    int fd = -1;
    int stop = -1;
    {
        std::lock_guard lock(mutex_);
        fd = fd_.get();
        stop = stop_fd_.get();
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop, &one, sizeof one);
    // Ends a tcdrain() in progress; what was still queued is dropped, as a port's close does.
    ::tcflush(fd, TCOFLUSH);
    if (modem_.joinable()) {
        // A signal that arrives just before the thread enters TIOCMIWAIT is lost, hence the loop.
        for (;;) {
            ::pthread_kill(modem_.native_handle(), wake_signal());
            std::unique_lock lock(modem_exit_mu_);
            if (modem_exit_cv_.wait_for(lock, std::chrono::milliseconds(20),
                                        [this] { return modem_exited_; })) {
                break;
            }
        }
        modem_.join();
    }
    reader_.join();
    writer_.join();
}

void TtyLine::release_fds() {
    std::lock_guard lock(mutex_);
    sock_fd_.reset();
    stop_fd_.reset();
    wake_fd_.reset();
    // The exclusive mark belongs to the tty, not to this descriptor: a pseudo-terminal whose
    // master stays open would keep refusing every later opener but root.
    ::ioctl(fd_.get(), TIOCNXCL);
    fd_.reset(); // also drops the flock
    stopping_ = false;
    hung_up_ = false;
    tx_queue_.clear();
    tx_empty_due_ = false;
}

void TtyLine::set_format(const LineFormat& format) {
    std::string error;
    std::string note;
    {
        std::lock_guard lock(mutex_);
        if (!fd_) {
            termios t{};
            if (make_termios(format, &t, &error)) {
                format_ = format;
                return;
            }
        } else if (apply_format(fd_.get(), format, &error, &note)) {
            format_ = format;
            send_side_channel("LINE " + describe(format));
        }
    }
    if (!note.empty()) {
        log("tty " + options_.path + ": " + note);
    } else if (!error.empty()) {
        log("tty " + options_.path + ": cannot set " + describe(format) + ": " + error);
    }
}

LineFormat TtyLine::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

void TtyLine::transmit(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (!fd_ || stopping_ || hung_up_) {
        return; // nobody at the far end: the bytes are lost, as on a wire
    }
    tx_queue_.insert(tx_queue_.end(), bytes.begin(), bytes.end());
    ++tx_generation_;
    tx_empty_due_ = true;
    tx_cv_.notify_all();
}

std::size_t TtyLine::tx_queued() const {
    std::lock_guard lock(mutex_);
    if (!fd_) {
        return 0;
    }
    std::size_t n = tx_queue_.size();
    int in_tty = 0;
    if (!hung_up_ && ::ioctl(fd_.get(), TIOCOUTQ, &in_tty) == 0 && in_tty > 0) {
        n += static_cast<std::size_t>(in_tty);
    }
    return n;
}

void TtyLine::purge_tx() {
    std::lock_guard lock(mutex_);
    if (!fd_) {
        return;
    }
    tx_queue_.clear();
    ++purges_;
    ++tx_generation_;
    tx_empty_due_ = false; // purged bytes never "leave"
    ::tcflush(fd_.get(), TCOFLUSH);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_.get(), &one, sizeof one);
    tx_cv_.notify_all();
}

void TtyLine::set_modem_bit(int bit, bool on, const char* word) {
    std::string error;
    {
        std::lock_guard lock(mutex_);
        if (bit == TIOCM_DTR) {
            dtr_ = on;
        } else {
            rts_ = on;
        }
        if (!fd_) {
            return;
        }
        if (has_modem_lines_ && ::ioctl(fd_.get(), on ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
            error = errno_text(errno);
        }
        send_side_channel(std::string(word) + (on ? " 1" : " 0"));
    }
    if (!error.empty()) {
        log("tty " + options_.path + ": cannot " + (on ? "raise " : "drop ") + word + ": " + error);
    }
}

void TtyLine::set_dtr(bool on) {
    set_modem_bit(TIOCM_DTR, on, "DTR");
}

void TtyLine::set_rts(bool on) {
    set_modem_bit(TIOCM_RTS, on, "RTS");
}

void TtyLine::set_break(bool on) {
    std::string error;
    {
        std::lock_guard lock(mutex_);
        if (!fd_) {
            return;
        }
        if (::ioctl(fd_.get(), on ? TIOCSBRK : TIOCCBRK) != 0) {
            error = errno_text(errno);
        }
        send_side_channel(on ? "BRK 1" : "BRK 0");
    }
    if (!error.empty()) {
        log("tty " + options_.path + ": cannot " + (on ? "start" : "end") + " a break: " + error);
    }
}

ModemLines TtyLine::modem_lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void TtyLine::send_side_channel(std::string_view line) {
    if (!sock_fd_) {
        return;
    }
    std::string text(line);
    text += '\n';
    // One small line; if the far end does not read, it is dropped rather than waited for.
    [[maybe_unused]] ssize_t n =
        ::send(sock_fd_.get(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void TtyLine::send_state_to_side_channel() {
    send_side_channel("LINE " + describe(format_));
    send_side_channel(dtr_ ? "DTR 1" : "DTR 0");
    send_side_channel(rts_ ? "RTS 1" : "RTS 0");
}

void TtyLine::set_lines(const ModemLines& lines) {
    {
        std::lock_guard lock(mutex_);
        if (hung_up_ || stopping_ || lines_ == lines) {
            return;
        }
        lines_ = lines;
    }
    deliver([&](LinePortSink& sink) { sink.on_modem_change(lines); });
}

void TtyLine::hang_up(std::string_view why) {
    bool dsr_dropped = false;
    ModemLines lines;
    {
        std::lock_guard lock(mutex_);
        if (hung_up_ || stopping_) {
            return;
        }
        hung_up_ = true;
        tx_queue_.clear();
        ++purges_;
        tx_empty_due_ = false;
        dsr_dropped = lines_.dsr;
        lines_.dsr = false;
        lines = lines_;
    }
    log("tty " + options_.path + ": the far end hung up (" + std::string(why) + ")");
    if (dsr_dropped) {
        deliver([&](LinePortSink& sink) { sink.on_modem_change(lines); });
    }
    deliver([](LinePortSink& sink) { sink.on_hangup(); });
}

void TtyLine::reader_loop(int tty_fd, int stop_fd, int sock_fd) {
    bool tty_live = true;
    bool sock_live = sock_fd >= 0;
    for (;;) {
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {stop_fd, POLLIN, 0};
        int tty_index = -1;
        int sock_index = -1;
        if (tty_live) {
            tty_index = static_cast<int>(n);
            fds[n++] = {tty_fd, POLLIN, 0};
        }
        if (sock_live) {
            sock_index = static_cast<int>(n);
            fds[n++] = {sock_fd, POLLIN, 0};
        }
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            log("tty " + options_.path + ": poll failed: " + errno_text(errno));
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (tty_index >= 0 && fds[tty_index].revents != 0) {
            const short ev = fds[tty_index].revents;
            if (!read_tty(tty_fd) || (ev & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                tty_live = false;
                hang_up((ev & POLLHUP) != 0 ? "the tty hung up" : "the tty failed");
            }
        }
        if (sock_index >= 0 && fds[sock_index].revents != 0) {
            if (!read_socket(sock_fd)) {
                sock_live = false;
            }
        }
    }
}

// Reads until the tty has nothing more; false once it has hung up.
bool TtyLine::read_tty(int tty_fd) {
    std::uint8_t buffer[kChunk];
    for (;;) {
        const ssize_t r = ::read(tty_fd, buffer, sizeof buffer);
        if (r > 0) {
            std::span<const std::uint8_t> bytes(buffer, static_cast<std::size_t>(r));
            deliver([&](LinePortSink& sink) { sink.on_receive(bytes); });
            continue;
        }
        if (r == 0) {
            return false; // end of file: the other side of the tty is gone
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

bool TtyLine::read_socket(int sock_fd) {
    char buffer[256];
    for (;;) {
        const ssize_t r = ::recv(sock_fd, buffer, sizeof buffer, 0);
        if (r > 0) {
            for (ssize_t i = 0; i < r; ++i) {
                const char c = buffer[i];
                if (c == '\n') {
                    if (!sock_discarding_) {
                        take_side_channel_line(sock_buffer_);
                    }
                    sock_buffer_.clear();
                    sock_discarding_ = false;
                } else if (!sock_discarding_) {
                    if (sock_buffer_.size() >= kMaxSideChannelLine) {
                        sock_buffer_.clear();
                        sock_discarding_ = true;
                    } else {
                        sock_buffer_.push_back(c);
                    }
                }
            }
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        hang_up(r == 0 ? "the modem-line socket closed" : "the modem-line socket failed");
        return false;
    }
}

void TtyLine::take_side_channel_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space + 2 != line.size()) {
        return;
    }
    const std::string_view word = line.substr(0, space);
    const char value = line[space + 1];
    if (value != '0' && value != '1') {
        return;
    }
    const bool on = value == '1';
    ModemLines lines = modem_lines();
    if (word == "CTS") {
        lines.cts = on;
    } else if (word == "DSR") {
        lines.dsr = on;
    } else if (word == "RI") {
        lines.ri = on;
    } else if (word == "DCD") {
        lines.dcd = on;
    } else {
        return;
    }
    set_lines(lines);
}

void TtyLine::writer_loop(int tty_fd, int stop_fd, int wake_fd) {
    std::vector<std::uint8_t> chunk;
    chunk.reserve(kChunk);
    std::unique_lock lock(mutex_);
    for (;;) {
        tx_cv_.wait(lock, [this] { return stopping_ || !tx_queue_.empty() || tx_empty_due_; });
        if (stopping_) {
            return;
        }
        if (!tx_queue_.empty()) {
            const std::size_t n = std::min(kChunk, tx_queue_.size());
            chunk.assign(tx_queue_.begin(), tx_queue_.begin() + static_cast<std::ptrdiff_t>(n));
            const std::uint64_t purges = purges_;
            lock.unlock();
            const ssize_t w = ::write(tty_fd, chunk.data(), chunk.size());
            const int e = errno;
            if (w < 0 && (e == EAGAIN || e == EWOULDBLOCK)) {
                wait_writable(tty_fd, stop_fd, wake_fd);
            } else if (w < 0 && e != EINTR) {
                hang_up("write: " + errno_text(e));
            }
            lock.lock();
            if (w > 0 && purges == purges_) { // else what was written is gone from the queue
                const auto n = std::min(static_cast<std::size_t>(w), tx_queue_.size());
                tx_queue_.erase(tx_queue_.begin(),
                                tx_queue_.begin() + static_cast<std::ptrdiff_t>(n));
            }
            continue;
        }
        // Everything is with the tty: wait until it has left the wire.
        const std::uint64_t generation = tx_generation_;
        lock.unlock();
        ::tcdrain(tty_fd);
        lock.lock();
        if (stopping_) {
            return;
        }
        if (generation == tx_generation_ && tx_queue_.empty() && tx_empty_due_) {
            tx_empty_due_ = false;
            lock.unlock();
            deliver([](LinePortSink& sink) { sink.on_tx_empty(); });
            lock.lock();
        }
    }
}

void TtyLine::modem_loop(int tty_fd) {
    constexpr int kWatched = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        int bits = 0;
        if (::ioctl(tty_fd, TIOCMGET, &bits) != 0) {
            const int e = errno;
            if (e == EIO) {
                hang_up("the modem lines are gone");
            } else {
                log("tty " + options_.path + ": cannot read the modem lines: " + errno_text(e));
            }
            return;
        }
        set_lines(lines_from_bits(bits));
        if (::ioctl(tty_fd, TIOCMIWAIT, kWatched) != 0) {
            const int e = errno;
            if (e == EINTR) {
                continue;
            }
            if (e == EIO) {
                hang_up("the modem lines are gone");
            } else {
                log("tty " + options_.path + ": cannot watch the modem lines: " + errno_text(e));
            }
            return;
        }
    }
}

} // namespace qkr::serial
