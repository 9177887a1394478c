// The qkr tool run as a person runs it: a process, its standard output, standard error and exit
// status; one case per capability.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Runs the tool with `args` and `input` on standard input; a hang is cut off after a minute
// instead of waiting for the test's time-out.
Outcome qkr(const std::string& args, const std::string& input = "") {
    const std::string base = testing::TempDir() + "qkr-cli-" + std::to_string(::getpid());
    std::ofstream(base + ".in") << input;
    const int raw = std::system(("timeout -k 5 60 " QKR_BINARY " " + args + " <" + base + ".in >" +
                                 base + ".out 2>" + base + ".err")
                                    .c_str());
    Outcome r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(base + ".out"), slurp(base + ".err")};
    for (const char* ext : {".in", ".out", ".err"})
        std::remove((base + ext).c_str());
    return r;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The demo's steps, an APDU exchange under T=0 and T=1 (the case-4 SELECT answers 61xx under
// T=0, the READ BINARY the same under both), the monitor, and trace and wire output.
TEST(QkrTool, CommandsPrintWhatTheyDidAndEndWithStatus0ErrorsSayWhyWithTheirs) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"demo",
         {"card inserted: t1", "cold reset, ATR 3B", "protocol selected: T=1",
          "READ BINARY, 16 bytes", "card removed", "reader removed", "demo finished\n"}},
        {"--card t0 apdu --protocol t0 00A40000022F00 00B0000004", {"< 51 4B 52 20 90 00"}},
        {"--card t1 apdu --protocol t1 00A40000022F00 00B0000004", {"< 51 4B 52 20 90 00"}},
        {"--card t1 monitor --seconds 2", {"card state: swallowed\n"}},
        {"--trace --wire script -",
         {"ok\n", "[DriverEntry] Entering : \n",
          "[Qkr_StartDevice]  Qkr_ConfigureSerialPort success\n",
          "uTransmitBuffer : \n10 2 60 0 0 60 10 3 \n", "-> 10\n", "<- 10\n"}}};
    for (const auto& [args, parts] : cases) {
        const Outcome r = qkr(args, "start\n");
        EXPECT_EQ(r.status, 0) << args << r.err;
        for (const std::string& part : parts)
            EXPECT_TRUE(has(r.out + r.err, part)) << args << ": " << part << "\n" << r.out;
    }
    // Errors get a clear message and their exit status.
    for (const char* args :
         {"--card bogus demo", "apdu 0G", "apdu 123", "--firmware 12 demo",
          "script /nonexistent/file", "frobnicate", "--seed -1 script -", "monitor --seconds -5",
          "monitor --seconds nan", "monitor --seconds 1e308"}) {
        const Outcome r = qkr(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << args << ": " << r.err;
    }
    EXPECT_EQ(qkr("--help").status, 0);
    EXPECT_TRUE(has(qkr("apdu 0G").err, "0G"));

    // Bad script lines, a huge binary one among them, are refused and named, in part.
    const std::string invalid = "error 0xC000000D STATUS_INVALID_PARAMETER\n";
    std::string junk(200000, 'x');
    for (std::size_t i = 1; i < junk.size(); i += 3)
        junk[i] = static_cast<char>(i % 7 == 0 ? 0x01 : 0xC3); // never a newline or a '#'
    Outcome r = qkr("script --keep-going -",
                    "start\napdu 0G1\npower lukewarm\nadvance nan\n" + junk + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ok\n" + invalid + invalid + invalid + invalid);
    EXPECT_TRUE(has(r.err, "0G1") && has(r.err, "lukewarm") && has(r.err, "x?")) << r.err;
    EXPECT_LT(r.err.size(), 1000u);

    // Both start-up queries, each tried three times, go unanswered.
    r = qkr("script -", "fault silent 6\nstart\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ok\nerror 0xC000009D STATUS_DEVICE_NOT_CONNECTED\n");
    EXPECT_TRUE(has(r.err, "no reader answered")) << r.err;
}

// Under T=0 the FCP waits for GET RESPONSE; attribute 0x00010101 is the IFD type, "QK410TX".
TEST(QkrTool, ScriptCommandsEachPrintOneResultLine) {
    const std::string id = "42 52 49 4D 56 45 4C 20 51 54 58 31 30 30 31 36 \"BRIMVEL QTX10016\"";
    const std::string t0_atr = "ok 3B 96 11 40 0A 51 4B 52 20 54 30";
    const std::vector<std::pair<std::string, std::string>> lines = {
        {"start", "ok"},
        {"state", "ok absent"},
        {"insert t0", "ok t0"},
        {"wait present 5", "ok"},
        {"power cold", t0_atr},
        {"protocol t0", "ok T=0"},
        {"apdu 00A40000022F00", "ok 61 0D"},
        {"apdu 00B0000004", "ok 51 4B 52 20 90 00"},
        {"attr 0x00010101", "ok 51 4B 34 31 30 54 58"},
        {"info", "ok " + id},
        {"power cold 1", t0_atr},
        {"protocol any 1", "ok T=0"},
        {"apdu 00A40000023F00 1", "ok 61 09"},
        {"expect STATUS_DEVICE_DATA_ERROR baud 9", "error 0xC000009C STATUS_DEVICE_DATA_ERROR"},
        {"baud 3", "ok 00"},
        {"power down", "ok"},
        {"remove", "ok"},
        {"wait absent 5", "ok"},
        {"expect STATUS_NO_MEDIA power cold", "error 0xC0000178 STATUS_NO_MEDIA"},
        {"sleep", "ok"},
        {"expect STATUS_DEVICE_NOT_READY state", "error 0xC00000A3 STATUS_DEVICE_NOT_READY"},
        {"wake", "ok"},
        {"restart", "ok"},
        {"stop", "ok"},
        {"remove-device", "ok"}};
    std::string script = "# a whole session\n", expected;
    for (const auto& [command, answer] : lines)
        script += command + "\n", expected += answer + "\n";
    const Outcome r = qkr("--card none script -", script);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected) << r.err;
    // An unexpected error ends the script with status 1, unless told to keep going.
    const std::string failing = "start\npower cold\nstate\n";
    EXPECT_EQ(qkr("--card none script -", failing).out, "ok\nerror 0xC0000178 STATUS_NO_MEDIA\n");
    const Outcome k = qkr("--card none script --keep-going -", failing);
    EXPECT_EQ(k.status, 1);
    EXPECT_EQ(k.out, "ok\nerror 0xC0000178 STATUS_NO_MEDIA\nok absent\n");
}

} // namespace
