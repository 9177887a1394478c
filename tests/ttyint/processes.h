// Child processes for the end-to-end tests: a program with its standard input and output on
// pipes, read line by line against a deadline, and the simulator's control socket.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qkr::ttyint {

using Clock = std::chrono::steady_clock;

class Child {
  public:
    // Starts `program` with `args`; standard error goes to `stderr_path` if given (else it is
    // inherited).
    Child(const std::string& program, const std::vector<std::string>& args,
          const std::string& stderr_path = {});
    ~Child(); // kills the child if it still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    bool send_line(const std::string& line);
    void close_input();
    // The next line of standard output, or nothing if none came within `timeout` or the output
    // ended.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    void kill_now(); // SIGKILL
    // The exit status (or 128 + signal), or nothing if the child has not ended within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::optional<int> status_;
};

// One command on a Unix-domain control socket and its one-line answer; empty on failure.
std::string control(const std::string& socket_path, const std::string& command);

// A fresh path under the temporary directory for this process's sockets and logs.
std::string temp_path(const std::string& name);

// The whole content of a file, or empty.
std::string read_file(const std::string& path);

} // namespace qkr::ttyint
