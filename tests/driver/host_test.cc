// The harness itself: a host assembles working stacks, and takes them apart without leaving
// anything behind, whatever state they were left in.
#include "host/host.h"
#include "tests/link/support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

using qkr::host::Host;
using qkr::host::Reader;

TEST(Host, StartsFourReadersThatAnswerAndTearsThemDownInAnyState) {
    Host host;
    std::vector<Reader*> readers;
    for (int i = 0; i < Host::kMaxReaders; ++i) {
        Reader& r = host.add_reader();
        ASSERT_EQ(r.add(), STATUS_SUCCESS);
        ASSERT_EQ(r.start(), STATUS_SUCCESS) << "reader " << i;
        readers.push_back(&r);
    }
    EXPECT_THROW(host.add_reader(), std::length_error);

    for (Reader* r : readers) {
        EXPECT_NE(KeReadStateEvent(&qkr::host::DriverRecords::device(*r)->ReaderStarted), 0);
        ASSERT_NE(qkr::host::DriverRecords::reader(*r, 1), nullptr)
            << "slot 1 is set up by a start";
        // Both slots' records use the same port below.
        EXPECT_EQ(qkr::host::DriverRecords::reader(*r, 1)->AttachedDeviceObject,
                  r->port().device());
    }

    // Slot 0 and slot 1 take requests through their own control paths.
    Reader& first = *readers[0];
    qkr::kern::FileHandle handle = first.open();
    ASSERT_TRUE(handle.is_open());
    std::vector<std::uint8_t> state;
    ULONG attr = SCARD_ATTR_VENDOR_NAME;
    std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(&attr), 4);
    EXPECT_EQ(first.ioctl(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, in, &state, 32), STATUS_SUCCESS);
    EXPECT_EQ(std::string(state.begin(), state.end()), "BRIMVEL");
    EXPECT_EQ(first.ioctl_slot1(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, in, &state, 32),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(state.begin(), state.end()), "BRIMVEL");
    handle.close();

    // One stopped, one only added again, the rest left running: the host cleans up all of them.
    EXPECT_EQ(readers[1]->stop(), STATUS_SUCCESS);
    host.release_reader(*readers[2]);
    Reader& fresh = host.add_reader();
    EXPECT_EQ(fresh.add(), STATUS_SUCCESS);
    EXPECT_EQ(qkr::host::DriverRecords::device(fresh)->DeviceInstance, 2u);
}

TEST(Host, ReaderWithoutSimulatorSaysSo) {
    Host host;
    struct Mute : qkr::serial::LineDevice {
        void connect(qkr::serial::DeviceSide*) override {}
        void on_byte(std::uint8_t, bool) override {}
        void on_host_lines(bool, bool, bool) override {}
    } mute;
    qkr::host::ReaderOptions options;
    options.device = &mute;
    Reader& r = host.add_reader(std::move(options));
    EXPECT_THROW(r.sim(), std::logic_error);
    host.release_reader(r);
}

} // namespace
