// A port on a simulated line, a small far end, and helpers that send requests as IRPs in virtual
// time.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/serial/ntddser.h"
#include "platform/serial/serial_port.h"
#include "platform/serial/sim_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace qkr::serial::testing {

using Bytes = std::vector<std::uint8_t>;
constexpr ULONG kMaxUlong = 0xFFFFFFFFu;

// The far end: records what arrives and sends when told to.
class TestDevice : public LineDevice {
  public:
    struct HostLines {
        bool dtr, rts, brk;
        bool operator==(const HostLines&) const = default;
    };
    void connect(DeviceSide* side) override { side_ = side; }
    void on_byte(std::uint8_t byte, bool garbled) override {
        received.push_back(byte);
        garbled_flags.push_back(garbled);
    }
    void on_host_lines(bool dtr, bool rts, bool brk) override {
        host_lines.push_back({dtr, rts, brk});
    }
    void on_tx_empty() override { ++tx_empty; }
    DeviceSide& side() { return *side_; }
    void send(const Bytes& bytes) { side_->send(bytes); }

    Bytes received;
    std::vector<bool> garbled_flags;
    std::vector<HostLines> host_lines;
    int tx_empty = 0;

  private:
    DeviceSide* side_ = nullptr;
};

inline Bytes le32(ULONG v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

template <typename T>
Bytes bytes_of(const T& value) {
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &value, sizeof(T));
    return b;
}

template <typename T>
T from_bytes(const Bytes& b) {
    T value{};
    std::memcpy(&value, b.data(), std::min(sizeof(T), b.size()));
    return value;
}

// A read or write sent as the platform's buffered IRP, possibly still pending.
struct Io {
    KEVENT event{};
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_PENDING;
    Bytes buffer;

    bool done() { return returned != STATUS_PENDING || KeReadStateEvent(&event) != 0; }
    // A request that failed at once tells only through IoCallDriver's status: the I/O manager
    // leaves the status block alone then.
    NTSTATUS status() { return returned != STATUS_PENDING ? returned : iosb.Status; }
    Bytes data() { return Bytes(buffer.begin(), buffer.begin() + iosb.Information); }
};

class PortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pdo = kernel.create_pdo("serial-test");
        line.connect_device(&device);
        port = SerialPort::create(kernel, pdo, line);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(kernel.open(port->device(), &handle), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (handle.is_open())
            handle.close();
        line.connect_device(nullptr);
        port.reset();
        kernel.delete_pdo(pdo);
    }

    NTSTATUS ioctl(ULONG code, const Bytes& in = {}, ULONG out_length = 0, Bytes* out = nullptr,
                   ULONG_PTR* information = nullptr) {
        Bytes buffer(out_length);
        ULONG_PTR info = 0;
        const NTSTATUS status = handle.ioctl(code, in, buffer, &info);
        if (out != nullptr)
            *out = Bytes(buffer.begin(), buffer.begin() + std::min<ULONG_PTR>(info, out_length));
        if (information != nullptr)
            *information = info;
        return status;
    }
    NTSTATUS set_mask(ULONG mask) { return ioctl(IOCTL_SERIAL_SET_WAIT_MASK, le32(mask)); }
    kern::PendingIo wait_on_mask() {
        return handle.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }
    static ULONG events_of(const kern::PendingIo& io) {
        ULONG v = 0xFFFFFFFF;
        if (io.output().size() >= 4)
            std::memcpy(&v, io.output().data(), 4);
        return v;
    }
    NTSTATUS set_timeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS t{interval, multiplier, constant, 0, 0};
        return ioctl(IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(t));
    }
    SERIAL_STATUS comm_status() {
        Bytes out;
        EXPECT_EQ(ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &out),
                  STATUS_SUCCESS);
        return from_bytes<SERIAL_STATUS>(out);
    }
    ULONG modem_status() {
        Bytes out;
        EXPECT_EQ(ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4, &out), STATUS_SUCCESS);
        return from_bytes<ULONG>(out);
    }

    // Reads and writes go out the way a driver above sends them: a buffered control request
    // rewritten into IRP_MJ_READ or IRP_MJ_WRITE.
    std::unique_ptr<Io> send_rw(UCHAR major, Bytes data, ULONG length) {
        auto io = std::make_unique<Io>();
        io->buffer = std::move(data);
        KeInitializeEvent(&io->event, NotificationEvent, FALSE);
        const bool read = major == IRP_MJ_READ;
        io->irp = IoBuildDeviceIoControlRequest(
            CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
            port->device(), read ? nullptr : io->buffer.data(),
            read ? 0 : static_cast<ULONG>(io->buffer.size()), read ? io->buffer.data() : nullptr,
            read ? static_cast<ULONG>(io->buffer.size()) : 0, FALSE, &io->event, &io->iosb);
        EXPECT_NE(io->irp, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(io->irp);
        next->MajorFunction = major;
        if (read) {
            next->Parameters.Read.Length = length;
            next->Parameters.Read.ByteOffset.QuadPart = 0;
        } else {
            next->Parameters.Write.Length = length;
            next->Parameters.Write.ByteOffset.QuadPart = 0;
        }
        io->returned = IoCallDriver(port->device(), io->irp);
        return io;
    }
    std::unique_ptr<Io> read_async(ULONG length) {
        return send_rw(IRP_MJ_READ, Bytes(length), length);
    }
    std::unique_ptr<Io> write_async(const Bytes& data) {
        return send_rw(IRP_MJ_WRITE, data, static_cast<ULONG>(data.size()));
    }
    // Waits (moving virtual time on) until the request completes, bounded so a lost completion
    // fails at once.
    void wait(Io& io) {
        LARGE_INTEGER limit;
        limit.QuadPart = -kern::seconds(60);
        if (io.returned == STATUS_PENDING) {
            EXPECT_EQ(KeWaitForSingleObject(&io.event, Executive, KernelMode, FALSE, &limit),
                      STATUS_SUCCESS);
        }
    }
    NTSTATUS write(const Bytes& data) {
        auto io = write_async(data);
        wait(*io);
        return io->status();
    }
    // A wait on `mask`, a read and a write the port holds: all three pending.
    struct Pending {
        kern::PendingIo waiting;
        std::unique_ptr<Io> reading;
        std::unique_ptr<Io> writing;
    };
    Pending start_pending(ULONG mask = SERIAL_EV_DSR) {
        EXPECT_EQ(set_mask(mask), STATUS_SUCCESS);
        Pending p{wait_on_mask(), read_async(4), nullptr};
        port->faults().pend_nth(RequestKind::write(), 1);
        p.writing = write_async({1});
        EXPECT_FALSE(p.waiting.done() || p.reading->done() || p.writing->done());
        return p;
    }
    void advance(kern::Ticks t) { kernel.sleep_for(t); }
    // The device sends, and the test waits until every byte has arrived at the port.
    void device_sends(const Bytes& data) {
        device.side().send(data);
        advance(SimLine::char_time(line.device_format(), data.size()) + 1);
    }

    kern::Kernel kernel{kern::ClockMode::Virtual};
    PDEVICE_OBJECT pdo = nullptr;
    SimLine line{kernel};
    TestDevice device;
    std::unique_ptr<SerialPort> port;
    kern::FileHandle handle;
};

} // namespace qkr::serial::testing
