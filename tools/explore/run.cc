// Carrying out a plan: four actors (the environment, a client per slot, a tracker) as kernel
// threads under the controlled schedule, and the invariants they and the end of the run check.
#include "tools/explore/explore.h"

#include "host/host.h"
#include "platform/serial/fd.h"
#include "sim/card.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qkr::explore {

namespace {

using Data = std::vector<std::uint8_t>;
constexpr std::size_t kFileSize = 512;
const Data kSelectFile = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
constexpr std::array<const char*, 5> kCards = {"t1", "t0", "t1-crc", "dual", "inverse"};
// The longest a request may take: the T=0 time-out (300 s) with every retry and restart.
constexpr kern::Ticks kLongestRequest = kern::seconds(700);

bool defined_failure(NTSTATUS s) {
    switch (s) {
    case STATUS_IO_TIMEOUT:
    case static_cast<NTSTATUS>(0xFFFFFFFD): // the reader's NAK
    case static_cast<NTSTATUS>(0xFFFFFFFE): // a bad frame
    case static_cast<NTSTATUS>(0x00000004): // an incomplete frame
    case STATUS_NO_MEDIA:
    case STATUS_DEVICE_DATA_ERROR:
    case STATUS_UNRECOGNIZED_MEDIA:
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_DEVICE_REMOVED:
    case STATUS_DEVICE_BUSY:
    case STATUS_DELETE_PENDING:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_CANCELLED:
    case STATUS_UNSUCCESSFUL:
    case STATUS_NOT_SUPPORTED:
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_INVALID_PARAMETER:
        return true;
    default:
        return false;
    }
}

// "rN: " built by appending: GCC 12's -O3 flags `"r" + std::to_string(i) + ...` with a false
// -Wrestrict.
std::string reader_tag(std::size_t reader) {
    std::string tag = "r";
    tag.append(std::to_string(reader));
    tag.append(": ");
    return tag;
}

std::string status_text(NTSTATUS s) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
    return text;
}

std::string hex(const Data& d) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// What the run knows of the file on one slot's card: its bytes where known. A failed UPDATE
// leaves its range unknown, since the card may or may not have carried it out.
struct CardModel {
    std::array<std::uint8_t, kFileSize> bytes{};
    std::array<bool, kFileSize> known{};
    void fresh() {
        for (std::size_t i = 0; i < kFileSize; ++i) {
            bytes[i] = static_cast<std::uint8_t>(i);
            known[i] = true;
        }
    }
};

struct ReaderState {
    host::Reader* reader = nullptr;
    std::array<CardModel, 2> cards;
    // Bumped by everything that may end a card session (card, power, Plug and Play): answers
    // that span a change are not held against the model.
    std::atomic<std::uint64_t> disturbed{0};
    bool asleep = false;
    bool slot0_card = true;
    // The clients' open handles. Plug and Play vetoes a removal query while any is open, and
    // sends the removal that follows a surprise removal only once the last one is closed.
    std::atomic<int> handles{0};
    bool removal_pending = false;
    // Restarts after a power loss under way (a client's failure starts them too): Plug and Play
    // is between states meanwhile.
    std::atomic<int> restarting{0};
    // The reader's device admits one handle at a time, so its clients share one, as pcscd's
    // do: whoever needs it first opens it, a close drops it, the last user's end closes it.
    kern::Mutex handle_mu;
    std::shared_ptr<struct OpenHandle> handle;
};

struct OpenHandle {
    kern::FileHandle file;
    std::atomic<int>* count = nullptr;
    ~OpenHandle() {
        if (file.is_open()) {
            file.close();
            --*count;
        }
    }
};

// Outlives the world: the kernel's end-of-life checks report after everything else is gone.
struct Problems {
    std::mutex mu; // never held across a kernel call
    std::vector<std::string> list;
    // A deadlock report releases the stuck waits, but the threads behind them cannot be joined:
    // the run ends there.
    std::function<void()> on_deadlock;
    void add(std::string what) {
        // A livelock never ends either.
        const bool deadlock =
            what.rfind("verifier: deadlock", 0) == 0 || what.rfind("verifier: livelock", 0) == 0;
        {
            std::lock_guard lock(mu);
            if (list.size() < 20)
                list.push_back(std::move(what));
        }
        if (deadlock && on_deadlock)
            on_deadlock();
    }
};

class World {
  public:
    World(const Plan& plan, Problems& problems, bool trace)
        : plan_(plan), problems_(problems), trace_(trace),
          host_(kern::ClockMode::Virtual,
                trace ? std::function<void(std::string_view)>([](std::string_view line) {
                    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
                })
                      : std::function<void(std::string_view)>(),
                kern::ScheduleOptions{plan.schedule, plan.seed, plan.depth, 20'000}) {
        host_.kernel().set_verifier_handler(
            [&problems](const std::string& message) { problems.add("verifier: " + message); });
        // Long plans sit out many 300 s time-outs; a month still ends a runaway run in seconds.
        host_.kernel().set_virtual_time_limit(kern::seconds(30LL * 24 * 3600));
        for (int i = 0; i < plan.readers; ++i) {
            host::ReaderOptions options;
            options.sim.slot0_card = "t1";
            options.sim.seed = plan.seed + static_cast<std::uint64_t>(i);
            options.tap = false;
            auto state = std::make_unique<ReaderState>();
            state->reader = &host_.add_reader(options);
            state->cards[0].fresh();
            state->cards[1].fresh();
            readers_.push_back(std::move(state));
        }
    }

    ~World() {
        for (int i = 0; i < static_cast<int>(readers_.size()); ++i)
            drop_handle(i);
    }
    Result run();

    void problem(std::string what) { problems_.add(std::move(what)); }
    // With a trace, what the environment does goes between the driver's lines.
    void note(const std::string& what) {
        if (trace_)
            std::fprintf(stderr, "[explore] %s\n", what.c_str());
    }
    kern::Kernel& kernel() { return host_.kernel(); }
    ReaderState& state(int reader) { return *readers_[static_cast<std::size_t>(reader)]; }
    std::atomic<std::uint64_t> ops_done{0};
    std::atomic<std::uint64_t> apdus_ok{0};
    std::atomic<std::uint64_t> apdus_failed{0};
    std::atomic<bool> allocations_failing{false}; // from the first allocation fault to the end
    std::atomic<std::uint64_t> holds{0}; // sleeps and stops: requests may wait for their end

    // Runs `fn` where the simulator's state lives (the timer queue) and waits for it.
    // The reader's shared handle, opened if need be; null when the device does not open.
    std::shared_ptr<OpenHandle> handle(int reader) {
        ReaderState& st = state(reader);
        std::lock_guard lock(st.handle_mu);
        if (st.handle == nullptr && !st.removal_pending) {
            auto h = std::make_shared<OpenHandle>();
            if (st.reader->open(&h->file) == STATUS_SUCCESS) {
                h->count = &st.handles;
                ++st.handles;
                st.handle = std::move(h);
            }
        }
        return st.handle;
    }
    void drop_handle(int reader) {
        ReaderState& st = state(reader);
        std::shared_ptr<OpenHandle> gone;
        std::lock_guard lock(st.handle_mu);
        gone.swap(st.handle);
    }

    void environment(const Op& op);
    void act(const Op& op);
    void act_pnp(const Op& op, ReaderState& st);
    void act_power(const Op& op, ReaderState& st);
    void act_reader(const Op& op, ReaderState& st);
    void act_allocation(const Op& op, ReaderState& st);
    // A line change that ends by itself disturbs again when it ends.
    void disturb_at_end(ReaderState& st, kern::Ticks after) {
        kernel().schedule_after(after, [&st] { ++st.disturbed; });
    }
    // The removal that follows a surprise removal, once no handle is open; then a new device.
    void finish_removal(ReaderState& st);
    NTSTATUS start_device(ReaderState& st);
    void end_failed_start(ReaderState& st);
    void restart_after_power_loss(ReaderState& st, bool from_environment);
    void check_gate(const Op& op, ReaderState& st);
    int index_of(const ReaderState& st) const {
        for (std::size_t i = 0; i < readers_.size(); ++i)
            if (readers_[i].get() == &st)
                return static_cast<int>(i);
        return 0;
    }
    void quiesce();
    void final_checks();

  private:
    const Plan& plan_;
    Problems& problems_;
    const bool trace_;
    // Before the host, so that timers that fire while it goes away still find the readers' state.
    std::vector<std::unique_ptr<ReaderState>> readers_;
    host::Host host_;

    friend class Client;
};

// ---------------------------------------------------------------------------------------------
// The environment: Plug and Play, power, cards, the line
// ---------------------------------------------------------------------------------------------

// Plug and Play does not start a device again whose start failed: it takes it away, once its
// handles are closed, and builds a new one.
NTSTATUS World::start_device(ReaderState& st) {
    host::Reader& r = *st.reader;
    note(reader_tag(index_of(st)) + "start");
    const NTSTATUS status = r.start();
    if (!NT_SUCCESS(status))
        end_failed_start(st);
    return status;
}

// Plug and Play ends a device whose start failed as it ends one that went away: a surprise
// removal, and the removal once its handles are closed.
void World::end_failed_start(ReaderState& st) {
    st.reader->surprise_removal();
    st.removal_pending = true;
    drop_handle(index_of(st));
}

// Once the reader has power again, Plug and Play stops and starts the device, as the tool and the
// PC/SC handler do: never while the system sleeps (the wake comes first), and a start that fails
// ends the device as any failed start does (the environment's own turn does that part).
void World::restart_after_power_loss(ReaderState& st, bool from_environment) {
    host::Reader& r = *st.reader;
    if (st.asleep || st.removal_pending || !r.added() || !r.power_lost())
        return;
    ++st.restarting;
    const NTSTATUS status = r.restart_after_power_loss();
    --st.restarting;
    if (from_environment && !NT_SUCCESS(status) && r.added() && !r.started())
        end_failed_start(st);
}

void World::finish_removal(ReaderState& st) {
    if (!st.removal_pending || st.handles.load() > 0)
        return;
    host::Reader& r = *st.reader;
    st.removal_pending = false;
    r.remove();
    if (r.add() == STATUS_SUCCESS)
        start_device(st);
}

// A disturbance is an interval: the count moves at its start (act) and at its end (here), so an
// answer or a session that overlaps it in any way is never taken as calm.
void World::environment(const Op& op) {
    ReaderState& st = state(op.reader);
    const std::uint64_t before = st.disturbed.load();
    act(op);
    if (st.disturbed.load() != before)
        ++st.disturbed;
    check_gate(op, st);
}

// Requests pass the gate exactly while Plug and Play has the device started and the system is
// awake (a removal opens it too, so that nobody waits for ever: those states are left out).
void World::check_gate(const Op& op, ReaderState& st) {
    host::Reader& r = *st.reader;
    DEVICE_EXTENSION* device = qkr::host::DriverRecords::device(r);
    if (device == nullptr || st.removal_pending || st.restarting.load() > 0 || r.power_lost())
        return;
    const bool open = KeReadStateEvent(&device->ReaderStarted) != 0;
    const bool started = r.started();
    if (open != (started && !st.asleep))
        problem(op_text(op) + ": the gate is " + (open ? "open" : "closed") + " with the device " +
                (started ? "started" : "not started") + (st.asleep ? ", asleep" : ", awake"));
}

bool plug_and_play(OpKind kind) {
    switch (kind) {
    case OpKind::Start:
    case OpKind::Stop:
    case OpKind::QueryStopCancelled:
    case OpKind::QueryRemoveCancelled:
    case OpKind::SurpriseRemoval:
    case OpKind::Remove:
        return true;
    default:
        return false;
    }
}

void World::act(const Op& op) {
    note(op_text(op));
    ReaderState& st = state(op.reader);
    finish_removal(st);
    const bool pnp = plug_and_play(op.kind);
    // Nothing but waiting for the handles happens to a surprise-removed device.
    if (st.removal_pending &&
        (pnp || op.kind == OpKind::Sleep || op.kind == OpKind::AbandonedSleep))
        return;
    // While the system sleeps Plug and Play sends nothing; an unplugging is seen on waking.
    if (st.asleep && pnp)
        return;
    if (pnp)
        return act_pnp(op, st);
    switch (op.kind) {
    case OpKind::Sleep:
    case OpKind::Wake:
    case OpKind::AbandonedSleep:
        return act_power(op, st);
    case OpKind::PoolFailure:
    case OpKind::IrpFailure:
        return act_allocation(op, st);
    default:
        return act_reader(op, st);
    }
}

// Plug and Play: starts, stops, queries and removals of the device.
void World::act_pnp(const Op& op, ReaderState& st) {
    host::Reader& r = *st.reader;
    auto disturb = [&] { ++st.disturbed; };
    auto renew = [&] {
        // A new device on the same reader, as Plug and Play builds one after a removal.
        if (r.add() == STATUS_SUCCESS)
            start_device(st);
    };
    switch (op.kind) {
    case OpKind::Start:
        if (r.started())
            break;
        disturb();
        if (!r.added())
            r.add();
        start_device(st);
        break;
    // Plug and Play stops only a started device (to rebalance its resources), and asks first.
    case OpKind::Stop:
        if (!r.started())
            break;
        disturb();
        ++holds;
        r.stop();
        break;
    case OpKind::QueryStopCancelled:
        if (!r.started())
            break;
        ++holds;
        if (NT_SUCCESS(r.query_stop()))
            r.cancel_stop();
        break;
    case OpKind::QueryRemoveCancelled:
        ++holds;
        if (NT_SUCCESS(r.query_remove()))
            r.cancel_remove();
        break;
    case OpKind::SurpriseRemoval:
        disturb();
        if (!r.added()) {
            renew();
            break;
        }
        r.surprise_removal();
        st.removal_pending = true;
        // Told of the removal, the applications close their handles.
        drop_handle(op.reader);
        finish_removal(st);
        break;
    case OpKind::Remove:
        disturb();
        if (!r.added()) {
            renew();
        } else if (NT_SUCCESS(r.query_remove())) {
            if (st.handles.load() > 0) {
                r.cancel_remove(); // the handles' holders did not let go
            } else if (NT_SUCCESS(r.remove())) {
                renew();
            }
        }
        break;
    default:
        break;
    }
}

// The system's sleep and wake.
void World::act_power(const Op& op, ReaderState& st) {
    host::Reader& r = *st.reader;
    kern::Kernel& k = kernel();
    auto disturb = [&] { ++st.disturbed; };
    POWER_STATE sleeping{};
    sleeping.SystemState = PowerSystemSleeping3;
    POWER_STATE working{};
    working.SystemState = PowerSystemWorking;
    switch (op.kind) {
    case OpKind::Sleep:
        if (st.asleep)
            break;
        disturb();
        ++holds;
        if (k.send_power(r.pdo(), IRP_MN_QUERY_POWER, SystemPowerState, sleeping) ==
            STATUS_SUCCESS) {
            k.send_power(r.pdo(), IRP_MN_SET_POWER, SystemPowerState, sleeping);
            st.asleep = true;
        }
        break;
    case OpKind::Wake:
        if (!st.asleep)
            break;
        disturb();
        k.send_power(r.pdo(), IRP_MN_SET_POWER, SystemPowerState, working);
        st.asleep = false;
        break;
    case OpKind::AbandonedSleep:
        if (st.asleep)
            break;
        ++holds;
        if (k.send_power(r.pdo(), IRP_MN_QUERY_POWER, SystemPowerState, sleeping) == STATUS_SUCCESS)
            k.send_power(r.pdo(), IRP_MN_SET_POWER, SystemPowerState, working);
        break;
    default:
        break;
    }
}

// The reader and its cards, acted on through the simulator.
void World::act_reader(const Op& op, ReaderState& st) {
    host::Reader& r = *st.reader;
    auto disturb = [&] { ++st.disturbed; };
    switch (op.kind) {
    case OpKind::InsertCard:
        disturb();
        r.act_on_sim([&](sim::ReaderSim& s) {
            if (s.card_present())
                s.remove();
            s.insert(sim::make_card(kCards[op.a % kCards.size()], plan_.seed));
        });
        st.cards[0].fresh();
        st.slot0_card = true;
        break;
    case OpKind::RemoveCard:
        disturb();
        r.act_on_sim([&](sim::ReaderSim& s) { s.remove(); });
        st.slot0_card = false;
        break;
    case OpKind::SwapSlot1Card:
        disturb();
        r.act_on_sim([&](sim::ReaderSim& s) {
            s.set_slot1_card(sim::make_card(kCards[op.a % kCards.size()], plan_.seed));
        });
        st.cards[1].fresh();
        break;
    case OpKind::ReaderPowerOff:
        disturb();
        r.act_on_sim([&](sim::ReaderSim& s) { s.set_powered(false); });
        break;
    case OpKind::ReaderPowerOn:
        disturb();
        r.act_on_sim([&](sim::ReaderSim& s) { s.set_powered(true); });
        restart_after_power_loss(st, true);
        break;
    case OpKind::DsrBlip:
        disturb();
        r.act_on_sim([&](sim::ReaderSim& s) { s.drop_dsr(kern::milliseconds(op.a)); });
        disturb_at_end(st, kern::milliseconds(op.a));
        break;
    case OpKind::CtsPulse:
        disturb();
        r.act_on_sim([&](sim::ReaderSim& s) { s.pulse_cts(kern::milliseconds(op.a)); });
        disturb_at_end(st, kern::milliseconds(op.a));
        break;
    case OpKind::LineFault:
        disturb();
        r.act_on_sim([&](sim::ReaderSim& s) {
            sim::Faults& f = s.faults();
            const int n = static_cast<int>(op.b);
            switch (op.a) {
            case 0:
                f.nak_next(n);
                break;
            case 1:
                f.corrupt_next(n);
                break;
            case 2:
                f.silent_next(n);
                break;
            case 3:
                f.truncate_next(3, n);
                break;
            case 4:
                f.noise_next(n);
                break;
            default:
                f.delay_next(kern::seconds(2), n);
                break;
            }
        });
        break;
    default:
        break;
    }
}

// Allocations that fail from the next one on.
void World::act_allocation(const Op& op, ReaderState& st) {
    kern::Kernel& k = kernel();
    auto disturb = [&] { ++st.disturbed; };
    switch (op.kind) {
    case OpKind::PoolFailure:
        disturb();
        allocations_failing = true;
        k.fail_nth(kern::Fault::PoolAllocation, static_cast<int>(op.a));
        break;
    case OpKind::IrpFailure:
        disturb();
        allocations_failing = true;
        k.fail_nth(kern::Fault::IrpAllocation, static_cast<int>(op.a));
        break;
    default:
        break;
    }
}

// Everything back to working order: no faults, power, awake, every device started.
void World::quiesce() {
    kernel().clear_faults();
    POWER_STATE working{};
    working.SystemState = PowerSystemWorking;
    for (auto& sp : readers_) {
        ReaderState& st = *sp;
        host::Reader& r = *st.reader;
        ++st.disturbed;
        r.act_on_sim([&](sim::ReaderSim& s) {
            s.faults().clear();
            s.set_powered(true);
        });
        if (st.asleep) {
            kernel().send_power(r.pdo(), IRP_MN_SET_POWER, SystemPowerState, working);
            st.asleep = false;
        }
        if (st.removal_pending)
            continue; // finished once the clients have closed their handles
        // A start whose reader queries a fault spoiled keeps what it could not learn (the
        // firmware's settings) until the next start: every device gets a clean one.
        // A client's request still inside holds the stop off, and none outlives the longest.
        int starts = 0;
        for (kern::Ticks waited = 0; starts < 10 && waited <= kLongestRequest;) {
            if (!r.added())
                r.add();
            if (r.started() && !NT_SUCCESS(r.stop())) {
                kernel().sleep_for(kern::seconds(1));
                waited += kern::seconds(1);
                continue;
            }
            ++starts;
            if (start_device(st) == STATUS_SUCCESS && r.start_answered())
                break;
            if (st.removal_pending)
                break; // finished once the clients have closed their handles
        }
        ++st.disturbed;
    }
}

// ---------------------------------------------------------------------------------------------
// Clients
// ---------------------------------------------------------------------------------------------

class Client {
  public:
    Client(World& world, int actor) : world_(world), actor_(actor) {}
    ~Client() { end(); }

    void operate(const Op& op);
    void end() {
        for (auto& pending : parked_)
            pending.cancel();
        parked_.clear();
        for (auto& h : held_)
            h.reset();
    }

    // A whole session that must work (the run's end): reset, protocol, the file read in full.
    void must_work(int reader, int slot);

  private:
    // What held when the current operation began: a failure with the line and the reader calm
    // throughout is a fault of the stack, since a defined failure needs a cause.
    struct Start {
        std::uint64_t disturbed = 0;
        std::uint64_t holds = 0;
        bool faults_armed = false;
    };
    Start start_;
    bool calm(const Op& op) const;

    struct Slot {
        ULONG protocol = 0;
        bool selected = false;
        // The reader's disturbance count when the session began; none until one is established.
        std::uint64_t epoch = ~std::uint64_t{0};
    };

    // The handle this client uses on the reader; not open when the device does not open.
    kern::FileHandle& handle(int reader);
    void forget(int reader) {
        held_[static_cast<std::size_t>(reader)].reset();
        world_.drop_handle(reader);
        for (auto& s : slots_[static_cast<std::size_t>(reader)])
            s = Slot{};
    }
    bool check(NTSTATUS s, const Op& op, const char* what);
    bool session(int reader, int slot, bool must);
    void read(const Op& op, bool must);
    void update(const Op& op);

    World& world_;
    int actor_;
    std::array<std::shared_ptr<OpenHandle>, 4> held_;
    kern::FileHandle closed_;
    std::array<std::array<Slot, 2>, 4> slots_;
    std::deque<kern::PendingIo> parked_;
};

kern::FileHandle& Client::handle(int reader) {
    std::shared_ptr<OpenHandle>& h = held_[static_cast<std::size_t>(reader)];
    if (h == nullptr)
        h = world_.handle(reader);
    return h != nullptr ? h->file : closed_;
}

// A status must be success or a defined failure; a failure ends the client's view of the
// session (and of the handle, when the device went away under it).
bool Client::calm(const Op& op) const {
    const ReaderState& st = world_.state(op.reader);
    const Slot& s = slots_[static_cast<std::size_t>(op.reader)][static_cast<std::size_t>(op.slot)];
    return st.disturbed.load() == start_.disturbed && s.epoch == start_.disturbed &&
           world_.holds.load() == start_.holds && !start_.faults_armed &&
           !world_.allocations_failing.load() && (op.slot == 1 || st.slot0_card);
}

bool Client::check(NTSTATUS s, const Op& op, const char* what) {
    if (s == STATUS_SUCCESS)
        return true;
    ++world_.apdus_failed;
    if (s == STATUS_DEVICE_NOT_CONNECTED) {
        // The reader lost power: once it is back, Plug and Play restarts the device (as the
        // tool and the PC/SC handler do).
        world_.restart_after_power_loss(world_.state(op.reader), false);
        ++world_.state(op.reader).disturbed;
    } else if (calm(op) && op.kind != OpKind::Session) {
        world_.problem(op_text(op) + ": " + what + " failed with no cause: 0x" +
                       hex({std::uint8_t(s >> 24), std::uint8_t(s >> 16), std::uint8_t(s >> 8),
                            std::uint8_t(s)}));
    }
    if (!defined_failure(s))
        world_.problem(op_text(op) + ": " + what + " ended with 0x" +
                       hex({std::uint8_t(s >> 24), std::uint8_t(s >> 16), std::uint8_t(s >> 8),
                            std::uint8_t(s)}));
    slots_[static_cast<std::size_t>(op.reader)][static_cast<std::size_t>(op.slot)].selected = false;
    if (s == STATUS_DELETE_PENDING || s == STATUS_DEVICE_REMOVED || s == STATUS_NO_SUCH_DEVICE)
        forget(op.reader);
    return false;
}

bool Client::session(int reader, int slot, bool must) {
    ReaderState& st = world_.state(reader);
    Slot& s = slots_[static_cast<std::size_t>(reader)][static_cast<std::size_t>(slot)];
    Op op{actor_, OpKind::Session, reader, slot, 0, 0, 0};
    kern::FileHandle& h = handle(reader);
    if (!h.is_open()) {
        if (must)
            world_.problem(reader_tag(reader) + "the device does not open");
        return false;
    }
    host::SlotClient c(*st.reader, h, slot);
    s = Slot{};
    const std::uint64_t epoch = st.disturbed.load();
    auto fails = [&](NTSTATUS status, const char* what) {
        if (status == STATUS_SUCCESS)
            return false;
        if (must)
            world_.problem(reader_tag(reader) + "s" + std::to_string(slot) + " " + what +
                           " failed at the end of the run: " + status_text(status));
        check(status, op, what);
        return true;
    };
    if (fails(c.power(SCARD_COLD_RESET), "cold reset"))
        return false;
    ULONG selected = 0;
    if (fails(c.set_protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &selected), "protocol"))
        return false;
    s.protocol = selected;
    Data response;
    if (fails(c.transmit(s.protocol, kSelectFile, &response), "SELECT"))
        return false;
    if (response != Data{0x90, 0x00}) {
        if (must || st.disturbed.load() == epoch)
            world_.problem(op_text(op) + ": SELECT answered " + hex(response));
        return false;
    }
    s.selected = true;
    s.epoch = epoch; // only an established session makes later failures suspect
    return true;
}

void Client::read(const Op& op, bool must) {
    ReaderState& st = world_.state(op.reader);
    Slot& s = slots_[static_cast<std::size_t>(op.reader)][static_cast<std::size_t>(op.slot)];
    if (!s.selected && !session(op.reader, op.slot, must))
        return;
    const std::uint64_t before = st.disturbed.load();
    kern::FileHandle& h = handle(op.reader);
    if (!h.is_open())
        return; // closed by another client that still finishes with it
    host::SlotClient c(*st.reader, h, op.slot);
    const std::uint32_t length = op.b & 0xFFFF;
    Data response;
    const NTSTATUS status = c.transmit(
        s.protocol, {0x00, 0xB0, std::uint8_t(op.a >> 8), std::uint8_t(op.a), std::uint8_t(length)},
        &response);
    if (!check(status, op, "READ BINARY"))
        return;
    const bool calm = st.disturbed.load() == before && before == s.epoch;
    CardModel& card = st.cards[static_cast<std::size_t>(op.slot)];
    if (response.size() != length + 2 || response[length] != 0x90 || response[length + 1] != 0) {
        if (calm || must)
            world_.problem(op_text(op) + ": READ BINARY answered " + hex(response));
        s.selected = false;
        return;
    }
    if (!calm)
        return;
    ++world_.apdus_ok;
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::size_t at = op.a + i;
        if (card.known[at] && card.bytes[at] != response[i]) {
            world_.problem(op_text(op) + ": byte " + std::to_string(at) + " is " +
                           hex({response[i]}) + ", the card holds " + hex({card.bytes[at]}));
            return;
        }
        card.bytes[at] = response[i];
        card.known[at] = true;
    }
}

void Client::update(const Op& op) {
    ReaderState& st = world_.state(op.reader);
    Slot& s = slots_[static_cast<std::size_t>(op.reader)][static_cast<std::size_t>(op.slot)];
    if (!s.selected && !session(op.reader, op.slot, false))
        return;
    const std::uint32_t length = op.b & 0xFFFF;
    Data apdu = {0x00, 0xD6, std::uint8_t(op.a >> 8), std::uint8_t(op.a), std::uint8_t(length)};
    for (std::uint32_t i = 0; i < length; ++i)
        apdu.push_back(std::uint8_t((op.b >> 16) + i * 7));
    CardModel& card = st.cards[static_cast<std::size_t>(op.slot)];
    // Until the answer says otherwise the card may or may not have written.
    for (std::uint32_t i = 0; i < length; ++i)
        card.known[op.a + i] = false;
    const std::uint64_t before = st.disturbed.load();
    kern::FileHandle& h = handle(op.reader);
    if (!h.is_open()) {
        s.selected = false;
        return;
    }
    host::SlotClient c(*st.reader, h, op.slot);
    Data response;
    if (!check(c.transmit(s.protocol, apdu, &response), op, "UPDATE BINARY"))
        return;
    const bool calm = st.disturbed.load() == before && before == s.epoch;
    if (response == Data{0x90, 0x00}) {
        world_.apdus_ok += calm ? 1 : 0;
        if (calm)
            for (std::uint32_t i = 0; i < length; ++i) {
                card.bytes[op.a + i] = apdu[5 + i];
                card.known[op.a + i] = true;
            }
        return;
    }
    if (calm)
        world_.problem(op_text(op) + ": UPDATE BINARY answered " + hex(response));
    s.selected = false;
}

void Client::operate(const Op& op) {
    ReaderState& st = world_.state(op.reader);
    kern::Kernel& k = world_.kernel();
    const kern::Ticks began = k.now();
    const std::uint64_t holds = world_.holds.load();
    start_.disturbed = st.disturbed.load();
    start_.holds = holds;
    start_.faults_armed = st.reader->sim().faults().armed();
    switch (op.kind) {
    case OpKind::Session:
        session(op.reader, op.slot, false);
        break;
    case OpKind::Read:
        read(op, false);
        break;
    case OpKind::Update:
        update(op);
        break;
    case OpKind::PowerDown: {
        kern::FileHandle& h = handle(op.reader);
        if (h.is_open())
            check(host::SlotClient(*st.reader, h, op.slot).power(SCARD_POWER_DOWN), op,
                  "power down");
        slots_[static_cast<std::size_t>(op.reader)][static_cast<std::size_t>(op.slot)].selected =
            false;
        break;
    }
    case OpKind::Track: {
        kern::FileHandle& h = handle(op.reader);
        if (h.is_open())
            parked_.push_back(
                host::SlotClient(*st.reader, h, op.slot)
                    .park(op.a == 0 ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT));
        break;
    }
    case OpKind::CancelTrack:
        if (!parked_.empty()) {
            parked_.front().cancel();
            const NTSTATUS s = parked_.front().wait();
            if (!defined_failure(s) && s != STATUS_SUCCESS)
                world_.problem(op_text(op) + ": a cancelled tracking request ended with " +
                               std::to_string(s));
            parked_.pop_front();
        }
        break;
    case OpKind::Close:
        for (auto& pending : parked_)
            pending.cancel();
        parked_.clear();
        forget(op.reader);
        break;
    default:
        break;
    }
    // Between its operations a client holds no handle, so a close by another one takes effect.
    for (auto& h : held_)
        h.reset();
    const kern::Ticks took = k.now() - began;
    if (took > kLongestRequest && world_.holds.load() == holds)
        world_.problem(op_text(op) + ": took " + std::to_string(took / kern::kTicksPerSecond) +
                       " s");
}

void Client::must_work(int reader, int slot) {
    forget(reader);
    if (!session(reader, slot, true))
        return;
    for (std::uint32_t offset = 0; offset < kFileSize; offset += 128)
        read(Op{actor_, OpKind::Read, reader, slot, offset, 128, 0}, true);
}

// ---------------------------------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------------------------------

Result World::run() {
    kern::Kernel& k = kernel();
    for (auto& st : readers_) {
        st->reader->add();
        start_device(*st);
    }
    std::array<std::vector<Op>, 4> lists;
    for (const Op& op : plan_.ops)
        lists[static_cast<std::size_t>(op.actor)].push_back(op);
    std::array<std::unique_ptr<Client>, 4> clients;
    for (int a = 1; a < 4; ++a)
        clients[static_cast<std::size_t>(a)] = std::make_unique<Client>(*this, a);
    {
        std::vector<kern::Thread> actors;
        for (int a = 1; a < 4; ++a)
            actors.push_back(k.spawn("actor " + std::to_string(a), [&, a] {
                for (const Op& op : lists[static_cast<std::size_t>(a)]) {
                    k.sleep_for(kern::milliseconds(op.delay_ms));
                    clients[static_cast<std::size_t>(a)]->operate(op);
                    ++ops_done;
                }
                clients[static_cast<std::size_t>(a)]->end();
            }));
        for (const Op& op : lists[0]) {
            k.sleep_for(kern::milliseconds(op.delay_ms));
            environment(op);
            ++ops_done;
        }
        quiesce();
    } // the clients finish, closing their handles
    for (int i = 0; i < plan_.readers; ++i) {
        drop_handle(i);
        ReaderState* st = &state(i);
        finish_removal(*st);
        if (!st->reader->added())
            st->reader->add();
        finish_removal(*st);
        if (st->reader->added() && !st->reader->started())
            start_device(*st);
    }
    final_checks();
    Result result;
    result.ops_done = ops_done.load();
    result.apdus_ok = apdus_ok.load();
    result.apdus_failed = apdus_failed.load();
    result.virtual_time = k.now();
    for (const std::string& line : host_.log()) {
        result.log_hash = (result.log_hash ^ std::hash<std::string>{}(line)) * 0x100000001B3ull;
        ++result.log_lines;
    }
    clients = {};
    return result;
}

// With everything back in working order, every slot of every reader serves a session whose
// answers agree with the model, and card tracking sees a removal and an insertion.
void World::final_checks() {
    Client client(*this, 1);
    for (int i = 0; i < plan_.readers; ++i) {
        ReaderState& st = state(i);
        host::Reader& r = *st.reader;
        if (!st.slot0_card) {
            r.act_on_sim([&](sim::ReaderSim& s) { s.insert(sim::make_card("t1", plan_.seed)); });
            st.cards[0].fresh();
            st.slot0_card = true;
        }
        client.must_work(i, 0);
        client.must_work(i, 1);
        client.end();
        std::shared_ptr<OpenHandle> h = handle(i);
        if (h == nullptr)
            continue;
        host::SlotClient slot0(r, h->file, 0);
        kern::PendingIo absent = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
        r.act_on_sim([&](sim::ReaderSim& s) { s.remove(); });
        if (!absent.wait_for(kern::seconds(5)) || absent.status() != STATUS_SUCCESS)
            problem(reader_tag(i) + "card tracking missed a removal at the end");
        kern::PendingIo present = slot0.park(IOCTL_SMARTCARD_IS_PRESENT);
        r.act_on_sim([&](sim::ReaderSim& s) { s.insert(sim::make_card("t1", plan_.seed)); });
        if (!present.wait_for(kern::seconds(5)) || present.status() != STATUS_SUCCESS)
            problem(reader_tag(i) + "card tracking missed an insertion at the end");
        h.reset();
        drop_handle(i);
    }
}

// The result as lines on a pipe: the figures, then one problem a line.
void send(int fd, const Result& r) {
    std::ostringstream out;
    out << r.ops_done << " " << r.apdus_ok << " " << r.apdus_failed << " " << r.switch_points << " "
        << r.fingerprint << " " << r.virtual_time << " " << r.log_hash << " " << r.log_lines
        << "\n";
    for (std::string p : r.problems) {
        std::replace(p.begin(), p.end(), '\n', ' ');
        out << p << "\n";
    }
    const std::string text = out.str();
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
}

Result receive(const std::string& text) {
    Result r;
    std::istringstream in(text);
    std::string line;
    if (std::getline(in, line)) {
        std::istringstream figures(line);
        figures >> r.ops_done >> r.apdus_ok >> r.apdus_failed >> r.switch_points >> r.fingerprint >>
            r.virtual_time >> r.log_hash >> r.log_lines;
    }
    while (std::getline(in, line))
        r.problems.push_back(line);
    return r;
}

// In the child process: the run, its result on `fd`, and the end of the process.
[[noreturn]] void run_in_child(const Plan& plan, int fd, bool trace) {
    Problems problems;
    Result result;
    problems.on_deadlock = [&] {
        result.problems = problems.list;
        send(fd, result);
        ::_exit(1);
    };
    {
        World world(plan, problems, trace);
        result = world.run();
        result.switch_points = world.kernel().switch_points();
        result.fingerprint = world.kernel().schedule_fingerprint();
    } // removes every device and unloads the driver: the kernel's end-of-life checks report too
    result.problems = problems.list;
    send(fd, result);
    ::_exit(0);
}

} // namespace

// Each run has a process of its own, so that a crash or a hang of the stack under test becomes
// a finding rather than the end of the exploration.
Result run(const Plan& plan, bool trace) {
    int ends[2];
    if (::pipe(ends) != 0)
        return Result{{"explorer: no pipe"}};
    serial::Fd from_child(ends[0]);
    serial::Fd to_parent(ends[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        from_child.reset();
        run_in_child(plan, to_parent.get(), trace);
    }
    to_parent.reset();
    std::string text;
    bool hung = false;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            give_up - std::chrono::steady_clock::now());
        pollfd p{from_child.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
            hung = true;
            ::kill(child, SIGKILL);
            break;
        }
        char buffer[4096];
        const ssize_t n = ::read(from_child.get(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    from_child.reset();
    int status = 0;
    ::waitpid(child, &status, 0);
    Result result = receive(text);
    if (hung)
        result.problems.push_back("the run hung (no result within 120 s of real time)");
    else if (WIFSIGNALED(status))
        result.problems.push_back("the run crashed: " + std::string(strsignal(WTERMSIG(status))));
    else if (text.empty())
        result.problems.push_back("the run ended without a result");
    return result;
}

} // namespace qkr::explore
