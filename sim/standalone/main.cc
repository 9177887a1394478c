// qkr-sim: the reader simulator as a program of its own, on a pseudo-terminal.
//
//   qkr-sim [--card NAME] [--slot1 NAME] [--firmware NNNN] [--baud N] [--processing-ms N]
//           [--seed N] [--modem PATH] [--control PATH] [--bridge [PORT]]
//
// Prints "device <pty path>", "modem <socket>" and "control <socket>" and runs until SIGINT,
// SIGTERM or "quit" on the control socket. The control socket takes the commands of
// sim/control.h, one per line, and answers each with one line.
#include "platform/kernel/kernel.h"
#include "sim/bridge.h"
#include "sim/control.h"
#include "sim/reader.h"
#include "sim/standalone/pty_device.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace qkr;

int usage() {
    std::fprintf(stderr,
                 "usage: qkr-sim [--card NAME] [--slot1 NAME] [--firmware NNNN] [--baud N]\n"
                 "               [--processing-ms N] [--seed N] [--modem PATH]\n"
                 "               [--control PATH] [--bridge [PORT]]\n");
    return 2;
}

// Serves the control socket: one client at a time, one line in, one line out.
void serve_control(int listen_fd, sim::ReaderSim& reader, std::atomic<bool>& stop) {
    while (!stop) {
        pollfd p = {listen_fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::string in;
        while (!stop) {
            pollfd q = {fd, POLLIN, 0};
            if (::poll(&q, 1, 200) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            in.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = in.find('\n')) != std::string::npos) {
                std::string line = in.substr(0, nl);
                in.erase(0, nl + 1);
                std::string reply;
                if (line == "quit" || line == "quit\r") {
                    reply = "ok";
                    stop = true;
                    ::kill(::getpid(), SIGTERM);
                } else {
                    auto done = std::make_shared<std::promise<std::string>>();
                    auto answer = done->get_future();
                    reader.post([&reader, done, line] {
                        done->set_value(sim::control_command(reader, line));
                    });
                    reply = answer.get();
                }
                reply += '\n';
                ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            if (in.size() > 4096)
                in.clear();
        }
        ::close(fd);
    }
}

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
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--bridge") {
            bridge = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                bridge_port = static_cast<std::uint16_t>(std::atoi(argv[++i]));
            continue;
        }
        if (a == "--help" || a == "-h")
            return usage(), 0;
        if ((v = value()) == nullptr)
            return usage();
        if (a == "--card")
            config.slot0_card = v;
        else if (a == "--slot1")
            config.slot1_card = v;
        else if (a == "--firmware")
            config.firmware = v;
        else if (a == "--baud")
            config.baud = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
        else if (a == "--processing-ms")
            config.processing = kern::milliseconds(std::atoll(v));
        else if (a == "--seed")
            config.seed = std::strtoull(v, nullptr, 10);
        else if (a == "--modem")
            modem = v;
        else if (a == "--control")
            control = v;
        else
            return usage();
    }
    if (!config.slot0_card.empty() && !sim::make_card(config.slot0_card)) {
        std::fprintf(stderr, "qkr-sim: unknown card %s\n", config.slot0_card.c_str());
        return 2;
    }

    // The signals end the program; every thread started from here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

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

    const int control_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (control_fd < 0 || control.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "qkr-sim: control socket %s: unusable\n", control.c_str());
        return 1;
    }
    std::strcpy(addr.sun_path, control.c_str());
    ::unlink(control.c_str());
    if (::bind(control_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(control_fd, 1) != 0) {
        std::fprintf(stderr, "qkr-sim: control socket %s: %s\n", control.c_str(),
                     std::strerror(errno));
        return 1;
    }

    std::printf("device %s\nmodem %s\ncontrol %s\n", device.slave_path().c_str(),
                device.modem_socket().c_str(), control.c_str());
    if (card_bridge)
        std::printf("bridge 127.0.0.1:%u\n", card_bridge->port());
    std::fflush(stdout);

    std::atomic<bool> stop{false};
    std::thread control_thread([&] { serve_control(control_fd, reader, stop); });
    int sig = 0;
    sigwait(&signals, &sig);
    stop = true;
    control_thread.join();
    ::close(control_fd);
    ::unlink(control.c_str());
    return 0;
}
