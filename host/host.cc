#include "host/host.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace qkr::host {

// ---------------------------------------------------------------------------------------------
// Host
// ---------------------------------------------------------------------------------------------
namespace {
// The start-up queries' success lines; the start runs them in the thread that sent it.
constexpr std::string_view kTypeAnswered = "[Qkr_StartDevice] get reader type success";
constexpr std::string_view kStatusAnswered = "[Qkr_StartDevice] get reader status success";
thread_local int start_answers = 0;
} // namespace

Host::Host(kern::ClockMode mode, std::function<void(std::string_view)> trace,
           kern::ScheduleOptions schedule)
    : trace_(std::move(trace)), kernel_(std::make_unique<kern::Kernel>(mode, schedule)) {
    // Set before the load, so that the trace begins with DriverEntry.
    kernel_->set_debug_sink([this](std::string_view line) {
        if (line == kTypeAnswered || line == kStatusAnswered)
            ++start_answers;
        if (trace_)
            trace_(line);
    });
    // Loading a driver image starts it with zeroed globals; a process that loads the driver
    // more than once (one Host per test) has to do that by hand.
    std::fill(std::begin(DeviceInstanceInUse), std::end(DeviceInstanceInUse), UCHAR{0});
    driver_ = kernel_->load_driver("qkr", DriverEntry);
    if (driver_ == nullptr)
        throw std::runtime_error("the kernel refused to load the qkr driver");
}

Host::~Host() {
    while (!readers_.empty())
        readers_.pop_back();
    // The kernel checks watched tags at every driver's unload, the serial ports' included, so
    // they are watched only once no reader is left to hold any.
    kernel_->watch_pool_tag(QKR_POOL_TAG);
    kernel_->watch_pool_tag(SMCLIB_POOL_TAG);
    kernel_->unload_driver(driver_);
    kernel_.reset();
}

Reader& Host::add_reader(ReaderOptions options) {
    if (readers_.size() >= kMaxReaders)
        throw std::length_error("a host serves at most four readers");
    readers_.push_back(std::unique_ptr<Reader>(new Reader(*this, std::move(options), next_index_)));
    ++next_index_;
    return *readers_.back();
}

void Host::release_reader(Reader& reader) {
    auto it = std::find_if(readers_.begin(), readers_.end(),
                           [&](const std::unique_ptr<Reader>& r) { return r.get() == &reader; });
    if (it != readers_.end())
        readers_.erase(it);
}

std::size_t Host::readers() const {
    return readers_.size();
}

// ---------------------------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------------------------
Reader::Reader(Host& host, ReaderOptions options, int index) : host_(host), index_(index) {
    kern::Kernel& k = host_.kernel();
    std::string name = options.name.empty() ? "reader" + std::to_string(index_) : options.name;
    if (options.tty) {
        if (k.mode() != kern::ClockMode::Real)
            throw std::logic_error("a real serial port needs a host on the real clock");
        options.tty->format = options.line;
        tty_ = std::make_unique<serial::TtyLine>(std::move(*options.tty));
    }
    pdo_ = k.create_pdo(name);
    if (tty_) {
        port_ = serial::SerialPort::create(k, pdo_, *tty_);
    } else {
        line_ = std::make_unique<serial::SimLine>(k, options.line);
        port_ = serial::SerialPort::create(k, pdo_, *line_);
    }
    if (!port_) {
        k.delete_pdo(pdo_);
        throw std::runtime_error("the kernel refused to create the serial port of " + name);
    }
    port_->tap().set_enabled(options.tap);
    if (tty_)
        return;
    line_->set_tap(&port_->tap());
    if (options.device != nullptr) {
        line_->connect_device(options.device);
    } else {
        sim_ = std::make_unique<sim::ReaderSim>(std::move(options.sim));
        line_->connect_device(sim_.get());
    }
}

serial::SimLine& Reader::line() {
    if (!line_)
        throw std::logic_error("this reader is on a real serial port, not a simulated line");
    return *line_;
}

std::string Reader::line_error() const {
    return tty_ ? tty_->last_error() : std::string();
}

sim::ReaderSim& Reader::sim() {
    if (!sim_)
        throw std::logic_error("this reader has no simulator at the far end of its line");
    return *sim_;
}

void Reader::act_on_sim(const std::function<void(sim::ReaderSim&)>& fn) {
    sim::ReaderSim& s = sim();
    // Shared with the timer: the waiter may return while KeSetEvent is still inside the event.
    auto done = std::make_shared<KEVENT>();
    KeInitializeEvent(done.get(), NotificationEvent, FALSE);
    kernel().schedule_after(
        0,
        [&s, &fn, done] {
            fn(s);
            KeSetEvent(done.get(), IO_NO_INCREMENT, FALSE);
        },
        "simulator action");
    KeWaitForSingleObject(done.get(), Executive, KernelMode, FALSE, nullptr);
}

Reader::~Reader() {
    if (added_)
        remove();
    if (tty_) {
        // The port's close already went to the tty; what it wrote last may still be leaving.
        for (int i = 0; i < 100 && tty_->is_open() && tty_->tx_queued() != 0; ++i)
            kernel().sleep_for(kern::milliseconds(10));
        port_.reset();
        tty_.reset();
        kernel().delete_pdo(pdo_);
        return;
    }
    // Let the line deliver what the removal set in motion (the port's close drops DTR and RTS,
    // the simulator may still be answering) before its ends are taken apart.
    for (int i = 0; i < 100 && (line_->host_tx_queued() != 0 || line_->device_tx_queued() != 0);
         ++i)
        kernel().sleep_for(kern::milliseconds(10));
    kernel().sleep_for(kern::milliseconds(10));
    line_->connect_device(nullptr);
    line_->set_tap(nullptr);
    sim_.reset();
    port_.reset();
    line_.reset();
    kernel().delete_pdo(pdo_);
}

kern::Kernel& Reader::kernel() {
    return host_.kernel();
}

NTSTATUS Reader::add() {
    NTSTATUS status = kernel().add_device(host_.driver(), pdo_);
    added_ = (status == STATUS_SUCCESS);
    return status;
}

NTSTATUS Reader::pnp(UCHAR minor) {
    if (minor == IRP_MN_START_DEVICE)
        start_answers = 0;
    NTSTATUS status = kernel().send_pnp(pdo_, minor);
    switch (minor) {
    case IRP_MN_START_DEVICE:
        started_ = status == STATUS_SUCCESS;
        query_ = -1;
        was_started_ = was_started_ || started_;
        start_answered_ = start_answers > 0;
        break;
    case IRP_MN_STOP_DEVICE:
        started_ = false;
        query_ = -1;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        started_ = false;
        query_ = minor;
        break;
    case IRP_MN_REMOVE_DEVICE:
        started_ = false;
        added_ = false;
        was_started_ = false;
        query_ = -1;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (status == STATUS_SUCCESS)
            query_ = minor;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        query_ = -1;
        break;
    default:
        break;
    }
    return status;
}

NTSTATUS Reader::start() {
    return pnp(IRP_MN_START_DEVICE);
}
// A stop and a removal come after their query, as the Plug and Play manager sends them; a query
// the driver refuses is cancelled and its answer returned.
NTSTATUS Reader::stop() {
    if (query_ != IRP_MN_QUERY_STOP_DEVICE) {
        if (query_ == IRP_MN_QUERY_REMOVE_DEVICE)
            cancel_remove();
        const NTSTATUS status = query_stop();
        if (!NT_SUCCESS(status)) {
            cancel_stop();
            return status;
        }
    }
    return pnp(IRP_MN_STOP_DEVICE);
}
NTSTATUS Reader::remove() {
    if (was_started_ && query_ != IRP_MN_QUERY_REMOVE_DEVICE && query_ != IRP_MN_SURPRISE_REMOVAL) {
        if (query_ == IRP_MN_QUERY_STOP_DEVICE)
            cancel_stop();
        const NTSTATUS status = query_remove();
        if (!NT_SUCCESS(status)) {
            cancel_remove();
            return status;
        }
    }
    return pnp(IRP_MN_REMOVE_DEVICE);
}
NTSTATUS Reader::query_stop() {
    return pnp(IRP_MN_QUERY_STOP_DEVICE);
}
NTSTATUS Reader::cancel_stop() {
    return pnp(IRP_MN_CANCEL_STOP_DEVICE);
}
NTSTATUS Reader::query_remove() {
    return pnp(IRP_MN_QUERY_REMOVE_DEVICE);
}
NTSTATUS Reader::cancel_remove() {
    return pnp(IRP_MN_CANCEL_REMOVE_DEVICE);
}
NTSTATUS Reader::surprise_removal() {
    return pnp(IRP_MN_SURPRISE_REMOVAL);
}

PDEVICE_OBJECT Reader::fdo() const {
    if (!added_)
        return nullptr;
    return port_->device()->AttachedDevice;
}

DEVICE_EXTENSION* Reader::extension() const {
    PDEVICE_OBJECT device = fdo();
    return device ? static_cast<DEVICE_EXTENSION*>(device->DeviceExtension) : nullptr;
}

SMARTCARD_EXTENSION* Reader::slot(int n) const {
    DEVICE_EXTENSION* e = extension();
    if (e == nullptr)
        return nullptr;
    return n == 0 ? &e->SmartcardExtension : &e->SecondSmartcardExtension;
}

READER_EXTENSION* Reader::reader_extension(int n) const {
    SMARTCARD_EXTENSION* s = slot(n);
    return s ? s->ReaderExtension : nullptr;
}

kern::FileHandle Reader::open() {
    kern::FileHandle handle;
    open(&handle);
    return handle;
}

NTSTATUS Reader::open(kern::FileHandle* handle) {
    return kernel().open(pdo_, handle);
}

namespace {
NTSTATUS control(kern::FileHandle& handle, ULONG code, std::span<const std::uint8_t> input,
                 std::vector<std::uint8_t>* output, ULONG output_length, bool internal) {
    std::vector<std::uint8_t> buffer(output_length);
    ULONG_PTR information = 0;
    NTSTATUS status = handle.ioctl(code, input, buffer, &information, internal);
    if (output != nullptr) {
        buffer.resize(std::min<std::size_t>(information, buffer.size()));
        *output = std::move(buffer);
    }
    return status;
}
} // namespace

NTSTATUS Reader::ioctl(kern::FileHandle& handle, ULONG code, std::span<const std::uint8_t> input,
                       std::vector<std::uint8_t>* output, ULONG output_length) {
    return control(handle, code, input, output, output_length, false);
}

NTSTATUS Reader::ioctl_slot1(kern::FileHandle& handle, ULONG code,
                             std::span<const std::uint8_t> input, std::vector<std::uint8_t>* output,
                             ULONG output_length) {
    return control(handle, code, input, output, output_length, true);
}

NTSTATUS Reader::ioctl(ULONG code, std::span<const std::uint8_t> input,
                       std::vector<std::uint8_t>* output, ULONG output_length) {
    kern::FileHandle handle;
    NTSTATUS status = open(&handle);
    if (status != STATUS_SUCCESS)
        return status;
    return control(handle, code, input, output, output_length, false);
}

NTSTATUS Reader::ioctl_slot1(ULONG code, std::span<const std::uint8_t> input,
                             std::vector<std::uint8_t>* output, ULONG output_length) {
    kern::FileHandle handle;
    NTSTATUS status = open(&handle);
    if (status != STATUS_SUCCESS)
        return status;
    return control(handle, code, input, output, output_length, true);
}

Reader::GoneWatch& Reader::GoneWatch::operator=(GoneWatch&& other) noexcept {
    if (this != &other) {
        end();
        kernel_ = std::exchange(other.kernel_, nullptr);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void Reader::GoneWatch::end() {
    if (kernel_ != nullptr)
        kernel_->remove_interface_listener(id_);
    kernel_ = nullptr;
}

Reader::GoneWatch Reader::watch_gone(std::function<void()> gone) {
    const PDEVICE_OBJECT pdo = pdo_;
    return {kernel(), kernel().add_interface_listener(
                          [pdo, gone = std::move(gone)](const kern::InterfaceRecord& r) {
                              if (r.pdo == pdo && !r.enabled)
                                  gone();
                          })};
}

bool Reader::interfaces_disabled() {
    for (const auto& r : kernel().interfaces())
        if (r.pdo == pdo_ && r.enabled)
            return false;
    return true;
}

bool Reader::power_lost() {
    const int query = query_;
    const bool queried = query == IRP_MN_QUERY_STOP_DEVICE || query == IRP_MN_QUERY_REMOVE_DEVICE;
    return started_ && !queried && interfaces_disabled();
}

NTSTATUS Reader::restart_after_power_loss() {
    std::lock_guard lock(restart_mu_);
    if (!power_lost())
        return STATUS_SUCCESS;
    if (line_ && !line_->modem_lines().dsr)
        return STATUS_DEVICE_NOT_CONNECTED;
    NTSTATUS status = stop();
    if (status != STATUS_SUCCESS)
        return status;
    status = start();
    if (status == STATUS_SUCCESS && !start_answered_)
        return STATUS_DEVICE_NOT_CONNECTED;
    return status;
}

NTSTATUS Reader::open_port(bool configure) {
    PDEVICE_OBJECT device = fdo();
    if (device == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    DEVICE_EXTENSION* e = extension();
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    IO_STATUS_BLOCK iosb{};
    irp->UserIosb = &iosb;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->MinorFunction = 0;
    stack->Parameters.Create = {};
    NTSTATUS status =
        Qkr_CallLowerDriver(e->SmartcardExtension.ReaderExtension->AttachedDeviceObject, irp);
    IoFreeIrp(irp);
    if (status != STATUS_SUCCESS)
        return status;
    KeClearEvent(&e->SerialCloseDone);
    if (!configure)
        return STATUS_SUCCESS;
    return Qkr_ConfigureSerialPort(&e->SmartcardExtension);
}

void Reader::close_port() {
    if (PDEVICE_OBJECT device = fdo())
        Qkr_CloseSerialPort(device, nullptr);
}

std::vector<std::uint8_t> ulong_input(ULONG value) {
    std::vector<std::uint8_t> b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

std::vector<std::uint8_t> transmit_input(ULONG protocol, std::span<const std::uint8_t> command) {
    const SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
    std::vector<std::uint8_t> in(sizeof header + command.size());
    std::memcpy(in.data(), &header, sizeof header);
    std::copy(command.begin(), command.end(), in.begin() + sizeof header);
    return in;
}

std::vector<std::uint8_t> transmit_response(const std::vector<std::uint8_t>& output) {
    std::size_t skip = sizeof(SCARD_IO_REQUEST);
    if (output.size() >= sizeof(SCARD_IO_REQUEST)) {
        SCARD_IO_REQUEST back;
        std::memcpy(&back, output.data(), sizeof back);
        if (back.cbPciLength >= sizeof back && back.cbPciLength <= output.size())
            skip = back.cbPciLength;
    }
    return std::vector<std::uint8_t>(output.begin() + std::min(skip, output.size()), output.end());
}

NTSTATUS SlotClient::call(ULONG code, const Data& input, Data* output, ULONG output_length) {
    return slot_ == 0 ? reader_->ioctl(*handle_, code, input, output, output_length)
                      : reader_->ioctl_slot1(*handle_, code, input, output, output_length);
}

NTSTATUS SlotClient::power(ULONG minor, Data* atr, ULONG room) {
    Data scratch;
    return call(IOCTL_SMARTCARD_POWER, ulong_input(minor), atr != nullptr ? atr : &scratch, room);
}

NTSTATUS SlotClient::set_protocol(ULONG accepted, ULONG* selected) {
    Data out;
    const NTSTATUS status = call(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_input(accepted), &out, 4);
    if (selected != nullptr) {
        *selected = 0xFFFFFFFF;
        if (out.size() == sizeof(ULONG))
            std::memcpy(selected, out.data(), sizeof(ULONG));
    }
    return status;
}

NTSTATUS SlotClient::transmit(ULONG protocol, const Data& apdu, Data* response, ULONG room) {
    Data out;
    const NTSTATUS status =
        call(IOCTL_SMARTCARD_TRANSMIT, transmit_input(protocol, apdu), &out, room);
    response->clear();
    if (out.size() >= sizeof(SCARD_IO_REQUEST))
        response->assign(out.begin() + sizeof(SCARD_IO_REQUEST), out.end());
    return status;
}

ULONG SlotClient::state() {
    Data out;
    call(IOCTL_SMARTCARD_GET_STATE, {}, &out, 4);
    ULONG v = 0xFFFFFFFF;
    if (out.size() == sizeof v)
        std::memcpy(&v, out.data(), sizeof v);
    return v;
}

kern::PendingIo SlotClient::park(ULONG tracking_code) {
    return handle_->ioctl_async(tracking_code, {}, 0, slot_ == 1);
}

} // namespace qkr::host
