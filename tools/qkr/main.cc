// qkr: drive the reader driver from the command line, against the simulated reader or a port.
#include "tools/explore/command.h"
#include "tools/qkr/atr_text.h"
#include "tools/qkr/script.h"
#include "tools/qkr/session.h"
#include "tools/qkr/text.h"

#include "platform/smclib/smclib.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <unistd.h>

namespace qkr::tool {
int run_demo(Session& session, std::ostream& out);
} // namespace qkr::tool

namespace {

using namespace qkr::tool;

const std::vector<std::string> kCards = {"t0",  "t1",   "t1-crc",  "dual",    "specific", "inverse",
                                         "wtx", "mute", "memory2", "memory3", "none"};

// Prints the outcome of a step that is not a script line; returns false on failure.
bool report(const Outcome& o, const std::string& what) {
    if (o.ok())
        return true;
    std::cerr << "qkr: " << what << " failed: " << describe_status(o.status) << "\n";
    return false;
}

int cmd_info(Session& s) {
    if (!report(s.start(), "start"))
        return 1;
    std::cout << s.describe_reader();
    for (int slot : {0, 1}) {
        Outcome o = s.reader_info(slot);
        std::cout << "slot " << slot
                  << " reader information: " << (o.ok() ? o.text : describe_status(o.status))
                  << "\n";
    }
    std::cout << "attributes (slot 0):\n";
    for (const char* name :
         {"vendor-name", "ifd-type", "device-unit", "protocol-types", "default-clk", "max-clk",
          "default-data-rate", "max-data-rate", "max-ifsd", "characteristics", "icc-presence"}) {
        std::string line = std::string("attr ") + name;
        std::cout << "  " << name << ": ";
        std::cout.flush();
        std::ostringstream result;
        run_command(s, line, result, std::cerr);
        std::cout << result.str();
    }
    Outcome st = s.state(0);
    std::cout << "card state (slot 0): " << (st.ok() ? st.text : describe_status(st.status))
              << "\n";
    s.remove_device();
    return 0;
}

int cmd_atr(Session& s, int slot) {
    if (!report(s.start(), "start"))
        return 1;
    Outcome o = s.power(SCARD_COLD_RESET, slot);
    if (!report(o, "cold reset"))
        return 1;
    std::cout << "ATR " << o.text << "\n";
    auto bytes = parse_hex(o.text);
    if (bytes)
        std::cout << describe_atr(*bytes);
    s.remove_device();
    return 0;
}

int cmd_apdu(Session& s, const std::string& protocol, int slot,
             const std::vector<std::vector<std::uint8_t>>& apdus) {
    if (!report(s.start(), "start"))
        return 1;
    if (!report(s.power(SCARD_COLD_RESET, slot), "cold reset"))
        return 1;
    ULONG mask = protocol == "t0"   ? SCARD_PROTOCOL_T0
                 : protocol == "t1" ? SCARD_PROTOCOL_T1
                                    : (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (!report(s.protocol(mask, slot), "protocol selection"))
        return 1;
    int status = 0;
    for (const auto& apdu : apdus) {
        std::vector<std::uint8_t> response;
        Outcome o = s.apdu(apdu, slot, &response);
        std::cout << "> " << format_hex(apdu) << "\n";
        if (o.ok()) {
            std::cout << "< " << o.text << "\n";
        } else {
            std::cout << "< error " << describe_status(o.status) << "\n";
            status = 1;
        }
    }
    s.remove_device();
    return status;
}

int cmd_monitor(Session& s, double seconds) {
    if (!report(s.start(), "start"))
        return 1;
    Outcome st = s.state(0);
    std::cout << "card state: " << st.text << "\n";
    double end = s.now() + seconds;
    bool present = st.text != "absent" && st.text != "unknown";
    while (s.now() < end) {
        Outcome o = s.wait(!present, end - s.now());
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%10.3f] ", s.now());
        if (o.status == STATUS_DEVICE_NOT_CONNECTED)
            std::cout << stamp << "reader gone (DSR off)\n" << std::flush;
        if (!o.ok())
            break;
        present = !present;
        std::cout << stamp << (present ? "card inserted" : "card removed") << "\n" << std::flush;
    }
    s.remove_device();
    return 0;
}

// Words a value of the option can take, for completion; files when it names a path.
struct ValueWords {
    std::string option;
    std::string words; // empty: file names
};

// A bash completion function for every option and subcommand `app` defines.
std::string bash_completion(const CLI::App& app, const std::vector<ValueWords>& values) {
    auto options = [](const CLI::App& a) {
        std::string words;
        for (const CLI::Option* o : a.get_options())
            for (const auto& l : o->get_lnames())
                words += "--" + l + " ";
        return words;
    };
    std::string subcommands, cases;
    for (const CLI::App* sub : app.get_subcommands({})) {
        subcommands += sub->get_name() + " ";
        // A subcommand's positional argument is a file (script) or free text (apdu).
        const bool files = !sub->get_options([](const CLI::Option* o) {
                                   return !o->nonpositional() && o->get_name() == "FILE";
                               })
                                .empty();
        cases += "    " + sub->get_name() + ") words=\"" + options(*sub) + "\"" +
                 (files ? "; files=1" : "") + " ;;\n";
    }
    std::string value_cases;
    for (const auto& v : values)
        value_cases +=
            "    " + v.option + ") " +
            (v.words.empty() ? "COMPREPLY=($(compgen -f -- \"$cur\"))"
                             : "COMPREPLY=($(compgen -W \"" + v.words + "\" -- \"$cur\"))") +
            "; return ;;\n";
    // Any other option that takes a value: nothing to offer for it.
    std::set<std::string> takes;
    std::vector<const CLI::App*> apps = app.get_subcommands({});
    apps.push_back(&app);
    for (const CLI::App* a : apps)
        for (const CLI::Option* o : a->get_options())
            if (o->nonpositional() && o->get_expected_min() > 0 && !o->get_lnames().empty())
                takes.insert("--" + o->get_lnames().front());
    for (const auto& v : values)
        takes.erase(v.option);
    std::string takes_value;
    for (const auto& t : takes)
        takes_value += (takes_value.empty() ? "" : "|") + t;
    return "# bash completion for qkr: source <(qkr --completion bash)\n"
           "_qkr() {\n"
           "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "  local sub=\"\" words=\"\" files=0 i\n"
           "  case $prev in\n" +
           value_cases + "    " + takes_value +
           ") return ;;\n"
           "  esac\n"
           "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "    case ${COMP_WORDS[i]} in " +
           [&] {
               std::string alt = subcommands;
               std::replace(alt.begin(), alt.end(), ' ', '|');
               alt.pop_back();
               return alt;
           }() +
           ") sub=${COMP_WORDS[i]} ;; esac\n"
           "  done\n"
           "  case $sub in\n"
           "    \"\") words=\"" +
           options(app) + subcommands + "\" ;;\n" + cases +
           "  esac\n"
           "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
           "  if [ \"$files\" = 1 ] && [[ $cur != -* ]]; then COMPREPLY+=($(compgen -f -- "
           "\"$cur\")); fi\n"
           "}\n"
           "complete -F _qkr qkr\n";
}

// What the command line says: the session's options, the command chosen and its own options.
struct Cli {
    SessionOptions so;
    std::string timeline;
    CLI::App* demo = nullptr;
    CLI::App* info = nullptr;
    CLI::App* atr = nullptr;
    CLI::App* apdu = nullptr;
    CLI::App* monitor = nullptr;
    CLI::App* script = nullptr;
    CLI::App* explore = nullptr;
    int atr_slot = 0;
    std::string protocol = "any";
    int apdu_slot = 0;
    std::vector<std::string> apdu_hex;
    double monitor_seconds = 60;
    std::string script_file = "-";
    bool keep_going = false;
    qkr::explore::CommandOptions explore_options;
    std::string explore_schedule = "random";
};

void add_session_options(CLI::App& app, Cli& c) {
    app.add_option("--port", c.so.port,
                   "sim (the in-process simulated reader) or a serial port such as /dev/ttyUSB0")
        ->default_val("sim");
    app.add_option("--modem-socket", c.so.modem_socket,
                   "With a serial port that has no modem lines (a pseudo-terminal): the Unix "
                   "socket on which the far end reports CTS and DSR (qkr-sim's modem socket); "
                   "default: none");
    app.add_flag("--assume-cts", c.so.assume_cts,
                 "With a serial port that has no modem lines: CTS on (a card in slot 0) until "
                 "told otherwise; default: off");
    app.add_flag("--assume-dsr", c.so.assume_dsr,
                 "With a serial port that has no modem lines: DSR on (the reader powered) until "
                 "told otherwise; default: off");
    app.add_flag("--real-time", c.so.real_time,
                 "Run the simulator on the real clock at line speed; default: off (virtual clock)");
    app.add_option("--card", c.so.card, "Slot-0 card of the simulator, or bridge[:PORT]")
        ->default_val("t1")
        ->check([](const std::string& v) -> std::string {
            if (std::find(kCards.begin(), kCards.end(), v) != kCards.end() ||
                v.rfind("bridge", 0) == 0)
                return {};
            return "unknown card model " + v;
        });
    app.add_option("--firmware", c.so.firmware, "Simulated reader firmware version, four digits")
        ->default_val("0016")
        ->check([](const std::string& v) -> std::string {
            if (v.size() == 4 && std::all_of(v.begin(), v.end(), ::isdigit))
                return {};
            return "expected four digits such as 0016, not " + v;
        });
    app.add_option("--seed", c.so.seed, "Seed for the simulator's faults")
        ->default_val(1)
        ->check([](const std::string& v) -> std::string {
            if (!v.empty() && std::all_of(v.begin(), v.end(), ::isdigit))
                return {};
            return "expected a whole number, 0 or more, not " + v;
        });
    app.add_flag("--trace", c.so.trace,
                 "Print every DbgPrint line of the driver to standard error; default: off");
    app.add_flag("--wire", c.so.wire,
                 "Print the bytes on the serial line to standard error; default: off");
    app.add_flag("--timestamps", c.so.timestamps,
                 "Prefix trace and wire lines with the clock; default: off");
    app.add_option("--timeline", c.timeline,
                   "Draw the session in FILE (SVG): the frames on the line on a time axis, one "
                   "lane per direction, and the driver's log lines; default: none")
        ->type_name("FILE");
}

void add_commands(CLI::App& app, Cli& c) {
    c.demo = app.add_subcommand("demo", "A complete card session, step by step");
    c.info = app.add_subcommand("info", "Reader type, firmware, reader information, "
                                        "capabilities and attributes");
    c.atr = app.add_subcommand("atr", "Cold reset and the ATR decoded field by field");
    c.atr->add_option("--slot", c.atr_slot, "Slot 0 or 1")->default_val(0)->check(CLI::Range(0, 1));
    c.apdu = app.add_subcommand(
        "apdu", "Reset, select a protocol and exchange APDUs\n  e.g. qkr apdu 00A40000023F00 "
                "00B0000004");
    c.apdu->add_option("--protocol", c.protocol, "t0, t1 or any")
        ->default_val("any")
        ->check(CLI::IsMember({"t0", "t1", "any"}));
    c.apdu->add_option("--slot", c.apdu_slot, "Slot 0 or 1")
        ->default_val(0)
        ->check(CLI::Range(0, 1));
    c.apdu->add_option("HEX", c.apdu_hex, "Command APDUs in hex")->required();
    c.monitor = app.add_subcommand("monitor", "Card insertion and removal as they happen");
    c.monitor->add_option("--seconds", c.monitor_seconds, "How long to watch")
        ->default_val(60)
        ->check([](const std::string& v) -> std::string {
            return parse_seconds(v) ? std::string() : "expected 0 to 10000000 seconds, not " + v;
        });
    c.script = app.add_subcommand(
        "script", "Run script commands from FILE or - (standard input; a prompt on a terminal)");
    c.script->add_option("FILE", c.script_file, "Script file, or - for standard input")
        ->default_val("-");
    c.script->add_flag("--keep-going", c.keep_going,
                       "Go on after an unexpected error; default: off (stop at it)");
}

void add_explore(CLI::App& app, Cli& c) {
    c.explore = app.add_subcommand(
        "explore", "Seeded random operations on 1-4 readers under a controlled thread schedule, "
                   "every invariant checked; a failure is shrunk to a replay file");
    c.explore->add_option("--seed", c.explore_options.seed, "First seed")->default_val(1);
    c.explore->add_option("--seeds", c.explore_options.seeds, "How many seeds from --seed on")
        ->default_val(1)
        ->check(CLI::Range(1, 10'000'000));
    c.explore->add_option("--steps", c.explore_options.steps, "Operations per seed")
        ->default_val(60)
        ->check(CLI::Range(1, 100'000));
    c.explore->add_option("--schedule", c.explore_schedule, "random or pct")
        ->default_val("random")
        ->check(CLI::IsMember({"random", "pct"}));
    c.explore
        ->add_option("--depth", c.explore_options.depth, "Priority change points plus one (pct)")
        ->default_val(3)
        ->check(CLI::Range(1, 100));
    c.explore->add_option("--replay", c.explore_options.replay,
                          "Run this replay file instead of seeds; default: none");
    c.explore
        ->add_option("--out", c.explore_options.out_dir, "Where a failing seed's replay file goes")
        ->default_val(".");
    c.explore->add_flag("--verbose", c.explore_options.verbose, "A line per seed; default: off");
    c.explore->add_flag("!--no-shrink", c.explore_options.shrink,
                        "Write a failing seed's whole plan; default: shrink it first");
    c.explore->add_flag("--trace-replay", c.explore_options.trace,
                        "With --replay: the driver's lines on standard error; default: off");
}

void add_completion(CLI::App& app) {
    app.add_option_function<std::string>(
           "--completion",
           [&app](const std::string&) {
               std::string cards;
               for (const auto& c : kCards)
                   cards += c + " ";
               std::cout << bash_completion(app, {{"--card", cards},
                                                  {"--protocol", "t0 t1 any"},
                                                  {"--slot", "0 1"},
                                                  {"--port", ""},
                                                  {"--modem-socket", ""},
                                                  {"--timeline", ""}});
               throw CLI::Success();
           },
           "Print a bash completion script for qkr and exit: source <(qkr --completion bash)")
        ->type_name("SHELL")
        ->check(CLI::IsMember({"bash"}));
}

// A session for the command chosen, once the options that go together are checked; the exit
// status.
int run_session(Cli& c, int argc, char** argv) {
    std::vector<std::vector<std::uint8_t>> apdus;
    for (const auto& h : c.apdu_hex) {
        auto bytes = parse_hex(h);
        if (!bytes || bytes->empty()) {
            std::cerr << "qkr: malformed hex string: " << excerpt(h) << "\n";
            return 2;
        }
        apdus.push_back(*bytes);
    }
    std::ifstream script_in;
    if (*c.script && c.script_file != "-") {
        script_in.open(c.script_file);
        if (!script_in) {
            std::cerr << "qkr: cannot open script " << c.script_file << "\n";
            return 2;
        }
    }

    if (c.so.port != "sim" && (*c.demo || c.so.card != "t1" || c.so.firmware != "0016")) {
        std::cerr << "qkr: " << (*c.demo ? "demo" : "--card and --firmware")
                  << " need the simulated reader (--port sim), not " << c.so.port << "\n";
        return 2;
    }
    if (c.so.port == "sim" && (!c.so.modem_socket.empty() || c.so.assume_cts || c.so.assume_dsr)) {
        std::cerr << "qkr: --modem-socket, --assume-cts and --assume-dsr are for a serial port\n";
        return 2;
    }
    c.so.log = &std::cerr;
    c.so.timeline = !c.timeline.empty();
    std::unique_ptr<Session> session;
    try {
        session = std::make_unique<Session>(c.so);
    } catch (const std::exception& e) {
        std::cerr << "qkr: " << e.what() << "\n";
        return 2;
    }
    int status = 2;
    if (*c.demo)
        status = run_demo(*session, std::cout);
    else if (*c.info)
        status = cmd_info(*session);
    else if (*c.atr)
        status = cmd_atr(*session, c.atr_slot);
    else if (*c.apdu)
        status = cmd_apdu(*session, c.protocol, c.apdu_slot, apdus);
    else if (*c.monitor)
        status = cmd_monitor(*session, c.monitor_seconds);
    else if (*c.script) {
        ScriptOptions opts;
        opts.keep_going = c.keep_going;
        std::istream& in = c.script_file == "-" ? std::cin : script_in;
        opts.interactive = c.script_file == "-" && isatty(0);
        status = run_script(*session, in, std::cout, std::cerr, opts);
    }
    if (!c.timeline.empty()) {
        std::string title = "qkr";
        for (int i = 1; i < argc; ++i)
            title += std::string(" ") + argv[i];
        if (!session->write_timeline(c.timeline, title)) {
            std::cerr << "qkr: cannot write the timeline to " << c.timeline << "\n";
            return status == 0 ? 1 : status;
        }
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"qkr: the two-slot serial smart card reader driver, run over a simulated reader "
                 "or a real serial port.\n\nExamples:\n"
                 "  qkr demo\n"
                 "  qkr --card t0 apdu --protocol t0 00A4040007A0000000041010\n"
                 "  qkr --card dual atr\n"
                 "  echo 'start\\ninsert t1\\npower cold\\nprotocol t1\\napdu 00B0000010' | qkr "
                 "script -\n"};
    app.set_help_all_flag("--help-all", "Help for every command");
    Cli c;
    add_session_options(app, c);
    app.require_subcommand(1);
    add_commands(app, c);
    add_explore(app, c);
    add_completion(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::Success&) {
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << "qkr: " << e.what() << "\n";
        return 2;
    }

    if (*c.explore) {
        c.explore_options.schedule =
            c.explore_schedule == "pct" ? qkr::kern::Schedule::Pct : qkr::kern::Schedule::Random;
        return qkr::explore::command(c.explore_options, std::cout);
    }
    return run_session(c, argc, argv);
}
