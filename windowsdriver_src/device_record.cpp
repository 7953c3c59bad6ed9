// I/O references and the pending-request queue of the device record.
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
    KeReleaseSpinLock(&record->ioCountLock, oldIrql);
    // The removal waits for this event and then deletes the device with its record, lock
    // included: the lock is released first, and nothing touches the record after the signal.
    if (count == 0) {
        KeSetEvent(&record->removeEvent, IO_NO_INCREMENT, FALSE);
    }
    return count;
}

// The request gate refuses whatever arrives outside Working, so no request is ever held:
// the queue is looked at under its lock and found empty.
VOID ProcessPendingQueue(DeviceRecord* record) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    BOOLEAN empty = IsListEmpty(&record->pendingQueue);
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    UNREFERENCED_PARAMETER(empty);
    // Reads that wait for their turn go on when requests are allowed again, and end when the
    // device fails requests.
    ResumeQueuedReads(record);
}
