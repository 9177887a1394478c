// The serial port driver stand-in: the lower driver a reader driver attaches above and sends every
// byte through. It owns a driver object and a device object attached to a PDO, serves the
// platform's serial requests (open and close, buffered reads and writes, the IOCTL_SERIAL_ codes
// of ntddser.h, Plug and Play and power pass-through) over a LineBackend, and offers tests a tap
// and fault injection.
//
// Requests that a real port would hold (reads waiting for bytes, wait-on-mask) pend and can be
// cancelled; a write completes as soon as its bytes are queued to the transmitter. A request that
// pended completes from the port's DPC, at DISPATCH_LEVEL, as a real port completes it; one that
// is answered at once completes in its dispatch routine.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/serial/line.h"
#include "platform/serial/ntddser.h"
#include "platform/serial/tap.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace qkr::serial {

// Which requests a fault applies to.
struct RequestKind {
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    ULONG code = 0; // for device control requests only
    static RequestKind control(ULONG code) { return {IRP_MJ_DEVICE_CONTROL, code}; }
    static RequestKind read() { return {IRP_MJ_READ, 0}; }
    static RequestKind write() { return {IRP_MJ_WRITE, 0}; }
    bool operator==(const RequestKind&) const = default;
};

// Faults for the failure paths of the driver above. Counting starts when a fault is set.
class Faults {
  public:
    // The nth request of `kind` from now on (1 = the next one), and the `times - 1` after it, fail
    // at once with `status` and take no effect.
    void fail_nth(RequestKind kind, int n, NTSTATUS status, int times = 1);
    // The nth request of `kind` from now on pends until it is cancelled (or a purge or close
    // aborts it), and takes no effect.
    void pend_nth(RequestKind kind, int n, int times = 1);
    // Every wait-on-mask completes at once with `status` until clear().
    void fail_waits(NTSTATUS status);
    void clear();

    enum class Action { None, Fail, Pend };
    struct Decision {
        Action action = Action::None;
        NTSTATUS status = STATUS_SUCCESS;
    };
    // For the port: counts one request of `kind` and says what to do with it.
    Decision on_request(RequestKind kind);
    std::optional<NTSTATUS> wait_fault();

  private:
    struct Rule {
        RequestKind kind;
        int skip;  // matching requests still to let through
        int times; // matching requests still to hit after that
        Action action;
        NTSTATUS status;
    };
    std::mutex mutex_;
    std::vector<Rule> rules_;
    std::optional<NTSTATUS> wait_status_;
};

class SerialPort final : private LinePortSink {
    struct Key {};

  public:
    // Loads a driver object for the port, creates its device and attaches it above `pdo`. The
    // line must outlive the port. Returns nullptr when the kernel refuses a step.
    static std::unique_ptr<SerialPort> create(kern::Kernel& kernel, PDEVICE_OBJECT pdo,
                                              LineBackend& line);
    SerialPort(Key, kern::Kernel& kernel, LineBackend& line);
    // Aborts whatever is pending, detaches and deletes the device and unloads the driver. Whatever
    // was attached above must be gone by then.
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // The port's device object: what a driver above attaches to.
    PDEVICE_OBJECT device() const { return device_; }
    Tap& tap() { return tap_; }
    Faults& faults() { return faults_; }

    // What the port looks like from inside, for tests and tools.
    struct Snapshot {
        bool open = false;
        ULONG wait_mask = 0;
        ULONG history = 0; // events seen since the mask was set or the last wait completed
        bool wait_pending = false;
        std::size_t reads_pending = 0;
        std::size_t held_pending = 0; // requests held by pend_nth
        std::size_t rx_queued = 0;
        bool dtr = false;
        bool rts = false;
        bool break_on = false;
        LineFormat format;
        SERIAL_TIMEOUTS timeouts{};
        SERIAL_HANDFLOW handflow{};
        SERIAL_CHARS chars{};
    };
    Snapshot snapshot() const;
    // Size of the receive queue; characters beyond it are lost (SERIAL_ERROR_QUEUEOVERRUN).
    void set_rx_capacity(std::size_t bytes);

  private:
    struct Pending {
        PIRP irp = nullptr;
        Tap::Id tap = Tap::kNone;
        UCHAR major = 0;
        bool armed = false;      // our cancel routine is installed
        bool cancelling = false; // the cancel routine owns it and will take it out
    };
    enum class ReadMode { Normal, Immediate, FirstByte };
    struct PendingRead : Pending {
        std::uint64_t serial = 0;
        ULONG length = 0;
        ULONG done = 0;
        bool started = false;
        ReadMode mode = ReadMode::Normal;
        ULONG interval_ms = 0; // 0: none
        kern::Kernel::TimerId total_timer = 0;
        kern::Kernel::TimerId interval_timer = 0;
        std::uint64_t total_generation = 0;
        std::uint64_t interval_generation = 0;
    };
    struct Completion {
        PIRP irp;
        Tap::Id tap;
        NTSTATUS status;
        ULONG_PTR information;
    };
    using Completions = std::vector<Completion>;
    // A change the dispatch routine hands to the line once the lock is released.
    struct LineChange {
        std::optional<LineFormat> format;
        std::optional<bool> dtr;
        std::optional<bool> rts;
        std::optional<bool> brk;
        bool purge_tx = false;
    };

    static NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
    static void driver_unload(PDRIVER_OBJECT driver);
    static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp);
    static void cancel_routine(PDEVICE_OBJECT device, PIRP irp);
    static void completion_dpc(PKDPC dpc, PVOID context, PVOID, PVOID);

    NTSTATUS handle(PIRP irp);
    NTSTATUS pass_down(PIRP irp, bool power);
    NTSTATUS complete(PIRP irp, Tap::Id tap, NTSTATUS status, ULONG_PTR information);
    // Hands requests that pended to the completion DPC.
    void finish(Completions& done);
    void run_completions();
    NTSTATUS on_create(PIRP irp, Tap::Id tap);
    NTSTATUS on_close(PIRP irp, Tap::Id tap);
    NTSTATUS on_read(PIRP irp, Tap::Id tap);
    NTSTATUS on_write(PIRP irp, Tap::Id tap);
    NTSTATUS on_control(PIRP irp, Tap::Id tap);
    struct Control;
    struct Controls; // the control codes' handlers, a row each
    NTSTATUS on_wait(PIRP irp, Tap::Id tap);
    NTSTATUS on_set_wait_mask(PIRP irp, Tap::Id tap, ULONG mask);
    NTSTATUS hold(PIRP irp, Tap::Id tap, UCHAR major);
    void apply(const LineChange& change);
    void on_cancel(PIRP irp);
    void on_read_timer(std::uint64_t serial, bool total, std::uint64_t generation);
    void expire_read(std::uint64_t serial, bool total, std::uint64_t generation, Completions& done);
    void arm_read_timer(PendingRead& read, bool total, std::uint64_t milliseconds);
    void leave_callback(); // the last thing a timer callback or cancel routine does

    // Under the lock.
    bool claim(Pending& p);
    bool arm_cancel(Pending& p);
    void signal(ULONG events, Completions& done);
    void service_reads(Completions& done);
    void start_read(PendingRead& read);
    void cancel_read_timers(PendingRead& read);
    void abort(bool reads, bool writes, bool others, NTSTATUS status, Completions& done);
    LineChange apply_handflow_lines();

    // LinePortSink: from the line's timer callbacks.
    void on_receive(std::span<const std::uint8_t> bytes) override;
    void on_tx_empty() override;
    void on_modem_change(ModemLines lines) override;
    void on_hangup() override;

    kern::Kernel& kernel_;
    LineBackend& line_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    Tap tap_;
    Faults faults_;

    mutable kern::Mutex mutex_;
    // Timer callbacks, cancel routines and the completion DPC not yet finished; the destructor
    // waits for none.
    int callbacks_ = 0;
    KDPC dpc_{};
    bool dpc_armed_ = false; // queued or running; `deferred_` is its work
    Completions deferred_;
    kern::Condition quiet_;
    bool open_ = false;
    // The far end hung up for good (a tty whose other side closed); cleared by the next open.
    std::atomic<bool> hung_up_{false};
    std::deque<std::uint8_t> rx_;
    std::size_t rx_capacity_ = 4096;
    ULONG errors_ = 0;
    ULONG wait_mask_ = 0;
    ULONG history_ = 0;
    std::optional<Pending> wait_;
    std::deque<PendingRead> reads_;
    std::vector<Pending> held_;
    std::uint64_t read_serial_ = 0;
    ModemLines lines_;
    bool dtr_ = false;
    bool rts_ = false;
    bool break_ = false;
    LineFormat format_;
    SERIAL_TIMEOUTS timeouts_{};
    SERIAL_HANDFLOW handflow_{};
    SERIAL_CHARS chars_{};
    ULONG queue_in_ = 4096;
    ULONG queue_out_ = 4096;
};

} // namespace qkr::serial
