// A scriptable driver for the kernel's tests: every device's extension holds a pointer to a
// Behaviour whose `on_irp` handles every major function, so each test writes its driver inline.
#pragma once

#include "platform/kernel/kernel.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qkr::kern::test {

struct Behaviour {
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> on_irp;
};

inline NTSTATUS dispatch_to_behaviour(PDEVICE_OBJECT device, PIRP irp) {
    auto* b = *static_cast<Behaviour**>(device->DeviceExtension);
    return b->on_irp(device, irp);
}

inline NTSTATUS scripted_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction)
        f = dispatch_to_behaviour;
    return STATUS_SUCCESS;
}

inline PDEVICE_OBJECT make_device(PDRIVER_OBJECT driver, Behaviour* b, BOOLEAN exclusive = FALSE) {
    PDEVICE_OBJECT d = nullptr;
    if (IoCreateDevice(driver, sizeof(Behaviour*), nullptr, 0x22, 0, exclusive, &d) !=
        STATUS_SUCCESS)
        return nullptr;
    *static_cast<Behaviour**>(d->DeviceExtension) = b;
    d->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return d;
}

inline NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS pass_down(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

// pdo (kernel bus) <- lower <- upper: lower completes everything at once, upper passes down.
struct ScriptedStack {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    Behaviour lower_b;
    Behaviour upper_b;

    void build_stack(Kernel& k) {
        driver = k.load_driver("scripted", scripted_entry);
        pdo = k.create_pdo("pdo0");
        lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); };
        upper_b.on_irp = [this](PDEVICE_OBJECT, PIRP irp) { return pass_down(lower, irp); };
        lower = make_device(driver, &lower_b);
        upper = make_device(driver, &upper_b);
        IoAttachDeviceToDeviceStack(lower, pdo);
        IoAttachDeviceToDeviceStack(upper, pdo);
    }
    void tear_down_stack(Kernel& k) {
        IoDetachDevice(lower);
        IoDetachDevice(pdo);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
        k.delete_pdo(pdo);
        k.unload_driver(driver);
    }
    // A request of its own with room for the whole stack, as a driver allocates one.
    PIRP flush_irp(CCHAR stack = 0) {
        PIRP irp = IoAllocateIrp(stack != 0 ? stack : upper->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        return irp;
    }
};

// Records verifier reports instead of aborting.
struct VerifierLog {
    mutable std::mutex mu;
    std::vector<std::string> messages;
    void install(Kernel& k) {
        k.set_verifier_handler([this](const std::string& m) {
            std::lock_guard lock(mu);
            messages.push_back(m);
        });
    }
    std::size_t count() const {
        std::lock_guard lock(mu);
        return messages.size();
    }
    bool saw(const std::string& part) const {
        std::lock_guard lock(mu);
        for (const auto& m : messages)
            if (m.find(part) != std::string::npos)
                return true;
        return false;
    }
};

inline std::string hex_of(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

// A pool tag as the platform's multi-character constants lay it out in memory.
constexpr ULONG pool_tag(const char (&s)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(s[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(s[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(s[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(s[3])) << 24;
}

inline LARGE_INTEGER relative(Ticks t) {
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
}

} // namespace qkr::kern::test
