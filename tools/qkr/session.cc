#include "tools/qkr/session.h"

#include "host/host.h"
#include "sim/bridge.h"
#include "sim/control.h"
#include "tools/qkr/text.h"
#include "tools/qkr/timeline.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace qkr::tool {

namespace {

const char* state_name(ULONG state) {
    switch (state) {
    case SCARD_UNKNOWN:
        return "unknown";
    case SCARD_ABSENT:
        return "absent";
    case SCARD_PRESENT:
        return "present";
    case SCARD_SWALLOWED:
        return "swallowed";
    case SCARD_POWERED:
        return "powered";
    case SCARD_NEGOTIABLE:
        return "negotiable";
    case SCARD_SPECIFIC:
        return "specific";
    default:
        return "invalid";
    }
}

std::string protocol_name(ULONG protocol) {
    switch (protocol) {
    case SCARD_PROTOCOL_T0:
        return "T=0";
    case SCARD_PROTOCOL_T1:
        return "T=1";
    case SCARD_PROTOCOL_RAW:
        return "raw";
    case 0x10:
        return "memory card (0x10)";
    default: {
        char buf[24];
        std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(protocol));
        return buf;
    }
    }
}

std::optional<ULONG> read_ulong(const std::vector<std::uint8_t>& b) {
    if (b.size() < sizeof(ULONG))
        return std::nullopt;
    ULONG v;
    std::memcpy(&v, b.data(), sizeof v);
    return v;
}

} // namespace

struct Session::Impl {
    SessionOptions opt;
    std::ostream& log;
    // The driver's log lines for the timeline; they come from the kernel's threads, from the
    // driver's load on, so they are there before `host`.
    std::mutex log_mu;
    std::vector<LogLine> log_lines;
    host::Host host;
    host::Reader* reader = nullptr;
    kern::FileHandle handle;
    std::size_t wire_seen = 0;
    ULONG selected[2] = {0, 0};
    // The driver holds requests back while the system sleeps, and only `wake` ends the sleep:
    // a request then would wait for ever.
    bool asleep = false;
    std::unique_ptr<sim::CardBridge> bridge;

    // An external card answers over a socket in its own time: only the real clock fits it.
    static bool real_clock(const SessionOptions& o) {
        return o.real_time || o.port != "sim" || o.card.rfind("bridge", 0) == 0;
    }

    explicit Impl(SessionOptions o)
        : opt(std::move(o)), log(opt.log ? *opt.log : std::cerr),
          host(real_clock(opt) ? kern::ClockMode::Real : kern::ClockMode::Virtual, trace_sink()) {
        const bool bridged = opt.card.rfind("bridge", 0) == 0;
        host::ReaderOptions ro;
        if (opt.port != "sim") {
            serial::TtyOptions tty;
            tty.path = opt.port;
            tty.modem_socket = opt.modem_socket;
            tty.assume_cts = opt.assume_cts;
            tty.assume_dsr = opt.assume_dsr;
            // The back-end's notes say where CTS and DSR come from and when the far end hangs
            // up: worth a line each, trace or not.
            tty.log = [this](std::string_view line) { this->log << "qkr: " << line << "\n"; };
            ro.tty = std::move(tty);
        }
        ro.sim.firmware = opt.firmware;
        ro.sim.slot0_card = opt.card == "none" || bridged ? std::string() : opt.card;
        ro.sim.seed = opt.seed;
        ro.tap = opt.wire || opt.timeline;
        reader = &host.add_reader(ro);
        if (bridged) {
            sim::CardBridge::Config bc;
            if (opt.card.size() > 7 && opt.card[6] == ':')
                bc.port =
                    static_cast<std::uint16_t>(std::strtoul(opt.card.c_str() + 7, nullptr, 10));
            bridge = std::make_unique<sim::CardBridge>(reader->sim(), bc);
            if (!bridge->start())
                throw std::runtime_error("cannot listen for an external card on 127.0.0.1:" +
                                         std::to_string(bc.port) + ": " + bridge->error());
            log << "qkr: waiting for an external card on 127.0.0.1:" << bridge->port() << "\n";
        }
    }

    ~Impl() {
        bridge.reset();
        if (handle.is_open())
            handle.close();
    }

    // The host hears the driver from its load on, before `host` is there to ask for the time.
    std::function<void(std::string_view)> trace_sink() {
        if (!opt.trace && !opt.timeline)
            return {};
        return [this](std::string_view line) {
            kern::Kernel* k = kern::Kernel::current_or_null();
            if (opt.timeline) {
                std::lock_guard lock(log_mu);
                log_lines.push_back({k ? k->now() : 0, std::string(line)});
            }
            if (!opt.trace)
                return;
            std::string stamp;
            if (k && opt.timestamps) {
                char buf[32];
                std::snprintf(buf, sizeof buf, "[%10.6f] ",
                              static_cast<double>(k->now()) / kern::kTicksPerSecond);
                stamp = buf;
            }
            log << stamp << line << "\n";
        };
    }

    double seconds() { return static_cast<double>(host.kernel().now()) / kern::kTicksPerSecond; }

    // The bytes that crossed the line since the last call, for --wire.
    void flush_wire() {
        if (!opt.wire)
            return;
        auto bytes = reader->tap().bytes();
        for (; wire_seen < bytes.size(); ++wire_seen) {
            const auto& b = bytes[wire_seen];
            char buf[64];
            std::snprintf(buf, sizeof buf, "[%10.6f] %s %02X%s\n",
                          static_cast<double>(b.time) / kern::kTicksPerSecond,
                          b.direction == serial::Direction::ToDevice ? "->" : "<-", b.byte,
                          b.garbled ? " (garbled)" : "");
            log << buf;
        }
    }

    Outcome sim_command(const std::vector<std::string>& words) {
        if (opt.port != "sim") {
            log << "qkr: " << words.front() << ": there is no simulator behind port " << opt.port
                << "\n";
            return {STATUS_NOT_SUPPORTED, {}};
        }
        const std::vector<std::string_view> w(words.begin(), words.end());
        sim::Parsed p = sim::parse_command(w, sim::Dialect::Script, opt.seed);
        if (!p.command) {
            log << "qkr: " << p.error << "\n";
            return {STATUS_INVALID_PARAMETER, {}};
        }
        reader->act_on_sim([&](sim::ReaderSim& s) { p.command->run(s); });
        return {STATUS_SUCCESS, p.command->detail()};
    }

    // A reader that lost power is restarted once it has power again; until then the request
    // goes to the driver all the same, which answers for a reader it knows is gone.
    NTSTATUS recover() {
        if (!reader->power_lost())
            return STATUS_SUCCESS;
        const NTSTATUS s = reader->restart_after_power_loss();
        flush_wire();
        if (reader->power_lost())
            return STATUS_SUCCESS;
        if (s == STATUS_SUCCESS) {
            log << "qkr: the reader has power again: device restarted\n";
            selected[0] = selected[1] = 0;
            return s;
        }
        log << "qkr: the reader's restart after its power loss failed: " << describe_status(s)
            << "\n";
        return s;
    }

    // A start the driver took, but to which the reader never answered, found no reader.
    NTSTATUS check_answered() {
        if (reader->start_answered())
            return STATUS_SUCCESS;
        log << "qkr: no reader answered on " << opt.port << "\n";
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    bool ensure_open() {
        if (handle.is_open())
            return true;
        if (!reader->added())
            return false;
        return reader->open(&handle) == STATUS_SUCCESS;
    }

    NTSTATUS check_awake() {
        if (!asleep)
            return STATUS_SUCCESS;
        log << "qkr: the system is asleep: `wake` first\n";
        return STATUS_DEVICE_NOT_READY;
    }

    Outcome control(int slot, ULONG code, std::span<const std::uint8_t> in,
                    std::vector<std::uint8_t>* out, ULONG out_len) {
        if (NTSTATUS s = check_awake(); s != STATUS_SUCCESS)
            return {s, {}};
        if (NTSTATUS s = recover(); s != STATUS_SUCCESS)
            return {s, {}};
        if (!ensure_open())
            return {STATUS_DEVICE_NOT_READY, {}};
        NTSTATUS s = slot == 0 ? reader->ioctl(handle, code, in, out, out_len)
                               : reader->ioctl_slot1(handle, code, in, out, out_len);
        flush_wire();
        return {s, {}};
    }
};

Session::Session(SessionOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Session::~Session() = default;

bool Session::write_timeline(const std::string& path, const std::string& title) {
    std::vector<LogLine> log;
    {
        std::lock_guard lock(impl_->log_mu);
        log = impl_->log_lines;
    }
    const auto bytes = impl_->reader->tap().bytes();
    std::ofstream out(path);
    out << timeline_svg(bytes, log, title);
    out.close();
    return static_cast<bool>(out);
}

double Session::now() const {
    return impl_->seconds();
}

Outcome Session::start() {
    auto& r = *impl_->reader;
    if (!r.added()) {
        NTSTATUS s = r.add();
        if (s != STATUS_SUCCESS)
            return {s, {}};
    }
    NTSTATUS s = r.start();
    impl_->flush_wire();
    if (s != STATUS_SUCCESS) {
        if (std::string why = r.line_error(); !why.empty())
            impl_->log << "qkr: " << why << "\n";
        return {s, {}};
    }
    impl_->ensure_open();
    return {impl_->check_answered(), {}};
}

Outcome Session::stop() {
    if (!impl_->reader->added())
        return {STATUS_DEVICE_NOT_READY, {}};
    NTSTATUS s = impl_->reader->stop();
    impl_->flush_wire();
    return {s, {}};
}

Outcome Session::restart() {
    Outcome o = stop();
    if (!o.ok())
        return o;
    return start();
}

Outcome Session::remove_device() {
    if (!impl_->reader->added())
        return {STATUS_DEVICE_NOT_READY, {}};
    if (impl_->handle.is_open())
        impl_->handle.close();
    NTSTATUS s = impl_->reader->remove();
    impl_->flush_wire();
    return {s, {}};
}

Outcome Session::insert(const std::string& card) {
    std::string name = card.empty() ? (impl_->opt.card == "none" ? "t1" : impl_->opt.card) : card;
    return impl_->sim_command({"insert", name});
}

Outcome Session::remove_card() {
    return impl_->sim_command({"remove"});
}

Outcome Session::power(ULONG minor, int slot) {
    std::vector<std::uint8_t> out;
    auto in = host::ulong_input(minor);
    Outcome o = impl_->control(slot, IOCTL_SMARTCARD_POWER, in, &out, 64);
    if (o.ok()) {
        o.text = format_hex(out);
        impl_->selected[slot] = 0;
    }
    return o;
}

Outcome Session::protocol(ULONG mask, int slot) {
    std::vector<std::uint8_t> out;
    auto in = host::ulong_input(mask);
    Outcome o = impl_->control(slot, IOCTL_SMARTCARD_SET_PROTOCOL, in, &out, 4);
    if (o.ok()) {
        auto v = read_ulong(out);
        impl_->selected[slot] = v.value_or(0);
        o.text = protocol_name(impl_->selected[slot]);
    }
    return o;
}

Outcome Session::apdu(std::span<const std::uint8_t> command, int slot,
                      std::vector<std::uint8_t>* response) {
    ULONG protocol = impl_->selected[slot];
    if (protocol == 0) {
        std::vector<std::uint8_t> value;
        Outcome a = attribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE, slot, &value);
        if (a.ok())
            protocol = read_ulong(value).value_or(0);
    }
    auto in = host::transmit_input(protocol, command);
    std::vector<std::uint8_t> out;
    Outcome o =
        impl_->control(slot, IOCTL_SMARTCARD_TRANSMIT, in, &out, sizeof(SCARD_IO_REQUEST) + 2048);
    if (!o.ok())
        return o;
    std::vector<std::uint8_t> data = host::transmit_response(out);
    o.text = format_hex(data);
    if (response)
        *response = std::move(data);
    return o;
}

Outcome Session::state(int slot) {
    std::vector<std::uint8_t> out;
    Outcome o = impl_->control(slot, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4);
    if (o.ok())
        o.text = state_name(read_ulong(out).value_or(0xFFFFFFFF));
    return o;
}

Outcome Session::attribute(ULONG id, int slot, std::vector<std::uint8_t>* value) {
    std::vector<std::uint8_t> out;
    auto in = host::ulong_input(id);
    Outcome o = impl_->control(slot, IOCTL_SMARTCARD_GET_ATTRIBUTE, in, &out, 256);
    if (o.ok()) {
        o.text = format_hex(out);
        if (value)
            *value = std::move(out);
    }
    return o;
}

Outcome Session::wait(bool present, double seconds) {
    if (NTSTATUS s = impl_->check_awake(); s != STATUS_SUCCESS)
        return {s, {}};
    if (NTSTATUS s = impl_->recover(); s != STATUS_SUCCESS)
        return {s, {}};
    if (!impl_->ensure_open())
        return {STATUS_DEVICE_NOT_READY, {}};
    // A reader that loses power (DSR) has its interfaces disabled, and the driver completes
    // nothing parked any more: that ends the wait too, as the reader being gone.
    struct Watch {
        std::mutex mu;
        bool gone = false;
        kern::PendingIo* io = nullptr;
    };
    auto watch = std::make_shared<Watch>();
    host::Reader::GoneWatch gone_watch = impl_->reader->watch_gone([watch] {
        std::lock_guard lock(watch->mu);
        watch->gone = true;
        if (watch->io != nullptr)
            watch->io->cancel();
    });
    kern::PendingIo io = impl_->handle.ioctl_async(
        present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    {
        std::lock_guard lock(watch->mu);
        watch->io = &io;
        watch->gone = watch->gone || impl_->reader->interfaces_disabled();
        if (watch->gone)
            io.cancel();
    }
    auto ticks = static_cast<kern::Ticks>(seconds * kern::kTicksPerSecond);
    const bool done = io.wait_for(ticks);
    if (!done) {
        io.cancel();
        io.wait();
    }
    gone_watch.end();
    bool gone;
    {
        std::lock_guard lock(watch->mu);
        watch->io = nullptr;
        gone = watch->gone;
    }
    impl_->flush_wire();
    if (gone)
        return {STATUS_DEVICE_NOT_CONNECTED, {}};
    return {done ? io.status() : STATUS_IO_TIMEOUT, {}};
}

Outcome Session::reader_info(int slot) {
    std::vector<std::uint8_t> out;
    Outcome o = impl_->control(slot, IOCTL_SMARTCARD_GET_READER_INFO, {}, &out, 16);
    if (o.ok()) {
        std::string text;
        for (auto c : out)
            text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        o.text = format_hex(out) + " \"" + text + "\"";
    }
    return o;
}

Outcome Session::memory(std::span<const std::uint8_t> command, int slot) {
    std::vector<std::uint8_t> out;
    Outcome o = impl_->control(slot, IOCTL_SMARTCARD_BRV_MEM_TRANSMIT, command, &out, 1048);
    if (o.ok())
        o.text = format_hex(out);
    return o;
}

Outcome Session::baud(unsigned code, int slot) {
    // The reader's link-speed command: its third byte is the speed code.
    const std::uint8_t request[3] = {0x4C, 0x00, static_cast<std::uint8_t>(code)};
    std::vector<std::uint8_t> out;
    Outcome o = impl_->control(slot, IOCTL_SMARTCARD_SET_BAUD_RATE, request, &out, 16);
    if (o.ok())
        o.text = format_hex(out);
    return o;
}

Outcome Session::sleep() {
    auto& k = impl_->host.kernel();
    POWER_STATE s{};
    s.SystemState = PowerSystemSleeping3;
    NTSTATUS st = k.send_power(impl_->reader->pdo(), IRP_MN_QUERY_POWER, SystemPowerState, s);
    if (st != STATUS_SUCCESS)
        return {st, {}};
    st = k.send_power(impl_->reader->pdo(), IRP_MN_SET_POWER, SystemPowerState, s);
    impl_->asleep = st == STATUS_SUCCESS;
    return {st, {}};
}

Outcome Session::wake() {
    POWER_STATE s{};
    s.SystemState = PowerSystemWorking;
    const NTSTATUS st = impl_->host.kernel().send_power(impl_->reader->pdo(), IRP_MN_SET_POWER,
                                                        SystemPowerState, s);
    if (st == STATUS_SUCCESS)
        impl_->asleep = false;
    return {st, {}};
}

Outcome Session::advance(double seconds) {
    impl_->host.kernel().sleep_for(static_cast<kern::Ticks>(seconds * kern::kTicksPerSecond));
    impl_->flush_wire();
    return {};
}

Outcome Session::fault(const std::vector<std::string>& words) {
    std::vector<std::string> command{"fault"};
    command.insert(command.end(), words.begin(), words.end());
    return impl_->sim_command(command);
}

std::string Session::describe_reader() {
    READER_EXTENSION* re = qkr::host::DriverRecords::reader(*impl_->reader, 0);
    SMARTCARD_EXTENSION* sc = qkr::host::DriverRecords::slot(*impl_->reader, 0);
    if (re == nullptr || sc == nullptr)
        return "reader not added\n";
    std::string info;
    for (auto c : re->ReaderInfo)
        info += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    std::string out;
    out += "  reader identification  \"" + info + "\"\n";
    out += "  firmware version       " + info.substr(12, 4) + "\n";
    out += std::string("  memory cards           ") +
           (re->MemoryCardSupport ? "supported" : "not supported") + "\n";
    out += std::string("  T=0 long-Le rewrite    ") + (re->T0LeWorkaround ? "on" : "off") + "\n";
    out += "  data rates             ";
    for (unsigned i = 0; i < sc->ReaderCapabilities.DataRatesSupported.Entries; ++i)
        out += std::to_string(sc->ReaderCapabilities.DataRatesSupported.List[i]) + " ";
    out += "bit/s\n";
    out += "  line speed             " + std::to_string(re->BaudRate) + " bit/s\n";
    return out;
}

} // namespace qkr::tool
