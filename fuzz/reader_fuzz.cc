// A hostile reader: the whole driver against the simulated reader, with every chunk the reader
// sends passed through mutations the fuzzer's bytes choose (bytes flipped, dropped, doubled, cut,
// replaced, or junk added) while a client runs a card session. Every request ends with a defined
// status and never reports more than its buffer; nothing hangs (virtual time: a deadlock report
// ends the run), nothing leaks (the kernel's end-of-life checks); and once the reader behaves
// again, a fresh session gets the card's exact answers.
// Input: a flag for a hostile start, then per chunk the reader sends an operation byte, a
// position (u16) and the operation's bytes.
#include "fuzz/fuzz_support.h"
#include "host/host.h"
#include "sim/card.h"

#include <mutex>
#include <numeric>
#include <vector>

namespace {

using Data = std::vector<std::uint8_t>;

// Sits between the line and the simulator; what the reader sends goes through mutate().
class HostileReader : public qkr::serial::LineDevice, public qkr::serial::DeviceSide {
  public:
    HostileReader(qkr::sim::ReaderSim& sim, qkr::fuzz::Input& input) : sim_(sim), in_(input) {}

    void arm(bool on) {
        std::lock_guard lock(mutex_);
        armed_ = on;
    }

    // LineDevice: the host's side of things reaches the simulator unchanged.
    void connect(qkr::serial::DeviceSide* side) override {
        side_ = side;
        sim_.connect(side != nullptr ? this : nullptr);
    }
    void on_byte(std::uint8_t byte, bool garbled) override { sim_.on_byte(byte, garbled); }
    void on_host_lines(bool dtr, bool rts, bool brk) override { sim_.on_host_lines(dtr, rts, brk); }
    void on_tx_empty() override { sim_.on_tx_empty(); }

    // DeviceSide: the simulator's bytes, mutated, reach the line.
    void send(std::span<const std::uint8_t> bytes) override {
        Data out(bytes.begin(), bytes.end());
        mutate(out);
        if (!out.empty()) {
            side_->send(out);
        } else if (side_->tx_queued() == 0) {
            // Swallowed whole: the simulator still waits to hear that its bytes have left, as the
            // line would have told it, before it sends anything more.
            qkr::kern::Kernel::current().schedule_after(
                0, [this] { sim_.on_tx_empty(); }, "hostile reader: nothing sent");
        }
    }
    std::size_t tx_queued() const override { return side_->tx_queued(); }
    void set_format(const qkr::serial::LineFormat& f) override { side_->set_format(f); }
    qkr::serial::LineFormat format() const override { return side_->format(); }
    void set_cts(bool on) override { side_->set_cts(on); }
    void set_dsr(bool on) override { side_->set_dsr(on); }
    bool dtr() const override { return side_->dtr(); }
    bool rts() const override { return side_->rts(); }

  private:
    void mutate(Data& d) {
        std::lock_guard lock(mutex_);
        if (!armed_ || in_.empty() || d.empty())
            return;
        const std::uint8_t op = in_.u8() % 8; // 0: left alone
        const std::size_t at = in_.u16() % d.size();
        const auto pos = d.begin() + long(at);
        if (op == 1)
            d[at] ^= std::uint8_t(1u << (in_.u8() % 8));
        else if (op == 2 || op == 3)
            op == 2 ? void(d.erase(pos)) : void(d.insert(pos, d[at]));
        else if (op == 4 || op == 7)
            d.resize(op == 4 ? at : 0);
        else if (op == 5 || op == 6) {
            auto junk = in_.take(op == 5 ? in_.u8() % 64 : in_.u16() % 1100);
            op == 5 ? void(d.insert(pos, junk.begin(), junk.end()))
                    : d.assign(junk.begin(), junk.end());
        }
    }

    qkr::sim::ReaderSim& sim_;
    qkr::fuzz::Input& in_;
    qkr::serial::DeviceSide* side_ = nullptr;
    std::mutex mutex_;
    bool armed_ = false;
};

bool defined(NTSTATUS s) {
    return qkr::fuzz::one_of(
        s, {STATUS_SUCCESS, STATUS_IO_TIMEOUT, QKR_STATUS_NAK, QKR_STATUS_BAD_FRAME,
            QKR_STATUS_INCOMPLETE_FRAME, STATUS_NO_MEDIA, STATUS_DEVICE_DATA_ERROR,
            STATUS_UNRECOGNIZED_MEDIA, STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_DEVICE_REQUEST,
            STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL, STATUS_DEVICE_NOT_READY,
            STATUS_DEVICE_BUSY, STATUS_NOT_SUPPORTED, STATUS_UNSUCCESSFUL, STATUS_CANCELLED});
}

struct Client {
    qkr::host::Reader& reader;
    qkr::kern::FileHandle& handle;

    NTSTATUS call(ULONG code, const Data& in, Data* out, ULONG room) {
        const NTSTATUS s = reader.ioctl(handle, code, in, out, room);
        FUZZ_CHECK(defined(s) && out->size() <= room);
        return s;
    }
    NTSTATUS word(ULONG code, ULONG value, ULONG room) {
        Data in(4), out;
        std::memcpy(in.data(), &value, 4);
        return call(code, in, &out, room);
    }
    NTSTATUS power(ULONG minor) { return word(IOCTL_SMARTCARD_POWER, minor, 64); }
    NTSTATUS set_protocol(ULONG p) { return word(IOCTL_SMARTCARD_SET_PROTOCOL, p, 4); }
    NTSTATUS transmit(const Data& apdu, Data* response) {
        SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
        Data in(sizeof header), out;
        std::memcpy(in.data(), &header, sizeof header);
        in.insert(in.end(), apdu.begin(), apdu.end());
        const NTSTATUS s = call(IOCTL_SMARTCARD_TRANSMIT, in, &out, 600);
        response->assign(out.size() > sizeof header ? out.begin() + sizeof header : out.end(),
                         out.end());
        return s;
    }
};

// A card session; on a reader that behaves (`strict`) every step succeeds and the READ BINARY
// gets the card's exact answer.
void session(Client& c, bool strict) {
    auto ok = [strict](NTSTATUS s) { FUZZ_CHECK(!strict || s == STATUS_SUCCESS); };
    Data response, expected(0x40);
    ok(c.power(SCARD_COLD_RESET));
    ok(c.set_protocol(SCARD_PROTOCOL_T1));
    for (const Data& apdu :
         {Data{0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00, 0x00, 0x00, 0x51, 0x4B, 0x52, 0x01},
          Data{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}, Data{0x00, 0xB0, 0x00, 0x20, 0x40}})
        ok(c.transmit(apdu, &response));
    std::iota(expected.begin(), expected.end(), std::uint8_t(0x20));
    expected.insert(expected.end(), {0x90, 0x00});
    FUZZ_CHECK(!strict || response == expected);
    if (strict)
        return;
    Data update = {0x00, 0xD6, 0x00, 0x00, 0x30};
    update.resize(5 + 0x30, 0x42);
    for (const Data& apdu : {Data{0x00, 0x84, 0x00, 0x00, 0x08},
                             Data{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x03}, update})
        c.transmit(apdu, &response);
    c.power(SCARD_WARM_RESET);
    c.power(SCARD_POWER_DOWN);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qkr::fuzz::Input in(data, size);
    const bool hostile_from_start = in.flag();
    {
        qkr::host::Host host;
        qkr::fuzz::abort_on_report(host.kernel());
        qkr::sim::ReaderConfig config;
        config.slot0_card = "t1";
        qkr::sim::ReaderSim sim(config);
        HostileReader hostile(sim, in);
        hostile.arm(hostile_from_start);
        qkr::host::ReaderOptions options;
        options.tap = false;
        options.device = &hostile;
        qkr::host::Reader& reader = host.add_reader(options);
        FUZZ_CHECK(reader.add() == STATUS_SUCCESS);
        const NTSTATUS started = reader.start();
        FUZZ_CHECK(defined(started));
        if (started == STATUS_SUCCESS) {
            qkr::kern::FileHandle handle = reader.open();
            FUZZ_CHECK(handle.is_open());
            Client client{reader, handle};
            hostile.arm(true);
            session(client, false);

            // The reader behaves again: the card answers exactly. First the client pauses, as
            // any would: a reply the reader is still sending when the next command's purge has
            // already run arrives as stale bytes ahead of that command's reply, so back-to-back
            // requests can stay one reply behind the reader.
            hostile.arm(false);
            host.kernel().sleep_for(qkr::kern::seconds(1));
            if (hostile_from_start) {
                // What the start learnt from a spoiled reader (its type and firmware) stays until
                // the next start.
                handle.close();
                FUZZ_CHECK(reader.stop() == STATUS_SUCCESS);
                FUZZ_CHECK(reader.start() == STATUS_SUCCESS);
                handle = reader.open();
                FUZZ_CHECK(handle.is_open());
            }
            session(client, true);
        }
        hostile.arm(false);
        reader.remove();
        host.kernel().sleep_for(qkr::kern::seconds(1));
        FUZZ_CHECK(host.kernel().irps_live() == 0);
        host.release_reader(reader);
    } // the kernel's end-of-life checks: pool, IRPs, devices
    return 0;
}
