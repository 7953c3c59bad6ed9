// Plug and Play: start and stop, queries and their cancellation, surprise removal, removal and
// capabilities.
#include "kestrune.h"

namespace {

// Sets a new device state under stateLock, keeping the old one in previousState.
void ChangeDeviceState(DeviceRecord* record, ULONG newState) EXCLUDES(record->stateLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    record->previousState = LoadWhole(&record->deviceState);
    StoreWhole(&record->deviceState, newState);
    KeReleaseSpinLock(&record->stateLock, oldIrql);
}

void ChangeQueueState(DeviceRecord* record, ULONG newState) EXCLUDES(record->stateLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    StoreWhole(&record->queueState, newState);
    KeReleaseSpinLock(&record->stateLock, oldIrql);
}

NTSTATUS PassDown(DeviceRecord* record, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(record->lowerDevice, irp);
}

// Sends the request down and waits until the lower drivers have finished it; the request comes
// back to the caller, which completes it.
NTSTATUS ForwardAndWait(DeviceRecord* record, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalAndHoldCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(record->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

// The pipe table leaves the record under queueLock, where a close looks at it, and is freed
// afterwards.
void ReleaseConfiguration(DeviceRecord* record) EXCLUDES(record->queueLock) {
    if (record->configDescriptor != nullptr) {
        FreePool(record->configDescriptor);
        record->configDescriptor = nullptr;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    PUSBD_INTERFACE_INFORMATION interfaceInfo = record->interfaceInfo;
    UCHAR* pipeOpen = record->pipeOpen;
    record->interfaceInfo = nullptr;
    record->pipeOpen = nullptr;
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    if (interfaceInfo != nullptr) {
        FreePool(interfaceInfo);
    }
    if (pipeOpen != nullptr) {
        FreePool(pipeOpen);
    }
}

// The lower drivers start the device first; then it is configured, named and opened to
// applications. A failure leaves the state as it was; what was built stays until the removal.
NTSTATUS HandleStartDevice(DeviceRecord* record, PIRP irp) EXCLUDES(record->stateLock) {
    record->configDescriptor = nullptr;
    record->interfaceInfo = nullptr;
    record->pipeOpen = nullptr;
    NTSTATUS status = ForwardAndWait(record, irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ConfigureDevice(record->self);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CreateDosLink(record);
    status = IoSetDeviceInterfaceState(&record->interfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    record->previousState = LoadWhole(&record->deviceState);
    StoreWhole(&record->deviceState, Working);
    StoreWhole(&record->queueState, AllowRequests);
    KeReleaseSpinLock(&record->stateLock, oldIrql);
    record->waitWakeArmed = 0;
    record->waitWakeCancelFlag = 0;
    record->waitWakeIrp = nullptr;
    if (record->remoteWakeup != 0) {
        ArmWaitWake(record);  // a device that cannot be armed still works
    }
    ProcessPendingQueue(record);
    return status;
}

// Releases the configuration and puts the device into the unconfigured state. The interface and
// the DOS link stay for the next start; the gate refuses requests meanwhile.
NTSTATUS HandleStopDevice(DeviceRecord* record, PIRP irp) {
    if (record->remoteWakeup != 0) {
        CancelWaitWake(record);
    }
    ChangeDeviceState(record, Stopped);
    ResumeQueuedReads(record);  // reads still waiting for their turn fail now
    ReleaseConfiguration(record);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PURB urb = static_cast<PURB>(AllocateZeroedPool(sizeof(URB)));
    if (urb != nullptr) {
        urb->UrbHeader.Length = static_cast<USHORT>(sizeof(URB));
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
        status = SubmitUrbSync(record->self, urb);
        FreePool(urb);
    }
    return PassDown(record, irp, status);
}

// What a cancelled stop or remove query does to the record: the state before the query, and
// requests allowed again.
void RestoreStateBeforeQuery(DeviceRecord* record) EXCLUDES(record->stateLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    StoreWhole(&record->deviceState, record->previousState);
    StoreWhole(&record->queueState, AllowRequests);
    KeReleaseSpinLock(&record->stateLock, oldIrql);
    ProcessPendingQueue(record);
}

// Stop and remove queries: agreed to once every other request has ended. A request that has not
// ended within kDrainTimeoutMs (a read waiting for data that does not come) keeps the device in
// use: the query is refused and the device goes on as after a cancelled query.
NTSTATUS HandleQueryStopOrRemove(DeviceRecord* record, PIRP irp, ULONG pendingState)
    EXCLUDES(record->stateLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    record->previousState = LoadWhole(&record->deviceState);
    StoreWhole(&record->deviceState, pendingState);
    StoreWhole(&record->queueState, HoldRequests);
    KeReleaseSpinLock(&record->stateLock, oldIrql);
    ResumeQueuedReads(record);  // reads waiting for their turn fail; they hold no reference
    ReleaseIoReference(record);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(kDrainTimeoutMs) * 10000;
    if (KeWaitForSingleObject(&record->stopEvent, Executive, KernelMode, FALSE, &timeout) !=
        STATUS_SUCCESS) {
        RestoreStateBeforeQuery(record);
        return CompleteRequest(irp, STATUS_DEVICE_BUSY, 0);
    }
    return PassDown(record, irp, STATUS_SUCCESS);
}

NTSTATUS HandleCancelStopOrRemove(DeviceRecord* record, PIRP irp, ULONG pendingState)
    EXCLUDES(record->stateLock) {
    if (DeviceStateOf(record) != pendingState) {
        return PassDown(record, irp, STATUS_SUCCESS);
    }
    NTSTATUS status = ForwardAndWait(record, irp);
    if (NT_SUCCESS(status)) {
        RestoreStateBeforeQuery(record);
    }
    return CompleteRequest(irp, status, 0);
}

// The state changes first: a wake signal that completes the wait-wake request from now on asks
// for no D0 (see OnWaitWakeDone).
NTSTATUS HandleSurpriseRemoval(DeviceRecord* record, PIRP irp) EXCLUDES(record->stateLock) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->stateLock);
    record->previousState = LoadWhole(&record->deviceState);
    StoreWhole(&record->queueState, FailRequests);
    StoreWhole(&record->deviceState, SurpriseRemoved);
    KeReleaseSpinLock(&record->stateLock, oldIrql);
    if (record->remoteWakeup != 0) {
        CancelWaitWake(record);
    }
    ProcessPendingQueue(record);
    IoSetDeviceInterfaceState(&record->interfaceName, FALSE);
    // Transfers still in flight on open pipes end as cancelled.
    AbortPipes(record->self);
    return PassDown(record, irp, STATUS_SUCCESS);
}

// The teardown. After a surprise removal the first steps are done already.
NTSTATUS HandleRemoveDevice(DeviceRecord* record, PIRP irp) {
    PDEVICE_OBJECT device = record->self;
    if (DeviceStateOf(record) != SurpriseRemoved) {
        ChangeQueueState(record, FailRequests);
        if (record->remoteWakeup != 0) {
            CancelWaitWake(record);
        }
        ProcessPendingQueue(record);
        IoSetDeviceInterfaceState(&record->interfaceName, FALSE);
        AbortPipes(device);
    }
    ChangeDeviceState(record, Removed);

    // This request's reference, then the device's own: the count reaches 0 once the last
    // request in progress has ended.
    ReleaseIoReference(record);
    ReleaseIoReference(record);
    KeWaitForSingleObject(&record->removeEvent, Executive, KernelMode, FALSE, nullptr);

    ReleaseConfiguration(record);
    RtlFreeUnicodeString(&record->interfaceName);

    NTSTATUS status = PassDown(record, irp, STATUS_SUCCESS);
    IoDetachDevice(record->lowerDevice);
    if (record->dosLinkName[0] != 0) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, record->dosLinkName);
        IoDeleteSymbolicLink(&link);
    }
    IoDeleteDevice(device);
    return status;
}

NTSTATUS HandleQueryCapabilities(DeviceRecord* record, PIRP irp) {
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return STATUS_UNSUCCESSFUL;
    }
    capabilities->SurpriseRemovalOK = TRUE;
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(record, irp);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(&record->capabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
        capabilities->SurpriseRemovalOK = TRUE;
    }
    return status;
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    AcquireIoReference(record);
    if (DeviceStateOf(record) == Removed) {
        ReleaseIoReference(record);
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }

    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = CompleteRequest(irp, HandleStartDevice(record, irp), 0);
        ReleaseIoReference(record);
        return status;
    case IRP_MN_STOP_DEVICE:
        status = HandleStopDevice(record, irp);
        ReleaseIoReference(record);
        return status;
    case IRP_MN_QUERY_STOP_DEVICE:
        return HandleQueryStopOrRemove(record, irp, PendingStop);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return HandleQueryStopOrRemove(record, irp, PendingRemove);
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = HandleCancelStopOrRemove(record, irp, PendingStop);
        ReleaseIoReference(record);
        return status;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = HandleCancelStopOrRemove(record, irp, PendingRemove);
        ReleaseIoReference(record);
        return status;
    case IRP_MN_SURPRISE_REMOVAL:
        status = HandleSurpriseRemoval(record, irp);
        ReleaseIoReference(record);
        return status;
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemoveDevice(record, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        status = CompleteRequest(irp, HandleQueryCapabilities(record, irp), 0);
        ReleaseIoReference(record);
        return status;
    default:
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(record->lowerDevice, irp);
        ReleaseIoReference(record);
        return status;
    }
}
