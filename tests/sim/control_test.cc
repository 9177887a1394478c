// The simulator's text commands, as the control sockets take them and as the qkr tool's scripts
// write them.
#include "bench.h"

#include "sim/control.h"

namespace qkr::sim::test {
namespace {

TEST(ControlCommands, CardsPowerAndStatus) {
    Bench b;
    EXPECT_EQ(control_command(b.reader, "status"), "ok powered=1 card=none baud=19200 commands=0");
    EXPECT_EQ(control_command(b.reader, "insert dual"), "ok");
    EXPECT_TRUE(b.reader.card_present());
    EXPECT_EQ(control_command(b.reader, "  status  "),
              "ok powered=1 card=dual baud=19200 commands=0");
    EXPECT_EQ(control_command(b.reader, "insert nosuchcard"), "error unknown card nosuchcard");
    EXPECT_EQ(control_command(b.reader, "remove"), "ok");
    EXPECT_FALSE(b.reader.card_present());
    EXPECT_EQ(control_command(b.reader, "power off"), "ok");
    EXPECT_FALSE(b.reader.powered());
    EXPECT_EQ(control_command(b.reader, "power on"), "ok");
    EXPECT_EQ(control_command(b.reader, "dsr-drop 50"), "ok");
    b.quiet(milliseconds(10));
    EXPECT_FALSE(b.sink.lines.dsr);
    b.quiet(milliseconds(60));
    EXPECT_TRUE(b.sink.lines.dsr);
    for (const char* bad : {"", "power", "power maybe", "dsr-drop", "dsr-drop -1", "launch",
                            "cts-pulse 10x", "remove now"}) {
        EXPECT_EQ(control_command(b.reader, bad).rfind("error", 0), 0u) << bad;
    }
}

TEST(ControlCommands, FaultsTakeEffect) {
    Bench b;
    EXPECT_EQ(control_command(b.reader, "fault nak 1"), "ok");
    b.send(cmd(0x60));
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.sink.rx, kNakFrame);
    b.consumed = b.sink.rx.size();

    EXPECT_EQ(control_command(b.reader, "fault truncate 3 1"), "ok");
    b.send(cmd(0x60));
    b.quiet(seconds(1));
    EXPECT_EQ(b.sink.rx.size(), 6u + 3u);
    b.consumed = b.sink.rx.size();

    EXPECT_EQ(control_command(b.reader, "fault delay 400 1"), "ok");
    const Ticks start = b.k.now();
    b.transact(cmd(0x65));
    EXPECT_GT(b.k.now() - start, milliseconds(400));

    EXPECT_EQ(control_command(b.reader, "fault noise 5A 00a5"), "ok");
    b.clear_rx();
    b.transact(cmd(0x65));
    EXPECT_EQ(Bytes(b.sink.rx.begin(), b.sink.rx.begin() + 5),
              (Bytes{0x5A, 0x00, 0xA5, 0x10, 0x02}));

    EXPECT_EQ(control_command(b.reader, "fault silent 1"), "ok");
    EXPECT_EQ(control_command(b.reader, "fault noise 5A"), "ok");
    EXPECT_EQ(control_command(b.reader, "fault clear"), "ok");
    b.clear_rx();
    EXPECT_EQ(b.transact(cmd(0x65))[0], 0x61) << "cleared before it bit";
    EXPECT_EQ(b.sink.rx[0], 0x10);

    for (const char* good :
         {"fault corrupt 2", "fault dle-pairs 1", "fault stray-etx 1", "fault chunk 4 10 1",
          "fault refuse-speed", "fault pts refuse", "fault pts wrong", "fault chain-removal 2",
          "fault random 7 25", "fault clear"}) {
        EXPECT_EQ(control_command(b.reader, good), "ok") << good;
    }
    for (const char* bad : {"fault", "fault nak", "fault nak x", "fault chunk 0 10 1",
                            "fault random 1 101", "fault pts maybe", "fault truncate 3",
                            "fault explode 1", "fault noise 5", "fault noise xy"}) {
        EXPECT_EQ(control_command(b.reader, bad).rfind("error", 0), 0u) << bad;
    }
}

// The scripts' dialect: its own words for some faults, and messages that say what was expected.
TEST(ControlCommands, ScriptDialect) {
    Bench b;
    auto run = [&](std::string_view line) {
        const auto words = command_words(line);
        Parsed p = parse_command(words, Dialect::Script, 1);
        if (!p.command)
            return p.error;
        p.command->run(b.reader);
        return "ok " + p.command->detail();
    };
    EXPECT_EQ(run("insert"), "ok t1");
    EXPECT_TRUE(b.reader.card_present());
    EXPECT_EQ(run("fault dsr off"), "ok ");
    EXPECT_FALSE(b.reader.powered());
    EXPECT_EQ(run("fault pts-wrong"), "ok ");
    EXPECT_EQ(run("fault nak 1001"), "fault nak takes a count");
    EXPECT_EQ(run("fault chunk"), "fault chunk takes a size in bytes");
    EXPECT_EQ(run("fault noise"), "fault noise takes 1 to 1024 hex bytes");
    EXPECT_EQ(run("status"), "unknown simulator command status");
    EXPECT_EQ(run("fault pts refuse").rfind("unknown fault pts (nak N,", 0), 0u);
    EXPECT_EQ(run("insert nosuch").rfind("unknown card model nosuch (known: ", 0), 0u);
    EXPECT_EQ(control_command(b.reader, "fault pts-wrong"), "error unknown fault");
}

} // namespace
} // namespace qkr::sim::test
