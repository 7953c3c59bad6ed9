// Bulk reads and writes.
#include "kestrune.h"

namespace {

NTSTATUS DispatchTransfer(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    if (record->deviceState != Working) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    // Transfers need an open pipe handle, which no create grants yet.
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

}  // namespace

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    return DispatchTransfer(device, irp);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    return DispatchTransfer(device, irp);
}
