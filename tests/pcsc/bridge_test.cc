// The PC/SC handler's simulator channel, in process and on the real clock, as pcscd's reader
// threads drive it: card events reach the polling function even when they land during a command
// of the other slot, commands that leave the card in place do not wake it, a reader that loses
// power comes back with it, the channel's options reach the reader, and its control socket
// stands up to clients that misbehave.
#include "tests/ttyint/processes.h"
#include "tools/pcsc/bridge.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <future>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qkr::pcsc {
namespace {

using namespace std::chrono_literals;
using ttyint::Clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A reader with both channels open, as pcscd leaves it after start-up.
class SimChannel {
  public:
    explicit SimChannel(const std::string& options = "card=t1")
        : socket_(ttyint::temp_path("control")) {
        name_ = "sim:" + options + ",socket=" + socket_;
        opened_ = bridge().open(kSlot0, name_) == Result::Ok &&
                  bridge().open(kSlot1, name_) == Result::Ok &&
                  bridge().ready(kSlot0) == Result::Ok;
    }
    ~SimChannel() {
        bridge().stop_wait(kSlot0);
        bridge().stop_wait(kSlot1);
        bridge().close(kSlot1);
        bridge().close(kSlot0);
    }
    static Bridge& bridge() { return Bridge::instance(); }
    bool opened() const { return opened_; }
    const std::string& socket() const { return socket_; }
    std::string control(const std::string& command) { return ttyint::control(socket_, command); }
    // pcscd's view of slot 0, as its polling loop takes it after every wait.
    bool present() {
        bool p = false;
        EXPECT_EQ(bridge().present(kSlot0, &p), Result::Ok);
        return p;
    }
    // pcscd's polling function, in a thread of its own: how long its wait for a change took.
    std::future<double> wait_in_background(int timeout_ms, ChannelId slot = kSlot0) {
        return std::async(std::launch::async, [timeout_ms, slot] {
            const auto t0 = Clock::now();
            bridge().wait_for_change(slot, timeout_ms);
            return seconds_since(t0);
        });
    }
    // The simulator's count of reader commands received so far.
    int commands() {
        std::string s = control("status");
        auto at = s.find("commands=");
        return at == std::string::npos ? -1 : std::stoi(s.substr(at + 9));
    }

    static constexpr ChannelId kSlot0{0, 0};
    static constexpr ChannelId kSlot1{0, 1};

  private:
    std::string socket_;
    std::string name_;
    bool opened_ = false;
};

TEST(PcscSimChannel, PoweringSelectingAProtocolAndAnEarlierStopDoNotEndTheWait) {
    SimChannel sim;
    ASSERT_TRUE(sim.opened());
    Bridge& b = SimChannel::bridge();
    ASSERT_TRUE(sim.present());
    // pcscd stops its polling threads on every disconnect and starts them again; a stop ends the
    // wait it finds, not every wait after it.
    for (ChannelId slot : {SimChannel::kSlot0, SimChannel::kSlot1}) {
        auto waited = sim.wait_in_background(5000, slot);
        ASSERT_EQ(waited.wait_for(100ms), std::future_status::timeout);
        b.stop_wait(slot);
        EXPECT_LT(waited.get(), 1.0);
        EXPECT_GE(sim.wait_in_background(200, slot).get(), 0.15);
    }
    std::vector<std::uint8_t> atr;
    ASSERT_EQ(b.power(SimChannel::kSlot0, PowerAction::Up, &atr), Result::Ok);
    unsigned t = 1;
    ASSERT_EQ(b.set_protocol(SimChannel::kSlot0, &t), Result::Ok);
    // Woken here, pcscd would take the wait's end for its power-off grace time and power the
    // card down again at once.
    const auto start = Clock::now();
    EXPECT_EQ(b.wait_for_change(SimChannel::kSlot0, 300), Result::Ok);
    EXPECT_GE(seconds_since(start), 0.25);

    // A real removal still ends it at once.
    auto waited = sim.wait_in_background(5000);
    EXPECT_EQ(sim.control("remove"), "ok");
    EXPECT_LT(waited.get(), 1.0);
    EXPECT_FALSE(sim.present());
}

TEST(PcscSimChannel, ARemovalDuringTheOtherSlotsCommandReachesTheWaiter) {
    SimChannel sim;
    ASSERT_TRUE(sim.opened());
    Bridge& b = SimChannel::bridge();
    ASSERT_TRUE(sim.present());
    // pcscd's slot-0 thread waits, with IS_ABSENT parked in the driver, while its slot-1 thread
    // powers that slot's card up. The power-up keeps the reader busy, and the driver completes
    // no card-tracking request for a line change it sees then.
    auto waited = sim.wait_in_background(3000);
    ASSERT_EQ(waited.wait_for(100ms), std::future_status::timeout);
    if (getenv("IDLE")) {
        EXPECT_EQ(sim.control("power off"), "ok");
        b.wait_for_change(SimChannel::kSlot0, 2000);
    } else
        ASSERT_EQ(sim.control("fault delay 400 1"), "ok");
    const int before = sim.commands();
    auto slot1 = std::async(std::launch::async, [&] {
        std::vector<std::uint8_t> atr;
        return b.power(SimChannel::kSlot1, PowerAction::Up, &atr);
    });
    for (auto until = Clock::now() + 5s; sim.commands() == before && Clock::now() < until;)
        std::this_thread::yield();
    EXPECT_EQ(sim.control("remove"), "ok");
    EXPECT_EQ(slot1.get(), Result::Ok);
    EXPECT_LT(waited.get(), 1.5);
    EXPECT_FALSE(sim.present());

    // And the insertion after it is seen the ordinary way.
    waited = sim.wait_in_background(3000);
    EXPECT_EQ(sim.control("insert t0"), "ok");
    EXPECT_LT(waited.get(), 1.0);
    EXPECT_TRUE(sim.present());
}

TEST(PcscSimChannel, AReaderThatLosesPowerIsGoneUntilItIsPoweredAgain) {
    SimChannel sim;
    ASSERT_TRUE(sim.opened());
    Bridge& b = SimChannel::bridge();
    ASSERT_TRUE(sim.present());
    const auto start = Clock::now();
    auto waited = sim.wait_in_background(5000);
    // The wait must have begun: one that begins with the reader already gone lasts its whole
    // time, so that pcscd does not spin.
    ASSERT_EQ(waited.wait_for(200ms), std::future_status::timeout);
    EXPECT_EQ(sim.control("power off"), "ok");
    EXPECT_LT(waited.get(), 2.0);
    // pcscd's loop: look, and wait again while the reader still seems there. The card's line
    // may fall a moment before the reader's, and then the first look finds just no card.
    bool present = true;
    for (int look = 0; look < 3 && b.present(SimChannel::kSlot0, &present) == Result::Ok; ++look)
        b.wait_for_change(SimChannel::kSlot0, 5000);
    EXPECT_LT(seconds_since(start), 3.0);
    // Now no reader, on either slot, while the power stays off.
    for (ChannelId slot : {SimChannel::kSlot0, SimChannel::kSlot1})
        EXPECT_EQ(b.present(slot, &present), Result::NoDevice);
    EXPECT_EQ(b.wait_for_change(SimChannel::kSlot0, 300), Result::NoDevice);
    std::vector<std::uint8_t> atr;
    EXPECT_EQ(b.power(SimChannel::kSlot0, PowerAction::Up, &atr), Result::NoDevice);

    const auto apdu_works = [&] {
        std::vector<std::uint8_t> response;
        unsigned t = 1;
        const std::vector<std::uint8_t> select{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00};
        return b.power(SimChannel::kSlot0, PowerAction::Up, &atr) == Result::Ok &&
               b.set_protocol(SimChannel::kSlot0, &t) == Result::Ok &&
               b.transmit(SimChannel::kSlot0, 1, select, &response, 258) == Result::Ok &&
               response == std::vector<std::uint8_t>{0x90, 0x00};
    };
    // Powered again, it is started afresh (3 s of set-up) and the waits of both slots end.
    auto slot1 = sim.wait_in_background(10000, SimChannel::kSlot1);
    EXPECT_EQ(sim.control("power on"), "ok");
    EXPECT_EQ(b.wait_for_change(SimChannel::kSlot0, 10000), Result::Ok);
    EXPECT_LT(slot1.get(), 10.0);
    for (ChannelId slot : {SimChannel::kSlot0, SimChannel::kSlot1})
        EXPECT_EQ(b.present(slot, &present), Result::Ok);
    EXPECT_TRUE(apdu_works());

    // The same when the power goes during a command.
    ASSERT_EQ(sim.control("fault delay 400 1"), "ok");
    const int before = sim.commands();
    auto command = std::async(std::launch::async, [&] {
        std::vector<std::uint8_t> atr1;
        return b.power(SimChannel::kSlot1, PowerAction::Up, &atr1);
    });
    for (auto until = Clock::now() + 5s; sim.commands() == before && Clock::now() < until;)
        std::this_thread::yield();
    EXPECT_EQ(sim.control("power off"), "ok");
    EXPECT_NE(command.get(), Result::Ok);
    EXPECT_EQ(sim.control("power on"), "ok");
    EXPECT_EQ(b.wait_for_change(SimChannel::kSlot0, 10000), Result::Ok);
    // Under load the change seen can still be the power's going: look until the restarted
    // reader reports its card, as pcscd's loop does.
    for (auto until = Clock::now() + 10s; Clock::now() < until;) {
        if (b.present(SimChannel::kSlot0, &present) == Result::Ok && present)
            break;
        b.wait_for_change(SimChannel::kSlot0, 1000);
    }
    EXPECT_TRUE(apdu_works());
}

TEST(PcscSimChannel, TheSpeedOptionSwitchesTheLinkOnceStarted) {
    {
        SimChannel fast("card=t1,speed=38400");
        ASSERT_TRUE(fast.opened());
        EXPECT_NE(fast.control("status").find("baud=38400"), std::string::npos);
        std::vector<std::uint8_t> atr, response;
        ASSERT_EQ(SimChannel::bridge().power(SimChannel::kSlot0, PowerAction::Up, &atr),
                  Result::Ok);
        EXPECT_EQ(atr.size(), 15u);
        unsigned t = 1;
        ASSERT_EQ(SimChannel::bridge().set_protocol(SimChannel::kSlot0, &t), Result::Ok);
        const std::vector<std::uint8_t> select{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00};
        EXPECT_EQ(SimChannel::bridge().transmit(SimChannel::kSlot0, 1, select, &response, 258),
                  Result::Ok);
        EXPECT_EQ(response, (std::vector<std::uint8_t>{0x90, 0x00}));
    }
    SimChannel plain;
    ASSERT_TRUE(plain.opened());
    EXPECT_NE(plain.control("status").find("baud=19200"), std::string::npos);

    for (const char* bad : {"sim:speed=57600", "sim:speed=", "sim:speed=fast", "sim:card=nosuch",
                            "sim:card=", "sim:firmware=ABCD", "sim:firmware=16", "sim:seed=-1",
                            "sim:seed=7x", "sim:seed=", "sim:bridge=0", "sim:bridge=65536",
                            "sim:trace=2", "sim:wire=", "tty:/dev/null,trace=yes"})
        EXPECT_EQ(SimChannel::bridge().open({1, 0}, bad), Result::BadParameter) << bad;
}

TEST(PcscSimChannel, AMemoryCardIsReachedThroughTheControlCodeOnlyAndOnlyWithPower) {
    SimChannel sim("card=memory2");
    ASSERT_TRUE(sim.opened());
    Bridge& b = SimChannel::bridge();
    const std::vector<std::uint8_t> exchange{0x01, 0x02}, select{0x00, 0xA4, 0x00, 0x0C, 0x02};
    std::vector<std::uint8_t> atr, out;
    // Unpowered, the reader would answer with no data at all.
    EXPECT_EQ(b.control(SimChannel::kSlot0, 2048, exchange, &out, 64), Result::NotPowered);
    ASSERT_EQ(b.power(SimChannel::kSlot0, PowerAction::Up, &atr), Result::Ok);
    unsigned t = 0;
    EXPECT_EQ(b.set_protocol(SimChannel::kSlot0, &t), Result::MemoryCard);
    EXPECT_EQ(b.transmit(SimChannel::kSlot0, 0, select, &out, 258), Result::MemoryCard);
    EXPECT_EQ(b.control(SimChannel::kSlot0, 2048, exchange, &out, 64), Result::Ok);
    EXPECT_EQ(out, std::vector<std::uint8_t>{0x01});
}

TEST(PcscSimChannel, AnExternalCardOnTheBridgePortIsSlot0sCard) {
    // A free port, as the system picks one.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ::close(probe);
    SimChannel sim("bridge=" + std::to_string(ntohs(addr.sin_port)));
    ASSERT_TRUE(sim.opened());
    EXPECT_FALSE(sim.present());
    // The card: its ATR when asked, 90 00 to every command.
    const std::vector<std::uint8_t> card_atr{0x3B, 0x95, 0x13, 0x81, 0x01, 0x80,
                                             0x73, 0xFF, 0x01, 0x00, 0x0B};
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::thread card([fd, &card_atr] {
        for (std::uint8_t h[2], m[300]; ::recv(fd, h, 2, MSG_WAITALL) == 2;) {
            const std::size_t n = static_cast<std::size_t>(h[0] << 8 | h[1]);
            if (n > sizeof m || ::recv(fd, m, n, MSG_WAITALL) != static_cast<ssize_t>(n))
                return;
            std::vector<std::uint8_t> answer{0x00, 0x02, 0x90, 0x00};
            if (n == 1 && m[0] == 0x04) {
                answer = {0x00, static_cast<std::uint8_t>(card_atr.size())};
                answer.insert(answer.end(), card_atr.begin(), card_atr.end());
            } else if (n == 1)
                continue;
            ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    });
    Bridge& b = SimChannel::bridge();
    b.wait_for_change(SimChannel::kSlot0, 5000);
    EXPECT_TRUE(sim.present());
    std::vector<std::uint8_t> atr, response;
    EXPECT_EQ(b.power(SimChannel::kSlot0, PowerAction::Up, &atr), Result::Ok);
    EXPECT_EQ(atr, card_atr);
    unsigned t = 1;
    EXPECT_EQ(b.set_protocol(SimChannel::kSlot0, &t), Result::Ok);
    const std::vector<std::uint8_t> challenge{0x00, 0x84, 0x00, 0x00, 0x08};
    EXPECT_EQ(b.transmit(SimChannel::kSlot0, 1, challenge, &response, 258), Result::Ok);
    EXPECT_EQ(response, (std::vector<std::uint8_t>{0x90, 0x00}));
    ::shutdown(fd, SHUT_RDWR);
    card.join();
    ::close(fd);
}

// A raw client of the control socket, to misbehave with.
class RawClient {
  public:
    explicit RawClient(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~RawClient() { ::close(fd_); }
    // Sends what the socket takes without waiting; how much that was.
    std::size_t send(const std::string& data) {
        std::size_t sent = 0;
        for (ssize_t n; sent < data.size(); sent += static_cast<std::size_t>(n))
            if ((n = ::send(fd_, data.data() + sent, data.size() - sent,
                            MSG_NOSIGNAL | MSG_DONTWAIT)) <= 0)
                break;
        return sent;
    }
    std::string line() {
        std::string text;
        char c;
        for (pollfd p{fd_, POLLIN, 0}; ::poll(&p, 1, 2000) == 1 && ::read(fd_, &c, 1) == 1;) {
            if (c == '\n')
                return text;
            text += c;
        }
        return "(no answer)";
    }
    // Whether the far end hangs up within 5 s (reading nothing meanwhile).
    bool hung_up() {
        pollfd p{fd_, 0, 0};
        return ::poll(&p, 1, 5000) == 1 && (p.revents & POLLHUP);
    }

  private:
    int fd_;
};

TEST(PcscControlSocket, ClientsThatMisbehaveHurtNeitherOthersNorTheHandler) {
    auto sim = std::make_unique<SimChannel>();
    ASSERT_TRUE(sim->opened());
    struct stat info {};
    ASSERT_EQ(::stat(sim->socket().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    std::string commands;
    for (int i = 0; i < 2000; ++i)
        commands += "status\n";
    // One leaves before its answers (a write to it must not raise SIGPIPE in pcscd); one sends
    // without ever reading; one connects and says nothing.
    RawClient(sim->socket()).send(commands);
    RawClient flood(sim->socket());
    for (int i = 0; i < 100 && flood.send(commands) == commands.size(); ++i) {
    }
    RawClient idle(sim->socket());
    // A line beyond any command is refused as soon as it is too long, and its tail is no command.
    RawClient longline(sim->socket());
    longline.send(std::string(5000, 'x'));
    EXPECT_EQ(longline.line(), "error line too long");
    longline.send("remove\nstatus\n");
    EXPECT_NE(longline.line().find("card=t1"), std::string::npos);
    EXPECT_NE(sim->control("status").find("card=t1"), std::string::npos);
    // The one that never reads is dropped once its answers pile up.
    EXPECT_TRUE(flood.hung_up());

    const auto t0 = Clock::now();
    sim.reset();
    EXPECT_LT(seconds_since(t0), 2.0);
}

} // namespace
} // namespace qkr::pcsc
