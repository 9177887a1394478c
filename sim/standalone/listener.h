// A Unix-domain listening socket for the standalone program's control and modem sockets. Only its
// owner may connect (the socket file is mode 0600 from the moment it exists), and the file is
// removed again when the listener goes.
#pragma once

#include <string>

namespace qkr::sim {

class UnixListener {
  public:
    UnixListener() = default;
    ~UnixListener();
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;

    // Listens at `path`, taking the place of a socket left there by an earlier run (never of a
    // file of another kind); false with error().
    bool open(const std::string& path);
    int fd() const { return fd_; }
    // The next waiting connection, non-blocking; -1 when none is waiting.
    int accept() const;
    const std::string& error() const { return error_; }

  private:
    std::string path_;
    std::string error_;
    int fd_ = -1;
};

} // namespace qkr::sim
