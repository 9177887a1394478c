// The serial port stand-in over a TtyLine on a pseudo-terminal, on the kernel's real clock: the
// requests the reader driver sends, answered by a far end the test plays on the master side and
// on the modem-line side channel.
#include "platform/kernel/kernel.h"
#include "platform/serial/ntddser.h"
#include "platform/serial/serial_port.h"
#include "platform/serial/tty/tty_line.h"
#include "tests/tty/far_end.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace qkr::serial {
namespace {

using namespace tty_testing;
using Bytes = std::vector<std::uint8_t>;

template <typename T>
Bytes raw(const T& value) {
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &value, sizeof(T));
    return b;
}

ULONG ulong_of(std::span<const std::uint8_t> b) {
    ULONG v = 0xFFFFFFFF;
    if (b.size() >= sizeof v) {
        std::memcpy(&v, b.data(), sizeof v);
    }
    return v;
}

// A read or write as the reader driver sends it: a buffered control request rewritten.
struct Io {
    KEVENT event{};
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_PENDING;
    Bytes buffer;

    // Waits at most two seconds of real time; false if still pending.
    bool wait() {
        if (returned != STATUS_PENDING) {
            return true;
        }
        LARGE_INTEGER timeout{};
        timeout.QuadPart = -2 * kern::kTicksPerSecond;
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
               STATUS_SUCCESS;
    }
    Bytes data() const { return Bytes(buffer.begin(), buffer.begin() + iosb.Information); }
};

class PortOnTty : public ::testing::Test {
  protected:
    void SetUp() override {
        TtyOptions o;
        o.path = pty_.path();
        o.assume_dsr = true;
        o.modem_socket = far_.path();
        o.log = log_.writer();
        line_ = std::make_unique<TtyLine>(o);
        pdo_ = kernel_.create_pdo("tty-port");
        port_ = SerialPort::create(kernel_, pdo_, *line_);
        ASSERT_NE(port_, nullptr);
        ASSERT_EQ(kernel_.open(port_->device(), &handle_), STATUS_SUCCESS) << line_->last_error();
        far_.accept();
    }
    void TearDown() override {
        if (handle_.is_open()) {
            handle_.close();
        }
        port_.reset();
        kernel_.delete_pdo(pdo_);
    }

    NTSTATUS ioctl(ULONG code, const Bytes& in = {}, Bytes* out = nullptr, ULONG out_length = 0) {
        Bytes buffer(out_length);
        ULONG_PTR info = 0;
        const NTSTATUS status = handle_.ioctl(code, in, buffer, &info);
        if (out != nullptr) {
            *out = Bytes(buffer.begin(), buffer.begin() + std::min<ULONG_PTR>(info, out_length));
        }
        return status;
    }
    std::unique_ptr<Io> send(UCHAR major, Bytes data) {
        auto io = std::make_unique<Io>();
        io->buffer = std::move(data);
        const auto length = static_cast<ULONG>(io->buffer.size());
        KeInitializeEvent(&io->event, NotificationEvent, FALSE);
        const bool read = major == IRP_MJ_READ;
        PIRP irp = IoBuildDeviceIoControlRequest(
            CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
            port_->device(), read ? nullptr : io->buffer.data(), read ? 0 : length,
            read ? io->buffer.data() : nullptr, read ? length : 0, FALSE, &io->event, &io->iosb);
        EXPECT_NE(irp, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        if (read) {
            next->Parameters.Read.Length = length;
        } else {
            next->Parameters.Write.Length = length;
        }
        io->returned = IoCallDriver(port_->device(), irp);
        if (io->returned != STATUS_PENDING) {
            io->iosb.Status = io->returned;
        }
        return io;
    }
    ULONG modem_status() {
        Bytes out;
        EXPECT_EQ(ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, &out, 4), STATUS_SUCCESS);
        return ulong_of(out);
    }

    Log log_;
    Pty pty_;
    SideChannel far_;
    kern::Kernel kernel_{kern::ClockMode::Real};
    std::unique_ptr<TtyLine> line_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::unique_ptr<SerialPort> port_;
    kern::FileHandle handle_;
};

TEST_F(PortOnTty, TheDriversSetUpSpeedChangeAndExchangeReachTheTty) {
    // The start-up configuration: 19200 8N1, time-outs, DTR and RTS up.
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, raw(SERIAL_BAUD_RATE{19200})), STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, raw(SERIAL_LINE_CONTROL{0, 0, 8})),
              STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_TIMEOUTS, raw(SERIAL_TIMEOUTS{30, 0, 3000, 0, 5000})),
              STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    termios t = pty_.settings();
    EXPECT_EQ(cfgetospeed(&t), B19200);

    // A frame out, a reply back.
    const Bytes frame = {0x10, 0x02, 0x47, 0x00, 0x00, 0x10, 0x10, 0x57, 0x10, 0x03};
    auto write = send(IRP_MJ_WRITE, frame);
    ASSERT_TRUE(write->wait());
    EXPECT_EQ(write->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(pty_.read(frame.size()), frame);
    const Bytes reply = {0x10, 0x02, 0x64, 0x00, 0x00, 0x01, 0x3B, 0x5E, 0x10, 0x03};
    auto read = send(IRP_MJ_READ, Bytes(reply.size()));
    pty_.write(reply);
    ASSERT_TRUE(read->wait());
    EXPECT_EQ(read->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(read->data(), reply);

    // A speed change: new speed, DTR dropped and raised; refused speeds are refused.
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, raw(SERIAL_BAUD_RATE{9600})), STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    t = pty_.settings();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_NE(ioctl(IOCTL_SERIAL_SET_BAUD_RATE, raw(SERIAL_BAUD_RATE{14400})), STATUS_SUCCESS);
    t = pty_.settings();
    EXPECT_EQ(cfgetospeed(&t), B9600);

    // The far end saw each step on the side channel, the speed change in order.
    std::vector<std::string> said;
    for (std::string l = far_.next_line(); l != "<nothing>"; l = far_.next_line()) {
        said.push_back(l);
        if (said.size() > 2 && said[said.size() - 3] == "LINE 9600 8N1" &&
            said[said.size() - 2] == "DTR 0" && l == "DTR 1") {
            break;
        }
    }
    ASSERT_GE(said.size(), 3u) << "nothing on the side channel";
    EXPECT_EQ(said.back(), "DTR 1");
    EXPECT_EQ(said[said.size() - 2], "DTR 0");
    EXPECT_EQ(said[said.size() - 3], "LINE 9600 8N1");
}

TEST_F(PortOnTty, TransmitEmptyAndCardInsertionCompleteWaits) {
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_WAIT_MASK, raw(ULONG{SERIAL_EV_TXEMPTY})), STATUS_SUCCESS);
    kern::PendingIo wait = handle_.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    auto write = send(IRP_MJ_WRITE, Bytes{1, 2, 3});
    ASSERT_TRUE(wait.wait_for(2 * kern::kTicksPerSecond));
    EXPECT_EQ(wait.status(), STATUS_SUCCESS);
    EXPECT_EQ(ulong_of(wait.output()), ULONG{SERIAL_EV_TXEMPTY});
    ASSERT_TRUE(write->wait());
    EXPECT_EQ(pty_.read(3), (Bytes{1, 2, 3}));

    // Reader powered (assumed), no card; then the far end reports a card.
    EXPECT_EQ(modem_status(), ULONG{SERIAL_DSR_STATE});
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_WAIT_MASK, raw(ULONG{SERIAL_EV_CTS | SERIAL_EV_DSR})),
              STATUS_SUCCESS);
    kern::PendingIo tracking = handle_.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    far_.send("CTS 1\n");
    ASSERT_TRUE(tracking.wait_for(2 * kern::kTicksPerSecond));
    EXPECT_EQ(tracking.status(), STATUS_SUCCESS);
    EXPECT_EQ(ulong_of(tracking.output()), ULONG{SERIAL_EV_CTS});
    EXPECT_EQ(modem_status(), ULONG{SERIAL_CTS_STATE | SERIAL_DSR_STATE});
}

TEST_F(PortOnTty, FarEndGoneFailsPendingRequestsAtOnce) {
    // A read with no time-out waits for ever, unless the line hangs up.
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_TIMEOUTS, raw(SERIAL_TIMEOUTS{0, 0, 0, 0, 0})),
              STATUS_SUCCESS);
    EXPECT_EQ(ioctl(IOCTL_SERIAL_SET_WAIT_MASK, raw(ULONG{SERIAL_EV_CTS | SERIAL_EV_DSR})),
              STATUS_SUCCESS);
    kern::PendingIo tracking = handle_.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    auto read = send(IRP_MJ_READ, Bytes(16));
    ASSERT_EQ(read->returned, STATUS_PENDING);

    pty_.close_master();
    ASSERT_TRUE(tracking.wait_for(2 * kern::kTicksPerSecond));
    EXPECT_EQ(tracking.status(), STATUS_SUCCESS);
    EXPECT_EQ(ulong_of(tracking.output()), ULONG{SERIAL_EV_DSR}) << "the reader went away";
    ASSERT_TRUE(read->wait());
    EXPECT_EQ(read->iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(modem_status() & SERIAL_DSR_STATE, 0u);
}

} // namespace
} // namespace qkr::serial
