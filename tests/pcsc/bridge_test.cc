// The PC/SC handler's simulator channel, in process and on the real clock, as pcscd's reader
// threads drive it: card events reach the polling function even when they land during a command
// of the other slot, commands that leave the card in place do not wake it, a reader that loses
// power comes back with it, the channel's options reach the reader, and its control socket
// stands up to clients that misbehave.
#include "tests/ttyint/processes.h"
#include "tools/pcsc/bridge.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/stat.h>

namespace qkr::pcsc {
namespace {

using ttyint::Clock;
using ttyint::seconds_since;
using namespace std::chrono_literals;
using Data = std::vector<std::uint8_t>;

constexpr ChannelId kSlot0{0, 0}, kSlot1{0, 1};

const auto bridge = []() -> Bridge& { return Bridge::instance(); };

// A reader with both channels open, as pcscd leaves it after start-up.
struct SimChannel {
    explicit SimChannel(const std::string& options = "card=t1") {
        const std::string name = "sim:" + options + ",socket=" + socket;
        opened = bridge().open(kSlot0, name) == Result::Ok &&
                 bridge().open(kSlot1, name) == Result::Ok && bridge().ready(kSlot0) == Result::Ok;
    }
    ~SimChannel() {
        for (ChannelId slot : {kSlot0, kSlot1})
            bridge().stop_wait(slot);
        bridge().close(kSlot1), bridge().close(kSlot0);
    }
    std::string control(const std::string& command) { return ttyint::control(socket, command); }
    // pcscd's view of slot 0, as its polling loop takes it after every wait.
    bool present() {
        bool p = false;
        EXPECT_EQ(bridge().present(kSlot0, &p), Result::Ok);
        return p;
    }
    // Slot 1 powered up in the background, the simulator told `change` while the reader works
    // on it (its reply held back 400 ms; the status line's command count says it is there).
    Result during_slot1_power_up(const std::string& change) {
        EXPECT_EQ(control("fault delay 400 1"), "ok");
        const std::string before = control("status");
        auto command = std::async(std::launch::async, [] {
            Data atr;
            return bridge().power(kSlot1, PowerAction::Up, &atr);
        });
        for (auto until = Clock::now() + 5s; control("status") == before && Clock::now() < until;)
            std::this_thread::yield();
        EXPECT_EQ(control(change), "ok");
        return command.get();
    }
    // Power, T=1 and a SELECT with its answer.
    bool apdu_works() {
        Data atr, response;
        unsigned t = 1;
        return bridge().power(kSlot0, PowerAction::Up, &atr) == Result::Ok &&
               bridge().set_protocol(kSlot0, &t) == Result::Ok &&
               bridge().transmit(kSlot0, 1, Data{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00},
                                 &response, 258) == Result::Ok &&
               response == Data{0x90, 0x00};
    }
    std::string socket = ttyint::temp_path("control");
    bool opened = false;
};

// pcscd's polling function, in a thread of its own: how long its wait for a change took.
std::future<double> wait_in_background(int timeout_ms, ChannelId slot = kSlot0) {
    return std::async(std::launch::async, [timeout_ms, slot] {
        const auto t0 = Clock::now();
        bridge().wait_for_change(slot, timeout_ms);
        return seconds_since(t0);
    });
}

TEST(PcscSimChannel, OnlyCardEventsAndTheirOwnStopEndAWait) {
    SimChannel sim;
    ASSERT_TRUE(sim.opened);
    ASSERT_TRUE(sim.present());
    // pcscd stops its polling threads on every disconnect and starts them again; a stop ends the
    // wait it finds, not every wait after it.
    for (ChannelId slot : {kSlot0, kSlot1}) {
        auto waited = wait_in_background(5000, slot);
        ASSERT_EQ(waited.wait_for(100ms), std::future_status::timeout);
        bridge().stop_wait(slot);
        EXPECT_LT(waited.get(), 1.0);
        EXPECT_GE(wait_in_background(200, slot).get(), 0.15);
    }
    // Woken by a power-up or a protocol, pcscd would take the wait's end for its power-off grace
    // time and power the card down again at once.
    ASSERT_TRUE(sim.apdu_works());
    EXPECT_GE(wait_in_background(300).get(), 0.25);
    // A removal during the other slot's command, while the reader is busy, reaches the waiter.
    auto waited = wait_in_background(3000);
    ASSERT_EQ(waited.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(sim.during_slot1_power_up("remove"), Result::Ok);
    EXPECT_LT(waited.get(), 1.5);
    EXPECT_FALSE(sim.present());
    waited = wait_in_background(3000);
    EXPECT_EQ(sim.control("insert t0"), "ok");
    EXPECT_LT(waited.get(), 1.0);
    EXPECT_TRUE(sim.present());
}

TEST(PcscSimChannel, AReaderThatLosesPowerIsGoneUntilItIsPoweredAgain) {
    SimChannel sim;
    ASSERT_TRUE(sim.opened);
    ASSERT_TRUE(sim.present());
    const auto start = Clock::now();
    // The wait must have begun: one that begins with the reader already gone lasts its whole
    // time, so that pcscd does not spin.
    auto waited = wait_in_background(5000);
    ASSERT_EQ(waited.wait_for(200ms), std::future_status::timeout);
    EXPECT_EQ(sim.control("power off"), "ok");
    EXPECT_LT(waited.get(), 2.0);
    // pcscd's loop: look, and wait again while the reader still seems there. The card's line
    // may fall a moment before the reader's, and then the first look finds just no card.
    bool present = true;
    for (int look = 0; look < 3 && bridge().present(kSlot0, &present) == Result::Ok; ++look)
        bridge().wait_for_change(kSlot0, 5000);
    EXPECT_LT(seconds_since(start), 3.0);
    for (ChannelId slot : {kSlot0, kSlot1})
        EXPECT_EQ(bridge().present(slot, &present), Result::NoDevice);
    EXPECT_EQ(bridge().wait_for_change(kSlot0, 300), Result::NoDevice);
    EXPECT_FALSE(sim.apdu_works());
    // Powered again, it is started afresh (3 s of set-up) and the waits of both slots end.
    auto slot1 = wait_in_background(10000, kSlot1);
    EXPECT_EQ(sim.control("power on"), "ok");
    EXPECT_EQ(bridge().wait_for_change(kSlot0, 10000), Result::Ok);
    EXPECT_LT(slot1.get(), 10.0);
    EXPECT_TRUE(sim.apdu_works());
    // The same when the power goes during a command.
    EXPECT_NE(sim.during_slot1_power_up("power off"), Result::Ok);
    EXPECT_EQ(sim.control("power on"), "ok");
    // Under load the change seen can still be the power's going: look until the restarted
    // reader reports its card, as pcscd's loop does.
    for (auto until = Clock::now() + 13s; Clock::now() < until;) {
        if (bridge().present(kSlot0, &present) == Result::Ok && present)
            break;
        bridge().wait_for_change(kSlot0, 1000);
    }
    EXPECT_TRUE(sim.apdu_works());
}

TEST(PcscSimChannel, OptionsReachTheReader) {
    {
        SimChannel fast("card=t1,speed=38400");
        EXPECT_NE(fast.control("status").find("baud=38400"), std::string::npos);
        EXPECT_TRUE(fast.opened && fast.apdu_works());
    }
    // A memory card is reached through the control code only, and only with power.
    SimChannel sim("card=memory2");
    ASSERT_TRUE(sim.opened);
    Data atr, out;
    unsigned t = 0;
    EXPECT_EQ(bridge().control(kSlot0, 2048, Data{0x01, 0x02}, &out, 64), Result::NotPowered);
    ASSERT_EQ(bridge().power(kSlot0, PowerAction::Up, &atr), Result::Ok);
    EXPECT_EQ(bridge().set_protocol(kSlot0, &t), Result::MemoryCard);
    EXPECT_EQ(bridge().transmit(kSlot0, 0, Data{0x00, 0xA4, 0x00, 0x0C, 0x02}, &out, 258),
              Result::MemoryCard);
    EXPECT_EQ(bridge().control(kSlot0, 2048, Data{0x01, 0x02}, &out, 64), Result::Ok);
    EXPECT_EQ(out, Data{0x01});
}

TEST(PcscControlSocket, ClientsThatMisbehaveHurtNeitherOthersNorTheHandler) {
    auto sim = std::make_unique<SimChannel>();
    ASSERT_TRUE(sim->opened);
    struct stat info {};
    EXPECT_EQ(::stat(sim->socket.c_str(), &info) == 0 ? info.st_mode & 0777 : 0, 0600u);
    std::string commands;
    for (int i = 0; i < 2000; ++i)
        commands += "status\n";
    auto send = [](int fd, const std::string& data) {
        return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    };
    // One leaves before its answers (a write to it must not raise SIGPIPE in pcscd); one sends
    // without ever reading; one connects and says nothing.
    const int leaving = ttyint::connect_unix(sim->socket),
              flood = ttyint::connect_unix(sim->socket), idle = ttyint::connect_unix(sim->socket),
              longline = ttyint::connect_unix(sim->socket);
    send(leaving, commands);
    ::close(leaving);
    for (int i = 0; i < 100 && send(flood, commands) == ssize_t(commands.size());)
        ++i;
    // A line beyond any command is refused as soon as it is too long, and its tail is no command.
    std::string buffer, line;
    auto answer = [&](const std::string& text) {
        send(longline, text);
        ttyint::read_line_into(longline, buffer, line, Clock::now() + 2s);
        return line;
    };
    EXPECT_EQ(answer(std::string(5000, 'x')), "error line too long");
    EXPECT_NE(answer("remove\nstatus\n").find("card=t1"), std::string::npos) << line;
    EXPECT_NE(sim->control("status").find("card=t1"), std::string::npos);
    // The one that never reads is dropped once its answers pile up.
    pollfd p{flood, 0, 0};
    EXPECT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    const auto t0 = Clock::now();
    sim.reset();
    EXPECT_LT(seconds_since(t0), 2.0);
    for (int fd : {flood, idle, longline})
        ::close(fd);
}

} // namespace
} // namespace qkr::pcsc
