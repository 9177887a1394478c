// The external card bridge with a small TCP client playing a virtual card. The socket lives on
// its own thread in real time, so this test runs on the real clock.
#include "bench.h"

#include "sim/bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace qkr::sim::test {
namespace {

// A virtual card: answers the ATR request, records controls and APDUs, and answers every APDU
// with its data reversed (or 4 bytes for READ BINARY, an FCP for SELECT) and 90 00.
class VirtualCard {
  public:
    explicit VirtualCard(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        thread_ = std::thread([this] { run(); });
    }
    ~VirtualCard() { hang_up(); }
    void hang_up() {
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        ::close(std::exchange(fd_, -1));
    }
    static Bytes atr() {
        return build_atr(
            {.t1 = true, .ifsc = 32, .bwi = 4, .cwi = 5, .historical = {'V', 'C', 'A', 'R', 'D'}});
    }
    bool connected = false;
    std::mutex m;
    std::vector<Bytes> apdus;
    std::vector<std::uint8_t> controls;

  private:
    void run() {
        for (std::uint8_t h[2]; ::recv(fd_, h, 2, MSG_WAITALL) == 2;) {
            Bytes msg(static_cast<std::size_t>(h[0]) << 8 | h[1]), r;
            if (::recv(fd_, msg.data(), msg.size(), MSG_WAITALL) != ssize_t(msg.size()))
                return;
            std::lock_guard lock(m);
            if (msg.size() == 1) {
                controls.push_back(msg[0]);
                if (msg[0] != 0x04)
                    continue;
                r = atr();
            } else {
                apdus.push_back(msg);
                if (msg[1] == 0xB0)
                    r = {0xDE, 0xAD, 0xBE, 0xEF};
                else if (msg[1] == 0xA4)
                    r = {0x62, 0x03, 0x83, 0x01, 0x07};
                else if (msg.size() > 5)
                    r.assign(msg.rbegin() + (msg.size() > 5u + msg[4] ? 1 : 0), msg.rend() - 5);
                r.insert(r.end(), {0x90, 0x00});
            }
            r.insert(r.begin(), {std::uint8_t(r.size() >> 8), std::uint8_t(r.size())});
            ::send(fd_, r.data(), r.size(), MSG_NOSIGNAL);
        }
    }
    int fd_;
    std::thread thread_;
};

// Waits up to 3 s for slot 0 to hold a card and CTS to say so, or for both to be gone.
bool wait_card(Bench& b, bool present) {
    for (int i = 0; i < 300; ++i, b.k.sleep_for(milliseconds(10))) {
        std::lock_guard lock(b.m);
        if (b.reader.card_present() == present && b.lines.cts == present)
            return true;
    }
    return false;
}

TEST(CardBridge, VirtualCardOverTcpUnderT1AndT0AndATakenPortReported) {
    Bench b({}, 19200, kern::ClockMode::Real);
    CardBridge bridge(b.reader, {.port = 0});
    ASSERT_TRUE(bridge.start()) << bridge.error();
    ASSERT_NE(bridge.port(), 0);
    EXPECT_FALSE(b.reader.card_present());
    CardBridge taken(b.reader, {.port = bridge.port()});
    EXPECT_FALSE(taken.start() || taken.error().empty()) << "a taken port is reported";

    VirtualCard vc(bridge.port());
    ASSERT_TRUE(vc.connected && wait_card(b, true));
    // Reset: type byte and the virtual card's ATR; the card was told to power on.
    EXPECT_EQ(b.power_on(), Bytes{1} + VirtualCard::atr());

    // T=1: an APDU in one I-block comes out of the virtual card unchanged, the answer in an
    // I-block.
    EXPECT_EQ(b.transact(set_params(0x10, 0, 0, 0x45))[0], 0x62);
    const Bytes apdu = {0x00, 0x2A, 0x9E, 0x9A, 0x03, 0x01, 0x02, 0x03, 0x00};
    const Bytes r = b.card(t1_block(0x00, apdu));
    EXPECT_EQ(r, t1_block(0x00, Bytes{0x03, 0x02, 0x01, 0x90, 0x00}));

    // T=0 through a warm reset: case 2 straight, case 4 through 61xx and GET RESPONSE.
    b.transact(cmd(0x64));
    EXPECT_EQ(b.transact(set_params(0x00, 3, 20, 0))[0], 0x62);
    EXPECT_EQ(b.card(Bytes{0x00, 0xB0, 0x00, 0x00, 0x04}),
              (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00}));
    EXPECT_EQ(b.card(Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}), (Bytes{0x61, 0x05}));
    EXPECT_EQ(b.card(Bytes{0x00, 0xC0, 0x00, 0x00, 0x05}),
              (Bytes{0x62, 0x03, 0x83, 0x01, 0x07, 0x90, 0x00}));
    {
        std::lock_guard lock(vc.m);
        EXPECT_EQ(vc.apdus, (std::vector<Bytes>{apdu,
                                                {0x00, 0xB0, 0x00, 0x00, 0x04},
                                                {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}}));
        EXPECT_EQ(vc.controls, Bytes({0x04, 0x01, 0x02}));
    }

    // Hanging up removes the card.
    vc.hang_up();
    ASSERT_TRUE(wait_card(b, false));
    EXPECT_EQ(b.transact(cmd(0x62)), kNoCard);
    // Another card may connect afterwards.
    VirtualCard again(bridge.port());
    EXPECT_TRUE(again.connected && wait_card(b, true));
}

} // namespace
} // namespace qkr::sim::test
