// The kernel stand-in's own C++ face, for the platform stand-ins, the simulator, the tools and the
// tests. Drivers never include this; they see nt.h only.
//
// One Kernel is installed per process at a time (the NT calls of nt.h find it through
// Kernel::current()). It owns the one clock every time-based service uses, in one of two modes:
//  - Real: the host's monotonic clock; timers fire from a timer thread.
//  - Virtual: time stands still while any registered thread can run and jumps to the next timer's
//    due time as soon as every registered thread is blocked in a kernel wait. When every
//    registered thread is blocked and no timer is pending, the verifier reports a deadlock naming
//    the blocked waits. With a handler that returns, the deadlocked waits then end with
//    STATUS_TIMEOUT so that the test can go on and fail cleanly. A clock that would pass its
//    limit (a day unless set) while every registered thread is blocked is reported the same way:
//    a timer re-armed for ever would otherwise spin a hung test through years of virtual time.
//
// Lifetimes: Threads, FileHandles and PendingIos must be destroyed (or joined/closed) before
// their Kernel. A thread the clock does not know (a std::thread that did not register) neither
// holds time back nor counts as blocked: in virtual time, anything it does while every registered
// thread is blocked can only be seen once something else wakes them, so such threads belong in
// real-time tests or must register first (register_current_thread).
#pragma once

#include "platform/kernel/nt.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qkr::kern {

// Time in the platform's 100 ns units.
using Ticks = std::int64_t;
constexpr Ticks kTicksPerMicrosecond = 10;
constexpr Ticks kTicksPerMillisecond = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks microseconds(std::int64_t n) {
    return n * kTicksPerMicrosecond;
}
constexpr Ticks milliseconds(std::int64_t n) {
    return n * kTicksPerMillisecond;
}
constexpr Ticks seconds(std::int64_t n) {
    return n * kTicksPerSecond;
}

enum class ClockMode { Virtual, Real };

// Who decides which registered thread runs. Free: the host's scheduler, threads truly in parallel.
// Random and Pct (on the virtual clock only): exactly one registered thread runs at a time, and
// at every point where the real system could switch processors between threads (spin lock
// acquire and release, event set and wait, IRP send, completion and cancel, DPC insertion, work
// item queueing, IRQL lowering) a seeded generator picks the next one: uniformly (Random) or by
// probabilistic concurrency testing with `depth` priority change points (Pct). Due timers and
// DPCs run at such points too, when no other runnable thread holds a lock they might need. The
// same seed gives the same interleaving, so a race it finds replays exactly.
enum class Schedule { Free, Random, Pct };
struct ScheduleOptions {
    Schedule kind = Schedule::Free;
    std::uint64_t seed = 1;
    int depth = 3;                  // Pct: priority change points plus one
    std::uint64_t horizon = 20'000; // Pct: the change points fall among this many switch points
};

// Things the verifier catches. Each is reported through the verifier handler with a message.
enum class Fault {
    PoolAllocation,        // ExAllocatePoolWithTag / ExAllocatePool
    IrpAllocation,         // IoAllocateIrp / IoBuildDeviceIoControlRequest
    DeviceCreation,        // IoCreateDevice
    InterfaceRegistration, // IoRegisterDeviceInterface
    PowerIrpRequest,       // PoRequestPowerIrp
    WorkItemAllocation,    // IoAllocateWorkItem
};

struct PowerStateRecord {
    PDEVICE_OBJECT device;
    POWER_STATE_TYPE type;
    POWER_STATE state;
};

struct InterfaceRecord {
    GUID guid;
    PDEVICE_OBJECT pdo;
    std::u16string link;
    bool enabled;
};

class Kernel;

// A thread registered with the clock. Joining is a kernel wait.
class Thread {
  public:
    Thread() = default;
    Thread(Thread&&) noexcept;
    Thread& operator=(Thread&&) noexcept;
    ~Thread(); // joins
    void join();
    bool joinable() const;

  private:
    friend class Kernel;
    struct State;
    std::shared_ptr<State> state_;
};

// A request a client sent and has not yet seen completed (IS_PRESENT parked in a driver, say).
class PendingIo {
  public:
    PendingIo() = default;
    PendingIo(PendingIo&&) noexcept;
    PendingIo& operator=(PendingIo&&) noexcept;
    ~PendingIo(); // cancels and waits if still pending
    bool done() const;
    // Waits (a kernel wait) for completion; returns the final status.
    NTSTATUS wait();
    // Waits at most `timeout`; returns false if still pending.
    bool wait_for(Ticks timeout);
    BOOLEAN cancel(); // IoCancelIrp
    NTSTATUS status() const;
    ULONG_PTR information() const;
    std::span<const std::uint8_t> output() const;

  private:
    friend class Kernel;
    friend class FileHandle;
    struct State;
    std::shared_ptr<State> state_;
};

// An open handle on a device stack (IRP_MJ_CREATE done); closing sends CLEANUP then CLOSE.
class FileHandle {
  public:
    FileHandle() = default;
    FileHandle(FileHandle&&) noexcept;
    FileHandle& operator=(FileHandle&&) noexcept;
    ~FileHandle(); // closes
    bool is_open() const;
    NTSTATUS close();
    // Synchronous buffered device control: the caller's thread waits for completion.
    NTSTATUS ioctl(ULONG code, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                   ULONG_PTR* information = nullptr, bool internal = false);
    // Asynchronous: returns at once, possibly with the request still pending.
    PendingIo ioctl_async(ULONG code, std::span<const std::uint8_t> input, ULONG output_length,
                          bool internal = false);
    PFILE_OBJECT file_object() const;

  private:
    friend class Kernel;
    struct State;
    std::shared_ptr<State> state_;
};

class Kernel {
  public:
    explicit Kernel(ClockMode mode = ClockMode::Virtual, ScheduleOptions schedule = {});
    // Stops the worker and timer threads, then runs the end-of-life checks (pool, IRPs, devices).
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel& current();
    static Kernel* current_or_null();
    ClockMode mode() const;

    // ----- Clock and timers (the one clock) -----
    Ticks now() const;
    using TimerId = std::uint64_t;
    // Runs `fn` at DISPATCH_LEVEL when the clock reaches `due`. Never called inline.
    TimerId schedule_at(Ticks due, std::function<void()> fn, std::string name = {});
    TimerId schedule_after(Ticks delay, std::function<void()> fn, std::string name = {});
    bool cancel(TimerId id); // true if it was still pending
    // Advances (virtual) or sleeps (real) the calling registered thread: a kernel wait.
    void sleep_for(Ticks duration);

    // ----- Threads -----
    // The constructing thread is registered. Others register through spawn().
    Thread spawn(std::string name, std::function<void()> fn);
    // For threads the kernel did not create (a pcscd thread, say) in real-time mode.
    void register_current_thread(std::string name);
    void unregister_current_thread();
    // Under a controlled schedule: the switch points passed so far, and a hash of every choice
    // made at them (which thread ran, whether due timers fired), equal for equal interleavings.
    bool controlled() const;
    std::uint64_t switch_points() const;
    std::uint64_t schedule_fingerprint() const;
    // Gives a dispatcher object a name that deadlock reports use.
    void name_object(const void* object, std::string name);

    // ----- Debug output -----
    // Lines as the driver formatted them; fragments are joined per thread up to each "\n".
    std::vector<std::string> debug_lines() const;
    void clear_debug_lines();
    // Also called with each completed line (for --trace); may be empty.
    void set_debug_sink(std::function<void(std::string_view line)> sink);

    // ----- Pool -----
    std::size_t pool_allocations(ULONG tag) const;
    std::size_t pool_bytes(ULONG tag) const;
    std::size_t pool_allocations_total() const;
    std::size_t irps_live() const;

    // ----- Verifier -----
    // Default handler prints the message to stderr and aborts.
    void set_verifier_handler(std::function<void(const std::string& message)> handler);
    // Virtual time no run may reach while every registered thread waits (see above).
    void set_virtual_time_limit(Ticks limit);
    void verifier_failure(const std::string& message);
    // Tags that must be free when a driver unloads or the kernel ends.
    void watch_pool_tag(ULONG tag);

    // ----- Fault injection: the nth future call of the kind fails (1 = the next one) -----
    void fail_nth(Fault fault, int n);
    void clear_faults();

    // ----- Drivers, Plug and Play, power -----
    PDRIVER_OBJECT load_driver(std::string name, PDRIVER_INITIALIZE entry);
    void unload_driver(PDRIVER_OBJECT driver);
    // A physical device object of the kernel's own bus driver, which succeeds the PnP and power
    // IRPs that reach it.
    PDEVICE_OBJECT create_pdo(std::string name);
    void delete_pdo(PDEVICE_OBJECT pdo);
    NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    // Sends IRP_MJ_PNP to the top of the PDO's stack and waits for completion.
    NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor);
    // Sends IRP_MJ_POWER and waits; returns the final status.
    NTSTATUS send_power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    PendingIo send_power_async(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                               POWER_STATE state);
    std::vector<PowerStateRecord> power_state_log() const;
    // Number of PoStartNextPowerIrp calls made for power IRPs so far.
    std::size_t start_next_power_irp_calls() const;
    std::vector<InterfaceRecord> interfaces() const;
    // What a Plug and Play notification of interface arrival and removal tells a user-mode
    // client: called after every IoSetDeviceInterfaceState that succeeded, in the thread that
    // made it, outside the kernel's locks. Returns an id for remove_interface_listener(), which
    // does not wait for a call in flight.
    std::uint64_t add_interface_listener(std::function<void(const InterfaceRecord&)> listener);
    void remove_interface_listener(std::uint64_t id);

    // ----- Clients -----
    // Opens the top of the PDO's stack (or the given device); an exclusive device admits one.
    NTSTATUS open(PDEVICE_OBJECT device, FileHandle* handle);

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

// A lock for the platform stand-ins' own state, for state that is held across calls into the
// kernel. Under a controlled schedule a thread that finds it taken blocks as in a kernel wait, so
// that the scheduler runs the holder (a std::mutex would stop the one processor it owns); it is a
// plain mutex otherwise. Meets the standard Lockable requirements.
class Mutex {
  public:
    Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();
    bool try_lock();

  private:
    friend class Condition;
    std::mutex plain_;
    KEVENT gate_{}; // signalled while free (controlled schedule)
    bool controlled_ = false;
};

// A condition variable over a Mutex, with the same scheduling rule.
class Condition {
  public:
    Condition();
    template <typename Predicate>
    void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
        while (!ready())
            wait_once(lock);
    }
    void notify_all();

  private:
    void wait_once(std::unique_lock<Mutex>& lock);
    std::condition_variable_any plain_;
    KEVENT signal_{}; // controlled schedule: set by notify_all, cleared by each waiter
    bool controlled_ = false;
};

} // namespace qkr::kern
