// Create, close and cleanup of device and pipe handles.
#include "kestrune.h"

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    if (record->deviceState != Working || record->interfaceInfo == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    // Binding handles to pipes comes with the pipe table; until then no handle can be opened.
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    AcquireIoReference(record);
    // No request is ever held for a handle, so there is none of the closing handle to cancel.
    ProcessPendingQueue(record);
    NTSTATUS status = CompleteRequest(irp, STATUS_SUCCESS, 0);
    ReleaseIoReference(record);
    return status;
}
