// Life cycle of the library's per-slot state and the slot's remove lock.
#include "platform/kernel/kernel.h"
#include "platform/smclib/private.h"

#include <cstring>
#include <string>

using namespace qkr::smclib;

namespace {

// The documented remove lock counts every release against an acquire; one too many lets removal
// free the device under a request that still runs.
void report_extra_release(const char* call) {
    qkr::kern::Kernel::current().verifier_failure(
        std::string(call) + ": remove lock released more often than it was acquired");
}

void free_all(SMARTCARD_EXTENSION& ext) {
    if (ext.SmartcardRequest.Buffer != nullptr)
        ExFreePoolWithTag(ext.SmartcardRequest.Buffer, SMCLIB_POOL_TAG);
    ext.SmartcardRequest.Buffer = nullptr;
    ext.SmartcardRequest.BufferLength = 0;
    if (ext.SmartcardReply.Buffer != nullptr)
        ExFreePoolWithTag(ext.SmartcardReply.Buffer, SMCLIB_POOL_TAG);
    ext.SmartcardReply.Buffer = nullptr;
    ext.SmartcardReply.BufferLength = 0;
    if (ext.OsData != nullptr) {
        if (ext.OsData->LibraryPrivate != nullptr)
            ExFreePoolWithTag(ext.OsData->LibraryPrivate, SMCLIB_POOL_TAG);
        ExFreePoolWithTag(ext.OsData, SMCLIB_POOL_TAG);
    }
    ext.OsData = nullptr;
}

} // namespace

NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION& ext = *SmartcardExtension;
    if (ext.Version < SMCLIB_VERSION)
        return STATUS_INVALID_PARAMETER;
    if (ext.SmartcardRequest.BufferSize < SMCLIB_MIN_BUFFER_SIZE ||
        ext.SmartcardReply.BufferSize < SMCLIB_MIN_BUFFER_SIZE)
        return STATUS_INVALID_PARAMETER;

    ext.OsData = nullptr;
    ext.SmartcardRequest.Buffer = nullptr;
    ext.SmartcardReply.Buffer = nullptr;

    auto* os = static_cast<OS_DEP_DATA*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(OS_DEP_DATA), SMCLIB_POOL_TAG));
    if (os == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(static_cast<void*>(os), 0, sizeof *os);
    ext.OsData = os;

    auto* priv = static_cast<LibraryPrivate*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(LibraryPrivate), SMCLIB_POOL_TAG));
    ext.SmartcardRequest.Buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, ext.SmartcardRequest.BufferSize, SMCLIB_POOL_TAG));
    ext.SmartcardReply.Buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, ext.SmartcardReply.BufferSize, SMCLIB_POOL_TAG));
    os->LibraryPrivate = priv;
    if (priv == nullptr || ext.SmartcardRequest.Buffer == nullptr ||
        ext.SmartcardReply.Buffer == nullptr) {
        free_all(ext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(static_cast<void*>(priv), 0, sizeof *priv);
    std::memset(ext.SmartcardRequest.Buffer, 0, ext.SmartcardRequest.BufferSize);
    std::memset(ext.SmartcardReply.Buffer, 0, ext.SmartcardReply.BufferSize);
    ext.SmartcardRequest.BufferLength = 0;
    ext.SmartcardReply.BufferLength = 0;

    KeInitializeSpinLock(&os->SpinLock);
    KeInitializeEvent(&os->RemoveLock.RemoveEvent, NotificationEvent, FALSE);
    os->RemoveLock.Removed = FALSE;
    os->RemoveLock.RefCount = 0;
    KeInitializeEvent(&priv->SlotMutex, SynchronizationEvent, TRUE);

    ext.LastError = 0;
    reset_t1(ext);
    ext.T1.State = T1_INIT;
    return STATUS_SUCCESS;
}

void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr)
        return;
    free_all(*SmartcardExtension);
}

NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr)
        return STATUS_DELETE_PENDING;
    OS_DEP_DATA& os = *SmartcardExtension->OsData;
    KIRQL irql;
    KeAcquireSpinLock(&os.SpinLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (os.RemoveLock.Removed)
        status = STATUS_DELETE_PENDING;
    else
        os.RemoveLock.RefCount++;
    KeReleaseSpinLock(&os.SpinLock, irql);
    return status;
}

void SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr)
        return;
    OS_DEP_DATA& os = *SmartcardExtension->OsData;
    KIRQL irql;
    KeAcquireSpinLock(&os.SpinLock, &irql);
    // A release without a matching acquire is a caller's bug; it must not wrap the count.
    const bool extra = os.RemoveLock.RefCount == 0;
    if (!extra)
        os.RemoveLock.RefCount--;
    // Signalled under the lock: once the waiter wakes, the record may be freed at any moment.
    if (os.RemoveLock.Removed && os.RemoveLock.RefCount == 0)
        KeSetEvent(&os.RemoveLock.RemoveEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&os.SpinLock, irql);
    if (extra)
        report_extra_release("SmartcardReleaseRemoveLock");
}

void SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr)
        return;
    OS_DEP_DATA& os = *SmartcardExtension->OsData;
    KIRQL irql;
    KeAcquireSpinLock(&os.SpinLock, &irql);
    os.RemoveLock.Removed = TRUE;
    // Removal gives back the hold its own request took.
    const bool extra = os.RemoveLock.RefCount == 0;
    if (!extra)
        os.RemoveLock.RefCount--;
    const bool others = os.RemoveLock.RefCount > 0;
    KeReleaseSpinLock(&os.SpinLock, irql);
    if (extra)
        report_extra_release("SmartcardReleaseRemoveLockAndWait");
    if (others) {
        KeWaitForSingleObject(&os.RemoveLock.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
        // The last holder signalled with the lock held; once we get the lock it is done with the
        // record and the caller may free it.
        KeAcquireSpinLock(&os.SpinLock, &irql);
        KeReleaseSpinLock(&os.SpinLock, irql);
    }
}
