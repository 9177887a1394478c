// A scriptable driver for the kernel's tests: every device's extension holds a pointer to a
// Behaviour that handles every major function, so each test writes its driver inline.
#pragma once

#include "platform/kernel/kernel.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qkr::kern::test {

using Behaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline PDEVICE_OBJECT make_device(PDRIVER_OBJECT driver, Behaviour* b) {
    PDEVICE_OBJECT d = nullptr;
    IoCreateDevice(driver, sizeof(Behaviour*), nullptr, 0x22, 0, FALSE, &d);
    *static_cast<Behaviour**>(d->DeviceExtension) = b;
    d->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return d;
}

inline NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status, irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS pass_down(PDEVICE_OBJECT lower, PIRP irp) {
    return IoSkipCurrentIrpStackLocation(irp), IoCallDriver(lower, irp);
}

inline NTSTATUS park(PIRP irp, PIRP* parked) {
    return IoMarkIrpPending(irp), *parked = irp, NTSTATUS{STATUS_PENDING};
}

// pdo (kernel bus) <- lower <- upper: lower completes everything at once, upper passes down.
struct ScriptedStack {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr, lower = nullptr, upper = nullptr;
    Behaviour lower_b, upper_b;

    void build_stack(Kernel& k) {
        driver = k.load_driver("scripted", [](PDRIVER_OBJECT drv, PUNICODE_STRING) {
            for (auto& f : drv->MajorFunction)
                f = [](PDEVICE_OBJECT d, PIRP irp) {
                    return (**static_cast<Behaviour**>(d->DeviceExtension))(d, irp);
                };
            return NTSTATUS{STATUS_SUCCESS};
        });
        pdo = k.create_pdo("pdo0");
        lower_b = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); };
        upper_b = [this](PDEVICE_OBJECT, PIRP irp) { return pass_down(lower, irp); };
        lower = make_device(driver, &lower_b);
        upper = make_device(driver, &upper_b);
        IoAttachDeviceToDeviceStack(lower, pdo);
        IoAttachDeviceToDeviceStack(upper, pdo);
    }
    void tear_down_stack(Kernel& k, bool unload = true) {
        IoDetachDevice(lower);
        IoDetachDevice(pdo);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
        k.delete_pdo(pdo);
        if (unload)
            k.unload_driver(driver);
    }
    // A request of its own with room for the whole stack, as a driver allocates one.
    PIRP flush_irp() {
        PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
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
    std::size_t count() const { return std::lock_guard(mu), messages.size(); }
    bool saw(const std::string& part) const { return all().find(part) != std::string::npos; }
    std::string all() const {
        std::lock_guard lock(mu);
        std::string s;
        for (const auto& m : messages)
            s += m + "\n";
        return s;
    }
};

inline LARGE_INTEGER relative(Ticks t) {
    return LARGE_INTEGER{.QuadPart = -t};
}

inline NTSTATUS wait(void* object, Ticks timeout = seconds(100)) {
    LARGE_INTEGER t = relative(timeout);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

} // namespace qkr::kern::test
