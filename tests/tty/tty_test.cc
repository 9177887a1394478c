// TtyLine on the slave side of a pseudo-terminal, alone and under the serial port stand-in, with
// the test playing the far end on the master side and on the modem-line side channel. Real clock:
// each waits for events, never for time, with a generous deadline only so that a fault fails
// instead of hanging.
#include "platform/kernel/kernel.h"
#include "platform/serial/ntddser.h"
#include "platform/serial/serial_port.h"
#include "platform/serial/tty/tty_line.h"
#include "tests/serial/port_io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace qkr::serial {
namespace {

using testing::PortIo;
using testing::ulong_of;

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = 3s;

Bytes bytes_of(std::string_view s) {
    return {s.begin(), s.end()};
}

// The far end: the master side of a pseudo-terminal and a listener for the side channel.
class FarEnd {
  public:
    FarEnd() {
        char name[128] = {};
        EXPECT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        path_ = name;
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        static std::atomic<int> counter{0};
        socket_path_ = (std::filesystem::temp_directory_path() /
                        ("qkr-tty-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                           .string();
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket_path_.c_str(), sizeof(addr.sun_path) - 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
    }
    ~FarEnd() {
        close_master();
        hang_up();
        for (int fd : {slave_, listener_})
            ::close(fd);
        ::unlink(socket_path_.c_str());
    }
    const std::string& path() const { return path_; }
    const std::string& socket_path() const { return socket_path_; }
    void close_master() {
        if (master_ >= 0)
            ::close(std::exchange(master_, -1));
    }
    void write(const Bytes& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (w > 0)
                done += static_cast<std::size_t>(w);
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    // Reads exactly n bytes, or fails at the deadline.
    Bytes read(std::size_t n) {
        Bytes out;
        for (const auto end = Clock::now() + kDeadline; out.size() < n && Clock::now() < end;) {
            pollfd p{master_, POLLIN, 0};
            ::poll(&p, 1, 100);
            std::uint8_t buffer[4096];
            const ssize_t r = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
            if (r > 0)
                out.insert(out.end(), buffer, buffer + r);
        }
        EXPECT_EQ(out.size(), n) << "the far end got too few bytes";
        return out;
    }
    termios settings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(master_, &t), 0); // a pty master shows the slave's settings
        return t;
    }
    speed_t speed() const {
        const termios t = settings();
        return cfgetospeed(&t);
    }
    void accept() {
        pollfd p{listener_, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 3000), 1) << "the line never connected";
        conn_ = ::accept(listener_, nullptr, nullptr);
    }
    void send(std::string_view text) {
        ASSERT_EQ(::send(conn_, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // The next line the line sent on the side channel, without its "\n".
    std::string next_line() {
        for (const auto end = Clock::now() + kDeadline; Clock::now() < end;) {
            if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return line;
            }
            pollfd p{conn_, POLLIN, 0};
            ::poll(&p, 1, 100);
            char buffer[256];
            const ssize_t r = ::recv(conn_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (r > 0)
                pending_.append(buffer, static_cast<std::size_t>(r));
        }
        return "<nothing>";
    }
    void hang_up() {
        if (conn_ >= 0)
            ::close(std::exchange(conn_, -1));
    }

  private:
    int master_ = -1, slave_ = -1, listener_ = -1, conn_ = -1;
    std::string path_, socket_path_, pending_;
};

// Records every callback; counts any made on the thread that called into the line.
class Sink : public LinePortSink {
  public:
    void on_receive(std::span<const std::uint8_t> bytes) override {
        note([&] { received.insert(received.end(), bytes.begin(), bytes.end()); });
    }
    void on_tx_empty() override {
        note([&] { ++tx_empty; });
    }
    void on_modem_change(ModemLines lines) override {
        note([&] { changes.push_back(lines); });
    }
    void on_hangup() override {
        note([&] { ++hangups; });
    }
    template <typename Pred>
    bool wait(Pred pred) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, kDeadline, [&] { return pred(*this); });
    }
    template <typename Fn>
    auto with(Fn fn) {
        std::lock_guard lock(mu_);
        return fn(*this);
    }

    // Read under with()/wait() only.
    Bytes received;
    int tx_empty = 0, hangups = 0, inline_calls = 0;
    std::vector<ModemLines> changes;

  private:
    template <typename Fn>
    void note(Fn fn) {
        std::lock_guard lock(mu_);
        inline_calls += std::this_thread::get_id() == caller_;
        fn();
        cv_.notify_all();
    }
    std::thread::id caller_ = std::this_thread::get_id();
    std::mutex mu_;
    std::condition_variable cv_;
};

int thread_count() {
    auto it = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<int>(std::distance(begin(it), end(it)));
}

class TtyLineTest : public ::testing::Test {
  protected:
    std::unique_ptr<TtyLine> open_line(bool side_channel = false, bool assume_dsr = false) {
        auto line = std::make_unique<TtyLine>(options(side_channel, assume_dsr));
        line->attach(&sink_);
        EXPECT_TRUE(line->open()) << line->last_error();
        if (side_channel)
            far_.accept();
        return line;
    }
    TtyOptions options(bool side_channel = false, bool assume_dsr = false) {
        TtyOptions o;
        o.path = far_.path();
        o.assume_dsr = assume_dsr;
        if (side_channel)
            o.modem_socket = far_.socket_path();
        return o;
    }
    void TearDown() override {
        sink_.with([](Sink& s) { EXPECT_EQ(s.inline_calls, 0) << "a callback came inline"; });
    }

    FarEnd far_;
    Sink sink_;
};

TEST_F(TtyLineTest, OpensRawAt19200EightNoneOneCarriesEveryByteValueAndTakesTheDriversSpeeds) {
    auto line = open_line();
    const termios t = far_.settings();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // Control characters (XON/XOFF, CR, LF, ^C, ^D, DEL) are data in raw mode.
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    far_.write(all);
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.received.size() >= 256; }));
    sink_.with([&](Sink& s) { EXPECT_EQ(s.received, all); });
    line->transmit(all);
    EXPECT_EQ(far_.read(256), all);
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.tx_empty == 1; }));
    // The driver's speeds reach the tty, others are refused.
    const std::pair<std::uint32_t, speed_t> speeds[] = {
        {9600, B9600}, {38400, B38400}, {115200, B115200}};
    for (auto [baud, code] : speeds) {
        EXPECT_TRUE(line->supports_baud(baud)) << baud;
        line->set_format({baud, 8, Parity::None, 1});
        EXPECT_EQ(far_.speed(), code) << baud;
    }
    for (std::uint32_t odd : {0u, 14400u, 230400u})
        EXPECT_FALSE(line->supports_baud(odd)) << odd;
    // What a pseudo-terminal shows of the framing: the stop bits and the parity kind.
    line->set_format({9600, 7, Parity::Odd, 2});
    EXPECT_EQ(far_.settings().c_cflag & (PARODD | CMSPAR | CSTOPB),
              static_cast<tcflag_t>(PARODD | CSTOPB));
    line->set_format({14400, 8, Parity::None, 1}); // refused: the line stays as it was
    EXPECT_EQ(line->format(), (LineFormat{9600, 7, Parity::Odd, 2}));
    EXPECT_EQ(far_.speed(), B9600);
}

TEST_F(TtyLineTest, SideChannelCarriesModemLinesBothWaysAndItsEndIsAHangUp) {
    auto line = open_line(true);
    // The line announces its state on connecting.
    EXPECT_EQ(far_.next_line(), "LINE 19200 8N1");
    EXPECT_EQ(far_.next_line(), "DTR 1");
    EXPECT_EQ(far_.next_line(), "RTS 1");
    far_.send("CTS 1\nDSR 1\n");
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.changes.size() == 2; }));
    EXPECT_EQ(line->modem_lines(), (ModemLines{true, true, false, false}));
    // A line split across writes; noise that must change nothing; then a real change.
    far_.send("CT");
    far_.send("S 0\nFOO 1\nCTS 2\nDSR\n\nDSR 0\n");
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.changes.size() == 4; }));
    sink_.with([](Sink& s) {
        EXPECT_EQ(s.changes[2], (ModemLines{false, true, false, false}));
        EXPECT_EQ(s.changes[3], (ModemLines{false, false, false, false}));
    });
    line->set_dtr(false);
    EXPECT_EQ(far_.next_line(), "DTR 0");
    line->set_format({9600, 7, Parity::Even, 2});
    EXPECT_EQ(far_.next_line(), "LINE 9600 7E2");
    line->set_format({14400, 8, Parity::None, 1}); // refused: nothing to announce
    line->set_rts(false);
    EXPECT_EQ(far_.next_line(), "RTS 0");
    far_.send("DSR 1\n");
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.changes.size() == 5; }));
    far_.hang_up();
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.hangups == 1; }));
    EXPECT_FALSE(line->modem_lines().dsr);
}

TEST_F(TtyLineTest, ClosingTheFarEndHangsUpAtOnceAfterTheLastBytes) {
    auto line = open_line(false, true);
    far_.write(bytes_of("last words"));
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.received.size() == 10; }));
    const auto closed_at = Clock::now();
    far_.close_master();
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.hangups >= 1; }));
    EXPECT_LT(Clock::now() - closed_at, 500ms);
    sink_.with([](Sink& s) { EXPECT_FALSE(s.changes.empty() || s.changes.back().dsr); });
    line->transmit(bytes_of("into the void")); // quiet and usable until closed
    line->close();
    sink_.with([](Sink& s) { EXPECT_EQ(s.hangups, 1); });
}

// Opening fails on a wrong path and on a busy port; a close in traffic joins every thread and lets
// go of the port; under the virtual clock the line refuses to open.
TEST_F(TtyLineTest, OpenFailsOnAWrongPathABusyPortAndTheVirtualClockCloseLetsGo) {
    TtyLine missing({.path = "/dev/qkr-no-such-tty"});
    EXPECT_FALSE(missing.open());
    EXPECT_NE(missing.last_error().find(std::strerror(ENOENT)), std::string::npos);
    const int before = thread_count();
    auto line = open_line();
    TtyLine second(options());
    second.attach(&sink_);
    EXPECT_FALSE(second.open());
    EXPECT_NE(second.last_error().find("busy"), std::string::npos);
    line->transmit(Bytes(100'000, 0x42));
    far_.write(Bytes(2000, 0x42));
    line->close();
    EXPECT_EQ(thread_count(), before);
    EXPECT_TRUE(second.open()) << "other users would find the port busy";
    second.close();
    kern::Kernel kernel(kern::ClockMode::Virtual);
    EXPECT_FALSE(second.open());
    EXPECT_NE(second.last_error().find("real clock"), std::string::npos);
}

// The serial port stand-in over the line, as the reader driver will use it with real hardware: an
// exchange, a speed change, a card inserted (CTS from the side channel) and the far end gone: a
// read with no time-out ends then instead of waiting for ever, and DSR falls.
TEST_F(TtyLineTest, ThePortOverTheLineCarriesExchangesSpeedCardEventsAndTheFarEndGone) {
    kern::Kernel kernel(kern::ClockMode::Real);
    TtyLine line(options(true, true));
    PDEVICE_OBJECT pdo = kernel.create_pdo("tty-port");
    auto port = SerialPort::create(kernel, pdo, line);
    kern::FileHandle handle_;
    ASSERT_EQ(kernel.open(port->device(), &handle_), STATUS_SUCCESS) << line.last_error();
    far_.accept();
    auto set = [&](ULONG code, ULONG value) {
        return handle_.ioctl(code, std::span(reinterpret_cast<std::uint8_t*>(&value), 4), {});
    };
    auto get = [&](ULONG code) {
        ULONG value = 0xFFFFFFFF;
        EXPECT_EQ(handle_.ioctl(code, {}, std::span(reinterpret_cast<std::uint8_t*>(&value), 4)),
                  STATUS_SUCCESS);
        return value;
    };
    auto send = [&](UCHAR major, Bytes data) {
        return PortIo::send(port->device(), major, std::move(data));
    };
    const Bytes frame = {0x10, 0x02, 0x47, 0x00, 0x00, 0x10, 0x10, 0x57, 0x10, 0x03};
    EXPECT_EQ(send(IRP_MJ_WRITE, frame)->wait(kern::seconds(2)), STATUS_SUCCESS);
    EXPECT_EQ(far_.read(frame.size()), frame);
    auto read = send(IRP_MJ_READ, Bytes(frame.size()));
    far_.write(frame);
    EXPECT_EQ(read->wait(kern::seconds(2)), STATUS_SUCCESS);
    EXPECT_EQ(read->data(), frame);
    EXPECT_EQ(set(IOCTL_SERIAL_SET_BAUD_RATE, 9600), STATUS_SUCCESS);
    EXPECT_NE(set(IOCTL_SERIAL_SET_BAUD_RATE, 14400), STATUS_SUCCESS);
    EXPECT_EQ(far_.speed(), B9600);
    EXPECT_EQ(get(IOCTL_SERIAL_GET_MODEMSTATUS), ULONG{SERIAL_DSR_STATE}); // assumed powered
    EXPECT_EQ(set(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    kern::PendingIo tracking = handle_.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    far_.send("CTS 1\n");
    ASSERT_TRUE(tracking.wait_for(2 * kern::kTicksPerSecond));
    EXPECT_EQ(ulong_of(tracking.output()), ULONG{SERIAL_EV_CTS});
    EXPECT_EQ(get(IOCTL_SERIAL_GET_MODEMSTATUS), ULONG{SERIAL_CTS_STATE | SERIAL_DSR_STATE});
    SERIAL_TIMEOUTS none{};
    EXPECT_EQ(handle_.ioctl(IOCTL_SERIAL_SET_TIMEOUTS,
                            std::span(reinterpret_cast<std::uint8_t*>(&none), sizeof none), {}),
              STATUS_SUCCESS);
    kern::PendingIo gone = handle_.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    read = send(IRP_MJ_READ, Bytes(16));
    far_.close_master();
    ASSERT_TRUE(gone.wait_for(2 * kern::kTicksPerSecond));
    EXPECT_EQ(ulong_of(gone.output()), ULONG{SERIAL_EV_DSR}) << "the reader went away";
    EXPECT_EQ(read->wait(kern::seconds(2)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(get(IOCTL_SERIAL_GET_MODEMSTATUS) & SERIAL_DSR_STATE, 0u);
    handle_.close();
    port.reset();
    kernel.delete_pdo(pdo);
}

} // namespace
} // namespace qkr::serial
