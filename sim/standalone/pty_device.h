// A simulated reader on a pseudo-terminal, for programs that open a real serial port: the
// pseudo-terminal's slave side is the port, its master side the reader's UART. A pseudo-terminal
// has no modem lines, so CTS and DSR (and the host's DTR, RTS, break and line format) travel over
// a Unix-domain socket the tty back-end connects to: lines of text, "CTS 1", "DSR 0" from here,
// "DTR 1", "RTS 0", "BRK 0", "LINE 19200 8N1" from there.
//
// One host at a time: a second connection to the side channel is closed at once, and the first
// one keeps its session.
//
// Bytes from the host arrive garbled while its line format (as the side channel last said)
// differs from the reader's, as on a real line.
#pragma once

#include "platform/serial/fd.h"
#include "platform/serial/line.h"
#include "sim/listener.h"
#include "sim/reader.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace qkr::sim {

class PtyDevice : public serial::DeviceSide {
  public:
    // `modem_socket`: where to listen for the tty back-end's side channel.
    PtyDevice(ReaderSim& reader, std::string modem_socket);
    ~PtyDevice() override; // disconnects the reader, stops the thread, removes the socket
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // Creates the pseudo-terminal and the socket and connects the reader; false with error().
    bool open();
    const std::string& slave_path() const { return slave_path_; }
    const std::string& modem_socket() const { return modem_path_; }
    const std::string& error() const { return error_; }
    // The host's line format as the side channel last gave it.
    serial::LineFormat host_format() const;

    // serial::DeviceSide, called by the reader from timer context.
    void send(std::span<const std::uint8_t> bytes) override;
    std::size_t tx_queued() const override;
    void set_format(const serial::LineFormat& format) override;
    serial::LineFormat format() const override;
    void set_cts(bool on) override;
    void set_dsr(bool on) override;
    bool dtr() const override;
    bool rts() const override;

  private:
    void run();
    // Takes in what the host has sent on the side channel; closes it at its end.
    void read_modem();
    void flush_locked();
    void tell_locked(const std::string& line);
    void host_line(std::string_view line);

    ReaderSim& reader_;
    std::string modem_path_;
    std::string slave_path_;
    std::string error_;
    serial::Fd master_;
    serial::Fd slave_keep_; // keeps the master from seeing a hang-up while no one has the port open
    Listener listen_;
    serial::Fd modem_;
    serial::WakePipe wake_;
    mutable std::mutex mutex_;
    std::string out_; // bytes the pseudo-terminal could not take yet
    static constexpr std::size_t kMaxModemLine = 64;
    std::string modem_in_; // the run thread's own, as is the flag
    bool modem_overlong_ = false;
    serial::LineFormat device_format_;
    serial::LineFormat host_format_;
    bool host_format_known_ = false;
    bool cts_ = false;
    bool dsr_ = false;
    bool dtr_ = false;
    bool rts_ = false;
    bool brk_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace qkr::sim
