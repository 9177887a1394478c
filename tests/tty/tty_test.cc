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

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace qkr::serial {
namespace {

using testing::bytes_of;
using testing::PortIo;
using testing::ulong_of;

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
constexpr auto kDeadline = 3s;

// The far end: the master side of a pseudo-terminal and a listener for the side channel.
struct FarEnd {
    int master = -1, slave = -1, listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int conn = -1;
    char path[128] = {};
    sockaddr_un addr{.sun_family = AF_UNIX};

    FarEnd() {
        EXPECT_EQ(::openpty(&master, &slave, path, nullptr, nullptr), 0);
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/qkr-tty-%d-%p",
                      std::filesystem::temp_directory_path().c_str(), ::getpid(),
                      static_cast<void*>(this));
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener, 1), 0);
    }
    ~FarEnd() {
        for (int fd : {master, slave, listener, conn})
            ::close(fd);
        ::unlink(addr.sun_path);
    }
    void close_master() { ::close(std::exchange(master, -1)); }
    void write(const Bytes& bytes) {
        EXPECT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads exactly n bytes, or fails at the deadline.
    Bytes read(std::size_t n) {
        Bytes out(n);
        std::size_t got = 0;
        for (pollfd p{master, POLLIN, 0}; got < n && ::poll(&p, 1, 3000) == 1;)
            got +=
                static_cast<std::size_t>(std::max<ssize_t>(0, ::read(master, &out[got], n - got)));
        EXPECT_EQ(got, n) << "the far end got too few bytes";
        return out;
    }
    termios settings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(master, &t), 0); // a pty master shows the slave's settings
        return t;
    }
    speed_t speed() const { return cfgetospeed(std::array{settings()}.data()); }
    void accept() {
        pollfd p{listener, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 3000), 1) << "the line never connected";
        conn = ::accept(listener, nullptr, nullptr);
        const timeval limit{.tv_sec = 3, .tv_usec = 0};
        ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    void send(std::string_view text) {
        EXPECT_EQ(::send(conn, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // The next line the line sent on the side channel, without its "\n"; cut short at the deadline.
    std::string next_line() {
        std::string line;
        for (char c; ::recv(conn, &c, 1, 0) == 1 && c != '\n';)
            line += c;
        return line;
    }
    void hang_up() { ::close(std::exchange(conn, -1)); }
};

struct Seen {
    Bytes received;
    int tx_empty = 0, hangups = 0, inline_calls = 0;
    std::vector<ModemLines> changes;
};

// Records every callback; counts any made on the thread that called into the line.
class Sink : public LinePortSink {
  public:
    void on_receive(std::span<const std::uint8_t> b) override {
        note([&](Seen& s) { s.received.insert(s.received.end(), b.begin(), b.end()); });
    }
    void on_tx_empty() override {
        note([](Seen& s) { ++s.tx_empty; });
    }
    void on_modem_change(ModemLines lines) override {
        note([&](Seen& s) { s.changes.push_back(lines); });
    }
    void on_hangup() override {
        note([](Seen& s) { ++s.hangups; });
    }
    // What the line reported, once pred holds (a failure if it never does).
    Seen wait(const std::function<bool(const Seen&)>& pred = [](const Seen&) { return true; }) {
        std::unique_lock lock(mu_);
        EXPECT_TRUE(cv_.wait_for(lock, kDeadline, [&] { return pred(seen_); })) << "never came";
        return seen_;
    }

  private:
    void note(const std::function<void(Seen&)>& fn) {
        std::lock_guard lock(mu_);
        seen_.inline_calls += std::this_thread::get_id() == caller_;
        fn(seen_);
        cv_.notify_all();
    }
    std::thread::id caller_ = std::this_thread::get_id();
    std::mutex mu_;
    std::condition_variable cv_;
    Seen seen_;
};

int thread_count() {
    auto it = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<int>(std::distance(begin(it), end(it)));
}

class TtyLineTest : public ::testing::Test {
  protected:
    std::unique_ptr<TtyLine> open_line(bool side_channel = false) {
        auto line = std::make_unique<TtyLine>(options(side_channel));
        line->attach(&sink_);
        EXPECT_TRUE(line->open()) << line->last_error();
        if (side_channel)
            far_.accept();
        return line;
    }
    TtyOptions options(bool side_channel = false, bool assume_dsr = false) {
        return {.path = far_.path,
                .assume_dsr = assume_dsr,
                .modem_socket = side_channel ? far_.addr.sun_path : ""};
    }
    void TearDown() override {
        EXPECT_EQ(sink_.wait().inline_calls, 0) << "a callback came inline";
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
    EXPECT_EQ(sink_.wait([](const Seen& s) { return s.received.size() >= 256; }).received, all);
    line->transmit(all);
    EXPECT_EQ(far_.read(256), all);
    sink_.wait([](const Seen& s) { return s.tx_empty == 1; });
    // The driver's speeds reach the tty (the port over the line shows one refused).
    const std::pair<std::uint32_t, speed_t> speeds[] = {
        {9600, B9600}, {38400, B38400}, {115200, B115200}};
    for (auto [baud, code] : speeds) {
        EXPECT_TRUE(line->supports_baud(baud)) << baud;
        line->set_format({baud, 8, Parity::None, 1});
        EXPECT_EQ(far_.speed(), code) << baud;
    }
    // What a pseudo-terminal shows of the framing: the stop bits and the parity kind.
    line->set_format({9600, 7, Parity::Odd, 2});
    EXPECT_EQ(far_.settings().c_cflag & (PARODD | CMSPAR | CSTOPB),
              static_cast<tcflag_t>(PARODD | CSTOPB));
}

TEST_F(TtyLineTest, SideChannelCarriesModemLinesBothWaysAndItsEndIsAHangUp) {
    auto line = open_line(true);
    // The line announces its state on connecting.
    EXPECT_EQ(far_.next_line(), "LINE 19200 8N1");
    EXPECT_EQ(far_.next_line(), "DTR 1");
    EXPECT_EQ(far_.next_line(), "RTS 1");
    far_.send("CTS 1\nDSR 1\n");
    sink_.wait([](const Seen& s) { return s.changes.size() == 2; });
    EXPECT_EQ(line->modem_lines(), (ModemLines{true, true, false, false}));
    // A line split across writes; noise that must change nothing; then a real change.
    far_.send("CT");
    far_.send("S 0\nFOO 1\nCTS 2\nDSR\n\nDSR 0\n");
    const Seen seen = sink_.wait([](const Seen& s) { return s.changes.size() == 4; });
    EXPECT_EQ(seen.changes[2], (ModemLines{false, true, false, false}));
    EXPECT_EQ(seen.changes[3], (ModemLines{false, false, false, false}));
    line->set_dtr(false);
    EXPECT_EQ(far_.next_line(), "DTR 0");
    line->set_format({9600, 7, Parity::Even, 2});
    EXPECT_EQ(far_.next_line(), "LINE 9600 7E2");
    line->set_rts(false);
    EXPECT_EQ(far_.next_line(), "RTS 0");
    far_.send("DSR 1\n");
    sink_.wait([](const Seen& s) { return s.changes.size() == 5; });
    far_.hang_up();
    sink_.wait([](const Seen& s) { return s.hangups == 1; });
    EXPECT_FALSE(line->modem_lines().dsr);
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
    kern::FileHandle handle;
    ASSERT_EQ(kernel.open(port->device(), &handle), STATUS_SUCCESS) << line.last_error();
    far_.accept();
    auto set = [&](ULONG code, auto value) { return handle.ioctl(code, bytes_of(value), {}); };
    const Bytes frame = {0x10, 0x02, 0x47, 0x00, 0x00, 0x10, 0x10, 0x57, 0x10, 0x03};
    EXPECT_EQ(PortIo::send(port->device(), IRP_MJ_WRITE, frame)->wait(kern::seconds(2)),
              STATUS_SUCCESS);
    EXPECT_EQ(far_.read(frame.size()), frame);
    auto read = PortIo::send(port->device(), IRP_MJ_READ, Bytes(frame.size()));
    far_.write(frame);
    EXPECT_EQ(read->wait(kern::seconds(2)), STATUS_SUCCESS);
    EXPECT_EQ(read->data(), frame);
    EXPECT_EQ(set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{9600}), STATUS_SUCCESS);
    EXPECT_NE(set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{14400}), STATUS_SUCCESS);
    EXPECT_EQ(far_.speed(), B9600);
    EXPECT_EQ(set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_CTS | SERIAL_EV_DSR}),
              STATUS_SUCCESS);
    kern::PendingIo tracking = handle.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    far_.send("CTS 1\n");
    ASSERT_TRUE(tracking.wait_for(2 * kern::kTicksPerSecond));
    EXPECT_EQ(ulong_of(tracking.output()), ULONG{SERIAL_EV_CTS});
    EXPECT_EQ(set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{}), STATUS_SUCCESS);
    kern::PendingIo gone = handle.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    read = PortIo::send(port->device(), IRP_MJ_READ, Bytes(16));
    far_.close_master();
    ASSERT_TRUE(gone.wait_for(2 * kern::kTicksPerSecond));
    EXPECT_EQ(ulong_of(gone.output()), ULONG{SERIAL_EV_DSR}) << "the reader went away";
    EXPECT_EQ(read->wait(kern::seconds(2)), STATUS_DEVICE_NOT_CONNECTED);
    handle.close();
    port.reset();
    kernel.delete_pdo(pdo);
}

} // namespace
} // namespace qkr::serial
