// qkr-sim: the reader simulator as a program of its own, on a pseudo-terminal (options: --help).
//
// Prints "device <pty path>", "modem <socket>" and "control <socket>" and runs until SIGINT,
// SIGTERM or "quit" on the control socket. The control socket takes the commands of
// sim/control.h, one per line, and answers each with one line.
#include "platform/kernel/kernel.h"
#include "platform/serial/fd.h"
#include "sim/bridge.h"
#include "sim/control.h"
#include "sim/control_server.h"
#include "sim/listener.h"
#include "sim/reader.h"
#include "sim/standalone/pty_device.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace qkr;

int usage(std::FILE* to = stderr) {
    const sim::ReaderConfig d;
    std::string cards;
    for (const auto& n : sim::card_names())
        cards += " " + n;
    std::fprintf(
        to,
        "usage: qkr-sim [OPTION]...\n"
        "The two-slot reader simulator on a pseudo-terminal, on the real clock. Prints\n"
        "\"device PTY\", \"modem SOCKET\" and \"control SOCKET\", then runs until SIGINT, SIGTERM\n"
        "or \"quit\" on the control socket.\n\n"
        "  --card NAME|none     slot-0 card (default: none, an empty slot)\n"
        "  --slot1 NAME         slot-1 card, always present (default: %s)\n"
        "  --firmware NNNN      firmware version, four digits (default: %s)\n"
        "  --baud N             speed at power-up: 1200, 2400, 4800, 9600, 19200 or 38400\n"
        "                       (default: %u)\n"
        "  --processing-ms N    the firmware's time per command, 0 to 60000 (default: %lld)\n"
        "  --seed N             seed for GET CHALLENGE and the faults (default: %llu)\n"
        "  --modem PATH         socket reporting the modem lines (default: "
        "/tmp/qkr-sim-PID.modem)\n"
        "  --control PATH       control socket (default: /tmp/qkr-sim-PID.control)\n"
        "  --bridge [PORT]      take the slot-0 card from an external card on 127.0.0.1:PORT\n"
        "                       (default: off; PORT %u)\n"
        "  -h, --help           this text\n\n"
        "Cards:%s\n",
        d.slot1_card.c_str(), d.firmware.c_str(), d.baud,
        static_cast<long long>(d.processing / kern::milliseconds(1)),
        static_cast<unsigned long long>(d.seed), sim::kDefaultBridgePort, cards.c_str());
    return 2;
}

int refuse(const std::string& option, const char* value, const char* why) {
    std::fprintf(stderr, "qkr-sim: %s %s: %s\n", option.c_str(), value, why);
    return 2;
}

std::optional<std::uint64_t> decimal(std::string_view s, std::uint64_t lo, std::uint64_t hi) {
    std::uint64_t v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || v < lo || v > hi)
        return std::nullopt;
    return v;
}

struct Options {
    sim::ReaderConfig config;
    std::string modem;
    std::string control;
    bool bridge = false;
    std::uint16_t bridge_port = sim::kDefaultBridgePort;
};

// An option that takes a value: 0 once taken, or the exit status to end with.
int take_option(const std::string& a, const char* v, Options& o) {
    sim::ReaderConfig& config = o.config;
    if (a == "--card" || a == "--slot1") {
        // Slot 1 always holds a card.
        const bool none = a == "--card" && std::string_view(v) == "none";
        if (!none && !sim::make_card(v)) {
            std::string known;
            for (const auto& n : sim::card_names())
                known += " " + n;
            return refuse(a, v, ("unknown card (known:" + known + ")").c_str());
        }
        (a == "--card" ? config.slot0_card : config.slot1_card) = none ? "" : v;
    } else if (a == "--firmware") {
        if (std::strlen(v) != 4 || !decimal(v, 0, 9999))
            return refuse(a, v, "not four decimal digits");
        config.firmware = v;
    } else if (a == "--baud") {
        const auto baud = decimal(v, 0, UINT32_MAX);
        if (!baud || (*baud != 1200 && *baud != 2400 && *baud != 4800 && *baud != 9600 &&
                      *baud != 19200 && *baud != 38400))
            return refuse(a, v, "not one of 1200, 2400, 4800, 9600, 19200, 38400");
        config.baud = static_cast<std::uint32_t>(*baud);
    } else if (a == "--processing-ms") {
        const auto ms = decimal(v, 0, 60'000);
        if (!ms)
            return refuse(a, v, "not a number of milliseconds from 0 to 60000");
        config.processing = kern::milliseconds(static_cast<std::int64_t>(*ms));
    } else if (a == "--seed") {
        const auto seed = decimal(v, 0, UINT64_MAX);
        if (!seed)
            return refuse(a, v, "not a whole number");
        config.seed = *seed;
    } else if (a == "--modem") {
        o.modem = v;
    } else if (a == "--control") {
        o.control = v;
    } else {
        return usage();
    }
    return 0;
}

// The command line into `o`: nothing to go on with, or the exit status to end with.
std::optional<int> parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bridge") {
            o.bridge = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                const char* v = argv[++i];
                const auto port = decimal(v, 0, 65535);
                if (!port)
                    return refuse(a, v, "not a port number (0 to 65535)");
                o.bridge_port = static_cast<std::uint16_t>(*port);
            }
            continue;
        }
        if (a == "--help" || a == "-h")
            return usage(stdout), 0;
        if (i + 1 >= argc)
            return usage();
        if (const int status = take_option(a, argv[++i], o); status != 0)
            return status;
    }
    return std::nullopt;
}

// The reader on its pseudo-terminal, its sockets and its bridge, until `stop_fd` is readable or
// "quit" comes.
int serve(const Options& o, int stop_fd) {
    kern::Kernel kernel(kern::ClockMode::Real);
    sim::ReaderSim reader(o.config);
    sim::PtyDevice device(reader, o.modem);
    if (!device.open()) {
        std::fprintf(stderr, "qkr-sim: %s\n", device.error().c_str());
        return 1;
    }
    std::unique_ptr<sim::CardBridge> card_bridge;
    if (o.bridge) {
        card_bridge =
            std::make_unique<sim::CardBridge>(reader, sim::CardBridge::Config{o.bridge_port});
        if (!card_bridge->start()) {
            std::fprintf(stderr, "qkr-sim: bridge port %u: %s\n", o.bridge_port,
                         card_bridge->error().c_str());
            return 1;
        }
    }
    sim::Listener control_listener;
    if (!control_listener.open_unix(o.control)) {
        std::fprintf(stderr, "qkr-sim: control socket %s\n", control_listener.error().c_str());
        return 1;
    }

    std::printf("device %s\nmodem %s\ncontrol %s\n", device.slave_path().c_str(),
                device.modem_socket().c_str(), o.control.c_str());
    if (card_bridge)
        std::printf("bridge 127.0.0.1:%u\n", card_bridge->port());
    std::fflush(stdout);

    sim::ControlServer server(control_listener, [&](std::string_view line) {
        if (line == "quit" || line == "quit\r") {
            server.stop();
            return std::string("ok");
        }
        auto done = std::make_shared<std::promise<std::string>>();
        auto answer = done->get_future();
        reader.post([&reader, done, line = std::string(line)] {
            done->set_value(sim::control_command(reader, line));
        });
        return answer.get();
    });
    server.run(stop_fd);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    const std::string tag = std::to_string(::getpid());
    o.modem = "/tmp/qkr-sim-" + tag + ".modem";
    o.control = "/tmp/qkr-sim-" + tag + ".control";
    if (const auto status = parse_options(argc, argv, o))
        return *status;

    // The signals end the program through `signals_fd`; every thread started from here on
    // inherits the mask, so none of them takes the signal instead.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const serial::Fd signals_fd(::signalfd(-1, &signals, SFD_CLOEXEC));
    if (!signals_fd) {
        std::fprintf(stderr, "qkr-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    return serve(o, signals_fd.get());
}
