// The PC/SC handler's channel onto a serial port: a channel named after a pseudo-terminal whose
// master side qkr-sim holds carries a card session, and names it cannot use are refused plainly.
#include "tests/ttyint/processes.h"
#include "tools/pcsc/bridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qkr::ttyint {
namespace {

using namespace std::chrono_literals;
using pcsc::Bridge;
using pcsc::ChannelId;
using pcsc::Result;

class SimOnPty {
  public:
    explicit SimOnPty(const std::string& card)
        : modem_(temp_path("modem")), control_(temp_path("control")) {
        sim_.emplace(
            QKR_SIM,
            std::vector<std::string>{"--card", card, "--modem", modem_, "--control", control_},
            temp_path("sim.log"));
        for (int i = 0; i < 3; ++i) {
            auto line = sim_->read_line(10s);
            if (line && line->rfind("device ", 0) == 0)
                device_ = line->substr(7);
        }
    }
    const std::string& device() const { return device_; }
    const std::string& modem() const { return modem_; }
    std::string control_command(const std::string& c) { return control(control_, c); }

  private:
    std::string modem_;
    std::string control_;
    std::string device_;
    std::optional<Child> sim_;
};

TEST(PcscTtyChannel, CardSessionOverAPseudoTerminalWithItsModemSocket) {
    SimOnPty sim("t1");
    ASSERT_FALSE(sim.device().empty());
    Bridge& bridge = Bridge::instance();
    const ChannelId slot0{0, 0};
    const ChannelId slot1{0, 1};
    ASSERT_EQ(bridge.open(slot0, "tty:" + sim.device() + ",modem=" + sim.modem()), Result::Ok);
    ASSERT_EQ(bridge.open(slot1, "tty:" + sim.device() + ",modem=" + sim.modem()), Result::Ok);
    ASSERT_EQ(bridge.ready(slot0), Result::Ok); // the start goes on in the background

    bool present = false;
    EXPECT_EQ(bridge.present(slot0, &present), Result::Ok);
    EXPECT_TRUE(present);
    std::vector<std::uint8_t> atr;
    EXPECT_EQ(bridge.power(slot0, pcsc::PowerAction::Up, &atr), Result::Ok);
    EXPECT_EQ(atr, (std::vector<std::uint8_t>{0x3B, 0x96, 0x13, 0x81, 0x71, 0x20, 0x45, 0x00, 0x51,
                                              0x4B, 0x52, 0x20, 0x54, 0x31, 0x1D}));
    unsigned t = 1;
    EXPECT_EQ(bridge.set_protocol(slot0, &t), Result::Ok);
    EXPECT_EQ(t, 1u);
    std::vector<std::uint8_t> response;
    const std::vector<std::uint8_t> select{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
    EXPECT_EQ(bridge.transmit(slot0, 1, select, &response, 258), Result::Ok);
    EXPECT_EQ(response, (std::vector<std::uint8_t>{0x90, 0x00}));
    const std::vector<std::uint8_t> read{0x00, 0xB0, 0x00, 0x00, 0x00};
    EXPECT_EQ(bridge.transmit(slot0, 1, read, &response, 258), Result::Ok);
    ASSERT_EQ(response.size(), 258u);
    EXPECT_EQ(response[255], 0xFF);

    // Slot 1's T=0 card shares the port.
    EXPECT_EQ(bridge.power(slot1, pcsc::PowerAction::Up, &atr), Result::Ok);
    EXPECT_EQ(atr.size(), 11u);

    // The card pulled at the simulator is seen through the modem socket.
    EXPECT_EQ(sim.control_command("remove").rfind("ok", 0), 0u);
    // pcscd asks for the presence after every wait; a wait may end before the change arrives.
    const auto pulled = Clock::now();
    for (int i = 0; i < 3 && present; ++i) {
        EXPECT_EQ(bridge.wait_for_change(slot0, 5000), Result::Ok);
        EXPECT_EQ(bridge.present(slot0, &present), Result::Ok);
    }
    EXPECT_FALSE(present);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - pulled).count(), 3.0);

    EXPECT_EQ(bridge.close(slot1), Result::Ok);
    EXPECT_EQ(bridge.close(slot0), Result::Ok);
}

TEST(PcscTtyChannel, AReaderPoweredAgainIsRestarted) {
    SimOnPty sim("t1");
    ASSERT_FALSE(sim.device().empty());
    Bridge& bridge = Bridge::instance();
    const ChannelId slot0{0, 0};
    ASSERT_EQ(bridge.open(slot0, "tty:" + sim.device() + ",modem=" + sim.modem()), Result::Ok);
    ASSERT_EQ(bridge.ready(slot0), Result::Ok);
    EXPECT_EQ(sim.control_command("power off"), "ok");
    bool present = true;
    for (int look = 0; look < 3 && bridge.present(slot0, &present) == Result::Ok; ++look)
        bridge.wait_for_change(slot0, 2000);
    EXPECT_EQ(bridge.present(slot0, &present), Result::NoDevice);
    // A closed port tells nothing: a restart is tried 5 s after the loss, then 3 s of set-up.
    EXPECT_EQ(sim.control_command("power on"), "ok");
    EXPECT_EQ(bridge.wait_for_change(slot0, 15000), Result::Ok);
    std::vector<std::uint8_t> atr;
    EXPECT_EQ(bridge.power(slot0, pcsc::PowerAction::Up, &atr), Result::Ok);
    EXPECT_EQ(atr.size(), 15u);
    EXPECT_EQ(bridge.close(slot0), Result::Ok);
}

TEST(PcscTtyChannel, NamesThatCannotBeUsedAreRefused) {
    Bridge& bridge = Bridge::instance();
    EXPECT_EQ(bridge.open({1, 0}, "tty:"), Result::BadParameter);
    EXPECT_EQ(bridge.open({1, 0}, "tty:/dev/pts/0,speed=9600"), Result::BadParameter);
    EXPECT_EQ(bridge.open({1, 0}, "tty:/dev/pts/0,cts=yes"), Result::BadParameter);
    EXPECT_EQ(bridge.open({1, 0}, "tty:/dev/pts/0,modem"), Result::BadParameter);
    EXPECT_EQ(bridge.open({1, 0}, "/dev/qkr-no-such-tty"), Result::NoDevice);
    EXPECT_EQ(bridge.open({1, 0}, "\"tty:/dev/qkr-no-such-tty,dsr=1\""), Result::NoDevice);
    // Nothing was left behind: the channel number is free for a usable name.
    SimOnPty sim("t0");
    ASSERT_FALSE(sim.device().empty());
    EXPECT_EQ(bridge.open({1, 0}, "tty:" + sim.device() + ",modem=" + sim.modem()), Result::Ok);
    EXPECT_EQ(bridge.close({1, 0}), Result::Ok);
}

} // namespace
} // namespace qkr::ttyint
