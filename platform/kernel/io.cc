// The I/O manager: driver and device objects, IRPs and their completion, cancellation, device
// interfaces and work items.
#include "platform/kernel/kernel_impl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using qkr::kern::cpu;
using qkr::kern::DeviceInfo;
using qkr::kern::hex;
using qkr::kern::IrpInfo;
using qkr::kern::IrpState;
using qkr::kern::K;

namespace qkr::kern {

// One dispatch routine's view of an IRP it was given, kept while the routine runs.
struct DispatchRecord {
    CHAR location = 0;        // its stack location (CurrentLocation)
    bool passed_down = false; // it sent the IRP on with IoCallDriver
    bool left = false;        // completion has passed its location
    bool marked = false;      // SL_PENDING_RETURNED when completion passed, or when it returned
};

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeIrp = 6;
constexpr ULONG kSystemBufferGuard = 16;
constexpr auto kGuardByte = std::byte{0xA5};
// A kernel stack of 12 KB (x86) holds about 32 frames of IoCallDriver or IoCompleteRequest with
// the driver routine each one calls, at some 384 bytes a pair.
constexpr int kMaxIoDepth = 12 * 1024 / 384;

NTSTATUS invalid_request(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

std::u16string widen(const std::string& s) {
    return {s.begin(), s.end()};
}

const char* state_name(IrpState s) {
    switch (s) {
    case IrpState::Held:
        return "with its owner";
    case IrpState::InDriver:
        return "in a driver";
    case IrpState::Completing:
        return "being completed";
    case IrpState::InRoutine:
        return "in a completion routine";
    }
    return "?";
}

// The kernel's own bus driver: it owns the PDOs and finishes what reaches the bottom of a stack.
NTSTATUS bus_pnp(PDEVICE_OBJECT, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS bus_power(PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS bus_succeed(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

} // namespace

PDRIVER_DISPATCH invalid_request_routine() {
    return invalid_request;
}

namespace {

std::string status_hex(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

// Counts the calling thread's nested I/O frames and reports, once per descent, a depth that
// would overflow a kernel stack.
void enter_io_frame(Kernel::Impl& k, const char* what) {
    ThreadCpu& c = cpu();
    if (++c.io_depth > kMaxIoDepth && !c.io_depth_reported) {
        c.io_depth_reported = true;
        k.report(std::string(what) + " nested " + std::to_string(c.io_depth) +
                 " deep in one thread: more than a 12 KB kernel stack holds (a completion "
                 "routine that sends its IRP again, completed at once, recurses)");
    }
}

void leave_io_frame() {
    ThreadCpu& c = cpu();
    if (--c.io_depth <= 0) {
        c.io_depth = 0;
        c.io_depth_reported = false;
    }
}

// Completion has passed `location` of `irp`: what the dispatch routines there see of it.
// Clears the location's control flags as completion leaves it, under the lock a dispatcher
// that has just returned reads them under: it then finds either the flags or the record.
void note_location_left(Kernel::Impl& k, PIRP irp, CHAR location, PIO_STACK_LOCATION left) {
    std::lock_guard lock(k.mu);
    const UCHAR control = left->Control;
    left->Control = 0;
    auto active = k.dispatching.find(irp);
    if (active == k.dispatching.end())
        return;
    for (DispatchRecord* r : active->second) {
        if (r->location == location && !r->left) {
            r->left = true;
            r->marked = (control & SL_PENDING_RETURNED) != 0;
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Drivers and devices
// ---------------------------------------------------------------------------------------------

PDRIVER_OBJECT Kernel::Impl::create_driver(std::string name, bool kernel_owned) {
    auto block = std::make_unique<DriverBlock>();
    block->name = widen(name);
    block->kernel_owned = kernel_owned;
    DRIVER_OBJECT& d = block->object;
    d.Type = kIoTypeDriver;
    d.DriverExtension = &block->extension;
    block->extension.DriverObject = &d;
    d.DriverName.Buffer = block->name.data();
    d.DriverName.Length = static_cast<USHORT>(block->name.size() * sizeof(WCHAR));
    d.DriverName.MaximumLength = d.DriverName.Length;
    for (auto& f : d.MajorFunction)
        f = invalid_request;
    if (kernel_owned) {
        d.MajorFunction[IRP_MJ_PNP] = bus_pnp;
        d.MajorFunction[IRP_MJ_POWER] = bus_power;
        d.MajorFunction[IRP_MJ_CREATE] = bus_succeed;
        d.MajorFunction[IRP_MJ_CLOSE] = bus_succeed;
        d.MajorFunction[IRP_MJ_CLEANUP] = bus_succeed;
    }
    PDRIVER_OBJECT p = &d;
    std::lock_guard lock(mu);
    drivers.emplace(p, std::move(block));
    return p;
}

PDRIVER_OBJECT Kernel::load_driver(std::string name, PDRIVER_INITIALIZE entry) {
    Impl& k = *impl_;
    PDRIVER_OBJECT d = k.create_driver("\\Driver\\" + name, false);
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                          std::u16string(name.begin(), name.end());
    UNICODE_STRING reg{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                       path.data()};
    NTSTATUS status = entry(d, &reg);
    if (!NT_SUCCESS(status)) {
        std::lock_guard lock(k.mu);
        k.drivers.erase(d);
        return nullptr;
    }
    return d;
}

void Kernel::unload_driver(PDRIVER_OBJECT driver) {
    Impl& k = *impl_;
    if (driver == nullptr)
        return;
    if (driver->DriverUnload != nullptr)
        driver->DriverUnload(driver);
    std::vector<std::string> problems;
    {
        std::lock_guard lock(k.mu);
        for (ULONG tag : k.watched_tags) {
            auto it = k.pool_by_tag.find(tag);
            if (it != k.pool_by_tag.end() && it->second.first != 0) {
                char t[5] = {static_cast<char>(tag), static_cast<char>(tag >> 8),
                             static_cast<char>(tag >> 16), static_cast<char>(tag >> 24), 0};
                problems.push_back("driver unloaded with " + std::to_string(it->second.first) +
                                   " pool allocation(s) of tag '" + t + "' still allocated");
            }
        }
        if (driver->DeviceObject != nullptr)
            problems.push_back("driver unloaded with device " + hex(driver->DeviceObject) +
                               " still present");
        else
            k.drivers.erase(driver);
    }
    for (const auto& p : problems)
        k.report(p);
}

PDEVICE_OBJECT Kernel::Impl::create_device(PDRIVER_OBJECT driver, ULONG extension_size,
                                           DEVICE_TYPE type, ULONG characteristics, bool exclusive,
                                           std::string name, bool pdo) {
    DeviceInfo info;
    info.object = std::make_unique<DEVICE_OBJECT>();
    if (extension_size != 0)
        info.extension = std::make_unique<std::byte[]>(extension_size); // zero-filled
    info.pdo = pdo;
    info.name = std::move(name);
    info.device_power.DeviceState = PowerDeviceD0;
    info.system_power.SystemState = PowerSystemWorking;
    DEVICE_OBJECT& d = *info.object;
    d.Type = kIoTypeDevice;
    d.Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extension_size);
    d.DriverObject = driver;
    d.Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    d.Characteristics = characteristics;
    d.DeviceExtension = info.extension.get();
    d.DeviceType = type;
    d.StackSize = 1;
    PDEVICE_OBJECT p = &d;
    d.NextDevice = driver->DeviceObject;
    driver->DeviceObject = p;
    devices.emplace(p, std::move(info));
    return p;
}

void Kernel::Impl::release_device_ref(PDEVICE_OBJECT device) {
    // Under mu.
    auto it = devices.find(device);
    if (it == devices.end())
        return;
    if (--it->second.refs <= 0 && it->second.deleted)
        devices.erase(it);
}

PDEVICE_OBJECT Kernel::create_pdo(std::string name) {
    Impl& k = *impl_;
    std::lock_guard lock(k.mu);
    PDEVICE_OBJECT p =
        k.create_device(k.bus_driver, 0, FILE_DEVICE_BUS_EXTENDER, 0, false, std::move(name), true);
    p->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return p;
}

void Kernel::delete_pdo(PDEVICE_OBJECT pdo) {
    IoDeleteDevice(pdo);
}

NTSTATUS Kernel::add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (driver == nullptr || driver->DriverExtension->AddDevice == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    return driver->DriverExtension->AddDevice(driver, pdo);
}

// ---------------------------------------------------------------------------------------------
// IRP allocation
// ---------------------------------------------------------------------------------------------

PIRP Kernel::Impl::allocate_irp(CCHAR stack_size, bool kernel_owned) {
    // Under mu.
    std::size_t n = stack_size > 0 ? static_cast<std::size_t>(stack_size) : 0;
    // One spare location below the first keeps a driver that writes the "next" location of an
    // exhausted IRP from overwriting the IRP itself; IoCallDriver then reports it.
    std::size_t bytes = sizeof(IRP) + (n + 1) * sizeof(IO_STACK_LOCATION);
    IrpInfo info;
    info.storage = std::make_unique<std::byte[]>(bytes);
    info.kernel_owned = kernel_owned;
    auto* irp = new (info.storage.get()) IRP{};
    auto* stack = reinterpret_cast<IO_STACK_LOCATION*>(info.storage.get() + sizeof(IRP)) + 1;
    for (std::size_t i = 0; i <= n; ++i)
        new (&stack[i] - 1) IO_STACK_LOCATION{};
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = static_cast<CHAR>(n);
    irp->CurrentLocation = static_cast<CHAR>(n + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + n;
    irp->RequestorMode = KernelMode;
    irps.emplace(irp, std::move(info));
    return irp;
}

PIRP Kernel::Impl::build_ioctl(ULONG code, PDEVICE_OBJECT device, const void* input,
                               ULONG input_length, void* output, ULONG output_length, bool internal,
                               PKEVENT event, PIO_STATUS_BLOCK iosb, bool kernel_owned) {
    // Under mu.
    PIRP irp = allocate_irp(device->StackSize, kernel_owned);
    IrpInfo& info = irps.at(irp);
    info.built = true;
    ULONG size = std::max(input_length, output_length);
    if (size != 0) {
        // One buffer, shared by input and output, as METHOD_BUFFERED has it; the guard bytes
        // behind it stand for the pool block's end.
        info.system_buffer = std::make_unique<std::byte[]>(size + kSystemBufferGuard);
        std::memset(info.system_buffer.get() + size, 0xA5, kSystemBufferGuard);
        if (input != nullptr && input_length != 0)
            std::memcpy(info.system_buffer.get(), input, input_length);
        irp->AssociatedIrp.SystemBuffer = info.system_buffer.get();
    }
    info.system_size = size;
    info.user_output = output;
    info.output_length = output != nullptr ? output_length : 0;
    irp->UserBuffer = output;
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    info.built_location = next;
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = input_length;
    next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    return irp;
}

void Kernel::Impl::free_irp(PIRP irp) {
    std::string problem;
    {
        std::lock_guard lock(mu);
        auto it = irps.find(irp);
        if (it == irps.end()) {
            problem = "IoFreeIrp of " + hex(irp) + ", which is not a live IRP (freed twice?)";
        } else if (it->second.state == IrpState::InDriver ||
                   it->second.state == IrpState::Completing) {
            problem =
                "IoFreeIrp of IRP " + hex(irp) + " while it is " + state_name(it->second.state);
        } else {
            std::vector<std::string> freed;
            check_freed_range(it->second.storage.get(), irp->Size, "IRP", freed);
            if (!freed.empty())
                problem = freed.front();
            irps.erase(it);
        }
    }
    if (!problem.empty())
        report(problem);
}

} // namespace qkr::kern

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    auto& k = K();
    std::lock_guard lock(k.mu);
    if (k.take_fault(qkr::kern::Fault::IrpAllocation))
        return nullptr;
    return k.allocate_irp(StackSize, false);
}

void IoFreeIrp(PIRP Irp) {
    K().free_irp(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    qkr::kern::require_irql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    auto& k = K();
    std::lock_guard lock(k.mu);
    if (k.take_fault(qkr::kern::Fault::IrpAllocation))
        return nullptr;
    return k.build_ioctl(IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer,
                         OutputBufferLength, InternalDeviceIoControl != 0, Event, IoStatusBlock,
                         false);
}

// ---------------------------------------------------------------------------------------------
// IoCallDriver and IoCompleteRequest
// ---------------------------------------------------------------------------------------------

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    qkr::kern::switch_point();
    auto& k = K();
    const bool via_po = qkr::kern::take_po_call();
    std::string problem;
    std::string power_problem; // reported, but the request still goes down
    {
        std::lock_guard lock(k.mu);
        auto it = k.irps.find(Irp);
        if (it == k.irps.end()) {
            problem = "IoCallDriver with " + hex(Irp) + ", which is not a live IRP";
        } else if (it->second.state == IrpState::Completing) {
            problem = "IoCallDriver with IRP " + hex(Irp) + " while it is being completed";
        } else if (Irp->CurrentLocation <= 1) {
            problem = "IoCallDriver with IRP " + hex(Irp) + " to device " + hex(DeviceObject) +
                      ": no stack location left (StackCount " + std::to_string(Irp->StackCount) +
                      ")";
        } else if (k.devices.find(DeviceObject) == k.devices.end()) {
            // A deleted device that open handles still reference keeps receiving requests.
            problem = "IoCallDriver to " + hex(DeviceObject) + ", which is not a live device";
        } else if (k.devices.at(DeviceObject).deleted && !it->second.kernel_owned) {
            // ...from its clients, but a driver has no business sending it anything.
            problem = "IoCallDriver with IRP " + hex(Irp) + " to device " + hex(DeviceObject) +
                      " after IoDeleteDevice";
        } else {
            IrpInfo& info = it->second;
            if (info.built && !info.kernel_owned && info.sender == nullptr)
                info.sender = &cpu();
            info.state = IrpState::InDriver;
            info.epoch = ++k.irp_epochs;
            Irp->CurrentLocation--;
            Irp->Tail.Overlay.CurrentStackLocation--;
            PIO_STACK_LOCATION loc = Irp->Tail.Overlay.CurrentStackLocation;
            loc->DeviceObject = DeviceObject;
            if (loc->MajorFunction == IRP_MJ_POWER)
                k.power_irp_sent(info, loc, via_po, power_problem);
        }
    }
    if (!power_problem.empty())
        k.report(power_problem);
    if (!problem.empty()) {
        k.report(problem);
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
    qkr::kern::require_forward_irql(loc->MajorFunction);
    PDRIVER_DISPATCH dispatch = loc->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                                    ? DeviceObject->DriverObject->MajorFunction[loc->MajorFunction]
                                    : nullptr;
    if (dispatch == nullptr)
        dispatch = qkr::kern::invalid_request_routine();

    qkr::kern::DispatchRecord record;
    record.location = Irp->CurrentLocation;
    {
        std::lock_guard lock(k.mu);
        auto& active = k.dispatching[Irp];
        for (auto* outer : active)
            outer->passed_down = true;
        active.push_back(&record);
    }
    qkr::kern::enter_io_frame(k, "IoCallDriver");
    const KIRQL irql = cpu().irql;
    const int locks = cpu().locks_held;
    const NTSTATUS status = dispatch(DeviceObject, Irp);
    qkr::kern::require_same_irql("dispatch routine", irql, locks);
    qkr::kern::leave_io_frame();

    // The pending rules: STATUS_PENDING only for an IRP marked pending (or handed on, whose
    // marking is the lower driver's), and a marked IRP only with STATUS_PENDING.
    std::string pending_problem;
    {
        std::lock_guard lock(k.mu);
        auto active = k.dispatching.find(Irp);
        if (active != k.dispatching.end()) {
            std::erase(active->second, &record);
            if (active->second.empty())
                k.dispatching.erase(active);
        }
        bool known = record.left;
        if (!record.left && k.irps.count(Irp) != 0) {
            known = true;
            record.marked = (loc->Control & SL_PENDING_RETURNED) != 0;
        }
        if (known && status == STATUS_PENDING && !record.marked && !record.passed_down)
            pending_problem = "dispatch routine of device " + hex(DeviceObject) +
                              " returned STATUS_PENDING for IRP " + hex(Irp) +
                              " without marking it pending (IoMarkIrpPending)";
        else if (known && record.marked && status != STATUS_PENDING)
            pending_problem = "dispatch routine of device " + hex(DeviceObject) + " marked IRP " +
                              hex(Irp) + " pending but returned " + qkr::kern::status_hex(status) +
                              ", not STATUS_PENDING";
    }
    if (!pending_problem.empty())
        k.report(pending_problem);
    return status;
}

namespace {

using Problems = std::vector<std::string>;

// The checks before completion starts; false when the IRP cannot be completed at all.
bool start_completion(qkr::kern::Kernel::Impl& k, PIRP Irp, Problems& problems) {
    std::lock_guard lock(k.mu);
    auto it = k.irps.find(Irp);
    if (it == k.irps.end()) {
        problems.push_back("IoCompleteRequest of " + hex(Irp) +
                           ", which is not a live IRP (completed twice?)");
        return false;
    }
    if (it->second.state == IrpState::Completing) {
        problems.push_back("IRP " + hex(Irp) + " completed twice (it is being completed)");
        return false;
    }
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        problems.push_back("IRP " + hex(Irp) + " completed twice (it was already completed)");
        return false;
    }
    if (std::atomic_ref<PDRIVER_CANCEL>(Irp->CancelRoutine).load() != nullptr)
        problems.push_back("IRP " + hex(Irp) + " completed while its cancel routine is still set");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        problems.push_back("IRP " + hex(Irp) + " completed with STATUS_PENDING");
    it->second.state = IrpState::Completing;
    it->second.epoch = ++k.irp_epochs;
    return true;
}

// Where a walk up the stack ended: at the next location, past the top, with a routine that keeps
// the IRP, or at a problem.
enum class Walk { Next, PassedTop, Held, Failed };

// One stack location's completion routine, called as the platform calls it.
Walk call_completion_routine(qkr::kern::Kernel::Impl& k, PIRP Irp, PIO_COMPLETION_ROUTINE routine,
                             PVOID context, bool at_top, Problems& problems) {
    PDEVICE_OBJECT dev = at_top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    std::uint64_t epoch;
    {
        std::lock_guard lock(k.mu);
        IrpInfo& info = k.irps.at(Irp);
        info.state = IrpState::InRoutine;
        epoch = info.epoch = ++k.irp_epochs;
    }
    qkr::kern::enter_io_frame(k, "completion routine");
    const KIRQL irql = cpu().irql;
    const int locks = cpu().locks_held;
    NTSTATUS r = routine(dev, Irp, context);
    qkr::kern::require_same_irql("completion routine", irql, locks);
    qkr::kern::leave_io_frame();
    std::lock_guard lock(k.mu);
    auto it = k.irps.find(Irp);
    if (r == STATUS_MORE_PROCESSING_REQUIRED) {
        // The IRP belongs to the routine's owner again; it may already be gone.
        if (it != k.irps.end() && it->second.epoch == epoch)
            it->second.state = IrpState::Held;
        return Walk::Held;
    }
    if (it == k.irps.end() || it->second.epoch != epoch) {
        problems.push_back("completion routine of IRP " + hex(Irp) +
                           " returned a status other than STATUS_MORE_PROCESSING_REQUIRED "
                           "after freeing or re-sending the IRP");
        return Walk::Failed;
    }
    // Whoever returned the lower driver's STATUS_PENDING must find its own location marked.
    if (Irp->PendingReturned && !at_top &&
        (Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED) == 0)
        problems.push_back("completion routine of IRP " + hex(Irp) + " (device " + hex(dev) +
                           ") did not propagate PendingReturned with IoMarkIrpPending");
    it->second.state = IrpState::Completing;
    it->second.epoch = ++k.irp_epochs;
    return Walk::Next;
}

// Walks up the stack as the platform does. Like the platform, it counts every status that is not
// a success (warnings included) as an error when it picks the routines to call.
Walk walk_up(qkr::kern::Kernel::Impl& k, PIRP Irp, Problems& problems) {
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION left = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (left->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        bool at_top = Irp->CurrentLocation == Irp->StackCount + 1;
        NTSTATUS st = Irp->IoStatus.Status;
        UCHAR control = left->Control;
        PIO_COMPLETION_ROUTINE routine = left->CompletionRoutine;
        PVOID context = left->Context;
        qkr::kern::note_location_left(k, Irp, static_cast<CHAR>(Irp->CurrentLocation - 1), left);
        bool invoke =
            routine != nullptr &&
            ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
             (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
             (std::atomic_ref<BOOLEAN>(Irp->Cancel).load() && (control & SL_INVOKE_ON_CANCEL)));
        if (!invoke) {
            if (Irp->PendingReturned && !at_top)
                IoMarkIrpPending(Irp);
            continue;
        }
        const Walk w = call_completion_routine(k, Irp, routine, context, at_top, problems);
        if (w != Walk::Next)
            return w;
    }
    return Walk::PassedTop;
}

// A driver-built request's checks once completion passed the top: its system buffer's guard and
// the Information it reports against its output length.
void check_built(PIRP Irp, const IrpInfo& info, Problems& problems) {
    if (info.system_buffer) {
        const std::byte* guard = info.system_buffer.get() + info.system_size;
        if (std::any_of(guard, guard + qkr::kern::kSystemBufferGuard,
                        [](std::byte b) { return b != qkr::kern::kGuardByte; }))
            problems.push_back("IRP " + hex(Irp) + ": a driver wrote past the end of " +
                               "its system buffer of " + std::to_string(info.system_size) +
                               " bytes");
    }
    PIO_STACK_LOCATION first = info.built_location;
    const ULONG code = first->Parameters.DeviceIoControl.IoControlCode;
    const ULONG output = first->Parameters.DeviceIoControl.OutputBufferLength;
    if ((first->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
         first->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
        (code & 3) == METHOD_BUFFERED && !NT_ERROR(Irp->IoStatus.Status) &&
        Irp->IoStatus.Information > output)
        problems.push_back("IRP " + hex(Irp) + " completed with Information " +
                           std::to_string(Irp->IoStatus.Information) +
                           " beyond its output length of " + std::to_string(output));
}

// The rest of a driver-built request's completion runs in the thread that sent it, as the
// platform's APC does. Under k.mu.
void finish_in_sender(qkr::kern::Kernel::Impl& k, PIRP Irp, IrpInfo& info,
                      qkr::kern::ThreadCpu* sender, bool failed_at_once) {
    info.state = IrpState::Held;
    const std::uint64_t epoch = info.epoch = ++k.irp_epochs;
    sender->apcs.push_back([&k, Irp, failed_at_once, epoch] {
        Problems late;
        {
            std::lock_guard apc_lock(k.mu);
            auto it = k.irps.find(Irp);
            if (it == k.irps.end() || it->second.epoch != epoch)
                late.push_back("IRP " + hex(Irp) +
                               " freed or sent again before its completion reached "
                               "the thread that sent it");
            else
                k.finish_built(Irp, failed_at_once, late);
        }
        for (const auto& p : late)
            k.report(p);
    });
    for (qkr::kern::WaitBlock* wb : k.blocked) {
        if (wb->cpu == sender) {
            k.satisfy(wb, qkr::kern::kStatusKernelApc);
            break;
        }
    }
}

// Completion passed the top of the stack: the I/O manager's own part. Returns what the kernel's
// owner asked to run once the IRP is done.
std::function<void(PIRP)> finish_at_top(qkr::kern::Kernel::Impl& k, PIRP Irp, Problems& problems) {
    Irp->CurrentLocation = static_cast<CHAR>(Irp->StackCount + 2);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<std::byte*>(Irp) + sizeof(IRP)) +
        Irp->StackCount + 2;
    std::lock_guard lock(k.mu);
    IrpInfo& info = k.irps.at(Irp);
    if (info.power)
        k.power_irp_done(Irp, info, problems);
    std::function<void(PIRP)> on_done = std::move(info.on_done);
    if (!info.built) {
        if (Irp->UserIosb != nullptr)
            *Irp->UserIosb = Irp->IoStatus;
        info.state = IrpState::Held;
        info.epoch = ++k.irp_epochs;
        if (Irp->UserEvent != nullptr) // read under the lock: an abandoning waiter clears it
            k.set_event(Irp->UserEvent);
        return on_done;
    }
    check_built(Irp, info, problems);
    // A driver's request that failed without STATUS_PENDING told its sender so through
    // IoCallDriver: the status block and the event are not touched.
    const bool failed_at_once =
        !info.kernel_owned && NT_ERROR(Irp->IoStatus.Status) && !Irp->PendingReturned;
    qkr::kern::ThreadCpu* sender = info.kernel_owned ? nullptr : info.sender;
    if (sender != nullptr && sender != &cpu())
        finish_in_sender(k, Irp, info, sender, failed_at_once);
    else
        k.finish_built(Irp, failed_at_once, problems);
    return on_done;
}

} // namespace

void IofCompleteRequest(PIRP Irp, CCHAR) {
    qkr::kern::require_irql("IoCompleteRequest", DISPATCH_LEVEL);
    qkr::kern::switch_point();
    auto& k = K();
    Problems problems;
    // A routine that keeps the IRP ends the walk; a problem found on the way, or before it, stops
    // the completion where it is.
    if (!start_completion(k, Irp, problems) || walk_up(k, Irp, problems) != Walk::PassedTop ||
        !problems.empty()) {
        for (const auto& p : problems)
            k.report(p);
        return;
    }
    std::function<void(PIRP)> on_done = finish_at_top(k, Irp, problems);
    for (const auto& p : problems)
        k.report(p);
    if (on_done)
        on_done(Irp);
}

namespace qkr::kern {

void Kernel::Impl::finish_built(PIRP irp, bool synchronous_failure,
                                std::vector<std::string>& problems) {
    auto it = irps.find(irp);
    IrpInfo& info = it->second;
    PKEVENT event = irp->UserEvent; // an abandoning waiter clears it
    if (!synchronous_failure) {
        if (!NT_ERROR(irp->IoStatus.Status) && info.user_output != nullptr && info.system_buffer) {
            std::size_t n = std::min<std::size_t>(irp->IoStatus.Information, info.output_length);
            std::memcpy(info.user_output, info.system_buffer.get(), n);
        }
        if (irp->UserIosb != nullptr)
            *irp->UserIosb = irp->IoStatus;
    }
    info.state = IrpState::Held;
    info.epoch = ++irp_epochs;
    if (!info.keep_after_done) {
        check_freed_range(it->second.storage.get(), irp->Size, "IRP", problems);
        irps.erase(it);
    }
    if (event != nullptr && !synchronous_failure)
        set_event(event);
}

void Kernel::Impl::deliver_apcs() {
    ThreadCpu& c = cpu();
    std::deque<std::function<void()>> due;
    {
        std::lock_guard lock(mu);
        due.swap(c.apcs);
    }
    for (auto& apc : due)
        apc();
}

} // namespace qkr::kern

// ---------------------------------------------------------------------------------------------
// Cancellation
// ---------------------------------------------------------------------------------------------

BOOLEAN IoCancelIrp(PIRP Irp) {
    qkr::kern::switch_point();
    auto& k = K();
    bool live;
    {
        std::lock_guard lock(k.mu);
        live = k.irps.count(Irp) != 0;
    }
    if (!live) {
        k.report("IoCancelIrp of " + hex(Irp) + ", which is not a live IRP");
        return FALSE;
    }
    const int locks = cpu().locks_held;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    std::atomic_ref<BOOLEAN>(Irp->Cancel).store(TRUE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount
                             ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                             : nullptr;
    routine(dev, Irp); // releases the cancel spin lock
    auto owner = std::atomic_ref<ULONG_PTR>(k.cancel_lock.Owner).load();
    if (std::atomic_ref<LONG>(const_cast<LONG&>(k.cancel_lock.Locked)).load() != 0 &&
        owner == reinterpret_cast<ULONG_PTR>(&cpu())) {
        k.report("cancel routine of IRP " + hex(Irp) + " returned holding the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    qkr::kern::require_same_irql("cancel routine", irql, locks);
    return TRUE;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    std::atomic_ref<PDRIVER_CANCEL> slot(Irp->CancelRoutine);
    return slot.exchange(CancelRoutine, std::memory_order_acq_rel);
}

void IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&K().cancel_lock, Irql);
}

void IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&K().cancel_lock, Irql);
}

// ---------------------------------------------------------------------------------------------
// Device objects
// ---------------------------------------------------------------------------------------------

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    qkr::kern::require_irql("IoCreateDevice", PASSIVE_LEVEL);
    auto& k = K();
    std::lock_guard lock(k.mu);
    *DeviceObject = nullptr;
    if (k.take_fault(qkr::kern::Fault::DeviceCreation))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::string name;
    if (DeviceName != nullptr && DeviceName->Buffer != nullptr) {
        for (USHORT i = 0; i < DeviceName->Length / 2; ++i)
            name.push_back(static_cast<char>(DeviceName->Buffer[i]));
    }
    *DeviceObject = k.create_device(DriverObject, DeviceExtensionSize, DeviceType,
                                    DeviceCharacteristics, Exclusive != 0, std::move(name), false);
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    auto& k = K();
    std::vector<std::string> problems;
    {
        std::lock_guard lock(k.mu);
        auto it = k.devices.find(DeviceObject);
        if (it == k.devices.end() || it->second.deleted) {
            problems.push_back("IoDeleteDevice of " + hex(DeviceObject) +
                               ", which is not a live device (deleted twice?)");
        } else {
            DeviceInfo& info = it->second;
            if (info.lower != nullptr)
                problems.push_back("device " + hex(DeviceObject) +
                                   " deleted while still attached to " + hex(info.lower));
            if (DeviceObject->AttachedDevice != nullptr)
                problems.push_back("device " + hex(DeviceObject) + " deleted while device " +
                                   hex(DeviceObject->AttachedDevice) + " is attached to it");
            if (DeviceObject->DeviceExtension != nullptr)
                k.check_freed_range(DeviceObject->DeviceExtension,
                                    DeviceObject->Size - sizeof(DEVICE_OBJECT), "device extension",
                                    problems);
            // Unlink from the driver's list.
            PDRIVER_OBJECT drv = DeviceObject->DriverObject;
            for (PDEVICE_OBJECT* p = &drv->DeviceObject; *p != nullptr; p = &(*p)->NextDevice) {
                if (*p == DeviceObject) {
                    *p = DeviceObject->NextDevice;
                    break;
                }
            }
            info.deleted = true;
            // A device still linked into a stack stays in memory (reported above), so that the
            // pointers its neighbours hold do not dangle.
            bool linked = info.lower != nullptr || DeviceObject->AttachedDevice != nullptr;
            if (info.refs <= 0 && !linked)
                k.devices.erase(it);
        }
    }
    for (const auto& p : problems)
        k.report(p);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    auto& k = K();
    std::lock_guard lock(k.mu);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    auto it = k.devices.find(top);
    auto source = k.devices.find(SourceDevice);
    if (it == k.devices.end() || it->second.deleted || source == k.devices.end())
        return nullptr;
    top->AttachedDevice = SourceDevice;
    source->second.lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    qkr::kern::require_irql("IoDetachDevice", PASSIVE_LEVEL);
    auto& k = K();
    std::lock_guard lock(k.mu);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr)
        return;
    auto it = k.devices.find(upper);
    if (it != k.devices.end())
        it->second.lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    auto& k = K();
    std::lock_guard lock(k.mu);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    return top;
}

// ---------------------------------------------------------------------------------------------
// Device interfaces
// ---------------------------------------------------------------------------------------------

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
    qkr::kern::require_irql("IoRegisterDeviceInterface", PASSIVE_LEVEL);
    auto& k = K();
    if (PhysicalDeviceObject == nullptr || InterfaceClassGuid == nullptr ||
        SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::string pdo_name;
    std::uint64_t serial;
    {
        std::lock_guard lock(k.mu);
        if (k.take_fault(qkr::kern::Fault::InterfaceRegistration))
            return STATUS_INSUFFICIENT_RESOURCES;
        auto it = k.devices.find(PhysicalDeviceObject);
        if (it == k.devices.end() || it->second.deleted)
            return STATUS_INVALID_PARAMETER;
        pdo_name = it->second.name.empty() ? hex(PhysicalDeviceObject) : it->second.name;
        serial = ++k.interface_serial;
    }
    const GUID& g = *InterfaceClassGuid;
    char guid[64];
    std::snprintf(guid, sizeof guid, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    std::string link = "\\??\\QKR#" + pdo_name + "#" + std::to_string(serial) + "#" + guid;
    std::u16string wide(link.begin(), link.end());
    if (ReferenceString != nullptr && ReferenceString->Buffer != nullptr &&
        ReferenceString->Length != 0) {
        wide += u'\\';
        wide.append(ReferenceString->Buffer, ReferenceString->Length / 2);
    }
    std::size_t bytes = (wide.size() + 1) * sizeof(WCHAR);
    // The buffer is pool memory of the kernel's own; the caller frees it (RtlFreeUnicodeString).
    PVOID buffer;
    {
        std::lock_guard lock(k.mu);
        qkr::kern::PoolBlock b;
        b.memory = std::make_unique<std::byte[]>(bytes);
        b.tag = 0x6B4E6F49; // "IoNk"
        b.size = bytes;
        buffer = b.memory.get();
        k.pool.emplace(buffer, std::move(b));
        auto& acc = k.pool_by_tag[0x6B4E6F49];
        ++acc.first;
        acc.second += bytes;
        k.interfaces.push_back({g, PhysicalDeviceObject, wide, false});
    }
    std::memcpy(buffer, wide.c_str(), bytes);
    SymbolicLinkName->Buffer = static_cast<PWSTR>(buffer);
    SymbolicLinkName->Length = static_cast<USHORT>(wide.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    qkr::kern::require_irql("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
    auto& k = K();
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr ||
        SymbolicLinkName->Length == 0)
        return STATUS_INVALID_PARAMETER;
    std::u16string link(SymbolicLinkName->Buffer, SymbolicLinkName->Length / 2);
    qkr::kern::InterfaceRecord changed{};
    std::vector<std::function<void(const qkr::kern::InterfaceRecord&)>> listeners;
    {
        std::lock_guard lock(k.mu);
        auto it = std::find_if(k.interfaces.begin(), k.interfaces.end(),
                               [&](const qkr::kern::InterfaceRecord& r) { return r.link == link; });
        if (it == k.interfaces.end())
            return STATUS_INVALID_PARAMETER;
        it->enabled = Enable != 0;
        changed = *it;
        for (const auto& [id, listener] : k.interface_listeners)
            listeners.push_back(listener);
    }
    for (const auto& listener : listeners)
        listener(changed);
    return STATUS_SUCCESS;
}

namespace qkr::kern {
std::vector<InterfaceRecord> Kernel::interfaces() const {
    std::lock_guard lock(impl_->mu);
    return impl_->interfaces;
}

std::uint64_t Kernel::add_interface_listener(std::function<void(const InterfaceRecord&)> listener) {
    std::lock_guard lock(impl_->mu);
    const std::uint64_t id = impl_->next_interface_listener++;
    impl_->interface_listeners.emplace(id, std::move(listener));
    return id;
}

void Kernel::remove_interface_listener(std::uint64_t id) {
    std::lock_guard lock(impl_->mu);
    impl_->interface_listeners.erase(id);
}
} // namespace qkr::kern

// ---------------------------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------------------------

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto& k = K();
    std::lock_guard lock(k.mu);
    if (k.take_fault(qkr::kern::Fault::WorkItemAllocation))
        return nullptr;
    auto item = std::make_unique<IO_WORKITEM>();
    item->DeviceObject = DeviceObject;
    PIO_WORKITEM p = item.get();
    k.work_items.emplace(p, std::move(item));
    auto it = k.devices.find(DeviceObject);
    if (it != k.devices.end())
        ++it->second.refs;
    return p;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    auto& k = K();
    std::string problem;
    {
        std::lock_guard lock(k.mu);
        auto it = k.work_items.find(IoWorkItem);
        if (it == k.work_items.end()) {
            problem = "IoFreeWorkItem of " + hex(IoWorkItem) + ", which is not a live work item";
        } else if (it->second->Queued) {
            problem = "IoFreeWorkItem of work item " + hex(IoWorkItem) + " while it is queued";
        } else {
            PDEVICE_OBJECT dev = it->second->DeviceObject;
            k.work_items.erase(it);
            k.release_device_ref(dev);
        }
    }
    if (!problem.empty())
        k.report(problem);
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE,
                     PVOID Context) {
    auto& k = K();
    std::string problem;
    {
        std::lock_guard lock(k.mu);
        auto it = k.work_items.find(IoWorkItem);
        if (it == k.work_items.end()) {
            problem = "IoQueueWorkItem of " + hex(IoWorkItem) + ", which is not a live work item";
        } else if (IoWorkItem->Queued) {
            problem = "IoQueueWorkItem of work item " + hex(IoWorkItem) + " that is already queued";
        } else {
            IoWorkItem->Routine = WorkerRoutine;
            IoWorkItem->Context = Context;
            IoWorkItem->Queued = true;
            auto dev = k.devices.find(IoWorkItem->DeviceObject);
            if (dev != k.devices.end())
                ++dev->second.refs;
            k.work_queue.push_back(IoWorkItem);
            k.set_event(&k.work_event);
        }
    }
    if (!problem.empty())
        k.report(problem);
    qkr::kern::switch_point();
}

namespace qkr::kern {

void Kernel::Impl::worker_main() {
    std::unique_lock lock(mu);
    for (;;) {
        if (work_queue.empty()) {
            if (worker_stop)
                return;
            lock.unlock();
            wait(&work_event, "work", std::nullopt);
            lock.lock();
            continue;
        }
        PIO_WORKITEM item = work_queue.front();
        work_queue.pop_front();
        item->Queued = false;
        PDEVICE_OBJECT dev = item->DeviceObject;
        PIO_WORKITEM_ROUTINE routine = item->Routine;
        PVOID context = item->Context;
        lock.unlock();
        ThreadCpu& c = cpu();
        routine(dev, context); // may free the work item
        if (c.irql != PASSIVE_LEVEL || c.locks_held != 0) {
            report("work item routine returned at IRQL " + std::to_string(c.irql) + " holding " +
                   std::to_string(c.locks_held) + " spin lock(s)");
            c.irql = PASSIVE_LEVEL;
        }
        lock.lock();
        release_device_ref(dev);
    }
}

// ---------------------------------------------------------------------------------------------
// Checks on freed memory and at the end
// ---------------------------------------------------------------------------------------------

void Kernel::Impl::check_freed_range(const void* begin, std::size_t size, const char* what,
                                     std::vector<std::string>& problems) {
    auto* b = static_cast<const std::byte*>(begin);
    auto inside = [&](const void* p) {
        auto* q = static_cast<const std::byte*>(p);
        return q >= b && q < b + size;
    };
    for (auto it = queue.begin(); it != queue.end();) {
        const TimerEntry& e = it->second;
        const void* obj = e.kind == TimerEntry::Kind::KTimer ? static_cast<const void*>(e.timer)
                          : e.kind == TimerEntry::Kind::Dpc  ? static_cast<const void*>(e.dpc)
                                                             : nullptr;
        if (obj != nullptr && inside(obj)) {
            problems.push_back(std::string(what) + " " + hex(begin) +
                               " freed while it holds a queued " +
                               (e.kind == TimerEntry::Kind::KTimer ? "timer " : "DPC ") + hex(obj));
            if (e.kind == TimerEntry::Kind::Dpc)
                dpc_queued.erase(e.dpc);
            it = queue.erase(it);
            continue;
        }
        ++it;
    }
    for (WaitBlock* wb : blocked) {
        if (wb->object != nullptr && inside(wb->object))
            problems.push_back(std::string(what) + " " + hex(begin) +
                               " freed while a thread waits for " + hex(wb->object) + " inside it");
    }
}

void Kernel::Impl::end_of_life_checks() {
    std::vector<std::string> problems;
    {
        std::lock_guard lock(mu);
        for (const auto& [irp, info] : irps) {
            if (!info.kernel_owned)
                problems.push_back("IRP " + hex(irp) + " still alive at kernel shutdown (" +
                                   state_name(info.state) + ")");
        }
        for (const auto& [dev, info] : devices) {
            if (!info.pdo && !info.deleted)
                problems.push_back("device " + hex(dev) + " still alive at kernel shutdown");
        }
        for (ULONG tag : watched_tags) {
            auto it = pool_by_tag.find(tag);
            if (it != pool_by_tag.end() && it->second.first != 0) {
                char t[5] = {static_cast<char>(tag), static_cast<char>(tag >> 8),
                             static_cast<char>(tag >> 16), static_cast<char>(tag >> 24), 0};
                problems.push_back(std::to_string(it->second.first) +
                                   " pool allocation(s) of tag '" + t +
                                   "' still allocated at kernel shutdown");
            }
        }
        for (const ThreadRec& t : threads) {
            if (&t != current_thread_rec() && t.name != "kernel worker")
                problems.push_back("thread '" + t.name +
                                   "' is still registered at kernel shutdown");
        }
        if (!work_items.empty())
            problems.push_back(std::to_string(work_items.size()) +
                               " work item(s) still allocated at kernel shutdown");
    }
    for (const auto& p : problems)
        report(p);
}

} // namespace qkr::kern
