// qkr-sim as a process: its sockets under clients that do not play by the
// rules. Real clock.
#include "tests/ttyint/processes.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace qkr::ttyint {
namespace {

using namespace std::chrono_literals;

// What arrives on `fd` until `lines` newlines, the end of the stream or 5 s.
std::string read_lines(int fd, int lines) {
    std::string buffer, line, got;
    for (int i = 0; i < lines && read_line_into(fd, buffer, line, Clock::now() + 5s); ++i)
        got += line + "\n";
    return got;
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
        EXPECT_EQ(::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u) << path;
    }

    // A second host on the modem socket is turned away; the first keeps its session.
    int host = connect_unix(modem);
    EXPECT_EQ(read_lines(host, 2), "CTS 1\nDSR 1\n");
    const int second = connect_unix(modem);
    EXPECT_EQ(read_lines(second, 1), "");
    EXPECT_EQ(ttyint::control(control, "remove"), "ok");
    EXPECT_EQ(read_lines(host, 1), "CTS 0\n");
    // A host that hangs up with its last lines still unread and comes straight back is let in
    // (qkr-sim held still so that both wait for it together).
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    int stopped = 0;
    ASSERT_EQ(::waitpid(pid, &stopped, WUNTRACED), pid);
    const std::string bye(300, '\n');
    ::send(host, bye.data(), bye.size(), MSG_NOSIGNAL);
    ::close(host);
    const int back = connect_unix(modem);
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_EQ(read_lines(back, 2), "CTS 0\nDSR 1\n");
    ::close(second);
    ::close(back);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(sim.wait(2s), 0);
}

} // namespace
} // namespace qkr::ttyint
