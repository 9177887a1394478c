#include "sim/control_server.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace qkr::sim {

namespace {

// A client that has finished sending is only waited on to take its answers: its end of stream
// would wake the loop again and again.
short events(bool eof, bool pending) {
    return static_cast<short>((eof ? 0 : POLLIN) | (pending ? POLLOUT : 0));
}

} // namespace

void ControlServer::run(int stop_fd) {
    std::vector<pollfd> fds;
    while (!quit_) {
        fds.assign({{stop_fd, POLLIN, 0}, {listener_.fd(), POLLIN, 0}});
        for (const auto& c : clients_)
            fds.push_back({c.fd.get(), events(c.eof, !c.out.empty()), 0});
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
            c = c->dead ? clients_.erase(c) : std::next(c);
        }
        if (fds[1].revents & POLLIN)
            accept_all();
    }
}

void ControlServer::accept_all() {
    while (serial::Fd fd = listener_.accept()) {
        if (clients_.size() >= kMaxClients)
            clients_.pop_front();
        clients_.push_back({.fd = std::move(fd)});
    }
}

void ControlServer::serve(Client& c, short revents) {
    if (revents & (POLLERR | POLLNVAL)) {
        c.dead = true;
        return;
    }
    if (!c.eof && (revents & (POLLIN | POLLHUP))) {
        char buf[4096];
        const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
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

void ControlServer::take(Client& c, std::string_view bytes) {
    while (!bytes.empty() && !c.dead && !quit_) {
        const auto nl = bytes.find('\n');
        const auto part = bytes.substr(0, nl);
        if (!c.overlong && c.in.size() + part.size() > kMaxLine) {
            // Answered at once: the rest of the line may never come.
            c.overlong = true;
            c.in.clear();
            answer(c, "error line too long");
        }
        if (!c.overlong)
            c.in.append(part);
        if (nl == std::string_view::npos)
            return;
        bytes.remove_prefix(nl + 1);
        if (!c.overlong)
            answer(c, execute_(c.in));
        c.in.clear();
        c.overlong = false;
    }
}

void ControlServer::answer(Client& c, const std::string& text) {
    c.out += text;
    c.out += '\n';
    flush(c);
    if (c.out.size() > kMaxUnread)
        c.dead = true;
}

void ControlServer::flush(Client& c) {
    while (!c.out.empty() && !c.dead) {
        const ssize_t n =
            ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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

} // namespace qkr::sim
