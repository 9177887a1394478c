// Starting and stopping a reader: what the start learns from the reader, what it logs, how it
// fails, and how the stop closes the port.
#include "tests/pnp/pnp_support.h"

#include <array>
#include <cstring>

namespace qkr::pnp_test {
namespace {

using host::Reader;
using host::ReaderOptions;

// ---------------------------------------------------------------------------------------------
// What the start takes from the reader's type reply
// ---------------------------------------------------------------------------------------------
struct FirmwareCase {
    const char* version;
    BOOLEAN memory_cards;
    UCHAR rate_entries;
    BOOLEAN long_le_workaround;
};

class StartReadsFirmware : public ::testing::TestWithParam<FirmwareCase> {};

TEST_P(StartReadsFirmware, SetsReaderFlagsRatesAndIdentification) {
    const FirmwareCase& c = GetParam();
    TestHost host;
    Reader& reader = host.add_reader(with_firmware(c.version));
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);

    READER_EXTENSION* slot0 = qkr::host::DriverRecords::reader(reader, 0);
    EXPECT_EQ(slot0->MemoryCardSupport, c.memory_cards);
    EXPECT_EQ(slot0->T0LeWorkaround, c.long_le_workaround);
    EXPECT_EQ(
        qkr::host::DriverRecords::slot(reader, 0)->ReaderCapabilities.DataRatesSupported.Entries,
        c.rate_entries);

    // Identification bytes as the reader sent them, but for the model name's last two letters.
    std::array<std::uint8_t, 16> expected = reader_identification(reader);
    expected[9] = 'T';
    expected[10] = 'X';
    EXPECT_EQ(0, std::memcmp(slot0->ReaderInfo, expected.data(), expected.size()));
    EXPECT_EQ(0, std::memcmp(slot0->ReaderInfo + 12, c.version, 4));

    // Slot 1 is set up from what the start learnt.
    READER_EXTENSION* slot1 = qkr::host::DriverRecords::reader(reader, 1);
    ASSERT_NE(slot1, nullptr);
    EXPECT_EQ(slot1->MemoryCardSupport, c.memory_cards);
    EXPECT_EQ(slot1->T0LeWorkaround, c.long_le_workaround);
    EXPECT_EQ(
        qkr::host::DriverRecords::slot(reader, 1)->ReaderCapabilities.DataRatesSupported.Entries,
        c.rate_entries);
    EXPECT_EQ(0, std::memcmp(slot1->ReaderInfo, slot0->ReaderInfo, 16));
}

INSTANTIATE_TEST_SUITE_P(Versions, StartReadsFirmware,
                         ::testing::Values(FirmwareCase{"0003", FALSE, 1, TRUE},
                                           FirmwareCase{"0009", TRUE, 1, TRUE},
                                           FirmwareCase{"0010", TRUE, 3, TRUE},
                                           FirmwareCase{"0011", TRUE, 3, FALSE},
                                           FirmwareCase{"0016", TRUE, 3, FALSE}),
                         [](const auto& info) { return std::string("v") + info.param.version; });

TEST(StartTalksToReader, SilentReaderStillStartsWithCardStateUnknown) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    make_silent(reader);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);

    EXPECT_EQ(qkr::host::DriverRecords::slot(reader, 0)->ReaderCapabilities.CurrentState,
              ULONG{SCARD_UNKNOWN});
    READER_EXTENSION* slot0 = qkr::host::DriverRecords::reader(reader, 0);
    const UCHAR zero[16] = {};
    EXPECT_EQ(0, std::memcmp(slot0->ReaderInfo, zero, 16));
    EXPECT_EQ(slot0->MemoryCardSupport, FALSE);
    EXPECT_EQ(slot0->T0LeWorkaround, FALSE);
    EXPECT_EQ(
        qkr::host::DriverRecords::slot(reader, 0)->ReaderCapabilities.DataRatesSupported.Entries,
        3);
    // The gate is open and tracking runs even though the reader said nothing.
    EXPECT_NE(KeReadStateEvent(&qkr::host::DriverRecords::device(reader)->ReaderStarted), 0);
    EXPECT_NE(slot0->SerialStatusIrp, nullptr);
    const auto lines = own_lines(host.log());
    EXPECT_EQ(count_lines(lines, "[Qkr_StartDevice] get reader type success"), 0u);
    EXPECT_EQ(count_lines(lines, "[Qkr_StartDevice] get reader status success"), 0u);
}

// Starts a reader whose replies the test wrote, and returns its slot 0 for inspection.
struct ScriptedStart {
    ScriptedReader scripted;
    TestHost host;
    Reader& reader;
    NTSTATUS status;
    ScriptedStart(std::vector<std::uint8_t> type, std::vector<std::uint8_t> status_bytes,
                  bool card = true)
        : scripted(card, {{RDCMD_GET_TYPE, std::move(type)},
                          {RDCMD_GET_STATUS, std::move(status_bytes)}}),
          reader(host.add_reader()) {
        reader.line().connect_device(&scripted);
        EXPECT_EQ(reader.add(), STATUS_SUCCESS);
        status = reader.start();
    }
    READER_EXTENSION* rx() { return qkr::host::DriverRecords::reader(reader, 0); }
    SMARTCARD_EXTENSION* slot0() { return qkr::host::DriverRecords::slot(reader, 0); }
};

TEST(StartTalksToReader, TypeReplyWithNonZeroSecondByteIsNotUsed) {
    ScriptedStart s(type_reply(0x01, "0009"), status_reply(RDRSP_STATUS, true));
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    const UCHAR zero[16] = {};
    EXPECT_EQ(0, std::memcmp(s.rx()->ReaderInfo, zero, 16));
    EXPECT_EQ(s.rx()->MemoryCardSupport, FALSE);
    EXPECT_EQ(s.rx()->T0LeWorkaround, FALSE);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.DataRatesSupported.Entries, 3);
    EXPECT_EQ(count_lines(own_lines(s.host.log()), "[Qkr_StartDevice] get reader type success"),
              1u);
    // The status reply is still taken.
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
}

TEST(StartTalksToReader, VersionThatIsNotDigitsCountsAsTheNewestFirmware) {
    ScriptedStart s(type_reply(0x00, " 009"), status_reply(RDRSP_STATUS, false));
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.rx()->MemoryCardSupport, TRUE);
    EXPECT_EQ(s.rx()->T0LeWorkaround, FALSE);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.DataRatesSupported.Entries, 3);
    EXPECT_EQ(0, std::memcmp(s.rx()->ReaderInfo + 12, " 009", 4));
}

TEST(StartTalksToReader, StatusReplyWithAnotherCodeLeavesTheCardState) {
    // No card on CTS either, so nothing but the status reply could change the state.
    ScriptedStart s(type_reply(0x00, "0016"), status_reply(RDRSP_DONE, true), false);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(count_lines(own_lines(s.host.log()), "[Qkr_StartDevice] get reader status success"),
              1u);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_UNKNOWN});
    EXPECT_EQ(s.rx()->CardStatus, ULONG{QKR_CARD_STATUS_UNKNOWN});
}

TEST(StartTalksToReader, RepliesOneByteShortOfTheirAnnouncedDataAreNotUsed) {
    // The decoded reply ends with the frame's check byte, which must not pass for the last byte.
    std::vector<std::uint8_t> type = type_reply(0x00, "0016");
    std::vector<std::uint8_t> status = status_reply(RDRSP_STATUS, false);
    type.pop_back();
    status.pop_back();
    ScriptedStart s(type, status, false);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    const UCHAR zero[16] = {};
    EXPECT_EQ(0, std::memcmp(s.rx()->ReaderInfo, zero, 16));
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_UNKNOWN});
}

TEST(StartTalksToReader, StatusReplySaysNoCardButCtsSaysCard) {
    // Tracking's first read follows the status reply and wins.
    ScriptedStart s(type_reply(0x00, "0016"), status_reply(RDRSP_STATUS, false));
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.slot0()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
}

TEST(StartTalksToReader, CardStateComesFromStatusReplyAndLines) {
    TestHost host;
    Reader& without = host.add_reader();
    ASSERT_EQ(without.add(), STATUS_SUCCESS);
    ASSERT_EQ(without.start(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::slot(without, 0)->ReaderCapabilities.CurrentState,
              ULONG{SCARD_ABSENT});
    // No card on CTS at the first read: tracking leaves the state the start found.
    EXPECT_EQ(qkr::host::DriverRecords::reader(without, 0)->CardStatus,
              ULONG{QKR_CARD_STATUS_UNKNOWN});

    Reader& with = host.add_reader();
    insert_card(with);
    ASSERT_EQ(with.add(), STATUS_SUCCESS);
    ASSERT_EQ(with.start(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::slot(with, 0)->ReaderCapabilities.CurrentState,
              ULONG{SCARD_SWALLOWED});
    EXPECT_EQ(qkr::host::DriverRecords::reader(with, 0)->CardStatus,
              ULONG{QKR_CARD_STATUS_PRESENT});
    EXPECT_EQ(qkr::host::DriverRecords::slot(with, 0)->CardCapabilities.Protocol.Selected,
              ULONG{SCARD_PROTOCOL_UNDEFINED});
    // Slot 1 always holds a card.
    EXPECT_EQ(qkr::host::DriverRecords::slot(with, 1)->ReaderCapabilities.CurrentState,
              ULONG{SCARD_SWALLOWED});
}

// ---------------------------------------------------------------------------------------------
// The log of a start and of a stop
// ---------------------------------------------------------------------------------------------
TEST(StartStopLog, StartAndStopWriteTheirLinesInOrder) {
    TestHost host;
    Reader& reader = host.add_reader();
    insert_card(reader);
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    host.clear_log();
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    EXPECT_EQ(own_lines(host.log()),
              (std::vector<std::string>{
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

    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    host.clear_log();
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
    // The close runs on a worker thread, so its line falls anywhere after the work item was
    // queued, but always before the stop goes on.
    std::vector<std::string> stop = own_lines(host.log());
    const std::string close_line = "444444444444444444444444";
    auto close = std::find(stop.begin(), stop.end(), close_line);
    ASSERT_NE(close, stop.end());
    const auto queued =
        std::find(stop.begin(), stop.end(),
                  "[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort");
    EXPECT_LT(queued - stop.begin(), close - stop.begin());
    EXPECT_EQ(stop.back(), "[Qkr_PnP] Exit : ");
    stop.erase(close);
    EXPECT_EQ(stop, (std::vector<std::string>{
                        "[Qkr_PnP] Entering : ",
                        "[Qkr_PnP] IRP_MN_STOP_DEVICE ",
                        "[Qkr_SerialEvent] Enter : ",
                        "[Qkr_SerialEvent] SerialWaitMask is 0 it's time to CloseSerialPort",
                        "[Qkr_SerialEvent] Freed Irp and returned!",
                        "[Qkr_PnP] Exit : ",
                    }));
}

// ---------------------------------------------------------------------------------------------
// Stopping
// ---------------------------------------------------------------------------------------------
TEST(Stop, EndsTrackingClosesPortOnceAndDisablesInterfaces) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    ASSERT_TRUE(reader.port().snapshot().open);
    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);

    EXPECT_FALSE(reader.port().snapshot().open);
    EXPECT_FALSE(reader.port().snapshot().wait_pending);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(qkr::host::DriverRecords::reader(reader, 0)->SerialStatusIrp, nullptr);
    EXPECT_NE(KeReadStateEvent(&qkr::host::DriverRecords::device(reader)->SerialCloseDone), 0);
    EXPECT_EQ(KeReadStateEvent(&qkr::host::DriverRecords::device(reader)->ReaderStarted), 0);
    for (const kern::InterfaceRecord& i : host.kernel().interfaces()) {
        if (i.pdo == reader.pdo()) {
            EXPECT_FALSE(i.enabled);
        }
    }

    // A second stop finds the port closed and does nothing more.
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 1u);
}

TEST(Stop, CyclesOfStartStopAndRemoveLeaveNothingBehind) {
    TestHost host;
    Reader& reader = host.add_reader();
    insert_card(reader);
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(reader.start(), STATUS_SUCCESS) << "start " << i;
        EXPECT_TRUE(reader.port().snapshot().open);
        EXPECT_EQ(qkr::host::DriverRecords::slot(reader, 1)->ReaderCapabilities.CurrentState,
                  ULONG{SCARD_SWALLOWED});
        ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
        ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
        EXPECT_FALSE(reader.port().snapshot().open);
    }
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    ASSERT_EQ(reader.remove(), STATUS_SUCCESS);
    EXPECT_FALSE(reader.port().snapshot().open);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 4u);
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 0u);
    EXPECT_EQ(host.kernel().pool_allocations(SMCLIB_POOL_TAG), 0u);
    EXPECT_EQ(host.kernel().irps_live(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Failed starts
// ---------------------------------------------------------------------------------------------
TEST(FailedStart, PortThatCannotBeOpenedFailsWithItsStatus) {
    TestHost host;
    Reader& reader = host.add_reader();
    // Somebody else opened the port before the reader's device came.
    kern::FileHandle other;
    ASSERT_EQ(host.kernel().open(reader.port().device(), &other), STATUS_SUCCESS);
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    EXPECT_EQ(reader.start(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 0u);
    EXPECT_NE(KeReadStateEvent(&qkr::host::DriverRecords::device(reader)->SerialCloseDone), 0);
    EXPECT_EQ(KeReadStateEvent(&qkr::host::DriverRecords::device(reader)->ReaderStarted), 0);
    EXPECT_EQ(count_lines(own_lines(host.log()),
                          "[Qkr_StartDevice]  IRP_MJ_CREATE to serial.sys FAIL!! "),
              1u);
    // Once the port is free, a start works.
    other.close();
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
}

TEST(FailedStart, ConfigurationFailureClosesThePortAgain) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    reader.port().faults().fail_nth(serial::RequestKind::control(IOCTL_SERIAL_SET_HANDFLOW), 1,
                                    STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reader.start(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(reader.port().snapshot().open);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 1u);
    EXPECT_NE(KeReadStateEvent(&qkr::host::DriverRecords::device(reader)->SerialCloseDone), 0);
    EXPECT_EQ(
        count_lines(own_lines(host.log()), "[Qkr_StartDevice]  Qkr_ConfigureSerialPort FAIL!! "),
        1u);
}

// Position, among the port's set-wait-mask requests of a start, of the one that arms tracking.
std::size_t tracking_mask_position() {
    TestHost host;
    Reader& reader = host.add_reader();
    EXPECT_EQ(reader.add(), STATUS_SUCCESS);
    EXPECT_EQ(reader.start(), STATUS_SUCCESS);
    std::size_t n = 0;
    for (const serial::TapRequest& r : reader.tap().requests()) {
        if (r.major != IRP_MJ_DEVICE_CONTROL || r.code != IOCTL_SERIAL_SET_WAIT_MASK)
            continue;
        ++n;
        ULONG mask = 0;
        if (r.input.size() >= sizeof(mask))
            std::memcpy(&mask, r.input.data(), sizeof(mask));
        if (mask == (SERIAL_EV_CTS | SERIAL_EV_DSR))
            return n;
    }
    ADD_FAILURE() << "the start never armed tracking";
    return 0;
}

TEST(FailedStart, TrackingThatCannotBeArmedClosesThePortWithoutWaiting) {
    const std::size_t position = tracking_mask_position();
    ASSERT_GT(position, 0u);
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    reader.port().faults().fail_nth(serial::RequestKind::control(IOCTL_SERIAL_SET_WAIT_MASK),
                                    static_cast<int>(position), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reader.start(), STATUS_INVALID_PARAMETER);

    READER_EXTENSION* slot0 = qkr::host::DriverRecords::reader(reader, 0);
    EXPECT_EQ(slot0->SerialWaitMask, 0u);
    EXPECT_EQ(slot0->SerialStatusIrp, nullptr);
    EXPECT_FALSE(reader.port().snapshot().open);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(KeReadStateEvent(&qkr::host::DriverRecords::device(reader)->ReaderStarted), 0);
    const auto lines = own_lines(host.log());
    EXPECT_EQ(count_lines(lines, "[Qkr_StartSerialEventTracking] return C000000D "), 1u);
    EXPECT_EQ(count_lines(lines, "[QkrStopDevice] Close serial port444444444444444444444444"), 1u);
    EXPECT_EQ(host.kernel().irps_live(), 0u);
}

TEST(FailedStart, NoIrpForTheOpenFailsWithNoMemoryAndTouchesNothing) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    host.kernel().fail_nth(kern::Fault::IrpAllocation, 1);
    EXPECT_EQ(reader.start(), STATUS_NO_MEMORY);
    // Only the start request itself went down; the port was never opened.
    EXPECT_EQ(reader.tap().requests().size(), port_requests(reader, IRP_MJ_PNP));
    EXPECT_EQ(port_requests(reader, IRP_MJ_CREATE), 0u);
    EXPECT_EQ(count_lines(own_lines(host.log()), "[Qkr_StartDevice] Allocate Irp ERROR!! "), 1u);
}

TEST(FailedStart, SecondSlotThatCannotBeSetUpStopsTheDevice) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    // Slot 1's record is the first pool the start asks for.
    host.kernel().fail_nth(kern::Fault::PoolAllocation, 1);
    EXPECT_EQ(reader.start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(reader.port().snapshot().open);
    EXPECT_EQ(qkr::host::DriverRecords::slot(reader, 1)->OsData, nullptr);

    // The gate stayed open, but slot 1 has nothing to serve its requests with.
    kern::FileHandle handle = reader.open();
    ASSERT_TRUE(handle.is_open());
    std::vector<std::uint8_t> out;
    EXPECT_EQ(reader.ioctl_slot1(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(qkr::host::DriverRecords::device(reader)->IoCount, 0);
}

} // namespace
} // namespace qkr::pnp_test
