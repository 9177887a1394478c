// qkr-sim as a process: its arguments, and its sockets under clients that do not play by the
// rules. Real clock.
#include "tests/ttyint/processes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <list>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace qkr::ttyint {
namespace {

using namespace std::chrono_literals;

struct Socket {
    explicit Socket(const std::string& path) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~Socket() { ::close(fd); }
    // What arrives until `lines` newlines, the end of the stream or 5 s.
    std::string read(std::size_t lines) const {
        std::string got;
        char buf[256];
        while (std::count(got.begin(), got.end(), '\n') < static_cast<long>(lines)) {
            pollfd p{fd, POLLIN, 0};
            const ssize_t n = ::poll(&p, 1, 5000) > 0 ? ::recv(fd, buf, sizeof buf, 0) : 0;
            if (n <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

TEST(QkrSim, BadArgumentsAreRefusedWithOneLineAndStatus2) {
    const std::string err = temp_path("err");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--baud", "abc"},
                                                 {"--processing-ms", "-5"},
                                                 {"--firmware", "XYZ"},
                                                 {"--slot1", "nosuch"},
                                                 {"--bridge", "99999"}}) {
        Child sim(QKR_SIM, args, err);
        EXPECT_EQ(sim.wait(5s), 2) << args[0];
        const std::string text = read_file(err);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    }
    Child none(QKR_SIM, {"--card", "none", "--modem", temp_path("m"), "--control", temp_path("c")});
    EXPECT_EQ(none.read_line(5s).value_or("").rfind("device ", 0), 0u);

    // --help lists every option with its default, on standard output.
    Child help(QKR_SIM, {"--help"});
    std::string text;
    while (auto line = help.read_line(5s))
        text += *line + "\n";
    EXPECT_EQ(help.wait(5s), 0);
    for (const char* option : {"--card", "--slot1", "--firmware", "--baud", "--processing-ms",
                               "--seed", "--modem", "--control", "--bridge"})
        EXPECT_NE(text.find(option), std::string::npos) << option << "\n" << text;
    std::size_t defaults = 0;
    for (auto at = text.find("(default: "); at != std::string::npos;
         at = text.find("(default: ", at + 1))
        ++defaults;
    EXPECT_EQ(defaults, 9u) << text;
}

TEST(QkrSim, SocketsHoldOutAgainstHostileLocalClients) {
    Child sim(QKR_SIM, {"--card", "t1"});
    std::string modem, control;
    for (int i = 0; i < 3; ++i) {
        const std::string line = sim.read_line(10s).value_or("");
        (line.rfind("modem ", 0) == 0 ? modem : control) = line.substr(line.find(' ') + 1);
    }
    // The default socket names carry the process id.
    const pid_t pid = std::stoi(control.substr(control.find("qkr-sim-") + 8));
    for (const auto& path : {modem, control}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    }

    // One client never reads its answers, many sit idle: the others are served all the same.
    Socket deaf(control);
    std::string flood;
    for (int i = 0; i < 20000; ++i)
        flood += "status\n";
    for (std::size_t sent = 0; sent < flood.size();) {
        const ssize_t n =
            ::send(deaf.fd, flood.data() + sent, flood.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    std::list<Socket> idle;
    for (int i = 0; i < 40; ++i)
        idle.emplace_back(control);
    // A line too long for the buffer is refused whole: its tail is not run.
    EXPECT_EQ(ttyint::control(control, std::string(4352, ' ') + "remove"), "error line too long");
    EXPECT_NE(ttyint::control(control, "status").find("card=t1"), std::string::npos);

    // A second host on the modem socket is turned away; the first keeps its session.
    Socket host(modem);
    EXPECT_EQ(host.read(2), "CTS 1\nDSR 1\n");
    Socket second(modem);
    EXPECT_EQ(second.read(1), "");
    EXPECT_EQ(ttyint::control(control, "remove"), "ok");
    EXPECT_EQ(host.read(1), "CTS 0\n");
    // A host that hangs up with its last lines still unread and comes straight back is let in
    // (qkr-sim held still so that both wait for it together).
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    int stopped = 0;
    ASSERT_EQ(::waitpid(pid, &stopped, WUNTRACED), pid);
    const std::string bye(300, '\n');
    ::send(host.fd, bye.data(), bye.size(), MSG_NOSIGNAL);
    ::close(std::exchange(host.fd, -1));
    Socket back(modem);
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_EQ(back.read(2), "CTS 0\nDSR 1\n");

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(sim.wait(2s), 0);
}

} // namespace
} // namespace qkr::ttyint
