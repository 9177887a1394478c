// The same exchange on the real clock: timers fire from the kernel's timer thread while the
// exchanging thread really sleeps.
#include "host/host.h"
#include "tests/link/support.h"

#include <gtest/gtest.h>

namespace {

using qkr::host::Host;
using qkr::host::Reader;

TEST(RealClockExchange, ReaderAnswersAndANakIsRetried) {
    Host host(qkr::kern::ClockMode::Real);
    Reader& r = host.add_reader();
    ASSERT_EQ(r.add(), STATUS_SUCCESS);
    ASSERT_EQ(r.open_port(false), STATUS_SUCCESS);
    SMARTCARD_EXTENSION* slot = qkr::host::DriverRecords::slot(r, 0);

    auto get_type = [&] {
        const UCHAR command[3] = {RDCMD_GET_TYPE, 0x00, 0x00};
        std::copy(command, command + 3, slot->SmartcardRequest.Buffer);
        slot->SmartcardRequest.BufferLength = 3;
        return qkr::testing::exchange_in_conversation(QKR_MODE_START, slot);
    };
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    EXPECT_EQ(slot->SmartcardReply.BufferLength, 21u);
    EXPECT_EQ(slot->SmartcardReply.Buffer[0], RDRSP_TYPE);

    r.act_on_sim([](qkr::sim::ReaderSim& s) { s.faults().nak_next(1); });
    host.clear_log();
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::testing::count_lines(host.log(), "[Qkr_ReadWrite] RDDERR_NAK!\n"), 1u);
    r.close_port();
}

} // namespace
