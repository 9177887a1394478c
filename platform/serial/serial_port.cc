#include "platform/serial/serial_port.h"

#include "platform/serial/sim_line.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace qkr::serial {

namespace {

constexpr ULONG kMaxUlong = std::numeric_limits<ULONG>::max();
// Every event the platform defines, up to SERIAL_EV_EVENT2.
constexpr ULONG kValidEvents = 0x1FFF;
// Bits of SERIAL_HANDFLOW the platform defines.
constexpr ULONG kControlValid = 0x8000007B;
constexpr ULONG kFlowValid = 0x800000DF;
constexpr ULONG kDtrState = 0x1; // SERIAL_DTR_STATE
constexpr ULONG kRtsState = 0x2; // SERIAL_RTS_STATE

struct PortExtension {
    SerialPort* port;
};

struct QueueSize { // SERIAL_QUEUE_SIZE
    ULONG InSize;
    ULONG OutSize;
};

template <typename T>
T read_as(const std::uint8_t* buffer) {
    T value;
    std::memcpy(&value, buffer, sizeof(T));
    return value;
}

template <typename T>
void write_as(std::uint8_t* buffer, const T& value) {
    std::memcpy(buffer, &value, sizeof(T));
}

LineFormat to_format(const SERIAL_LINE_CONTROL& lc, std::uint32_t baud) {
    LineFormat f;
    f.baud = baud;
    f.data_bits = lc.WordLength;
    f.parity = static_cast<Parity>(lc.Parity);
    f.stop_bits = lc.StopBits == STOP_BIT_1 ? 1 : 2;
    return f;
}

SERIAL_LINE_CONTROL to_line_control(const LineFormat& f) {
    SERIAL_LINE_CONTROL lc{};
    lc.WordLength = f.data_bits;
    lc.Parity = static_cast<UCHAR>(f.parity);
    lc.StopBits = f.stop_bits == 1 ? STOP_BIT_1 : STOP_BITS_2;
    return lc;
}

} // namespace

// ----- faults -----

void Faults::fail_nth(RequestKind kind, int n, NTSTATUS status, int times) {
    std::lock_guard lock(mutex_);
    rules_.push_back({kind, std::max(n, 1) - 1, std::max(times, 1), Action::Fail, status});
}

void Faults::pend_nth(RequestKind kind, int n, int times) {
    std::lock_guard lock(mutex_);
    rules_.push_back({kind, std::max(n, 1) - 1, std::max(times, 1), Action::Pend, STATUS_PENDING});
}

void Faults::fail_waits(NTSTATUS status) {
    std::lock_guard lock(mutex_);
    wait_status_ = status;
}

void Faults::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
    wait_status_.reset();
}

Faults::Decision Faults::on_request(RequestKind kind) {
    std::lock_guard lock(mutex_);
    Decision decision;
    for (auto it = rules_.begin(); it != rules_.end();) {
        if (!(it->kind == kind)) {
            ++it;
            continue;
        }
        if (it->skip > 0) {
            --it->skip;
            ++it;
            continue;
        }
        if (decision.action == Action::None)
            decision = {it->action, it->status};
        if (--it->times <= 0)
            it = rules_.erase(it);
        else
            ++it;
    }
    return decision;
}

std::optional<NTSTATUS> Faults::wait_fault() {
    std::lock_guard lock(mutex_);
    return wait_status_;
}

// ----- creation -----

SerialPort::SerialPort(Key, kern::Kernel& kernel, LineBackend& line)
    : kernel_(kernel), line_(line), format_(line.format()) {
    // The platform's defaults for a port nobody has configured yet.
    handflow_.ControlHandShake = SERIAL_DTR_CONTROL;
    handflow_.FlowReplace = SERIAL_RTS_CONTROL;
    handflow_.XonLimit = 1024;
    handflow_.XoffLimit = 1024;
    chars_.XonChar = 0x11;
    chars_.XoffChar = 0x13;
}

std::unique_ptr<SerialPort> SerialPort::create(kern::Kernel& kernel, PDEVICE_OBJECT pdo,
                                               LineBackend& line) {
    auto port = std::make_unique<SerialPort>(Key{}, kernel, line);
    KeInitializeDpc(&port->dpc_, &SerialPort::completion_dpc, port.get());
    port->driver_ = kernel.load_driver("serial", &SerialPort::driver_entry);
    if (port->driver_ == nullptr)
        return nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(port->driver_, sizeof(PortExtension), nullptr,
                                   FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device))) {
        kernel.unload_driver(std::exchange(port->driver_, nullptr));
        return nullptr;
    }
    static_cast<PortExtension*>(device->DeviceExtension)->port = port.get();
    device->Flags |= DO_BUFFERED_IO;
    port->lower_ = IoAttachDeviceToDeviceStack(device, pdo);
    if (port->lower_ == nullptr) {
        IoDeleteDevice(device);
        kernel.unload_driver(std::exchange(port->driver_, nullptr));
        return nullptr;
    }
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    port->device_ = device;
    port->lines_ = line.modem_lines();
    if (auto* sim = dynamic_cast<SimLine*>(&line))
        sim->set_tap(&port->tap_);
    line.attach(port.get());
    return port;
}

SerialPort::~SerialPort() {
    line_.attach(nullptr);
    if (auto* sim = dynamic_cast<SimLine*>(&line_))
        sim->set_tap(nullptr);
    Completions done;
    bool was_open = false;
    {
        std::lock_guard lock(mutex_);
        abort(true, true, true, STATUS_CANCELLED, done);
        was_open = std::exchange(open_, false);
    }
    finish(done);
    // A DPC queued from raised IRQL may not have had its chance yet; nothing else will give it
    // one while this thread waits below.
    if (KeRemoveQueueDpc(&dpc_))
        run_completions();
    {
        // A timer that was already firing, or a cancel routine under way, still uses the port.
        std::unique_lock lock(mutex_);
        quiet_.wait(
            lock, [this] { return callbacks_ == 0 && reads_.empty() && !wait_ && held_.empty(); });
    }
    if (was_open)
        line_.close();
    if (device_ != nullptr) {
        IoDetachDevice(lower_);
        IoDeleteDevice(device_);
    }
    // The driver object stays with the kernel: unloading checks every watched pool tag, and a
    // reader driver above another port may rightly still hold pool under its tag.
}

NTSTATUS SerialPort::driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& routine : driver->MajorFunction)
        routine = &SerialPort::dispatch;
    driver->DriverUnload = &SerialPort::driver_unload;
    return STATUS_SUCCESS;
}

void SerialPort::driver_unload(PDRIVER_OBJECT) {}

NTSTATUS SerialPort::dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return static_cast<PortExtension*>(device->DeviceExtension)->port->handle(irp);
}

void SerialPort::cancel_routine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<PortExtension*>(device->DeviceExtension)->port->on_cancel(irp);
}

SerialPort::Snapshot SerialPort::snapshot() const {
    std::lock_guard lock(mutex_);
    Snapshot s;
    s.open = open_;
    s.wait_mask = wait_mask_;
    s.history = history_;
    s.wait_pending = wait_.has_value();
    s.reads_pending = reads_.size();
    s.held_pending = held_.size();
    s.rx_queued = rx_.size();
    s.dtr = dtr_;
    s.rts = rts_;
    s.break_on = break_;
    s.format = format_;
    s.timeouts = timeouts_;
    s.handflow = handflow_;
    s.chars = chars_;
    return s;
}

void SerialPort::set_rx_capacity(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    rx_capacity_ = bytes;
}

// ----- dispatch -----

NTSTATUS SerialPort::handle(PIRP irp) {
    const PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    TapRequest record;
    record.time = kernel_.now();
    record.major = sl->MajorFunction;
    record.minor = sl->MinorFunction;
    const auto* buffer = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        sl->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        record.code = sl->Parameters.DeviceIoControl.IoControlCode;
        record.input_length = sl->Parameters.DeviceIoControl.InputBufferLength;
        record.output_length = sl->Parameters.DeviceIoControl.OutputBufferLength;
        if (buffer != nullptr && tap_.enabled())
            record.input.assign(buffer, buffer + record.input_length);
    } else if (sl->MajorFunction == IRP_MJ_WRITE) {
        record.input_length = sl->Parameters.Write.Length;
        if (buffer != nullptr && tap_.enabled())
            record.input.assign(buffer, buffer + record.input_length);
    } else if (sl->MajorFunction == IRP_MJ_READ) {
        record.output_length = sl->Parameters.Read.Length;
    }
    const UCHAR major = sl->MajorFunction;
    const Tap::Id tap = tap_.begin_request(std::move(record));

    switch (major) {
    case IRP_MJ_PNP:
    case IRP_MJ_POWER: {
        const NTSTATUS status = pass_down(irp, major == IRP_MJ_POWER);
        tap_.end_request(tap, status, 0);
        return status;
    }
    case IRP_MJ_CREATE:
        return on_create(irp, tap);
    case IRP_MJ_CLOSE:
        return on_close(irp, tap);
    case IRP_MJ_CLEANUP: {
        Completions done;
        {
            std::lock_guard lock(mutex_);
            abort(true, true, true, STATUS_CANCELLED, done);
        }
        finish(done);
        return complete(irp, tap, STATUS_SUCCESS, 0);
    }
    case IRP_MJ_FLUSH_BUFFERS:
        // Writes are done once queued to the transmitter, so there is nothing to wait for.
        return complete(irp, tap, STATUS_SUCCESS, 0);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL: {
        const RequestKind kind{major, major == IRP_MJ_DEVICE_CONTROL
                                          ? sl->Parameters.DeviceIoControl.IoControlCode
                                          : 0};
        const auto decision = faults_.on_request(kind);
        if (decision.action == Faults::Action::Fail)
            return complete(irp, tap, decision.status, 0);
        if (decision.action == Faults::Action::Pend)
            return hold(irp, tap, major);
        // Once the far end has hung up, nothing more will ever cross the line: a read, a write
        // or a wait would only sit out its time-out.
        if (hung_up_.load() &&
            (major != IRP_MJ_DEVICE_CONTROL ||
             sl->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK))
            return complete(irp, tap, STATUS_DEVICE_NOT_CONNECTED, 0);
        if (major == IRP_MJ_READ)
            return on_read(irp, tap);
        if (major == IRP_MJ_WRITE)
            return on_write(irp, tap);
        return on_control(irp, tap);
    }
    default:
        return complete(irp, tap, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS SerialPort::pass_down(PIRP irp, bool power) {
    const PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    if (power) {
        if (sl->MinorFunction == IRP_MN_SET_POWER || sl->MinorFunction == IRP_MN_QUERY_POWER)
            irp->IoStatus.Status = STATUS_SUCCESS;
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower_, irp);
    }
    switch (sl->MinorFunction) {
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
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower_, irp);
}

NTSTATUS SerialPort::complete(PIRP irp, Tap::Id tap, NTSTATUS status, ULONG_PTR information) {
    tap_.end_request(tap, status, information);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void SerialPort::finish(Completions& done) {
    if (done.empty())
        return;
    bool insert = false;
    {
        std::lock_guard lock(mutex_);
        deferred_.insert(deferred_.end(), done.begin(), done.end());
        if (!dpc_armed_) {
            dpc_armed_ = insert = true;
            ++callbacks_;
        }
    }
    done.clear();
    if (insert)
        KeInsertQueueDpc(&dpc_, nullptr, nullptr);
}

void SerialPort::completion_dpc(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<SerialPort*>(context)->run_completions();
}

void SerialPort::run_completions() {
    // What the completions start (a driver's completion routine sending the next request) may
    // hand back more; it goes out in the same run.
    for (;;) {
        Completions batch;
        {
            std::lock_guard lock(mutex_);
            if (deferred_.empty()) {
                dpc_armed_ = false;
                break;
            }
            batch.swap(deferred_);
        }
        for (const auto& c : batch)
            complete(c.irp, c.tap, c.status, c.information);
    }
    leave_callback();
}

NTSTATUS SerialPort::on_create(PIRP irp, Tap::Id tap) {
    bool already_open = false;
    {
        std::lock_guard lock(mutex_);
        // Claimed at once, so that a second open from another thread is refused from here on.
        already_open = std::exchange(open_, true);
    }
    if (!already_open)
        hung_up_ = false;
    if (already_open)
        return complete(irp, tap, STATUS_ACCESS_DENIED, 0);
    if (!line_.open()) {
        {
            std::lock_guard lock(mutex_);
            open_ = false;
        }
        return complete(irp, tap, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    LineChange change;
    {
        std::lock_guard lock(mutex_);
        rx_.clear();
        errors_ = 0;
        wait_mask_ = 0;
        history_ = 0;
        change = apply_handflow_lines();
    }
    apply(change);
    return complete(irp, tap, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::on_close(PIRP irp, Tap::Id tap) {
    Completions done;
    LineChange change;
    bool was_open = false;
    {
        std::lock_guard lock(mutex_);
        abort(true, true, true, STATUS_CANCELLED, done);
        was_open = std::exchange(open_, false);
        wait_mask_ = 0;
        history_ = 0;
        // Closing drops the modem control lines that are not under hand-shake control.
        if ((handflow_.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_HANDSHAKE && dtr_) {
            dtr_ = false;
            change.dtr = false;
        }
        if ((handflow_.FlowReplace & SERIAL_RTS_MASK) != SERIAL_RTS_HANDSHAKE && rts_) {
            rts_ = false;
            change.rts = false;
        }
        if (break_) {
            break_ = false;
            change.brk = false;
        }
    }
    finish(done);
    apply(change);
    if (was_open)
        line_.close();
    return complete(irp, tap, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::hold(PIRP irp, Tap::Id tap, UCHAR major) {
    Completions done;
    {
        std::lock_guard lock(mutex_);
        IoMarkIrpPending(irp);
        held_.push_back({irp, tap, major});
        if (!arm_cancel(held_.back())) {
            held_.pop_back();
            done.push_back({irp, tap, STATUS_CANCELLED, 0});
        }
    }
    finish(done);
    return STATUS_PENDING;
}

void SerialPort::apply(const LineChange& change) {
    if (change.format)
        line_.set_format(*change.format);
    if (change.dtr)
        line_.set_dtr(*change.dtr);
    if (change.rts)
        line_.set_rts(*change.rts);
    if (change.brk)
        line_.set_break(*change.brk);
    if (change.purge_tx)
        line_.purge_tx();
}

SerialPort::LineChange SerialPort::apply_handflow_lines() {
    LineChange change;
    const ULONG dtr_mode = handflow_.ControlHandShake & SERIAL_DTR_MASK;
    if (dtr_mode == SERIAL_DTR_CONTROL || dtr_mode == 0) {
        dtr_ = dtr_mode == SERIAL_DTR_CONTROL;
        change.dtr = dtr_;
    }
    const ULONG rts_mode = handflow_.FlowReplace & SERIAL_RTS_MASK;
    if (rts_mode == SERIAL_RTS_CONTROL || rts_mode == 0) {
        rts_ = rts_mode == SERIAL_RTS_CONTROL;
        change.rts = rts_;
    }
    return change;
}

// ----- reads and writes -----

NTSTATUS SerialPort::on_write(PIRP irp, Tap::Id tap) {
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    const auto* data = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (length == 0)
        return complete(irp, tap, STATUS_SUCCESS, 0);
    if (data == nullptr)
        return complete(irp, tap, STATUS_INVALID_PARAMETER, 0);
    bool open = false;
    {
        std::lock_guard lock(mutex_);
        open = open_;
    }
    if (!open)
        return complete(irp, tap, STATUS_INVALID_DEVICE_STATE, 0);
    line_.transmit(std::span<const std::uint8_t>(data, length));
    return complete(irp, tap, STATUS_SUCCESS, length);
}

NTSTATUS SerialPort::on_read(PIRP irp, Tap::Id tap) {
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (length == 0)
        return complete(irp, tap, STATUS_SUCCESS, 0);
    if (irp->AssociatedIrp.SystemBuffer == nullptr)
        return complete(irp, tap, STATUS_INVALID_PARAMETER, 0);
    Completions done;
    bool pending = true;
    {
        std::lock_guard lock(mutex_);
        if (!open_) {
            done.push_back({irp, tap, STATUS_INVALID_DEVICE_STATE, 0});
            pending = false;
        } else {
            PendingRead read;
            read.irp = irp;
            read.tap = tap;
            read.major = IRP_MJ_READ;
            read.serial = ++read_serial_;
            read.length = length;
            reads_.push_back(read);
            service_reads(done);
            const bool finished =
                std::any_of(done.begin(), done.end(), [irp](auto& c) { return c.irp == irp; });
            if (finished) {
                pending = false;
            } else {
                IoMarkIrpPending(irp);
                auto it = std::find_if(reads_.begin(), reads_.end(),
                                       [irp](auto& r) { return r.irp == irp; });
                if (!arm_cancel(*it)) {
                    cancel_read_timers(*it);
                    done.push_back({irp, tap, STATUS_CANCELLED, it->done});
                    const bool was_front = it == reads_.begin();
                    reads_.erase(it);
                    if (was_front)
                        service_reads(done);
                }
            }
        }
    }
    if (!pending) {
        // The read finished inside this call and completes here; any before it go to the DPC.
        const auto own =
            std::find_if(done.begin(), done.end(), [irp](auto& c) { return c.irp == irp; });
        const Completion mine = *own;
        done.erase(own);
        finish(done);
        return complete(mine.irp, mine.tap, mine.status, mine.information);
    }
    finish(done);
    return STATUS_PENDING;
}

void SerialPort::start_read(PendingRead& read) {
    read.started = true;
    const SERIAL_TIMEOUTS t = timeouts_;
    std::uint64_t total_ms = 0;
    if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        read.mode = ReadMode::Immediate;
    } else if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == kMaxUlong &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxUlong) {
        read.mode = ReadMode::FirstByte;
        total_ms = t.ReadTotalTimeoutConstant;
    } else {
        read.mode = ReadMode::Normal;
        total_ms = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * read.length +
                   t.ReadTotalTimeoutConstant;
        read.interval_ms = t.ReadIntervalTimeout == kMaxUlong ? 0 : t.ReadIntervalTimeout;
    }
    if (total_ms != 0)
        arm_read_timer(read, true, total_ms);
}

void SerialPort::arm_read_timer(PendingRead& read, bool total, std::uint64_t milliseconds) {
    auto& timer = total ? read.total_timer : read.interval_timer;
    if (timer != 0 && kernel_.cancel(timer))
        --callbacks_;
    const std::uint64_t serial = read.serial;
    const std::uint64_t generation = total ? ++read.total_generation : ++read.interval_generation;
    ++callbacks_;
    timer = kernel_.schedule_after(
        kern::milliseconds(static_cast<std::int64_t>(milliseconds)),
        [this, serial, total, generation] { on_read_timer(serial, total, generation); },
        total ? "serial: read total time-out" : "serial: read interval time-out");
}

void SerialPort::cancel_read_timers(PendingRead& read) {
    if (read.total_timer != 0 && kernel_.cancel(read.total_timer))
        --callbacks_;
    if (read.interval_timer != 0 && kernel_.cancel(read.interval_timer))
        --callbacks_;
    read.total_timer = read.interval_timer = 0;
    ++read.total_generation;
    ++read.interval_generation;
}

void SerialPort::service_reads(Completions& done) {
    while (!reads_.empty()) {
        PendingRead& read = reads_.front();
        if (read.cancelling)
            return;
        if (!read.started)
            start_read(read);
        auto* buffer = static_cast<std::uint8_t*>(read.irp->AssociatedIrp.SystemBuffer);
        const ULONG before = read.done;
        while (read.done < read.length && !rx_.empty()) {
            buffer[read.done++] = rx_.front();
            rx_.pop_front();
        }
        bool finished = read.done == read.length;
        if (read.mode == ReadMode::Immediate)
            finished = true;
        if (read.mode == ReadMode::FirstByte && read.done > 0)
            finished = true;
        if (!finished) {
            // The interval is measured from the last character received.
            if (read.done > before && read.interval_ms != 0)
                arm_read_timer(read, false, read.interval_ms);
            return;
        }
        if (!claim(read)) {
            read.cancelling = true;
            return;
        }
        cancel_read_timers(read);
        done.push_back({read.irp, read.tap, STATUS_SUCCESS, read.done});
        reads_.pop_front();
    }
}

void SerialPort::on_read_timer(std::uint64_t serial, bool total, std::uint64_t generation) {
    Completions done;
    {
        std::lock_guard lock(mutex_);
        expire_read(serial, total, generation, done);
    }
    finish(done);
    leave_callback();
}

void SerialPort::expire_read(std::uint64_t serial, bool total, std::uint64_t generation,
                             Completions& done) {
    if (reads_.empty())
        return;
    PendingRead& read = reads_.front();
    if (read.serial != serial || read.cancelling)
        return;
    if ((total ? read.total_generation : read.interval_generation) != generation)
        return;
    (total ? read.total_timer : read.interval_timer) = 0;
    if (!claim(read)) {
        read.cancelling = true;
        return;
    }
    cancel_read_timers(read);
    done.push_back({read.irp, read.tap, STATUS_TIMEOUT, read.done});
    reads_.pop_front();
    service_reads(done);
}

void SerialPort::leave_callback() {
    std::lock_guard lock(mutex_);
    --callbacks_;
    quiet_.notify_all();
}

// ----- pending requests and cancellation -----

bool SerialPort::arm_cancel(Pending& p) {
    // Cancel is set under the cancel spin lock; read it there too.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(p.irp, &SerialPort::cancel_routine);
    p.armed = true;
    bool armed = true;
    if (p.irp->Cancel && IoSetCancelRoutine(p.irp, nullptr) != nullptr) {
        p.armed = false;
        armed = false;
    }
    IoReleaseCancelSpinLock(irql);
    return armed;
}

bool SerialPort::claim(Pending& p) {
    if (!p.armed)
        return true;
    if (IoSetCancelRoutine(p.irp, nullptr) == nullptr)
        return false; // the cancel routine is on its way and will take it out
    p.armed = false;
    return true;
}

void SerialPort::on_cancel(PIRP irp) {
    Completions done;
    {
        std::lock_guard lock(mutex_);
        ++callbacks_;
        if (wait_ && wait_->irp == irp) {
            done.push_back({irp, wait_->tap, STATUS_CANCELLED, 0});
            wait_.reset();
        } else if (auto it = std::find_if(reads_.begin(), reads_.end(),
                                          [irp](auto& r) { return r.irp == irp; });
                   it != reads_.end()) {
            cancel_read_timers(*it);
            done.push_back({irp, it->tap, STATUS_CANCELLED, it->done});
            reads_.erase(it);
            service_reads(done);
        } else if (auto h = std::find_if(held_.begin(), held_.end(),
                                         [irp](auto& p) { return p.irp == irp; });
                   h != held_.end()) {
            done.push_back({irp, h->tap, STATUS_CANCELLED, 0});
            held_.erase(h);
        }
    }
    // The cancelled request completes here, at the canceller's IRQL; reads it let go on, from the
    // DPC.
    if (!done.empty()) {
        const Completion mine = done.front();
        done.erase(done.begin());
        complete(mine.irp, mine.tap, mine.status, mine.information);
        finish(done);
    }
    leave_callback();
}

void SerialPort::abort(bool reads, bool writes, bool others, NTSTATUS status, Completions& done) {
    if (reads) {
        for (auto it = reads_.begin(); it != reads_.end();) {
            if (!it->cancelling && claim(*it)) {
                cancel_read_timers(*it);
                done.push_back({it->irp, it->tap, status, it->done});
                it = reads_.erase(it);
            } else {
                it->cancelling = true;
                ++it;
            }
        }
    }
    if (others && wait_ && !wait_->cancelling) {
        if (claim(*wait_)) {
            done.push_back({wait_->irp, wait_->tap, status, 0});
            wait_.reset();
        } else {
            wait_->cancelling = true;
        }
    }
    for (auto it = held_.begin(); it != held_.end();) {
        const bool hit = it->major == IRP_MJ_READ    ? reads
                         : it->major == IRP_MJ_WRITE ? writes
                                                     : others;
        if (hit && !it->cancelling && claim(*it)) {
            done.push_back({it->irp, it->tap, status, 0});
            it = held_.erase(it);
        } else {
            if (hit)
                it->cancelling = true;
            ++it;
        }
    }
}

// ----- events -----

void SerialPort::signal(ULONG events, Completions& done) {
    events &= wait_mask_;
    if (events == 0)
        return;
    if (wait_ && !wait_->cancelling) {
        if (claim(*wait_)) {
            const ULONG occurred = (history_ | events) & wait_mask_;
            history_ = 0;
            write_as(static_cast<std::uint8_t*>(wait_->irp->AssociatedIrp.SystemBuffer), occurred);
            done.push_back({wait_->irp, wait_->tap, STATUS_SUCCESS, sizeof(ULONG)});
            wait_.reset();
            return;
        }
        wait_->cancelling = true;
    }
    history_ |= events;
}

void SerialPort::on_receive(std::span<const std::uint8_t> bytes) {
    Completions done;
    {
        std::lock_guard lock(mutex_);
        if (!open_)
            return;
        ULONG events = 0;
        for (const std::uint8_t b : bytes) {
            if (rx_.size() >= rx_capacity_) {
                errors_ |= SERIAL_ERROR_QUEUEOVERRUN;
                events |= SERIAL_EV_ERR;
                continue;
            }
            rx_.push_back(b);
            events |= SERIAL_EV_RXCHAR;
            if (b == chars_.EventChar)
                events |= SERIAL_EV_RXFLAG;
        }
        service_reads(done);
        signal(events, done);
    }
    finish(done);
}

void SerialPort::on_tx_empty() {
    Completions done;
    {
        std::lock_guard lock(mutex_);
        if (open_)
            signal(SERIAL_EV_TXEMPTY, done);
    }
    finish(done);
}

void SerialPort::on_modem_change(ModemLines lines) {
    Completions done;
    {
        std::lock_guard lock(mutex_);
        ULONG events = 0;
        if (lines.cts != lines_.cts)
            events |= SERIAL_EV_CTS;
        if (lines.dsr != lines_.dsr)
            events |= SERIAL_EV_DSR;
        if (lines.dcd != lines_.dcd)
            events |= SERIAL_EV_RLSD;
        if (lines.ri != lines_.ri)
            events |= SERIAL_EV_RING;
        lines_ = lines;
        if (open_)
            signal(events, done);
    }
    finish(done);
}

void SerialPort::on_hangup() {
    hung_up_ = true;
    Completions done;
    {
        std::lock_guard lock(mutex_);
        abort(true, true, true, STATUS_DEVICE_NOT_CONNECTED, done);
    }
    finish(done);
}

// ----- wait masks -----

NTSTATUS SerialPort::on_set_wait_mask(PIRP irp, Tap::Id tap, ULONG mask) {
    if ((mask & ~kValidEvents) != 0)
        return complete(irp, tap, STATUS_INVALID_PARAMETER, 0);
    Completions done;
    {
        std::lock_guard lock(mutex_);
        // A new mask ends the wait in progress with no events.
        if (wait_ && !wait_->cancelling) {
            if (claim(*wait_)) {
                write_as(static_cast<std::uint8_t*>(wait_->irp->AssociatedIrp.SystemBuffer),
                         ULONG{0});
                done.push_back({wait_->irp, wait_->tap, STATUS_SUCCESS, sizeof(ULONG)});
                wait_.reset();
            } else {
                wait_->cancelling = true;
            }
        }
        wait_mask_ = mask;
        history_ = 0;
    }
    finish(done);
    return complete(irp, tap, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::on_wait(PIRP irp, Tap::Id tap) {
    if (auto status = faults_.wait_fault())
        return complete(irp, tap, *status, 0);
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    Completions done;
    NTSTATUS status = STATUS_PENDING;
    ULONG occurred = 0;
    {
        std::lock_guard lock(mutex_);
        if (wait_ || wait_mask_ == 0 || !open_) {
            status = STATUS_INVALID_PARAMETER;
        } else if ((history_ & wait_mask_) != 0) {
            occurred = history_ & wait_mask_;
            history_ = 0;
            status = STATUS_SUCCESS;
        } else {
            IoMarkIrpPending(irp);
            wait_ = Pending{irp, tap, IRP_MJ_DEVICE_CONTROL};
            if (!arm_cancel(*wait_)) {
                wait_.reset();
                done.push_back({irp, tap, STATUS_CANCELLED, 0});
            }
        }
    }
    if (status == STATUS_SUCCESS) {
        write_as(buffer, occurred);
        return complete(irp, tap, STATUS_SUCCESS, sizeof(ULONG));
    }
    if (status != STATUS_PENDING)
        return complete(irp, tap, status, 0);
    finish(done);
    return STATUS_PENDING;
}

// ----- control requests -----

// What a control request's handler works on, and what it hands back besides its status: the
// bytes it wrote and the change for the line, applied once the lock is released.
struct SerialPort::Control {
    PIRP irp;
    Tap::Id tap;
    ULONG code;
    std::uint8_t* buffer;
    ULONG_PTR information = 0;
    LineChange change;
};

// The control codes: one row each, with the least each buffer must hold and how its handler runs.
struct SerialPort::Controls {
    enum class Run {
        Alone,     // takes the lock itself if it needs it
        Locked,    // under the lock: it only reads or changes settings
        Completes, // completes (or pends) the request itself
    };
    using Handler = NTSTATUS (*)(SerialPort&, Control&);
    struct Row {
        ULONG code;
        ULONG in;
        ULONG out;
        Run run;
        Handler handler;
    };
    static const Row kRows[];

    template <typename T>
    static NTSTATUS reply(Control& c, const T& value) {
        write_as(c.buffer, value);
        c.information = sizeof(T);
        return STATUS_SUCCESS;
    }

    static NTSTATUS set_wait_mask(SerialPort& p, Control& c) {
        return p.on_set_wait_mask(c.irp, c.tap, read_as<ULONG>(c.buffer));
    }
    static NTSTATUS wait(SerialPort& p, Control& c) { return p.on_wait(c.irp, c.tap); }

    static NTSTATUS modem_status(SerialPort& p, Control& c) {
        const ModemLines lines = p.line_.modem_lines();
        return reply(c, static_cast<ULONG>((lines.cts ? SERIAL_CTS_STATE : 0) |
                                           (lines.dsr ? SERIAL_DSR_STATE : 0) |
                                           (lines.ri ? SERIAL_RI_STATE : 0) |
                                           (lines.dcd ? SERIAL_DCD_STATE : 0)));
    }

    static NTSTATUS comm_status(SerialPort& p, Control& c) {
        const std::size_t out_queue = p.line_.tx_queued();
        SERIAL_STATUS st{};
        {
            std::lock_guard lock(p.mutex_);
            st.Errors = std::exchange(p.errors_, 0);
            st.AmountInInQueue = static_cast<ULONG>(p.rx_.size());
        }
        st.AmountInOutQueue = static_cast<ULONG>(out_queue);
        return reply(c, st);
    }

    static NTSTATUS purge(SerialPort& p, Control& c) {
        const ULONG flags = read_as<ULONG>(c.buffer);
        constexpr ULONG kAll = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                               SERIAL_PURGE_RXCLEAR;
        if (flags == 0 || (flags & ~kAll) != 0)
            return STATUS_INVALID_PARAMETER;
        Completions done;
        {
            std::lock_guard lock(p.mutex_);
            if (flags & (SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT))
                p.abort(flags & SERIAL_PURGE_RXABORT, flags & SERIAL_PURGE_TXABORT, false,
                        STATUS_CANCELLED, done);
            if (flags & SERIAL_PURGE_RXCLEAR)
                p.rx_.clear();
        }
        p.finish(done);
        if (flags & SERIAL_PURGE_TXCLEAR)
            p.line_.purge_tx();
        return STATUS_SUCCESS;
    }

    // The line is asked outside the lock; the setting changes under it.
    static NTSTATUS set_baud(SerialPort& p, Control& c) {
        const ULONG baud = read_as<SERIAL_BAUD_RATE>(c.buffer).BaudRate;
        if (baud == 0 || !p.line_.supports_baud(baud))
            return STATUS_INVALID_PARAMETER;
        std::lock_guard lock(p.mutex_);
        p.format_.baud = baud;
        c.change.format = p.format_;
        return STATUS_SUCCESS;
    }

    static NTSTATUS immediate_char(SerialPort& p, Control& c) {
        bool open = false;
        {
            std::lock_guard lock(p.mutex_);
            open = p.open_;
        }
        if (!open)
            return STATUS_INVALID_DEVICE_STATE;
        p.line_.transmit(std::span<const std::uint8_t>(c.buffer, 1));
        return STATUS_SUCCESS;
    }

    static NTSTATUS get_baud(SerialPort& p, Control& c) {
        return reply(c, SERIAL_BAUD_RATE{p.format_.baud});
    }

    static NTSTATUS set_line_control(SerialPort& p, Control& c) {
        const auto lc = read_as<SERIAL_LINE_CONTROL>(c.buffer);
        const bool bits_ok = lc.WordLength >= 5 && lc.WordLength <= 8;
        const bool parity_ok = lc.Parity <= SPACE_PARITY;
        // One and a half stop bits go only with five data bits, two only with more.
        const bool stop_ok = lc.StopBits == STOP_BIT_1 ||
                             (lc.StopBits == STOP_BITS_1_5 && lc.WordLength == 5) ||
                             (lc.StopBits == STOP_BITS_2 && lc.WordLength > 5);
        if (!bits_ok || !parity_ok || !stop_ok)
            return STATUS_INVALID_PARAMETER;
        p.format_ = to_format(lc, p.format_.baud);
        c.change.format = p.format_;
        return STATUS_SUCCESS;
    }

    static NTSTATUS get_line_control(SerialPort& p, Control& c) {
        return reply(c, to_line_control(p.format_));
    }

    static NTSTATUS set_chars(SerialPort& p, Control& c) {
        const auto chars = read_as<SERIAL_CHARS>(c.buffer);
        const bool xon_xoff =
            (p.handflow_.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) != 0;
        if (xon_xoff && chars.XonChar == chars.XoffChar)
            return STATUS_INVALID_PARAMETER;
        p.chars_ = chars;
        return STATUS_SUCCESS;
    }

    static NTSTATUS set_timeouts(SerialPort& p, Control& c) {
        const auto t = read_as<SERIAL_TIMEOUTS>(c.buffer);
        if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == kMaxUlong &&
            t.ReadTotalTimeoutConstant == kMaxUlong)
            return STATUS_INVALID_PARAMETER;
        p.timeouts_ = t;
        return STATUS_SUCCESS;
    }

    static NTSTATUS set_handflow(SerialPort& p, Control& c) {
        const auto hf = read_as<SERIAL_HANDFLOW>(c.buffer);
        const bool bits_ok = (hf.ControlHandShake & ~kControlValid) == 0 &&
                             (hf.FlowReplace & ~kFlowValid) == 0 &&
                             (hf.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_MASK;
        const bool limits_ok = hf.XonLimit >= 0 && hf.XoffLimit >= 0 &&
                               static_cast<ULONG>(hf.XonLimit) <= p.queue_in_ &&
                               static_cast<ULONG>(hf.XoffLimit) <= p.queue_in_;
        if (!bits_ok || !limits_ok)
            return STATUS_INVALID_PARAMETER;
        p.handflow_ = hf;
        c.change = p.apply_handflow_lines();
        return STATUS_SUCCESS;
    }

    static NTSTATUS set_queue_size(SerialPort& p, Control& c) {
        const auto q = read_as<QueueSize>(c.buffer);
        p.queue_in_ = std::max(p.queue_in_, q.InSize);
        p.queue_out_ = std::max(p.queue_out_, q.OutSize);
        p.rx_capacity_ = std::max<std::size_t>(p.rx_capacity_, p.queue_in_);
        return STATUS_SUCCESS;
    }

    static NTSTATUS set_break(SerialPort& p, Control& c) {
        p.break_ = c.code == IOCTL_SERIAL_SET_BREAK_ON;
        c.change.brk = p.break_;
        return STATUS_SUCCESS;
    }

    static NTSTATUS set_dtr(SerialPort& p, Control& c) {
        // Under hand-shake control the port owns the line.
        if ((p.handflow_.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
            return STATUS_INVALID_PARAMETER;
        p.dtr_ = c.code == IOCTL_SERIAL_SET_DTR;
        c.change.dtr = p.dtr_;
        return STATUS_SUCCESS;
    }

    static NTSTATUS set_rts(SerialPort& p, Control& c) {
        if ((p.handflow_.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE ||
            (p.handflow_.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_MASK)
            return STATUS_INVALID_PARAMETER;
        p.rts_ = c.code == IOCTL_SERIAL_SET_RTS;
        c.change.rts = p.rts_;
        return STATUS_SUCCESS;
    }

    static NTSTATUS get_dtr_rts(SerialPort& p, Control& c) {
        return reply(c, static_cast<ULONG>((p.dtr_ ? kDtrState : 0) | (p.rts_ ? kRtsState : 0)));
    }

    static NTSTATUS nothing(SerialPort&, Control&) { return STATUS_SUCCESS; }
};

const SerialPort::Controls::Row SerialPort::Controls::kRows[] = {
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0, Run::Completes, set_wait_mask},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG), Run::Completes, wait},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG), Run::Alone, modem_status},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), Run::Alone, comm_status},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0, Run::Alone, purge},
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0, Run::Alone, set_baud},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR), 0, Run::Alone, immediate_char},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE), Run::Locked, get_baud},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, Run::Locked, set_line_control},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), Run::Locked, get_line_control},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0, Run::Locked, set_chars},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS), Run::Locked,
     [](SerialPort& p, Control& c) { return reply(c, p.chars_); }},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, Run::Locked, set_timeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), Run::Locked,
     [](SerialPort& p, Control& c) { return reply(c, p.timeouts_); }},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, Run::Locked, set_handflow},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), Run::Locked,
     [](SerialPort& p, Control& c) { return reply(c, p.handflow_); }},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(QueueSize), 0, Run::Locked, set_queue_size},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, Run::Locked, set_break},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, Run::Locked, set_break},
    {IOCTL_SERIAL_SET_DTR, 0, 0, Run::Locked, set_dtr},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, Run::Locked, set_dtr},
    {IOCTL_SERIAL_SET_RTS, 0, 0, Run::Locked, set_rts},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, Run::Locked, set_rts},
    {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG), Run::Locked, get_dtr_rts},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG), Run::Locked,
     [](SerialPort& p, Control& c) { return reply(c, p.wait_mask_); }},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, Run::Locked, nothing},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, Run::Locked, nothing},
    {IOCTL_SERIAL_SET_XON, 0, 0, Run::Locked, nothing},
};

NTSTATUS SerialPort::on_control(PIRP irp, Tap::Id tap) {
    const PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
    const auto& rows = Controls::kRows;
    const auto* row = std::find_if(std::begin(rows), std::end(rows),
                                   [code](const Controls::Row& r) { return r.code == code; });
    if (row == std::end(rows))
        return complete(irp, tap, STATUS_INVALID_DEVICE_REQUEST, 0);
    // Larger buffers than a request needs are normal; only short ones are refused.
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (sl->Parameters.DeviceIoControl.InputBufferLength < row->in ||
        sl->Parameters.DeviceIoControl.OutputBufferLength < row->out)
        return complete(irp, tap, STATUS_BUFFER_TOO_SMALL, 0);
    if ((row->in != 0 || row->out != 0) && buffer == nullptr)
        return complete(irp, tap, STATUS_INVALID_PARAMETER, 0);

    Control c{irp, tap, code, buffer};
    if (row->run == Controls::Run::Completes)
        return row->handler(*this, c);
    NTSTATUS status;
    if (row->run == Controls::Run::Locked) {
        std::lock_guard lock(mutex_);
        status = row->handler(*this, c);
    } else {
        status = row->handler(*this, c);
    }
    apply(c.change);
    return complete(irp, tap, status, NT_SUCCESS(status) ? c.information : 0);
}

} // namespace qkr::serial
