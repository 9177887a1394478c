// One reader driven the way a person drives it from the tool: the driver loaded over a simulated
// reader (or a real port), and one call per thing a person can ask of it.
#pragma once

#include "platform/kernel/nt.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace qkr::tool {

// What one command gave: a status and, on success, the text to print after "ok".
struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    std::string text;
    bool ok() const { return status == STATUS_SUCCESS; }
};

struct SessionOptions {
    std::string port = "sim"; // "sim" or a tty path
    bool real_time = false;   // the simulator on the real clock (a tty path always is)
    // A tty without modem lines (a pseudo-terminal): CTS and DSR as given until the far end says
    // otherwise over the side channel at modem_socket, if any.
    std::string modem_socket;
    bool assume_cts = false;
    bool assume_dsr = false;
    std::string card = "t1"; // slot-0 card of the simulator ("none" for an empty slot)
    std::string firmware = "0016";
    std::uint64_t seed = 1;
    bool trace = false;          // every DbgPrint line to `log`
    bool wire = false;           // every byte on the line to `log`
    bool timestamps = false;     // prefix `log` lines with the clock
    bool timeline = false;       // keep the line's bytes and the log lines for write_timeline()
    std::ostream* log = nullptr; // standard error by default
};

class Session {
  public:
    explicit Session(SessionOptions options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Plug and Play
    Outcome start();
    Outcome stop();
    Outcome restart();
    Outcome remove_device();
    // The simulated slot-0 card
    Outcome insert(const std::string& card);
    Outcome remove_card();
    // Card requests; slot 0 goes through device control, slot 1 through internal device control
    Outcome power(ULONG minor, int slot);
    Outcome protocol(ULONG mask, int slot);
    Outcome apdu(std::span<const std::uint8_t> command, int slot,
                 std::vector<std::uint8_t>* response = nullptr);
    Outcome state(int slot);
    Outcome attribute(ULONG id, int slot, std::vector<std::uint8_t>* value = nullptr);
    Outcome wait(bool present, double seconds);
    Outcome reader_info(int slot);
    Outcome memory(std::span<const std::uint8_t> command, int slot);
    Outcome baud(unsigned code, int slot);
    // System power
    Outcome sleep();
    Outcome wake();
    // Virtual time
    Outcome advance(double seconds);
    // Simulator faults: the words after "fault"
    Outcome fault(const std::vector<std::string>& words);

    // The session so far as an SVG picture (see timeline.h) in `path`; false if it cannot be
    // written.
    bool write_timeline(const std::string& path, const std::string& title);

    // Seconds on the session's clock.
    double now() const;
    // The started reader's firmware version and reader information, for `info`.
    std::string describe_reader();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qkr::tool
