// The Plug and Play and power managers' side of the kernel, and the client handles (opens, device
// control requests) that tests and tools use to talk to a device stack.
#include "platform/kernel/kernel_impl.h"

#include <algorithm>
#include <cstring>
#include <utility>

using qkr::kern::hex;
using qkr::kern::IrpInfo;
using qkr::kern::K;

// ---------------------------------------------------------------------------------------------
// Power manager calls
// ---------------------------------------------------------------------------------------------

namespace {
thread_local bool t_po_call = false;
} // namespace

bool qkr::kern::take_po_call() {
    return std::exchange(t_po_call, false);
}

// Power IRPs are serialised by the power manager, which must see each of them go down.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    t_po_call = true;
    return IofCallDriver(DeviceObject, Irp);
}

void PoStartNextPowerIrp(PIRP Irp) {
    auto& k = K();
    std::string problem;
    {
        std::lock_guard lock(k.mu);
        auto it = k.irps.find(Irp);
        if (it == k.irps.end()) {
            problem = "PoStartNextPowerIrp for " + hex(Irp) + ", which is not a live IRP";
        } else {
            ++k.start_next_calls;
            PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount
                                     ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                     : nullptr;
            if (dev != nullptr && dev->DriverObject != k.bus_driver) {
                auto& calls = it->second.power_calls;
                auto c = std::find_if(calls.begin(), calls.end(),
                                      [&](auto& e) { return e.first == dev; });
                if (c == calls.end())
                    calls.emplace_back(dev, 1);
                else
                    ++c->second;
            }
        }
    }
    if (!problem.empty())
        k.report(problem);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    auto& k = K();
    std::lock_guard lock(k.mu);
    k.power_log.push_back({DeviceObject, Type, State});
    POWER_STATE previous = State;
    auto it = k.devices.find(DeviceObject);
    if (it != k.devices.end()) {
        POWER_STATE& slot =
            Type == DevicePowerState ? it->second.device_power : it->second.system_power;
        previous = slot;
        slot = State;
    }
    return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    auto& k = K();
    // The IRP may be completed and freed before the call returns: its address is no use.
    if (Irp != nullptr)
        k.report(
            "PoRequestPowerIrp for device " + hex(DeviceObject) +
            " asked for the IRP it sends (pass NULL: it may be freed before the call returns)");
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    PIRP irp;
    {
        std::lock_guard lock(k.mu);
        if (k.take_fault(qkr::kern::Fault::PowerIrpRequest))
            return STATUS_INSUFFICIENT_RESOURCES;
        irp = k.allocate_irp(top->StackSize, false);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = MinorFunction;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        k.irps.at(irp).on_done = [&k, DeviceObject, MinorFunction, PowerState, CompletionFunction,
                                  Context](PIRP done) {
            if (CompletionFunction != nullptr)
                CompletionFunction(DeviceObject, MinorFunction, PowerState, Context,
                                   &done->IoStatus);
            k.free_irp(done);
        };
    }
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

namespace qkr::kern {

namespace {
const char* power_minor_name(UCHAR minor) {
    switch (minor) {
    case IRP_MN_SET_POWER:
        return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER:
        return "IRP_MN_QUERY_POWER";
    case IRP_MN_WAIT_WAKE:
        return "IRP_MN_WAIT_WAKE";
    default:
        return "power IRP";
    }
}
} // namespace

void Kernel::Impl::power_irp_sent(IrpInfo& info, PIO_STACK_LOCATION loc, bool via_po,
                                  std::string& problem) {
    PDEVICE_OBJECT device = loc->DeviceObject;
    info.power = true;
    if (device->DriverObject == bus_driver) {
        info.power_reached_bus = true;
    } else {
        auto& calls = info.power_calls;
        if (std::none_of(calls.begin(), calls.end(), [&](auto& c) { return c.first == device; }))
            calls.emplace_back(device, 0);
    }
    if (!via_po)
        problem = std::string(power_minor_name(loc->MinorFunction)) + " sent to device " +
                  hex(device) + " with IoCallDriver, not PoCallDriver";
}

void Kernel::Impl::power_irp_done(PIRP irp, IrpInfo& info, std::vector<std::string>& problems) {
    for (auto& [dev, calls] : info.power_calls) {
        if (calls != 1)
            problems.push_back("power IRP " + hex(irp) + " completed after " +
                               std::to_string(calls) + " PoStartNextPowerIrp call(s) by device " +
                               hex(dev) + " (exactly one is due)");
    }
    // The bus driver must see every power IRP that succeeds: it alone changes the hardware's
    // power, and the power manager's own bookkeeping waits for it.
    if (!info.power_reached_bus && NT_SUCCESS(irp->IoStatus.Status) && !info.power_calls.empty()) {
        // The first location the IRP was sent with (the one below it is allocate_irp's spare).
        const auto* top = reinterpret_cast<const IO_STACK_LOCATION*>(
                              reinterpret_cast<const std::byte*>(irp) + sizeof(IRP)) +
                          irp->StackCount;
        problems.push_back(
            std::string(top->Parameters.Power.Type == SystemPowerState ? "system " : "device ") +
            power_minor_name(top->MinorFunction) + " " + hex(irp) + " succeeded by device " +
            hex(info.power_calls.back().first) + " without being passed down to the bus driver");
    }
    info.power_calls.clear();
}

std::vector<PowerStateRecord> Kernel::power_state_log() const {
    std::lock_guard lock(impl_->mu);
    return impl_->power_log;
}

std::size_t Kernel::start_next_power_irp_calls() const {
    std::lock_guard lock(impl_->mu);
    return impl_->start_next_calls;
}

// ---------------------------------------------------------------------------------------------
// Plug and Play and power requests from the managers
// ---------------------------------------------------------------------------------------------

NTSTATUS Kernel::Impl::send_and_wait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserEvent = &done;
    IofCallDriver(device, irp);
    if (wait(&done, "completion of a request", std::nullopt) != STATUS_SUCCESS) {
        abandon_irp(irp); // it never came back: a deadlock was reported
        return STATUS_TIMEOUT;
    }
    NTSTATUS status = irp->IoStatus.Status;
    free_irp(irp);
    return status;
}

void Kernel::Impl::abandon_irp(PIRP irp) {
    std::lock_guard lock(mu);
    auto it = irps.find(irp);
    if (it == irps.end())
        return;
    it->second.kernel_owned = true;
    it->second.user_output = nullptr;
    it->second.on_done = nullptr;
    irp->UserEvent = nullptr;
    irp->UserIosb = nullptr;
}

// The order in which the Plug and Play manager sends its requests. A request out of that order is
// reported and not sent: no driver has to survive it on the real system.
NTSTATUS Kernel::send_pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    Impl& k = *impl_;
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    PIRP irp = nullptr;
    std::string problem;
    {
        std::lock_guard lock(k.mu);
        auto it = k.devices.find(pdo);
        if (it != k.devices.end()) {
            DeviceInfo& info = it->second;
            if (info.pnp == PnpState::Removed)
                info.pnp = PnpState::Added; // the stack was built again on the PDO
            const PnpState s = info.pnp;
            const std::string where = " sent to the stack of " + hex(pdo);
            if (minor == IRP_MN_REMOVE_DEVICE) {
                if (s != PnpState::RemovePending && s != PnpState::SurpriseRemoved &&
                    s != PnpState::Added)
                    problem = "IRP_MN_REMOVE_DEVICE" + where +
                              " without a query-remove that succeeded or a surprise removal";
            } else if (minor == IRP_MN_STOP_DEVICE && s != PnpState::StopPending) {
                problem = "IRP_MN_STOP_DEVICE" + where + " without a query-stop that succeeded";
            } else if (s == PnpState::SurpriseRemoved &&
                       (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE ||
                        minor == IRP_MN_QUERY_REMOVE_DEVICE ||
                        minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
                        minor == IRP_MN_CANCEL_STOP_DEVICE)) {
                problem = "Plug and Play request" + where +
                          " after IRP_MN_SURPRISE_REMOVAL (only the removal may follow)";
            }
        }
        if (problem.empty())
            irp = k.allocate_irp(top->StackSize, true);
    }
    if (!problem.empty()) {
        k.report(problem);
        return STATUS_INVALID_DEVICE_STATE;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    const NTSTATUS status = k.send_and_wait(top, irp);
    std::lock_guard lock(k.mu);
    auto it = k.devices.find(pdo);
    if (it == k.devices.end())
        return status;
    DeviceInfo& info = it->second;
    const bool ok = NT_SUCCESS(status);
    switch (minor) {
    case IRP_MN_START_DEVICE:
        info.pnp = ok ? PnpState::Started : PnpState::Added; // a failed start may be removed
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        if (ok && info.pnp != PnpState::StopPending) {
            info.pnp_before_query = info.pnp;
            info.pnp = PnpState::StopPending;
        }
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (info.pnp == PnpState::StopPending)
            info.pnp = info.pnp_before_query;
        break;
    case IRP_MN_STOP_DEVICE:
        info.pnp = PnpState::Stopped;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (ok && info.pnp != PnpState::RemovePending) {
            info.pnp_before_query = info.pnp;
            info.pnp = PnpState::RemovePending;
        }
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (info.pnp == PnpState::RemovePending)
            info.pnp = info.pnp_before_query;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        info.pnp = PnpState::SurpriseRemoved;
        break;
    case IRP_MN_REMOVE_DEVICE:
        info.pnp = PnpState::Removed;
        break;
    default:
        break;
    }
    return status;
}

namespace {
PIRP build_power(Kernel::Impl& k, PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type,
                 POWER_STATE state) {
    PIRP irp;
    {
        std::lock_guard lock(k.mu);
        irp = k.allocate_irp(top->StackSize, true);
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    if (type == SystemPowerState) {
        SYSTEM_POWER_STATE s = state.SystemState;
        next->Parameters.Power.ShutdownType =
            s == PowerSystemShutdown                                 ? PowerActionShutdown
            : s >= PowerSystemSleeping1 && s <= PowerSystemHibernate ? PowerActionSleep
                                                                     : PowerActionNone;
    }
    return irp;
}
} // namespace

NTSTATUS Kernel::send_power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state) {
    Impl& k = *impl_;
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    PIRP irp = build_power(k, top, minor, type, state);
    t_po_call = true; // send_and_wait's IoCallDriver is the power manager's PoCallDriver
    return k.send_and_wait(top, irp);
}

// ---------------------------------------------------------------------------------------------
// PendingIo
// ---------------------------------------------------------------------------------------------

struct PendingIo::State {
    Kernel::Impl* kernel = nullptr;
    PIRP irp = nullptr;
    KEVENT done{};
    IO_STATUS_BLOCK iosb{};
    std::vector<std::uint8_t> output;

    ~State() {
        if (irp == nullptr)
            return;
        if (KeReadStateEvent(&done) == 0) {
            IoCancelIrp(irp);
            if (kernel->wait(&done, "completion of a cancelled request", std::nullopt) !=
                STATUS_SUCCESS) {
                kernel->abandon_irp(irp); // stuck in a driver; do not free it under the driver
                return;
            }
        }
        kernel->free_irp(irp);
    }
};

PendingIo::PendingIo(PendingIo&&) noexcept = default;
PendingIo& PendingIo::operator=(PendingIo&&) noexcept = default;
PendingIo::~PendingIo() = default;

bool PendingIo::done() const {
    return state_ && KeReadStateEvent(&state_->done) != 0;
}

NTSTATUS PendingIo::wait() {
    if (!state_)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS w = state_->kernel->wait(&state_->done, "completion of a request", std::nullopt);
    return w == STATUS_SUCCESS ? state_->iosb.Status : w;
}

bool PendingIo::wait_for(Ticks timeout) {
    if (!state_)
        return false;
    Ticks deadline = state_->kernel->now() + std::max<Ticks>(timeout, 0);
    return state_->kernel->wait(&state_->done, "completion of a request", deadline) ==
           STATUS_SUCCESS;
}

BOOLEAN PendingIo::cancel() {
    if (!state_ || done())
        return FALSE;
    return IoCancelIrp(state_->irp);
}

NTSTATUS PendingIo::status() const {
    if (!done())
        return STATUS_PENDING;
    return state_->iosb.Status;
}

ULONG_PTR PendingIo::information() const {
    return done() ? state_->iosb.Information : 0;
}

std::span<const std::uint8_t> PendingIo::output() const {
    if (!done())
        return {};
    std::size_t n = std::min<std::size_t>(state_->iosb.Information, state_->output.size());
    if (NT_ERROR(state_->iosb.Status))
        n = 0;
    return {state_->output.data(), n};
}

PendingIo Kernel::send_power_async(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                                   POWER_STATE state) {
    Impl& k = *impl_;
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    PendingIo io;
    io.state_ = std::make_shared<PendingIo::State>();
    auto* st = io.state_.get();
    st->kernel = &k;
    KeInitializeEvent(&st->done, NotificationEvent, FALSE);
    st->irp = build_power(k, top, minor, type, state);
    st->irp->UserEvent = &st->done;
    st->irp->UserIosb = &st->iosb;
    PoCallDriver(top, st->irp);
    return io;
}

// ---------------------------------------------------------------------------------------------
// FileHandle
// ---------------------------------------------------------------------------------------------

struct FileHandle::State {
    Kernel::Impl* kernel = nullptr;
    PDEVICE_OBJECT device = nullptr; // the top of the stack when it was opened
    FILE_OBJECT file{};
    bool open = false;
    // Asynchronous requests on the file object not yet completed. Apart from the state, since
    // the requests refer to it and must not keep the handle from closing.
    struct Outstanding {
        int requests = 0; // under mu
        KEVENT none{};    // signalled while `requests` is 0
    };
    std::shared_ptr<Outstanding> outstanding = std::make_shared<Outstanding>();

    NTSTATUS send_simple(UCHAR major) {
        PIRP irp;
        {
            std::lock_guard lock(kernel->mu);
            irp = kernel->allocate_irp(device->StackSize, true);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->FileObject = &file;
        irp->Tail.Overlay.DriverContext[0] = nullptr;
        return kernel->send_and_wait(device, irp);
    }

    ~State() {
        if (open)
            close();
    }

    NTSTATUS close() {
        if (!open)
            return STATUS_INVALID_DEVICE_REQUEST;
        NTSTATUS cleanup = send_simple(IRP_MJ_CLEANUP);
        // Every request holds a reference on the file object, and IRP_MJ_CLOSE only follows the
        // last reference: a request the driver keeps past the cleanup keeps the close away. The
        // platform sends the close later from whoever drops that reference; here the closing
        // client waits for it, so that a request kept for good shows as a deadlock.
        kernel->wait(&outstanding->none,
                     "completion of the requests outstanding on a handle being closed "
                     "(IRP_MJ_CLOSE follows the last one)",
                     std::nullopt);
        NTSTATUS closed = send_simple(IRP_MJ_CLOSE);
        open = false;
        std::lock_guard lock(kernel->mu);
        auto it = kernel->devices.find(device);
        if (it != kernel->devices.end())
            --it->second.opens;
        kernel->release_device_ref(device);
        return NT_SUCCESS(cleanup) ? closed : cleanup;
    }
};

FileHandle::FileHandle(FileHandle&&) noexcept = default;
FileHandle& FileHandle::operator=(FileHandle&&) noexcept = default;
FileHandle::~FileHandle() = default;

bool FileHandle::is_open() const {
    return state_ && state_->open;
}

NTSTATUS FileHandle::close() {
    if (!state_)
        return STATUS_INVALID_DEVICE_REQUEST;
    return state_->close();
}

PFILE_OBJECT FileHandle::file_object() const {
    return state_ ? &state_->file : nullptr;
}

NTSTATUS FileHandle::ioctl(ULONG code, std::span<const std::uint8_t> input,
                           std::span<std::uint8_t> output, ULONG_PTR* information, bool internal) {
    if (!is_open())
        return STATUS_INVALID_DEVICE_REQUEST;
    Kernel::Impl& k = *state_->kernel;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp;
    {
        std::lock_guard lock(k.mu);
        irp = k.build_ioctl(code, state_->device, input.data(), static_cast<ULONG>(input.size()),
                            output.data(), static_cast<ULONG>(output.size()), internal, &done,
                            &iosb, true);
    }
    IoGetNextIrpStackLocation(irp)->FileObject = &state_->file;
    IofCallDriver(state_->device, irp);
    NTSTATUS w = k.wait(&done, "completion of a device control request", std::nullopt);
    if (w != STATUS_SUCCESS) {
        k.abandon_irp(irp);
        return w;
    }
    if (information != nullptr)
        *information = iosb.Information;
    return iosb.Status;
}

PendingIo FileHandle::ioctl_async(ULONG code, std::span<const std::uint8_t> input,
                                  ULONG output_length, bool internal) {
    PendingIo io;
    if (!is_open())
        return io;
    Kernel::Impl& k = *state_->kernel;
    io.state_ = std::make_shared<PendingIo::State>();
    auto* st = io.state_.get();
    st->kernel = &k;
    st->output.resize(output_length);
    KeInitializeEvent(&st->done, NotificationEvent, FALSE);
    {
        std::lock_guard lock(k.mu);
        st->irp =
            k.build_ioctl(code, state_->device, input.data(), static_cast<ULONG>(input.size()),
                          output_length != 0 ? st->output.data() : nullptr, output_length, internal,
                          &st->done, &st->iosb, true);
        IrpInfo& info = k.irps.at(st->irp);
        info.keep_after_done = true;
        if (state_->outstanding->requests++ == 0)
            state_->outstanding->none.Header.SignalState = 0;
        info.on_done = [&k, out = state_->outstanding](PIRP) {
            std::lock_guard lock(k.mu);
            if (--out->requests == 0)
                k.set_event(&out->none);
        };
    }
    IoGetNextIrpStackLocation(st->irp)->FileObject = &state_->file;
    IofCallDriver(state_->device, st->irp);
    return io;
}

NTSTATUS Kernel::open(PDEVICE_OBJECT device, FileHandle* handle) {
    Impl& k = *impl_;
    if (device == nullptr || handle == nullptr)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    auto st = std::make_shared<FileHandle::State>();
    st->kernel = &k;
    st->device = top;
    st->file.Type = 5; // IO_TYPE_FILE
    st->file.DeviceObject = top;
    KeInitializeEvent(&st->outstanding->none, NotificationEvent, TRUE);
    {
        std::lock_guard lock(k.mu);
        auto it = k.devices.find(top);
        if (it == k.devices.end() || it->second.deleted)
            return STATUS_NO_SUCH_DEVICE;
        // A stack on its way out takes no new opens.
        for (auto d = it; d != k.devices.end(); d = k.devices.find(d->second.lower)) {
            if (d->second.pdo) {
                if (d->second.pnp == PnpState::SurpriseRemoved ||
                    d->second.pnp == PnpState::Removed)
                    return STATUS_NO_SUCH_DEVICE;
                break;
            }
            if (d->second.lower == nullptr)
                break;
        }
        bool exclusive = (top->Flags & DO_EXCLUSIVE) || (device->Flags & DO_EXCLUSIVE);
        if (exclusive && it->second.opens > 0)
            return STATUS_ACCESS_DENIED;
        ++it->second.opens;
        ++it->second.refs;
    }
    NTSTATUS status = st->send_simple(IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        std::lock_guard lock(k.mu);
        auto it = k.devices.find(top);
        if (it != k.devices.end())
            --it->second.opens;
        k.release_device_ref(top);
        return status;
    }
    st->open = true;
    handle->state_ = std::move(st);
    return status;
}

} // namespace qkr::kern
