// qkr-sim: the reader simulator as a program of its own, on a pseudo-terminal (options: --help).
//
// Prints "device <pty path>", "modem <socket>" and "control <socket>" and runs until SIGINT,
// SIGTERM or "quit" on the control socket. The control socket takes the commands of
// sim/control.h, one per line, and answers each with one line.
#include "platform/kernel/kernel.h"
#include "sim/bridge.h"
#include "sim/control.h"
#include "sim/reader.h"
#include "sim/standalone/listener.h"
#include "sim/standalone/pty_device.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <list>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace qkr;

// A command line longer than this is answered with an error and none of it is run.
constexpr std::size_t kMaxLine = 1024;
// A client that leaves this many bytes of answers unread is dropped.
constexpr std::size_t kMaxUnread = 64 * 1024;
// Beyond this many clients the one connected longest is closed, so that no number of idle
// clients can shut out a new one.
constexpr std::size_t kMaxClients = 32;

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

// The control socket: every client at once, none of them able to hold up the others or the end
// of the program.
class ControlServer {
  public:
    ControlServer(const sim::UnixListener& listener, sim::ReaderSim& reader, int signal_fd)
        : listener_(listener), reader_(reader), signal_fd_(signal_fd) {}
    ~ControlServer() {
        for (auto& c : clients_)
            ::close(c.fd);
    }
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Returns on SIGINT, SIGTERM or "quit".
    void run() {
        std::vector<pollfd> fds;
        while (!quit_) {
            fds.assign({{signal_fd_, POLLIN, 0}, {listener_.fd(), POLLIN, 0}});
            for (const auto& c : clients_)
                fds.push_back({c.fd, events(c), 0});
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[0].revents != 0)
                return;
            auto fd = fds.begin() + 2;
            for (auto c = clients_.begin(); c != clients_.end(); ++fd) {
                serve(*c, fd->revents);
                c = c->dead ? (::close(c->fd), clients_.erase(c)) : std::next(c);
            }
            if (fds[1].revents & POLLIN)
                accept_all();
        }
    }

  private:
    struct Client {
        int fd;
        std::string in;
        std::string out;
        bool overlong = false;
        bool eof = false;
        bool dead = false;
    };

    // A client that has finished sending is only waited on to take its answers: its end of stream
    // would wake the loop again and again.
    static short events(const Client& c) {
        return static_cast<short>((c.eof ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT));
    }

    void accept_all() {
        for (int fd; (fd = listener_.accept()) >= 0;) {
            if (clients_.size() >= kMaxClients) {
                ::close(clients_.front().fd);
                clients_.pop_front();
            }
            clients_.push_back({.fd = fd});
        }
    }

    void serve(Client& c, short revents) {
        if (revents & (POLLERR | POLLNVAL)) {
            c.dead = true;
            return;
        }
        if (!c.eof && (revents & (POLLIN | POLLHUP))) {
            char buf[4096];
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n > 0)
                take(c, std::string_view(buf, static_cast<std::size_t>(n)));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                c.eof = true;
        }
        flush(c);
        // A client that has said all it had to say still gets its answers.
        if (c.eof && c.out.empty())
            c.dead = true;
    }

    void take(Client& c, std::string_view bytes) {
        while (!bytes.empty() && !c.dead && !quit_) {
            const auto nl = bytes.find('\n');
            const auto part = bytes.substr(0, nl);
            if (!c.overlong && c.in.size() + part.size() > kMaxLine) {
                c.overlong = true;
                c.in.clear();
            }
            if (!c.overlong)
                c.in.append(part);
            if (nl == std::string_view::npos)
                return;
            bytes.remove_prefix(nl + 1);
            answer(c, c.overlong ? "error line too long" : command(c.in));
            c.in.clear();
            c.overlong = false;
        }
    }

    std::string command(const std::string& line) {
        if (line == "quit" || line == "quit\r") {
            quit_ = true;
            return "ok";
        }
        auto done = std::make_shared<std::promise<std::string>>();
        auto answer = done->get_future();
        sim::ReaderSim& reader = reader_;
        reader.post([&reader, done, line] { done->set_value(sim::control_command(reader, line)); });
        return answer.get();
    }

    void answer(Client& c, const std::string& text) {
        c.out += text;
        c.out += '\n';
        flush(c);
        if (c.out.size() > kMaxUnread)
            c.dead = true;
    }

    static void flush(Client& c) {
        while (!c.out.empty() && !c.dead) {
            const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                c.out.erase(0, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && errno == EAGAIN)
                return;
            else
                c.dead = true;
        }
    }

    const sim::UnixListener& listener_;
    sim::ReaderSim& reader_;
    int signal_fd_;
    std::list<Client> clients_;
    bool quit_ = false;
};

} // namespace

int main(int argc, char** argv) {
    sim::ReaderConfig config;
    const std::string tag = std::to_string(::getpid());
    std::string modem = "/tmp/qkr-sim-" + tag + ".modem";
    std::string control = "/tmp/qkr-sim-" + tag + ".control";
    bool bridge = false;
    std::uint16_t bridge_port = sim::kDefaultBridgePort;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bridge") {
            bridge = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                const char* v = argv[++i];
                const auto port = decimal(v, 0, 65535);
                if (!port)
                    return refuse(a, v, "not a port number (0 to 65535)");
                bridge_port = static_cast<std::uint16_t>(*port);
            }
            continue;
        }
        if (a == "--help" || a == "-h")
            return usage(stdout), 0;
        if (i + 1 >= argc)
            return usage();
        const char* v = argv[++i];
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
            modem = v;
        } else if (a == "--control") {
            control = v;
        } else {
            return usage();
        }
    }

    // The signals end the program through `signals_fd`; every thread started from here on
    // inherits the mask, so none of them takes the signal instead.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signals_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signals_fd < 0) {
        std::fprintf(stderr, "qkr-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    kern::Kernel kernel(kern::ClockMode::Real);
    sim::ReaderSim reader(config);
    sim::PtyDevice device(reader, modem);
    if (!device.open()) {
        std::fprintf(stderr, "qkr-sim: %s\n", device.error().c_str());
        return 1;
    }
    std::unique_ptr<sim::CardBridge> card_bridge;
    if (bridge) {
        card_bridge =
            std::make_unique<sim::CardBridge>(reader, sim::CardBridge::Config{bridge_port});
        if (!card_bridge->start()) {
            std::fprintf(stderr, "qkr-sim: bridge port %u: %s\n", bridge_port,
                         card_bridge->error().c_str());
            return 1;
        }
    }
    sim::UnixListener control_listener;
    if (!control_listener.open(control)) {
        std::fprintf(stderr, "qkr-sim: control socket %s\n", control_listener.error().c_str());
        return 1;
    }

    std::printf("device %s\nmodem %s\ncontrol %s\n", device.slave_path().c_str(),
                device.modem_socket().c_str(), control.c_str());
    if (card_bridge)
        std::printf("bridge 127.0.0.1:%u\n", card_bridge->port());
    std::fflush(stdout);

    ControlServer(control_listener, reader, signals_fd).run();
    ::close(signals_fd);
    return 0;
}
