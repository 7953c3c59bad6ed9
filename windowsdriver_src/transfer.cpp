// Bulk reads and writes on pipe handles.
//
// A write goes from the caller's buffer to the pipe as one bulk OUT transfer of its whole length.
// A read goes through the device's read-ahead buffer: the driver asks the device for a chunk of
// readChunkSize bytes whatever the read's length, and hands the caller bytes from the front of
// the buffer; by default a read completes when its full length is there, with partial reads
// (driverOptions bit 0) as soon as any byte is. Bytes beyond what a read takes stay buffered.
//
// The caller's own request carries every transfer and goes down again from the completion
// routine until the read is satisfied. Each request that goes down holds a TransferContext and
// one I/O reference until it is finished.
//
// The reads of a device take turns. One read at a time is past its take from the buffer (it
// holds readTurnTaken); the others wait in readQueue, a cancel-safe queue, in arrival order.
// When the read with the turn finishes, it starts the next waiting one before it lets its own
// reference go. So the IN transfer in flight, if any, is the only writer of the buffer's free
// end, nothing takes from the buffer underneath it, and readBufferCount + the chunk stays
// within the buffer: the read that sends a transfer found fewer bytes than it asked for (at most
// 65535), and a chunk is at most 65536.
//
// A waiting read holds no I/O reference: it is not in progress in the driver, so it never keeps
// a stop or remove query, a removal or a power-down waiting. Instead it is ended by the lifecycle:
// once the device is no longer Working (queries, stop, surprise removal, removal) waiting reads
// fail with STATUS_INVALID_DEVICE_STATE, and never start a transfer; while requests are held
// (power-down) they stay queued without the turn and go on when requests are allowed again.
// Its file object keeps the device object, and with it the queue, in memory while it waits.
//
// What an application can rely on:
// - a cancelled read ends with STATUS_CANCELLED and the buffered bytes, the ones its cancelled
//   transfer had already moved included, up to its length; the rest stays buffered;
// - a read cancelled while it waits for its turn ends with STATUS_CANCELLED and 0 bytes;
// - a failed transfer ends with the USB stack's status; buffered bytes stay for the next read;
// - a clear of the buffer while an IN transfer is in flight discards that transfer's bytes:
//   they were asked for before the clear (readBufferGeneration tells).
#include "kestrune.h"

namespace {

// Page priority flag for a mapping without execute access; not every edition of wdm.h names it.
constexpr ULONG kMappingNoExecute = 0x40000000;

struct TransferContext {
    URB urb;                     // the bulk transfer sent with the request
    LONG remaining;              // bytes still to deliver (read) or send (write)
    ULONG transferred;           // bytes sent so far (write)
    LONG chunkLength;            // length of the transfer in flight
    DeviceRecord* deviceRecord;  // the device
    USBD_PIPE_HANDLE pipeHandle; // the handle's pipe
    PUCHAR callerBuffer;         // system address of the caller's buffer
    ULONG packetSize;            // the pipe's maximum packet size (read)
    ULONG generation;            // readBufferGeneration when the IN transfer was built
};

// What the queue's insert routine decided for a read that arrived.
enum ReadArrival : ULONG {
    ReadServed,        // the turn was free and the buffer held the read's data: taken at once
    ReadGoesNow,       // the turn was free: the read has it, was not queued, and found too little
    ReadWaits,         // queued behind the read that has the turn
    ReadQueuedToStart, // queued while the turn was free (others wait): start the queue
    ReadRefused,       // the device is no longer Working
};

// The insert routine's context: the read's buffer, and what was decided and taken.
struct ReadArrivalContext {
    ReadArrival arrival;
    PUCHAR callerBuffer;
    LONG length;
    LONG taken;
};

// How a walk of the queue is meant; RemoveNextRead hands it to the peek routine.
struct ReadWalk {
    BOOLEAN holdsTurn;  // the caller has the turn (and passes it on, or gives it back)
};

// The length of every IN transfer: readChunkSize (a value a control code could never store is
// kept between 1 and kMaxTransferLength), rounded down to whole packets of the pipe, at least
// one. A full packet never runs past the end of the transfer.
ULONG InChunkLength(const DeviceRecord* record, ULONG packetSize) {
    ULONG chunk = LoadWhole(&record->readChunkSize);
    if (chunk == 0) {
        chunk = kDefaultChunkSize;
    } else if (chunk > kMaxTransferLength) {
        chunk = kMaxTransferLength;
    }
    if (packetSize != 0) {
        chunk -= chunk % packetSize;
        if (chunk == 0) {
            chunk = packetSize;
        }
    }
    return chunk;
}

// Copies up to `wanted` bytes from the front of the buffer; the caller holds readBufferLock.
// The start moves forward instead of the remainder moving to the front.
LONG TakeLocked(DeviceRecord* record, PUCHAR destination, LONG wanted)
    REQUIRES(record->readBufferLock) {
    if ((LoadWhole(&driverOptions) & kOptionPartialReads) != 0 && wanted > record->readBufferCount) {
        wanted = record->readBufferCount;
    }
    if (wanted <= 0 || wanted > record->readBufferCount) {
        return 0;
    }
    RtlCopyMemory(destination, record->readBuffer + record->readBufferStart,
                  static_cast<SIZE_T>(wanted));
    record->readBufferCount -= wanted;
    record->readBufferStart = record->readBufferCount == 0 ? 0 : record->readBufferStart + wanted;
    return wanted;
}

VOID BuildTransfer(TransferContext* context, PVOID buffer, ULONG length, ULONG flags) {
    auto& transfer = context->urb.UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = context->pipeHandle;
    transfer.TransferFlags = flags;
    transfer.TransferBufferLength = length;
    transfer.TransferBuffer = buffer;
    transfer.TransferBufferMDL = nullptr;
    transfer.UrbLink = nullptr;
}

// Builds the next IN transfer into the free end of the buffer; the caller holds readBufferLock
// and the turn. The valid bytes move to the front only when the chunk would not fit behind them.
VOID BuildInTransferLocked(DeviceRecord* record, TransferContext* context)
    REQUIRES(record->readBufferLock) {
    ULONG chunk = InChunkLength(record, context->packetSize);
    ULONG start = static_cast<ULONG>(record->readBufferStart);
    ULONG count = static_cast<ULONG>(record->readBufferCount);
    if (start + count + chunk > kReadBufferSize) {
        RtlMoveMemory(record->readBuffer, record->readBuffer + start, count);
        record->readBufferStart = 0;
        start = 0;
    }
    record->readTransferOffset = start + count;
    record->readTransferLength = chunk;
    context->generation = record->readBufferGeneration;
    context->chunkLength = static_cast<LONG>(chunk);
    BuildTransfer(context, record->readBuffer + start + count, chunk,
                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

VOID SetUpNextLocation(PIRP irp, TransferContext* context, PIO_COMPLETION_ROUTINE routine) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &context->urb;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
}

PVOID SystemAddressOf(PMDL mdl) {
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return mdl->MappedSystemVa;
    }
    ULONG priority = NormalPagePriority;
    if (poolType != NonPagedPool) {
        priority |= kMappingNoExecute;
    }
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                        static_cast<MM_PAGE_PRIORITY>(priority));
}

// ---- the read queue: a list under readBufferLock, made cancel-safe with each waiting read's
// cancel routine. The system's IoCsq routines do the same, but not every kernel that loads Windows
// drivers exports them (Wine's lacks IoCsqInitializeEx and IoCsqInsertIrpEx), and this driver
// must load wherever its applications are tested. The rule that makes it safe: whoever clears a
// queued read's cancel routine owns the read. The cancel routine (IoCancelIrp cleared it) removes
// the read from the list; a walk that finds the routine already gone leaves the read to it.

// Decides what becomes of an arriving read, under readBufferLock: refused, served from the
// buffer, given the turn at once, or queued (STATUS_SUCCESS only then).
NTSTATUS InsertRead(DeviceRecord* record, PIRP irp, ReadArrivalContext* arrival)
    REQUIRES(record->readBufferLock) {
    if (DeviceStateOf(record) != Working || QueueStateOf(record) == FailRequests) {
        arrival->arrival = ReadRefused;
        return STATUS_INVALID_DEVICE_STATE;
    }
    BOOLEAN turnFree = record->readTurnTaken == FALSE && QueueStateOf(record) == AllowRequests;
    if (turnFree && IsListEmpty(&record->readQueue)) {
        // Not queued. The take of a read whose data is buffered happens here, under the lock
        // the queue already holds: one copy, and the turn is never taken.
        arrival->taken = TakeLocked(record, arrival->callerBuffer, arrival->length);
        if (arrival->taken > 0) {
            arrival->arrival = ReadServed;
        } else {
            record->readTurnTaken = TRUE;
            arrival->arrival = ReadGoesNow;
        }
        return STATUS_UNSUCCESSFUL;
    }
    InsertTailList(&record->readQueue, &irp->Tail.Overlay.ListEntry);
    arrival->arrival = turnFree ? ReadQueuedToStart : ReadWaits;
    return STATUS_SUCCESS;
}

// Hands out the waiting reads in order, and settles the turn in the same step (under the lock)
// so that no read can arrive between "nothing left" and "the turn is free". With a walk:
// - device no longer Working: the turn is given back, every read is handed out to be failed;
// - requests held: the turn is given back, nothing is handed out;
// - otherwise the walker takes the turn if it is free (or finds nothing when another read has
//   it), and gives it back when no read is left.
PIRP PeekNextRead(DeviceRecord* record, PIRP irp, ReadWalk* walk)
    REQUIRES(record->readBufferLock) {
    PLIST_ENTRY next = irp == nullptr ? record->readQueue.Flink : irp->Tail.Overlay.ListEntry.Flink;
    PIRP nextIrp =
        next == &record->readQueue ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
    BOOLEAN ending = DeviceStateOf(record) != Working || QueueStateOf(record) == FailRequests;
    if (ending || QueueStateOf(record) != AllowRequests) {
        if (walk->holdsTurn) {
            record->readTurnTaken = FALSE;
            walk->holdsTurn = FALSE;
        }
        return ending ? nextIrp : nullptr;
    }
    if (walk->holdsTurn == FALSE) {
        if (record->readTurnTaken) {
            return nullptr;
        }
        record->readTurnTaken = TRUE;
        walk->holdsTurn = TRUE;
    }
    if (nextIrp == nullptr) {
        record->readTurnTaken = FALSE;
        walk->holdsTurn = FALSE;
    }
    return nextIrp;
}

VOID NTAPI CancelQueuedRead(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceRecord* record = RecordOf(device);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    // A read cancelled while it waited took nothing.
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

// Queues an arriving read, or says what became of it instead (see InsertRead). A queued read is
// marked pending and cancellable; STATUS_SUCCESS says it was queued, even if a cancel that came
// first has completed it again here.
NTSTATUS QueueRead(DeviceRecord* record, PIRP irp, ReadArrivalContext* arrival)
    EXCLUDES(record->readBufferLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    NTSTATUS status = InsertRead(record, irp, arrival);
    if (status != STATUS_SUCCESS) {
        KeReleaseSpinLock(&record->readBufferLock, oldIrql);
        return status;
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelQueuedRead);
    // A cancel that came before the routine was set had nothing to call. If the routine is still
    // there to clear, the read is ours and leaves at once; if IoCancelIrp took it meanwhile, the
    // cancel routine removes the read once this lock is free.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&record->readBufferLock, oldIrql);
        CompleteRequest(irp, STATUS_CANCELLED, 0);
        return STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    return STATUS_SUCCESS;
}

// Takes the next read the walk hands out off the queue, passing over reads whose cancel routine
// is already running.
PIRP RemoveNextRead(DeviceRecord* record, ReadWalk* walk) EXCLUDES(record->readBufferLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    PIRP irp = PeekNextRead(record, nullptr, walk);
    while (irp != nullptr) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            break;
        }
        irp = PeekNextRead(record, irp, walk);
    }
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    return irp;
}

// ---- reads with the turn

enum ReadOutcome { ReadCompleted, ReadSent };

// Sends a read that has the turn down with its first IN transfer. From the dispatch routine
// (`recover`), a submission the stack fails at once is followed by the pipe recovery; the extra
// reference keeps the device while that talks to the lower device.
ReadOutcome SendRead(DeviceRecord* record, PIRP irp, TransferContext* context,
                     const USBD_PIPE_INFORMATION* pipe, BOOLEAN recover) {
    USBD_PIPE_INFORMATION pipeCopy = *pipe;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    BuildInTransferLocked(record, context);
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    IoMarkIrpPending(irp);
    AcquireIoReference(record);
    if (recover) {
        AcquireIoReference(record);
    }
    SetUpNextLocation(irp, context, OnReadComplete);
    NTSTATUS status = IofCallDriver(record->lowerDevice, irp);
    if (recover) {
        if (!NT_SUCCESS(status) && status != STATUS_CANCELLED &&
            status != STATUS_DEVICE_NOT_CONNECTED) {
            if (!NT_SUCCESS(ResetPipe(record->self, &pipeCopy))) {
                ResetPort(record->self);
            }
        }
        ReleaseIoReference(record);
    }
    return ReadSent;
}

// The read has the turn: it takes from the buffer (unless `tookAlready`: its arrival found too
// little a moment ago), or goes down. A read that waited was checked at its arrival; the device
// and the handle are looked at again, as they may have changed meanwhile. Returns ReadCompleted
// when the request was completed here (the turn is still the caller's), ReadSent when it went
// down with the turn.
ReadOutcome ReadWithTurn(DeviceRecord* record, PIRP irp, NTSTATUS* completedStatus,
                         BOOLEAN recover, BOOLEAN tookAlready) {
    if (DeviceStateOf(record) != Working) {
        *completedStatus = CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
        return ReadCompleted;
    }
    PUSBD_PIPE_INFORMATION pipe =
        PipeOfHandle(record, IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (pipe == nullptr) {
        *completedStatus = CompleteRequest(irp, STATUS_INVALID_HANDLE, 0);
        return ReadCompleted;
    }
    PMDL mdl = irp->MdlAddress;
    LONG length = static_cast<LONG>(MmGetMdlByteCount(mdl));
    auto* callerBuffer = static_cast<PUCHAR>(SystemAddressOf(mdl));
    if (callerBuffer == nullptr) {
        *completedStatus = CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return ReadCompleted;
    }
    LONG taken = tookAlready ? 0 : TakeBufferedData(record, callerBuffer, length);
    if (taken > 0) {
        *completedStatus = CompleteRequest(irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(taken));
        return ReadCompleted;
    }
    auto* context =
        static_cast<TransferContext*>(AllocateZeroedPool(static_cast<LONG>(sizeof(TransferContext))));
    if (context == nullptr) {
        *completedStatus = CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return ReadCompleted;
    }
    context->remaining = length;
    context->transferred = 0;
    context->deviceRecord = record;
    context->callerBuffer = callerBuffer;
    context->pipeHandle = pipe->PipeHandle;
    context->packetSize = pipe->MaximumPacketSize;
    return SendRead(record, irp, context, pipe, recover);
}

// Whether the caller becomes the device's walker of the read queue. If a walk is running (on
// another thread, or further up this thread's stack: a read it sent that the stack failed
// inside the call ends there and passes the turn on), it is told to go round once more, and the
// caller gives back the turn it holds, for that walk to take.
BOOLEAN BeginReadWalk(DeviceRecord* record, BOOLEAN holdsTurn) EXCLUDES(record->readBufferLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    BOOLEAN begins = record->readWalkActive == FALSE;
    if (begins) {
        record->readWalkActive = TRUE;
        record->readWalkAgain = FALSE;
    } else {
        record->readWalkAgain = TRUE;
        if (holdsTurn) {
            record->readTurnTaken = FALSE;
        }
    }
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    return begins;
}

// Ends the walk, unless another walk was asked for meanwhile: then TRUE, go round again.
BOOLEAN WalkAgain(DeviceRecord* record) EXCLUDES(record->readBufferLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    BOOLEAN again = record->readWalkAgain;
    record->readWalkAgain = FALSE;
    if (again == FALSE) {
        record->readWalkActive = FALSE;
    }
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    return again;
}

// Passes the turn on: the waiting reads start one after the other until one goes down or none
// is left; on a device that is no longer Working they fail instead. However many reads the
// stack fails inside the call, the walk goes on in a loop here rather than one read's completion
// nesting inside another's, which would overflow the kernel stack with a long queue.
VOID StartQueuedReads(DeviceRecord* record, BOOLEAN holdsTurn) {
    if (BeginReadWalk(record, holdsTurn) == FALSE) {
        return;
    }
    ReadWalk walk;
    walk.holdsTurn = holdsTurn;
    for (;;) {
        PIRP irp = RemoveNextRead(record, &walk);
        if (irp == nullptr) {
            if (WalkAgain(record)) {
                continue;
            }
            return;
        }
        if (walk.holdsTurn == FALSE) {
            CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
            continue;
        }
        NTSTATUS status;
        if (ReadWithTurn(record, irp, &status, FALSE, FALSE) == ReadSent) {
            // The read went down with the turn; if it has already ended and given the turn
            // back, the walk goes on.
            walk.holdsTurn = FALSE;
            if (WalkAgain(record)) {
                continue;
            }
            return;
        }
    }
}

// Ends a read that went down: the context goes, the turn passes on (the next read takes its
// reference first), then the read's own reference, after which the device may be deleted.
NTSTATUS FinishRead(PIRP irp, TransferContext* context) {
    DeviceRecord* record = context->deviceRecord;
    FreePool(context);
    StartQueuedReads(record, TRUE);
    ReleaseIoReference(record);
    return irp->IoStatus.Status;
}

NTSTATUS FinishWrite(PIRP irp, TransferContext* context) {
    DeviceRecord* record = context->deviceRecord;
    FreePool(context);
    ReleaseIoReference(record);
    return irp->IoStatus.Status;
}

} // namespace

extern "C" {

LONG TakeBufferedData(DeviceRecord* record, PVOID destination, LONG wanted) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    LONG taken = TakeLocked(record, static_cast<PUCHAR>(destination), wanted);
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    return taken;
}

// Runs in AddDevice, before any other thread can see the record.
VOID InitializeReadQueue(DeviceRecord* record) NO_THREAD_SAFETY_ANALYSIS {
    InitializeListHead(&record->readQueue);
    record->readTurnTaken = FALSE;
    record->readWalkActive = FALSE;
    record->readWalkAgain = FALSE;
    record->readBufferStart = 0;
    record->readBufferGeneration = 0;
    record->readTransferOffset = 0;
    record->readTransferLength = 0;
}

VOID ResumeQueuedReads(DeviceRecord* record) {
    StartQueuedReads(record, FALSE);
}

VOID CancelQueuedReadsOfFile(DeviceRecord* record, PFILE_OBJECT file) {
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    PLIST_ENTRY entry = record->readQueue.Flink;
    while (entry != &record->readQueue) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoGetCurrentIrpStackLocation(irp)->FileObject == file &&
            IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            InsertTailList(&cancelled, entry);
        }
        entry = next;
    }
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    while (!IsListEmpty(&cancelled)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
        CompleteRequest(irp, STATUS_CANCELLED, 0);
    }
}

// Sets the buffer to zeros and empty. The area an IN transfer in flight writes into is left to
// it: its bytes are discarded when it completes, as the generation has moved on.
VOID EmptyReadBuffer(DeviceRecord* record) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    ULONG offset = record->readTransferOffset;
    ULONG length = record->readTransferLength;
    if (length == 0) {
        RtlZeroMemory(record->readBuffer, sizeof(record->readBuffer));
    } else {
        RtlZeroMemory(record->readBuffer, offset);
        RtlZeroMemory(record->readBuffer + offset + length, kReadBufferSize - offset - length);
    }
    record->readBufferCount = 0;
    record->readBufferStart = 0;
    ++record->readBufferGeneration;
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
}

NTSTATUS NTAPI OnReadComplete(PDEVICE_OBJECT device, PIRP irp, PVOID contextPointer) {
    UNREFERENCED_PARAMETER(device);
    auto* context = static_cast<TransferContext*>(contextPointer);
    DeviceRecord* record = context->deviceRecord;
    NTSTATUS status = irp->IoStatus.Status;

    // The stack reports what it moved; it cannot be more than it was given.
    ULONG received = context->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received > static_cast<ULONG>(context->chunkLength)) {
        received = static_cast<ULONG>(context->chunkLength);
    }
    LONG taken = 0;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    record->readTransferLength = 0;
    BOOLEAN current = context->generation == record->readBufferGeneration;
    if ((status == STATUS_CANCELLED || NT_SUCCESS(status)) && current) {
        record->readBufferCount += static_cast<LONG>(received);
    }
    if (NT_SUCCESS(status)) {
        taken = TakeLocked(record, context->callerBuffer, context->remaining);
        if (taken > 0) {
            context->remaining -= taken;
            irp->IoStatus.Information = static_cast<ULONG_PTR>(taken);
        } else if (InterlockedCompareExchange(&record->abortingReads, 0, 0) == 0) {
            // Not enough yet (or a zero-length packet): the same request goes down again.
            BuildInTransferLocked(record, context);
            KeReleaseSpinLock(&record->readBufferLock, oldIrql);
            SetUpNextLocation(irp, context, OnReadComplete);
            IofCallDriver(record->lowerDevice, irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        } else {
            // A power-down is aborting the IN transfers: the read ends as a cancelled read
            // rather than going down behind the abort.
            status = STATUS_CANCELLED;
            irp->IoStatus.Status = STATUS_CANCELLED;
        }
    }
    if (status == STATUS_CANCELLED) {
        // The bytes the cancelled transfer had moved have joined the buffer; the read takes what
        // is there up to its length, and the rest stays for the next read.
        LONG wanted = record->readBufferCount < context->remaining ? record->readBufferCount
                                                                   : context->remaining;
        taken = wanted > 0 ? TakeLocked(record, context->callerBuffer, wanted) : 0;
        irp->IoStatus.Information = static_cast<ULONG_PTR>(taken);
    }
    // Any other failure: the transfer's bytes are dropped, the buffer keeps what it had, and the
    // byte count stays as the stack left it.
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    return FinishRead(irp, context);
}

NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT device, PIRP irp, PVOID contextPointer) {
    UNREFERENCED_PARAMETER(device);
    auto* context = static_cast<TransferContext*>(contextPointer);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        return FinishWrite(irp, context);
    }
    // Accounted by what was asked for: a bulk OUT transfer that succeeds moved all of it.
    context->remaining -= context->chunkLength;
    context->transferred += static_cast<ULONG>(context->chunkLength);
    context->callerBuffer += context->chunkLength;
    if (context->remaining > 0) {
        context->chunkLength = context->remaining;
        BuildTransfer(context, context->callerBuffer, static_cast<ULONG>(context->remaining), 0);
        SetUpNextLocation(irp, context, OnWriteComplete);
        IofCallDriver(context->deviceRecord->lowerDevice, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    irp->IoStatus.Information = context->transferred;
    return FinishWrite(irp, context);
}

namespace {

// The dispatch of a read or write; the caller holds an I/O reference for the whole of it.
NTSTATUS ReadOrWrite(PDEVICE_OBJECT device, DeviceRecord* record, PIRP irp, ULONG isRead,
                     BOOLEAN resumed) {
    // A request held while the device is out of D0 goes on later, port check included.
    if (DeviceStateOf(record) == Working && HoldRequestIfNeeded(record, irp, resumed)) {
        return STATUS_PENDING;
    }
    // A write first makes sure the port is enabled. After the removal there is no lower device
    // left to ask.
    if (isRead == 0 && DeviceStateOf(record) != Removed) {
        ULONG portStatus = 0;
        if (NT_SUCCESS(GetPortStatus(device, &portStatus)) &&
            (portStatus & USBD_PORT_ENABLED) == 0) {
            EnablePort(device);
        }
    }
    if (DeviceStateOf(record) != Working) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    PUSBD_PIPE_INFORMATION pipe =
        PipeOfHandle(record, IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeBulk) {
        return CompleteRequest(irp, STATUS_INVALID_HANDLE, 0);
    }
    PMDL mdl = irp->MdlAddress;
    if (mdl == nullptr) {
        return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
    }
    ULONG length = MmGetMdlByteCount(mdl);
    if (length > kMaxTransferLength) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (length == 0) {
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    auto* callerBuffer = static_cast<PUCHAR>(SystemAddressOf(mdl));
    if (callerBuffer == nullptr) {
        return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }

    if (isRead != 0) {
        // The read is served from the buffer, takes its turn, or waits for it in the queue
        // (marked pending there).
        ReadArrivalContext arrival;
        arrival.arrival = ReadRefused;
        arrival.callerBuffer = callerBuffer;
        arrival.length = static_cast<LONG>(length);
        arrival.taken = 0;
        if (QueueRead(record, irp, &arrival) == STATUS_SUCCESS) {
            if (arrival.arrival == ReadQueuedToStart) {
                StartQueuedReads(record, FALSE);
            }
            return STATUS_PENDING;
        }
        if (arrival.arrival == ReadServed) {
            return CompleteRequest(irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(arrival.taken));
        }
        if (arrival.arrival == ReadRefused) {
            return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
        }
        NTSTATUS status = STATUS_PENDING;
        if (ReadWithTurn(record, irp, &status, TRUE, TRUE) == ReadCompleted) {
            StartQueuedReads(record, TRUE);
        }
        return status;
    }

    auto* context =
        static_cast<TransferContext*>(AllocateZeroedPool(static_cast<LONG>(sizeof(TransferContext))));
    if (context == nullptr) {
        return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    context->remaining = static_cast<LONG>(length);
    context->transferred = 0;
    context->deviceRecord = record;
    context->callerBuffer = callerBuffer;
    context->pipeHandle = pipe->PipeHandle;
    context->chunkLength = static_cast<LONG>(length);
    BuildTransfer(context, callerBuffer, length, 0);

    // A copy for the recovery below: the pipe table may be released once the transfer is over.
    USBD_PIPE_INFORMATION pipeCopy = *pipe;
    IoMarkIrpPending(irp);
    // One reference for the transfer, dropped by its completion routine; the dispatch's own
    // keeps the device while this routine still talks to the lower device after the request may
    // have completed.
    AcquireIoReference(record);
    SetUpNextLocation(irp, context, OnWriteComplete);
    NTSTATUS status = IofCallDriver(record->lowerDevice, irp);
    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED &&
        status != STATUS_DEVICE_NOT_CONNECTED) {
        // The request has already been completed with the failure; repair the pipe for later ones.
        if (!NT_SUCCESS(ResetPipe(device, &pipeCopy))) {
            ResetPort(device);
        }
    }
    return STATUS_PENDING;
}

} // namespace

// The reference first, then the gates: a stop or removal that begins after the look waits for
// this request before it releases the pipe table or detaches from the lower device.
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp, ULONG isRead, BOOLEAN resumed) {
    DeviceRecord* record = RecordOf(device);
    AcquireIoReference(record);
    NTSTATUS status = ReadOrWrite(device, record, irp, isRead, resumed);
    ReleaseIoReference(record);
    return status;
}

} // extern "C"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    return DispatchReadWrite(device, irp, 1, FALSE);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    return DispatchReadWrite(device, irp, 0, FALSE);
}
