// The controlled schedule: one registered thread runs at a time, and a seeded generator decides,
// at every point where the real system could switch, which one runs next.
//
// The turn passes only under the dispatcher lock and only to a thread that can run (not blocked
// in a kernel wait). A thread that blocks or ends hands the turn on; when no thread can run, the
// one handing on moves the virtual clock (settle), exactly as the free virtual clock does. Timer
// callbacks and DPCs run without switch points of their own, in the thread that fires them, so
// they are atomic with respect to the schedule; switch points decide when they run.
#include "platform/kernel/kernel_impl.h"

#include <algorithm>

namespace qkr::kern {

std::uint64_t Kernel::Impl::random(std::uint64_t bound) {
    // splitmix64: the same numbers on every host and library, unlike the standard distributions.
    std::uint64_t z = (rng_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return bound == 0 ? z : z % bound;
}

void Kernel::Impl::note_choice(std::uint64_t value) {
    fingerprint = (fingerprint ^ value) * 0x100000001B3ull + switches;
}

ThreadRec* Kernel::Impl::pick(const ThreadRec* exclude) {
    std::vector<ThreadRec*> ready;
    for (ThreadRec& t : threads)
        if (!t.blocked && &t != exclude)
            ready.push_back(&t);
    if (ready.empty())
        return nullptr;
    if (schedule.kind == Schedule::Random)
        return ready[random(ready.size())];
    return *std::max_element(ready.begin(), ready.end(), [](ThreadRec* a, ThreadRec* b) {
        return a->priority != b->priority ? a->priority < b->priority : a->id > b->id;
    });
}

// Far more than a whole run makes (some hundred thousand at most), few enough that a livelock is
// told in seconds.
constexpr std::uint64_t kLivelockSwitches = 500'000;

bool Kernel::Impl::livelock_begins() {
    const Ticks t = now();
    if (t != clock_seen) {
        clock_seen = t;
        switches_when_clock_moved = switches;
        return false;
    }
    if (livelock_reported || switches - switches_when_clock_moved < kLivelockSwitches)
        return false;
    livelock_reported = true;
    return true;
}

// Reports, once, switching that goes on without the clock moving. The turn stays with the caller
// meanwhile: nobody else runs while it reports.
void Kernel::Impl::report_livelock(std::unique_lock<std::mutex>& lock) {
    if (!livelock_begins())
        return;
    lock.unlock();
    report("livelock: " + std::to_string(kLivelockSwitches) +
           " switch points without the clock moving");
    lock.lock();
}

void Kernel::Impl::give_turn(ThreadRec* next) {
    turn = next;
    note_choice(next->id + 1);
    next->turn_cv.notify_one();
}

void Kernel::Impl::await_turn(std::unique_lock<std::mutex>& lock, ThreadRec* self) {
    while (turn != self)
        self->turn_cv.wait(lock);
}

void Kernel::Impl::hand_on(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        if (ThreadRec* next = pick(nullptr)) {
            give_turn(next);
            return;
        }
        turn = nullptr;
        if (registered == 0 || firing)
            return;
        // Nobody can run: the clock moves to the next due time, or a deadlock is reported and
        // its waits released; either makes someone runnable, or there is nothing left to do.
        settle(lock);
        note_choice(0);
        if (running == 0)
            return;
    }
}

bool Kernel::Impl::callbacks_safe(const ThreadRec* self) const {
    for (const ThreadRec& t : threads) {
        if (t.blocked && &t != self)
            continue;
        if (t.cpu != nullptr && (t.cpu->locks_held > 0 || t.cpu->mutexes_held > 0))
            return false;
    }
    return true;
}

void Kernel::Impl::switch_point() {
    if (!controlled())
        return;
    ThreadRec* self = current_thread_rec();
    if (self == nullptr)
        return;
    std::unique_lock lock(mu);
    if (firing || turn != self)
        return;
    ++switches;
    report_livelock(lock);
    while (!change_points.empty() && change_points.front() <= switches) {
        // Pct: the running thread drops below every thread's initial priority.
        self->priority = static_cast<std::uint64_t>(schedule.depth - change_points.size());
        change_points.erase(change_points.begin());
    }
    const ThreadCpu& c = cpu();
    const std::optional<Ticks> due = next_due();
    if (due && *due <= now() && c.irql == PASSIVE_LEVEL && callbacks_safe(self) && random(2) == 0) {
        note_choice(0);
        run_due(lock);
    }
    ThreadRec* next = pick(nullptr);
    if (next == nullptr || next == self)
        return;
    give_turn(next);
    await_turn(lock, self);
}

bool Kernel::Impl::yield_to_others(const ThreadCpu* holder_cpu) {
    ThreadRec* self = current_thread_rec();
    std::unique_lock lock(mu);
    if (!controlled() || self == nullptr || turn != self) {
        lock.unlock();
        std::this_thread::yield();
        return true;
    }
    // On the real system the holder runs on a processor of its own while we spin: it, not
    // another spinner (which Pct may rank above it for ever), is who must make progress.
    ThreadRec* next = nullptr;
    for (ThreadRec& t : threads)
        if (!t.blocked && &t != self && holder_cpu != nullptr && t.cpu == holder_cpu)
            next = &t;
    if (next == nullptr)
        next = pick(self);
    if (next == nullptr)
        return false;
    ++switches;
    report_livelock(lock);
    give_turn(next);
    await_turn(lock, self);
    return true;
}

void Kernel::Impl::internal_wait(const void* object, const char* label) {
    std::unique_lock lock(mu);
    if (try_consume(object))
        return;
    ThreadRec* rec = current_thread_rec();
    if (rec != nullptr && firing) {
        // A callback cannot block: what it needs is held by a thread that waits itself.
        lock.unlock();
        report(std::string("deadlock: a timer callback or DPC needs a ") + label +
               " that a waiting thread holds");
        lock.lock();
    }
    WaitBlock wb;
    wb.object = object;
    wb.label = label;
    wb.cpu = &cpu();
    wb.thread = rec;
    blocked.push_back(&wb);
    if (rec == nullptr) {
        while (!wb.done)
            wb.cv.wait(lock);
        return;
    }
    rec->blocked = true;
    --running;
    while (!wb.done || turn != rec) {
        if (turn == rec)
            hand_on(lock);
        else
            rec->turn_cv.wait(lock);
    }
}

// ---------------------------------------------------------------------------------------------
// Kernel's face of it
// ---------------------------------------------------------------------------------------------

bool Kernel::controlled() const {
    return impl_->controlled();
}

std::uint64_t Kernel::switch_points() const {
    std::lock_guard lock(impl_->mu);
    return impl_->switches;
}

std::uint64_t Kernel::schedule_fingerprint() const {
    std::lock_guard lock(impl_->mu);
    return impl_->fingerprint;
}

void switch_point() {
    Kernel* k = Kernel::current_or_null();
    if (k != nullptr && k->controlled())
        k->impl().switch_point();
}

// ---------------------------------------------------------------------------------------------
// Mutex and Condition
// ---------------------------------------------------------------------------------------------

Mutex::Mutex() {
    Kernel* k = Kernel::current_or_null();
    controlled_ = k != nullptr && k->controlled();
    gate_.Header.Type = SynchronizationEvent;
    gate_.Header.SignalState = 1;
}

void Mutex::lock() {
    if (!controlled_) {
        plain_.lock();
        return;
    }
    K().internal_wait(&gate_, "lock");
    ++cpu().mutexes_held;
}

bool Mutex::try_lock() {
    if (!controlled_)
        return plain_.try_lock();
    Kernel::Impl& k = K();
    std::lock_guard lock(k.mu);
    if (!k.try_consume(&gate_))
        return false;
    ++cpu().mutexes_held;
    return true;
}

void Mutex::unlock() {
    if (!controlled_) {
        plain_.unlock();
        return;
    }
    --cpu().mutexes_held;
    Kernel::Impl& k = K();
    std::lock_guard lock(k.mu);
    k.set_event(&gate_);
}

Condition::Condition() {
    Kernel* k = Kernel::current_or_null();
    controlled_ = k != nullptr && k->controlled();
    signal_.Header.Type = NotificationEvent;
    signal_.Header.SignalState = 0;
}

void Condition::wait_once(std::unique_lock<Mutex>& lock) {
    if (!controlled_) {
        plain_.wait(lock);
        return;
    }
    Kernel::Impl& k = K();
    {
        // No switch point lies between this and the wait below, so no notification is lost.
        std::lock_guard guard(k.mu);
        signal_.Header.SignalState = 0;
    }
    lock.unlock();
    k.internal_wait(&signal_, "condition");
    lock.lock();
}

void Condition::notify_all() {
    if (!controlled_) {
        plain_.notify_all();
        return;
    }
    Kernel::Impl& k = K();
    std::lock_guard lock(k.mu);
    k.set_event(&signal_);
}

} // namespace qkr::kern
