// The I/O manager's rules a driver breaks most easily, each planted once by a tiny driver and seen
// reported: the second stage of completion, the pending rules, buffered I/O, and lifetimes.
#include "tests/kernel/test_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <thread>

namespace qkr::kern {
namespace {

using test::complete;

struct Resend {
    PDEVICE_OBJECT lower;
    int rounds;
};

NTSTATUS resend_again(PDEVICE_OBJECT, PIRP irp, PVOID context);

void resend_irp(PIRP irp, Resend* r) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoSetCompletionRoutine(irp, resend_again, r, TRUE, TRUE, TRUE);
    IoCallDriver(r->lower, irp);
}

NTSTATUS resend_again(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<Resend*>(context);
    if (--r->rounds > 0)
        resend_irp(irp, r);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class RulesIoTest : public ::testing::Test, protected test::ScriptedStack {
  protected:
    std::optional<Kernel> kernel;
    test::VerifierLog log;
    KEVENT done;
    IO_STATUS_BLOCK iosb;

    void SetUp() override {
        kernel.emplace();
        log.install(*kernel);
        build_stack(*kernel);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        iosb.Status = 0x12345678;
        iosb.Information = 99;
    }
    void TearDown() override {
        tear_down_stack(*kernel);
        kernel.reset();
    }
    // A driver's own buffered request, as Qkr_SerialIo and event tracking build theirs.
    PIRP built(void* in, ULONG in_length, void* out, ULONG out_length) {
        return IoBuildDeviceIoControlRequest(0x1B0000, upper, in, in_length, out, out_length, FALSE,
                                             &done, &iosb);
    }
};

// The status block and the event belong to the request's sender until the I/O manager's second
// stage: not at all for a request that failed without STATUS_PENDING (IoCallDriver said it
// all), and only in the sending thread otherwise.
TEST_F(RulesIoTest, SecondStageOfCompletionIsTheCanonicalPatternsOnly) {
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_NOT_SUPPORTED); };
    EXPECT_EQ(IoCallDriver(upper, built(nullptr, 0, nullptr, 0)), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(iosb.Status, 0x12345678);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    EXPECT_EQ(kernel->irps_live(), 0u);
    // Waiting for the event anyway never ends: the clock reports the deadlock.
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_TRUE(log.saw("deadlock"));
    log.messages.clear();

    // Pending, then completed by another thread: the stage waits for the sender's next wait.
    PIRP parked = nullptr;
    lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        return STATUS_PENDING;
    };
    UCHAR out[4] = {};
    EXPECT_EQ(IoCallDriver(upper, built(nullptr, 0, out, 4)), STATUS_PENDING);
    std::thread([&] {
        std::memcpy(parked->AssociatedIrp.SystemBuffer, "\x01\x02\x03\x04", 4);
        complete(parked, STATUS_NOT_SUPPORTED);
    }).join(); // not a kernel wait: this thread has not waited since
    EXPECT_EQ(iosb.Status, 0x12345678);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED); // a pending failure is reported in full
    EXPECT_TRUE(log.messages.empty()) << log.messages.front();
}

// Each row: what the lower driver (and, where set, upper's completion routine) does wrong.
TEST_F(RulesIoTest, PendingRulesAreReported) {
    struct Case {
        const char* name;
        std::function<NTSTATUS(PIRP)> lower;
        bool routine_propagates;
        const char* report; // null: a correct pattern, nothing reported
    };
    PIRP parked = nullptr;
    const Case cases[] = {
        {"pending without the mark",
         [&](PIRP irp) {
             parked = irp;
             return STATUS_PENDING;
         },
         true, "without marking it pending"},
        {"marked but completed and a success returned",
         [](PIRP irp) {
             IoMarkIrpPending(irp);
             complete(irp, STATUS_SUCCESS);
             return STATUS_SUCCESS;
         },
         true, "pending but returned 0x00000000"},
        {"completion routine drops PendingReturned",
         [&](PIRP irp) {
             IoMarkIrpPending(irp);
             parked = irp;
             return STATUS_PENDING;
         },
         false, "did not propagate PendingReturned"},
        {"completed with STATUS_PENDING",
         [](PIRP irp) {
             irp->IoStatus.Status = STATUS_PENDING;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         },
         true, "completed with STATUS_PENDING"},
        {"marked, parked and propagated",
         [&](PIRP irp) {
             IoMarkIrpPending(irp);
             parked = irp;
             return STATUS_PENDING;
         },
         true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.messages.clear();
        parked = nullptr;
        const bool propagates = c.routine_propagates;
        lower_b.on_irp = [&](PDEVICE_OBJECT, PIRP irp) { return c.lower(irp); };
        upper_b.on_irp = [&, propagates](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp,
                                   propagates
                                       ? PIO_COMPLETION_ROUTINE([](PDEVICE_OBJECT, PIRP i, PVOID) {
                                             if (i->PendingReturned)
                                                 IoMarkIrpPending(i);
                                             return STATUS_SUCCESS;
                                         })
                                       : PIO_COMPLETION_ROUTINE([](PDEVICE_OBJECT, PIRP, PVOID) {
                                             return STATUS_SUCCESS;
                                         }),
                                   nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(lower, irp);
        };
        PIRP irp = flush_irp();
        IoCallDriver(upper, irp);
        if (parked != nullptr)
            complete(parked, STATUS_SUCCESS);
        if (c.report != nullptr)
            EXPECT_TRUE(log.saw(c.report)) << ::testing::PrintToString(log.messages);
        else
            EXPECT_TRUE(log.messages.empty()) << log.messages.front();
        IoFreeIrp(irp);
    }
}

// METHOD_BUFFERED: one system buffer of max(input, output) bytes; the output length bounds the
// reply.
TEST_F(RulesIoTest, BufferedRequestsAreHeldToTheirLengths) {
    UCHAR in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UCHAR out[4] = {};
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0, 9); // one byte past max(8, 4)
        return complete(irp, STATUS_SUCCESS, 4);
    };
    IoCallDriver(upper, built(in, 8, out, 4));
    EXPECT_TRUE(log.saw("wrote past the end of its system buffer of 8 bytes"));

    log.messages.clear();
    lower_b.on_irp = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 5); };
    IoCallDriver(upper, built(in, 8, out, 4));
    EXPECT_TRUE(log.saw("Information 5 beyond its output length of 4"));
}

TEST_F(RulesIoTest, LifetimeMisusesAreReported) {
    // A DPC queued in an IRP's own memory when the IRP is freed.
    PIRP irp = flush_irp();
    auto* dpc = reinterpret_cast<PKDPC>(irp->Tail.Overlay.DriverContext);
    static_assert(sizeof(KDPC) <= sizeof irp->Tail.Overlay.DriverContext);
    KeInitializeDpc(
        dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    IoFreeIrp(irp);
    KeLowerIrql(old);
    EXPECT_TRUE(log.saw("freed while it holds a queued DPC"));

    // Completion routines that send their IRP again, completed at once each time, recurse.
    log.messages.clear();
    Resend resend{lower, 40};
    irp = IoAllocateIrp(lower->StackSize, FALSE);
    resend_irp(irp, &resend);
    EXPECT_TRUE(log.saw("more than a 12 KB kernel stack holds"));
    IoFreeIrp(irp);

    // A driver's request to a device it deleted (an open handle keeps the object in memory).
    log.messages.clear();
    PDEVICE_OBJECT gone = test::make_device(driver, &lower_b);
    FileHandle handle;
    ASSERT_EQ(kernel->open(gone, &handle), STATUS_SUCCESS);
    IoDeleteDevice(gone);
    irp = flush_irp();
    EXPECT_EQ(IoCallDriver(gone, irp), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(log.saw("after IoDeleteDevice"));
    IoFreeIrp(irp);
    handle.close();
}

} // namespace
} // namespace qkr::kern
