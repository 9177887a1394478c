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

// ---------------------------------------------------------------------------------------------
// What the start takes from the type and status replies
// ---------------------------------------------------------------------------------------------
struct StartCase {
    const char* name;
    const char* version; // of the type reply; nullptr: the reader answers nothing
    std::uint8_t type_flag, status_code;
    bool status_card, short_by_one, cts_card, kept; // kept: the identification was taken
    BOOLEAN memory_cards, long_le_workaround;
    UCHAR rate_entries;
    ULONG state;
};

const StartCase kStarts[] = {
    {"v0003", "0003", 0, RDRSP_STATUS, 0, 0, 0, 1, FALSE, TRUE, 1, SCARD_ABSENT},
    {"v0009", "0009", 0, RDRSP_STATUS, 0, 0, 0, 1, TRUE, TRUE, 1, SCARD_ABSENT},
    {"v0010", "0010", 0, RDRSP_STATUS, 0, 0, 0, 1, TRUE, TRUE, 3, SCARD_ABSENT},
    {"v0011", "0011", 0, RDRSP_STATUS, 1, 0, 1, 1, TRUE, FALSE, 3, SCARD_SWALLOWED},
    // A version that is not digits counts as the newest firmware.
    {"NotDigits", " 009", 0, RDRSP_STATUS, 0, 0, 0, 1, TRUE, FALSE, 3, SCARD_ABSENT},
    {"TypeSecondByteSet", "0009", 1, RDRSP_STATUS, 1, 0, 1, 0, FALSE, FALSE, 3, SCARD_SWALLOWED},
    // Nothing but the status reply could change the state; another code leaves it.
    {"StatusOtherCode", "0016", 0, RDRSP_DONE, 1, 0, 0, 1, TRUE, FALSE, 3, SCARD_UNKNOWN},
    // The decoded reply ends with the frame's check byte, which must not pass for the last byte.
    {"RepliesOneByteShort", "0016", 0, RDRSP_STATUS, 1, 1, 0, 0, FALSE, FALSE, 3, SCARD_UNKNOWN},
    // Tracking's first reading of the lines follows the status reply and wins.
    {"CtsOverridesStatus", "0016", 0, RDRSP_STATUS, 0, 0, 1, 1, TRUE, FALSE, 3, SCARD_SWALLOWED},
    {"SilentReader", nullptr, 0, 0, 0, 0, 0, 0, FALSE, FALSE, 3, SCARD_UNKNOWN},
};

class StartReads : public Stack, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartReads, FlagsRatesIdentificationAndCardStateOfBothSlots) {
    const StartCase& c = GetParam();
    std::map<std::uint8_t, Data> replies;
    if (c.version != nullptr) {
        const std::string id = std::string("BRIMVEL QK41") + c.version;
        Data type = {RDRSP_TYPE, c.type_flag, 0x00, 0x10};
        type.insert(type.end(), id.begin(), id.end());
        Data status = {c.status_code, 0x00, 0x00, 0x01, std::uint8_t(c.status_card ? 0x08 : 0)};
        if (c.short_by_one)
            type.pop_back(), status.pop_back();
        replies = {{RDCMD_GET_TYPE, type}, {RDCMD_GET_STATUS, status}};
    }
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
    if (c.kept)
        std::memcpy(info, (std::string("BRIMVEL QTX1") + c.version).data(), 16);
    for (int n : {0, 1}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(0, std::memcmp(rx(n)->ReaderInfo, info, 16));
        EXPECT_EQ(rx(n)->MemoryCardSupport, c.memory_cards);
        EXPECT_EQ(rx(n)->T0LeWorkaround, c.long_le_workaround);
        EXPECT_EQ(slot(n)->ReaderCapabilities.DataRatesSupported.Entries, c.rate_entries);
    }
    EXPECT_EQ(state(0), c.state);
    EXPECT_EQ(state(1), ULONG{SCARD_SWALLOWED}) << "slot 1 always holds a card";
    EXPECT_EQ(count("[Qkr_StartDevice] get reader status success"), c.version ? 1u : 0u);
    // The gate is open and tracking runs whatever the reader said.
    EXPECT_TRUE(gate_open());
    EXPECT_NE(rx()->SerialStatusIrp, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Replies, StartReads, ::testing::ValuesIn(kStarts),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Starting and stopping
// ---------------------------------------------------------------------------------------------
using StartStop = Stack;

TEST_F(StartStop, StartTakesItsStepsInOrder) {
    reader = &add_reader();
    reader->act_on_sim([](sim::ReaderSim& s) { s.insert(sim::make_card("t1")); });
    ASSERT_EQ(reader->add(), STATUS_SUCCESS);
    ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    const std::vector<std::string> log = host.log();
    auto at = log.begin();
    for (const char* step :
         {"[Qkr_StartDevice]  IRP_MJ_CREATE to serial.sys success ",
          "[Qkr_StartDevice]  Qkr_ConfigureSerialPort success",
          "[Qkr_StartDevice] get reader type success",
          "[Qkr_StartDevice] get reader status success", "[Qkr_StartSerialEventTracking] Enter :",
          "[Qkr_SerialEvent] CTS_STATE changed to low Card Inserted",
          "[Qkr_CompleteCardTracking] Enter !", "[Qkr_StartSerialEventTracking] return 0 ",
          "[Qkr_StartDevice] Exit : "}) {
        at = std::find(at, log.end(), step);
        EXPECT_NE(at, log.end()) << step << ": missing or out of order";
    }
}

TEST_F(StartStop, StopClosesThePortOnceAndDisablesTheInterfacesAndAStartUndoesIt) {
    up("t1");
    handle.close();
    ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
    EXPECT_FALSE(reader->port().snapshot().wait_pending);
    EXPECT_FALSE(gate_open());
    EXPECT_EQ(interfaces_enabled(), 0);
    // A second stop finds the port closed and does nothing more.
    ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 1u);
    ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    EXPECT_EQ(interfaces_enabled(), 2);
    EXPECT_EQ(state(1), ULONG{SCARD_SWALLOWED});
    ASSERT_EQ(reader->remove(), STATUS_SUCCESS);
    EXPECT_EQ(port_requests(IRP_MJ_CLOSE), 2u);
    EXPECT_EQ(kernel().pool_allocations(QKR_POOL_TAG), 0u);
    EXPECT_EQ(kernel().pool_allocations(SMCLIB_POOL_TAG), 0u);
    EXPECT_EQ(kernel().irps_live(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Failed starts
// ---------------------------------------------------------------------------------------------
TEST_F(StartStop, FailedStartReturnsItsStatusAndLeavesThePortClosedAndTheGateShut) {
    up();
    int masks = 0, tracking_mask = 0; // which of a start's wait masks arms tracking
    for (const serial::TapRequest& q : reader->tap().requests())
        if (q.code == IOCTL_SERIAL_SET_WAIT_MASK && ++masks && tracking_mask == 0 &&
            q.input == host::ulong_input(SERIAL_EV_CTS | SERIAL_EV_DSR))
            tracking_mask = masks;
    ASSERT_GT(tracking_mask, 0);
    const std::size_t irps = kernel().irps_live();
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
        EXPECT_EQ(port_open(&r), n == 0);
        EXPECT_EQ(port_requests(IRP_MJ_CLOSE, 0, &r), cases[n].closes);
        EXPECT_NE(KeReadStateEvent(&device(&r)->SerialCloseDone), 0);
        EXPECT_FALSE(gate_open(&r));
        EXPECT_EQ(rx(0, &r)->SerialWaitMask, 0u);
        EXPECT_EQ(rx(0, &r)->SerialStatusIrp, nullptr);
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
    EXPECT_FALSE(port_open());
    EXPECT_EQ(slot(1)->OsData, nullptr);
    handle = reader->open();
    ASSERT_TRUE(handle.is_open());
    Data out;
    EXPECT_EQ(reader->ioctl_slot1(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(device()->IoCount, 0);
}

} // namespace
} // namespace qkr::pnp_test
