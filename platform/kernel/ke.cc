// Executive and kernel calls of nt.h: events, timers, DPCs, spin locks and IRQL, delays, pool,
// run-time library helpers and DbgPrint.
#include "platform/kernel/kernel_impl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

using qkr::kern::cpu;
using qkr::kern::hex;
using qkr::kern::K;
using qkr::kern::require_irql;
using qkr::kern::Ticks;
using qkr::kern::TimerEntry;
using qkr::kern::TimerKey;

namespace {

constexpr UCHAR kNotificationTimer = 8;
constexpr UCHAR kSynchronizationTimer = 9;

// NT due times: negative is relative to now, positive (or zero) is absolute.
Ticks absolute_due(LONGLONG due) {
    Ticks now = K().now();
    if (due >= 0)
        return due;
    if (due == std::numeric_limits<LONGLONG>::min())
        return std::numeric_limits<Ticks>::max();
    Ticks rel = -due;
    return rel > std::numeric_limits<Ticks>::max() - now ? std::numeric_limits<Ticks>::max()
                                                         : now + rel;
}

// Removes a queued KTIMER from the queue; true if it was there. Under the dispatcher lock.
bool unqueue_timer(qkr::kern::Kernel::Impl& k, PKTIMER timer) {
    if (!timer->Inserted)
        return false;
    auto it = k.queue.find(TimerKey{static_cast<Ticks>(timer->DueTime), timer->KernelHandle});
    timer->Inserted = FALSE;
    timer->KernelHandle = 0;
    if (it == k.queue.end() || it->second.timer != timer)
        return false;
    k.queue.erase(it);
    return true;
}

bool has_waiters(const qkr::kern::Kernel::Impl& k, const void* object) {
    for (const qkr::kern::WaitBlock* wb : k.blocked)
        if (wb->object == object)
            return true;
    return false;
}

void acquire_raw(PKSPIN_LOCK lock) {
    auto& c = cpu();
    auto me = reinterpret_cast<ULONG_PTR>(&c);
    std::atomic_ref<LONG> word(const_cast<LONG&>(lock->Locked));
    std::atomic_ref<ULONG_PTR> owner(lock->Owner);
    if (word.load(std::memory_order_relaxed) != 0 && owner.load(std::memory_order_relaxed) == me) {
        K().report("spin lock " + hex(lock) + " acquired again by the thread that holds it");
        return;
    }
    qkr::kern::switch_point();
    auto& k = K();
    for (unsigned spins = 0;; ++spins) {
        LONG expected = 0;
        if (word.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                       std::memory_order_relaxed))
            break;
        if (k.controlled()) {
            // The holder was switched out: only it can let this thread go on.
            const auto* holder = reinterpret_cast<const qkr::kern::ThreadCpu*>(
                owner.load(std::memory_order_relaxed));
            if (!k.yield_to_others(holder)) {
                k.report("deadlock: spin lock " + hex(lock) + " is held by a thread that waits");
                return;
            }
        } else if (spins > 64) {
            std::this_thread::yield();
        }
    }
    owner.store(me, std::memory_order_relaxed);
    if (c.locks_held < static_cast<int>(c.held.size()))
        c.held[static_cast<std::size_t>(c.locks_held)] = lock;
    ++c.locks_held;
}

void release_raw(PKSPIN_LOCK lock, const char* how) {
    auto& c = cpu();
    auto me = reinterpret_cast<ULONG_PTR>(&c);
    std::atomic_ref<LONG> word(const_cast<LONG&>(lock->Locked));
    std::atomic_ref<ULONG_PTR> owner(lock->Owner);
    if (word.load(std::memory_order_relaxed) == 0 || owner.load(std::memory_order_relaxed) != me) {
        K().report(std::string(how) + " of spin lock " + hex(lock) +
                   " by a thread that does not hold it");
        return;
    }
    if (c.irql < DISPATCH_LEVEL)
        K().report(std::string(how) + " of spin lock " + hex(lock) + " at IRQL " +
                   std::to_string(c.irql));
    owner.store(0, std::memory_order_relaxed);
    word.store(0, std::memory_order_release);
    int n = std::min(c.locks_held, static_cast<int>(c.held.size()));
    for (int i = 0; i < n; ++i) {
        if (c.held[static_cast<std::size_t>(i)] == lock) {
            for (int j = i; j + 1 < n; ++j)
                c.held[static_cast<std::size_t>(j)] = c.held[static_cast<std::size_t>(j + 1)];
            break;
        }
    }
    --c.locks_held;
    qkr::kern::switch_point();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------------------------

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    auto* kp = qkr::kern::Kernel::current_or_null();
    if (kp != nullptr) {
        auto& k = kp->impl();
        bool busy;
        {
            std::lock_guard lock(k.mu);
            busy = has_waiters(k, Event);
        }
        if (busy)
            k.report("event " + hex(Event) + " initialised while threads wait for it");
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait) {
    // A caller that goes on to wait must be able to.
    require_irql(Wait ? "KeSetEvent with Wait TRUE" : "KeSetEvent",
                 Wait ? APC_LEVEL : DISPATCH_LEVEL);
    auto& k = K();
    LONG previous;
    {
        std::lock_guard lock(k.mu);
        previous = k.set_event(Event);
    }
    qkr::kern::switch_point();
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    require_irql("KeClearEvent", DISPATCH_LEVEL);
    auto& k = K();
    std::lock_guard lock(k.mu);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    require_irql("KeResetEvent", DISPATCH_LEVEL);
    auto& k = K();
    std::lock_guard lock(k.mu);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    require_irql("KeReadStateEvent", DISPATCH_LEVEL);
    auto& k = K();
    std::lock_guard lock(k.mu);
    return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Waits and delays
// ---------------------------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    auto& k = K();
    if (Object == nullptr) {
        k.report("KeWaitForSingleObject on a null object");
        return STATUS_INVALID_PARAMETER;
    }
    std::optional<Ticks> deadline;
    if (Timeout != nullptr)
        deadline = absolute_due(Timeout->QuadPart);
    auto* h = static_cast<DISPATCHER_HEADER*>(Object);
    const char* label =
        h->Type == kNotificationTimer || h->Type == kSynchronizationTimer ? "timer" : "event";
    return k.wait(Object, label, deadline);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    auto& k = K();
    if (cpu().irql > APC_LEVEL) {
        // Even a zero delay gives up the processor, which a raised IRQL forbids.
        require_irql("KeDelayExecutionThread", APC_LEVEL);
        return STATUS_SUCCESS;
    }
    Ticks due = Interval == nullptr ? k.now() : absolute_due(Interval->QuadPart);
    k.wait(nullptr, "delay", due);
    return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
    auto& k = K();
    Ticks length = static_cast<Ticks>(MicroSeconds) * qkr::kern::kTicksPerMicrosecond;
    if (k.mode == qkr::kern::ClockMode::Real) {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
        while (std::chrono::steady_clock::now() < until) {
        }
        return;
    }
    auto& c = cpu();
    Ticks end = k.now() + length;
    if (c.irql == PASSIVE_LEVEL && c.locks_held == 0) {
        // As far as the clock is concerned the stalling thread is busy until the end, like a
        // delay: what falls due meanwhile (timers, other threads' time-outs) happens in time
        // order, and the threads it wakes run before the clock moves on.
        k.wait(nullptr, "stall", end);
        return;
    }
    // At raised IRQL this processor runs no DPCs (they wait for the next chance) and the clock
    // cannot wait for the threads it wakes, which might spin on a lock this thread holds; their
    // time-outs still end in time order, each at its own deadline.
    std::unique_lock lock(k.mu);
    for (;;) {
        std::optional<Ticks> next;
        for (const qkr::kern::WaitBlock* wb : k.blocked)
            if (wb->deadline && *wb->deadline <= end && (!next || *wb->deadline < *next))
                next = wb->deadline;
        if (!next)
            break;
        if (*next > k.virtual_now.load())
            k.virtual_now.store(*next, std::memory_order_release);
        k.expire_waits();
    }
    if (end > k.virtual_now.load())
        k.virtual_now.store(end, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Timers and DPCs
// ---------------------------------------------------------------------------------------------

void KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, 0);
}

void KeInitializeTimerEx(PKTIMER Timer, int Type) {
    require_irql("KeInitializeTimer", DISPATCH_LEVEL);
    auto* kp = qkr::kern::Kernel::current_or_null();
    if (kp != nullptr) {
        auto& k = kp->impl();
        bool queued;
        {
            std::lock_guard lock(k.mu);
            queued = Timer->Inserted && unqueue_timer(k, Timer);
        }
        if (queued)
            k.report("timer " + hex(Timer) + " initialised while it is queued");
    }
    Timer->Header.Type = Type == 1 ? kSynchronizationTimer : kNotificationTimer;
    Timer->Header.SignalState = 0;
    Timer->DueTime = 0;
    Timer->Dpc = nullptr;
    Timer->Inserted = FALSE;
    Timer->KernelHandle = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    require_irql("KeSetTimer", DISPATCH_LEVEL);
    auto& k = K();
    Ticks due = absolute_due(DueTime.QuadPart);
    std::lock_guard lock(k.mu);
    bool was = unqueue_timer(k, Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    TimerEntry e;
    e.kind = TimerEntry::Kind::KTimer;
    e.timer = Timer;
    Timer->DueTime = static_cast<ULONGLONG>(due);
    Timer->KernelHandle = k.insert_entry(due, std::move(e));
    Timer->Inserted = TRUE;
    return was ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    require_irql("KeCancelTimer", DISPATCH_LEVEL);
    auto& k = K();
    std::lock_guard lock(k.mu);
    return unqueue_timer(k, Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    require_irql("KeReadStateTimer", DISPATCH_LEVEL);
    auto& k = K();
    std::lock_guard lock(k.mu);
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
}

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    auto& k = K();
    std::unique_lock lock(k.mu);
    if (k.dpc_queued.count(Dpc) != 0)
        return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    if (cpu().irql < DISPATCH_LEVEL) {
        // Queued below DISPATCH_LEVEL, the processor's DPC interrupt is taken as soon as the
        // insertion returns: the routine has run before the caller goes on.
        lock.unlock();
        k.run_at_dispatch("DPC", [&] {
            Dpc->DeferredRoutine(Dpc, Dpc->DeferredContext, SystemArgument1, SystemArgument2);
        });
        return TRUE;
    }
    TimerEntry e;
    e.kind = TimerEntry::Kind::Dpc;
    e.dpc = Dpc;
    Ticks due = k.now();
    std::uint64_t seq = k.insert_entry(due, std::move(e));
    k.dpc_queued.emplace(Dpc, TimerKey{due, seq});
    lock.unlock();
    qkr::kern::switch_point();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PKDPC Dpc) {
    auto& k = K();
    std::lock_guard lock(k.mu);
    auto it = k.dpc_queued.find(Dpc);
    if (it == k.dpc_queued.end())
        return FALSE;
    k.queue.erase(it->second);
    k.dpc_queued.erase(it);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Spin locks and IRQL
// ---------------------------------------------------------------------------------------------

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<LONG>(const_cast<LONG&>(SpinLock->Locked)).store(0);
    std::atomic_ref<ULONG_PTR>(SpinLock->Owner).store(0);
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KfAcquireSpinLock(SpinLock);
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KfReleaseSpinLock(SpinLock, NewIrql);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    require_irql("KeAcquireSpinLock", DISPATCH_LEVEL);
    auto& c = cpu();
    KIRQL old = c.irql;
    if (c.irql < DISPATCH_LEVEL)
        c.irql = DISPATCH_LEVEL;
    acquire_raw(SpinLock);
    return old;
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    release_raw(SpinLock, "release");
    auto& c = cpu();
    if (NewIrql > DISPATCH_LEVEL)
        K().report("spin lock " + hex(SpinLock) + " released to IRQL " + std::to_string(NewIrql));
    c.irql = NewIrql;
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    auto& c = cpu();
    if (c.irql < DISPATCH_LEVEL)
        K().report("KeAcquireSpinLockAtDpcLevel on " + hex(SpinLock) + " at IRQL " +
                   std::to_string(c.irql));
    acquire_raw(SpinLock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    release_raw(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

KIRQL KeGetCurrentIrql() {
    return cpu().irql;
}

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    auto& c = cpu();
    if (NewIrql < c.irql)
        K().report("KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(c.irql));
    *OldIrql = c.irql;
    c.irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
    auto& c = cpu();
    if (NewIrql > c.irql)
        K().report("KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(c.irql));
    if (NewIrql < DISPATCH_LEVEL && c.locks_held > 0)
        K().report("KeLowerIrql below DISPATCH_LEVEL while holding spin lock " + hex(c.held[0]));
    c.irql = NewIrql;
    qkr::kern::switch_point();
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = K().now();
}

ULONGLONG KeQueryInterruptTime() {
    return static_cast<ULONGLONG>(K().now());
}

// ---------------------------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------------------------

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    auto& k = K();
    require_irql("ExAllocatePoolWithTag", DISPATCH_LEVEL);
    if (PoolType == PagedPool && cpu().irql >= DISPATCH_LEVEL)
        k.report("paged pool allocation at DISPATCH_LEVEL");
    std::lock_guard lock(k.mu);
    if (k.take_fault(qkr::kern::Fault::PoolAllocation))
        return nullptr;
    qkr::kern::PoolBlock b;
    b.memory = std::make_unique<std::byte[]>(std::max<SIZE_T>(NumberOfBytes, 1));
    // Fresh pool is not zeroed on the platform; a fixed pattern makes reliance on it show.
    std::memset(b.memory.get(), 0xA5, NumberOfBytes);
    b.tag = Tag;
    b.size = NumberOfBytes;
    void* p = b.memory.get();
    k.pool.emplace(p, std::move(b));
    auto& acc = k.pool_by_tag[Tag];
    ++acc.first;
    acc.second += NumberOfBytes;
    return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E); // "None"
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    require_irql("ExFreePool", DISPATCH_LEVEL);
    auto& k = K();
    std::vector<std::string> problems;
    {
        std::lock_guard lock(k.mu);
        auto it = k.pool.find(P);
        if (it == k.pool.end()) {
            problems.push_back("ExFreePool of " + hex(P) +
                               ", which is not allocated pool (freed twice?)");
        } else {
            if (Tag != 0 && Tag != it->second.tag)
                problems.push_back("ExFreePoolWithTag of " + hex(P) + " with the wrong tag");
            k.check_freed_range(P, it->second.size, "pool", problems);
            auto& acc = k.pool_by_tag[it->second.tag];
            --acc.first;
            acc.second -= it->second.size;
            if (acc.first == 0)
                k.pool_by_tag.erase(it->second.tag);
            k.pool.erase(it);
        }
    }
    for (const auto& p : problems)
        k.report(p);
}

void ExFreePool(PVOID P) {
    ExFreePoolWithTag(P, 0);
}

// ---------------------------------------------------------------------------------------------
// Run-time library
// ---------------------------------------------------------------------------------------------

void RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    if (Length != 0)
        std::memset(Destination, 0, Length);
}

void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    if (Length != 0)
        std::memcpy(Destination, Source, Length);
}

void RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    if (Length != 0)
        std::memmove(Destination, Source, Length);
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    require_irql("RtlFreeUnicodeString", PASSIVE_LEVEL);
    if (UnicodeString == nullptr || UnicodeString->Buffer == nullptr)
        return;
    ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

void RtlInitUnicodeString(PUNICODE_STRING Destination, const WCHAR* Source) {
    Destination->Buffer = const_cast<PWSTR>(Source);
    if (Source == nullptr) {
        Destination->Length = 0;
        Destination->MaximumLength = 0;
        return;
    }
    std::size_t n = 0;
    while (Source[n] != 0)
        ++n;
    Destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    Destination->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
}

void RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
               PSTR MutableMessage) {
    std::string what = "assertion failed: ";
    what.append(static_cast<const char*>(VoidFailedAssertion));
    what.append(" at ");
    what.append(static_cast<const char*>(VoidFileName));
    what.append(":");
    what.append(std::to_string(LineNumber));
    if (MutableMessage != nullptr) {
        what.append(" (");
        what.append(MutableMessage);
        what.append(")");
    }
    K().report(what);
}

// ---------------------------------------------------------------------------------------------
// DbgPrint
// ---------------------------------------------------------------------------------------------

ULONG DbgPrint(PCSTR Format, ...) {
    char stack_buf[512];
    va_list args;
    va_start(args, Format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(stack_buf, sizeof stack_buf, Format, args);
    va_end(args);
    std::string text;
    if (n < 0) {
        va_end(copy);
        return STATUS_SUCCESS;
    }
    if (static_cast<std::size_t>(n) < sizeof stack_buf) {
        text.assign(stack_buf, static_cast<std::size_t>(n));
    } else {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), Format, copy);
        text.resize(static_cast<std::size_t>(n));
    }
    va_end(copy);

    auto* kp = qkr::kern::Kernel::current_or_null();
    if (kp == nullptr) {
        std::fputs(text.c_str(), stderr);
        return STATUS_SUCCESS;
    }
    auto& k = kp->impl();
    std::string& frag = cpu().debug_fragment;
    frag += text;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t pos; (pos = frag.find('\n', start)) != std::string::npos; start = pos + 1)
        lines.emplace_back(frag, start, pos - start);
    frag.erase(0, start);
    if (lines.empty())
        return STATUS_SUCCESS;
    std::function<void(std::string_view)> sink;
    {
        std::lock_guard lock(k.mu);
        constexpr std::size_t kMaxLines = 200'000;
        for (auto& l : lines) {
            if (k.debug_lines.size() >= kMaxLines)
                k.debug_lines.pop_front();
            k.debug_lines.push_back(l);
        }
        sink = k.debug_sink;
    }
    if (sink) {
        for (const auto& l : lines)
            sink(l);
    }
    return STATUS_SUCCESS;
}
