// The qkr tool driving the reader simulator over a real tty: qkr-sim holds the master side of a
// pseudo-terminal, the tool opens the slave side through the tty back-end and learns CTS and DSR
// over the simulator's modem socket. Both are processes of their own on the real clock, so what
// these tests see is what a person sees at a real serial port.
#include "tests/ttyint/processes.h"

#include <gtest/gtest.h>

#include <iterator>

namespace qkr::ttyint {
namespace {

constexpr auto kAnswer = 10s; // an upper bound for one command; never waited out when all is well
const std::string kT1Atr = "ok 3B 96 13 81 71 20 45 00 51 4B 52 20 54 31 1D";

// qkr-sim on a pseudo-terminal and the qkr tool running a script on its slave side. The
// driver's trace goes to the tool's log, shown when an answer does not come; going on after a
// failed line lets every case see each answer the tool gives.
struct Rig : SimOnPty {
    explicit Rig(const std::string& card, std::vector<std::string> sim_args = {})
        : SimOnPty(card, std::move(sim_args)),
          tool(QKR_TOOL,
               {"--port", device, "--modem-socket", modem, "--trace", "--timestamps", "script",
                "--keep-going", "-"},
               log) {
        EXPECT_FALSE(device.empty());
    }
    void send(const std::string& line) { tool.send_line(line); }
    std::string answer(std::chrono::milliseconds within = kAnswer) {
        if (auto line = tool.read_line(within))
            return *line;
        std::ifstream file(log);
        const std::string text{std::istreambuf_iterator<char>(file), {}};
        ADD_FAILURE() << "the tool did not answer; its log ends:\n"
                      << text.substr(text.size() > 6000 ? text.size() - 6000 : 0);
        return "<no answer>";
    }
    std::string ask(const std::string& line) { return send(line), answer(); }
    // Ends the script and the tool: it removes the reader on the way out.
    std::optional<int> finish() { return tool.close_input(), tool.wait(kAnswer); }

    std::string log = temp_path("qkr.log");
    Child tool;
};

// A reader that answers at once: its reply can be complete before the driver has finished
// waiting for its command to leave the port, and must not be lost there (a lost reply costs the
// driver's time-out of 60 s).
TEST(TtyIntegration, ZeroDelayReaderAnswersEveryCommandPromptly) {
    Rig rig("t1", {"--processing-ms", "0"});
    ASSERT_EQ(rig.ask("start"), "ok");
    // At the fastest speed a reply comes soonest; both ends moved, or the reader hears garbage.
    ASSERT_EQ(rig.ask("baud 1 0"), "ok 00"); // "baud 1" alone would read the 1 as slot 1
    EXPECT_NE(rig.control("status").find("baud=38400"), std::string::npos);
    // Ten reader commands a round: power-down and power-up, PTS, parameters, IFS request, one
    // block, and four power-downs, which the reader answers faster than any other.
    std::vector<std::pair<std::string, std::string>> round = {
        {"power cold", kT1Atr}, {"protocol t1", "ok T=1"}, {"apdu 00A4000C025001", "ok 90 00"}};
    round.insert(round.end(), 4, {"power down", "ok"});
    double slowest = 0;
    for (int i = 0; i < 50; ++i) {
        for (const auto& [command, expected] : round) {
            const auto sent = Clock::now();
            rig.send(command);
            // Far beyond any honest answer: a lost reply fails here, not after a minute.
            const std::string answer = rig.answer(1s);
            ASSERT_EQ(answer, expected) << command << " in round " << i;
            slowest = std::max(slowest, seconds_since(sent));
        }
    }
    EXPECT_LT(slowest, 0.1);
    // An answer far longer than the card's blocks comes back whole, chained across blocks.
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(rig.ask(round[i].first), round[i].second);
    const std::string page = rig.ask("apdu 00B0000000");
    EXPECT_EQ(page.substr(0, 12), "ok 00 01 02 ");
    EXPECT_EQ(page.substr(page.size() - 12), " FE FF 90 00") << page;
    EXPECT_EQ(page.size(), 3 + 258 * 3 - 1);
    EXPECT_EQ(rig.finish(), 0);
}

TEST(TtyIntegration, InsertionRemovalAndPowerLossReachAWaitingClientAtOnce) {
    Rig rig("none");
    EXPECT_EQ(rig.ask("start"), "ok");
    EXPECT_EQ(rig.ask("insert t0"), "error 0xC00000BB STATUS_NOT_SUPPORTED") << "no simulator";
    for (const char* change : {"insert t1", "remove", "insert t0"}) {
        rig.send(change[0] == 'i' ? "wait present 20" : "wait absent 20");
        const auto asked = Clock::now();
        EXPECT_EQ(rig.control(change).rfind("ok", 0), 0u);
        EXPECT_EQ(rig.answer(), "ok") << change;
        EXPECT_LT(seconds_since(asked), 3.0) << change;
    }
    EXPECT_EQ(rig.ask("power cold"), "ok 3B 96 11 40 0A 51 4B 52 20 54 30");
    // A reader that loses power ends the wait as gone, although the card never left.
    rig.send("wait absent 20");
    const auto asked = Clock::now();
    EXPECT_EQ(rig.control("power off"), "ok");
    EXPECT_EQ(rig.answer(), "error 0xC000009D STATUS_DEVICE_NOT_CONNECTED");
    // Now and then the driver first sits out one read time-out (3 s) on the unpowered reader.
    EXPECT_LT(seconds_since(asked), 4.0);
    EXPECT_EQ(rig.finish(), 1);
}

// The driver retries a failed exchange; after a hang-up the port must fail those retries at once
// too, or each would sit out its time-outs (10 s for the write, then 300 s outside T=1).
TEST(TtyIntegration, SimulatorKilledMidExchangeEndsTheExchangeAtOnce) {
    Rig rig("t1");
    for (const auto& [command, expected] :
         {std::pair{"start", "ok"}, {"power cold", kT1Atr.c_str()}, {"protocol t1", "ok T=1"}})
        EXPECT_EQ(rig.ask(command), expected);
    // The slow echo keeps the card busy for 5 s; the simulator counting the command says the
    // exchange is under way.
    const std::string before = rig.control("status");
    rig.send("apdu 8010320002AABB");
    for (const auto sent = Clock::now();
         rig.control("status") == before && seconds_since(sent) < 4.0;) {
    }
    rig.sim->kill_now();
    auto killed = Clock::now();
    EXPECT_EQ(rig.answer().rfind("error", 0), 0u);
    EXPECT_LT(seconds_since(killed), 2.0);
    // The reader is gone: the next request fails at once too, and the tool ends cleanly.
    killed = Clock::now();
    EXPECT_EQ(rig.ask("apdu 00B0000010").rfind("error", 0), 0u);
    EXPECT_EQ(rig.finish(), 1);
    EXPECT_LT(seconds_since(killed), 5.0);
}

} // namespace
} // namespace qkr::ttyint
