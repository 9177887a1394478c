// The PC/SC handler's simulator channel, in process and on the real clock, as pcscd's reader
// threads drive it: card events reach the polling function even when they land during a command
// of the other slot, commands that leave the card in place do not wake it, a reader that loses
// power (even during a command) comes back with it, the channel's options reach the reader, and
// its control socket stands up to clients that misbehave.
#include "tests/ttyint/processes.h"
#include "tools/pcsc/bridge.h"

#include <gtest/gtest.h>

#include <future>

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
    ~SimChannel() { bridge().close(kSlot1), bridge().close(kSlot0); }
    std::string control(const std::string& command) { return ttyint::control(socket, command); }
    // pcscd's polling loop on slot 0: look, and wait again, until `done` or `limit` passes.
    template <class Done>
    bool look_until(Done done, Clock::duration limit = {}) {
        bool p = false;
        for (auto end = Clock::now() + limit;; bridge().wait_for_change(kSlot0, 1000))
            if (const Result r = bridge().present(kSlot0, &p); done(r, p) || Clock::now() >= end)
                return done(r, p);
    }
    // Slot 1 powered up in the background, the simulator told `change` while the reader works
    // on it (its reply held back 400 ms; the status line's command count says it is there).
    Result during_slot1_power_up(const std::string& change) {
        EXPECT_EQ(control("fault delay 400 1"), "ok");
        const std::string before = control("status");
        auto command = std::async(std::launch::async, [atr = Data{}]() mutable {
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

const auto present = [](Result r, bool p) { return r == Result::Ok && p; };

// pcscd's polling function, in a thread of its own and under way: how long its wait took.
std::future<double> wait_in_background(int timeout_ms, ChannelId slot = kSlot0) {
    auto waited = std::async(std::launch::async, [timeout_ms, slot] {
        const auto t0 = Clock::now();
        bridge().wait_for_change(slot, timeout_ms);
        return seconds_since(t0);
    });
    EXPECT_EQ(waited.wait_for(100ms), std::future_status::timeout) << "the wait ended at once";
    return waited;
}

TEST(PcscSimChannel, OnlyCardEventsAndTheirOwnStopEndAWait) {
    SimChannel sim("card=t1,speed=38400");
    ASSERT_TRUE(sim.opened && sim.look_until(present));
    EXPECT_NE(sim.control("status").find("baud=38400"), std::string::npos) << "speed option";
    // pcscd stops its polling threads on every disconnect and starts them again; a stop ends the
    // wait it finds, not every wait after it.
    for (ChannelId slot : {kSlot0, kSlot1}) {
        auto waited = wait_in_background(5000, slot);
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
    EXPECT_EQ(sim.during_slot1_power_up("remove"), Result::Ok);
    EXPECT_LT(waited.get(), 1.5);
    EXPECT_FALSE(sim.look_until(present));
}

TEST(PcscSimChannel, AReaderThatLosesPowerIsGoneUntilItIsPoweredAgain) {
    SimChannel sim;
    ASSERT_TRUE(sim.opened && sim.look_until(present));
    // The wait must have begun: one that begins with the reader already gone lasts its whole
    // time, so that pcscd does not spin.
    auto waited = wait_in_background(5000);
    EXPECT_EQ(sim.control("power off"), "ok");
    EXPECT_LT(waited.get(), 2.0);
    // The card's line may fall a moment before the reader's: first just no card, then no reader.
    EXPECT_TRUE(sim.look_until([](Result r, bool) { return r == Result::NoDevice; }, 3s));
    bool p = false;
    EXPECT_EQ(bridge().present(kSlot1, &p), Result::NoDevice);
    EXPECT_EQ(bridge().wait_for_change(kSlot0, 300), Result::NoDevice);
    EXPECT_FALSE(sim.apdu_works());
    // Powered again, it is started afresh (3 s of set-up) and the waits of both slots end.
    auto slot1 = wait_in_background(10000, kSlot1);
    EXPECT_EQ(sim.control("power on"), "ok");
    EXPECT_EQ(bridge().wait_for_change(kSlot0, 10000), Result::Ok);
    EXPECT_LT(slot1.get(), 10.0);
    // The same when the power goes during a command; under load the change seen can still be the
    // power's going, so look until the restarted reader reports its card.
    EXPECT_NE(sim.during_slot1_power_up("power off"), Result::Ok);
    EXPECT_EQ(sim.control("power on"), "ok");
    EXPECT_TRUE(sim.look_until(present, 13s));
    EXPECT_TRUE(sim.apdu_works());
}

TEST(PcscControlSocket, ClientsThatMisbehaveHurtNeitherOthersNorTheHandler) {
    auto sim = std::make_unique<SimChannel>();
    ASSERT_TRUE(sim->opened);
    std::string commands, buffer, line;
    for (int i = 0; i < 2000; ++i)
        commands += "status\n";
    // One leaves before its answers (a write to it must not raise SIGPIPE in pcscd); one sends
    // without ever reading; one connects and says nothing; one sends a line beyond any command.
    auto connect = [&] { return ttyint::connect_unix(sim->socket); };
    const int fd[] = {connect(), connect(), connect(), connect()};
    auto send = [](int f, const std::string& text) {
        return ::send(f, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    };
    auto answer = [&](int f, const std::string& text) {
        return send(f, text), ttyint::read_line_into(f, buffer, line, Clock::now() + 2s), line;
    };
    send(fd[0], commands), ::close(fd[0]);
    for (int i = 0; i < 100 && send(fd[1], commands) == ssize_t(commands.size());)
        ++i;
    // The long line is refused as soon as it is too long, and its tail is no command.
    EXPECT_EQ(answer(fd[3], std::string(5000, 'x')), "error line too long");
    EXPECT_NE(answer(fd[3], "remove\nstatus\n").find("card=t1"), std::string::npos) << line;
    // The one that never reads is dropped once its answers pile up.
    pollfd p{fd[1], 0, 0};
    EXPECT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    const auto t0 = Clock::now();
    sim.reset();
    EXPECT_LT(seconds_since(t0), 2.0);
    for (int f : {fd[1], fd[2], fd[3]})
        ::close(f);
}

} // namespace
} // namespace qkr::pcsc
