// I/O references, the bounded wait for idleness, and the queue of held requests.
#include "kestrune.h"

LONG AcquireIoReference(DeviceRecord* record) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->ioCountLock);
    LONG count = InterlockedIncrement(&record->outstandingIo);
    // The first request beyond the device's own reference: the device is no longer idle.
    if (count == 2) {
        KeClearEvent(&record->stopEvent);
    }
    KeReleaseSpinLock(&record->ioCountLock, oldIrql);
    return count;
}

LONG ReleaseIoReference(DeviceRecord* record) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->ioCountLock);
    LONG count = InterlockedDecrement(&record->outstandingIo);
    if (count == 1) {
        KeSetEvent(&record->stopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (count > 0 && count == record->drainLevel) {
        KeSetEvent(&record->drainEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&record->ioCountLock, oldIrql);
    // The removal waits for this event and then deletes the device with its record, lock
    // included: the lock is released first, and nothing touches the record after the signal.
    if (count == 0) {
        KeSetEvent(&record->removeEvent, IO_NO_INCREMENT, FALSE);
    }
    return count;
}

BOOLEAN WaitForIdle(DeviceRecord* record, LONG level) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->ioCountLock);
    record->drainLevel = level;
    KeClearEvent(&record->drainEvent);
    BOOLEAN idle = InterlockedCompareExchange(&record->outstandingIo, 0, 0) <= level;
    KeReleaseSpinLock(&record->ioCountLock, oldIrql);
    if (!idle) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(kDrainTimeoutMs) * 10000;
        idle = KeWaitForSingleObject(&record->drainEvent, Executive, KernelMode, FALSE, &timeout) ==
               STATUS_SUCCESS;
    }
    oldIrql = KeAcquireSpinLockRaiseToDpc(&record->ioCountLock);
    record->drainLevel = 0;
    KeReleaseSpinLock(&record->ioCountLock, oldIrql);
    return idle;
}

namespace {

// A held request is in pendingQueue, linked through Tail.Overlay.ListEntry, with this cancel
// routine set. Whoever clears the cancel routine owns the request: the cancel routine (when
// IoCancelIrp cleared it) takes it out of the list; a walk that finds it already cleared leaves
// the request to the cancel routine.
VOID NTAPI CancelHeldRequest(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceRecord* record = RecordOf(device);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

// Takes the first held request (of `file`, unless null) off the queue, passing over requests
// whose cancellation has begun; null when there is none.
PIRP RemoveHeldRequest(DeviceRecord* record, PFILE_OBJECT file) EXCLUDES(record->queueLock) {
    PIRP found = nullptr;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    for (PLIST_ENTRY entry = record->pendingQueue.Flink; entry != &record->pendingQueue;
         entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (file != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != file) {
            continue;
        }
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            found = irp;
            break;
        }
    }
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    return found;
}

// Takes the first held request off the queue to send it on, as long as requests are allowed;
// when there is none (or requests are held again) the sending ends, in the same step under the
// lock, so that no request can queue behind a sender that has already left.
PIRP NextRequestToResume(DeviceRecord* record) EXCLUDES(record->queueLock) {
    PIRP found = nullptr;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    if (QueueStateOf(record) == AllowRequests) {
        for (PLIST_ENTRY entry = record->pendingQueue.Flink; entry != &record->pendingQueue;
             entry = entry->Flink) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
                RemoveEntryList(entry);
                found = irp;
                break;
            }
        }
    }
    if (found == nullptr) {
        record->heldRequestsResuming = FALSE;
    }
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    return found;
}

// Sends the held requests on at PASSIVE_LEVEL, where their dispatch routines run, in the order
// they arrived: each passes the gates again, so a request refused by a device that has changed
// state meanwhile is treated as any arriving request. The work item's I/O reference keeps a
// removal waiting until it is done.
VOID NTAPI SendHeldRequestsOn(PDEVICE_OBJECT device, PVOID context) {
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
    DeviceRecord* record = RecordOf(device);
    for (PIRP irp = NextRequestToResume(record); irp != nullptr; irp = NextRequestToResume(record)) {
        switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_READ:
            DispatchReadWrite(device, irp, 1, TRUE);
            break;
        case IRP_MJ_WRITE:
            DispatchReadWrite(device, irp, 0, TRUE);
            break;
        default:
            DispatchControlRequest(device, irp, TRUE);
            break;
        }
    }
    ReleaseIoReference(record);
}

} // namespace

BOOLEAN HoldRequestIfNeeded(DeviceRecord* record, PIRP irp, BOOLEAN resumed) {
    // Looked at under queueLock: ProcessPendingQueue takes the lock after every change of
    // queueState, so a request that is queued here is met by its walk, or sees the new state.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    BOOLEAN hold = QueueStateOf(record) == HoldRequests ||
                   (resumed == FALSE && record->heldRequestsResuming);
    if (hold == FALSE) {
        KeReleaseSpinLock(&record->queueLock, oldIrql);
        return FALSE;
    }
    // A request that was being sent on keeps its place at the front.
    if (resumed) {
        InsertHeadList(&record->pendingQueue, &irp->Tail.Overlay.ListEntry);
    } else {
        InsertTailList(&record->pendingQueue, &irp->Tail.Overlay.ListEntry);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeldRequest);
    // A cancel that came before the routine was set had nothing to call: if the routine can
    // still be cleared the request is ours and ends now; otherwise the cancel routine, which
    // IoCancelIrp has just called, takes it out once the lock is free.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&record->queueLock, oldIrql);
        CompleteRequest(irp, STATUS_CANCELLED, 0);
        return TRUE;
    }
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    return TRUE;
}

// Called after every change of queueState: held requests go on once requests are allowed and
// fail once the device is going away; while requests are held they stay. Up to DISPATCH_LEVEL.
VOID ProcessPendingQueue(DeviceRecord* record) {
    ULONG queueState = QueueStateOf(record);
    if (queueState == FailRequests) {
        for (PIRP irp = RemoveHeldRequest(record, nullptr); irp != nullptr;
             irp = RemoveHeldRequest(record, nullptr)) {
            CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
        }
    } else if (queueState == AllowRequests) {
        // One sender at a time: one that is running goes on with whatever is queued.
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
        BOOLEAN send = !IsListEmpty(&record->pendingQueue) && !record->heldRequestsResuming;
        if (send) {
            record->heldRequestsResuming = TRUE;
        }
        KeReleaseSpinLock(&record->queueLock, oldIrql);
        if (send) {
            PIO_WORKITEM workItem = IoAllocateWorkItem(record->self);
            if (workItem != nullptr) {
                AcquireIoReference(record);
                IoQueueWorkItem(workItem, SendHeldRequestsOn, DelayedWorkQueue, workItem);
            } else {
                for (PIRP irp = RemoveHeldRequest(record, nullptr); irp != nullptr;
                     irp = RemoveHeldRequest(record, nullptr)) {
                    CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
                }
                oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
                record->heldRequestsResuming = FALSE;
                KeReleaseSpinLock(&record->queueLock, oldIrql);
            }
        }
    }
    // Reads that wait for their turn go on when requests are allowed again, and end when the
    // device fails requests.
    ResumeQueuedReads(record);
}

VOID CancelRequestsOfFile(DeviceRecord* record, PFILE_OBJECT file) {
    if (file == nullptr) {
        return;
    }
    for (PIRP irp = RemoveHeldRequest(record, file); irp != nullptr;
         irp = RemoveHeldRequest(record, file)) {
        CompleteRequest(irp, STATUS_CANCELLED, 0);
    }
    CancelQueuedReadsOfFile(record, file);
}
