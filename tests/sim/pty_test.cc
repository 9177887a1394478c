// The simulator on a pseudo-terminal, as the standalone program runs it: frames through the
// slave side, modem lines and the host's line format through the side channel. Real clock.
#include "bench.h"

#include "sim/standalone/pty_device.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace qkr::sim::test {
namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Reads until `done` says the bytes are complete or `ms` milliseconds have passed.
Bytes read_until(int fd, const std::function<bool(const Bytes&)>& done, int ms = 5000) {
    Bytes out;
    for (int waited = 0; waited < ms && !done(out); waited += 20) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        std::uint8_t buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

Bytes drain(int fd, int ms) {
    return read_until(
        fd, [](const Bytes&) { return false; }, ms);
}

std::optional<Decoded> read_frame(int fd) {
    return deframe(read_until(fd, [](const Bytes& b) { return deframe(b).has_value(); }));
}

std::string read_text(int fd, std::size_t lines) {
    const Bytes b = read_until(fd, [lines](const Bytes& got) {
        return static_cast<std::size_t>(std::count(got.begin(), got.end(), '\n')) >= lines;
    });
    return std::string(b.begin(), b.end());
}

bool wait_for(const std::function<bool()>& cond) {
    for (int i = 0; i < 250 && !cond(); ++i)
        ::poll(nullptr, 0, 20);
    return cond();
}

void put(int fd, const Bytes& b) {
    ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

TEST(PtyDevice, FramesModemLinesAndLineFormat) {
    kern::Kernel k(kern::ClockMode::Real);
    ReaderConfig c;
    c.slot0_card = "t1";
    ReaderSim reader(c);
    const std::string sock = "/tmp/qkr-sim-test-" + std::to_string(::getpid()) + ".modem";
    PtyDevice dev(reader, sock);
    ASSERT_TRUE(dev.open()) << dev.error();

    Fd port(::open(dev.slave_path().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_GE(port.get(), 0);
    termios t{};
    ::tcgetattr(port.get(), &t);
    ::cfmakeraw(&t);
    ::tcsetattr(port.get(), TCSANOW, &t);

    Fd modem(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, sock.c_str());
    ASSERT_EQ(::connect(modem.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(read_text(modem.get(), 2), "CTS 1\nDSR 1\n");

    put(port.get(), frame(cmd(0x65)));
    auto d = read_frame(port.get());
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->ok);
    EXPECT_EQ(d->payload, (Bytes{0x61, 0x00, 0x00, 0x01, 0x09}));

    // The card leaves: CTS drops on the side channel.
    reader.post([&reader] { reader.remove(); });
    EXPECT_EQ(read_text(modem.get(), 1), "CTS 0\n");

    // The host says its port runs at another speed: what it sends arrives garbled.
    const std::string line = "LINE 9600 8N1\n";
    ASSERT_EQ(::send(modem.get(), line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
    ASSERT_TRUE(wait_for([&] { return dev.host_format().baud == 9600; }));
    put(port.get(), frame(cmd(0x65)));
    const Bytes junk = drain(port.get(), 300);
    auto j = deframe(junk);
    EXPECT_TRUE(!j || !j->ok || j->payload.empty() || j->payload[0] != 0x61);
    // Back at the reader's speed it answers again.
    const std::string back = "LINE 19200 8N1\n";
    ::send(modem.get(), back.data(), back.size(), 0);
    ASSERT_TRUE(wait_for([&] { return dev.host_format().baud == 19200; }));
    drain(port.get(), 700); // the reader drops the half frame it may have started
    put(port.get(), frame(cmd(0x65)));
    d = read_frame(port.get());
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->payload, (Bytes{0x61, 0x00, 0x00, 0x01, 0x01}));

    // A side-channel line too long is dropped whole: its tail is not taken for a line.
    const std::string overlong = std::string(512, 'x') + "DTR 1\nLINE 4800 8N1\n";
    ::send(modem.get(), overlong.data(), overlong.size(), 0);
    ASSERT_TRUE(wait_for([&] { return dev.host_format().baud == 4800; }));
    EXPECT_FALSE(dev.dtr());
}

} // namespace
} // namespace qkr::sim::test
