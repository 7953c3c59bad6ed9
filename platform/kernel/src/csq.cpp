// Cancel-safe request queues (IoCsq*). The driver owns the list and the lock and supplies the
// routines that insert, remove and look at requests; the kernel sets and clears the cancel
// routine under the driver's lock, so that a request is either taken out of the queue by the
// driver or completed as cancelled, never both.
//
// The stand-in remembers which requests sit in a queue: completing one of them is a finding
// (IrpCompletedWhileQueued), as is inserting a request that already has a cancel routine.
#include "internal.h"

namespace kstandin {
namespace detail {
namespace {

std::mutex queuedMutex;
std::unordered_map<PIRP, PIO_CSQ> queuedIrps;

void MarkQueued(PIRP irp, PIO_CSQ csq) {
    std::lock_guard<std::mutex> lock(queuedMutex);
    queuedIrps[irp] = csq;
}

void MarkDequeued(PIRP irp) {
    std::lock_guard<std::mutex> lock(queuedMutex);
    queuedIrps.erase(irp);
}

bool IsCsq(const IO_CSQ* csq) {
    return csq->Type == IO_TYPE_CSQ || csq->Type == IO_TYPE_CSQ_EX;
}

// DriverContext[3] holds the queue, or the caller's IRP context when it gave one.
PIO_CSQ QueueOf(PIRP irp) {
    auto* typed = static_cast<ULONG*>(irp->Tail.Overlay.DriverContext[3]);
    if (typed == nullptr) {
        return nullptr;
    }
    if (*typed == IO_TYPE_CSQ_IRP_CONTEXT) {
        return static_cast<PIO_CSQ_IRP_CONTEXT>(irp->Tail.Overlay.DriverContext[3])->Csq;
    }
    return static_cast<PIO_CSQ>(irp->Tail.Overlay.DriverContext[3]);
}

// The request leaves the queue: its IRP context, if any, no longer names it.
void Detach(PIRP irp) {
    auto* typed = static_cast<ULONG*>(irp->Tail.Overlay.DriverContext[3]);
    if (typed != nullptr && *typed == IO_TYPE_CSQ_IRP_CONTEXT) {
        static_cast<PIO_CSQ_IRP_CONTEXT>(irp->Tail.Overlay.DriverContext[3])->Irp = nullptr;
    }
    irp->Tail.Overlay.DriverContext[3] = nullptr;
    MarkDequeued(irp);
}

// Runs under the cancel spin lock, as IoCancelIrp calls it; the lock goes first, then the
// request is taken out under the driver's lock and handed to the driver to complete.
VOID NTAPI CancelQueuedIrp(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PIO_CSQ csq = QueueOf(irp);
    if (csq == nullptr) {
        Report(verifier::Rule::InvalidParameter,
               "the cancel routine of a queued request found no queue in DriverContext[3]");
        return;
    }
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    csq->CsqRemoveIrp(csq, irp);
    Detach(irp);
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, irp);
}

NTSTATUS Initialize(PIO_CSQ csq, ULONG type, PVOID insert, PIO_CSQ_REMOVE_IRP remove,
                    PIO_CSQ_PEEK_NEXT_IRP peek, PIO_CSQ_ACQUIRE_LOCK acquire,
                    PIO_CSQ_RELEASE_LOCK release, PIO_CSQ_COMPLETE_CANCELED_IRP complete) {
    if (csq == nullptr || insert == nullptr || remove == nullptr || peek == nullptr ||
        acquire == nullptr || release == nullptr || complete == nullptr) {
        Report(verifier::Rule::InvalidParameter, "IoCsqInitialize with a missing routine");
        return STATUS_INVALID_PARAMETER;
    }
    csq->Type = type;
    csq->CsqInsertIrp = reinterpret_cast<PIO_CSQ_INSERT_IRP>(insert);
    csq->CsqRemoveIrp = remove;
    csq->CsqPeekNextIrp = peek;
    csq->CsqAcquireLock = acquire;
    csq->CsqReleaseLock = release;
    csq->CsqCompleteCanceledIrp = complete;
    csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

} // namespace

void CheckQueuedAtCompletion(PIRP irp) {
    bool queued;
    {
        std::lock_guard<std::mutex> lock(queuedMutex);
        queued = queuedIrps.count(irp) != 0;
    }
    if (queued) {
        Report(verifier::Rule::IrpCompletedWhileQueued,
               "a request was completed while it is still in a cancel-safe queue");
    }
}

void ResetQueuedIrps() {
    std::lock_guard<std::mutex> lock(queuedMutex);
    queuedIrps.clear();
}

} // namespace detail
} // namespace kstandin

using namespace kstandin;
using namespace kstandin::detail;

extern "C" {

NTSTATUS NTAPI IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp,
                               PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                               PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp,
                               PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                               PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                               PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
    return Initialize(Csq, IO_TYPE_CSQ, reinterpret_cast<PVOID>(CsqInsertIrp), CsqRemoveIrp,
                      CsqPeekNextIrp, CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS NTAPI IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp,
                                 PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                                 PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp,
                                 PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                                 PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                                 PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
    return Initialize(Csq, IO_TYPE_CSQ_EX, reinterpret_cast<PVOID>(CsqInsertIrp), CsqRemoveIrp,
                      CsqPeekNextIrp, CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

// The driver's insert routine runs under its lock; an Ex routine that returns a failure leaves
// the request untouched (not queued, not marked pending) and the failure is returned. Otherwise
// the request is marked pending and gets the queue's cancel routine; one cancelled already is
// taken out again at once and handed to the driver's completion routine for cancelled requests.
NTSTATUS NTAPI IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context,
                                PVOID InsertContext) {
    CheckIrql(DISPATCH_LEVEL, "IoCsqInsertIrpEx");
    if (Csq == nullptr || !IsCsq(Csq) || Irp == nullptr) {
        Report(verifier::Rule::InvalidParameter, "IoCsqInsertIrp with an uninitialised queue");
        return STATUS_INVALID_PARAMETER;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        Report(verifier::Rule::InvalidParameter,
               "IoCsqInsertIrp of a request that already has a cancel routine");
    }
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    if (Csq->Type == IO_TYPE_CSQ_EX) {
        // An Ex queue keeps its insert routine in the same field, stored through a data pointer.
        auto insert = reinterpret_cast<PIO_CSQ_INSERT_IRP_EX>(
            reinterpret_cast<PVOID>(Csq->CsqInsertIrp));
        NTSTATUS status = insert(Csq, Irp, InsertContext);
        if (!NT_SUCCESS(status)) {
            Csq->CsqReleaseLock(Csq, irql);
            return status;
        }
    } else {
        Csq->CsqInsertIrp(Csq, Irp);
    }
    if (Context != nullptr) {
        Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        Context->Irp = Irp;
        Context->Csq = Csq;
        Irp->Tail.Overlay.DriverContext[3] = Context;
    } else {
        Irp->Tail.Overlay.DriverContext[3] = Csq;
    }
    MarkQueued(Irp, Csq);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, CancelQueuedIrp);
    if (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) &&
        IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        // Cancelled before the routine was set: nobody else will call it.
        Csq->CsqRemoveIrp(Csq, Irp);
        Detach(Irp);
        Csq->CsqReleaseLock(Csq, irql);
        Csq->CsqCompleteCanceledIrp(Csq, Irp);
        return STATUS_SUCCESS;
    }
    Csq->CsqReleaseLock(Csq, irql);
    return STATUS_SUCCESS;
}

VOID NTAPI IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context) {
    IoCsqInsertIrpEx(Csq, Irp, Context, nullptr);
}

// Takes the request of `Context` out, unless its cancellation has begun (then the cancel
// routine owns it and null is returned).
PIRP NTAPI IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context) {
    CheckIrql(DISPATCH_LEVEL, "IoCsqRemoveIrp");
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Context->Irp;
    if (irp != nullptr) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Csq->CsqRemoveIrp(Csq, irp);
            Detach(irp);
        } else {
            irp = nullptr;
        }
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

// Walks the queue with the driver's peek routine and takes the first request whose cancel
// routine it can still clear; requests being cancelled are passed over.
PIRP NTAPI IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext) {
    CheckIrql(DISPATCH_LEVEL, "IoCsqRemoveNextIrp");
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
    while (irp != nullptr) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Csq->CsqRemoveIrp(Csq, irp);
            Detach(irp);
            break;
        }
        irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

} // extern "C"
