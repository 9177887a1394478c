// The kernel stand-in's private state, shared by its translation units. Nothing outside
// platform/kernel includes this.
//
// One mutex (`mu`, the dispatcher lock) guards every piece of state below. No driver callback (DPC,
// completion routine, work item, cancel routine, timer callback) and no verifier handler is ever
// called while it is held.
#pragma once

#include "platform/kernel/kernel.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

struct IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject = nullptr;
    PIO_WORKITEM_ROUTINE Routine = nullptr;
    PVOID Context = nullptr;
    bool Queued = false;
};

namespace qkr::kern {

// A thread the clock knows about.
struct ThreadRec {
    ThreadRec(std::string n, std::uint32_t i) : name(std::move(n)), id(i) {}
    std::string name;
    std::uint32_t id;     // creation order: the controlled scheduler's stable handle
    bool blocked = false; // in a kernel wait
    // Controlled schedule: this thread may run only while it holds the turn.
    std::condition_variable turn_cv;
    std::uint64_t priority = 0; // Pct
    struct ThreadCpu* cpu = nullptr;
};

// One blocked kernel wait. Lives on the waiting thread's stack.
struct WaitBlock {
    const void* object = nullptr; // KEVENT or KTIMER; null for a plain delay
    const char* label = "";       // what is waited for, for deadlock reports
    std::optional<Ticks> deadline;
    ThreadRec* thread = nullptr; // null for a thread the clock does not know
    NTSTATUS result = STATUS_SUCCESS;
    bool done = false;
    std::condition_variable cv;
    WaitBlock* prev = nullptr; // links in the list of blocked waits
    WaitBlock* next = nullptr;
    bool linked = false;
    std::uint64_t serial = 0; // order of blocking, unique per kernel
    // The waiting thread, for APCs queued to it.
    struct ThreadCpu* cpu = nullptr;
};

// The blocked waits, oldest first, linked through the wait blocks themselves (no allocation per
// wait).
class WaitList {
  public:
    class iterator {
      public:
        explicit iterator(WaitBlock* p) : p_(p) {}
        WaitBlock* operator*() const { return p_; }
        iterator& operator++() {
            p_ = p_->next;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            p_ = p_->next;
            return old;
        }
        bool operator==(const iterator&) const = default;

      private:
        WaitBlock* p_;
    };
    iterator begin() const { return iterator(head_); }
    iterator end() const { return iterator(nullptr); }
    bool empty() const { return head_ == nullptr; }
    void push_back(WaitBlock* wb) {
        wb->serial = ++serial_;
        wb->prev = tail_;
        wb->next = nullptr;
        (tail_ != nullptr ? tail_->next : head_) = wb;
        tail_ = wb;
        wb->linked = true;
    }
    void remove(WaitBlock* wb) {
        if (!wb->linked)
            return;
        (wb->prev != nullptr ? wb->prev->next : head_) = wb->next;
        (wb->next != nullptr ? wb->next->prev : tail_) = wb->prev;
        wb->prev = wb->next = nullptr;
        wb->linked = false;
    }

  private:
    WaitBlock* head_ = nullptr;
    WaitBlock* tail_ = nullptr;
    std::uint64_t serial_ = 0;
};

struct TimerEntry {
    enum class Kind { KTimer, Dpc, Callback };
    Kind kind = Kind::Callback;
    PKTIMER timer = nullptr;
    PKDPC dpc = nullptr;
    std::function<void()> fn;
    std::string name;
};
using TimerKey = std::pair<Ticks, std::uint64_t>; // due time, arming order

enum class IrpState {
    Held,       // with its owner: allocated and not sent, or given back by a completion routine
    InDriver,   // sent with IoCallDriver and not yet completed
    Completing, // IoCompleteRequest is walking up its stack
    InRoutine,  // a completion routine is running and owns it for the moment
};

struct IrpInfo {
    std::unique_ptr<std::byte[]> storage;
    IrpState state = IrpState::Held;
    // Renewed (from a kernel-wide counter) at every change of hands, so that a stale view is
    // noticed even when a new IRP reuses the address of a freed one.
    std::uint64_t epoch = 0;
    bool kernel_owned = false;
    // IoBuildDeviceIoControlRequest: buffered copy-in/copy-out.
    bool built = false;
    bool keep_after_done = false; // a client request whose IRP its PendingIo frees
    std::unique_ptr<std::byte[]> system_buffer;
    void* user_output = nullptr;
    ULONG output_length = 0;
    ULONG system_size = 0;                       // max(input, output): guard bytes follow
    PIO_STACK_LOCATION built_location = nullptr; // the location the builder filled in
    struct ThreadCpu* sender = nullptr;          // where the second stage of completion runs
    // Run when completion passes the top of the stack (kernel's own requests).
    std::function<void(PIRP)> on_done;
    // Power IRPs: PoStartNextPowerIrp calls per function/filter device it passed through.
    bool power = false;
    std::vector<std::pair<PDEVICE_OBJECT, int>> power_calls;
    bool power_reached_bus = false; // the bus driver's PDO saw it
};

// Where the Plug and Play manager has taken a device stack (kept on its PDO).
enum class PnpState {
    Added,
    Started,
    StopPending,
    Stopped,
    RemovePending,
    SurpriseRemoved,
    Removed
};

struct DeviceInfo {
    std::unique_ptr<DEVICE_OBJECT> object;
    std::unique_ptr<std::byte[]> extension;
    PDEVICE_OBJECT lower = nullptr;
    bool pdo = false;
    bool deleted = false;
    int refs = 0; // work items and open handles keep the memory alive after IoDeleteDevice
    int opens = 0;
    std::string name;
    POWER_STATE device_power{};
    POWER_STATE system_power{};
    PnpState pnp = PnpState::Added;              // PDOs only
    PnpState pnp_before_query = PnpState::Added; // what a cancelled query returns to
};

struct DriverBlock {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    bool kernel_owned = false;
};

struct PoolBlock {
    std::unique_ptr<std::byte[]> memory;
    ULONG tag = 0;
    std::size_t size = 0;
};

struct InterfaceEntry {
    InterfaceRecord record;
};

struct Kernel::Impl {
    Impl(Kernel& owner, ClockMode mode, ScheduleOptions schedule);

    Kernel& owner;
    const ClockMode mode;

    mutable std::mutex mu;

    // ----- Clock -----
    std::chrono::steady_clock::time_point real_start;
    std::atomic<Ticks> virtual_now{0};
    Ticks virtual_limit = seconds(24 * 3600); // a day
    Ticks now() const;

    std::map<TimerKey, TimerEntry> queue;
    std::uint64_t next_seq = 1;
    std::unordered_map<std::uint64_t, Ticks> callback_due; // TimerId -> due
    std::unordered_map<PKDPC, TimerKey> dpc_queued;
    bool firing = false;
    bool stopping = false;
    std::condition_variable timer_cv; // real mode: wakes the timer thread
    std::thread timer_thread;

    // ----- Controlled schedule (schedule.cc), under mu -----
    const ScheduleOptions schedule;
    bool controlled() const { return schedule.kind != Schedule::Free; }
    ThreadRec* turn = nullptr; // the one registered thread that may run
    std::uint64_t rng_state = 0;
    std::uint64_t switches = 0;
    std::uint64_t fingerprint = 0;
    std::vector<std::uint64_t> change_points; // Pct, ascending
    std::uint32_t next_thread_id = 0;
    // Livelock watch: switch points since the virtual clock last moved. Threads that only hand
    // the turn to each other, with time standing still, never end.
    Ticks clock_seen = -1;
    std::uint64_t switches_when_clock_moved = 0;
    bool livelock_reported = false;
    bool livelock_begins(); // true once, when the count passes its bound
    void report_livelock(std::unique_lock<std::mutex>& lock);
    std::uint64_t random(std::uint64_t bound); // uniform in [0, bound)
    void note_choice(std::uint64_t value);
    ThreadRec* pick(const ThreadRec* exclude);
    void give_turn(ThreadRec* next);
    void await_turn(std::unique_lock<std::mutex>& lock, ThreadRec* self);
    // The calling thread gives up the processor (it blocked or ended): the next runnable thread
    // gets the turn; when none is left, time moves on.
    void hand_on(std::unique_lock<std::mutex>& lock);
    // Whether a timer or DPC may run now without needing a lock that a preempted thread holds.
    bool callbacks_safe(const ThreadRec* self) const;
    // A point where the platform could switch threads (takes mu).
    void switch_point();
    // For a spinning thread: lets another runnable thread run, the one on `holder_cpu` (the
    // holder of what it spins on) if that one can; false if there is none.
    bool yield_to_others(const ThreadCpu* holder_cpu = nullptr);
    // Blocks on an internal gate (a Mutex's or a Condition's) without a driver wait's checks.
    void internal_wait(const void* object, const char* label);

    // ----- Threads and waits -----
    std::list<ThreadRec> threads;
    int registered = 0;
    int running = 0;
    WaitList blocked;
    std::unordered_map<const void*, std::string> object_names;

    // ----- Debug output -----
    std::deque<std::string> debug_lines;
    std::function<void(std::string_view)> debug_sink;

    // ----- Pool -----
    std::unordered_map<void*, PoolBlock> pool;
    std::map<ULONG, std::pair<std::size_t, std::size_t>> pool_by_tag; // count, bytes
    std::vector<ULONG> watched_tags;

    // ----- Verifier and faults -----
    std::function<void(const std::string&)> verifier_handler;
    std::array<int, 6> fault_countdown{};

    // ----- I/O manager -----
    std::unordered_map<PIRP, IrpInfo> irps;
    // Dispatch routines running for each IRP, innermost last (io.cc).
    std::unordered_map<PIRP, std::vector<struct DispatchRecord*>> dispatching;
    std::uint64_t irp_epochs = 0;
    std::unordered_map<PDEVICE_OBJECT, DeviceInfo> devices;
    std::map<PDRIVER_OBJECT, std::unique_ptr<DriverBlock>> drivers;
    PDRIVER_OBJECT bus_driver = nullptr;
    KSPIN_LOCK cancel_lock{};
    std::vector<InterfaceRecord> interfaces;
    std::uint64_t interface_serial = 0;
    std::map<std::uint64_t, std::function<void(const InterfaceRecord&)>> interface_listeners;
    std::uint64_t next_interface_listener = 1;
    std::vector<PowerStateRecord> power_log;
    std::size_t start_next_calls = 0;

    // ----- Work items -----
    std::unordered_map<PIO_WORKITEM, std::unique_ptr<IO_WORKITEM>> work_items;
    std::deque<PIO_WORKITEM> work_queue;
    KEVENT work_event{};
    bool worker_stop = false;
    Thread worker;

    // ----- Helpers (kernel.cc) -----
    // Reports through the verifier handler; must be called without `mu` held.
    void report(const std::string& message);
    bool take_fault(Fault fault); // under mu
    std::string object_name(const void* object) const;

    ThreadRec* current_thread_rec() const;
    void bind_current_thread(ThreadRec* rec);
    ThreadRec* add_thread(std::string name); // under mu; counts it as running
    void remove_thread(std::unique_lock<std::mutex>& lock, ThreadRec* rec);

    // Kernel waits. `object` is a KEVENT/KTIMER header or null. APCs queued to the waiting
    // thread run before it blocks and interrupt the wait, which then goes on.
    NTSTATUS wait(const void* object, const char* label, std::optional<Ticks> deadline);
    NTSTATUS wait_once(const void* object, const char* label, std::optional<Ticks> deadline);
    bool try_consume(const void* object);         // under mu
    void satisfy(WaitBlock* wb, NTSTATUS status); // under mu
    void wake_waiters(const void* object);        // under mu, after the object became signalled
    void settle(std::unique_lock<std::mutex>& lock);
    void run_due(std::unique_lock<std::mutex>& lock);
    bool fire_one(std::unique_lock<std::mutex>& lock);
    void expire_waits(); // under mu
    void notify_timer_thread();
    void timer_thread_main();
    std::optional<Ticks> next_due() const; // under mu
    // The headline, then every blocked wait by name; under mu.
    std::string stuck_report(const std::string& headline) const;
    void report_stuck(std::unique_lock<std::mutex>& lock, const std::string& message);
    void check_freed_range(const void* begin, std::size_t size, const char* what,
                           std::vector<std::string>& problems); // under mu

    std::uint64_t insert_entry(Ticks due, TimerEntry entry); // under mu
    LONG set_event(PRKEVENT event);                          // under mu

    // Runs `fn` as a DISPATCH_LEVEL callback and checks how it left the processor.
    void run_at_dispatch(const char* what, const std::function<void()>& fn);

    // ----- I/O helpers (io.cc) -----
    PIRP allocate_irp(CCHAR stack_size, bool kernel_owned);
    PIRP build_ioctl(ULONG code, PDEVICE_OBJECT device, const void* input, ULONG input_length,
                     void* output, ULONG output_length, bool internal, PKEVENT event,
                     PIO_STATUS_BLOCK iosb, bool kernel_owned);
    void free_irp(PIRP irp);
    PDEVICE_OBJECT create_device(PDRIVER_OBJECT driver, ULONG extension_size, DEVICE_TYPE type,
                                 ULONG characteristics, bool exclusive, std::string name, bool pdo);
    void release_device_ref(PDEVICE_OBJECT device);
    PDRIVER_OBJECT create_driver(std::string name, bool kernel_owned);
    void worker_main();
    // Sends a kernel-owned IRP to `device` and waits until completion passes the top.
    NTSTATUS send_and_wait(PDEVICE_OBJECT device, PIRP irp);
    // After a wait for `irp` ended without its completion (a reported deadlock): detaches the
    // waiter's event, status block and output buffer so that a late completion cannot write into
    // them, and leaves the IRP to the kernel.
    void abandon_irp(PIRP irp);
    // The I/O manager's second stage for a built IRP (copy-out, status block, event, free);
    // under mu. `synchronous_failure` skips all but the free.
    void finish_built(PIRP irp, bool synchronous_failure, std::vector<std::string>& problems);
    // Runs the APCs queued to the calling thread (without mu held).
    void deliver_apcs();
    void end_of_life_checks();

    // ----- Power IRP rules (manager.cc), under mu -----
    // At IoCallDriver: `via_po` tells whether it came through PoCallDriver.
    void power_irp_sent(IrpInfo& info, PIO_STACK_LOCATION loc, bool via_po, std::string& problem);
    // When completion passes the top of the stack.
    void power_irp_done(PIRP irp, IrpInfo& info, std::vector<std::string>& problems);
};

// A point where the platform could switch threads: under a controlled schedule the scheduler may
// run another thread (or due timers and DPCs) here; otherwise nothing happens.
void switch_point();

// True once after PoCallDriver, in the thread that called it (read by IoCallDriver).
bool take_po_call();

// Per-thread processor state: IRQL and the spin locks this thread holds.
struct ThreadCpu {
    ThreadCpu() = default;
    ThreadCpu(const ThreadCpu&) = delete;
    ThreadCpu& operator=(const ThreadCpu&) = delete;
    ~ThreadCpu();
    KIRQL irql = PASSIVE_LEVEL;
    int locks_held = 0;
    std::array<const KSPIN_LOCK*, 8> held{};
    Kernel::Impl* kernel = nullptr; // the kernel this thread is registered with
    ThreadRec* rec = nullptr;
    std::string debug_fragment;
    std::deque<std::function<void()>> apcs; // under the kernel's mu
    // Nested IoCallDriver and completion routine calls, and whether their depth was reported.
    int io_depth = 0;
    bool io_depth_reported = false;
    int mutexes_held = 0; // stand-in Mutexes (a controlled schedule's callbacks wait for them)
};
ThreadCpu& cpu();
// A wait ended to run the APCs queued to its thread (the platform's STATUS_KERNEL_APC).
constexpr NTSTATUS kStatusKernelApc = 0x00000100;
// Reports a call made above the highest IRQL its documentation allows for it.
void require_irql(const char* call, KIRQL highest);
// IoCallDriver: at DISPATCH_LEVEL only reads, writes, device controls and power IRPs go down.
void require_forward_irql(UCHAR major);
// A dispatch, completion or cancel routine must leave the processor at the IRQL it was called at
// (with no spin lock of its own still held); reports and repairs one that did not.
void require_same_irql(const char* routine, KIRQL called_at, int locks_at_call);

PDRIVER_DISPATCH invalid_request_routine();

Kernel::Impl& K(); // the installed kernel; aborts with a message if there is none

std::string hex(const void* p);

} // namespace qkr::kern
