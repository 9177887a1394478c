// The qkr tool run as a person runs it: a process, its standard output, standard error and exit
// status.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const {
        std::vector<std::string> v;
        std::istringstream in(out);
        for (std::string l; std::getline(in, l);)
            v.push_back(l);
        return v;
    }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the tool with `args` (already quoted for the shell) and `input` on standard input.
Outcome qkr(const std::string& args, const std::string& input = "") {
    char dir[] = "/tmp/qkr-cli-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return {};
    std::string base = dir;
    {
        std::ofstream in(base + "/in");
        in << input;
    }
    std::string cmd = std::string(QKR_BINARY) + " " + args + " <" + base + "/in >" + base +
                      "/out 2>" + base + "/err";
    int raw = std::system(cmd.c_str());
    Outcome r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(base + "/out");
    r.err = slurp(base + "/err");
    std::system(("rm -rf " + base).c_str());
    return r;
}

TEST(QkrTool, DemoRunsACompleteCardSession) {
    Outcome r = qkr("demo");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const char* step : {"reader added and started", "card inserted: t1", "cold reset, ATR 3B",
                             "protocol selected: T=1", "READ BINARY, 16 bytes", "card removed",
                             "reader stopped", "reader removed", "demo finished"})
        EXPECT_NE(r.out.find(step), std::string::npos) << step << "\n" << r.out;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
}

TEST(QkrTool, ApduSessionsUnderT0AndT1ReturnTheCardsResponses) {
    Outcome t1 = qkr("--card t1 apdu --protocol t1 00A40000022F00 00B0000004");
    EXPECT_EQ(t1.status, 0) << t1.err;
    EXPECT_NE(t1.out.find("< 51 4B 52 20 90 00"), std::string::npos) << t1.out;

    // Under T=0 a case-4 SELECT answers 61xx and the data come with GET RESPONSE.
    Outcome t0 = qkr("--card t0 apdu --protocol t0 00A40000022F00 00B0000004");
    EXPECT_EQ(t0.status, 0) << t0.err;
    EXPECT_NE(t0.out.find("< 51 4B 52 20 90 00"), std::string::npos) << t0.out;
}

TEST(QkrTool, ScriptCommandsEachPrintOneResultLine) {
    const std::string script = R"(# a whole session
start
state
insert t0
wait present 5
power cold
protocol t0
apdu 00A40000022F00
apdu 00B0000004
attr vendor-name
attr 0x00010101
info
info 1
power cold 1
protocol any 1
apdu 00A40000023F00 1
expect STATUS_DEVICE_DATA_ERROR baud 9
baud 3
fault nak 1
apdu 00B0000004
fault cts-pulse
advance 1
power down
remove
wait absent 5
state
expect STATUS_NO_MEDIA power cold
sleep
expect STATUS_DEVICE_NOT_READY state
wake
restart
stop
remove-device
)";
    Outcome r = qkr("--card none script -", script);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string id = "42 52 49 4D 56 45 4C 20 51 54 58 31 30 30 31 36 \"BRIMVEL QTX10016\"";
    std::vector<std::string> expected = {
        "ok",                                        // start
        "ok absent",                                 // state
        "ok t0",                                     // insert t0
        "ok",                                        // wait present 5
        "ok 3B 96 11 40 0A 51 4B 52 20 54 30",       // power cold
        "ok T=0",                                    // protocol t0
        "ok 61 0D",                                  // SELECT 2F00 under T=0: the FCP waits
        "ok 51 4B 52 20 90 00",                      // READ BINARY 4
        "ok 42 52 49 4D 56 45 4C",                   // attr vendor-name: "BRIMVEL"
        "ok 51 4B 34 31 30 54 58",                   // attr 0x00010101 (IFD type): "QK410TX"
        "ok " + id,                                  // info
        "ok " + id,                                  // info 1
        "ok 3B 96 11 40 0A 51 4B 52 20 54 30",       // power cold 1
        "ok T=0",                                    // protocol any 1
        "ok 61 09",                                  // SELECT MF on slot 1
        "error 0xC000009C STATUS_DEVICE_DATA_ERROR", // the reader refuses speed code 9
        "ok 00",                                     // baud 3: 9600 bit/s, accepted
        "ok",                                        // fault nak 1
        "ok 51 4B 52 20 90 00",                      // the NAK is retried by the driver
        "ok",                                        // fault cts-pulse
        "ok",                                        // advance 1
        "ok",                                        // power down
        "ok",                                        // remove
        "ok",                                        // wait absent 5
        "ok absent",                                 // state
        "error 0xC0000178 STATUS_NO_MEDIA",          // power cold with no card
        "ok",                                        // sleep
        "error 0xC00000A3 STATUS_DEVICE_NOT_READY",  // asleep: refused, not waited for
        "ok",                                        // wake
        "ok",                                        // restart
        "ok",                                        // stop
        "ok",                                        // remove-device
    };
    EXPECT_EQ(r.lines(), expected) << r.err;
}

TEST(QkrTool, ScriptStopsAtTheFirstUnexpectedErrorUnlessKeepGoing) {
    const std::string script = "start\npower cold\nstate\n";
    Outcome r = qkr("--card none script -", script);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ok\nerror 0xC0000178 STATUS_NO_MEDIA\n");
    Outcome k = qkr("--card none script --keep-going -", script);
    EXPECT_EQ(k.status, 1);
    EXPECT_EQ(k.out, "ok\nerror 0xC0000178 STATUS_NO_MEDIA\nok absent\n");
}

TEST(QkrTool, TraceShowsTheDriversLogLinesFromLoadToRemoval) {
    Outcome r = qkr("--trace script -", "start\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ok\n");
    for (const char* line :
         {"[DriverEntry] Entering : \n", "[Qkr_PnP] IRP_MN_REMOVE_DEVICE",
          "[Qkr_PnP] Entering : \n", "[Qkr_PnP] IRP_MN_START_DEVICE \n",
          "[Qkr_StartDevice] Enter : \n",
          "[Qkr_StartDevice]  IRP_MJ_CREATE to serial.sys success \n",
          "[Qkr_StartDevice]  Qkr_ConfigureSerialPort success\n", "[Qkr_ReadWrite] Enter :\n",
          "uTransmitBuffer : \n10 2 60 0 0 60 10 3 \n",
          "[Qkr_StartDevice] get reader type success\n",
          "[Qkr_StartDevice] get reader status success\n",
          "[Qkr_StartSerialEventTracking] Enter :\n", "[Qkr_StartDevice] Exit : \n",
          "[Qkr_PnP] Exit : \n"})
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n---\n" << r.err;
}

TEST(QkrTool, WireShowsTheFramesOnTheLine) {
    Outcome r = qkr("--wire script -", "start\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("-> 10\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("<- 10\n"), std::string::npos) << r.err;
}

TEST(QkrTool, FaultNoiseSendsItsBytesBeforeTheNextReplyAndClearDropsIt) {
    Outcome r = qkr("--wire script -", "start\nfault noise 5A00A5\npower cold\nfault noise 5A\n"
                                       "fault clear\npower cold\n");
    EXPECT_EQ(r.status, 0) << r.out;
    std::string rx; // the bytes from the reader, in order
    for (auto at = r.err.find("<- "); at != std::string::npos; at = r.err.find("<- ", at + 3))
        rx += r.err.substr(at + 3, 2) + " ";
    EXPECT_NE(rx.find("5A 00 A5 10 02 "), std::string::npos) << rx;
    EXPECT_EQ(rx.find("5A 10 02 "), std::string::npos) << rx;
}

TEST(QkrTool, BadArgumentsGetAOneLineMessageAndStatusTwo) {
    for (const char* args :
         {"--card bogus demo", "apdu 0G", "apdu 123", "--firmware 12 demo",
          "script /nonexistent/file", "frobnicate", "--seed -1 script -", "monitor --seconds -5",
          "monitor --seconds nan", "monitor --seconds 1e308"}) {
        Outcome r = qkr(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "") << args;
        ASSERT_FALSE(r.err.empty()) << args;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << args << ": " << r.err;
    }
    Outcome bad_hex = qkr("apdu 0G");
    EXPECT_NE(bad_hex.err.find("0G"), std::string::npos);
}

TEST(QkrTool, MalformedScriptLinesAreErrorsNamingTheProblem) {
    Outcome r =
        qkr("script --keep-going -", "start\napdu 0G1\npower lukewarm\nfrob\nadvance nan\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ok\nerror 0xC000000D STATUS_INVALID_PARAMETER\n"
                     "error 0xC000000D STATUS_INVALID_PARAMETER\n"
                     "error 0xC000000D STATUS_INVALID_PARAMETER\n"
                     "error 0xC000000D STATUS_INVALID_PARAMETER\n");
    EXPECT_NE(r.err.find("0G1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("lukewarm"), std::string::npos) << r.err;
}

TEST(QkrTool, AHugeOrBinaryBadLineIsEchoedOnlyInPart) {
    std::string junk(200000, 'x');
    for (std::size_t i = 1; i < junk.size(); i += 3)
        junk[i] = static_cast<char>(i % 7 == 0 ? 0x01 : 0xC3); // never a newline or a '#'
    const std::string big(100000, 'A');
    Outcome r = qkr("script --keep-going -",
                    junk + "\ninsert " + big + "\nfault " + big + "\napdu 0" + big + "\n");
    EXPECT_EQ(r.out, "error 0xC000000D STATUS_INVALID_PARAMETER\n"
                     "error 0xC000000D STATUS_INVALID_PARAMETER\n"
                     "error 0xC000000D STATUS_INVALID_PARAMETER\n"
                     "error 0xC000000D STATUS_INVALID_PARAMETER\n");
    EXPECT_LT(r.err.size(), 600u) << r.err.substr(0, 600);
    EXPECT_NE(r.err.find("x?"), std::string::npos) << r.err.substr(0, 600);
}

TEST(QkrTool, StartThatNoReaderAnsweredFails) {
    // Both start-up queries, each tried three times, go unanswered.
    Outcome r = qkr("script -", "fault silent 6\nstart\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ok\nerror 0xC000009D STATUS_DEVICE_NOT_CONNECTED\n");
    EXPECT_NE(r.err.find("no reader answered"), std::string::npos) << r.err;
}

TEST(QkrTool, ReaderThatLostPowerIsUsableOnceItHasPowerAgain) {
    const std::string session = "power cold\nprotocol t1\napdu 00A40000022F00\n";
    Outcome r =
        qkr("script -", "start\n" + session +
                            "fault dsr off\nexpect STATUS_DEVICE_NOT_CONNECTED wait present "
                            "1\nfault dsr on\nwait present 1\n" +
                            session);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string ok = "ok 3B 96 13 81 71 20 45 00 51 4B 52 20 54 31 1D\nok T=1\nok 90 00\n";
    // The card is known again only once tracking has read the lines of the powered reader.
    EXPECT_EQ(r.out,
              "ok\n" + ok + "ok\nerror 0xC000009D STATUS_DEVICE_NOT_CONNECTED\nok\nok\n" + ok);
}

TEST(QkrTool, HelpListsTheCommandsWithExamples) {
    Outcome r = qkr("--help");
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"demo", "info", "atr", "apdu", "monitor", "script", "Examples"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    Outcome sub = qkr("apdu --help");
    EXPECT_EQ(sub.status, 0);
    EXPECT_NE(sub.out.find("--protocol"), std::string::npos);
    // Every option of every command says its default ("=VALUE", or "default:" for the rest).
    Outcome all = qkr("--help-all");
    int options = 0;
    for (const auto& line : all.lines()) {
        if (line.find("  --") == std::string::npos || line.find("--help") != std::string::npos ||
            line.find("--completion") != std::string::npos)
            continue;
        ++options;
        EXPECT_TRUE(line.find('=') != std::string::npos ||
                    line.find("default:") != std::string::npos)
            << line;
    }
    EXPECT_GE(options, 17) << all.out;
}

TEST(QkrTool, BashCompletionOffersOptionsSubcommandsAndValues) {
    const std::string cmd = std::string("bash -c 'source <(") + QKR_BINARY +
                            " --completion bash); complete -p qkr; try() { COMP_WORDS=(\"$@\"); "
                            "COMP_CWORD=$(($# - 1)); _qkr; echo \"${COMPREPLY[*]}\"; }; "
                            "try qkr --ca; try qkr --card d; try qkr apdu --p; try qkr mon'";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr)
        out += buf;
    EXPECT_EQ(::pclose(p), 0);
    EXPECT_EQ(out, "complete -F _qkr qkr\n--card\ndual\n--protocol\nmonitor\n");
}

} // namespace
