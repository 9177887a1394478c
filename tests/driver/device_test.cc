// A reader's device object: loading the driver, adding readers, their starting values, the limit of
// four, failures on the way that must leave nothing behind, the second slot and removal.
#include "host/host.h"
#include "tests/link/support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using qkr::host::Host;
using qkr::host::Reader;
using qkr::kern::Fault;
using qkr::testing::has_in_order;

bool same_guid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// The driver's pool and the library's pool are what a device holds; both must come back.
void expect_nothing_held(Host& host) {
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 0u);
    EXPECT_EQ(host.kernel().pool_allocations(SMCLIB_POOL_TAG), 0u);
}

TEST(DriverLoad, ServesOnlyItsOwnRequestKinds) {
    Host host;
    PDRIVER_OBJECT d = host.driver();
    EXPECT_EQ(d->MajorFunction[IRP_MJ_CREATE], Qkr_CreateClose);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_CLOSE], Qkr_CreateClose);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_CLEANUP], Qkr_Cleanup);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_DEVICE_CONTROL], Qkr_DeviceControl);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], Qkr_InternalDeviceControl);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_PNP], Qkr_PnP);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_POWER], Qkr_Power);
    EXPECT_EQ(d->DriverUnload, Qkr_Unload);
    EXPECT_EQ(d->DriverExtension->AddDevice, Qkr_AddDevice);
    // Reads, writes and WMI keep the I/O manager's default, whatever that is.
    const PDRIVER_DISPATCH ours[] = {Qkr_CreateClose,           Qkr_Cleanup, Qkr_DeviceControl,
                                     Qkr_InternalDeviceControl, Qkr_PnP,     Qkr_Power};
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_SYSTEM_CONTROL}) {
        for (auto routine : ours)
            EXPECT_NE(d->MajorFunction[major], routine) << "major " << int(major);
    }
    EXPECT_TRUE(
        has_in_order(host.log(), {"[DriverEntry] Entering : \n", "[DriverEntry] Exit : \n"}));
}

TEST(DeviceCreation, NewDeviceHasEveryStartingValue) {
    Host host;
    Reader& r = host.add_reader();
    host.clear_log();
    ASSERT_EQ(r.add(), STATUS_SUCCESS);

    EXPECT_TRUE(has_in_order(host.log(),
                             {"[Qkr_AddDevice] Entering : \n", "[Qkr_CreateDevice] Entering : \n",
                              "[Qkr_CreateDevice] IoCreateDevice Success! : \n",
                              "[Qkr_CreateDevice] SmartcardInitialize Success : \n",
                              "[Qkr_CreateDevice] leaving : \n", "[Qkr_AddDevice] Exit : \n"}));

    PDEVICE_OBJECT fdo = r.fdo();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SMARTCARD));
    EXPECT_EQ(fdo->Characteristics, 0u);
    EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);

    DEVICE_EXTENSION* e = qkr::host::DriverRecords::device(r);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(static_cast<void*>(e), static_cast<void*>(&e->SmartcardExtension));
    EXPECT_EQ(e->DeviceInstance, 0u);
    EXPECT_EQ(e->IoCount, 0);
    EXPECT_NE(e->CloseSerialWorkItem, nullptr);
    EXPECT_EQ(KeReadStateEvent(&e->ReaderStarted), 0);
    EXPECT_NE(KeReadStateEvent(&e->SerialCloseDone), 0);
    EXPECT_NE(KeReadStateEvent(&e->ReaderLock), 0) << "the conversation lock starts free";
    EXPECT_FALSE(e->Removed);
    EXPECT_EQ(e->SecondSmartcardExtension.ReaderExtension, nullptr);
    EXPECT_EQ(e->SecondSmartcardExtension.OsData, nullptr);

    SMARTCARD_EXTENSION& s = e->SmartcardExtension;
    EXPECT_EQ(s.Version, 0x150u);
    EXPECT_EQ(s.SmartcardRequest.BufferSize, 1048u);
    EXPECT_EQ(s.SmartcardReply.BufferSize, 1048u);
    ASSERT_NE(s.OsData, nullptr);
    EXPECT_EQ(s.OsData->DeviceObject, fdo);
    EXPECT_EQ(s.ReaderFunction[RDF_CARD_POWER], Qkr_SmartcardPower);
    EXPECT_EQ(s.ReaderFunction[RDF_TRANSMIT], Qkr_SmartcardIoRequest);
    EXPECT_EQ(s.ReaderFunction[RDF_CARD_TRACKING], Qkr_SmartcardCardTracking);
    EXPECT_EQ(s.ReaderFunction[RDF_SET_PROTOCOL], Qkr_SmartcardSetProtocol);
    EXPECT_EQ(s.ReaderFunction[RDF_IOCTL_VENDOR], Qkr_SmartcardVendor);
    for (int i :
         {RDF_CARD_EJECT, RDF_READER_SWALLOW, RDF_DEBUG_LEVEL, RDF_CARD_CONFISCATE, RDF_ATR_PARSE})
        EXPECT_EQ(s.ReaderFunction[i], nullptr) << "callback " << i;
    EXPECT_EQ(s.VendorAttr.VendorName.Length, 7);
    EXPECT_EQ(std::memcmp(s.VendorAttr.VendorName.Buffer, "BRIMVEL", 8), 0);
    EXPECT_EQ(s.VendorAttr.IfdType.Length, 7);
    EXPECT_EQ(std::memcmp(s.VendorAttr.IfdType.Buffer, "QK410TX", 8), 0);
    EXPECT_EQ(s.VendorAttr.UnitNo, 0u);
    EXPECT_EQ(s.ReaderCapabilities.SupportedProtocols, 0x13u);
    EXPECT_EQ(s.ReaderCapabilities.ReaderType, 1u);
    EXPECT_EQ(s.ReaderCapabilities.MechProperties, 0u);
    EXPECT_EQ(s.ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_UNKNOWN));
    EXPECT_EQ(s.ReaderCapabilities.CLKFrequency.Default, 3571u);
    EXPECT_EQ(s.ReaderCapabilities.CLKFrequency.Max, 3571u);
    EXPECT_EQ(s.ReaderCapabilities.DataRate.Default, 9600u);
    EXPECT_EQ(s.ReaderCapabilities.DataRate.Max, 9600u);
    EXPECT_EQ(s.ReaderCapabilities.DataRatesSupported.List, Qkr_DataRatesSlot0);
    EXPECT_EQ(s.ReaderCapabilities.DataRatesSupported.Entries, 3);
    EXPECT_EQ(s.ReaderCapabilities.MaxIFSD, 240u);
    EXPECT_EQ(s.CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(Qkr_DataRatesSlot0[0], 9600u);
    EXPECT_EQ(Qkr_DataRatesSlot0[1], 19200u);
    EXPECT_EQ(Qkr_DataRatesSlot0[2], 38400u);

    READER_EXTENSION* x = s.ReaderExtension;
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->SerialHandFlow.ControlHandShake, 0u);
    EXPECT_EQ(x->SerialHandFlow.FlowReplace, 0x80000000u);
    EXPECT_EQ(x->SerialHandFlow.XonLimit, 0);
    EXPECT_EQ(x->SerialHandFlow.XoffLimit, 0);
    const UCHAR chars[6] = {0, 0, 0xFF, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&x->SerialChars, chars, 6), 0);
    EXPECT_EQ(x->SerialTimeouts.ReadIntervalTimeout, 30u);
    EXPECT_EQ(x->SerialTimeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(x->SerialTimeouts.ReadTotalTimeoutConstant, 3000u);
    EXPECT_EQ(x->SerialTimeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(x->SerialTimeouts.WriteTotalTimeoutConstant, 5000u);
    EXPECT_EQ(x->BaudRate, 19200u);
    EXPECT_EQ(x->SerialLineControl.StopBits, 0);
    EXPECT_EQ(x->SerialLineControl.Parity, 0);
    EXPECT_EQ(x->SerialLineControl.WordLength, 8);
    EXPECT_EQ(x->ReaderPowerState, 1u);
    EXPECT_EQ(x->CardStatus, 0u);
    EXPECT_EQ(x->AttachedDeviceObject, r.port().device());
    EXPECT_EQ(x->SlotNumber, 0u);
    EXPECT_FALSE(x->ReaderBusy);
    EXPECT_EQ(x->SerialWaitMask, 0u);
    EXPECT_EQ(x->SerialStatusIrp, nullptr);
    EXPECT_FALSE(x->MemoryCardSupport);
    EXPECT_FALSE(x->T0LeWorkaround);
    EXPECT_EQ(x->WriteTimeoutDpc.DeferredRoutine, Qkr_WriteTimeoutDpcRoutine);
    EXPECT_EQ(x->WriteTimeoutDpc.DeferredContext, fdo);
    EXPECT_EQ(x->ReadTimeoutDpc.DeferredRoutine, Qkr_ReadTimeoutDpcRoutine);
    EXPECT_EQ(x->ReadTimeoutDpc.DeferredContext, fdo);

    // One block of the driver's own pool: slot 0's records.
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 1u);
    EXPECT_EQ(host.kernel().pool_bytes(QKR_POOL_TAG), sizeof(READER_EXTENSION));

    // Both interfaces registered on the PDO, neither enabled yet.
    int reader_interfaces = 0, vendor_interfaces = 0;
    for (const auto& i : host.kernel().interfaces()) {
        if (i.pdo != r.pdo())
            continue;
        EXPECT_FALSE(i.enabled);
        if (same_guid(i.guid, Qkr_SmartcardReaderInterfaceGuid))
            ++reader_interfaces;
        if (same_guid(i.guid, Qkr_VendorInterfaceGuid))
            ++vendor_interfaces;
    }
    EXPECT_EQ(reader_interfaces, 1);
    EXPECT_EQ(vendor_interfaces, 1);
    EXPECT_NE(e->PnPDeviceName.Buffer, nullptr);
    EXPECT_NE(e->VendorInterfaceName.Buffer, nullptr);
}

TEST(DeviceCreation, InterfaceClassesAndMemoryCardAnswerAreTheDocumentedOnes) {
    const GUID reader = {
        0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
    const GUID vendor = {
        0x46FEE741, 0x0692, 0x11D5, {0x8E, 0x4A, 0x00, 0x80, 0xC8, 0x8F, 0xBD, 0xEE}};
    EXPECT_TRUE(same_guid(Qkr_SmartcardReaderInterfaceGuid, reader));
    EXPECT_TRUE(same_guid(Qkr_VendorInterfaceGuid, vendor));

    // A well-formed answer to reset: TCK makes the XOR of T0 to TCK zero.
    UCHAR x = 0;
    for (int i = 1; i < 24; ++i)
        x ^= Qkr_MemoryCardAtr[i];
    EXPECT_EQ(x, 0);
    EXPECT_EQ(Qkr_MemoryCardAtr[0], 0x3B);
    EXPECT_EQ(std::memcmp(Qkr_MemoryCardAtr + 8, "STARCOS S21 C", 13), 0);
    EXPECT_EQ(Qkr_MemoryCardAtr[21], 0x90);
    EXPECT_EQ(Qkr_MemoryCardAtr[22], 0x00);
}

TEST(DeviceCreation, FifthReaderIsRefusedAndFreedNumbersAreReusedLowestFirst) {
    Host host;
    Reader* readers[4];
    for (int i = 0; i < 4; ++i) {
        readers[i] = &host.add_reader();
        ASSERT_EQ(readers[i]->add(), STATUS_SUCCESS);
        EXPECT_EQ(qkr::host::DriverRecords::device(*readers[i])->DeviceInstance,
                  static_cast<ULONG>(i));
        EXPECT_EQ(qkr::host::DriverRecords::slot(*readers[i], 0)->VendorAttr.UnitNo,
                  static_cast<ULONG>(i));
    }

    // A fifth PDO: the driver refuses it before creating anything, and says nothing.
    PDEVICE_OBJECT fifth = host.kernel().create_pdo("fifth");
    host.clear_log();
    EXPECT_EQ(host.kernel().add_device(host.driver(), fifth), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(fifth->AttachedDevice, nullptr);
    EXPECT_TRUE(has_in_order(host.log(),
                             {"[Qkr_AddDevice] Entering : \n", "[Qkr_CreateDevice] Entering : \n",
                              "[Qkr_AddDevice] Exit : \n"}));
    EXPECT_EQ(host.log().size(), 3u);
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 4u);
    host.kernel().delete_pdo(fifth);

    // Number 1 comes free and is taken by the next reader.
    host.release_reader(*readers[1]);
    Reader& again = host.add_reader();
    ASSERT_EQ(again.add(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::device(again)->DeviceInstance, 1u);

    // With 0 and 2 free, the next one gets 0.
    host.release_reader(*readers[0]);
    host.release_reader(*readers[2]);
    Reader& lowest = host.add_reader();
    ASSERT_EQ(lowest.add(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::device(lowest)->DeviceInstance, 0u);
    Reader& next = host.add_reader();
    ASSERT_EQ(next.add(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::device(next)->DeviceInstance, 2u);
}

// Each way creation can fail, at every allocation the kernel can refuse in turn, until the device
// gets made: no device object stays, no pool, no library state, and the number is free again.
TEST(DeviceCreation, EveryFailureOnTheWayLeavesNothingBehind) {
    struct Kind {
        Fault fault;
        const char* name;
    } kinds[] = {
        {Fault::DeviceCreation, "device creation"},
        {Fault::WorkItemAllocation, "work item"},
        {Fault::PoolAllocation, "pool"},
        {Fault::InterfaceRegistration, "interface registration"},
    };
    for (const auto& kind : kinds) {
        Host host;
        Reader& r = host.add_reader();
        bool made = false;
        for (int n = 1; n <= 20 && !made; ++n) {
            host.kernel().fail_nth(kind.fault, n);
            host.clear_log();
            NTSTATUS status = r.add();
            host.kernel().clear_faults();
            if (status == STATUS_SUCCESS) {
                made = true;
                break;
            }
            SCOPED_TRACE(std::string(kind.name) + " failure number " + std::to_string(n));
            EXPECT_FALSE(r.added());
            EXPECT_EQ(r.port().device()->AttachedDevice, nullptr) << "a device object survived";
            expect_nothing_held(host);
            EXPECT_TRUE(has_in_order(host.log(), {"[Qkr_AddDevice] Exit : \n"}));
            EXPECT_EQ(DeviceInstanceInUse[0], 0);
            if (kind.fault == Fault::DeviceCreation) {
                EXPECT_TRUE(
                    has_in_order(host.log(), {"[Qkr_CreateDevice] IoCreateDevice Fail! : \n"}));
            }
            if (kind.fault == Fault::WorkItemAllocation) {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            }
        }
        ASSERT_TRUE(made) << kind.name;
        // The number was given back every time, so the device that got made has number 0.
        EXPECT_EQ(qkr::host::DriverRecords::device(r)->DeviceInstance, 0u);
    }
}

TEST(DeviceCreation, LibraryFailureIsLoggedAndReturned) {
    Host host;
    Reader& r = host.add_reader();
    // The first pool block is slot 0's records; the library's own come after.
    host.kernel().fail_nth(Fault::PoolAllocation, 2);
    host.clear_log();
    NTSTATUS status = r.add();
    host.kernel().clear_faults();
    EXPECT_NE(status, STATUS_SUCCESS);
    EXPECT_TRUE(has_in_order(host.log(), {"[Qkr_CreateDevice] IoCreateDevice Success! : \n",
                                          "[Qkr_CreateDevice] SmartcardInitialize FAIL : \n",
                                          "[Qkr_AddDevice] Exit : \n"}));
    expect_nothing_held(host);
    EXPECT_EQ(r.port().device()->AttachedDevice, nullptr);
}

TEST(DeviceRemoval, ReleasesEverythingOfADeviceThatNeverStarted) {
    Host host;
    Reader& r = host.add_reader();
    ASSERT_EQ(r.add(), STATUS_SUCCESS);
    host.clear_log();
    EXPECT_EQ(r.remove(), STATUS_SUCCESS);
    EXPECT_EQ(r.port().device()->AttachedDevice, nullptr);
    expect_nothing_held(host);
    EXPECT_EQ(DeviceInstanceInUse[0], 0);
    // Nothing was sent to the port: it was never opened.
    for (const auto& q : r.tap().requests())
        EXPECT_EQ(q.major, IRP_MJ_PNP);
}

TEST(SecondSlot, CopiesTheReaderFlagsAndIsReusedOnRestart) {
    Host host;
    Reader& r = host.add_reader();
    ASSERT_EQ(r.add(), STATUS_SUCCESS);
    DEVICE_EXTENSION* e = qkr::host::DriverRecords::device(r);
    SMARTCARD_EXTENSION& s0 = e->SmartcardExtension;
    READER_EXTENSION* x0 = s0.ReaderExtension;

    // What a start against firmware 0009 leaves in slot 0.
    s0.ReaderCapabilities.DataRatesSupported.Entries = 1;
    x0->MemoryCardSupport = TRUE;
    x0->T0LeWorkaround = TRUE;
    for (int i = 0; i < 16; ++i)
        x0->ReaderInfo[i] = static_cast<UCHAR>(0x40 + i);
    x0->SlotNumber = 7;

    ASSERT_EQ(Qkr_SetupSecondSlot(r.fdo()), STATUS_SUCCESS);
    auto check = [&] {
        SMARTCARD_EXTENSION& s1 = e->SecondSmartcardExtension;
        READER_EXTENSION* x1 = s1.ReaderExtension;
        ASSERT_NE(x1, nullptr);
        ASSERT_NE(s1.OsData, nullptr);
        EXPECT_EQ(s1.Version, 0x150u);
        EXPECT_EQ(s1.SmartcardRequest.BufferSize, 1048u);
        EXPECT_EQ(s1.SmartcardReply.BufferSize, 1048u);
        EXPECT_EQ(s1.OsData->DeviceObject, r.fdo());
        for (int i = 0; i < RDF_MAX_FUNCTIONS; ++i)
            EXPECT_EQ(s1.ReaderFunction[i], s0.ReaderFunction[i]) << "callback " << i;
        EXPECT_EQ(s1.VendorAttr.VendorName.Length, 7);
        EXPECT_EQ(std::memcmp(s1.VendorAttr.VendorName.Buffer, "BRIMVEL", 8), 0);
        EXPECT_EQ(s1.VendorAttr.IfdType.Length, 7);
        EXPECT_EQ(std::memcmp(s1.VendorAttr.IfdType.Buffer, "QK410TX", 8), 0);
        EXPECT_EQ(s1.VendorAttr.UnitNo, s0.VendorAttr.UnitNo);
        EXPECT_EQ(s1.ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_SWALLOWED));
        EXPECT_EQ(s1.ReaderCapabilities.SupportedProtocols, 0x13u);
        EXPECT_EQ(s1.ReaderCapabilities.ReaderType, 1u);
        EXPECT_EQ(s1.ReaderCapabilities.MechProperties, 0u);
        EXPECT_EQ(s1.ReaderCapabilities.CLKFrequency.Default, 3571u);
        EXPECT_EQ(s1.ReaderCapabilities.CLKFrequency.Max, 3571u);
        EXPECT_EQ(s1.ReaderCapabilities.MaxIFSD, 240u);
        EXPECT_EQ(s1.ReaderCapabilities.DataRate.Default, 9600u);
        EXPECT_EQ(s1.ReaderCapabilities.DataRate.Max, 9600u);
        EXPECT_EQ(s1.ReaderCapabilities.DataRatesSupported.List, Qkr_DataRatesSlot1);
        EXPECT_NE(s1.ReaderCapabilities.DataRatesSupported.List,
                  s0.ReaderCapabilities.DataRatesSupported.List);
        EXPECT_EQ(s1.ReaderCapabilities.DataRatesSupported.Entries, 1);
        EXPECT_EQ(s1.CardCapabilities.ATR.Length, 0);

        EXPECT_EQ(x1->AttachedDeviceObject, x0->AttachedDeviceObject);
        EXPECT_TRUE(x1->MemoryCardSupport);
        EXPECT_TRUE(x1->T0LeWorkaround);
        EXPECT_EQ(std::memcmp(x1->ReaderInfo, x0->ReaderInfo, 16), 0);
        EXPECT_EQ(x0->SlotNumber, 0u);
        EXPECT_EQ(x1->SlotNumber, 1u);
        EXPECT_EQ(x1->WriteTimeoutDpc.DeferredRoutine, Qkr_SecondSlotWriteTimeoutDpcRoutine);
        EXPECT_EQ(x1->ReadTimeoutDpc.DeferredRoutine, Qkr_SecondSlotReadTimeoutDpcRoutine);
        EXPECT_EQ(x1->WriteTimeoutDpc.DeferredContext, r.fdo());
        EXPECT_EQ(x1->ReadTimeoutDpc.DeferredContext, r.fdo());
        // Serial settings, power and tracking belong to slot 0 alone.
        EXPECT_EQ(x1->BaudRate, 0u);
        EXPECT_EQ(x1->ReaderPowerState, 0u);
        EXPECT_EQ(x1->SerialTimeouts.ReadTotalTimeoutConstant, 0u);
        EXPECT_EQ(x1->SerialChars.BreakChar, 0);
    };
    check();
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 2u);
    std::size_t library_blocks = host.kernel().pool_allocations(SMCLIB_POOL_TAG);

    // A restart writes the values again over whatever the slot went through, with no new records.
    READER_EXTENSION* first = e->SecondSmartcardExtension.ReaderExtension;
    e->SecondSmartcardExtension.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    e->SecondSmartcardExtension.CardCapabilities.ATR.Length = 9;
    first->MemoryCardPresent = TRUE;
    first->DiIndex = 5;
    ASSERT_EQ(Qkr_SetupSecondSlot(r.fdo()), STATUS_SUCCESS);
    EXPECT_EQ(e->SecondSmartcardExtension.ReaderExtension, first);
    check();
    EXPECT_FALSE(first->MemoryCardPresent);
    EXPECT_EQ(first->DiIndex, 0);
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 2u);
    EXPECT_EQ(host.kernel().pool_allocations(SMCLIB_POOL_TAG), library_blocks);

    ASSERT_EQ(r.remove(), STATUS_SUCCESS);
    expect_nothing_held(host);
}

TEST(SecondSlot, FailuresLeaveTheSlotEmpty) {
    Host host;
    Reader& r = host.add_reader();
    ASSERT_EQ(r.add(), STATUS_SUCCESS);
    DEVICE_EXTENSION* e = qkr::host::DriverRecords::device(r);
    std::size_t library_blocks = host.kernel().pool_allocations(SMCLIB_POOL_TAG);

    host.kernel().fail_nth(Fault::PoolAllocation, 1);
    EXPECT_EQ(Qkr_SetupSecondSlot(r.fdo()), STATUS_INSUFFICIENT_RESOURCES);
    host.kernel().clear_faults();
    EXPECT_EQ(e->SecondSmartcardExtension.ReaderExtension, nullptr);
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 1u);

    // The library's own allocation refused.
    host.kernel().fail_nth(Fault::PoolAllocation, 2);
    EXPECT_NE(Qkr_SetupSecondSlot(r.fdo()), STATUS_SUCCESS);
    host.kernel().clear_faults();
    EXPECT_EQ(e->SecondSmartcardExtension.ReaderExtension, nullptr);
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), 1u);
    EXPECT_EQ(host.kernel().pool_allocations(SMCLIB_POOL_TAG), library_blocks);

    // And it can still be set up afterwards.
    EXPECT_EQ(Qkr_SetupSecondSlot(r.fdo()), STATUS_SUCCESS);
    ASSERT_EQ(r.remove(), STATUS_SUCCESS);
    expect_nothing_held(host);
}

TEST(SecondSlot, StartOnOldFirmwareAndRestartKeepOneSetOfRecords) {
    Host host;
    qkr::host::ReaderOptions options;
    options.sim.firmware = "0009";
    Reader& r = host.add_reader(std::move(options));
    ASSERT_EQ(r.add(), STATUS_SUCCESS);
    ASSERT_EQ(r.start(), STATUS_SUCCESS);

    SMARTCARD_EXTENSION* s1 = qkr::host::DriverRecords::slot(r, 1);
    READER_EXTENSION* x1 = qkr::host::DriverRecords::reader(r, 1);
    ASSERT_NE(x1, nullptr);
    EXPECT_EQ(s1->ReaderCapabilities.DataRatesSupported.Entries, 1);
    EXPECT_TRUE(x1->MemoryCardSupport);
    EXPECT_TRUE(x1->T0LeWorkaround);
    EXPECT_EQ(std::memcmp(x1->ReaderInfo + 12, "0009", 4), 0);
    EXPECT_EQ(x1->SlotNumber, 1u);
    EXPECT_EQ(s1->VendorAttr.UnitNo, qkr::host::DriverRecords::slot(r, 0)->VendorAttr.UnitNo);
    std::size_t driver_blocks = host.kernel().pool_allocations(QKR_POOL_TAG);
    std::size_t library_blocks = host.kernel().pool_allocations(SMCLIB_POOL_TAG);
    EXPECT_EQ(driver_blocks, 2u);

    ASSERT_EQ(r.stop(), STATUS_SUCCESS);
    ASSERT_EQ(r.start(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::reader(r, 1), x1) << "a restart reuses slot 1's records";
    EXPECT_EQ(s1->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_SWALLOWED));
    EXPECT_EQ(host.kernel().pool_allocations(QKR_POOL_TAG), driver_blocks);
    EXPECT_EQ(host.kernel().pool_allocations(SMCLIB_POOL_TAG), library_blocks);

    ASSERT_EQ(r.remove(), STATUS_SUCCESS);
    expect_nothing_held(host);
}

} // namespace
