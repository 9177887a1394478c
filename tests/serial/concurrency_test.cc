// The port under real threads and the real clock: client requests, cancellation and the line's
// timer callbacks racing each other. Run under ThreadSanitizer in CI.
#include "platform/kernel/kernel.h"
#include "platform/serial/ntddser.h"
#include "platform/serial/serial_port.h"
#include "platform/serial/sim_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace qkr::serial::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
const LineFormat kFast{115200, 8, Parity::None, 1};
constexpr ULONG kMaxUlong = 0xFFFFFFFFu;

// Echoes every byte back and, while `toggling`, flips CTS every 200 microseconds.
class BusyDevice : public LineDevice {
  public:
    explicit BusyDevice(kern::Kernel& kernel) : kernel_(kernel) {}
    ~BusyDevice() override { stop(); }
    void connect(DeviceSide* side) override {
        std::lock_guard lock(mutex_);
        side_ = side;
    }
    void on_byte(std::uint8_t byte, bool) override {
        std::lock_guard lock(mutex_);
        if (side_ != nullptr && echo_)
            side_->send(std::span<const std::uint8_t>(&byte, 1));
    }
    void on_host_lines(bool, bool, bool) override {}
    void start_toggling() {
        std::lock_guard lock(mutex_);
        toggling_ = true;
        schedule();
    }
    void stop() {
        std::lock_guard lock(mutex_);
        toggling_ = false;
        if (timer_ != 0)
            kernel_.cancel(timer_);
        timer_ = 0;
    }
    void set_echo(bool on) {
        std::lock_guard lock(mutex_);
        echo_ = on;
    }
    void send(const Bytes& bytes) {
        std::lock_guard lock(mutex_);
        side_->send(bytes);
    }

  private:
    void schedule() {
        timer_ = kernel_.schedule_after(kern::microseconds(200), [this] { tick(); });
    }
    void tick() {
        std::lock_guard lock(mutex_);
        if (!toggling_ || side_ == nullptr)
            return;
        cts_ = !cts_;
        side_->set_cts(cts_);
        side_->send(Bytes{0x55});
        schedule();
    }

    kern::Kernel& kernel_;
    std::mutex mutex_;
    DeviceSide* side_ = nullptr;
    bool toggling_ = false;
    bool echo_ = true;
    bool cts_ = false;
    kern::Kernel::TimerId timer_ = 0;
};

struct Station {
    Station(kern::Kernel& kernel, const char* name)
        : pdo(kernel.create_pdo(name)), line(kernel, kFast), device(kernel) {
        line.connect_device(&device);
        port = SerialPort::create(kernel, pdo, line);
        port->tap().set_enabled(false);
        EXPECT_EQ(kernel.open(port->device(), &handle), STATUS_SUCCESS);
    }
    ~Station() {
        device.stop();
        handle.close();
        line.connect_device(nullptr);
        port.reset();
    }
    NTSTATUS control(ULONG code, ULONG value) {
        Bytes in(4);
        std::memcpy(in.data(), &value, 4);
        return handle.ioctl(code, in, {});
    }
    // A read or write on an IRP of our own, sent the way the driver's tracking sends its requests.
    NTSTATUS rw(UCHAR major, Bytes& buffer, ULONG_PTR* information) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(port->device()->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = buffer.data();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->Parameters.Read.Length = static_cast<ULONG>(buffer.size());
        next->Parameters.Read.ByteOffset.QuadPart = 0;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
                KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &event, TRUE, TRUE, TRUE);
        IoCallDriver(port->device(), irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        const NTSTATUS status = irp->IoStatus.Status;
        *information = irp->IoStatus.Information;
        IoFreeIrp(irp);
        return status;
    }

    PDEVICE_OBJECT pdo;
    SimLine line;
    BusyDevice device;
    std::unique_ptr<SerialPort> port;
    kern::FileHandle handle;
};

TEST(PortUnderThreads, ExchangesStayIntactWhileWaitsReadsAndCancelsRaceAround) {
    kern::Kernel kernel(kern::ClockMode::Real);
    auto exchange = std::make_unique<Station>(kernel, "exchange");
    auto racing = std::make_unique<Station>(kernel, "racing");
    racing->device.set_echo(false);
    racing->device.start_toggling();
    ASSERT_EQ(racing->control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS), STATUS_SUCCESS);
    std::atomic<bool> done{false};
    std::atomic<int> exchanges{0};

    // The driver's exchange: purge, write under a transmit-empty wait, then collect the echo
    // with wait, status and read.
    kern::Thread exchanger = kernel.spawn("exchange", [&] {
        Station& s = *exchange;
        SERIAL_TIMEOUTS t{30, 0, 3000, 0, 5000};
        Bytes tin(sizeof t);
        std::memcpy(tin.data(), &t, sizeof t);
        ASSERT_EQ(s.handle.ioctl(IOCTL_SERIAL_SET_TIMEOUTS, tin, {}), STATUS_SUCCESS);
        for (int round = 0; round < 40; ++round) {
            Bytes frame(12);
            for (std::size_t i = 0; i < frame.size(); ++i)
                frame[i] = static_cast<std::uint8_t>(round + i);
            ASSERT_EQ(s.control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR),
                      STATUS_SUCCESS);
            ASSERT_EQ(s.control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
            ULONG_PTR info = 0;
            Bytes out = frame;
            ASSERT_EQ(s.rw(IRP_MJ_WRITE, out, &info), STATUS_SUCCESS);
            Bytes events(4);
            ASSERT_EQ(s.handle.ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, events), STATUS_SUCCESS);
            ASSERT_EQ(s.control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
            // The echo may be back before the mask is set, so look at the queue before waiting.
            Bytes got;
            while (got.size() < frame.size()) {
                Bytes st(sizeof(SERIAL_STATUS));
                ASSERT_EQ(s.handle.ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, st), STATUS_SUCCESS);
                SERIAL_STATUS status;
                std::memcpy(&status, st.data(), sizeof status);
                if (status.AmountInInQueue == 0) {
                    ASSERT_EQ(s.handle.ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, events),
                              STATUS_SUCCESS);
                    continue;
                }
                Bytes chunk(status.AmountInInQueue);
                ASSERT_EQ(s.rw(IRP_MJ_READ, chunk, &info), STATUS_SUCCESS);
                got.insert(got.end(), chunk.begin(), chunk.begin() + info);
            }
            ASSERT_EQ(got, frame);
            ++exchanges;
        }
        done = true;
    });

    // Held requests on the same port, cancelled while the exchange runs.
    kern::Thread canceller = kernel.spawn("cancel", [&] {
        Station& s = *exchange;
        while (!done) {
            s.port->faults().pend_nth(RequestKind::control(IOCTL_SERIAL_GET_DTRRTS), 1);
            auto held = s.handle.ioctl_async(IOCTL_SERIAL_GET_DTRRTS, {}, 4);
            held.cancel();
            EXPECT_EQ(held.wait(), STATUS_CANCELLED);
            kernel.sleep_for(kern::microseconds(300));
        }
    });

    // Waits ended by line events from the timer thread or by a new mask from another thread,
    // and reads ended by a character or by their time-out, whichever comes first.
    kern::Thread waiter = kernel.spawn("wait", [&] {
        Station& s = *racing;
        SERIAL_TIMEOUTS t{kMaxUlong, kMaxUlong, 1, 0, 0};
        Bytes tin(sizeof t);
        std::memcpy(tin.data(), &t, sizeof t);
        ASSERT_EQ(s.handle.ioctl(IOCTL_SERIAL_SET_TIMEOUTS, tin, {}), STATUS_SUCCESS);
        while (!done) {
            Bytes events(4);
            const NTSTATUS w = s.handle.ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, events);
            ULONG ev = 0;
            std::memcpy(&ev, events.data(), 4);
            // INVALID_PARAMETER when the mask was briefly 0.
            EXPECT_TRUE(w == STATUS_SUCCESS || w == STATUS_INVALID_PARAMETER) << std::hex << w;
            EXPECT_TRUE(ev == 0 || ev == SERIAL_EV_CTS) << std::hex << ev;
            Bytes one(1);
            ULONG_PTR info = 0;
            const NTSTATUS r = s.rw(IRP_MJ_READ, one, &info);
            EXPECT_TRUE((r == STATUS_SUCCESS && info == 1) || (r == STATUS_TIMEOUT && info == 0))
                << std::hex << r;
        }
    });
    kern::Thread masker = kernel.spawn("mask", [&] {
        Station& s = *racing;
        ULONG round = 0;
        while (!done) {
            EXPECT_EQ(s.control(IOCTL_SERIAL_SET_WAIT_MASK, ++round % 5 == 0 ? 0 : SERIAL_EV_CTS),
                      STATUS_SUCCESS);
            kernel.sleep_for(kern::microseconds(150));
        }
        EXPECT_EQ(s.control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS), STATUS_SUCCESS);
    });

    exchanger.join();
    canceller.join();
    masker.join();
    waiter.join();
    EXPECT_EQ(exchanges.load(), 40);
    racing.reset();
    exchange.reset();
}

} // namespace
} // namespace qkr::serial::testing
