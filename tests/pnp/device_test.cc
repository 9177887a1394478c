// A reader's device object: what a client reads of it, the limit of four readers, failures on the
// way that must leave nothing behind, and the second slot's records over restarts.
#include "tests/pnp/pnp_support.h"

#include <cstring>

namespace qkr::pnp_test {
namespace {

using Device = Stack;

// What a client (the resource manager) reads of a started reader, on both slots: the start values
// as they reach the replies, and the interface it finds the reader by.
TEST_F(Device, BothSlotsDescribeTheReaderAsDocumented) {
    up();
    const std::pair<ULONG, ULONG> numbers[] = {
        {SCARD_ATTR_DEVICE_UNIT, 0},          {SCARD_ATTR_PROTOCOL_TYPES, 0x13},
        {SCARD_ATTR_DEFAULT_CLK, 3571},       {SCARD_ATTR_MAX_CLK, 3571},
        {SCARD_ATTR_DEFAULT_DATA_RATE, 9600}, {SCARD_ATTR_MAX_DATA_RATE, 9600},
        {SCARD_ATTR_MAX_IFSD, 240},           {SCARD_ATTR_CHARACTERISTICS, 0},
        {SCARD_ATTR_CHANNEL_ID, 0x10000},
    };
    for (int n : {0, 1}) {
        host::SlotClient client(*reader, handle, n);
        Data out;
        for (auto [attr, text] : {std::pair{SCARD_ATTR_VENDOR_NAME, "BRIMVEL"},
                                  std::pair{SCARD_ATTR_VENDOR_IFD_TYPE, "QK410TX"}}) {
            EXPECT_EQ(client.call(IOCTL_SMARTCARD_GET_ATTRIBUTE, host::ulong_input(attr), &out, 32),
                      STATUS_SUCCESS);
            EXPECT_EQ(std::string(out.begin(), out.end()), text) << "slot " << n;
        }
        for (auto [attr, value] : numbers) {
            EXPECT_EQ(client.call(IOCTL_SMARTCARD_GET_ATTRIBUTE, host::ulong_input(attr), &out, 4),
                      STATUS_SUCCESS);
            EXPECT_EQ(out, host::ulong_input(value))
                << "slot " << n << " attribute " << std::hex << attr;
        }
    }
    const GUID reader_class = {
        0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
    const GUID vendor_class = {
        0x46FEE741, 0x0692, 0x11D5, {0x8E, 0x4A, 0x00, 0x80, 0xC8, 0x8F, 0xBD, 0xEE}};
    int found = 0;
    for (const kern::InterfaceRecord& i : kernel().interfaces())
        if (i.pdo == reader->pdo() && i.enabled)
            found += !std::memcmp(&i.guid, &reader_class, sizeof(GUID)) ||
                     !std::memcmp(&i.guid, &vendor_class, sizeof(GUID));
    EXPECT_EQ(found, 2);
}

TEST_F(Device, FifthReaderIsRefusedAndFreedNumbersAreReusedLowestFirst) {
    Reader* readers[4];
    for (int i = 0; i < 4; ++i) {
        readers[i] = &add_reader();
        ASSERT_EQ(readers[i]->add(), STATUS_SUCCESS);
        EXPECT_EQ(device(readers[i])->DeviceInstance, ULONG(i));
    }
    PDEVICE_OBJECT fifth = kernel().create_pdo("fifth");
    EXPECT_EQ(kernel().add_device(host.driver(), fifth), STATUS_INSUFFICIENT_RESOURCES);
    kernel().delete_pdo(fifth);

    release(*readers[2]);
    release(*readers[0]);
    for (ULONG expected : {0u, 2u}) {
        Reader& again = add_reader();
        ASSERT_EQ(again.add(), STATUS_SUCCESS);
        EXPECT_EQ(device(&again)->DeviceInstance, expected);
    }
}

// Each way creation can fail, at every allocation the kernel can refuse in turn, until the device
// gets made: no device object stays, no pool, no library state, and the number is free again.
TEST_F(Device, EveryFailureOnTheWayToADeviceLeavesNothingBehind) {
    for (kern::Fault fault : {kern::Fault::DeviceCreation, kern::Fault::WorkItemAllocation,
                              kern::Fault::PoolAllocation, kern::Fault::InterfaceRegistration}) {
        Reader& r = add_reader();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        for (int n = 1; n <= 20 && status != STATUS_SUCCESS; ++n) {
            SCOPED_TRACE("fault " + std::to_string(int(fault)) + " at " + std::to_string(n));
            kernel().fail_nth(fault, n);
            status = r.add();
            kernel().clear_faults();
            if (status == STATUS_SUCCESS)
                break;
            EXPECT_FALSE(r.added());
            EXPECT_EQ(r.port().device()->AttachedDevice, nullptr) << "a device object survived";
            EXPECT_EQ(kernel().pool_allocations(QKR_POOL_TAG), 0u);
            EXPECT_EQ(kernel().pool_allocations(SMCLIB_POOL_TAG), 0u);
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(device(&r)->DeviceInstance, 0u);
        ASSERT_EQ(r.remove(), STATUS_SUCCESS);
    }
}

} // namespace
} // namespace qkr::pnp_test
