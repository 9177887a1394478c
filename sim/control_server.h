// Serves a control socket: one command a line from every client at once, each answered with one
// line, none of the clients able to hold up the others or the server's end. qkr-sim and the PC/SC
// handler serve the simulator's command language (sim/control.h) through it.
//
// A line over kMaxLine is answered "error line too long" as soon as it is that long, and none of
// it is run; a client that leaves kMaxUnread bytes of answers unread is dropped; beyond
// kMaxClients the client connected longest is closed, so that no number of idle clients can shut
// out a new one.
#pragma once

#include "platform/serial/fd.h"
#include "sim/listener.h"

#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <string_view>

namespace qkr::sim {

class ControlServer {
  public:
    static constexpr std::size_t kMaxLine = 1024;
    static constexpr std::size_t kMaxUnread = 64 * 1024;
    static constexpr std::size_t kMaxClients = 32;

    using Execute = std::function<std::string(std::string_view line)>;

    ControlServer(const Listener& listener, Execute execute)
        : listener_(listener), execute_(std::move(execute)) {}
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Serves until `stop_fd` becomes readable, or until stop() (from a command).
    void run(int stop_fd);
    void stop() { quit_ = true; }

  private:
    struct Client {
        serial::Fd fd;
        std::string in;
        std::string out;
        bool overlong = false; // inside a line that was too long, up to its end
        bool eof = false;      // the client sent its last byte: answer, then close
        bool dead = false;
    };

    void accept_all();
    void serve(Client& c, short revents);
    void take(Client& c, std::string_view bytes);
    void answer(Client& c, const std::string& text);
    static void flush(Client& c);

    const Listener& listener_;
    Execute execute_;
    std::list<Client> clients_;
    bool quit_ = false;
};

} // namespace qkr::sim
