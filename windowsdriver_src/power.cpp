// Power requests.
#include "kestrune.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    if (record->deviceState == Removed) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    // Until the driver manages the device's power itself, the bus driver below decides.
    AcquireIoReference(record);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = PoCallDriver(record->lowerDevice, irp);
    ReleaseIoReference(record);
    return status;
}
