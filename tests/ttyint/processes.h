// Child processes for the end-to-end tests: a program with its standard input and output on
// pipes, read line by line against a deadline, and the simulator's control socket. Real clock;
// every wait has its bound.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qkr::ttyint {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Reads from `fd` into `buffer` until it holds a newline, the stream ends or the deadline passes.
inline bool read_line_into(int fd, std::string& buffer, std::string& line, Clock::time_point end) {
    for (char buf[4096]; buffer.find('\n') == std::string::npos;) {
        pollfd p{fd, POLLIN, 0};
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        const ssize_t n =
            ::poll(&p, 1, int(std::max(0L, long(ms)))) > 0 ? ::read(fd, buf, sizeof buf) : 0;
        if (n <= 0)
            return false;
        buffer.append(buf, std::size_t(n));
    }
    line = buffer.substr(0, buffer.find('\n'));
    buffer.erase(0, line.size() + 1);
    return true;
}

class Child {
  public:
    // Starts `program` with `args`; standard error goes to `stderr_path` if given.
    Child(const std::string& program, std::vector<std::string> args,
          const std::string& stderr_path = {}) {
        ::signal(SIGPIPE, SIG_IGN); // a child that died closes its pipe: EPIPE, not a signal
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (auto& s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        if (!stderr_path.empty())
            posix_spawn_file_actions_addopen(&fa, 2, stderr_path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (::posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]), ::close(out[1]);
        in_ = in[1], out_ = out[0];
    }
    ~Child() { close_input(), kill_now(), wait(10s), ::close(out_); }

    bool send_line(std::string line) {
        return line += '\n', ::write(in_, line.data(), line.size()) > 0;
    }
    void close_input() { ::close(std::exchange(in_, -1)); }
    // The next line of standard output, or nothing if none came in time or the output ended.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout) {
        std::optional<std::string> line("");
        return read_line_into(out_, buffer_, *line, Clock::now() + timeout) ? line : std::nullopt;
    }
    void kill_now() { void(pid_ > 0 && !status_ && ::kill(pid_, SIGKILL)); }
    // The exit status (or 128 + signal), or nothing if the child has not ended in time.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        for (const auto end = Clock::now() + timeout; pid_ > 0 && !status_ && Clock::now() < end;
             std::this_thread::sleep_for(2ms))
            if (int st = 0; ::waitpid(pid_, &st, WNOHANG) == pid_)
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buffer_;
    std::optional<int> status_;
};

// A connected Unix-domain stream socket (fd -1 if the connection failed).
inline int connect_unix(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        ::close(std::exchange(fd, -1));
    return fd;
}

// One command on a control socket and its one-line answer; empty on failure.
inline std::string control(const std::string& socket_path, const std::string& command) {
    const int fd = connect_unix(socket_path);
    const std::string text = command + "\n";
    std::string buffer, answer;
    if (fd >= 0 && ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) > 0)
        read_line_into(fd, buffer, answer, Clock::now() + 10s);
    ::close(fd);
    return answer;
}

// A fresh path in this process's own temporary directory, removed when the program ends (a
// killed simulator leaves its sockets behind).
inline std::string temp_path(const std::string& name) {
    static std::string dir = std::filesystem::temp_directory_path() / "qkr-ttyint-XXXXXX";
    [[maybe_unused]] static const int once =
        ::mkdtemp(dir.data()) ? std::atexit([] { std::filesystem::remove_all(dir); }) : -1;
    static int counter = 0;
    return dir + "/" + std::to_string(++counter) + "-" + name;
}

#ifdef QKR_SIM
// qkr-sim on a pseudo-terminal with its modem and control sockets; `device` is the slave side.
struct SimOnPty {
    explicit SimOnPty(const std::string& card, std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--modem", modem, "--control", control_path, "--card", card});
        sim.emplace(QKR_SIM, args, temp_path("sim.log"));
        for (int i = 0; i < 3; ++i)
            if (auto line = sim->read_line(10s); line && line->rfind("device ", 0) == 0)
                device = line->substr(7);
    }
    std::string control(const std::string& line) { return ttyint::control(control_path, line); }
    std::string modem = temp_path("modem"), control_path = temp_path("control"), device;
    std::optional<Child> sim;
};
#endif

} // namespace qkr::ttyint
