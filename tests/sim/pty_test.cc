// The simulator on a pseudo-terminal, as the standalone program runs it: frames through the
// slave side, modem lines and the host's line format through the side channel. Real clock.
#include "bench.h"

#include "sim/standalone/pty_device.h"

#include <cstring>
#include <fcntl.h>
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

// Reads what arrives within `ms` milliseconds of quiet.
Bytes drain(int fd, int ms) {
    Bytes out;
    while (true) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return out;
        std::uint8_t buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.insert(out.end(), buf, buf + n);
    }
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
    const Bytes lines = drain(modem.get(), 300);
    EXPECT_EQ(std::string(lines.begin(), lines.end()), "CTS 1\nDSR 1\n");

    put(port.get(), frame(cmd(0x65)));
    auto d = deframe(drain(port.get(), 300));
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->ok);
    EXPECT_EQ(d->payload, (Bytes{0x61, 0x00, 0x00, 0x01, 0x09}));

    // The card leaves: CTS drops on the side channel.
    reader.post([&reader] { reader.remove(); });
    const Bytes cts = drain(modem.get(), 300);
    EXPECT_EQ(std::string(cts.begin(), cts.end()), "CTS 0\n");

    // The host says its port runs at another speed: what it sends arrives garbled.
    const std::string line = "LINE 9600 8N1\n";
    ASSERT_EQ(::send(modem.get(), line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
    drain(modem.get(), 100);
    put(port.get(), frame(cmd(0x65)));
    const Bytes junk = drain(port.get(), 300);
    auto j = deframe(junk);
    EXPECT_TRUE(!j || !j->ok || j->payload.empty() || j->payload[0] != 0x61);
    // Back at the reader's speed it answers again.
    const std::string back = "LINE 19200 8N1\n";
    ::send(modem.get(), back.data(), back.size(), 0);
    drain(modem.get(), 100);
    drain(port.get(), 700); // the reader drops the half frame it may have started
    put(port.get(), frame(cmd(0x65)));
    d = deframe(drain(port.get(), 300));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->payload, (Bytes{0x61, 0x00, 0x00, 0x01, 0x01}));
}

} // namespace
} // namespace qkr::sim::test
