// Requests the driver sends down and waits for.
#include "kestrune.h"

// Signals the waiting sender and keeps the request: the sender still owns it and completes it.
NTSTATUS NTAPI SignalAndHoldCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
