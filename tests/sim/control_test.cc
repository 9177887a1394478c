// The simulator's text commands, as the control sockets take them and as the qkr tool's scripts
// write them.
#include "bench.h"

#include "sim/control.h"

namespace qkr::sim::test {
namespace {

TEST(ControlCommands, CardsPowerStatusAndFaultsTakeEffect) {
    Bench b;
    auto control = [&](const char* line) { return control_command(b.reader, line); };
    auto all_ok = [&](std::initializer_list<const char*> lines) {
        for (const char* line : lines)
            EXPECT_EQ(control(line), "ok") << line;
    };
    all_ok({"insert dual"});
    EXPECT_EQ(control("  status  "), "ok powered=1 card=dual baud=19200 commands=0");
    all_ok({"remove", "power off"});
    EXPECT_EQ(control("status"), "ok powered=0 card=none baud=19200 commands=0");
    all_ok({"power on", "dsr-drop 50"});
    b.quiet(milliseconds(10));
    EXPECT_FALSE(b.lines.dsr);
    b.quiet(milliseconds(60));
    EXPECT_TRUE(b.lines.dsr);

    all_ok({"fault truncate 3 1"});
    b.send(cmd(0x60));
    b.quiet(seconds(1));
    EXPECT_EQ(b.rx.size(), 3u) << "three bytes of the reply";
    b.consumed = b.rx.size();
    all_ok({"fault delay 400 1"});
    const Ticks start = b.k.now();
    b.transact(cmd(0x65));
    EXPECT_GT(b.k.now() - start, milliseconds(400));
    all_ok({"fault noise 5A 00a5"});
    b.clear_rx();
    b.transact(cmd(0x65));
    EXPECT_EQ(Bytes(b.rx.begin(), b.rx.begin() + 5), (Bytes{0x5A, 0x00, 0xA5, 0x10, 0x02}));
    all_ok({"fault nak 1"});
    b.clear_rx();
    b.send(cmd(0x60));
    b.quiet(milliseconds(50));
    EXPECT_EQ(b.rx, kNakFrame);
    all_ok({"fault silent 1", "fault noise 5A", "fault clear"});
    b.clear_rx();
    EXPECT_EQ(b.transact(cmd(0x65))[0], 0x61) << "cleared before it bit";
    EXPECT_EQ(b.rx[0], 0x10);

    all_ok({"fault corrupt 2", "fault dle-pairs 1", "fault stray-etx 1", "fault chunk 4 10 1",
            "fault refuse-speed", "fault pts refuse", "fault pts wrong", "fault chain-removal 2",
            "fault random 7 25", "fault clear", "cts-pulse 10"});
    EXPECT_EQ(control("insert nosuchcard"), "error unknown card nosuchcard");
    for (const char* bad :
         {"", "power", "power maybe", "dsr-drop", "dsr-drop -1", "launch", "cts-pulse 10x",
          "remove now", "fault", "fault nak", "fault nak x", "fault chunk 0 10 1",
          "fault random 1 101", "fault pts maybe", "fault truncate 3", "fault explode 1",
          "fault noise 5", "fault noise xy", "fault pts-wrong"})
        EXPECT_EQ(control(bad).rfind("error", 0), 0u) << bad;
}

// The scripts' dialect: its own words for some faults, and messages that say what was expected.
TEST(ControlCommands, ScriptDialect) {
    Bench b;
    auto run = [&](std::string_view line) {
        Parsed p = parse_command(command_words(line), Dialect::Script, 1);
        return p.command ? (p.command->run(b.reader), "ok " + p.command->detail()) : p.error;
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
}

} // namespace
} // namespace qkr::sim::test
