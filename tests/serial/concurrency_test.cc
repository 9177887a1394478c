// The port under real threads and the real clock: waits ended by line events from the timer
// thread or by a new mask from another thread (as tracking's wait meets an exchange's new mask),
// reads ended by a character or by their time-out, and held requests cancelled while they run.
// Run under ThreadSanitizer in CI.
#include "platform/kernel/kernel.h"
#include "platform/serial/ntddser.h"
#include "platform/serial/serial_port.h"
#include "platform/serial/sim_line.h"
#include "tests/serial/port_io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace qkr::serial::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Flips CTS and sends a byte every 200 microseconds.
class BusyDevice : public LineDevice {
  public:
    explicit BusyDevice(kern::Kernel& kernel) : kernel_(kernel) {}
    void connect(DeviceSide* side) override {
        std::lock_guard lock(mutex_);
        side_ = side;
        if (side_ != nullptr)
            timer_ = kernel_.schedule_after(kern::microseconds(200), [this] { tick(); });
        else
            kernel_.cancel(timer_);
    }
    void on_byte(std::uint8_t, bool) override {}
    void on_host_lines(bool, bool, bool) override {}

  private:
    void tick() {
        std::lock_guard lock(mutex_);
        if (side_ == nullptr)
            return;
        cts_ = !cts_;
        side_->set_cts(cts_);
        side_->send(Bytes{0x55});
        timer_ = kernel_.schedule_after(kern::microseconds(200), [this] { tick(); });
    }
    kern::Kernel& kernel_;
    std::mutex mutex_;
    DeviceSide* side_ = nullptr;
    bool cts_ = false;
    kern::Kernel::TimerId timer_ = 0;
};

TEST(PortUnderThreads, WaitsReadsAndCancelsRacingLineEventsAndMaskChangesEndCleanly) {
    kern::Kernel kernel(kern::ClockMode::Real);
    PDEVICE_OBJECT pdo = kernel.create_pdo("racing");
    SimLine line(kernel, LineFormat{115200, 8, Parity::None, 1});
    BusyDevice device(kernel);
    line.connect_device(&device);
    auto port = SerialPort::create(kernel, pdo, line);
    port->tap().set_enabled(false);
    kern::FileHandle handle;
    ASSERT_EQ(kernel.open(port->device(), &handle), STATUS_SUCCESS);
    auto set = [&](ULONG code, const Bytes& value) { return handle.ioctl(code, value, {}); };
    ASSERT_EQ(set(IOCTL_SERIAL_SET_WAIT_MASK, bytes_of(ULONG{SERIAL_EV_CTS})), STATUS_SUCCESS);
    ASSERT_EQ(
        set(IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(SERIAL_TIMEOUTS{0xFFFFFFFF, 0xFFFFFFFF, 1, 0, 0})),
        STATUS_SUCCESS);
    std::atomic<bool> done{false};
    kern::Thread canceller = kernel.spawn("cancel", [&] {
        while (!done) {
            port->faults().pend_nth(RequestKind::control(IOCTL_SERIAL_GET_DTRRTS), 1);
            auto held = handle.ioctl_async(IOCTL_SERIAL_GET_DTRRTS, {}, 4);
            held.cancel();
            EXPECT_EQ(held.wait(), STATUS_CANCELLED);
            kernel.sleep_for(kern::microseconds(300));
        }
    });
    kern::Thread waiter = kernel.spawn("wait", [&] {
        while (!done) {
            ULONG ev = 0;
            const NTSTATUS w = handle.ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {},
                                            std::span(reinterpret_cast<std::uint8_t*>(&ev), 4));
            // INVALID_PARAMETER when the mask was briefly 0.
            EXPECT_TRUE(w == STATUS_SUCCESS || w == STATUS_INVALID_PARAMETER) << std::hex << w;
            EXPECT_TRUE(ev == 0 || ev == SERIAL_EV_CTS) << std::hex << ev;
            auto read = PortIo::send(port->device(), IRP_MJ_READ, Bytes(1));
            const NTSTATUS r = read->wait(kern::seconds(2));
            EXPECT_EQ(read->data().size(), r == STATUS_SUCCESS ? 1u : 0u) << std::hex << r;
            EXPECT_TRUE(r == STATUS_SUCCESS || r == STATUS_TIMEOUT) << std::hex << r;
        }
    });
    for (ULONG round = 1; round <= 400; ++round) {
        EXPECT_EQ(
            set(IOCTL_SERIAL_SET_WAIT_MASK, bytes_of(ULONG{round % 5 == 0 ? 0u : SERIAL_EV_CTS})),
            STATUS_SUCCESS);
        kernel.sleep_for(kern::microseconds(150));
    }
    done = true;
    EXPECT_EQ(set(IOCTL_SERIAL_SET_WAIT_MASK, bytes_of(ULONG{SERIAL_EV_CTS})), STATUS_SUCCESS);
    canceller.join();
    waiter.join();
    handle.close();
    line.connect_device(nullptr);
    port.reset();
}

} // namespace
} // namespace qkr::serial::testing
