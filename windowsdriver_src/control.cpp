// Control codes for applications.
#include "kestrune.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    if (record->deviceState != Working) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    AcquireIoReference(record);
    // No control code is served yet.
    NTSTATUS status = CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    ReleaseIoReference(record);
    return status;
}
