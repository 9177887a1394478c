#include "tests/ttyint/processes.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qkr::ttyint {

namespace {

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

} // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args,
             const std::string& stderr_path) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    // Everything the child needs is prepared before the fork: only async-signal-safe calls after.
    std::vector<std::string> storage{program};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const int err = stderr_path.empty() ? -1
                                        : ::open(stderr_path.c_str(),
                                                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (err >= 0)
            ::dup2(err, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (err >= 0)
        ::close(err);
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    pid_ = pid;
    in_ = in[1];
    out_ = out[0];
}

Child::~Child() {
    close_input();
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        wait(std::chrono::seconds(10));
    }
    if (out_ >= 0)
        ::close(out_);
}

bool Child::send_line(const std::string& line) {
    if (in_ < 0)
        return false;
    std::string text = line + "\n";
    // A child that died closes the pipe: EPIPE, not SIGPIPE, for this process.
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void Child::close_input() {
    if (in_ >= 0)
        ::close(in_);
    in_ = -1;
}

std::optional<std::string> Child::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        if (out_ < 0)
            return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return std::nullopt;
        char buf[4096];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            continue;
        }
        buffer_.append(buf, static_cast<std::size_t>(n));
    }
}

void Child::kill_now() {
    if (pid_ > 0 && !status_)
        ::kill(pid_, SIGKILL);
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0)
        return status_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (r < 0 || Clock::now() >= deadline)
            return std::nullopt;
        // A process descriptor becomes readable when the child ends; without one (an old kernel)
        // the child is looked at again in small steps.
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, remaining_ms(deadline));
            ::close(pidfd);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

std::string control(const std::string& socket_path, const std::string& command) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string text = command + "\n";
        if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(text.size())) {
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (answer.find('\n') == std::string::npos) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, remaining_ms(deadline)) <= 0)
                    break;
                char buf[256];
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                answer.append(buf, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(fd);
    if (auto nl = answer.find('\n'); nl != std::string::npos)
        answer.erase(nl);
    return answer;
}

namespace {

// Every path handed out, removed when the test program ends (a killed simulator leaves its
// sockets behind).
struct TempPaths {
    std::mutex mutex;
    std::vector<std::string> paths;
    ~TempPaths() {
        for (const auto& p : paths)
            ::unlink(p.c_str());
    }
};

TempPaths& temp_paths() {
    static TempPaths paths;
    return paths;
}

} // namespace

std::string temp_path(const std::string& name) {
    static std::atomic<int> counter{0};
    const char* dir = std::getenv("TMPDIR");
    std::string base = dir && *dir ? dir : "/tmp";
    std::string path = base + "/qkr-ttyint-" + std::to_string(::getpid()) + "-" +
                       std::to_string(++counter) + "-" + name;
    TempPaths& all = temp_paths();
    std::lock_guard lock(all.mutex);
    all.paths.push_back(path);
    return path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace qkr::ttyint
