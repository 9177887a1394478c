// The simulator on a pseudo-terminal, as the standalone program runs it: frames through the
// slave side, modem lines and the host's line format through the side channel. Real clock.
#include "bench.h"

#include "sim/standalone/pty_device.h"
#include "tests/ttyint/processes.h"

#include <termios.h>

namespace qkr::sim::test {
namespace {

using ttyint::Clock;
using namespace std::chrono_literals;

// What arrives on `fd` within `ms` milliseconds, or up to the first complete frame.
Bytes read_port(int fd, int ms, bool until_frame = true) {
    Bytes out;
    for (const auto end = Clock::now() + std::chrono::milliseconds(ms);
         Clock::now() < end && !(until_frame && deframe(out));) {
        pollfd p = {fd, POLLIN, 0};
        std::uint8_t buf[512];
        const ssize_t n = ::poll(&p, 1, 20) > 0 ? ::read(fd, buf, sizeof buf) : 0;
        out.insert(out.end(), buf, buf + std::max<ssize_t>(n, 0));
    }
    return out;
}

TEST(PtyDevice, LineFormatFromTheSideChannelGarblesAndAnOverlongLineIsDroppedWhole) {
    kern::Kernel k(kern::ClockMode::Real);
    ReaderSim reader({.slot0_card = "t1"});
    PtyDevice dev(reader, ttyint::temp_path("modem"));
    ASSERT_TRUE(dev.open()) << dev.error();
    const int port = ::open(dev.slave_path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(port, &t), ::cfmakeraw(&t), ::tcsetattr(port, TCSANOW, &t);
    const int modem = ttyint::connect_unix(dev.modem_socket());
    std::string buffer, line;
    auto modem_lines = [&](int n, std::string got = "") {
        while (n-- > 0 && ttyint::read_line_into(modem, buffer, line, Clock::now() + 5s))
            got += line + ";";
        return got;
    };
    auto status = [&](int ms = 5000) {
        const Bytes f = frame(cmd(0x65));
        EXPECT_EQ(::write(port, f.data(), f.size()), ssize_t(f.size()));
        return deframe(read_port(port, ms, ms == 5000)).value_or(Decoded{});
    };
    EXPECT_EQ(modem_lines(2), "CTS 1;DSR 1;");
    EXPECT_EQ(status().payload, (Bytes{0x61, 0x00, 0x00, 0x01, 0x09}));
    reader.post([&reader] { reader.remove(); });
    EXPECT_EQ(modem_lines(1), "CTS 0;");
    // The host says its port runs at another speed: what it sends arrives garbled. Back at the
    // reader's speed it answers again, once it has dropped the half frame it may have started.
    auto say = [&](const std::string& text, std::uint32_t baud) {
        ::send(modem, text.data(), text.size(), MSG_NOSIGNAL);
        for (int i = 0; i < 250 && dev.host_format().baud != baud; ++i)
            ::poll(nullptr, 0, 20);
        return dev.host_format().baud == baud;
    };
    ASSERT_TRUE(say("LINE 9600 8N1\n", 9600));
    const Decoded j = status(300);
    EXPECT_TRUE(!j.ok || j.payload.empty() || j.payload[0] != 0x61);
    ASSERT_TRUE(say("LINE 19200 8N1\n", 19200));
    read_port(port, 700, false);
    EXPECT_EQ(status().payload, (Bytes{0x61, 0x00, 0x00, 0x01, 0x01}));
    // A side-channel line too long is dropped whole: its tail is not taken for a line.
    ASSERT_TRUE(say(std::string(512, 'x') + "DTR 1\nLINE 4800 8N1\n", 4800));
    EXPECT_FALSE(dev.dtr());
    ::close(modem), ::close(port);
}

} // namespace
} // namespace qkr::sim::test
