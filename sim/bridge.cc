#include "sim/bridge.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qkr::sim {

namespace {

Bytes message(std::span<const std::uint8_t> payload) {
    Bytes m(2 + payload.size());
    m[0] = static_cast<std::uint8_t>(payload.size() >> 8);
    m[1] = static_cast<std::uint8_t>(payload.size() & 0xFF);
    std::copy(payload.begin(), payload.end(), m.begin() + 2);
    return m;
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Takes one complete message off the front of `buffer`, if there is one.
std::optional<Bytes> take_message(Bytes& buffer) {
    if (buffer.size() < 2)
        return std::nullopt;
    const std::size_t len = static_cast<std::size_t>(buffer[0]) << 8 | buffer[1];
    if (buffer.size() < 2 + len)
        return std::nullopt;
    Bytes m(buffer.begin() + 2, buffer.begin() + 2 + static_cast<long>(len));
    buffer.erase(buffer.begin(), buffer.begin() + 2 + static_cast<long>(len));
    return m;
}

} // namespace

struct CardBridge::Connection {
    std::mutex m;
    const serial::WakePipe* wake = nullptr;
    bool open = true;
    std::deque<Bytes> out;
    std::deque<Application::Done> waiting;

    void send(std::span<const std::uint8_t> payload) {
        std::lock_guard lock(m);
        queue(payload);
    }
    void queue(std::span<const std::uint8_t> payload) {
        if (!open)
            return;
        out.push_back(message(payload));
        wake->wake();
    }
};

namespace {

// An application that lives in another process: each command goes out over the bridge and its
// answer comes back, in order, through the reader's timer queue.
class RemoteApp : public Application {
  public:
    explicit RemoteApp(std::shared_ptr<CardBridge::Connection> c) : c_(std::move(c)) {}

    void reset() override {
        const std::uint8_t control = powered_ ? 0x02 : 0x01;
        c_->send(std::span(&control, 1));
        powered_ = true;
    }
    void power_off() override {
        const std::uint8_t control = 0x00;
        c_->send(std::span(&control, 1));
        powered_ = false;
    }

    // The remote card says nothing about its commands' cases, so T=0 goes by the instruction
    // byte, as ISO/IEC 7816-4 assigns them.
    T0Case t0_case(std::span<const std::uint8_t> header) const override {
        if (header.size() < 5)
            return T0Case::None;
        const std::uint8_t ins = header[1], p2 = header[3];
        const bool p3 = header[4] != 0;
        switch (ins) {
        case 0xA4: // SELECT
            return p2 == 0x0C ? T0Case::In : T0Case::InOut;
        case 0x88: // INTERNAL AUTHENTICATE
        case 0x87: // GENERAL AUTHENTICATE
        case 0x2A: // PERFORM SECURITY OPERATION
        case 0xCB: // GET DATA (odd)
        case 0xC2: // ENVELOPE
            return T0Case::InOut;
        case 0xD6: // UPDATE BINARY
        case 0xD0: // WRITE BINARY
        case 0xDC: // UPDATE RECORD
        case 0xE2: // APPEND RECORD
        case 0xDA: // PUT DATA
        case 0xDB:
        case 0x82: // EXTERNAL AUTHENTICATE
        case 0x22: // MANAGE SECURITY ENVIRONMENT
        case 0x24: // CHANGE REFERENCE DATA
        case 0x2C: // RESET RETRY COUNTER
        case 0xE0: // CREATE FILE
        case 0xE4: // DELETE FILE
            return p3 ? T0Case::In : T0Case::None;
        case 0x20: // VERIFY
        case 0x21:
            return p3 ? T0Case::In : T0Case::None;
        case 0x44: // ACTIVATE FILE
        case 0x70: // MANAGE CHANNEL
            return p3 ? T0Case::Out : T0Case::None;
        default:
            return T0Case::Out;
        }
    }

    void process(Bytes command, Done done) override {
        if (command.size() < 4) {
            done({0x67, 0x00}, 0);
            return;
        }
        std::lock_guard lock(c_->m);
        if (!c_->open)
            return; // the card is gone: the reader's waiting time runs out
        c_->waiting.push_back(std::move(done));
        c_->queue(command);
    }

  private:
    std::shared_ptr<CardBridge::Connection> c_;
    bool powered_ = false;
};

} // namespace

CardBridge::CardBridge(ReaderSim& reader, Config config) : reader_(reader), config_(config) {}

CardBridge::~CardBridge() {
    stop_ = true;
    wake_.wake();
    if (thread_.joinable())
        thread_.join();
}

bool CardBridge::start() {
    if (!wake_.open()) {
        error_ = std::strerror(errno);
        return false;
    }
    if (!listen_.open_tcp(config_.port)) {
        error_ = listen_.error();
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void CardBridge::run() {
    while (!stop_) {
        pollfd fds[2] = {{listen_.fd(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        if (::poll(fds, 2, 200) <= 0)
            continue;
        if (fds[1].revents & POLLIN)
            wake_.drain();
        if (fds[0].revents & POLLIN) {
            if (const serial::Fd fd = listen_.accept(SOCK_CLOEXEC)) {
                const int one = 1;
                ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                serve(fd.get());
            }
        }
    }
}

void CardBridge::serve(int fd) {
    Bytes buffer;
    const std::optional<Bytes> atr = read_atr(fd, buffer);
    if (!atr || atr->empty())
        return;

    auto conn = std::make_shared<Connection>();
    conn->wake = &wake_;
    ProcessorCardConfig config;
    config.name = "external";
    config.atr_bytes = *atr;
    auto holder = std::make_shared<std::unique_ptr<Card>>(
        make_processor_card(std::move(config), std::make_unique<RemoteApp>(conn)));
    const Card* card = holder->get();
    ReaderSim& reader = reader_;
    reader.post([&reader, holder] { reader.insert(std::move(*holder)); });
    connected_ = true;

    relay(fd, *conn, buffer);
    {
        std::lock_guard lock(conn->m);
        conn->open = false;
        conn->waiting.clear();
        conn->out.clear();
    }
    connected_ = false;
    reader.post([&reader, card] {
        if (reader.card() == card)
            reader.remove();
    });
}

std::optional<Bytes> CardBridge::read_atr(int fd, Bytes& buffer) {
    const std::uint8_t get_atr = 0x04;
    if (!write_all(fd, message(std::span(&get_atr, 1))))
        return std::nullopt;
    std::optional<Bytes> atr;
    for (int waited = 0; !atr && waited < config_.atr_timeout_ms && !stop_; waited += 50) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        std::uint8_t chunk[512];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return std::nullopt;
        append(buffer, std::span<const std::uint8_t>(chunk, chunk + n));
        atr = take_message(buffer);
    }
    return atr;
}

void CardBridge::relay(int fd, Connection& conn, Bytes& buffer) {
    while (!stop_) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        if (::poll(fds, 2, 200) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
            wake_.drain();
        std::deque<Bytes> out;
        {
            std::lock_guard lock(conn.m);
            out.swap(conn.out);
        }
        for (const auto& m : out)
            if (!write_all(fd, m))
                return;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            std::uint8_t chunk[4096];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            append(buffer, std::span<const std::uint8_t>(chunk, chunk + n));
            while (auto m = take_message(buffer))
                answer(conn, std::move(*m));
        }
    }
}

// Each answer goes to the oldest command still waiting for one.
void CardBridge::answer(Connection& conn, Bytes response) {
    Application::Done done;
    {
        std::lock_guard lock(conn.m);
        if (conn.waiting.empty())
            return; // nothing asked for it
        done = std::move(conn.waiting.front());
        conn.waiting.pop_front();
    }
    reader_.post(
        [done = std::move(done), r = std::move(response)]() mutable { done(std::move(r), 0); });
}

} // namespace qkr::sim
