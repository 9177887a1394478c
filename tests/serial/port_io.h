// A read or write sent to a serial port as the reader driver sends it: a buffered control request
// rewritten into IRP_MJ_READ or IRP_MJ_WRITE, possibly still pending.
#pragma once

#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace qkr::serial::testing {

// A request's input as the port reads it, and a ULONG answer (all ones where it is too short).
template <typename T>
std::vector<std::uint8_t> bytes_of(const T& value) {
    std::vector<std::uint8_t> b(sizeof(T));
    std::memcpy(b.data(), &value, sizeof(T));
    return b;
}
inline ULONG ulong_of(std::span<const std::uint8_t> b) {
    ULONG value = 0xFFFFFFFF;
    std::memcpy(&value, b.data(), std::min(sizeof value, b.size()));
    return value;
}

struct PortIo {
    using Bytes = std::vector<std::uint8_t>;
    KEVENT event{};
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_PENDING;
    Bytes buffer;

    static std::unique_ptr<PortIo> send(PDEVICE_OBJECT port, UCHAR major, Bytes data) {
        auto io = std::make_unique<PortIo>();
        io->buffer = std::move(data);
        const auto length = static_cast<ULONG>(io->buffer.size());
        KeInitializeEvent(&io->event, NotificationEvent, FALSE);
        const bool read = major == IRP_MJ_READ;
        io->irp = IoBuildDeviceIoControlRequest(
            CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), port,
            read ? nullptr : io->buffer.data(), read ? 0 : length,
            read ? io->buffer.data() : nullptr, read ? length : 0, FALSE, &io->event, &io->iosb);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(io->irp);
        next->MajorFunction = major;
        next->Parameters.Read.Length = length; // (the write's length lies in the same place)
        io->returned = IoCallDriver(port, io->irp);
        return io;
    }
    bool done() { return returned != STATUS_PENDING || KeReadStateEvent(&event) != 0; }
    // Waits for completion, bounded (in the kernel's virtual or real time) so that a lost
    // completion fails at once.
    NTSTATUS wait(kern::Ticks limit = kern::seconds(60)) {
        LARGE_INTEGER timeout{.QuadPart = -limit};
        EXPECT_TRUE(returned != STATUS_PENDING ||
                    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
                        STATUS_SUCCESS)
            << "still pending";
        return status();
    }
    // A request that failed at once tells only through IoCallDriver's status.
    NTSTATUS status() { return returned != STATUS_PENDING ? returned : iosb.Status; }
    Bytes data() { return Bytes(buffer.begin(), buffer.begin() + iosb.Information); }
};

} // namespace qkr::serial::testing
