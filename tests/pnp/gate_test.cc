// The request gate and the Plug and Play queries around it: requests wait for a start, a stop
// query is refused while one is inside the library, removal releases waiting requests and
// refuses new opens.
#include "tests/pnp/pnp_support.h"

namespace qkr::pnp_test {
namespace {

using host::Reader;

// A control request sent from a thread of its own, because it may wait at the gate.
class ClientRequest {
  public:
    ClientRequest(Reader& reader, kern::FileHandle& handle, ULONG code, bool slot1 = false)
        : thread_(reader.kernel().spawn("client", [this, &reader, &handle, code, slot1] {
              std::vector<std::uint8_t> out;
              NTSTATUS s = slot1 ? reader.ioctl_slot1(handle, code, {}, &out, sizeof(ULONG))
                                 : reader.ioctl(handle, code, {}, &out, sizeof(ULONG));
              status_.store(s);
              done_.store(true);
          })) {}
    bool done() const { return done_.load(); }
    NTSTATUS finish() {
        thread_.join();
        return status_.load();
    }

  private:
    std::atomic<bool> done_{false};
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
    kern::Thread thread_;
};

bool reader_started(Reader& reader) {
    return KeReadStateEvent(&qkr::host::DriverRecords::device(reader)->ReaderStarted) != 0;
}

TEST(Gate, RequestSentBeforeTheStartWaitsForIt) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    ASSERT_TRUE(handle.is_open());

    ClientRequest early(reader, handle, IOCTL_SMARTCARD_GET_STATE);
    settle(reader, kern::seconds(5));
    EXPECT_FALSE(early.done());
    EXPECT_EQ(qkr::host::DriverRecords::device(reader)->IoCount, 0);

    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    EXPECT_EQ(early.finish(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::device(reader)->IoCount, 0);
}

TEST(Gate, StopQueryIsRefusedWhileARequestIsInsideTheLibrary) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();

    HoldVendorCallback hold(reader, 0);
    ClientRequest held(reader, handle, kHeldCode);
    hold->wait_entered();
    EXPECT_EQ(qkr::host::DriverRecords::device(reader)->IoCount, 1);

    const std::size_t pnp_at_port = port_requests(reader, IRP_MJ_PNP);
    host.clear_log();
    EXPECT_EQ(reader.query_stop(), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(reader_started(reader));
    EXPECT_EQ(port_requests(reader, IRP_MJ_PNP), pnp_at_port);
    EXPECT_EQ(own_lines(host.log()), (std::vector<std::string>{
                                         "[Qkr_PnP] Entering : ",
                                         "[Qkr_PnP] IRP_MN_QUERY_STOP_DEVICE ",
                                         "[Qkr_PnP] Exit : ",
                                     }));

    // With one request inside, another of either slot goes through even with the gate shut.
    KeClearEvent(&qkr::host::DriverRecords::device(reader)->ReaderStarted);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(reader.ioctl_slot1(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4), STATUS_SUCCESS);
    KeSetEvent(&qkr::host::DriverRecords::device(reader)->ReaderStarted, IO_NO_INCREMENT, FALSE);

    hold->let_go();
    EXPECT_EQ(held.finish(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::device(reader)->IoCount, 0);
    EXPECT_EQ(reader.query_stop(), STATUS_SUCCESS);
    EXPECT_FALSE(reader_started(reader));
}

TEST(Gate, ParkedTrackingRequestDoesNotHoldUpAStopQuery) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    kern::PendingIo present = handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    settle(reader);
    ASSERT_FALSE(present.done());
    EXPECT_EQ(qkr::host::DriverRecords::device(reader)->IoCount, 0);

    EXPECT_EQ(reader.query_stop(), STATUS_SUCCESS);
    EXPECT_FALSE(reader_started(reader));
    EXPECT_EQ(present.cancel(), TRUE);
    EXPECT_EQ(present.wait(), STATUS_CANCELLED);
}

TEST(Gate, AfterAGrantedStopQueryRequestsWaitForCancelOrRestart) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();

    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    ClientRequest first(reader, handle, IOCTL_SMARTCARD_GET_STATE);
    settle(reader, kern::seconds(5));
    EXPECT_FALSE(first.done());
    ASSERT_EQ(reader.cancel_stop(), STATUS_SUCCESS);
    EXPECT_EQ(first.finish(), STATUS_SUCCESS);

    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    ClientRequest second(reader, handle, IOCTL_SMARTCARD_GET_STATE, true);
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
    settle(reader, kern::seconds(5));
    EXPECT_FALSE(second.done());
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    EXPECT_EQ(second.finish(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::device(reader)->IoCount, 0);
}

TEST(Gate, ExitLinesCarryTheStatusInHex) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    std::vector<std::uint8_t> out;

    host.clear_log();
    EXPECT_EQ(reader.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4), STATUS_SUCCESS);
    EXPECT_EQ(reader.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 1),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reader.ioctl_slot1(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4), STATUS_SUCCESS);
    EXPECT_EQ(own_lines(host.log()), (std::vector<std::string>{
                                         "[Qkr_DeviceControl] Leave 0",
                                         "[Qkr_DeviceControl] Leave C0000023",
                                         "[Qkr_InternalDeviceControl] Enter : ",
                                         "[Qkr_InternalDeviceControl] Leave 0",
                                     }));
}

// ---------------------------------------------------------------------------------------------
// Removal
// ---------------------------------------------------------------------------------------------

// Sends IRP_MJ_CREATE straight to the driver's device: the I/O manager would turn a second open
// of the exclusive device away before it reached the driver.
NTSTATUS raw_open(PDEVICE_OBJECT device) {
    IO_STATUS_BLOCK status{};
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->UserIosb = &status;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CREATE;
    NTSTATUS result = IofCallDriver(device, irp);
    IoFreeIrp(irp);
    return result;
}

TEST(Removal, EndsRequestsWaitingAtTheGateAndRefusesNewOpens) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    ClientRequest waiting(reader, handle, IOCTL_SMARTCARD_GET_STATE);
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
    settle(reader);
    ASSERT_FALSE(waiting.done());

    PDEVICE_OBJECT fdo = reader.fdo();
    DEVICE_EXTENSION* device = qkr::host::DriverRecords::device(reader);
    std::atomic<NTSTATUS> removed{STATUS_PENDING};
    host.clear_log();
    kern::Thread remover = host.kernel().spawn("remover", [&] { removed = reader.remove(); });

    // The open handle keeps the removal waiting; the request at the gate does not.
    EXPECT_EQ(waiting.finish(), STATUS_DEVICE_REMOVED);
    settle(reader);
    EXPECT_EQ(removed.load(), STATUS_PENDING);
    EXPECT_EQ(device->IoCount, 0);

    EXPECT_EQ(raw_open(fdo), STATUS_DEVICE_REMOVED);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(reader.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(device->IoCount, 0);
    const auto lines = own_lines(host.log());
    EXPECT_EQ(count_lines(lines, "[Qkr_CreateClose] SmartcardAcquireRemoveLock fail! "), 1u);
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("[Qkr_DeviceControl] Leave"), std::string::npos) << line;

    handle.close();
    remover.join();
    EXPECT_EQ(removed.load(), STATUS_SUCCESS);
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 0u);
    EXPECT_EQ(host.kernel().irps_live(), 0u);
}

TEST(Removal, RemovingAStartedReaderClosesThePortAndReleasesEverything) {
    TestHost host;
    Reader& reader = host.add_reader();
    insert_card(reader);
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    {
        kern::FileHandle handle = reader.open();
        kern::PendingIo absent = handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
        settle(reader);
        ASSERT_FALSE(absent.done());
        handle.close();
        EXPECT_EQ(absent.wait(), STATUS_SUCCESS);
    }
    ASSERT_EQ(reader.query_remove(), STATUS_SUCCESS);
    ASSERT_EQ(reader.remove(), STATUS_SUCCESS);
    EXPECT_FALSE(reader.port().snapshot().open);
    EXPECT_EQ(port_requests(reader, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 0u);
    EXPECT_EQ(host.kernel().pool_allocations(SMCLIB_POOL_TAG), 0u);
    EXPECT_EQ(host.kernel().irps_live(), 0u);
}

// ---------------------------------------------------------------------------------------------
// The other Plug and Play requests
// ---------------------------------------------------------------------------------------------
TEST(OtherPnp, QueryRemoveDisablesAndCancelRemoveEnablesTheInterfaces) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    auto enabled = [&] {
        int n = 0;
        for (const kern::InterfaceRecord& i : host.kernel().interfaces())
            n += i.pdo == reader.pdo() && i.enabled;
        return n;
    };
    EXPECT_EQ(enabled(), 2);

    host.clear_log();
    ASSERT_EQ(reader.query_remove(), STATUS_SUCCESS);
    EXPECT_EQ(enabled(), 0);
    EXPECT_EQ(own_lines(host.log()), (std::vector<std::string>{
                                         "[Qkr_PnP] Entering : ",
                                         "[Qkr_PnP] IRP_MN_QUERY_REMOVE_DEVICE ",
                                         "11111111111get query remove and set to false",
                                         "[Qkr_PnP] Exit : ",
                                     }));
    ASSERT_EQ(reader.cancel_remove(), STATUS_SUCCESS);
    EXPECT_EQ(enabled(), 2);
    // Nothing else changed: the reader still serves requests.
    EXPECT_TRUE(reader_started(reader));
    EXPECT_TRUE(reader.port().snapshot().open);
}

TEST(OtherPnp, UnhandledCodesGoDownUntouched) {
    TestHost host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);

    host.clear_log();
    EXPECT_EQ(reader.surprise_removal(), STATUS_SUCCESS);
    EXPECT_EQ(reader.pnp(IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(own_lines(host.log()), (std::vector<std::string>{
                                         "[Qkr_PnP] Entering : ",
                                         "[Qkr_PnP] Other IRP ",
                                         "[Qkr_PnP] Exit : ",
                                         "[Qkr_PnP] Entering : ",
                                         "[Qkr_PnP] Other IRP ",
                                         "[Qkr_PnP] Exit : ",
                                     }));
    // Still started: nothing of ours reacted.
    EXPECT_TRUE(reader.port().snapshot().open);
    EXPECT_TRUE(reader_started(reader));
}

} // namespace
} // namespace qkr::pnp_test
