// The kernel object, its clock, threads and kernel waits.
//
// Virtual time follows one rule: it stands still while any registered thread can run, and jumps to
// the next due time once every registered thread is blocked in a kernel wait. The thread whose
// wait makes "everyone is blocked" true does the jump and runs the due callbacks itself, counting
// as running meanwhile, so that no wake-up is ever lost between two threads.
#include "platform/kernel/kernel_impl.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace qkr::kern {

namespace {
std::atomic<Kernel*> g_current{nullptr};
thread_local ThreadCpu t_cpu;
} // namespace

ThreadCpu::~ThreadCpu() {
    // A registered thread that ends without unregistering must not hold the clock forever.
    Kernel* k = g_current.load(std::memory_order_acquire);
    if (k != nullptr) {
        // Requests this thread sent finish in the thread that completes them from now on, and
        // what was queued to it still runs.
        Kernel::Impl& i = k->impl();
        std::deque<std::function<void()>> left;
        {
            std::lock_guard lock(i.mu);
            for (auto& [irp, info] : i.irps)
                if (info.sender == this)
                    info.sender = nullptr;
            left.swap(apcs);
        }
        for (auto& apc : left)
            apc();
    }
    Kernel::Impl* mine = kernel;
    ThreadRec* r = rec;
    kernel = nullptr;
    rec = nullptr;
    if (k == nullptr || &k->impl() != mine || r == nullptr)
        return;
    std::unique_lock lock(mine->mu);
    mine->remove_thread(lock, r);
}

ThreadCpu& cpu() {
    return t_cpu;
}

Kernel::Impl& K() {
    Kernel* k = g_current.load(std::memory_order_acquire);
    if (k == nullptr) {
        std::fprintf(stderr, "qkr: an NT call was made with no kernel installed\n");
        std::abort();
    }
    return k->impl();
}

std::string hex(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

void require_irql(const char* call, KIRQL highest) {
    const KIRQL irql = cpu().irql;
    if (irql <= highest)
        return;
    static constexpr const char* kNames[] = {"PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL"};
    const std::string most = highest < 3 ? kNames[highest] : "IRQL " + std::to_string(highest);
    K().report(std::string(call) + " at IRQL " + std::to_string(irql) + ", above " + most);
}

void require_forward_irql(UCHAR major) {
    const KIRQL irql = cpu().irql;
    const bool allowed = major == IRP_MJ_POWER || major == IRP_MJ_READ || major == IRP_MJ_WRITE ||
                         major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !allowed))
        K().report("IoCallDriver with major function " + std::to_string(major) + " at IRQL " +
                   std::to_string(irql));
}

void require_same_irql(const char* routine, KIRQL called_at, int locks_at_call) {
    ThreadCpu& c = cpu();
    if (c.irql == called_at && c.locks_held == locks_at_call)
        return;
    K().report(std::string(routine) + " called at IRQL " + std::to_string(called_at) +
               " returned at IRQL " + std::to_string(c.irql) + " holding " +
               std::to_string(c.locks_held - locks_at_call) + " more spin lock(s)");
    c.irql = called_at;
}

// ---------------------------------------------------------------------------------------------
// Kernel
// ---------------------------------------------------------------------------------------------

Kernel::Impl::Impl(Kernel& k, ClockMode m, ScheduleOptions s)
    : owner(k), mode(m), real_start(std::chrono::steady_clock::now()), schedule(s) {
    rng_state = s.seed;
    if (s.kind == Schedule::Pct) {
        for (int i = 1; i < s.depth; ++i)
            change_points.push_back(1 + random(std::max<std::uint64_t>(s.horizon, 1)));
        std::sort(change_points.begin(), change_points.end());
    }
}

Kernel::Kernel(ClockMode mode, ScheduleOptions schedule)
    : impl_(std::make_unique<Impl>(*this, mode, schedule)) {
    if (schedule.kind != Schedule::Free && mode != ClockMode::Virtual) {
        std::fprintf(stderr, "qkr: a controlled schedule needs the virtual clock\n");
        std::abort();
    }
    Kernel* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "qkr: a second kernel was created while one is installed\n");
        std::abort();
    }
    Impl& k = *impl_;
    KeInitializeSpinLock(&k.cancel_lock);
    KeInitializeEvent(&k.work_event, SynchronizationEvent, FALSE);
    k.object_names[&k.work_event] = "work queue";
    {
        std::lock_guard lock(k.mu);
        ThreadRec* rec = k.add_thread("main");
        k.bind_current_thread(rec);
        if (k.controlled())
            k.turn = rec;
    }
    k.bus_driver = k.create_driver("\\Driver\\QkrBus", true);
    if (mode == ClockMode::Real)
        k.timer_thread = std::thread([&k] { k.timer_thread_main(); });
    k.worker = spawn("kernel worker", [&k] { k.worker_main(); });
}

Kernel::~Kernel() {
    Impl& k = *impl_;
    {
        std::lock_guard lock(k.mu);
        k.worker_stop = true;
        k.set_event(&k.work_event);
    }
    k.worker.join();
    if (k.timer_thread.joinable()) {
        {
            std::lock_guard lock(k.mu);
            k.stopping = true;
        }
        k.timer_cv.notify_all();
        k.timer_thread.join();
    }
    k.end_of_life_checks();
    {
        std::unique_lock lock(k.mu);
        ThreadCpu& c = cpu();
        if (c.kernel == &k && c.rec != nullptr)
            k.remove_thread(lock, c.rec);
    }
    g_current.store(nullptr, std::memory_order_release);
}

Kernel& Kernel::current() {
    Kernel* k = g_current.load(std::memory_order_acquire);
    if (k == nullptr) {
        std::fprintf(stderr, "qkr: no kernel is installed\n");
        std::abort();
    }
    return *k;
}

Kernel* Kernel::current_or_null() {
    return g_current.load(std::memory_order_acquire);
}

ClockMode Kernel::mode() const {
    return impl_->mode;
}

Ticks Kernel::now() const {
    return impl_->now();
}

Ticks Kernel::Impl::now() const {
    if (mode == ClockMode::Virtual)
        return virtual_now.load(std::memory_order_acquire);
    auto d = std::chrono::steady_clock::now() - real_start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

Kernel::TimerId Kernel::schedule_at(Ticks due, std::function<void()> fn, std::string name) {
    Impl& k = *impl_;
    std::unique_lock lock(k.mu);
    TimerEntry e;
    e.kind = TimerEntry::Kind::Callback;
    e.fn = std::move(fn);
    e.name = std::move(name);
    std::uint64_t id = k.insert_entry(due, std::move(e));
    k.callback_due.emplace(id, due);
    // A thread the clock does not know may schedule while every registered thread is blocked;
    // then nobody else would notice that something became due.
    if (k.mode == ClockMode::Virtual && k.running == 0 && !k.firing)
        k.settle(lock);
    return id;
}

Kernel::TimerId Kernel::schedule_after(Ticks delay, std::function<void()> fn, std::string name) {
    return schedule_at(now() + std::max<Ticks>(delay, 0), std::move(fn), std::move(name));
}

bool Kernel::cancel(TimerId id) {
    Impl& k = *impl_;
    std::lock_guard lock(k.mu);
    auto it = k.callback_due.find(id);
    if (it == k.callback_due.end())
        return false;
    k.queue.erase(TimerKey{it->second, id});
    k.callback_due.erase(it);
    return true;
}

void Kernel::sleep_for(Ticks duration) {
    impl_->wait(nullptr, "sleep", now() + std::max<Ticks>(duration, 0));
}

// ---------------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------------

struct Thread::State {
    Kernel::Impl* kernel = nullptr;
    std::string name;
    KEVENT exited{};
    std::thread thread;
};

Thread::Thread(Thread&&) noexcept = default;
Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        if (joinable())
            join();
        state_ = std::move(other.state_);
    }
    return *this;
}
Thread::~Thread() {
    if (joinable())
        join();
}

bool Thread::joinable() const {
    return state_ && state_->thread.joinable();
}

void Thread::join() {
    if (!joinable())
        return;
    std::string label = "exit of thread '" + state_->name + "'";
    state_->kernel->wait(&state_->exited, label.c_str(), std::nullopt);
    state_->thread.join();
}

Thread Kernel::spawn(std::string name, std::function<void()> fn) {
    Impl& k = *impl_;
    Thread t;
    t.state_ = std::make_shared<Thread::State>();
    Thread::State* st = t.state_.get();
    st->kernel = &k;
    st->name = name;
    KeInitializeEvent(&st->exited, NotificationEvent, FALSE);
    ThreadRec* rec;
    {
        std::lock_guard lock(k.mu);
        rec = k.add_thread(std::move(name));
    }
    st->thread = std::thread([&k, rec, st, fn = std::move(fn)] {
        {
            std::unique_lock lock(k.mu);
            k.bind_current_thread(rec);
            if (k.controlled())
                k.await_turn(lock, rec);
        }
        fn();
        // What the thread's end would do later (its requests' second stages go elsewhere, its
        // queued APCs run) happens now, while it still counts as running: under a controlled
        // schedule nothing may run beside the thread that holds the turn.
        std::deque<std::function<void()>> left;
        {
            std::lock_guard lock(k.mu);
            for (auto& [irp, info] : k.irps)
                if (info.sender == &cpu())
                    info.sender = nullptr;
            left.swap(cpu().apcs);
        }
        for (auto& apc : left)
            apc();
        std::unique_lock lock(k.mu);
        k.set_event(&st->exited);
        k.remove_thread(lock, rec);
    });
    k.switch_point();
    return t;
}

void Kernel::register_current_thread(std::string name) {
    Impl& k = *impl_;
    std::unique_lock lock(k.mu);
    if (k.current_thread_rec() != nullptr)
        return;
    ThreadRec* rec = k.add_thread(std::move(name));
    k.bind_current_thread(rec);
    if (k.controlled()) {
        if (k.turn == nullptr)
            k.turn = rec;
        k.await_turn(lock, rec);
    }
}

void Kernel::unregister_current_thread() {
    Impl& k = *impl_;
    std::unique_lock lock(k.mu);
    ThreadRec* rec = k.current_thread_rec();
    if (rec != nullptr)
        k.remove_thread(lock, rec);
}

void Kernel::name_object(const void* object, std::string name) {
    std::lock_guard lock(impl_->mu);
    impl_->object_names[object] = std::move(name);
}

ThreadRec* Kernel::Impl::current_thread_rec() const {
    ThreadCpu& c = cpu();
    return c.kernel == this ? c.rec : nullptr;
}

void Kernel::Impl::bind_current_thread(ThreadRec* rec) {
    ThreadCpu& c = cpu();
    c.kernel = this;
    c.rec = rec;
    rec->cpu = &c; // under mu, or before the thread is known to anyone else
}

ThreadRec* Kernel::Impl::add_thread(std::string name) {
    ThreadRec& rec = threads.emplace_back(std::move(name), next_thread_id++);
    if (schedule.kind == Schedule::Pct)
        rec.priority = static_cast<std::uint64_t>(schedule.depth) + random(1u << 20);
    ++registered;
    ++running;
    return &rec;
}

void Kernel::Impl::remove_thread(std::unique_lock<std::mutex>& lock, ThreadRec* rec) {
    if (!rec->blocked)
        --running;
    --registered;
    const bool had_turn = turn == rec;
    if (had_turn)
        turn = nullptr;
    threads.remove_if([rec](const ThreadRec& r) { return &r == rec; });
    ThreadCpu& c = cpu();
    if (c.kernel == this && c.rec == rec) {
        c.rec = nullptr;
        c.kernel = nullptr;
    }
    if (controlled()) {
        if (had_turn)
            hand_on(lock);
        return;
    }
    if (mode == ClockMode::Virtual && running == 0)
        settle(lock);
}

std::string Kernel::Impl::object_name(const void* object) const {
    auto it = object_names.find(object);
    return it == object_names.end() ? std::string() : it->second;
}

// ---------------------------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------------------------

bool Kernel::Impl::try_consume(const void* object) {
    if (object == nullptr)
        return false;
    auto* h = static_cast<DISPATCHER_HEADER*>(const_cast<void*>(object));
    if (h->SignalState <= 0)
        return false;
    // Synchronization events and timers release one waiter and reset.
    if (h->Type == SynchronizationEvent || h->Type == 9)
        h->SignalState = 0;
    return true;
}

void Kernel::Impl::satisfy(WaitBlock* wb, NTSTATUS status) {
    wb->done = true;
    wb->result = status;
    blocked.remove(wb);
    if (wb->thread != nullptr && wb->thread->blocked) {
        wb->thread->blocked = false;
        ++running;
    }
    // Under the lock: the waiter cannot return (and destroy `wb`) before we are done with it.
    wb->cv.notify_one();
}

void Kernel::Impl::wake_waiters(const void* object) {
    auto* h = static_cast<DISPATCHER_HEADER*>(const_cast<void*>(object));
    for (auto it = blocked.begin(); it != blocked.end() && h->SignalState > 0;) {
        WaitBlock* wb = *it++;
        if (wb->object != object)
            continue;
        bool one = h->Type == SynchronizationEvent || h->Type == 9;
        if (one)
            h->SignalState = 0;
        satisfy(wb, STATUS_SUCCESS);
        if (one)
            break;
    }
}

LONG Kernel::Impl::set_event(PRKEVENT event) {
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    wake_waiters(event);
    return previous;
}

NTSTATUS Kernel::Impl::wait(const void* object, const char* label, std::optional<Ticks> deadline) {
    for (;;) {
        ThreadCpu& c = cpu();
        if (c.irql == PASSIVE_LEVEL && c.locks_held == 0)
            deliver_apcs();
        const NTSTATUS result = wait_once(object, label, deadline);
        if (result != kStatusKernelApc)
            return result;
    }
}

NTSTATUS Kernel::Impl::wait_once(const void* object, const char* label,
                                 std::optional<Ticks> deadline) {
    ThreadCpu& c = cpu();
    if (c.irql >= DISPATCH_LEVEL && (!deadline || *deadline > now())) {
        report(std::string("wait for ") + label + " " + hex(object) + " at DISPATCH_LEVEL");
    }
    if (c.locks_held > 0) {
        report(std::string("wait for ") + label + " " + hex(object) + " while holding spin lock " +
               hex(c.held[0]));
    }
    std::unique_lock lock(mu);
    ThreadRec* rec = current_thread_rec();
    // Whatever is already due has happened by now, as far as this thread can tell: it runs
    // before the wait looks at its object, so a poll or a zero delay sees it too.
    if (mode == ClockMode::Virtual && rec != nullptr && !firing && c.irql < DISPATCH_LEVEL &&
        c.locks_held == 0 && (!controlled() || callbacks_safe(rec)))
        run_due(lock);
    if (try_consume(object))
        return STATUS_SUCCESS;
    if (deadline && *deadline <= now())
        return STATUS_TIMEOUT;
    // A processor at DISPATCH_LEVEL cannot block (the wait was reported above); failing the
    // wait at once keeps a faulty callback from hanging the clock it runs under.
    if (c.irql >= DISPATCH_LEVEL)
        return STATUS_TIMEOUT;
    if (!c.apcs.empty() && c.irql == PASSIVE_LEVEL && c.locks_held == 0)
        return kStatusKernelApc; // queued since the wait began
    WaitBlock wb;
    wb.object = object;
    wb.label = label;
    wb.cpu = &c;
    wb.deadline = deadline;
    wb.thread = rec;
    blocked.push_back(&wb);
    if (rec != nullptr) {
        rec->blocked = true;
        --running;
    }
    if (controlled() && rec != nullptr) {
        // The turn comes back only to a thread that can run, so its wait is over by then.
        while (!wb.done || turn != rec) {
            if (turn == rec)
                hand_on(lock);
            else
                rec->turn_cv.wait(lock);
        }
        return wb.result;
    }
    if (mode == ClockMode::Virtual) {
        if (running == 0)
            settle(lock);
        while (!wb.done)
            wb.cv.wait(lock);
        return wb.result;
    }
    while (!wb.done) {
        if (!deadline) {
            wb.cv.wait(lock);
            continue;
        }
        auto until = real_start + std::chrono::nanoseconds(*deadline * 100);
        wb.cv.wait_until(lock, until);
        if (!wb.done && now() >= *deadline)
            satisfy(&wb, STATUS_TIMEOUT);
    }
    return wb.result;
}

// ---------------------------------------------------------------------------------------------
// Timer queue and the virtual clock
// ---------------------------------------------------------------------------------------------

std::uint64_t Kernel::Impl::insert_entry(Ticks due, TimerEntry entry) {
    std::uint64_t seq = next_seq++;
    bool first = queue.empty() || TimerKey{due, seq} < queue.begin()->first;
    queue.emplace(TimerKey{due, seq}, std::move(entry));
    if (first && mode == ClockMode::Real)
        timer_cv.notify_all();
    return seq;
}

std::optional<Ticks> Kernel::Impl::next_due() const {
    std::optional<Ticks> due;
    if (!queue.empty())
        due = queue.begin()->first.first;
    for (const WaitBlock* wb : blocked) {
        if (wb->deadline && (!due || *wb->deadline < *due))
            due = wb->deadline;
    }
    return due;
}

void Kernel::Impl::expire_waits() {
    Ticks t = now();
    for (auto it = blocked.begin(); it != blocked.end();) {
        WaitBlock* wb = *it++;
        if (wb->deadline && *wb->deadline <= t)
            satisfy(wb, STATUS_TIMEOUT);
    }
}

void Kernel::Impl::run_at_dispatch(const char* what, const std::function<void()>& fn) {
    ThreadCpu& c = cpu();
    KIRQL saved = c.irql;
    int saved_locks = c.locks_held;
    c.irql = DISPATCH_LEVEL;
    fn();
    if (c.irql != DISPATCH_LEVEL || c.locks_held != saved_locks) {
        report(std::string(what) + " returned at IRQL " + std::to_string(c.irql) + " holding " +
               std::to_string(c.locks_held - saved_locks) + " spin lock(s)");
    }
    c.irql = saved;
}

bool Kernel::Impl::fire_one(std::unique_lock<std::mutex>& lock) {
    if (queue.empty() || queue.begin()->first.first > now())
        return false;
    auto node = queue.extract(queue.begin());
    TimerKey key = node.key();
    TimerEntry& e = node.mapped();
    switch (e.kind) {
    case TimerEntry::Kind::KTimer: {
        PKTIMER t = e.timer;
        t->Inserted = FALSE;
        t->KernelHandle = 0;
        t->Header.SignalState = 1;
        wake_waiters(t);
        PKDPC dpc = t->Dpc;
        if (dpc != nullptr && dpc->DeferredRoutine != nullptr) {
            auto due = static_cast<ULONGLONG>(key.first);
            lock.unlock();
            run_at_dispatch("timer DPC", [&] {
                dpc->DeferredRoutine(dpc, dpc->DeferredContext,
                                     reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(due)),
                                     reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(due >> 32)));
            });
            lock.lock();
        }
        break;
    }
    case TimerEntry::Kind::Dpc: {
        PKDPC dpc = e.dpc;
        dpc_queued.erase(dpc);
        PVOID a1 = dpc->SystemArgument1;
        PVOID a2 = dpc->SystemArgument2;
        lock.unlock();
        run_at_dispatch("DPC", [&] { dpc->DeferredRoutine(dpc, dpc->DeferredContext, a1, a2); });
        lock.lock();
        break;
    }
    case TimerEntry::Kind::Callback: {
        callback_due.erase(key.second);
        std::function<void()> fn = std::move(e.fn);
        std::string what =
            e.name.empty() ? std::string("timer callback") : "timer callback '" + e.name + "'";
        lock.unlock();
        run_at_dispatch(what.c_str(), fn);
        fn = nullptr; // destroy captured state outside the lock
        lock.lock();
        break;
    }
    }
    return true;
}

void Kernel::Impl::run_due(std::unique_lock<std::mutex>& lock) {
    if (firing)
        return;
    firing = true;
    while (fire_one(lock)) {
    }
    expire_waits();
    firing = false;
    // A thread the clock does not know may have fired while every registered thread blocked.
    if (mode == ClockMode::Virtual && running == 0)
        settle(lock);
}

std::string Kernel::Impl::stuck_report(const std::string& headline) const {
    std::ostringstream out;
    out << headline << ";";
    for (const ThreadRec& t : threads) {
        const WaitBlock* found = nullptr;
        for (const WaitBlock* wb : blocked)
            if (wb->thread == &t)
                found = wb;
        if (found == nullptr)
            continue;
        out << " thread '" << t.name << "' waits for " << found->label;
        if (found->object != nullptr) {
            out << " " << hex(found->object);
            std::string n = object_name(found->object);
            if (!n.empty())
                out << " '" << n << "'";
        }
        out << ";";
    }
    return out.str();
}

void Kernel::Impl::report_stuck(std::unique_lock<std::mutex>& lock, const std::string& message) {
    std::vector<std::uint64_t> stuck;
    for (WaitBlock* wb : blocked)
        stuck.push_back(wb->serial);
    ++running; // the reporting thread counts as running while the handler runs
    lock.unlock();
    report(message);
    lock.lock();
    --running;
    // Release the stuck waits so that a test that records the report can go on.
    for (auto it = blocked.begin(); it != blocked.end();) {
        WaitBlock* wb = *it++;
        if (std::find(stuck.begin(), stuck.end(), wb->serial) != stuck.end())
            satisfy(wb, STATUS_TIMEOUT);
    }
}

void Kernel::Impl::settle(std::unique_lock<std::mutex>& lock) {
    while (mode == ClockMode::Virtual && running == 0 && registered > 0 && !firing) {
        std::optional<Ticks> due = next_due();
        if (!due) {
            report_stuck(lock, stuck_report("deadlock: every thread is blocked and no timer is "
                                            "pending"));
            return;
        }
        if (*due > virtual_limit) {
            std::string headline =
                "virtual time limit: every thread is blocked and the clock would pass ";
            headline.append(std::to_string(virtual_limit / kTicksPerSecond)).append(" s");
            report_stuck(lock, stuck_report(headline));
            return;
        }
        ++running;
        firing = true;
        if (*due > virtual_now.load())
            virtual_now.store(*due, std::memory_order_release);
        while (fire_one(lock)) {
        }
        expire_waits();
        firing = false;
        --running;
    }
}

void Kernel::Impl::timer_thread_main() {
    std::unique_lock lock(mu);
    while (!stopping) {
        if (queue.empty()) {
            timer_cv.wait(lock);
            continue;
        }
        Ticks due = queue.begin()->first.first;
        if (due > now()) {
            timer_cv.wait_until(lock, real_start + std::chrono::nanoseconds(due * 100));
            continue;
        }
        firing = true;
        fire_one(lock);
        firing = false;
    }
}

void Kernel::Impl::notify_timer_thread() {
    if (mode == ClockMode::Real)
        timer_cv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Debug output, verifier, faults
// ---------------------------------------------------------------------------------------------

std::vector<std::string> Kernel::debug_lines() const {
    std::lock_guard lock(impl_->mu);
    return {impl_->debug_lines.begin(), impl_->debug_lines.end()};
}

void Kernel::clear_debug_lines() {
    std::lock_guard lock(impl_->mu);
    impl_->debug_lines.clear();
}

void Kernel::set_debug_sink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(impl_->mu);
    impl_->debug_sink = std::move(sink);
}

void Kernel::set_verifier_handler(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(impl_->mu);
    impl_->verifier_handler = std::move(handler);
}

void Kernel::verifier_failure(const std::string& message) {
    impl_->report(message);
}

void Kernel::Impl::report(const std::string& message) {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(mu);
        handler = verifier_handler;
    }
    if (handler) {
        handler(message);
        return;
    }
    std::fprintf(stderr, "qkr verifier: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

void Kernel::set_virtual_time_limit(Ticks limit) {
    std::lock_guard lock(impl_->mu);
    impl_->virtual_limit = limit;
}

void Kernel::watch_pool_tag(ULONG tag) {
    std::lock_guard lock(impl_->mu);
    if (std::find(impl_->watched_tags.begin(), impl_->watched_tags.end(), tag) ==
        impl_->watched_tags.end())
        impl_->watched_tags.push_back(tag);
}

void Kernel::fail_nth(Fault fault, int n) {
    std::lock_guard lock(impl_->mu);
    impl_->fault_countdown[static_cast<std::size_t>(fault)] = n;
}

void Kernel::clear_faults() {
    std::lock_guard lock(impl_->mu);
    impl_->fault_countdown.fill(0);
}

bool Kernel::Impl::take_fault(Fault fault) {
    int& n = fault_countdown[static_cast<std::size_t>(fault)];
    if (n <= 0)
        return false;
    return --n == 0;
}

// ---------------------------------------------------------------------------------------------
// Pool accounting
// ---------------------------------------------------------------------------------------------

std::size_t Kernel::pool_allocations(ULONG tag) const {
    std::lock_guard lock(impl_->mu);
    auto it = impl_->pool_by_tag.find(tag);
    return it == impl_->pool_by_tag.end() ? 0 : it->second.first;
}

std::size_t Kernel::pool_bytes(ULONG tag) const {
    std::lock_guard lock(impl_->mu);
    auto it = impl_->pool_by_tag.find(tag);
    return it == impl_->pool_by_tag.end() ? 0 : it->second.second;
}

std::size_t Kernel::pool_allocations_total() const {
    std::lock_guard lock(impl_->mu);
    return impl_->pool.size();
}

std::size_t Kernel::irps_live() const {
    std::lock_guard lock(impl_->mu);
    return impl_->irps.size();
}

} // namespace qkr::kern
