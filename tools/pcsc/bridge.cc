// The platform side of the PC/SC handler: channels onto driver devices, requests onto control
// codes, and card events onto card-tracking requests parked in the driver.
#include "tools/pcsc/bridge.h"

#include "host/host.h"
#include "sim/bridge.h"
#include "sim/card.h"
#include "sim/control.h"
#include "sim/control_server.h"
#include "sim/listener.h"
#include "tools/qkr/text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <shared_mutex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace qkr::pcsc {

namespace {

std::atomic<LogSink> log_sink{nullptr};
// Readers whose name asked for the driver's trace: one driver serves them all, so its lines go to
// the log while any of them is open.
std::atomic<int> tracing{0};

void emit(LogLevel level, const std::string& text) {
    const std::string line = "qkr-ifd: " + text;
    if (LogSink sink = log_sink.load())
        sink(level, line.c_str());
    else if (level != LogLevel::Debug)
        std::fprintf(stderr, "%s\n", line.c_str());
}

void note(const std::string& text) {
    emit(LogLevel::Info, text);
}

void debug(const std::string& text) {
    emit(LogLevel::Debug, text);
}

// An ordinary answer (no card, a wait ended) is no failure worth more than the debug level.
void failed(const std::string& what, NTSTATUS s) {
    const bool ordinary = s == STATUS_NO_MEDIA || s == STATUS_CANCELLED;
    emit(ordinary ? LogLevel::Debug : LogLevel::Info,
         what + " failed: " + tool::describe_status(s));
}

Result to_result(NTSTATUS s) {
    switch (static_cast<ULONG>(s)) {
    case STATUS_SUCCESS:
        return Result::Ok;
    case static_cast<ULONG>(STATUS_NO_MEDIA):
        return Result::NoCard;
    case static_cast<ULONG>(STATUS_IO_TIMEOUT):
        return Result::Timeout;
    case static_cast<ULONG>(STATUS_BUFFER_TOO_SMALL):
        return Result::InsufficientBuffer;
    case static_cast<ULONG>(STATUS_NOT_SUPPORTED):
    case static_cast<ULONG>(STATUS_INVALID_DEVICE_REQUEST):
        return Result::NotSupported;
    case static_cast<ULONG>(STATUS_INVALID_PARAMETER):
        return Result::BadParameter;
    case static_cast<ULONG>(STATUS_DEVICE_REMOVED):
    case static_cast<ULONG>(STATUS_DEVICE_NOT_CONNECTED):
    case static_cast<ULONG>(STATUS_DELETE_PENDING):
        return Result::NoDevice;
    default:
        return Result::CommunicationError;
    }
}

struct ChannelName {
    bool sim = true;
    std::string path;
    std::string card = "t1";
    std::string firmware = "0016";
    std::string socket;
    std::uint64_t seed = 1;
    std::uint16_t bridge = 0; // an external card on this TCP port in place of `card`
    bool trace = false;       // the driver's lines into the log
    bool wire = false;        // the line's bytes into the log
    // The link speed to switch to once the reader has started at its 19200 bit/s.
    std::uint32_t speed = 19200;
    // A serial port without modem lines (a pseudo-terminal): the far end's side channel, and CTS
    // and DSR until it speaks.
    std::string modem;
    bool cts = false;
    bool dsr = false;
};

bool parse_flag(const std::string& value, bool* out) {
    if (value != "0" && value != "1")
        return false;
    *out = value == "1";
    return true;
}

// A serial port: "/dev/ttyS0", or "tty:/dev/pts/5,modem=/tmp/qkr-sim.modem,cts=1,dsr=1" when it
// has no modem lines of its own.
bool parse_tty_name(const std::string& name, ChannelName* out, std::string* why) {
    out->sim = false;
    if (name.rfind("tty:", 0) != 0) {
        out->path = name;
        return true;
    }
    std::stringstream items(name.substr(4));
    std::getline(items, out->path, ',');
    if (out->path.empty()) {
        *why = "no serial port given";
        return false;
    }
    for (std::string item; std::getline(items, item, ',');) {
        auto eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        bool ok = eq != std::string::npos && !value.empty();
        if (ok && key == "modem")
            out->modem = value;
        else if (ok && key == "cts")
            ok = parse_flag(value, &out->cts);
        else if (ok && key == "dsr")
            ok = parse_flag(value, &out->dsr);
        else if (ok && key == "trace")
            ok = parse_flag(value, &out->trace);
        else
            ok = false;
        if (!ok) {
            *why = "unknown or malformed serial port option " + item +
                   " (known: modem=PATH, cts=0|1, dsr=0|1, trace=0|1)";
            return false;
        }
    }
    return true;
}

// "sim", "sim:card=t0,firmware=0009,socket=/tmp/qkr.sock,seed=7" (quoted or not), or a serial
// port as parse_tty_name() takes it.
bool parse_name(std::string name, ChannelName* out, std::string* why) {
    // pcscd's configuration reader hands a quoted DEVICENAME over with its quotes.
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    if (name.rfind("sim", 0) != 0 || (name.size() > 3 && name[3] != ':'))
        return parse_tty_name(name, out, why);
    std::stringstream options(name.size() > 4 ? name.substr(4) : std::string());
    for (std::string item; std::getline(options, item, ',');) {
        auto eq = item.find('=');
        if (eq == std::string::npos) {
            *why = "option without a value: " + item;
            return false;
        }
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        const auto digits = [&](std::size_t max) {
            return !value.empty() && value.size() <= max &&
                   value.find_first_not_of("0123456789") == std::string::npos;
        };
        const auto cards = sim::card_names();
        if (key == "card" && value == "none")
            out->card.clear();
        else if (key == "card" && std::find(cards.begin(), cards.end(), value) != cards.end())
            out->card = value;
        else if (key == "firmware" && value.size() == 4 && digits(4))
            out->firmware = value;
        else if (key == "socket" && !value.empty())
            out->socket = value;
        else if (key == "seed" && digits(19))
            out->seed = std::stoull(value);
        else if (key == "speed" && (value == "9600" || value == "19200" || value == "38400"))
            out->speed = static_cast<std::uint32_t>(std::stoul(value));
        else if (key == "bridge" && digits(5) && std::stoul(value) >= 1 &&
                 std::stoul(value) <= 65535)
            out->bridge = static_cast<std::uint16_t>(std::stoul(value));
        else if ((key == "trace" && parse_flag(value, &out->trace)) ||
                 (key == "wire" && parse_flag(value, &out->wire))) {
        } else {
            std::string names;
            for (const auto& c : cards)
                names += c + "|";
            *why = "unknown or malformed option " + item + " (known: card=" + names +
                   "none, firmware=NNNN (four digits), seed=N, socket=PATH, "
                   "speed=9600|19200|38400, bridge=PORT, trace=0|1, wire=0|1)";
            return false;
        }
    }
    if (out->bridge != 0)
        out->card.clear(); // the external card comes and goes with its connection
    return true;
}

// A local socket through which tests and people insert and remove the simulated card and inject
// faults, in the simulator's own command language (as the standalone simulator's control socket):
// one command a line ("insert t1", "remove", "fault nak 2", "status"), answered one line.
//
// It lives inside pcscd, so no client may hurt it (see sim/control_server.h), and closing waits
// for no client. Only the owner may connect.
class ControlSocket {
  public:
    ControlSocket(const std::string& path, host::Reader& reader)
        : reader_(reader),
          server_(listener_, [this](std::string_view line) { return execute(line); }) {
        if (!wake_.open()) {
            emit(LogLevel::Error, "cannot create the control socket " + path);
            return;
        }
        if (!listener_.open_unix(path)) {
            emit(LogLevel::Error, "cannot listen on " + listener_.error());
            return;
        }
        thread_ = std::thread([this] { server_.run(wake_.fd()); });
    }

    ~ControlSocket() {
        wake_.wake();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::string execute(std::string_view line) {
        std::string answer;
        // An insertion over a card would reach the driver as a line that stays up: pcscd would
        // see neither the old card leave nor the new one come.
        const bool insert = line.rfind("insert", 0) == 0;
        reader_.act_on_sim([&](sim::ReaderSim& s) {
            answer = insert && s.card_present() ? "error slot 0 holds a card: remove it first"
                                                : sim::control_command(s, line);
        });
        return answer;
    }

    host::Reader& reader_;
    serial::WakePipe wake_;
    sim::Listener listener_;
    sim::ControlServer server_;
    std::thread thread_;
};

} // namespace

constexpr const char* memory_card_hint =
    ": the card is a memory card, which has neither T=0 nor T=1: exchange with it through the "
    "reader's control code 2048 (SCardControl with SCARD_CTL_CODE(2048)); see the handler's "
    "README";

struct ReaderState {
    std::string name;
    std::string label; // "reader N", for log lines
    int channels = 0;
    host::Reader* reader = nullptr;
    kern::FileHandle handle;
    std::unique_ptr<ControlSocket> control;
    std::unique_ptr<sim::CardBridge> card_bridge;
    bool sim = true;
    bool trace = false;
    bool wire = false;
    std::uint32_t speed = 19200;
    std::string firmware; // the four characters of the reader's identification, read at start
    std::string socket;   // the control socket's path, opened once the reader has started
    std::thread starter;
    std::mutex wire_mu;
    // Commands share it; bringing the reader back after a power loss takes it alone, so that no
    // command runs into a device that is being stopped and started.
    std::shared_mutex use;
    std::mutex mu; // guards everything below
    std::condition_variable cv;
    enum class Start { Running, Done, Failed } start_state = Start::Running;
    std::vector<std::uint8_t> atr[2];
    kern::PendingIo* pending = nullptr; // slot 0's parked card-tracking request
    // A stop request ends the wait it finds (or the next one), and only that one: pcscd stops
    // its polling thread on every disconnect and starts it again.
    bool stop[2] = {false, false};
    // Slot 0's presence as pcscd last learnt it through present(), and whether a card command
    // found it different since.
    bool reported_present = false;
    bool changed = false;
    // The driver disabled the reader's interfaces (the reader lost power, DSR): nothing the
    // driver holds parked will be completed any more, until the device is started again.
    bool gone = false;
    // Counts the reader's losses and returns, so that a wait of the second slot (which has no
    // card events of its own) ends on either.
    unsigned epoch = 0;
    host::Reader::GoneWatch gone_watch;

    NTSTATUS call(unsigned slot, ULONG code, std::span<const std::uint8_t> in,
                  std::vector<std::uint8_t>* out, ULONG out_len) {
        std::shared_lock lock(use);
        const NTSTATUS s = slot == 0 ? reader->ioctl(handle, code, in, out, out_len)
                                     : reader->ioctl_slot1(handle, code, in, out, out_len);
        flush_wire();
        return s;
    }

    // The bytes that crossed the line since the last call, a line per run in one direction (at
    // most 32 bytes a line), and forgotten: the record would otherwise grow for as long as pcscd
    // runs.
    void flush_wire() {
        if (!wire)
            return;
        std::lock_guard lock(wire_mu);
        const auto bytes = reader->tap().bytes();
        reader->tap().clear();
        std::string line;
        int count = 0;
        serial::Direction direction = serial::Direction::ToDevice;
        for (const serial::TapByte& b : bytes) {
            if (count == 32 || (count > 0 && b.direction != direction)) {
                debug(line);
                count = 0;
            }
            if (count == 0) {
                direction = b.direction;
                line = label + " wire " + (direction == serial::Direction::ToDevice ? "->" : "<-");
            }
            char hex[8];
            std::snprintf(hex, sizeof hex, " %02X%s", b.byte, b.garbled ? "?" : "");
            line += hex;
            ++count;
        }
        if (count > 0)
            debug(line);
    }

    // The firmware version from the reader's identification (its last four characters, read
    // as a hexadecimal number, as the driver reads them), as PC/SC gives an IFD version:
    // 0xMMmm0000, "0016" being 0x00160000.
    bool ifd_version(ULONG* version) const {
        if (firmware.size() != 4 ||
            firmware.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        *version = static_cast<ULONG>(std::stoul(firmware, nullptr, 16)) << 16;
        return true;
    }

    // The highest rate the reader talks to a card at: its table's top (38400) from firmware
    // 0010 on, 9600 before; never above the link to the reader.
    ULONG max_data_rate() const {
        ULONG version = 0;
        const ULONG card_max = ifd_version(&version) && version >= 0x00100000 ? 38400 : 9600;
        return std::min<ULONG>(card_max, speed);
    }
    // Switches the link from the 19200 bit/s every start begins with to the speed asked for.
    // Part of a start: no command of a client runs meanwhile.
    NTSTATUS set_speed() {
        if (speed == 19200)
            return STATUS_SUCCESS;
        // The reader's link-speed command; its third byte is the speed code.
        const std::uint8_t request[3] = {0x4C, 0x00,
                                         static_cast<std::uint8_t>(speed == 38400 ? 1 : 3)};
        std::vector<std::uint8_t> reply;
        return reader->ioctl(handle, IOCTL_SMARTCARD_SET_BAUD_RATE, request, &reply, 16);
    }

    // The driver has the reader: its port is open and its interfaces were not disabled (they are
    // disabled first when the reader loses power, the port closed after; a loss during a command
    // closes them once the command is over).
    bool reader_there() {
        {
            std::lock_guard lock(mu);
            if (gone)
                return false;
        }
        return reader->port().snapshot().open;
    }

    ULONG state(unsigned slot = 0) {
        std::vector<std::uint8_t> out;
        if (call(slot, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4) != STATUS_SUCCESS || out.size() < 4)
            return SCARD_UNKNOWN;
        ULONG v;
        std::memcpy(&v, out.data(), sizeof v);
        return v;
    }

    bool card_present() { return state() > SCARD_ABSENT; }

    void request_stop(unsigned slot) {
        std::lock_guard lock(mu);
        stop[slot > 1 ? 1 : slot] = true;
        if (slot == 0 && pending != nullptr)
            pending->cancel();
        cv.notify_all();
    }

    void reader_gone() {
        std::lock_guard lock(mu);
        if (!gone) {
            ++epoch;
            next_try = std::chrono::steady_clock::now() + kRetry;
        }
        gone = true;
        if (pending != nullptr)
            pending->cancel();
        cv.notify_all();
    }

    // Whether the reader may have power again (DSR back). A serial port is closed once the
    // reader is gone and tells nothing until it is opened again, so there a restart is tried
    // every kRetry; the simulated line is watched.
    static constexpr auto kRetry = std::chrono::seconds(5);
    std::chrono::steady_clock::time_point next_try;
    bool power_back() {
        if (sim)
            return reader->line().modem_lines().dsr;
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(mu);
        if (now < next_try)
            return false;
        next_try = now + kRetry;
        return true;
    }

    // The device's start (in a thread of its own), then what needs a started device; the end,
    // good or bad, is announced to the waits. `self` keeps the state alive for the watch.
    void start(const std::shared_ptr<ReaderState>& self, std::mutex& one_at_a_time) {
        NTSTATUS s;
        {
            // As the Plug and Play manager starts devices: one after the other.
            std::lock_guard serial(one_at_a_time);
            s = reader->start();
            if (s == STATUS_SUCCESS)
                s = reader->open(&handle);
            if (s == STATUS_SUCCESS)
                s = set_speed();
        }
        if (s == STATUS_SUCCESS) {
            std::vector<std::uint8_t> info;
            if (call(0, IOCTL_SMARTCARD_GET_READER_INFO, {}, &info, 16) == STATUS_SUCCESS &&
                info.size() == 16)
                firmware.assign(info.begin() + 12, info.end());
        }
        flush_wire();
        if (s != STATUS_SUCCESS) {
            failed("reader " + name + ": the start", s);
            if (std::string reason = reader->line_error(); !reason.empty())
                emit(LogLevel::Error, reason);
            std::lock_guard lock(mu);
            start_state = Start::Failed;
            cv.notify_all();
            return;
        }
        if (!socket.empty())
            control = std::make_unique<ControlSocket>(socket, *reader);
        gone_watch = reader->watch_gone([weak = std::weak_ptr<ReaderState>(self)] {
            if (auto alive = weak.lock())
                alive->reader_gone();
        });
        std::lock_guard lock(mu);
        start_state = Start::Done;
        changed = true; // pcscd was told there was no card yet
        ++epoch;
        cv.notify_all();
    }

    // Waits for the start; whether the reader started.
    bool started() {
        std::unique_lock lock(mu);
        cv.wait(lock, [&] { return start_state != Start::Running; });
        return start_state == Start::Done;
    }

    // As Plug and Play would after the reader came back: stop the device and start it again.
    // The handle stays open across both. The host's restart also tells a start that no reader
    // answered.
    void bring_back() {
        std::unique_lock lock(use);
        {
            std::lock_guard state_lock(mu);
            if (!gone || !handle.is_open())
                return; // another thread did it meanwhile, or the channel is closing
        }
        NTSTATUS s = reader->restart_after_power_loss();
        if (s == STATUS_SUCCESS)
            s = set_speed();
        if (s != STATUS_SUCCESS) {
            std::lock_guard state_lock(mu);
            next_try = std::chrono::steady_clock::now() + kRetry;
            failed("reader " + name + " powered again: its restart", s);
            return;
        }
        note("reader " + name + " powered again and restarted");
        std::lock_guard state_lock(mu);
        gone = false;
        changed = true; // pcscd must look again, whatever it was told before
        ++epoch;
        atr[0].clear();
        atr[1].clear();
        cv.notify_all();
    }

    // A card command on either slot may have run across a line change of slot 0 that the driver
    // completes nothing for (the reader was busy), so compare slot 0's presence after each one
    // with what pcscd was told, and wake the waiter when they differ. Only presence counts: a
    // power-up or a protocol change moves the card state too, and waking pcscd for those makes
    // it power the card down again at once.
    void check_for_change() {
        bool now = card_present();
        std::lock_guard lock(mu);
        if (now == reported_present)
            return;
        changed = true;
        if (pending != nullptr)
            pending->cancel();
        cv.notify_all();
    }
};

struct Bridge::Impl {
    std::mutex mu;
    std::mutex start_mu;
    std::unique_ptr<host::Host> host;
    std::map<unsigned, std::shared_ptr<ReaderState>> readers;

    std::shared_ptr<ReaderState> find(ChannelId id) {
        std::lock_guard lock(mu);
        auto it = readers.find(id.reader);
        if (it == readers.end() || id.slot > 1)
            return nullptr;
        return it->second;
    }
};

void set_log_sink(LogSink sink) {
    log_sink.store(sink);
}

Bridge& Bridge::instance() {
    // Never destroyed: pcscd ends with exit() while its reader threads may still be inside the
    // handler, and tearing the stack down from an exit handler under them would wait for ever on
    // their requests. The process's end releases everything.
    union Holder {
        Bridge bridge;
        Holder() : bridge() {}
        ~Holder() {}
    };
    static Holder holder;
    return holder.bridge;
}

Bridge::Bridge() : impl_(std::make_unique<Impl>()) {}
Bridge::~Bridge() = default;

namespace {

// One driver serves every reader: its host comes with the first reader and goes with the last.
host::Host& host_for_readers(std::unique_ptr<host::Host>& host) {
    if (!host) {
        host = std::make_unique<host::Host>(kern::ClockMode::Real, [](std::string_view line) {
            if (tracing.load() > 0)
                debug(std::string(line));
        });
        host->kernel().set_verifier_handler(
            [](const std::string& message) { emit(LogLevel::Error, "verifier: " + message); });
    }
    return *host;
}

host::ReaderOptions reader_options(const ChannelName& parsed, ChannelId id) {
    host::ReaderOptions ro;
    if (!parsed.sim) {
        serial::TtyOptions tty;
        tty.path = parsed.path;
        tty.modem_socket = parsed.modem;
        tty.assume_cts = parsed.cts;
        tty.assume_dsr = parsed.dsr;
        tty.log = [](std::string_view line) { note(std::string(line)); };
        ro.tty = std::move(tty);
    }
    ro.sim.firmware = parsed.firmware;
    ro.sim.slot0_card = parsed.card;
    ro.sim.seed = parsed.seed;
    ro.tap = parsed.wire;
    ro.name = "pcsc" + std::to_string(id.reader);
    return ro;
}

// What can be refused at once is refused here, before the device is added: pcscd then drops
// this reader alone.
NTSTATUS add_reader_device(ReaderState& st, const ChannelName& parsed, const std::string& name) {
    if (!parsed.sim && ::access(parsed.path.c_str(), R_OK | W_OK) != 0) {
        emit(LogLevel::Error,
             "reader " + name + ": cannot use " + parsed.path + ": " + std::strerror(errno));
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (parsed.bridge != 0) {
        st.card_bridge = std::make_unique<sim::CardBridge>(st.reader->sim(),
                                                           sim::CardBridge::Config{parsed.bridge});
        if (!st.card_bridge->start()) {
            emit(LogLevel::Error,
                 "reader " + name + ": cannot listen for an external card on 127.0.0.1:" +
                     std::to_string(parsed.bridge) + ": " + st.card_bridge->error());
            return STATUS_INVALID_PARAMETER;
        }
    }
    return st.reader->add();
}

} // namespace

Result Bridge::open(ChannelId id, const std::string& name) {
    if (id.slot > 1)
        return Result::NotSupported;
    std::lock_guard lock(impl_->mu);
    auto it = impl_->readers.find(id.reader);
    if (it != impl_->readers.end()) {
        ++it->second->channels;
        return Result::Ok;
    }
    ChannelName parsed;
    std::string why;
    if (!parse_name(name, &parsed, &why)) {
        note("channel " + name + ": " + why);
        return Result::BadParameter;
    }
    host::Host& host = host_for_readers(impl_->host);
    if (host.readers() >= host::Host::kMaxReaders)
        return Result::NoDevice;

    auto st = std::make_shared<ReaderState>();
    st->name = name;
    st->label = "reader " + std::to_string(id.reader);
    st->sim = parsed.sim;
    st->speed = parsed.speed;
    st->trace = parsed.trace;
    st->wire = parsed.wire;
    if (st->trace)
        ++tracing;
    st->reader = &host.add_reader(reader_options(parsed, id));
    if (const NTSTATUS s = add_reader_device(*st, parsed, name); s != STATUS_SUCCESS) {
        failed("reader " + name + ": adding it", s);
        if (st->trace)
            --tracing;
        st->card_bridge.reset();
        host.release_reader(*st->reader);
        if (host.readers() == 0)
            impl_->host.reset();
        return Result::NoDevice;
    }
    st->channels = 1;
    st->socket = parsed.socket;
    // The start holds the serial port's 3 s set-up pause, and pcscd opens its readers from its
    // main thread, which serves no client meanwhile: the start goes on in the background. Until
    // it is over the slots hold no card and commands wait for it.
    st->starter = std::thread([st, &serial = impl_->start_mu] { st->start(st, serial); });
    impl_->readers[id.reader] = std::move(st);
    return Result::Ok;
}

Result Bridge::close(ChannelId id) {
    std::shared_ptr<ReaderState> st;
    {
        std::lock_guard lock(impl_->mu);
        auto it = impl_->readers.find(id.reader);
        if (it == impl_->readers.end())
            return Result::NoDevice;
        if (--it->second->channels > 0)
            return Result::Ok;
        st = it->second;
        impl_->readers.erase(it);
    }
    st->starter.join();
    st->request_stop(0);
    st->request_stop(1);
    st->control.reset();
    {
        std::unique_lock use(st->use); // a restart after a power loss may still run
        st->handle.close();
    }
    st->card_bridge.reset();
    if (st->trace)
        --tracing;
    std::lock_guard lock(impl_->mu);
    st->gone_watch.end();
    if (st->start_state == ReaderState::Start::Done)
        st->reader->stop();
    impl_->host->release_reader(*st->reader);
    if (impl_->host->readers() == 0)
        impl_->host.reset();
    return Result::Ok;
}

Result Bridge::power(ChannelId id, PowerAction action, std::vector<std::uint8_t>* atr) {
    auto st = impl_->find(id);
    if (!st || !st->started())
        return Result::NoDevice;
    ULONG minor = action == PowerAction::Up     ? SCARD_COLD_RESET
                  : action == PowerAction::Down ? SCARD_POWER_DOWN
                                                : SCARD_WARM_RESET;
    std::vector<std::uint8_t> out;
    NTSTATUS s = st->call(id.slot, IOCTL_SMARTCARD_POWER, host::ulong_input(minor), &out, 64);
    {
        std::lock_guard lock(st->mu);
        st->atr[id.slot] = s == STATUS_SUCCESS ? out : std::vector<std::uint8_t>();
    }
    if (atr)
        *atr = out;
    st->check_for_change();
    if (s != STATUS_SUCCESS)
        failed(st->label + " slot " + std::to_string(id.slot) + ": power", s);
    if (s != STATUS_SUCCESS && !st->reader_there())
        return Result::NoDevice;
    return to_result(s);
}

Result Bridge::atr(ChannelId id, std::vector<std::uint8_t>* atr) {
    auto st = impl_->find(id);
    if (!st)
        return Result::NoDevice;
    std::lock_guard lock(st->mu);
    *atr = st->atr[id.slot];
    return Result::Ok;
}

Result Bridge::set_protocol(ChannelId id, unsigned* t) {
    auto st = impl_->find(id);
    if (!st || !st->started())
        return Result::NoDevice;
    if (*t > 1)
        return Result::NotSupported;
    std::vector<std::uint8_t> out;
    NTSTATUS s =
        st->call(id.slot, IOCTL_SMARTCARD_SET_PROTOCOL, host::ulong_input(1u << *t), &out, 4);
    st->check_for_change();
    const std::string slot = st->label + " slot " + std::to_string(id.slot);
    if (s != STATUS_SUCCESS) {
        failed(slot + ": protocol T=" + std::to_string(*t), s);
        return to_result(s);
    }
    ULONG selected = 0;
    if (out.size() >= 4)
        std::memcpy(&selected, out.data(), 4);
    if (selected == SCARD_PROTOCOL_T0)
        *t = 0;
    else if (selected == SCARD_PROTOCOL_T1)
        *t = 1;
    else {
        note(slot + memory_card_hint);
        return Result::MemoryCard;
    }
    return Result::Ok;
}

Result Bridge::transmit(ChannelId id, unsigned t, std::span<const std::uint8_t> command,
                        std::vector<std::uint8_t>* response, std::size_t max_response) {
    auto st = impl_->find(id);
    if (!st || !st->started())
        return Result::NoDevice;
    const std::string slot = st->label + " slot " + std::to_string(id.slot);
    if (t > 1) {
        note(slot + memory_card_hint);
        return Result::MemoryCard;
    }
    if (command.size() > kMaxCommand) {
        note(slot + ": a command of " + std::to_string(command.size()) + " bytes, above the " +
             std::to_string(kMaxCommand) + " the reader takes");
        return Result::BadParameter;
    }
    debug(slot + " APDU > " + tool::format_hex(command));
    auto in = host::transmit_input(1u << t, command);
    std::vector<std::uint8_t> out;
    ULONG room =
        static_cast<ULONG>(sizeof(SCARD_IO_REQUEST) + std::min<std::size_t>(max_response, 65538));
    NTSTATUS s = st->call(id.slot, IOCTL_SMARTCARD_TRANSMIT, in, &out, room);
    st->check_for_change();
    if (s != STATUS_SUCCESS) {
        failed(slot + ": transmit", s);
        // A memory card's protocol, as the driver reports it once a selection found no other.
        std::vector<std::uint8_t> protocol;
        if (st->call(id.slot, IOCTL_SMARTCARD_GET_ATTRIBUTE,
                     host::ulong_input(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), &protocol,
                     4) == STATUS_SUCCESS &&
            protocol == host::ulong_input(0x10)) {
            note(slot + memory_card_hint);
            return Result::MemoryCard;
        }
        return !st->reader_there() ? Result::NoDevice : to_result(s);
    }
    *response = host::transmit_response(out);
    debug(slot + " APDU < " + tool::format_hex(*response));
    if (response->size() > max_response)
        return Result::InsufficientBuffer;
    return Result::Ok;
}

Result Bridge::present(ChannelId id, bool* present) {
    auto st = impl_->find(id);
    if (!st)
        return Result::NoDevice;
    {
        std::lock_guard lock(st->mu);
        if (st->start_state == ReaderState::Start::Failed)
            return Result::NoDevice;
        if (st->start_state == ReaderState::Start::Running) {
            *present = false; // no card yet: the end of the start wakes the waits
            if (id.slot == 0)
                st->reported_present = false;
            return Result::Ok;
        }
    }
    if (!st->reader_there())
        return Result::NoDevice;
    if (id.slot == 1) {
        *present = true;
        return Result::Ok;
    }
    *present = st->card_present();
    std::lock_guard lock(st->mu);
    st->reported_present = *present;
    st->changed = false;
    return Result::Ok;
}

Result Bridge::attribute(ChannelId id, std::uint32_t attribute, std::vector<std::uint8_t>* value) {
    auto st = impl_->find(id);
    if (!st || !st->started())
        return Result::NoDevice;
    // What the driver leaves to its caller: the firmware as the version, and the data rates the
    // reader can reach over the link in use.
    ULONG own = 0;
    if (attribute == SCARD_ATTR_VENDOR_IFD_VERSION && !st->ifd_version(&own))
        return Result::NotSupported;
    if (attribute == SCARD_ATTR_MAX_DATA_RATE)
        own = st->max_data_rate();
    if (own != 0) {
        *value = host::ulong_input(own);
        return Result::Ok;
    }
    NTSTATUS s =
        st->call(id.slot, IOCTL_SMARTCARD_GET_ATTRIBUTE, host::ulong_input(attribute), value, 256);
    return to_result(s);
}

Result Bridge::control(ChannelId id, unsigned function, std::span<const std::uint8_t> input,
                       std::vector<std::uint8_t>* output, std::size_t max_output) {
    auto st = impl_->find(id);
    if (!st || !st->started())
        return Result::NoDevice;
    if (function < 2048 || function > 2050)
        return Result::NotSupported;
    const std::string slot = st->label + " slot " + std::to_string(id.slot);
    // The reader answers an exchange with a card that has no power with no data at all, which a
    // caller would take for the card's answer.
    if (function == 2048) {
        const ULONG state = st->state(id.slot);
        if (state <= SCARD_ABSENT) {
            debug(slot + ": memory card exchange: no card");
            return Result::NoCard;
        }
        if (state < SCARD_POWERED) {
            note(slot + ": memory card exchange: the card has no power (connect to it first)");
            return Result::NotPowered;
        }
    }
    ULONG room = static_cast<ULONG>(std::min<std::size_t>(max_output, 1048));
    NTSTATUS s = st->call(id.slot, SCARD_CTL_CODE(function), input, output, room);
    st->check_for_change();
    if (s != STATUS_SUCCESS)
        failed(slot + ": control code " + std::to_string(function), s);
    return to_result(s);
}

Result Bridge::wait_for_change(ChannelId id, int timeout_ms) {
    auto st = impl_->find(id);
    if (!st)
        return Result::NoDevice;
    const unsigned slot = id.slot;
    auto limit =
        timeout_ms < 0 ? std::chrono::hours(24 * 365) : std::chrono::milliseconds(timeout_ms);
    auto deadline = std::chrono::steady_clock::now() + limit;
    unsigned epoch;
    {
        // A reader still starting: its end is the change. One that failed to start stays gone,
        // and the wait lasts its whole time, so that pcscd does not spin.
        std::unique_lock lock(st->mu);
        if (st->start_state != ReaderState::Start::Done) {
            st->cv.wait_until(lock, deadline, [&] {
                return st->stop[slot] || st->start_state == ReaderState::Start::Done;
            });
            st->stop[slot] = false;
            return st->start_state == ReaderState::Start::Done ? Result::Ok : Result::NoDevice;
        }
        epoch = st->epoch;
    }
    // While the reader is gone, nothing comes from the driver: look for its power every so often
    // and bring it back once it is there.
    for (bool gone = !st->reader_there(); gone; gone = !st->reader_there()) {
        if (st->power_back()) {
            st->bring_back();
            if (st->reader_there())
                break;
        }
        std::unique_lock lock(st->mu);
        if (st->cv.wait_until(lock,
                              std::min(deadline, std::chrono::steady_clock::now() +
                                                     std::chrono::milliseconds(100)),
                              [&] { return st->stop[slot]; }) ||
            std::chrono::steady_clock::now() >= deadline) {
            st->stop[slot] = false;
            return Result::NoDevice;
        }
    }
    if (slot == 1) {
        // The second slot always holds its card: nothing to wait for but the end, or the reader
        // going or coming back.
        std::unique_lock lock(st->mu);
        st->cv.wait_until(lock, deadline, [&] { return st->stop[1] || st->epoch != epoch; });
        st->stop[1] = false;
        return Result::Ok;
    }
    bool now = st->card_present();
    bool expect_present;
    {
        std::lock_guard lock(st->mu);
        if (st->stop[0] || st->changed || st->gone || st->epoch != epoch ||
            now != st->reported_present) {
            st->stop[0] = false;
            return st->gone ? Result::NoDevice : Result::Ok;
        }
        expect_present = st->reported_present;
    }
    kern::PendingIo io = st->handle.ioctl_async(
        expect_present ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    {
        std::lock_guard lock(st->mu);
        st->pending = &io;
        if (st->stop[0] || st->changed || st->gone)
            io.cancel();
    }
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(std::max(
        deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration{}));
    bool done = io.wait_for(left.count() * kern::kTicksPerMicrosecond);
    {
        std::lock_guard lock(st->mu);
        st->pending = nullptr;
        st->stop[0] = false;
    }
    if (!done) {
        io.cancel();
        io.wait();
    }
    return Result::Ok;
}

Result Bridge::ready(ChannelId id) {
    auto st = impl_->find(id);
    return st && st->started() ? Result::Ok : Result::NoDevice;
}

Result Bridge::stop_wait(ChannelId id) {
    auto st = impl_->find(id);
    if (!st)
        return Result::Ok;
    st->request_stop(id.slot);
    return Result::Ok;
}

} // namespace qkr::pcsc
