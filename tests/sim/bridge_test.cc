// The external card bridge with a small TCP client playing a virtual card, and the simulator on a
// pseudo-terminal as the standalone program runs it: frames through the slave side, modem lines
// and the host's line format through the side channel. Sockets and the terminal live on threads
// of their own in real time, so these tests run on the real clock.
#include "bench.h"

#include "sim/bridge.h"
#include "sim/standalone/pty_device.h"
#include "tests/ttyint/processes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>
#include <termios.h>

#include <atomic>
#include <thread>

namespace qkr::sim::test {
namespace {

using ttyint::Clock;
using namespace std::chrono_literals;

// A virtual card: answers the ATR request, records controls and APDUs, and answers every APDU
// by its instruction (4 bytes for READ BINARY, an FCP for SELECT, else 03 02 01) and 90 00.
struct VirtualCard {
    explicit VirtualCard(std::uint16_t port) {
        const sockaddr_in a{.sin_family = AF_INET,
                            .sin_port = htons(port),
                            .sin_addr = {htonl(INADDR_LOOPBACK)},
                            .sin_zero = {}};
        connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        thread = std::thread([this] { run(); });
    }
    ~VirtualCard() { hang_up(), ::close(fd); }
    void hang_up() {
        ::shutdown(fd, SHUT_RDWR);
        if (thread.joinable())
            thread.join();
    }
    static inline const Bytes kAtr = build_atr(
        {.t1 = true, .ifsc = 32, .bwi = 4, .cwi = 5, .historical = {'V', 'C', 'A', 'R', 'D'}});
    void run() {
        for (std::uint8_t h[2]; ::recv(fd, h, 2, MSG_WAITALL) == 2;) {
            Bytes msg(static_cast<std::size_t>(h[0]) << 8 | h[1]);
            if (::recv(fd, msg.data(), msg.size(), MSG_WAITALL) != ssize_t(msg.size()))
                return;
            std::lock_guard lock(m);
            msg.size() == 1 ? controls.push_back(msg[0]) : apdus.push_back(msg);
            if (msg.size() == 1 && msg[0] != 0x04)
                continue;
            Bytes r = msg.size() == 1  ? kAtr
                      : msg[1] == 0xB0 ? Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00}
                      : msg[1] == 0xA4 ? Bytes{0x62, 0x03, 0x83, 0x01, 0x07, 0x90, 0x00}
                                       : Bytes{0x03, 0x02, 0x01, 0x90, 0x00};
            r.insert(r.begin(), {std::uint8_t(r.size() >> 8), std::uint8_t(r.size())});
            ::send(fd, r.data(), r.size(), MSG_NOSIGNAL);
        }
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool connected = false;
    std::thread thread;
    std::mutex m;
    std::vector<Bytes> apdus;
    Bytes controls;
};

// Waits up to 3 s for slot 0 to hold a card and CTS to say so, or for both to be gone.
bool wait_card(Bench& b, bool present) {
    for (int i = 0; i < 300; ++i, b.k.sleep_for(milliseconds(10)))
        if (std::lock_guard lock(b.m); b.reader.card_present() == present && b.lines.cts == present)
            return true;
    return false;
}

TEST(CardBridge, VirtualCardOverTcpUnderT1AndT0AndATakenPortReported) {
    Bench b({}, 19200, kern::ClockMode::Real);
    CardBridge bridge(b.reader, {.port = 0});
    ASSERT_TRUE(bridge.start()) << bridge.error();
    EXPECT_FALSE(b.reader.card_present());
    CardBridge taken(b.reader, {.port = bridge.port()});
    EXPECT_FALSE(taken.start() || taken.error().empty()) << "a taken port is reported";

    VirtualCard vc(bridge.port());
    ASSERT_TRUE(vc.connected && wait_card(b, true));
    // Reset: type byte and the virtual card's ATR; the card was told to power on.
    EXPECT_EQ(b.power_on(), Bytes{1} + VirtualCard::kAtr);

    // T=1: an APDU in one I-block comes out of the virtual card unchanged, the answer in an
    // I-block.
    EXPECT_EQ(b.transact(set_params(0x10, 0, 0, 0x45))[0], 0x62);
    const Bytes apdu = {0x00, 0x2A, 0x9E, 0x9A, 0x03, 0x01, 0x02, 0x03, 0x00};
    EXPECT_EQ(b.card(t1_block(0x00, apdu)), t1_block(0x00, Bytes{0x03, 0x02, 0x01, 0x90, 0x00}));

    // T=0 through a warm reset: case 2 straight, case 4 through 61xx and GET RESPONSE.
    b.transact(cmd(0x64));
    EXPECT_EQ(b.transact(set_params(0x00, 3, 20, 0))[0], 0x62);
    EXPECT_EQ(b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x04}),
              (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00}));
    EXPECT_EQ(b.card(Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}), (Bytes{0x61, 0x05}));
    EXPECT_EQ(b.card(Bytes{0x00, 0xC0, 0x00, 0x00, 0x05}),
              (Bytes{0x62, 0x03, 0x83, 0x01, 0x07, 0x90, 0x00}));
    {
        std::lock_guard lock(vc.m);
        EXPECT_EQ(vc.apdus, (std::vector<Bytes>{apdu,
                                                {0x00, 0xB0, 0x00, 0x00, 0x04},
                                                {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}}));
        EXPECT_EQ(vc.controls, Bytes({0x04, 0x01, 0x02}));
    }

    // Hanging up removes the card.
    vc.hang_up();
    ASSERT_TRUE(wait_card(b, false));
    EXPECT_EQ(b.transact(cmd(0x62)), kNoCard);
    // Another card may connect afterwards.
    VirtualCard again(bridge.port());
    EXPECT_TRUE(again.connected && wait_card(b, true));
}

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
    auto status = [&](int ms = 5000) {
        const Bytes f = frame(cmd(0x65));
        EXPECT_EQ(::write(port, f.data(), f.size()), ssize_t(f.size()));
        return deframe(read_port(port, ms, ms == 5000)).value_or(Decoded{});
    };
    EXPECT_EQ(status().payload, (Bytes{0x61, 0x00, 0x00, 0x01, 0x09}));
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
    EXPECT_EQ(status().payload, (Bytes{0x61, 0x00, 0x00, 0x01, 0x09}));
    // A side-channel line too long is dropped whole: its tail is not taken for a line.
    ASSERT_TRUE(say(std::string(512, 'x') + "DTR 1\nLINE 4800 8N1\n", 4800));
    EXPECT_FALSE(dev.dtr());
    ::close(modem), ::close(port);
}

#ifdef QKR_SIM
// qkr-sim as a process: its sockets under clients that do not play by the rules.
// What arrives on `fd` until `lines` newlines, the end of the stream or 5 s.
std::string read_lines(int fd, int lines) {
    std::string buffer, line, got;
    for (int i = 0; i < lines && ttyint::read_line_into(fd, buffer, line, Clock::now() + 5s); ++i)
        got += line + "\n";
    return got;
}

TEST(QkrSim, SocketsHoldOutAgainstHostileLocalClients) {
    ttyint::Child sim(QKR_SIM, {"--card", "t1"});
    std::string modem, control;
    for (int i = 0; i < 3; ++i) {
        const std::string line = sim.read_line(10s).value_or("");
        (line.rfind("modem ", 0) == 0 ? modem : control) = line.substr(line.find(' ') + 1);
    }
    // The default socket names carry the process id.
    const pid_t pid = std::stoi(control.substr(control.find("qkr-sim-") + 8));
    for (const auto& path : {modem, control}) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u) << path;
    }

    // A second host on the modem socket is turned away; the first keeps its session.
    int host = ttyint::connect_unix(modem);
    EXPECT_EQ(read_lines(host, 2), "CTS 1\nDSR 1\n");
    const int second = ttyint::connect_unix(modem);
    EXPECT_EQ(read_lines(second, 1), "");
    EXPECT_EQ(ttyint::control(control, "remove"), "ok");
    EXPECT_EQ(read_lines(host, 1), "CTS 0\n");
    // A host that hangs up with its last lines still unread and comes straight back is let in
    // (qkr-sim held still so that both wait for it together).
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    int stopped = 0;
    ASSERT_EQ(::waitpid(pid, &stopped, WUNTRACED), pid);
    const std::string bye(300, '\n');
    ::send(host, bye.data(), bye.size(), MSG_NOSIGNAL);
    ::close(host);
    const int back = ttyint::connect_unix(modem);
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_EQ(read_lines(back, 2), "CTS 0\nDSR 1\n");
    ::close(second);
    ::close(back);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(sim.wait(2s), 0);
}

#endif

} // namespace
} // namespace qkr::sim::test
