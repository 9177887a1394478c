// The requests the driver makes of the serial port: single requests and their limits, the port's
// configuration, line speed changes, forwarding down the stack and closing the port.
#include "host/host.h"
#include "tests/link/scripted_reader.h"
#include "tests/link/support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using qkr::host::Host;
using qkr::host::Reader;
using qkr::host::ReaderOptions;
using qkr::kern::Fault;
using qkr::kern::milliseconds;
using qkr::kern::seconds;
using qkr::kern::Ticks;
using qkr::serial::RequestKind;
using qkr::serial::TapRequest;
using qkr::testing::Bytes;
using qkr::testing::ScriptedReader;

Bytes bytes_of(const void* p, size_t n) {
    auto b = static_cast<const unsigned char*>(p);
    return Bytes(b, b + n);
}

class SerialRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        host = std::make_unique<Host>();
        device = std::make_unique<ScriptedReader>(host->kernel());
        ReaderOptions options;
        options.device = device.get();
        reader = &host->add_reader(std::move(options));
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        slot = qkr::host::DriverRecords::slot(*reader, 0);
        x = slot->ReaderExtension;
    }
    void TearDown() override {
        if (reader != nullptr)
            host->release_reader(*reader);
        device.reset();
        host.reset();
    }
    void open_unconfigured() {
        ASSERT_EQ(reader->open_port(false), STATUS_SUCCESS);
        reader->tap().clear();
    }
    std::vector<TapRequest> controls() const {
        std::vector<TapRequest> out;
        for (const auto& q : reader->tap().requests())
            if (q.major == IRP_MJ_DEVICE_CONTROL)
                out.push_back(q);
        return out;
    }
    std::vector<ULONG> codes() const {
        std::vector<ULONG> out;
        for (const auto& q : controls())
            out.push_back(q.code);
        return out;
    }

    std::unique_ptr<Host> host;
    std::unique_ptr<ScriptedReader> device;
    Reader* reader = nullptr;
    SMARTCARD_EXTENSION* slot = nullptr;
    READER_EXTENSION* x = nullptr;
};

TEST_F(SerialRequests, LengthsAboveTheBufferSizeAreRefusedWithoutSending) {
    open_unconfigured();
    static UCHAR big[1049];
    ULONG transferred = 0;
    x->SerialIoControlCode = SMARTCARD_WRITE;
    EXPECT_EQ(Qkr_SerialIo(slot, big, 1049, nullptr, 0, &transferred), STATUS_BUFFER_TOO_SMALL);
    x->SerialIoControlCode = SMARTCARD_READ;
    EXPECT_EQ(Qkr_SerialIo(slot, nullptr, 0, big, 1049, &transferred), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(reader->tap().requests().empty());

    x->SerialIoControlCode = SMARTCARD_WRITE;
    EXPECT_EQ(Qkr_SerialIo(slot, big, 1048, nullptr, 0, &transferred), STATUS_SUCCESS);
    auto q = reader->tap().requests();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].major, IRP_MJ_WRITE);
    EXPECT_EQ(q[0].input_length, 1048u);
}

TEST_F(SerialRequests, PrivateCodesBecomeReadsAndWrites) {
    open_unconfigured();
    UCHAR data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ULONG transferred = 0;
    x->SerialIoControlCode = SMARTCARD_WRITE;
    EXPECT_EQ(Qkr_SerialIo(slot, data, 12, nullptr, 0, &transferred), STATUS_SUCCESS);

    // A read of 7 with 7 bytes waiting.
    device->reply({0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37});
    UCHAR frame[] = {0x10, 0x02, 0x00, 0x10, 0x03};
    EXPECT_EQ(Qkr_SerialIo(slot, frame, sizeof frame, nullptr, 0, &transferred), STATUS_SUCCESS);
    host->kernel().sleep_for(milliseconds(100));
    UCHAR in[16] = {};
    x->SerialIoControlCode = SMARTCARD_READ;
    transferred = 0;
    EXPECT_EQ(Qkr_SerialIo(slot, nullptr, 0, in, 7, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(in, in + 8), (Bytes{0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x00}));

    auto q = reader->tap().requests();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].major, IRP_MJ_WRITE);
    EXPECT_EQ(q[0].input, bytes_of(data, 12));
    EXPECT_EQ(q[2].major, IRP_MJ_READ);
    EXPECT_EQ(q[2].output_length, 7u);
    EXPECT_EQ(q[2].information, 7u);
}

TEST_F(SerialRequests, GuardTimeOnASingleByteNeedsNoStall) {
    open_unconfigured();
    slot->CardCapabilities.GT = 100;
    UCHAR one = 0x5A;
    ULONG transferred = 0;
    Ticks begin = host->kernel().now();
    x->SerialIoControlCode = SMARTCARD_WRITE;
    EXPECT_EQ(Qkr_SerialIo(slot, &one, 1, nullptr, 0, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(host->kernel().now(), begin);
    auto q = reader->tap().requests();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].input, Bytes{0x5A});

    // A failed byte does not stop the rest; the status is the last byte's.
    reader->tap().clear();
    reader->port().faults().fail_nth(RequestKind::write(), 2, STATUS_DEVICE_NOT_READY);
    UCHAR three[3] = {1, 2, 3};
    EXPECT_EQ(Qkr_SerialIo(slot, three, 3, nullptr, 0, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(reader->tap().requests().size(), 3u);
    reader->port().faults().fail_nth(RequestKind::write(), 3, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Qkr_SerialIo(slot, three, 3, nullptr, 0, &transferred), STATUS_DEVICE_NOT_READY);
}

TEST_F(SerialRequests, ConfigurationSendsEightRequestsThenWaitsThreeSeconds) {
    open_unconfigured();
    Ticks begin = host->kernel().now();
    ASSERT_EQ(Qkr_ConfigureSerialPort(slot), STATUS_SUCCESS);
    EXPECT_EQ(host->kernel().now() - begin, seconds(3));

    auto q = controls();
    ASSERT_EQ(q.size(), 8u);
    const ULONG expected[8] = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                               IOCTL_SERIAL_SET_CHARS,     IOCTL_SERIAL_SET_TIMEOUTS,
                               IOCTL_SERIAL_SET_HANDFLOW,  IOCTL_SERIAL_SET_BREAK_OFF,
                               IOCTL_SERIAL_SET_DTR,       IOCTL_SERIAL_SET_RTS};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(q[i].code, expected[i]) << "request " << i;
        EXPECT_EQ(q[i].output_length, 1048u) << "request " << i;
        EXPECT_EQ(q[i].status, STATUS_SUCCESS);
    }
    EXPECT_EQ(q[0].input, (Bytes{0x00, 0x4B, 0x00, 0x00})); // 19200
    EXPECT_EQ(q[1].input, (Bytes{0, 0, 8}));
    EXPECT_EQ(q[2].input, (Bytes{0, 0, 0xFF, 0, 0, 0}));
    // Interval 30 ms, total read 3000 ms, total write 5000 ms; no flow control but XOFF-continue.
    EXPECT_EQ(q[3].input,
              (Bytes{0x1E, 0, 0, 0, 0, 0, 0, 0, 0xB8, 0x0B, 0, 0, 0, 0, 0, 0, 0x88, 0x13, 0, 0}));
    EXPECT_EQ(q[4].input, (Bytes{0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0}));
    // The three switches carry the library's buffer with the length left over from hand flow.
    for (int i = 5; i < 8; ++i)
        EXPECT_EQ(q[i].input_length, 16u) << "request " << i;
    EXPECT_NE(slot->SmartcardRequest.Buffer, reinterpret_cast<PUCHAR>(&x->SerialHandFlow));

    auto snap = reader->port().snapshot();
    EXPECT_EQ(snap.format.baud, 19200u);
    EXPECT_TRUE(snap.dtr);
    EXPECT_TRUE(snap.rts);
    EXPECT_FALSE(snap.break_on);
    EXPECT_EQ(snap.timeouts.ReadTotalTimeoutConstant, 3000u);
}

TEST_F(SerialRequests, ConfigurationStopsAtTheFirstFailure) {
    open_unconfigured();
    PUCHAR library_buffer = slot->SmartcardRequest.Buffer;
    reader->port().faults().fail_nth(RequestKind::control(IOCTL_SERIAL_SET_HANDFLOW), 1,
                                     STATUS_INVALID_PARAMETER);
    Ticks begin = host->kernel().now();
    EXPECT_EQ(Qkr_ConfigureSerialPort(slot), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host->kernel().now(), begin) << "no pause after a failure";
    EXPECT_EQ(codes(), (std::vector<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE,
                                           IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                           IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_SET_HANDFLOW}));
    EXPECT_EQ(slot->SmartcardRequest.Buffer, library_buffer);
}

TEST_F(SerialRequests, SpeedChangeTogglesDtrAndLeavesTheRecordedSpeedAlone) {
    open_unconfigured();
    Ticks begin = host->kernel().now();
    EXPECT_EQ(Qkr_SetSerialBaudRate(38400, slot), STATUS_SUCCESS);
    EXPECT_EQ(host->kernel().now() - begin, milliseconds(1500));
    EXPECT_EQ(codes(), (std::vector<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_CLR_DTR,
                                           IOCTL_SERIAL_SET_DTR}));
    auto q = controls();
    EXPECT_EQ(q[0].input, (Bytes{0x00, 0x96, 0x00, 0x00}));
    EXPECT_EQ(q[1].input_length, 0u);
    EXPECT_EQ(q[1].output_length, 0u);
    EXPECT_EQ(x->BaudRate, 19200u);
    EXPECT_EQ(reader->port().snapshot().format.baud, 38400u);

    // A refused speed ends it at once.
    reader->tap().clear();
    reader->port().faults().fail_nth(RequestKind::control(IOCTL_SERIAL_SET_BAUD_RATE), 1,
                                     STATUS_INVALID_PARAMETER);
    begin = host->kernel().now();
    EXPECT_EQ(Qkr_SetSerialBaudRate(9600, slot), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(codes(), (std::vector<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE}));
    EXPECT_EQ(host->kernel().now(), begin);
}

// The library hands the callback one buffered I/O buffer for request and reply: the reply data
// lands on the request's bytes, the speed code among them.
TEST_F(SerialRequests, SpeedChangeTakesItsCodeBeforeTheReplyCoversIt) {
    open_unconfigured();
    UCHAR payload[] = {RDRSP_DATA, 0x00, 0x00, 0x03, 0x00, 0x17, 0x99};
    UCHAR frame[32];
    ULONG length = 0;
    ASSERT_EQ(Qkr_BuildFrame(frame, sizeof frame, payload, sizeof payload, &length),
              STATUS_SUCCESS);
    device->reply(Bytes(frame, frame + length));
    UCHAR io[8] = {0x42, 0x00, 0x03};
    ULONG information = 0;
    slot->IoRequest = {&information, io, 3, io, sizeof io};
    // As the vendor callback calls it: in a conversation.
    EXPECT_EQ(qkr::testing::in_conversation(slot, [&] { return Qkr_SetReaderBaudRate(slot); }),
              STATUS_SUCCESS);
    EXPECT_EQ(x->BaudRate, 9600u);
    EXPECT_EQ(reader->port().snapshot().format.baud, 9600u);
}

TEST_F(SerialRequests, RequestThatCannotBeBuiltIsReported) {
    open_unconfigured();
    ULONG mask = SERIAL_EV_RXCHAR, transferred = 0;
    host->kernel().fail_nth(Fault::IrpAllocation, 1);
    x->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
    EXPECT_EQ(Qkr_SerialIo(slot, reinterpret_cast<PUCHAR>(&mask), 4, nullptr, 0, &transferred),
              STATUS_INSUFFICIENT_RESOURCES);
    host->kernel().clear_faults();
    EXPECT_TRUE(reader->tap().requests().empty());
}

TEST_F(SerialRequests, ForwardedRequestReturnsTheLowerDriversFinalStatus) {
    open_unconfigured();
    ULONG transferred = 0;
    auto set_mask = [&](ULONG mask) {
        x->SerialIoControlCode = IOCTL_SERIAL_SET_WAIT_MASK;
        return Qkr_SerialIo(slot, reinterpret_cast<PUCHAR>(&mask), 4, nullptr, 0, &transferred);
    };
    ASSERT_EQ(set_mask(SERIAL_EV_CTS), STATUS_SUCCESS);
    // A wait-on-mask is held by the port until a new mask (success, no events) or a cancel.
    for (bool cancel : {false, true}) {
        ULONG events = 0xFFFF;
        NTSTATUS status = STATUS_PENDING;
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(reader->fdo()->StackSize + 1), FALSE);
        ASSERT_NE(irp, nullptr);
        irp->AssociatedIrp.SystemBuffer = &events;
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
        stack->Parameters.DeviceIoControl.OutputBufferLength = 4;
        qkr::kern::Thread t = host->kernel().spawn(
            "forward", [&] { status = Qkr_CallLowerDriver(x->AttachedDeviceObject, irp); });
        host->kernel().sleep_for(seconds(1));
        EXPECT_TRUE(reader->port().snapshot().wait_pending);
        if (cancel) {
            EXPECT_TRUE(IoCancelIrp(irp));
        } else {
            ASSERT_EQ(set_mask(SERIAL_EV_DSR), STATUS_SUCCESS);
        }
        t.join();
        EXPECT_EQ(status, cancel ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_EQ(events, cancel ? 0xFFFFu : 0u);
        IoFreeIrp(irp);
    }
}

TEST_F(SerialRequests, ClosingWaitsOutAShortageOfIrpsAndDisablesBothInterfaces) {
    ASSERT_EQ(reader->open_port(false), STATUS_SUCCESS);
    DEVICE_EXTENSION* e = qkr::host::DriverRecords::device(*reader);
    ASSERT_EQ(IoSetDeviceInterfaceState(&e->PnPDeviceName, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&e->VendorInterfaceName, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&e->SerialCloseDone), 0);
    host->clear_log();

    // A port left open would refuse every later start.
    host->kernel().fail_nth(Fault::IrpAllocation, 1);
    reader->close_port();
    host->kernel().clear_faults();
    EXPECT_NE(KeReadStateEvent(&e->SerialCloseDone), 0);
    for (const auto& i : host->kernel().interfaces()) {
        if (i.pdo == reader->pdo()) {
            EXPECT_FALSE(i.enabled);
        }
    }
    EXPECT_TRUE(qkr::testing::has_in_order(host->log(), {"444444444444444444444444\n"}));
    EXPECT_FALSE(reader->port().snapshot().open);
}

} // namespace
