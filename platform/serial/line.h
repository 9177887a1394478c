// The serial line between the port driver stand-in and whatever is at the far end.
//
// The port side (SerialPort) talks to a LineBackend: the simulated line (SimLine) or a real tty.
// The far end of a simulated line (the reader simulator) implements LineDevice and talks back
// through the DeviceSide handle the line gives it.
//
// All callbacks in both directions run in kernel timer context (DISPATCH_LEVEL, never waiting) or,
// for a real tty, on the back-end's own thread; none is ever made inline from a call in the other
// direction, so neither side can re-enter itself through the line.
#pragma once

#include <cstdint>
#include <span>

namespace qkr::serial {

enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };

struct LineFormat {
    std::uint32_t baud = 9600;
    std::uint8_t data_bits = 8;
    Parity parity = Parity::None;
    std::uint8_t stop_bits = 1; // 1 or 2 (1.5 counts as 2)
    // Bit times one character takes on the wire: start + data + parity + stop.
    unsigned bits_per_char() const {
        return 1u + data_bits + (parity == Parity::None ? 0u : 1u) + stop_bits;
    }
    bool operator==(const LineFormat&) const = default;
};

struct ModemLines {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
    bool operator==(const ModemLines&) const = default;
};

// Implemented by the port driver: what arrives from the line.
class LinePortSink {
  public:
    virtual ~LinePortSink() = default;
    virtual void on_receive(std::span<const std::uint8_t> bytes) = 0;
    // The transmit queue has drained: the last byte has left.
    virtual void on_tx_empty() = 0;
    virtual void on_modem_change(ModemLines lines) = 0;
    // The far end is gone for good (a tty hung up): pending requests should fail.
    virtual void on_hangup() {}
};

// Implemented by each line back-end; used by the port driver.
class LineBackend {
  public:
    virtual ~LineBackend() = default;
    virtual void attach(LinePortSink* sink) = 0; // nullptr detaches
    virtual bool open() = 0;                     // false if the line cannot be used
    virtual void close() = 0;
    virtual bool supports_baud(std::uint32_t baud) const = 0;
    virtual void set_format(const LineFormat& format) = 0;
    virtual LineFormat format() const = 0;
    // Queues bytes for transmission; they leave at the line's speed.
    virtual void transmit(std::span<const std::uint8_t> bytes) = 0;
    virtual std::size_t tx_queued() const = 0;
    virtual void purge_tx() = 0;
    virtual void set_dtr(bool on) = 0;
    virtual void set_rts(bool on) = 0;
    virtual void set_break(bool on) = 0;
    virtual ModemLines modem_lines() const = 0;
};

// The far end's view of a simulated line.
class DeviceSide {
  public:
    virtual ~DeviceSide() = default;
    // Queues bytes towards the host at the device's own line speed.
    virtual void send(std::span<const std::uint8_t> bytes) = 0;
    virtual std::size_t tx_queued() const = 0;
    virtual void set_format(const LineFormat& format) = 0; // the device's own UART setting
    virtual LineFormat format() const = 0;
    virtual void set_cts(bool on) = 0;
    virtual void set_dsr(bool on) = 0;
    virtual bool dtr() const = 0;
    virtual bool rts() const = 0;
};

// Implemented by the far end of a simulated line (the reader simulator).
class LineDevice {
  public:
    virtual ~LineDevice() = default;
    virtual void connect(DeviceSide* side) = 0; // nullptr disconnects
    // One character from the host. `garbled` is true when the two ends disagreed on the format
    // while it travelled; `byte` then holds the deterministic garbage the device's UART saw.
    virtual void on_byte(std::uint8_t byte, bool garbled) = 0;
    virtual void on_host_lines(bool dtr, bool rts, bool brk) = 0;
    // Everything queued towards the host has left.
    virtual void on_tx_empty() {}
};

} // namespace qkr::serial
