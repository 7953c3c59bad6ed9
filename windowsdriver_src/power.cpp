// Power requests: system states followed by the device states of the capabilities table, the
// drain before the device leaves D0, and the wait-wake request that lets the device wake the
// system. The driver owns the device's power policy.
#include "kestrune.h"

namespace {

// Guards heldSystemRequests and the links of its entries. Zero is the initial state of a spin
// lock and of the list: no constructor is needed.
extern KSPIN_LOCK heldSystemLock;

// A system request held while the device request it asked for runs. The held ones are linked
// in a driver-wide list so that the drain can tell a device request of this driver, whose system
// request still holds an I/O reference, from one another driver in the stack started.
struct SystemPowerContext {
    PDEVICE_OBJECT device;
    PIRP systemIrp;
    SystemPowerContext* next GUARDED_BY(heldSystemLock); // in heldSystemRequests
};

// A device request waiting in a work item until the device is idle.
struct PowerWorkContext {
    PDEVICE_OBJECT device;
    PIRP irp;
    PIO_WORKITEM workItem;
};

KSPIN_LOCK heldSystemLock;
SystemPowerContext* heldSystemRequests GUARDED_BY(heldSystemLock);

void LinkHeldSystemRequest(SystemPowerContext* context) EXCLUDES(heldSystemLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&heldSystemLock);
    context->next = heldSystemRequests;
    heldSystemRequests = context;
    KeReleaseSpinLock(&heldSystemLock, oldIrql);
}

void UnlinkHeldSystemRequest(SystemPowerContext* context) EXCLUDES(heldSystemLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&heldSystemLock);
    for (SystemPowerContext** link = &heldSystemRequests; *link != nullptr; link = &(*link)->next) {
        if (*link == context) {
            *link = context->next;
            break;
        }
    }
    KeReleaseSpinLock(&heldSystemLock, oldIrql);
}

bool SystemRequestHeld(PDEVICE_OBJECT device) EXCLUDES(heldSystemLock) {
    bool held = false;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&heldSystemLock);
    for (SystemPowerContext* each = heldSystemRequests; each != nullptr; each = each->next) {
        if (each->device == device) {
            held = true;
            break;
        }
    }
    KeReleaseSpinLock(&heldSystemLock, oldIrql);
    return held;
}

// The power states are read by completion routines and the wake path on other threads.
LONG LoadPowerState(ULONG* field) {
    return InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(field), 0, 0);
}

void StorePowerState(ULONG* field, LONG value) {
    InterlockedExchange(reinterpret_cast<LONG volatile*>(field), value);
}

void SetQueueState(DeviceRecord* record, ULONG state) EXCLUDES(record->stateLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    StoreWhole(&record->queueState, state);
    KeReleaseSpinLock(&record->stateLock, oldIrql);
}

bool IsDeviceState(LONG state) {
    return state >= PowerDeviceD0 && state <= PowerDeviceD3;
}

NTSTATUS FailPowerRequest(PIRP irp, NTSTATUS status) {
    PoStartNextPowerIrp(irp);
    return CompleteRequest(irp, status, 0);
}

NTSTATUS PassDown(DeviceRecord* record, PIRP irp, PIO_COMPLETION_ROUTINE routine) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, record, TRUE, TRUE, TRUE);
    return PoCallDriver(record->lowerDevice, irp);
}

NTSTATUS SkipDown(DeviceRecord* record, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(record->lowerDevice, irp);
}

// A request the driver does not act on goes down untouched; its reference ends with the call.
void PassUntouched(DeviceRecord* record, PIRP irp) {
    PoStartNextPowerIrp(irp);
    SkipDown(record, irp);
    ReleaseIoReference(record);
}

VOID NTAPI OnDevicePowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                    PIO_STATUS_BLOCK ioStatus) {
    SystemPowerContext* held = static_cast<SystemPowerContext*>(context);
    PIRP systemIrp = held->systemIrp;
    DeviceRecord* record = RecordOf(held->device);
    UnlinkHeldSystemRequest(held);
    FreePool(held);
    // The system request ends as its device request did, a refusal by this driver included.
    FailPowerRequest(systemIrp, ioStatus->Status);
    ReleaseIoReference(record);
}

VOID NTAPI OnUnheldPowerUpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
    ReleaseIoReference(static_cast<DeviceRecord*>(context));
}

// Asks for the device state that the capabilities table gives for the system request's state.
// The system request stays held until that request has finished.
void RequestDevicePower(DeviceRecord* record, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    LONG systemState = location->Parameters.Power.State.SystemState;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (systemState >= PowerSystemUnspecified && systemState < PowerSystemMaximum) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        SystemPowerContext* held =
            static_cast<SystemPowerContext*>(AllocatePool(sizeof(SystemPowerContext)));
        if (held != nullptr) {
            held->device = record->self;
            held->systemIrp = irp;
            LinkHeldSystemRequest(held);
            POWER_STATE state;
            state.DeviceState = record->capabilities.DeviceState[systemState];
            status = PoRequestPowerIrp(record->physicalDevice, location->MinorFunction, state,
                                       OnDevicePowerRequestDone, held, nullptr);
            if (NT_SUCCESS(status)) {
                return;
            }
            UnlinkHeldSystemRequest(held);
            FreePool(held);
        }
    }
    // A set request may not fail: the system goes to its state even when its device request
    // could not be held for, and the device stays as it is, except that a device the system
    // wants working is still asked for D0, without the system request waiting for it. A query
    // may fail.
    if (location->MinorFunction == IRP_MN_SET_POWER && systemState >= PowerSystemUnspecified &&
        systemState < PowerSystemMaximum) {
        status = STATUS_SUCCESS;
        if (record->capabilities.DeviceState[systemState] == PowerDeviceD0) {
            AcquireIoReference(record);
            POWER_STATE state;
            state.DeviceState = PowerDeviceD0;
            if (!NT_SUCCESS(PoRequestPowerIrp(record->physicalDevice, IRP_MN_SET_POWER, state,
                                              OnUnheldPowerUpDone, record, nullptr))) {
                ReleaseIoReference(record);
            }
        }
    }
    FailPowerRequest(irp, status);
    ReleaseIoReference(record);
}

NTSTATUS NTAPI OnSystemPowerComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    DeviceRecord* record = static_cast<DeviceRecord*>(context);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        ReleaseIoReference(record);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MinorFunction == IRP_MN_SET_POWER) {
        StorePowerState(&record->systemPower, location->Parameters.Power.State.SystemState);
    }
    RequestDevicePower(record, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI OnDevicePowerComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    DeviceRecord* record = static_cast<DeviceRecord*>(context);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(irp->IoStatus.Status) && location->MinorFunction == IRP_MN_SET_POWER) {
        StorePowerState(&record->devicePower, location->Parameters.Power.State.DeviceState);
        PoSetPowerState(record->self, DevicePowerState, location->Parameters.Power.State);
    }
    PoStartNextPowerIrp(irp);
    ReleaseIoReference(record);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI OnDevicePowerUpComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    DeviceRecord* record = static_cast<DeviceRecord*>(context);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        ReleaseIoReference(record);
        return STATUS_SUCCESS;
    }
    POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
    StorePowerState(&record->devicePower, state.DeviceState);
    PoSetPowerState(record->self, DevicePowerState, state);
    if (state.DeviceState == PowerDeviceD0) {
        SetQueueState(record, AllowRequests);
        ProcessPendingQueue(record);
    }
    PoStartNextPowerIrp(irp);
    CompleteRequest(irp, STATUS_SUCCESS, 0);
    ReleaseIoReference(record);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Waits at PASSIVE_LEVEL until no other request is in progress, then lets the device request
// leave D0 (or the query that prepares it) go down. The wait is bounded: the system's power
// watchdog ends a machine whose power request does not go on. Past kDrainTimeoutMs the IN
// transfers are aborted, their reads end as cancelled reads do, and the request goes on after
// at most one more such wait whatever is left.
VOID NTAPI PowerDownWorker(PDEVICE_OBJECT, PVOID context) {
    PowerWorkContext* work = static_cast<PowerWorkContext*>(context);
    PDEVICE_OBJECT device = work->device;
    PIRP irp = work->irp;
    IoFreeWorkItem(work->workItem);
    FreePool(work);
    DeviceRecord* record = RecordOf(device);

    // The device request keeps its reference, and the one of the system request that asked for
    // it if this driver did, while it waits: idle means no reference beyond those and the
    // device's own. Dropping them for the wait would let a removal that comes meanwhile see the
    // count reach 0 and delete the device under this request; holding them, the removal waits
    // for this request instead (and, having dropped the device's own reference, ends the wait).
    LONG references = SystemRequestHeld(device) ? 2 : 1;
    if (!WaitForIdle(record, 1 + references)) {
        InterlockedExchange(&record->abortingReads, 1);
        AbortInPipes(device);
        WaitForIdle(record, 1 + references);
        InterlockedExchange(&record->abortingReads, 0);
    }
    PassDown(record, irp, OnDevicePowerComplete);
}

NTSTATUS QueuePowerDownWork(DeviceRecord* record, PIRP irp) {
    SetQueueState(record, HoldRequests);
    PowerWorkContext* work = static_cast<PowerWorkContext*>(AllocatePool(sizeof(PowerWorkContext)));
    if (work == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_WORKITEM workItem = IoAllocateWorkItem(record->self);
    if (workItem == nullptr) {
        FreePool(work);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    work->device = record->self;
    work->irp = irp;
    work->workItem = workItem;
    IoMarkIrpPending(irp);
    IoQueueWorkItem(workItem, PowerDownWorker, DelayedWorkQueue, work);
    return STATUS_PENDING;
}

void HandleSystemSetPower(DeviceRecord* record, PIRP irp) {
    PassDown(record, irp, OnSystemPowerComplete);
}

void HandleSystemQueryPower(DeviceRecord* record, PIRP irp) {
    LONG systemState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    // A device that may wake the system refuses states from which it could not.
    if (record->remoteWakeup != 0 &&
        systemState > static_cast<LONG>(record->capabilities.SystemWake)) {
        FailPowerRequest(irp, STATUS_INVALID_DEVICE_STATE);
        ReleaseIoReference(record);
        return;
    }
    if (systemState > LoadPowerState(&record->systemPower) && record->remoteWakeup != 0) {
        ArmWaitWake(record); // one already armed answers STATUS_DEVICE_BUSY
    }
    PassDown(record, irp, OnSystemPowerComplete);
}

void HandleDeviceSetPower(DeviceRecord* record, PIRP irp) {
    LONG requested = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
    LONG current = LoadPowerState(&record->devicePower);
    if (!IsDeviceState(requested)) {
        PassUntouched(record, irp);
    } else if (requested < current) {
        PassDown(record, irp, OnDevicePowerUpComplete);
    } else if (current == PowerDeviceD0 && requested > PowerDeviceD0) {
        // A set request may not fail: without the memory to wait for idleness it goes down at
        // once, with requests held from now on.
        if (!NT_SUCCESS(QueuePowerDownWork(record, irp))) {
            PassDown(record, irp, OnDevicePowerComplete);
        }
    } else {
        if (current == PowerDeviceD0) {
            SetQueueState(record, AllowRequests);
            ProcessPendingQueue(record);
        }
        PassDown(record, irp, OnDevicePowerComplete);
    }
}

void HandleDeviceQueryPower(DeviceRecord* record, PIRP irp) {
    LONG queried = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
    if (!IsDeviceState(queried)) {
        PassUntouched(record, irp);
        return;
    }
    if (record->remoteWakeup != 0 && queried > static_cast<LONG>(record->capabilities.DeviceWake)) {
        FailPowerRequest(irp, STATUS_INVALID_DEVICE_STATE);
        ReleaseIoReference(record);
        return;
    }
    if (queried < LoadPowerState(&record->devicePower)) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        PassUntouched(record, irp);
        return;
    }
    if (!NT_SUCCESS(QueuePowerDownWork(record, irp))) {
        FailPowerRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
        ReleaseIoReference(record);
    }
}

VOID NTAPI OnWakePowerUpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
    DeviceRecord* record = static_cast<DeviceRecord*>(context);
    InterlockedDecrement(&record->wakePowerUps);
    ReleaseIoReference(record);
}

// The wait-wake request has finished: a wake signal brings a sleeping device back to D0 and
// arms the next request. CancelWaitWake waits for waitWakeArmed to fall to 0, after which a
// removal may delete the record: on the paths that do not re-arm, that store is the last
// touch, and the path that does holds an I/O reference until it is done. Once a surprise
// removal or removal has begun (requests fail; both set that before they cancel wait-wake), a
// wake signal asks for nothing: the device is going, and its stack with it.
VOID NTAPI OnWaitWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                          PIO_STATUS_BLOCK ioStatus) {
    DeviceRecord* record = static_cast<DeviceRecord*>(context);
    if (!NT_SUCCESS(ioStatus->Status) || LoadPowerState(&record->devicePower) == PowerDeviceD0) {
        InterlockedExchange(&record->waitWakeArmed, 0);
        return;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    BOOLEAN going = record->queueState == FailRequests;
    if (!going) {
        InterlockedIncrement(&record->wakePowerUps);
    }
    KeReleaseSpinLock(&record->stateLock, oldIrql);
    if (going) {
        InterlockedExchange(&record->waitWakeArmed, 0);
        return;
    }
    AcquireIoReference(record); // this routine's own, until it is done with the record
    AcquireIoReference(record); // the power-up request's, released when it has finished
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    if (!NT_SUCCESS(PoRequestPowerIrp(record->physicalDevice, IRP_MN_SET_POWER, state,
                                      OnWakePowerUpDone, record, nullptr))) {
        InterlockedDecrement(&record->wakePowerUps);
        ReleaseIoReference(record);
    }
    InterlockedExchange(&record->waitWakeArmed, 0);
    if (record->remoteWakeup != 0) {
        ArmWaitWake(record);
    }
    ReleaseIoReference(record);
}

// Completion of the wait-wake request at this driver. Completion and CancelWaitWake race for
// the request: the exchange on waitWakeIrp decides who owns it, the exchange on
// waitWakeCancelFlag which of the two completes it.
NTSTATUS NTAPI OnWaitWakeComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    DeviceRecord* record = static_cast<DeviceRecord*>(context);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&record->waitWakeIrp),
                                          nullptr, irp) == irp) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    if (InterlockedExchange(&record->waitWakeCancelFlag, 1) == 1) {
        // The canceller took the request and left its completion here. It ends as cancelled
        // even if the device signalled wake-up meanwhile, so nothing is re-armed behind a stop.
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_CANCELLED;
        return STATUS_CANCELLED;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    // The reference first, then the gate, so that a removal that begins after the look waits
    // for this request before it detaches from the lower device.
    AcquireIoReference(record);
    ULONG deviceState = DeviceStateOf(record);
    if (deviceState == Removed) {
        ReleaseIoReference(record);
        return FailPowerRequest(irp, STATUS_DELETE_PENDING);
    }
    if (deviceState == NotStarted) {
        PoStartNextPowerIrp(irp);
        NTSTATUS status = SkipDown(record, irp);
        ReleaseIoReference(record);
        return status;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        // The request ArmWaitWake asked for becomes the one CancelWaitWake may take, before the
        // bus can complete it. Publishing it here rather than through PoRequestPowerIrp's
        // plain store keeps every change of waitWakeIrp interlocked.
        if (InterlockedCompareExchange(&record->waitWakeArmed, 1, 1) == 1) {
            InterlockedCompareExchangePointer(
                reinterpret_cast<PVOID volatile*>(&record->waitWakeIrp), irp, nullptr);
        }
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, OnWaitWakeComplete, record, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(irp);
        PoCallDriver(record->lowerDevice, irp);
        // A waiting wake request holds no reference: it would keep the device from ever idling.
        ReleaseIoReference(record);
        return STATUS_PENDING;
    case IRP_MN_SET_POWER:
        IoMarkIrpPending(irp);
        if (location->Parameters.Power.Type == SystemPowerState) {
            HandleSystemSetPower(record, irp);
        } else {
            HandleDeviceSetPower(record, irp);
        }
        return STATUS_PENDING;
    case IRP_MN_QUERY_POWER:
        IoMarkIrpPending(irp);
        if (location->Parameters.Power.Type == SystemPowerState) {
            HandleSystemQueryPower(record, irp);
        } else {
            HandleDeviceQueryPower(record, irp);
        }
        return STATUS_PENDING;
    default: {
        PoStartNextPowerIrp(irp);
        NTSTATUS status = SkipDown(record, irp);
        ReleaseIoReference(record);
        return status;
    }
    }
}

// Asks the bus for a wait-wake request at the capabilities' SystemWake level. Only a working
// device arms one: a request armed while the device is stopped would be forgotten by the next
// start, which resets the wait-wake fields.
NTSTATUS ArmWaitWake(DeviceRecord* record) {
    if (DeviceStateOf(record) != Working) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (InterlockedExchange(&record->waitWakeArmed, 1) == 1) {
        return STATUS_DEVICE_BUSY;
    }
    InterlockedExchange(&record->waitWakeCancelFlag, 0);
    POWER_STATE state;
    state.SystemState = static_cast<SYSTEM_POWER_STATE>(record->capabilities.SystemWake);
    NTSTATUS status = PoRequestPowerIrp(record->physicalDevice, IRP_MN_WAIT_WAKE, state,
                                        OnWaitWakeDone, record, nullptr);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&record->waitWakeArmed, 0);
    }
    return status;
}

// Cancels the outstanding wait-wake request and returns once it has finished, OnWaitWakeDone
// included, and with it any D0 request a wake signal asked for. The bus may end a cancelled
// request later on another thread, and the request may still be on its way down when this runs;
// returning earlier would let a removal delete the record under the completion routines that
// still use it, or pass the removal down ahead of a D0 request.
VOID CancelWaitWake(DeviceRecord* record) {
    LARGE_INTEGER pause;
    pause.QuadPart = -10000; // 1 ms
    for (;;) {
        PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(
            reinterpret_cast<PVOID volatile*>(&record->waitWakeIrp), nullptr));
        if (irp != nullptr) {
            IoCancelIrp(irp);
            if (InterlockedExchange(&record->waitWakeCancelFlag, 1) == 1) {
                // The completion routine ran first and holds the request for this routine to
                // finish.
                FailPowerRequest(irp, STATUS_CANCELLED);
            }
        }
        if (InterlockedCompareExchange(&record->waitWakeArmed, 0, 0) == 0 &&
            InterlockedCompareExchange(&record->wakePowerUps, 0, 0) == 0) {
            return;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}
