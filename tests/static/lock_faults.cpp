// Faults of lock discipline that the clang build must refuse. Each case is compiled on its own
// (-DLOCK_FAULT=n) with the thread-safety analysis as errors, and the test expects the compiler's
// message for that fault; case 0 does the same work correctly and must compile cleanly, so a
// refusal is never just a broken include path. If the annotations ever expand to nothing, the
// fault cases compile and their tests fail.
#include "kestrune.h"

#ifndef LOCK_FAULT
#define LOCK_FAULT 0
#endif

namespace {

LONG TakeUnderLock(DeviceRecord* record) REQUIRES(record->readBufferLock) {
    LONG taken = record->readBufferCount;
    record->readBufferCount = 0;
    return taken;
}

}  // namespace

// The read-ahead buffer's clear.
void ClearBuffer(DeviceRecord* record) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
#if LOCK_FAULT == 1
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    record->readBufferCount = 0;  // written after the lock is gone
#else
    record->readBufferCount = 0;
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
#endif
}

// A queue-state change, as Plug and Play and power make them.
void AllowRequestsAgain(DeviceRecord* record) {
#if LOCK_FAULT == 2
    record->queueState = AllowRequests;  // no lock at all
#else
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    record->queueState = AllowRequests;
    KeReleaseSpinLock(&record->stateLock, oldIrql);
#endif
}

// A routine that needs the buffer's lock held by its caller.
LONG TakeAll(DeviceRecord* record) {
#if LOCK_FAULT == 3
    return TakeUnderLock(record);
#else
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    LONG taken = TakeUnderLock(record);
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    return taken;
#endif
}

// A routine that takes the count's lock itself, called with that lock held.
LONG CountAnotherRequest(DeviceRecord* record) {
#if LOCK_FAULT == 4
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->ioCountLock);
    LONG count = AcquireIoReference(record);
    KeReleaseSpinLock(&record->ioCountLock, oldIrql);
    return count;
#else
    return AcquireIoReference(record);
#endif
}

// A lock taken on one path and left held.
ULONG PreviousStateOf(DeviceRecord* record, bool quick) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    ULONG state = record->previousState;
#if LOCK_FAULT == 5
    if (quick) {
        return state;  // returns with stateLock held
    }
#else
    UNREFERENCED_PARAMETER(quick);
#endif
    KeReleaseSpinLock(&record->stateLock, oldIrql);
    return state;
}

// One record's lock does not guard another record's fields.
LONG BufferedBytesOf(DeviceRecord* first, DeviceRecord* second) {
#if LOCK_FAULT == 6
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&first->readBufferLock);
    LONG count = second->readBufferCount;
    KeReleaseSpinLock(&first->readBufferLock, oldIrql);
#else
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&second->readBufferLock);
    LONG count = second->readBufferCount;
    KeReleaseSpinLock(&second->readBufferLock, oldIrql);
    UNREFERENCED_PARAMETER(first);
#endif
    return count;
}

// The request gate: deviceState is read without its lock only through DeviceStateOf.
bool GateOpen(DeviceRecord* record) {
#if LOCK_FAULT == 7
    return record->deviceState == Working;
#else
    return DeviceStateOf(record) == Working;
#endif
}

// A lock released that this routine never took.
void ReleaseForeignLock(DeviceRecord* record) {
#if LOCK_FAULT == 8
    KeReleaseSpinLock(&record->queueLock, PASSIVE_LEVEL);
#else
    UNREFERENCED_PARAMETER(record);
#endif
}

// A pipe's count of open handles, as creates and closes on several threads change it.
void CountPipeHandle(DeviceRecord* record, ULONG index) {
#if LOCK_FAULT == 9
    ++record->pipeOpen[index];
#else
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    ++record->pipeOpen[index];
    KeReleaseSpinLock(&record->queueLock, oldIrql);
#endif
}
