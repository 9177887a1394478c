// Shared pieces of the Plug and Play, power, dispatch and tracking tests: one fixture with a whole
// stack from the host harness, one helper for a request sent in the background and awaited with a
// bound on virtual time, and a card callback of the test's own that holds the reader busy.
#pragma once

#include "card/card.h"
#include "driver/driver.h"
#include "host/host.h"
#include "platform/kernel/kernel.h"
#include "sim/card.h"
#include "sim/reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qkr::pnp_test {

using host::Reader;
using Data = std::vector<std::uint8_t>;
using kern::milliseconds;
using kern::seconds;

// Waits on a kernel event for at most `limit` of virtual time; a wait that runs out is a hang,
// and the test ends at once naming it rather than sitting out ctest's time-out.
inline void await(KEVENT* event, const std::string& what, kern::Ticks limit = seconds(60)) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -limit;
    if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS)
        return;
    ADD_FAILURE() << what << ": still waiting after " << limit / kern::kTicksPerSecond << " s";
    std::fflush(stdout);
    std::_Exit(1);
}

// A request sent from a thread of its own, since it may wait at the gate or inside the library:
// a control request of one slot (slot 1 by internal device control) on an open handle, or any.
class Background {
  public:
    Background(kern::Kernel& k, std::string what, std::function<NTSTATUS()> fn) : what_(what) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        thread_ = k.spawn(what_, [this, fn = std::move(fn)] {
            status_ = fn();
            KeSetEvent(&done_, IO_NO_INCREMENT, FALSE);
        });
    }
    Background(Reader& r, kern::FileHandle& h, ULONG code, int n = 0)
        : Background(r.kernel(), "request", [&r, &h, code, n] {
              Data out;
              return n == 0 ? r.ioctl(h, code, {}, &out, sizeof(ULONG))
                            : r.ioctl_slot1(h, code, {}, &out, sizeof(ULONG));
          }) {}
    ~Background() { finish(); }
    bool done() { return KeReadStateEvent(&done_) != 0; }
    NTSTATUS finish() {
        if (thread_.joinable()) {
            await(&done_, what_);
            thread_.join();
        }
        return status_;
    }

  private:
    std::string what_;
    KEVENT done_{};
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
    kern::Thread thread_;
};

// A card callback of the test's own, installed as a slot's vendor callback (the library hands it
// every control code it does not know): it holds a reader conversation as every callback that
// talks to the reader does, exchanges a command, and stops in the middle until let go. A request
// with kCode runs it from a background thread as the object is made.
class HeldCallback {
  public:
    static constexpr ULONG kCode = SCARD_CTL_CODE(3000);
    HeldCallback(Reader& r, kern::FileHandle& h, int n = 0)
        : ext_(host::DriverRecords::slot(r, n)), saved_(ext_->ReaderFunction[RDF_IOCTL_VENDOR]) {
        KeInitializeEvent(&entered_, NotificationEvent, FALSE);
        KeInitializeEvent(&release_, NotificationEvent, FALSE);
        ext_->ReaderFunction[RDF_IOCTL_VENDOR] = routine;
        current_ = this;
        request_ = std::make_unique<Background>(r, h, kCode, n);
        await(&entered_, "the held callback's start");
    }
    ~HeldCallback() {
        let_go();
        request_.reset();
        ext_->ReaderFunction[RDF_IOCTL_VENDOR] = saved_;
        current_ = nullptr;
    }
    // Lets the callback end and returns the request's status.
    NTSTATUS let_go() {
        KeSetEvent(&release_, IO_NO_INCREMENT, FALSE);
        return request_->finish();
    }
    NTSTATUS exchange = STATUS_PENDING;

  private:
    static inline HeldCallback* current_ = nullptr; // the callback table carries no context
    static NTSTATUS routine(PSMARTCARD_EXTENSION ext) {
        HeldCallback* self = current_;
        PDEVICE_EXTENSION dev = Qkr_DeviceExtensionOf(ext);
        Qkr_BeginConversation(dev);
        ext->SmartcardRequest.Buffer[0] = RDCMD_GET_STATUS;
        ext->SmartcardRequest.Buffer[1] = 0;
        ext->SmartcardRequest.Buffer[2] = 0;
        ext->SmartcardRequest.BufferLength = 3;
        self->exchange = Qkr_ExchangeCommand(QKR_MODE_START, ext);
        KeSetEvent(&self->entered_, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&self->release_, Executive, KernelMode, FALSE, nullptr);
        Qkr_EndConversation(dev);
        if (ext->IoRequest.Information != nullptr)
            *ext->IoRequest.Information = 0;
        return STATUS_SUCCESS;
    }
    SMARTCARD_EXTENSION* ext_;
    PRDF_FUNCTION saved_;
    KEVENT entered_{};
    KEVENT release_{};
    std::unique_ptr<Background> request_;
};

// A whole stack on the virtual clock. Readers are removed before the host goes, and the line is
// let deliver what the removal set in motion before the harness takes it apart. The driver's
// records are those of the test's reader unless another one is named.
class Stack : public ::testing::Test {
  protected:
    std::vector<std::shared_ptr<void>> keep; // what the lines lead to outlives the host
    host::Host host;
    Reader* reader = nullptr;
    kern::FileHandle handle;

    ~Stack() override {
        handle.close();
        for (Reader* r : readers_)
            if (r->added())
                r->remove();
        kernel().sleep_for(seconds(1));
    }
    kern::Kernel& kernel() { return host.kernel(); }
    Reader& of(Reader* r) { return r != nullptr ? *r : *reader; }
    DEVICE_EXTENSION* device(Reader* r = nullptr) { return host::DriverRecords::device(of(r)); }
    SMARTCARD_EXTENSION* slot(int n) { return host::DriverRecords::slot(*reader, n); }
    READER_EXTENSION* rx(int n = 0, Reader* r = nullptr) {
        return host::DriverRecords::reader(of(r), n);
    }
    bool gate_open(Reader* r = nullptr) { return KeReadStateEvent(&device(r)->ReaderStarted); }
    bool port_open(Reader* r = nullptr) { return of(r).port().snapshot().open; }
    ULONG state(int n = 0) { return slot(n)->ReaderCapabilities.CurrentState; }
    // Requests of one major function (and control code, if given) the port has seen.
    std::size_t port_requests(UCHAR major, ULONG code = 0, Reader* r = nullptr) {
        std::size_t n = 0;
        for (const serial::TapRequest& q : of(r).tap().requests())
            n += q.major == major && (code == 0 || q.code == code);
        return n;
    }
    int interfaces_enabled() {
        int n = 0;
        for (const kern::InterfaceRecord& i : kernel().interfaces())
            n += i.pdo == reader->pdo() && i.enabled;
        return n;
    }
    Reader& add_reader(host::ReaderOptions options = {}) {
        readers_.push_back(&host.add_reader(std::move(options)));
        return *readers_.back();
    }
    // A reader added and started, with a card in slot 0 if named, and a handle open on it.
    void up(const char* card = "", host::ReaderOptions options = {}) {
        options.sim.slot0_card = card;
        reader = &add_reader(std::move(options));
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        handle = reader->open();
        ASSERT_TRUE(handle.is_open());
        settle();
    }
    void release(Reader& r) {
        std::erase(readers_, &r);
        host.release_reader(r);
    }
    void settle(kern::Ticks span = milliseconds(200)) { kernel().sleep_for(span); }
    // Acts on the reader at the far end and lets the line carry the change to the driver.
    void at_reader(const std::function<void(sim::ReaderSim&)>& fn) {
        reader->act_on_sim(fn);
        settle();
    }
    void insert_card() {
        at_reader([](sim::ReaderSim& s) { s.insert(sim::make_card("t1")); });
    }
    void remove_card() {
        at_reader([](sim::ReaderSim& s) { s.remove(); });
    }
    kern::PendingIo park(ULONG code, int n = 0) {
        kern::PendingIo io = handle.ioctl_async(code, {}, 0, n == 1);
        settle();
        EXPECT_FALSE(io.done()) << "tracking request " << std::hex << code << " ended at once";
        return io;
    }
    // How often the driver logged a line.
    std::size_t count(const std::string& line) {
        const auto log = host.log();
        return static_cast<std::size_t>(std::count(log.begin(), log.end(), line));
    }

  private:
    std::vector<Reader*> readers_;
};

} // namespace qkr::pnp_test
