// The I/O manager's rules, seen through two small drivers.
#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>

namespace qkr::kern {
namespace {

NTSTATUS echo_ioctl(PDEVICE_OBJECT, PIRP irp) {
    auto* loc = IoGetCurrentIrpStackLocation(irp);
    ULONG n = loc->Parameters.DeviceIoControl.InputBufferLength;
    auto* b = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < n; ++i)
        b[i] = static_cast<UCHAR>(b[i] + 1);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = n;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS echo_entry(PDRIVER_OBJECT d, PUNICODE_STRING) {
    d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = echo_ioctl;
    return STATUS_SUCCESS;
}

TEST(IoManager, BuiltDeviceControlCopiesOutputBack) {
    Kernel kernel;
    PDRIVER_OBJECT drv = kernel.load_driver("echo", echo_entry);
    PDEVICE_OBJECT dev;
    ASSERT_EQ(IoCreateDevice(drv, 0, nullptr, 0x22, 0, FALSE, &dev), STATUS_SUCCESS);
    UCHAR in[3] = {1, 2, 3};
    UCHAR out[8] = {};
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x1234, dev, in, 3, out, 8, FALSE, &ev, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[2], 4);
    EXPECT_EQ(KeReadStateEvent(&ev), 1);
    EXPECT_EQ(kernel.irps_live(), 0u);
    IoDeleteDevice(dev);
    kernel.unload_driver(drv);
}

} // namespace
} // namespace qkr::kern
