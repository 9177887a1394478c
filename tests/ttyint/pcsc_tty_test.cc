// The PC/SC handler's channel onto a serial port: a channel named after a pseudo-terminal whose
// master side qkr-sim holds carries a card session, follows the card and the reader's power, and
// names it cannot use are refused plainly.
#include "tests/ttyint/processes.h"
#include "tools/pcsc/bridge.h"

#include <gtest/gtest.h>

namespace qkr::ttyint {
namespace {

using pcsc::Result;
using Data = std::vector<std::uint8_t>;

TEST(PcscTtyChannel, CardSessionCardRemovalAndTheReaderPoweredAgain) {
    SimOnPty sim("t1");
    const std::string name = "tty:" + sim.device + ",modem=" + sim.modem;
    pcsc::Bridge& bridge = pcsc::Bridge::instance();
    const pcsc::ChannelId slot0{0, 0}, slot1{0, 1};
    ASSERT_EQ(bridge.open(slot0, name), Result::Ok);
    ASSERT_EQ(bridge.open(slot1, name), Result::Ok);
    ASSERT_EQ(bridge.ready(slot0), Result::Ok); // the start goes on in the background
    bool present = false;
    EXPECT_EQ(bridge.present(slot0, &present), Result::Ok);
    EXPECT_TRUE(present);
    Data atr, response;
    EXPECT_EQ(bridge.power(slot0, pcsc::PowerAction::Up, &atr), Result::Ok);
    EXPECT_EQ(atr.size(), 15u) << "the T=1 card's ATR";
    unsigned t = 1;
    EXPECT_EQ(bridge.set_protocol(slot0, &t), Result::Ok);
    EXPECT_EQ(
        bridge.transmit(slot0, 1, Data{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}, &response, 258),
        Result::Ok);
    EXPECT_EQ(response, (Data{0x90, 0x00}));
    // Slot 1's T=0 card shares the port.
    EXPECT_EQ(bridge.power(slot1, pcsc::PowerAction::Up, &atr), Result::Ok);
    EXPECT_EQ(atr.size(), 11u);

    // The card pulled at the simulator is seen through the modem socket; pcscd asks for the
    // presence after every wait, and a wait may end before the change arrives.
    EXPECT_EQ(sim.control("remove"), "ok");
    const auto since = Clock::now();
    for (int i = 0; i < 3 && present; ++i) {
        EXPECT_EQ(bridge.wait_for_change(slot0, 5000), Result::Ok);
        EXPECT_EQ(bridge.present(slot0, &present), Result::Ok);
    }
    EXPECT_FALSE(present);
    EXPECT_LT(seconds_since(since), 3.0);

    // Without power the reader is gone; a closed port tells nothing, so a restart is tried 5 s
    // after the loss, then 3 s of set-up.
    EXPECT_EQ(sim.control("insert t1"), "ok");
    EXPECT_EQ(sim.control("power off"), "ok");
    for (int look = 0; look < 3 && bridge.present(slot0, &present) == Result::Ok; ++look)
        bridge.wait_for_change(slot0, 2000);
    EXPECT_EQ(bridge.present(slot0, &present), Result::NoDevice);
    EXPECT_EQ(sim.control("power on"), "ok");
    EXPECT_EQ(bridge.wait_for_change(slot0, 15000), Result::Ok);
    EXPECT_EQ(bridge.power(slot0, pcsc::PowerAction::Up, &atr), Result::Ok);
    EXPECT_EQ(atr.size(), 15u);
    EXPECT_EQ(bridge.close(slot1), Result::Ok);
    EXPECT_EQ(bridge.close(slot0), Result::Ok);
    // Names it cannot use; nothing is left behind, and the channel number is free again.
    for (const char* bad :
         {"tty:", "tty:/dev/pts/0,speed=9600", "tty:/dev/pts/0,cts=yes", "tty:/dev/pts/0,modem"})
        EXPECT_EQ(bridge.open(slot0, bad), Result::BadParameter) << bad;
    EXPECT_EQ(bridge.open(slot0, "/dev/qkr-no-such-tty"), Result::NoDevice);
    EXPECT_EQ(bridge.open(slot0, "\"tty:/dev/qkr-no-such-tty,dsr=1\""), Result::NoDevice);
    EXPECT_EQ(bridge.open(slot0, name), Result::Ok);
    EXPECT_EQ(bridge.close(slot0), Result::Ok);
}

} // namespace
} // namespace qkr::ttyint
