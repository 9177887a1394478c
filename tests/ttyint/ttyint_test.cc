// The qkr tool driving the reader simulator over a real tty: qkr-sim holds the master side of a
// pseudo-terminal, the tool opens the slave side through the tty back-end and learns CTS and DSR
// over the simulator's modem socket. Both are processes of their own on the real clock, so what
// these tests see is what a person sees at a real serial port.
#include "tests/ttyint/processes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace qkr::ttyint {
namespace {

using namespace std::chrono_literals;

constexpr auto kAnswer = 10s; // an upper bound for one command; never waited out when all is well

std::string hex_of(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%s%02X", out.empty() ? "" : " ", c);
        out += buf;
    }
    return out;
}

std::string counting_bytes(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", i & 0xFF);
        out += buf;
    }
    return out;
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// qkr-sim on a pseudo-terminal and the qkr tool running a script on its slave side.
class Rig {
  public:
    explicit Rig(const std::string& card, std::vector<std::string> tool_options = {},
                 std::vector<std::string> sim_args = {})
        : modem_(temp_path("modem")), control_(temp_path("control")),
          tool_log_(temp_path("qkr.log")) {
        sim_args.insert(sim_args.end(), {"--modem", modem_, "--control", control_});
        if (!card.empty())
            sim_args.insert(sim_args.end(), {"--card", card});
        sim_.emplace(QKR_SIM, sim_args, temp_path("sim.log"));
        for (int i = 0; i < 3; ++i) {
            auto line = sim_->read_line(kAnswer);
            if (!line)
                return;
            if (line->rfind("device ", 0) == 0)
                device_ = line->substr(7);
        }
        if (device_.empty())
            return;
        // The driver's trace goes to the tool's log, shown when an answer does not come.
        std::vector<std::string> args{"--port", device_,   "--modem-socket",
                                      modem_,   "--trace", "--timestamps"};
        args.insert(args.end(), tool_options.begin(), tool_options.end());
        // Going on after a failed line lets every case see each answer the tool gives.
        args.insert(args.end(), {"script", "--keep-going", "-"});
        tool_.emplace(QKR_TOOL, args, tool_log_);
    }

    bool ready() const { return tool_ && tool_->started(); }

    // One script line to the tool and its answer ("ok ..." or "error ...").
    std::string ask(const std::string& line) {
        if (!tool_->send_line(line))
            return "<tool gone>";
        return answer();
    }
    void send(const std::string& line) { tool_->send_line(line); }
    std::string answer(std::chrono::milliseconds within = kAnswer) {
        if (auto line = tool_->read_line(within))
            return *line;
        // The end of the log is where the driver stopped.
        const std::string log = tool_log();
        if (!log_shown_)
            ADD_FAILURE() << "the tool did not answer; its log ends:\n"
                          << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
        log_shown_ = true;
        return "<no answer>";
    }

    std::string sim_control(const std::string& command) { return control(control_, command); }

    // Ends the script and the tool: it removes the reader on the way out.
    std::optional<int> finish() {
        tool_->close_input();
        return tool_->wait(kAnswer);
    }

    Child& sim() { return *sim_; }
    std::string tool_log() const { return read_file(tool_log_); }

  private:
    std::string modem_;
    std::string control_;
    std::string tool_log_;
    std::string device_;
    bool log_shown_ = false;
    std::optional<Child> sim_;
    std::optional<Child> tool_;
};

const std::string kT1Atr = "3B 96 13 81 71 20 45 00 51 4B 52 20 54 31 1D";
const std::string kT0Atr = "3B 96 11 40 0A 51 4B 52 20 54 30";

TEST(TtyIntegration, FullT1SessionOverAPseudoTerminal) {
    Rig rig("t1");
    ASSERT_TRUE(rig.ready());
    const auto begin = Clock::now();
    EXPECT_EQ(rig.ask("start"), "ok");
    EXPECT_EQ(rig.ask("state"), "ok swallowed");
    EXPECT_EQ(rig.ask("power cold"), "ok " + kT1Atr);
    EXPECT_EQ(rig.ask("protocol t1"), "ok T=1");
    // An answer far longer than the card's blocks comes back whole, chained across blocks.
    EXPECT_EQ(rig.ask("apdu 00A4000C025001"), "ok 90 00");
    EXPECT_EQ(rig.ask("apdu 00B0000000"), "ok " + counting_bytes(256) + " 90 00");
    EXPECT_EQ(rig.ask("apdu 00A4000C022F00"), "ok 90 00");
    EXPECT_EQ(rig.ask("apdu 00B0000020"),
              "ok " + hex_of("QKR SIM CARD 0001 EF2F00 CONTENT") + " 90 00");
    EXPECT_EQ(rig.ask("attr current-protocol"), "ok 02 00 00 00");
    EXPECT_EQ(rig.ask("power down"), "ok");
    EXPECT_EQ(rig.ask("state"), "ok swallowed");
    EXPECT_EQ(rig.ask("remove-device"), "ok");
    EXPECT_EQ(rig.finish(), 0) << rig.tool_log();
    EXPECT_LT(seconds_since(begin), 10.0);
}

TEST(TtyIntegration, FullT0SessionWritesAndReadsBack) {
    Rig rig("t0");
    ASSERT_TRUE(rig.ready());
    EXPECT_EQ(rig.ask("start"), "ok");
    EXPECT_EQ(rig.ask("power cold"), "ok " + kT0Atr);
    EXPECT_EQ(rig.ask("protocol t0"), "ok T=0");
    // The card takes data one byte at a time, so the procedure bytes travel the tty too.
    EXPECT_EQ(rig.ask("apdu 00A4000C025003"), "ok 90 00");
    EXPECT_EQ(rig.ask("apdu 00D6001004DEADBEEF"), "ok 90 00");
    EXPECT_EQ(rig.ask("apdu 00B0001004"), "ok DE AD BE EF 90 00");
    EXPECT_EQ(rig.ask("apdu 00A4000C022F00"), "ok 90 00");
    EXPECT_EQ(rig.ask("apdu 00B0000020"),
              "ok " + hex_of("QKR SIM CARD 0001 EF2F00 CONTENT") + " 90 00");
    EXPECT_EQ(rig.finish(), 0) << rig.tool_log();
}

TEST(TtyIntegration, SpeedChangeTo38400AndBackKeepsTheCardUsable) {
    Rig rig("t1");
    ASSERT_TRUE(rig.ready());
    EXPECT_EQ(rig.ask("start"), "ok");
    // "baud 1" alone would read the 1 as slot 1: the slot is given.
    EXPECT_EQ(rig.ask("baud 1 0"), "ok 00");
    EXPECT_NE(rig.sim_control("status").find("baud=38400"), std::string::npos);
    // Both ends moved: had only one, the reader would hear garbage.
    EXPECT_EQ(rig.ask("power cold"), "ok " + kT1Atr);
    EXPECT_EQ(rig.ask("protocol t1"), "ok T=1");
    EXPECT_EQ(rig.ask("apdu 00A4000C025001"), "ok 90 00");
    EXPECT_EQ(rig.ask("apdu 00B0000000"), "ok " + counting_bytes(256) + " 90 00");
    EXPECT_EQ(rig.ask("baud 2"), "ok 00");
    EXPECT_NE(rig.sim_control("status").find("baud=19200"), std::string::npos);
    EXPECT_EQ(rig.ask("apdu 00B0000010"), "ok " + counting_bytes(16) + " 90 00");
    EXPECT_EQ(rig.finish(), 0) << rig.tool_log();
}

TEST(TtyIntegration, InsertionAndRemovalReachAWaitingClientAtOnce) {
    Rig rig("");
    ASSERT_TRUE(rig.ready());
    EXPECT_EQ(rig.ask("start"), "ok");
    EXPECT_EQ(rig.ask("state"), "ok absent");

    rig.send("wait present 20");
    auto asked = Clock::now();
    EXPECT_EQ(rig.sim_control("insert t1").rfind("ok", 0), 0u);
    EXPECT_EQ(rig.answer(), "ok");
    EXPECT_LT(seconds_since(asked), 3.0);
    EXPECT_EQ(rig.ask("state"), "ok swallowed");
    EXPECT_EQ(rig.ask("power cold"), "ok " + kT1Atr);

    rig.send("wait absent 20");
    asked = Clock::now();
    EXPECT_EQ(rig.sim_control("remove").rfind("ok", 0), 0u);
    EXPECT_EQ(rig.answer(), "ok");
    EXPECT_LT(seconds_since(asked), 3.0);
    EXPECT_EQ(rig.ask("state"), "ok absent");
    EXPECT_EQ(rig.ask("power cold").rfind("error", 0), 0u);

    // A card back in works as before.
    EXPECT_EQ(rig.sim_control("insert t0").rfind("ok", 0), 0u);
    EXPECT_EQ(rig.ask("wait present 20"), "ok");
    EXPECT_EQ(rig.ask("power cold"), "ok " + kT0Atr);

    // A reader that loses power ends the wait as gone, although the card never left.
    rig.send("wait absent 20");
    asked = Clock::now();
    EXPECT_EQ(rig.sim_control("power off").rfind("ok", 0), 0u);
    const std::string gone = rig.answer();
    EXPECT_NE(gone.find("STATUS_DEVICE_NOT_CONNECTED"), std::string::npos) << gone;
    EXPECT_LT(seconds_since(asked), 3.0);
    EXPECT_EQ(rig.finish(), 1) << rig.tool_log(); // the power-up of the empty slot failed
}

// A reader that answers at once: its reply can be complete before the driver has finished
// waiting for its command to leave the port, and must not be lost there (a lost reply costs the
// driver's time-out of 60 s).
TEST(TtyIntegration, ZeroDelayReaderAnswersEveryCommandPromptly) {
    Rig rig("t1", {}, {"--processing-ms", "0"});
    ASSERT_TRUE(rig.ready());
    ASSERT_EQ(rig.ask("start"), "ok");
    // At the fastest speed a reply comes soonest.
    ASSERT_EQ(rig.ask("baud 1 0"), "ok 00");
    // Ten reader commands a round: power-down and power-up, PTS, parameters, IFS request, one
    // block, and four power-downs, which the reader answers faster than any other.
    std::vector<std::pair<std::string, std::string>> round = {{"power cold", "ok " + kT1Atr},
                                                              {"protocol t1", "ok T=1"},
                                                              {"apdu 00A4000C025001", "ok 90 00"}};
    round.insert(round.end(), 4, {"power down", "ok"});
    double slowest = 0;
    for (int i = 0; i < 50; ++i) {
        for (const auto& [command, expected] : round) {
            const auto sent = Clock::now();
            rig.send(command);
            // Far beyond any honest answer: a lost reply fails here, not after a minute.
            const std::string answer = rig.answer(1s);
            const double took = seconds_since(sent);
            ASSERT_EQ(answer, expected) << command << " in round " << i << ", " << took << " s";
            slowest = std::max(slowest, took);
        }
    }
    EXPECT_LT(slowest, 0.1);
}

// The driver retries a failed exchange; after a hang-up the port must fail those retries at once
// too, or each would sit out its time-outs (10 s for the write, then 300 s outside T=1).
TEST(TtyIntegration, SimulatorKilledMidExchangeEndsTheExchangeAtOnce) {
    Rig rig("t1");
    ASSERT_TRUE(rig.ready());
    EXPECT_EQ(rig.ask("start"), "ok");
    EXPECT_EQ(rig.ask("power cold"), "ok " + kT1Atr);
    EXPECT_EQ(rig.ask("protocol t1"), "ok T=1");

    // The slow echo keeps the card busy for 5 s (with waiting-time extensions); the simulator
    // counting the command says the exchange is under way.
    const std::string before = rig.sim_control("status");
    rig.send("apdu 8010320002AABB");
    const auto sent = Clock::now();
    while (rig.sim_control("status") == before && seconds_since(sent) < 4.0) {
    }
    ASSERT_NE(rig.sim_control("status"), before) << "the exchange never reached the simulator";

    rig.sim().kill_now();
    const auto killed = Clock::now();
    const std::string answer = rig.answer();
    EXPECT_EQ(answer.rfind("error", 0), 0u) << answer;
    EXPECT_LT(seconds_since(killed), 2.0);

    // The reader is gone: the next request fails at once too, and the tool ends cleanly.
    const auto asked = Clock::now();
    EXPECT_EQ(rig.ask("apdu 00B0000010").rfind("error", 0), 0u);
    EXPECT_LT(seconds_since(asked), 2.0);
    const auto closing = Clock::now();
    EXPECT_EQ(rig.finish(), 1) << rig.tool_log();
    EXPECT_LT(seconds_since(closing), 3.0);
}

TEST(TtyIntegration, KilledWhileIdleTheToolStillAnswersAndEnds) {
    Rig rig("t1");
    ASSERT_TRUE(rig.ready());
    EXPECT_EQ(rig.ask("start"), "ok");
    rig.sim().kill_now();
    ASSERT_TRUE(rig.sim().wait(kAnswer).has_value());
    const auto asked = Clock::now();
    EXPECT_EQ(rig.ask("power cold").rfind("error", 0), 0u);
    EXPECT_LT(seconds_since(asked), 2.0);
    EXPECT_TRUE(rig.finish().has_value()) << rig.tool_log();
}

TEST(TtyIntegration, PortThatCannotBeOpenedIsNamedWithTheReason) {
    {
        const std::string log = temp_path("qkr.log");
        Child tool(QKR_TOOL, {"--port", "/dev/qkr-no-such-tty", "--assume-dsr", "script", "-"},
                   log);
        ASSERT_TRUE(tool.started());
        tool.send_line("start");
        EXPECT_EQ(tool.read_line(kAnswer).value_or("").rfind("error", 0), 0u);
        tool.close_input();
        EXPECT_EQ(tool.wait(kAnswer), 1);
        const std::string err = read_file(log);
        EXPECT_NE(err.find("/dev/qkr-no-such-tty"), std::string::npos) << err;
        EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
    }
    {
        // A terminal whose modem socket nobody serves.
        const std::string log = temp_path("qkr.log");
        const std::string socket = temp_path("nobody.modem");
        Child tool(QKR_TOOL, {"--port", "/dev/ptmx", "--modem-socket", socket, "script", "-"}, log);
        ASSERT_TRUE(tool.started());
        tool.send_line("start");
        EXPECT_EQ(tool.read_line(kAnswer).value_or("").rfind("error", 0), 0u);
        tool.close_input();
        EXPECT_EQ(tool.wait(kAnswer), 1);
        EXPECT_NE(read_file(log).find(socket), std::string::npos) << read_file(log);
    }
}

TEST(TtyIntegration, SimulatorOnlyCommandsAreRefusedOnARealPort) {
    const std::string log = temp_path("qkr.log");
    Child demo(QKR_TOOL, {"--port", "/dev/ptmx", "demo"}, log);
    ASSERT_TRUE(demo.started());
    EXPECT_EQ(demo.wait(kAnswer), 2);
    EXPECT_NE(read_file(log).find("demo"), std::string::npos);

    Rig rig("t1");
    ASSERT_TRUE(rig.ready());
    EXPECT_EQ(rig.ask("start"), "ok");
    EXPECT_EQ(rig.ask("insert t0"), "error 0xC00000BB STATUS_NOT_SUPPORTED");
    EXPECT_EQ(rig.ask("fault nak 1"), "error 0xC00000BB STATUS_NOT_SUPPORTED");
    EXPECT_EQ(rig.ask("state"), "ok swallowed");
    EXPECT_EQ(rig.finish(), 1);
    EXPECT_NE(rig.tool_log().find("no simulator behind port /dev/"), std::string::npos)
        << rig.tool_log();
}

} // namespace
} // namespace qkr::ttyint
