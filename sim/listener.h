// A listening socket: a Unix-domain one for the control and modem sockets (only its owner may
// connect, and its file goes with it), or a loopback TCP port for the card bridge.
#pragma once

#include "platform/serial/fd.h"

#include <cstdint>
#include <string>
#include <sys/socket.h>

namespace qkr::sim {

class Listener {
  public:
    Listener() = default;
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Listens at `path` (mode 0600 from the moment the file exists), taking the place of a socket
    // left there by an earlier run, never of a file of another kind; false with error().
    bool open_unix(const std::string& path);
    // Listens on 127.0.0.1:`port` (0: a free port, see port()); false with error().
    bool open_tcp(std::uint16_t port, int backlog = 1);
    int fd() const { return fd_.get(); }
    std::uint16_t port() const { return port_; }
    // The next waiting connection; an empty Fd when none is waiting (or, for a blocking accept,
    // when it failed).
    serial::Fd accept(int flags = SOCK_CLOEXEC | SOCK_NONBLOCK) const;
    const std::string& error() const { return error_; }

  private:
    bool fail(const std::string& where, const std::string& why);

    std::string path_; // the Unix socket's file, removed on destruction
    std::string error_;
    std::uint16_t port_ = 0;
    serial::Fd fd_;
};

} // namespace qkr::sim
