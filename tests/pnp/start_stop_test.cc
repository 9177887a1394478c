// Starting and stopping a reader: what the start takes from the reader's replies, what it logs, how
// it fails, and how the stop closes the port.
#include "tests/pnp/pnp_support.h"

#include "sim/frame.h"

#include <cstring>
#include <map>
#include <mutex>

namespace qkr::pnp_test {
namespace {

// A reader of the test's own on the line, in place of the simulator: it answers each command with
// the payload given for its command letter (or not at all), and holds DSR on and CTS as told.
class ScriptedReader : public serial::LineDevice {
  public:
    ScriptedReader(bool card, std::map<std::uint8_t, Data> replies)
        : card_(card), replies_(std::move(replies)) {}
    void connect(serial::DeviceSide* side) override {
        std::lock_guard lock(mutex_);
        side_ = side;
        if (side_ != nullptr) {
            side_->set_dsr(true);
            side_->set_cts(card_);
        }
    }
    void on_byte(std::uint8_t byte, bool garbled) override {
        std::lock_guard lock(mutex_);
        if (garbled || side_ == nullptr ||
            receiver_.push(byte) != sim::FrameReceiver::Event::Frame || receiver_.payload().empty())
            return;
        auto reply = replies_.find(receiver_.payload()[0]);
        if (reply != replies_.end())
            side_->send(sim::encode_frame(reply->second));
    }
    void on_host_lines(bool, bool, bool) override {}

  private:
    std::mutex mutex_;
    bool card_;
    std::map<std::uint8_t, Data> replies_;
    serial::DeviceSide* side_ = nullptr;
    sim::FrameReceiver receiver_;
};

Data type_reply(std::uint8_t second, const char* version, bool short_by_one = false) {
    Data reply = {RDRSP_TYPE, second, 0x00, 0x10};
    const std::string id = std::string("BRIMVEL QK41") + version;
    reply.insert(reply.end(), id.begin(), id.end());
    if (short_by_one)
        reply.pop_back();
    return reply;
}
Data status_reply(std::uint8_t code, bool card, bool short_by_one = false) {
    Data reply = {code, 0x00, 0x00, 0x01, std::uint8_t(card ? 0x08 : 0x00)};
    if (short_by_one)
        reply.pop_back();
    return reply;
}

// ---------------------------------------------------------------------------------------------
// What the start takes from the type and status replies
// ---------------------------------------------------------------------------------------------
struct StartCase {
    const char* name;
    Data type, status; // empty: no reply at all
    bool cts_card;
    const char* version; // the identification kept, or nullptr when none was taken
    BOOLEAN memory_cards, long_le_workaround;
    UCHAR rate_entries;
    ULONG state;
};

const StartCase kStarts[] = {
    {"v0003", type_reply(0, "0003"), status_reply(RDRSP_STATUS, false), false, "0003", FALSE, TRUE,
     1, SCARD_ABSENT},
    {"v0009", type_reply(0, "0009"), status_reply(RDRSP_STATUS, false), false, "0009", TRUE, TRUE,
     1, SCARD_ABSENT},
    {"v0010", type_reply(0, "0010"), status_reply(RDRSP_STATUS, false), false, "0010", TRUE, TRUE,
     3, SCARD_ABSENT},
    {"v0011", type_reply(0, "0011"), status_reply(RDRSP_STATUS, true), true, "0011", TRUE, FALSE, 3,
     SCARD_SWALLOWED},
    {"v0016", type_reply(0, "0016"), status_reply(RDRSP_STATUS, false), false, "0016", TRUE, FALSE,
     3, SCARD_ABSENT},
    // A version that is not digits counts as the newest firmware.
    {"NotDigits", type_reply(0, " 009"), status_reply(RDRSP_STATUS, false), false, " 009", TRUE,
     FALSE, 3, SCARD_ABSENT},
    {"TypeSecondByteSet", type_reply(1, "0009"), status_reply(RDRSP_STATUS, true), true, nullptr,
     FALSE, FALSE, 3, SCARD_SWALLOWED},
    // Nothing but the status reply could change the state; another code leaves it.
    {"StatusOtherCode", type_reply(0, "0016"), status_reply(RDRSP_DONE, true), false, "0016", TRUE,
     FALSE, 3, SCARD_UNKNOWN},
    // The decoded reply ends with the frame's check byte, which must not pass for the last byte.
    {"RepliesOneByteShort", type_reply(0, "0016", true), status_reply(RDRSP_STATUS, true, true),
     false, nullptr, FALSE, FALSE, 3, SCARD_UNKNOWN},
    // Tracking's first reading of the lines follows the status reply and wins.
    {"CtsOverridesStatus", type_reply(0, "0016"), status_reply(RDRSP_STATUS, false), true, "0016",
     TRUE, FALSE, 3, SCARD_SWALLOWED},
    {"SilentReader", {}, {}, false, nullptr, FALSE, FALSE, 3, SCARD_UNKNOWN},
};

class StartReads : public Stack, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartReads, FlagsRatesIdentificationAndCardStateOfBothSlots) {
    const StartCase& c = GetParam();
    std::map<std::uint8_t, Data> replies;
    if (!c.type.empty())
        replies = {{RDCMD_GET_TYPE, c.type}, {RDCMD_GET_STATUS, c.status}};
    auto scripted = std::make_shared<ScriptedReader>(c.cts_card, replies);
    keep.push_back(scripted);
    host::ReaderOptions options;
    options.device = scripted.get();
    reader = &add_reader(options);
    ASSERT_EQ(reader->add(), STATUS_SUCCESS);
    ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    settle();

    // The model name's last two letters become "TX"; the rest is as the reader sent it.
    UCHAR info[16] = {};
    if (c.version != nullptr)
        std::memcpy(info, (std::string("BRIMVEL QTX1") + c.version).data(), 16);
    for (int n : {0, 1}) {
        SCOPED_TRACE(n);
        ASSERT_NE(rx(*reader, n), nullptr);
        EXPECT_EQ(0, std::memcmp(rx(*reader, n)->ReaderInfo, info, 16));
        EXPECT_EQ(rx(*reader, n)->MemoryCardSupport, c.memory_cards);
        EXPECT_EQ(rx(*reader, n)->T0LeWorkaround, c.long_le_workaround);
        EXPECT_EQ(slot(*reader, n)->ReaderCapabilities.DataRatesSupported.Entries, c.rate_entries);
    }
    EXPECT_EQ(state(*reader, 0), c.state);
    EXPECT_EQ(state(*reader, 1), ULONG{SCARD_SWALLOWED}) << "slot 1 always holds a card";
    EXPECT_EQ(count("[Qkr_StartDevice] get reader type success"), c.type.empty() ? 0u : 1u);
    EXPECT_EQ(count("[Qkr_StartDevice] get reader status success"), c.type.empty() ? 0u : 1u);
    // The gate is open and tracking runs whatever the reader said.
    EXPECT_TRUE(gate_open(*reader));
    EXPECT_NE(rx(*reader, 0)->SerialStatusIrp, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Replies, StartReads, ::testing::ValuesIn(kStarts),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Starting and stopping
// ---------------------------------------------------------------------------------------------
using StartStop = Stack;

TEST_F(StartStop, StartWritesItsLinesInOrder) {
    reader = &add_reader();
    reader->act_on_sim([](sim::ReaderSim& s) { s.insert(sim::make_card("t1")); });
    ASSERT_EQ(reader->add(), STATUS_SUCCESS);
    host.clear_log();
    ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "[Qkr_PnP] Entering : ",
                           "[Qkr_PnP] IRP_MN_START_DEVICE ",
                           "[Qkr_StartDevice] Enter : ",
                           "[Qkr_StartDevice]  IRP_MJ_CREATE to serial.sys success ",
                           "[Qkr_StartDevice]  Qkr_ConfigureSerialPort success",
                           "[Qkr_StartDevice] get reader type success",
                           "[Qkr_StartDevice] get reader status success",
                           "[Qkr_StartSerialEventTracking] Enter :",
                           "[Qkr_SerialEvent] Enter : ",
                           "[Qkr_SerialEvent] Enter : ",
                           "[Qkr_SerialEvent] CTS_STATE changed to low Card Inserted",
                           "[Qkr_SerialEvent] PowerRequst == FALSE do completeTrackingWork",
                           "[Qkr_CompleteCardTracking] Enter !",
                           "[Qkr_CompleteCardTracking] Exit !",
                           "[Qkr_SerialEvent] Exit !",
                           "[Qkr_SerialEvent] Exit !",
                           "[Qkr_StartSerialEventTracking] return 0 ",
                           "[Qkr_StartDevice] Exit : ",
                           "[Qkr_PnP] Exit : ",
                       }));
}

TEST_F(StartStop, StopEndsTrackingClosesThePortOnceAndDisablesTheInterfaces) {
    up("t1");
    handle.close();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(reader->port().snapshot().open);
        EXPECT_EQ(interfaces_enabled(kernel(), *reader), 2);
        ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
        ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
        EXPECT_FALSE(reader->port().snapshot().open);
        EXPECT_FALSE(reader->port().snapshot().wait_pending);
        EXPECT_EQ(port_requests(*reader, IRP_MJ_CLOSE), round + 1u);
        EXPECT_EQ(rx(*reader, 0)->SerialStatusIrp, nullptr);
        EXPECT_NE(KeReadStateEvent(&device(*reader)->SerialCloseDone), 0);
        EXPECT_FALSE(gate_open(*reader));
        EXPECT_EQ(interfaces_enabled(kernel(), *reader), 0);
        // A second stop finds the port closed and does nothing more.
        ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
        EXPECT_EQ(port_requests(*reader, IRP_MJ_CLOSE), round + 1u);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        EXPECT_EQ(state(*reader, 1), ULONG{SCARD_SWALLOWED});
    }
    ASSERT_EQ(reader->remove(), STATUS_SUCCESS);
    EXPECT_EQ(port_requests(*reader, IRP_MJ_CLOSE), 3u);
    EXPECT_EQ(kernel().pool_allocations(QKR_POOL_TAG), 0u);
    EXPECT_EQ(kernel().pool_allocations(SMCLIB_POOL_TAG), 0u);
    EXPECT_EQ(kernel().irps_live(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Failed starts
// ---------------------------------------------------------------------------------------------
// Which of a start's set-wait-mask requests arms tracking (CTS and DSR).
int tracking_mask_position(Reader& started) {
    int n = 0;
    for (const serial::TapRequest& q : started.tap().requests()) {
        ULONG mask = 0;
        if (q.major != IRP_MJ_DEVICE_CONTROL || q.code != IOCTL_SERIAL_SET_WAIT_MASK)
            continue;
        std::memcpy(&mask, q.input.data(), std::min(q.input.size(), sizeof(mask)));
        if (++n && mask == (SERIAL_EV_CTS | SERIAL_EV_DSR))
            return n;
    }
    return 0;
}

TEST_F(StartStop, FailedStartReturnsItsStatusAndLeavesThePortClosedAndTheGateShut) {
    up();
    const int tracking_mask = tracking_mask_position(*reader);
    const std::size_t irps = kernel().irps_live();
    ASSERT_GT(tracking_mask, 0);
    const struct {
        NTSTATUS status;
        std::size_t closes;
        const char* line;
    } cases[] = {
        {STATUS_ACCESS_DENIED, 0, "[Qkr_StartDevice]  IRP_MJ_CREATE to serial.sys FAIL!! "},
        {STATUS_INVALID_PARAMETER, 1, "[Qkr_StartDevice]  Qkr_ConfigureSerialPort FAIL!! "},
        {STATUS_INVALID_PARAMETER, 1, "[QkrStopDevice] Close serial port444444444444444444444444"},
        {STATUS_NO_MEMORY, 0, "[Qkr_StartDevice] Allocate Irp ERROR!! "},
    };
    for (int n = 0; n < 4; ++n) {
        SCOPED_TRACE(cases[n].line);
        Reader& r = add_reader();
        kern::FileHandle other; // somebody else's open of the port, before the device came
        EXPECT_EQ(n == 0 ? kernel().open(r.port().device(), &other) : STATUS_SUCCESS,
                  STATUS_SUCCESS);
        ASSERT_EQ(r.add(), STATUS_SUCCESS);
        if (n == 1 || n == 2)
            r.port().faults().fail_nth(
                serial::RequestKind::control(n == 1 ? IOCTL_SERIAL_SET_HANDFLOW
                                                    : IOCTL_SERIAL_SET_WAIT_MASK),
                n == 1 ? 1 : tracking_mask, STATUS_INVALID_PARAMETER);
        if (n == 3)
            kernel().fail_nth(kern::Fault::IrpAllocation, 1);
        host.clear_log();
        EXPECT_EQ(r.start(), cases[n].status);
        kernel().clear_faults();
        r.port().faults().clear();
        EXPECT_EQ(r.port().snapshot().open, n == 0);
        EXPECT_EQ(port_requests(r, IRP_MJ_CLOSE), cases[n].closes);
        EXPECT_NE(KeReadStateEvent(&device(r)->SerialCloseDone), 0);
        EXPECT_FALSE(gate_open(r));
        EXPECT_EQ(rx(r, 0)->SerialWaitMask, 0u);
        EXPECT_EQ(rx(r, 0)->SerialStatusIrp, nullptr);
        EXPECT_EQ(count(cases[n].line), 1u);
        // Once the fault is gone, a start works.
        other.close();
        EXPECT_EQ(r.start(), STATUS_SUCCESS);
        ASSERT_EQ(r.remove(), STATUS_SUCCESS);
        release(r);
        EXPECT_EQ(kernel().irps_live(), irps);
    }
}

TEST_F(StartStop, SecondSlotThatCannotBeSetUpFailsTheStartAndItsRequests) {
    reader = &add_reader();
    ASSERT_EQ(reader->add(), STATUS_SUCCESS);
    // Slot 1's record is the first pool the start asks for.
    kernel().fail_nth(kern::Fault::PoolAllocation, 1);
    EXPECT_EQ(reader->start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(reader->port().snapshot().open);
    EXPECT_EQ(slot(*reader, 1)->OsData, nullptr);
    handle = reader->open();
    ASSERT_TRUE(handle.is_open());
    Data out;
    EXPECT_EQ(reader->ioctl_slot1(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(device(*reader)->IoCount, 0);
}

} // namespace
} // namespace qkr::pnp_test
