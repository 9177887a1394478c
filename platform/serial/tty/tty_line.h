// A real serial port as the far end of the serial port stand-in: a Linux tty (/dev/ttyS0,
// /dev/ttyUSB0, a pseudo-terminal slave such as /dev/pts/3) behind the LineBackend interface, so
// the driver talks to real hardware unchanged.
//
// Using it
//  - Real time only. A tty moves bytes on the wall clock, so the kernel stand-in must run with
//    ClockMode::Real; under the virtual clock the driver's time-outs would mean nothing, and
//    open() refuses.
//  - Permissions: the user needs read and write access to the device. On Debian and most
//    distributions serial ports belong to the group `dialout` (`sudo usermod -aG dialout $USER`,
//    then log in again). USB adapters appear as /dev/ttyUSB<n> or /dev/ttyACM<n>; the stable names
//    under /dev/serial/by-id/ work too.
//  - The port is held exclusively while open (an advisory flock plus TIOCEXCL): a second user
//    gets open() == false with a "busy" message instead of a corrupted exchange.
//  - Line settings: raw 8-bit mode, no echo, no flow control of any kind (the reader needs none),
//    receiver on, modem-control hang-ups ignored (CLOCAL). Speeds: the termios speeds from 1200
//    to 115200 bit/s (1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200). The reader
//    starts at 19200 8N1. Word length 5 to 8, parity none/odd/even/mark/space, 1 or 2 stop bits.
//  - Modem lines: CTS (a card in slot 0) and DSR (the reader is powered) come from the port's
//    modem status, watched with TIOCMIWAIT. A pseudo-terminal has no modem lines; then TtyLine
//    says so once through the log and takes CTS and DSR from TtyOptions::assume_cts/assume_dsr,
//    kept current, if TtyOptions::modem_socket is set, by the far end over the side channel below.
//    If open() finds the lines other than modem_lines() said before, the sink hears of it through
//    on_modem_change() right after the open.
//  - Hang-up: when the far end goes away (a USB adapter unplugged, the master side of a
//    pseudo-terminal closed, the side channel closed) the sink sees DSR drop and then
//    on_hangup(), once, so the port fails its pending requests at once.
//  - Waking a thread blocked in TIOCMIWAIT takes a signal: the first time a tty with modem lines
//    is opened, TtyLine installs a handler that does nothing for SIGRTMIN + 4 (unless the program
//    already handles that signal) and sends it only to its own modem thread.
//
// Side channel for modem lines (a tty without them, typically a pseudo-terminal whose master side
// a standalone reader simulator holds):
//  - The far end listens on a Unix-domain stream socket; TtyLine connects to it in open(), at the
//    path TtyOptions::modem_socket, and open() fails if nobody listens there.
//  - Both directions carry lines of printable ASCII, each ended by "\n" and at most 63 characters
//    before it. A line is a word, one space and a value. Unknown words, malformed lines and lines
//    that are too long are ignored (a too-long line up to its "\n"), so either side may add words.
//  - Far end to TtyLine: "CTS 1", "CTS 0", "DSR 1", "DSR 0", "RI 1", "RI 0", "DCD 1", "DCD 0".
//    The far end sends its current CTS and DSR as soon as it accepts the connection, then each
//    change. Until then (on every open) the lines stand as assume_cts/assume_dsr say.
//  - TtyLine to far end, right after connecting (DTR and RTS up, as a port's open raises them)
//    and then on each change: "DTR 1"/"DTR 0", "RTS 1"/"RTS 0", "BRK 1"/"BRK 0", and the line
//    format as "LINE <bit/s> <data bits><parity><stop bits>" with parity N, O, E, M or S, for
//    example "LINE 19200 8N1". A pseudo-terminal moves bytes whatever its speed, so this is how
//    the far end learns of a speed change.
//  - Lines TtyLine cannot send at once (the far end does not read) are dropped.
//  - End of file on the socket (the far end closed it or died) counts as a hang-up.
//
// Threads: a reader thread blocked in poll() (received bytes, the side channel, hang-up), a writer
// thread (writes what the tty cannot take at once, then tcdrain() for on_tx_empty) and, with real
// modem lines, a modem thread blocked in TIOCMIWAIT. Sink callbacks come only from these threads,
// one at a time, never inline from a call into TtyLine. The sink may call TtyLine from a callback
// (but not close() or the destructor, which join the thread it runs on). attach() from another
// thread waits for a callback in progress to end, so after attach(nullptr) the old sink hears
// nothing more; the other calls never wait for a callback. close() and the destructor stop and
// join all three threads.
#pragma once

#include "platform/serial/fd.h"
#include "platform/serial/line.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace qkr::serial {

struct TtyOptions {
    std::string path; // the device, e.g. "/dev/ttyUSB0"
    // The format set at open() until set_format() says otherwise; set_format() before open() also
    // sets it.
    LineFormat format{19200, 8, Parity::None, 1};
    // For a tty without modem lines: the state of CTS and DSR until the side channel says other.
    // modem_lines() reports them from construction on, so that a port reading them before open()
    // starts right.
    bool assume_cts = false;
    bool assume_dsr = false;
    // For a tty without modem lines: the side channel's socket path; empty for none.
    std::string modem_socket;
    // Gets each log line (without a line end), from any thread, TtyLine's own included. Empty:
    // lines go to std::clog.
    std::function<void(std::string_view line)> log;
};

class TtyLine final : public LineBackend {
  public:
    explicit TtyLine(TtyOptions options);
    ~TtyLine() override; // closes
    TtyLine(const TtyLine&) = delete;
    TtyLine& operator=(const TtyLine&) = delete;

    // The speeds supports_baud() accepts.
    static bool is_termios_speed(std::uint32_t baud);

    void attach(LinePortSink* sink) override;
    // False on failure, with the reason in last_error(). True at once if already open.
    bool open() override;
    void close() override;
    bool is_open() const;
    bool supports_baud(std::uint32_t baud) const override;
    // A format the tty refuses is logged and leaves the previous one in force. A character framing
    // the tty cannot do itself (a pseudo-terminal has none) is logged and kept as the line's
    // format, which the side channel announces.
    void set_format(const LineFormat& format) override;
    LineFormat format() const override;
    void transmit(std::span<const std::uint8_t> bytes) override;
    // Bytes not yet handed to the tty plus the tty's own output queue.
    std::size_t tx_queued() const override;
    void purge_tx() override;
    void set_dtr(bool on) override;
    void set_rts(bool on) override;
    void set_break(bool on) override;
    ModemLines modem_lines() const override;

    // Why the last open() failed, naming the port and the system's reason; empty after success.
    std::string last_error() const;
    // Whether the tty itself has modem lines (known after open()).
    bool has_modem_lines() const;

  private:
    void reader_loop(int tty_fd, int stop_fd, int sock_fd);
    void writer_loop(int tty_fd, int stop_fd, int wake_fd);
    void modem_loop(int tty_fd);
    bool read_tty(int tty_fd);
    bool read_socket(int sock_fd);
    void take_side_channel_line(std::string_view line);
    void hang_up(std::string_view why);
    void set_lines(const ModemLines& lines);
    void send_side_channel(std::string_view line); // needs mutex_
    void send_state_to_side_channel();             // needs mutex_
    void set_modem_bit(int bit, bool on, const char* word);
    void log(std::string message) const;
    // open()'s steps once the tty is open: the descriptors become the line's (returns whether the
    // modem lines changed), the log hears where CTS and DSR come from, the threads start.
    bool take_over(Fd tty, Fd sock, Fd stop, Fd wake, bool modem, int bits);
    void log_line_source(const std::string& note, bool modem, bool side_channel) const;
    void start_threads(bool announce, bool modem);
    void stop_threads();
    void release_fds();
    bool on_own_thread() const;

    // Sink calls, made one at a time with delivery_mu_ held (recursive, so that attach() from a
    // callback works); mutex_ is never held while they run.
    template <typename Fn>
    void deliver(Fn&& fn);

    const TtyOptions options_;

    mutable std::recursive_mutex delivery_mu_;
    LinePortSink* sink_ = nullptr; // guarded by delivery_mu_

    std::mutex lifecycle_mu_; // serialises open() and close()

    mutable std::mutex mutex_; // everything below
    std::condition_variable tx_cv_;
    Fd fd_;
    Fd sock_fd_;
    Fd stop_fd_; // eventfd, readable once the threads are to stop
    Fd wake_fd_; // eventfd, wakes the writer after a purge
    bool stopping_ = false;
    bool hung_up_ = false;
    bool has_modem_lines_ = false;
    LineFormat format_;
    ModemLines lines_;
    bool dtr_ = false;
    bool rts_ = false;
    std::deque<std::uint8_t> tx_queue_;
    std::uint64_t tx_generation_ = 0; // counts transmit() and purge_tx() calls
    std::uint64_t purges_ = 0;        // counts purge_tx() calls and hang-ups
    bool tx_empty_due_ = false;       // bytes were queued and their drain is not yet reported
    std::string last_error_;
    std::string sock_buffer_; // the side channel's partial line (reader thread only)
    bool sock_discarding_ = false;

    std::mutex modem_exit_mu_;
    std::condition_variable modem_exit_cv_;
    bool modem_exited_ = false;

    std::thread reader_;
    std::thread writer_;
    std::thread modem_;
};

} // namespace qkr::serial
