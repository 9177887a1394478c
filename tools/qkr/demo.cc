// `qkr demo`: one complete card session, each step printed as a person would want to read it.
#include "tools/qkr/atr_text.h"
#include "tools/qkr/session.h"
#include "tools/qkr/text.h"

#include "platform/smclib/smclib.h"

#include <cstdio>
#include <ostream>
#include <string>

namespace qkr::tool {

namespace {

struct Step {
    Session& s;
    std::ostream& out;
    int failures = 0;

    void say(const std::string& text) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%8.3f s] ", s.now());
        out << stamp << text << "\n" << std::flush;
    }
    bool check(const Outcome& o, const std::string& what) {
        if (o.ok())
            return true;
        say(what + " FAILED: " + describe_status(o.status));
        ++failures;
        return false;
    }
};

struct DemoApdu {
    const char* what;
    const char* hex;
};

// Commands the simulator's built-in card application answers (see sim/README.md).
constexpr DemoApdu kApdus[] = {
    {"SELECT the master file", "00A40000023F00"},
    {"SELECT the file 2F00", "00A40000022F00"},
    {"READ BINARY, 16 bytes", "00B0000010"},
    {"SELECT the application by name", "00A4040008A0000000514B5201"},
    {"GET CHALLENGE, 8 bytes", "0084000008"},
};

} // namespace

int run_demo(Session& session, std::ostream& out) {
    Step st{session, out};
    out << "qkr demo: the reader driver, loaded over a simulated two-slot serial reader\n\n";
    session.remove_card();
    if (!st.check(session.start(), "start"))
        return 1;
    st.say("reader added and started");
    out << session.describe_reader();
    st.say("slot 0 card state: " + session.state(0).text);

    Outcome o = session.insert("");
    if (st.check(o, "card insertion"))
        st.say("card inserted: " + o.text);
    if (st.check(session.wait(true, 5), "waiting for the card"))
        st.say("the driver saw the card arrive; state: " + session.state(0).text);

    o = session.power(SCARD_COLD_RESET, 0);
    if (st.check(o, "cold reset")) {
        st.say("cold reset, ATR " + o.text);
        if (auto atr = parse_hex(o.text)) {
            std::string text = describe_atr(*atr);
            std::size_t pos = 0;
            while (pos < text.size()) {
                std::size_t nl = text.find('\n', pos);
                out << "               " << text.substr(pos, nl - pos) << "\n";
                pos = nl + 1;
            }
        }
    }
    o = session.protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 0);
    if (st.check(o, "protocol selection"))
        st.say("protocol selected: " + o.text);

    for (const auto& a : kApdus) {
        auto cmd = parse_hex(a.hex);
        std::vector<std::uint8_t> response;
        o = session.apdu(*cmd, 0, &response);
        if (st.check(o, a.what))
            st.say(std::string(a.what) + "\n               > " + format_hex(*cmd) +
                   "\n               < " + o.text);
    }

    o = session.power(SCARD_COLD_RESET, 1);
    if (st.check(o, "slot 1 cold reset"))
        st.say("slot 1 (always holds a card): cold reset, ATR " + o.text);
    o = session.protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 1);
    if (st.check(o, "slot 1 protocol selection"))
        st.say("slot 1 protocol selected: " + o.text);
    o = session.apdu(*parse_hex("00A40000023F00"), 1);
    if (st.check(o, "slot 1 exchange"))
        st.say("slot 1 SELECT the master file\n               > 00 A4 00 00 02 3F 00"
               "\n               < " +
               o.text);

    if (st.check(session.remove_card(), "card removal") &&
        st.check(session.wait(false, 5), "waiting for the removal"))
        st.say("card removed; state: " + session.state(0).text);
    if (st.check(session.stop(), "stop"))
        st.say("reader stopped: serial port closed");
    if (st.check(session.remove_device(), "removal"))
        st.say("reader removed: nothing left allocated");
    out << "\n" << (st.failures ? "demo finished with failures\n" : "demo finished\n");
    return st.failures ? 1 : 0;
}

} // namespace qkr::tool
