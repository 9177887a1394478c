// A whole reader stack in one process, for tests, benchmarks, fuzz targets and tools: the kernel
// stand-in with the qkr driver loaded, and up to four readers, each a physical device with a serial
// port on a simulated line and the reader simulator at the far end of that line.
//
//   qkr::host::Host host;                 // virtual clock unless told otherwise
//   qkr::host::Reader& reader = host.add_reader();
//   ASSERT_EQ(reader.add(), STATUS_SUCCESS);
//   ASSERT_EQ(reader.start(), STATUS_SUCCESS);
//   kern::FileHandle handle = reader.open();
//   reader.ioctl(handle, IOCTL_SMARTCARD_POWER, ...);
//
// Readers belong to their Host and go away with it, in reverse order; a reader whose device is
// still there is removed first (IRP_MN_REMOVE_DEVICE), so the kernel's end-of-life checks see a
// clean pool.
#pragma once

#include "driver/driver.h"
#include "platform/kernel/kernel.h"
#include "platform/serial/serial_port.h"
#include "platform/serial/sim_line.h"
#include "platform/serial/tap.h"
#include "platform/serial/tty/tty_line.h"
#include "sim/reader.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qkr::host {

struct ReaderOptions {
    sim::ReaderConfig sim;          // firmware version, slot-0 card, timing ...
    std::string name;               // names the PDO; "reader<N>" by default
    bool tap = true;                // record the port's requests and the line's bytes
    serial::LineFormat line{19200}; // both ends of the line at first; the reader's UART included
    // Something else at the far end of the line in place of the simulator (a test's scripted
    // reader, say); it must outlive the Reader. sim() is then not available.
    serial::LineDevice* device = nullptr;
    // A real serial port in place of the simulated line and the simulator: the Reader opens
    // tty.path into a TtyLine of its own when the driver opens the port (at the start). The Host
    // must run on the real clock. line() and sim() are then not available, and the line's bytes are
    // not tapped. A port that cannot be opened fails start() and says why in line_error().
    std::optional<serial::TtyOptions> tty;
};

class Host;

class Reader {
  public:
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader();

    // ----- Plug and Play: each waits for the driver's answer -----
    NTSTATUS add(); // the driver's AddDevice on this reader's PDO
    NTSTATUS start();
    NTSTATUS stop();
    NTSTATUS remove();
    NTSTATUS query_stop();
    NTSTATUS cancel_stop();
    NTSTATUS query_remove();
    NTSTATUS cancel_remove();
    NTSTATUS surprise_removal();
    NTSTATUS pnp(UCHAR minor);
    bool added() const { return added_; }
    // Started by the last start, and not stopped or removed since (Plug and Play starts a
    // device only from the added or stopped state).
    bool started() const { return started_; }
    // Whether the reader answered either start-up query (its type, its card status) in the last
    // start. The driver starts a device whose reader stays silent all the same, so this is what
    // tells a reader that is not there.
    bool start_answered() const { return start_answered_; }

    // ----- The pieces -----
    kern::Kernel& kernel();
    PDEVICE_OBJECT pdo() const { return pdo_; }
    // The driver's device object, or nullptr before add() and after remove().
    PDEVICE_OBJECT fdo() const;
    serial::SerialPort& port() { return *port_; }
    serial::SimLine& line();
    // With a real port: why the last open of it failed, naming the port; empty otherwise.
    std::string line_error() const;
    // The port's requests and the line's bytes, in one record.
    serial::Tap& tap() { return port_->tap(); }
    sim::ReaderSim& sim();

    // ----- The simulator at the far end -----
    // Its state belongs to the kernel's timer context: runs `fn` on it there and waits for it.
    // Everything that acts on the simulator while the stack runs comes through here.
    void act_on_sim(const std::function<void(sim::ReaderSim&)>& fn);

    // ----- Clients -----
    // Opens the driver's device (IRP_MJ_CREATE); the handle reports the status of the open.
    kern::FileHandle open();
    NTSTATUS open(kern::FileHandle* handle);
    // Slot 0 (device control) and slot 1 (internal device control) on an open handle.
    NTSTATUS ioctl(kern::FileHandle& handle, ULONG code, std::span<const std::uint8_t> input,
                   std::vector<std::uint8_t>* output, ULONG output_length = 0);
    NTSTATUS ioctl_slot1(kern::FileHandle& handle, ULONG code, std::span<const std::uint8_t> input,
                         std::vector<std::uint8_t>* output, ULONG output_length = 0);
    // The same on a handle of its own, opened and closed around the call.
    NTSTATUS ioctl(ULONG code, std::span<const std::uint8_t> input,
                   std::vector<std::uint8_t>* output, ULONG output_length = 0);
    NTSTATUS ioctl_slot1(ULONG code, std::span<const std::uint8_t> input,
                         std::vector<std::uint8_t>* output, ULONG output_length = 0);

    // ----- The reader's presence, as Plug and Play notices tell it -----
    // The driver disables the reader's interfaces when the reader loses power (DSR), and then
    // completes nothing it holds parked. `gone` runs in the thread that disabled them, outside
    // the kernel's locks, until the returned watch ends; it may still run once as it ends, so
    // it must not refer to anything shorter-lived than itself.
    class GoneWatch {
      public:
        GoneWatch() = default;
        GoneWatch(kern::Kernel& kernel, std::uint64_t id) : kernel_(&kernel), id_(id) {}
        GoneWatch(GoneWatch&& other) noexcept { *this = std::move(other); }
        GoneWatch& operator=(GoneWatch&& other) noexcept;
        ~GoneWatch() { end(); }
        void end();

      private:
        kern::Kernel* kernel_ = nullptr;
        std::uint64_t id_ = 0;
    };
    [[nodiscard]] GoneWatch watch_gone(std::function<void()> gone);
    // Whether the driver has disabled the reader's interfaces (also true before a start).
    bool interfaces_disabled();
    // A started device whose reader lost power: the driver closed the port and disabled the
    // interfaces, and nothing opens the port again until the next start.
    bool power_lost();
    // Once the reader has power again, makes such a device usable as Plug and Play would: a stop
    // and a start. STATUS_SUCCESS when there was nothing to do or the restart worked;
    // STATUS_DEVICE_NOT_CONNECTED while the line still shows no power (a real port cannot tell
    // until it is opened, so it is always tried) or when the new start got no answer; otherwise
    // the stop's or the start's status.
    NTSTATUS restart_after_power_loss();

    // ----- For tests of the serial link without a start -----
    // Opens the serial port below the driver the way the start does (IRP_MJ_CREATE through
    // Qkr_CallLowerDriver) and, if asked, configures it (Qkr_ConfigureSerialPort, 3 s of virtual
    // time). Returns the first failing status.
    NTSTATUS open_port(bool configure = true);
    // Closes it again (Qkr_CloseSerialPort), as the stop does when tracking is not armed.
    void close_port();

  private:
    friend class Host;
    friend struct DriverRecords;
    Reader(Host& host, ReaderOptions options, int index);
    DEVICE_EXTENSION* extension() const;
    SMARTCARD_EXTENSION* slot(int n) const; // 0 or 1
    READER_EXTENSION* reader_extension(int n) const;

    Host& host_;
    int index_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::unique_ptr<serial::SimLine> line_;
    std::unique_ptr<serial::TtyLine> tty_; // in place of line_ and sim_ on a real port
    std::unique_ptr<serial::SerialPort> port_;
    std::unique_ptr<sim::ReaderSim> sim_;
    bool added_ = false;
    // Written by Plug and Play requests, read by whichever client thread asks after the power.
    std::atomic<bool> started_{false}; // by the last start, until a stop or removal
    // The stop or removal query accepted and not cancelled yet, or the surprise removal, as its
    // minor function; -1 when none.
    std::atomic<int> query_{-1};
    std::atomic<bool> was_started_{false}; // since add(): its removal is preceded by a query
    std::atomic<bool> start_answered_{false};
    kern::Mutex restart_mu_; // one restart at a time, whichever slot's client asks
};

// The driver's own records of a reader's device (nullptr before add() and after remove()), for
// the tests and the explorer that look past what a client can see and for the tool's description
// of the reader: the one way into the driver's memory from outside it; all else goes by request.
struct DriverRecords {
    static DEVICE_EXTENSION* device(const Reader& reader) { return reader.extension(); }
    static SMARTCARD_EXTENSION* slot(const Reader& reader, int n) { return reader.slot(n); }
    static READER_EXTENSION* reader(const Reader& reader, int n) {
        return reader.reader_extension(n);
    }
};

class Host {
  public:
    static constexpr int kMaxReaders = 4;

    // `trace`, if given, hears every line the driver prints, from its load to its unload.
    // `schedule` puts every thread of the stack under a controlled schedule (virtual clock only).
    explicit Host(kern::ClockMode mode = kern::ClockMode::Virtual,
                  std::function<void(std::string_view line)> trace = {},
                  kern::ScheduleOptions schedule = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    kern::Kernel& kernel() { return *kernel_; }
    PDRIVER_OBJECT driver() const { return driver_; }

    // A new reader: PDO, line, port and simulator; its device is not added yet.
    Reader& add_reader(ReaderOptions options = {});
    // Removes its device if needed and releases everything of it.
    void release_reader(Reader& reader);
    std::size_t readers() const;

    // Log lines the driver wrote (DbgPrint), and forgetting them.
    std::vector<std::string> log() const { return kernel_->debug_lines(); }
    void clear_log() { kernel_->clear_debug_lines(); }

  private:
    std::function<void(std::string_view)> trace_;
    std::unique_ptr<kern::Kernel> kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Reader>> readers_;
    int next_index_ = 0;
};

// The buffers of the standard control codes, as clients build and read them.
// A ULONG argument (a power code, a protocol mask, an attribute id).
std::vector<std::uint8_t> ulong_input(ULONG value);
// An IOCTL_SMARTCARD_TRANSMIT input: the SCARD_IO_REQUEST header, then the command.
std::vector<std::uint8_t> transmit_input(ULONG protocol, std::span<const std::uint8_t> command);
// The response part of a transmit output: what follows the header the library put in front.
std::vector<std::uint8_t> transmit_response(const std::vector<std::uint8_t>& output);

// A client of one slot of an open handle: slot 0 through device control, slot 1 through internal
// device control, with the standard requests' buffers built and their answers unpacked.
class SlotClient {
  public:
    using Data = std::vector<std::uint8_t>;

    SlotClient(Reader& reader, kern::FileHandle& handle, int slot)
        : reader_(&reader), handle_(&handle), slot_(slot) {}

    NTSTATUS call(ULONG code, const Data& input, Data* output, ULONG output_length);
    NTSTATUS power(ULONG minor, Data* atr = nullptr, ULONG room = 64);
    // `*selected` is the protocol the driver reports, or 0xFFFFFFFF when it reported none.
    NTSTATUS set_protocol(ULONG accepted, ULONG* selected = nullptr);
    // One APDU; `*response` is what follows the protocol header in the output.
    NTSTATUS transmit(ULONG protocol, const Data& apdu, Data* response, ULONG room = 600);
    // The reader's own control codes.
    NTSTATUS vendor(ULONG code, const Data& input, Data* output, ULONG room = 64) {
        return call(code, input, output, room);
    }
    // The card state, or 0xFFFFFFFF when it could not be read.
    ULONG state();
    // A card-tracking request (IS_PRESENT or IS_ABSENT), left to complete in its own time.
    kern::PendingIo park(ULONG tracking_code);
    int slot() const { return slot_; }

  private:
    Reader* reader_;
    kern::FileHandle* handle_;
    int slot_;
};

} // namespace qkr::host
