// The platform side of the PC/SC handler: channels onto driver devices, requests onto control
// codes, and card events onto card-tracking requests parked in the driver.
#include "tools/pcsc/bridge.h"

#include "sim/card.h"
#include "sim/control.h"
#include "tools/host/host.h"
#include "tools/qkr/sim_control.h"

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

void note(const std::string& text) {
    std::fprintf(stderr, "qkr-ifd: %s\n", text.c_str());
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
        else
            ok = false;
        if (!ok) {
            *why = "unknown or malformed serial port option " + item +
                   " (known: modem=PATH, cts=0|1, dsr=0|1)";
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
        else {
            std::string names;
            for (const auto& c : cards)
                names += c + "|";
            *why = "unknown or malformed option " + item + " (known: card=" + names +
                   "none, firmware=NNNN (four digits), seed=N, socket=PATH, "
                   "speed=9600|19200|38400)";
            return false;
        }
    }
    return true;
}

// A local socket through which tests and people insert and remove the simulated card and inject
// faults, in the simulator's own command language (as the standalone simulator's control socket):
// one command a line ("insert t1", "remove", "fault nak 2", "status"), answered one line.
//
// It lives inside pcscd, so no client may hurt it: one thread serves every client through poll()
// and never blocks on one; a line over kMaxLine is answered with an error and dropped whole; a
// client that lets kMaxUnsent bytes of answers pile up unread is dropped; closing waits for no
// client. Only the owner may connect.
class ControlServer {
  public:
    static constexpr std::size_t kMaxLine = 1024;
    static constexpr std::size_t kMaxUnsent = 64 * 1024;
    static constexpr std::size_t kMaxClients = 32;

    ControlServer(std::string path, sim::ReaderSim& sim) : path_(std::move(path)), sim_(sim) {
        ::unlink(path_.c_str());
        listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (listen_fd_ < 0 || path_.size() >= sizeof addr.sun_path ||
            ::pipe2(wake_, O_CLOEXEC) != 0) {
            note("cannot create the control socket " + path_);
            return;
        }
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        // The file takes the socket's mode when bound: owner only from its first moment, whatever
        // pcscd's umask.
        if (::fchmod(listen_fd_, 0600) != 0 ||
            ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_fd_, 16) != 0) {
            note("cannot listen on " + path_ + ": " + std::strerror(errno));
            return;
        }
        thread_ = std::thread([this] { run(); });
    }

    ~ControlServer() {
        if (wake_[1] >= 0) {
            char c = 0;
            (void)!::write(wake_[1], &c, 1);
        }
        if (thread_.joinable())
            thread_.join();
        for (const Client& c : clients_)
            ::close(c.fd);
        for (int fd : {listen_fd_, wake_[0], wake_[1]})
            if (fd >= 0)
                ::close(fd);
        ::unlink(path_.c_str());
    }

  private:
    struct Client {
        int fd = -1;
        std::string in;
        std::string out;
        bool skipping = false; // inside a line that was too long, up to its end
        bool ended = false;    // the client sent its last byte; answer, then close
    };

    void run() {
        std::vector<pollfd> fds;
        for (;;) {
            fds.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
            for (const Client& c : clients_)
                fds.push_back(
                    {c.fd,
                     static_cast<short>((c.ended ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT)),
                     0});
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[0].revents != 0)
                return;
            const std::size_t polled = clients_.size();
            if (fds[1].revents & POLLIN)
                accept_clients();
            for (std::size_t i = 0; i < polled; ++i) {
                Client& c = clients_[i];
                const short ev = fds[i + 2].revents;
                bool keep = !(ev & (POLLERR | POLLNVAL));
                if (keep && (ev & (POLLIN | POLLHUP)) && !c.ended)
                    keep = receive(c);
                if (keep && !c.out.empty())
                    keep = send_pending(c);
                if (!keep || (c.ended && c.out.empty())) {
                    ::close(c.fd);
                    c.fd = -1;
                }
            }
            std::erase_if(clients_, [](const Client& c) { return c.fd < 0; });
        }
    }

    void accept_clients() {
        for (;;) {
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0)
                return;
            if (clients_.size() >= kMaxClients) {
                ::close(fd);
                continue;
            }
            clients_.push_back({fd});
        }
    }

    // Reads what the client sent and answers its complete lines; false when it is to be dropped.
    bool receive(Client& c) {
        char chunk[4096];
        ssize_t n = ::read(c.fd, chunk, sizeof chunk);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        if (n == 0) {
            c.ended = true;
            return true;
        }
        c.in.append(chunk, static_cast<std::size_t>(n));
        for (;;) {
            const std::size_t nl = c.in.find('\n');
            if (nl == std::string::npos) {
                if (!c.skipping && c.in.size() > kMaxLine) {
                    c.out += "error line too long\n";
                    c.skipping = true;
                }
                if (c.skipping)
                    c.in.clear();
                break;
            }
            if (c.skipping || nl > kMaxLine) {
                if (!c.skipping)
                    c.out += "error line too long\n";
                c.skipping = false;
            } else {
                c.out += execute(c.in.substr(0, nl)) + "\n";
            }
            c.in.erase(0, nl + 1);
        }
        return c.out.size() <= kMaxUnsent;
    }

    bool send_pending(Client& c) {
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        c.out.erase(0, static_cast<std::size_t>(n));
        return true;
    }

    std::string execute(const std::string& line) {
        std::string answer;
        tool::run_in_timer_context([&] { answer = sim::control_command(sim_, line); });
        return answer;
    }

    std::string path_;
    sim::ReaderSim& sim_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::vector<Client> clients_; // the serving thread's alone
    std::thread thread_;
};

} // namespace

struct ReaderState {
    std::string name;
    int channels = 0;
    host::Reader* reader = nullptr;
    kern::FileHandle handle;
    std::unique_ptr<ControlServer> control;
    bool sim = true;
    std::uint32_t speed = 19200;
    // Commands share it; bringing the reader back after a power loss takes it alone, so that no
    // command runs into a device that is being stopped and started.
    std::shared_mutex use;
    std::mutex mu; // guards everything below
    std::condition_variable cv;
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
        return slot == 0 ? reader->ioctl(handle, code, in, out, out_len)
                         : reader->ioctl_slot1(handle, code, in, out, out_len);
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

    ULONG state() {
        std::vector<std::uint8_t> out;
        if (call(0, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4) != STATUS_SUCCESS || out.size() < 4)
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
            char buf[16];
            std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
            note("reader " + name + " powered again but did not start: " + buf);
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
    if (!impl_->host) {
        impl_->host = std::make_unique<host::Host>(kern::ClockMode::Real);
        impl_->host->kernel().set_verifier_handler(
            [](const std::string& message) { note("verifier: " + message); });
    }
    if (impl_->host->readers() >= host::Host::kMaxReaders)
        return Result::NoDevice;

    auto st = std::make_shared<ReaderState>();
    st->name = name;
    st->sim = parsed.sim;
    st->speed = parsed.speed;
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
    ro.tap = false;
    ro.name = "pcsc" + std::to_string(id.reader);
    st->reader = &impl_->host->add_reader(ro);
    NTSTATUS s = st->reader->add();
    if (s == STATUS_SUCCESS)
        s = st->reader->start();
    if (s == STATUS_SUCCESS)
        s = st->reader->open(&st->handle);
    if (s == STATUS_SUCCESS)
        s = st->set_speed();
    if (s != STATUS_SUCCESS) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
        note("reader " + name + " did not start: " + buf);
        if (std::string reason = st->reader->line_error(); !reason.empty())
            note(reason);
        if (st->handle.is_open())
            st->handle.close();
        impl_->host->release_reader(*st->reader);
        if (impl_->host->readers() == 0)
            impl_->host.reset();
        return Result::NoDevice;
    }
    if (!parsed.socket.empty())
        st->control = std::make_unique<ControlServer>(parsed.socket, st->reader->sim());
    st->reported_present = st->card_present();
    st->gone_watch = st->reader->watch_gone([weak = std::weak_ptr<ReaderState>(st)] {
        if (auto alive = weak.lock())
            alive->reader_gone();
    });
    st->channels = 1;
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
    st->request_stop(0);
    st->request_stop(1);
    st->control.reset();
    {
        std::unique_lock use(st->use); // a restart after a power loss may still run
        st->handle.close();
    }
    std::lock_guard lock(impl_->mu);
    st->gone_watch.end();
    st->reader->stop();
    impl_->host->release_reader(*st->reader);
    if (impl_->host->readers() == 0)
        impl_->host.reset();
    return Result::Ok;
}

Result Bridge::power(ChannelId id, PowerAction action, std::vector<std::uint8_t>* atr) {
    auto st = impl_->find(id);
    if (!st)
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
    if (!st)
        return Result::NoDevice;
    if (*t > 1)
        return Result::NotSupported;
    std::vector<std::uint8_t> out;
    NTSTATUS s =
        st->call(id.slot, IOCTL_SMARTCARD_SET_PROTOCOL, host::ulong_input(1u << *t), &out, 4);
    st->check_for_change();
    if (s != STATUS_SUCCESS)
        return to_result(s);
    ULONG selected = 0;
    if (out.size() >= 4)
        std::memcpy(&selected, out.data(), 4);
    if (selected == SCARD_PROTOCOL_T0)
        *t = 0;
    else if (selected == SCARD_PROTOCOL_T1)
        *t = 1;
    else
        return Result::NotSupported; // a memory card: no T=0 or T=1 for PC/SC
    return Result::Ok;
}

Result Bridge::transmit(ChannelId id, unsigned t, std::span<const std::uint8_t> command,
                        std::vector<std::uint8_t>* response, std::size_t max_response) {
    auto st = impl_->find(id);
    if (!st)
        return Result::NoDevice;
    if (t > 1 || command.size() > 1040)
        return Result::BadParameter;
    auto in = host::transmit_input(1u << t, command);
    std::vector<std::uint8_t> out;
    ULONG room =
        static_cast<ULONG>(sizeof(SCARD_IO_REQUEST) + std::min<std::size_t>(max_response, 65538));
    NTSTATUS s = st->call(id.slot, IOCTL_SMARTCARD_TRANSMIT, in, &out, room);
    st->check_for_change();
    if (s != STATUS_SUCCESS)
        return !st->reader_there() ? Result::NoDevice : to_result(s);
    *response = host::transmit_response(out);
    if (response->size() > max_response)
        return Result::InsufficientBuffer;
    return Result::Ok;
}

Result Bridge::present(ChannelId id, bool* present) {
    auto st = impl_->find(id);
    if (!st)
        return Result::NoDevice;
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
    if (!st)
        return Result::NoDevice;
    NTSTATUS s =
        st->call(id.slot, IOCTL_SMARTCARD_GET_ATTRIBUTE, host::ulong_input(attribute), value, 256);
    return to_result(s);
}

Result Bridge::control(ChannelId id, unsigned function, std::span<const std::uint8_t> input,
                       std::vector<std::uint8_t>* output, std::size_t max_output) {
    auto st = impl_->find(id);
    if (!st)
        return Result::NoDevice;
    if (function < 2048 || function > 2050)
        return Result::NotSupported;
    ULONG room = static_cast<ULONG>(std::min<std::size_t>(max_output, 1048));
    NTSTATUS s = st->call(id.slot, SCARD_CTL_CODE(function), input, output, room);
    st->check_for_change();
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
        std::lock_guard lock(st->mu);
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

Result Bridge::stop_wait(ChannelId id) {
    auto st = impl_->find(id);
    if (!st)
        return Result::Ok;
    st->request_stop(id.slot);
    return Result::Ok;
}

} // namespace qkr::pcsc
