// Requests the driver sends down to the USB stack and waits for: URBs with and without a
// time-out, string descriptors, the serial-number cache, the port and pipe resets.
#include "kestrune.h"

namespace {

// Builds an internal device-control request for the lower driver, sends it and waits for its end.
// The I/O manager fills the status block and then signals the event, so both stay on this frame.
NTSTATUS CallAndWait(DeviceRecord* record, ULONG code, PVOID argument) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(code, record->lowerDevice, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(record->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// Fills a string descriptor request for the given index and buffer.
void BuildStringRequest(PURB urb, UCHAR index, PVOID buffer, ULONG length) {
    UsbBuildGetDescriptorRequest(urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                 USB_STRING_DESCRIPTOR_TYPE, index, 0, buffer, nullptr, length, nullptr);
}

// A string descriptor whose bLength claims more than the stack reported gets bLength lowered to
// the bytes that arrived, so that the text is taken only from them.
void TrimStringDescriptor(PURB urb, PVOID buffer) {
    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    auto* descriptor = static_cast<PUCHAR>(buffer);
    if (received < descriptor[0]) {
        descriptor[0] = static_cast<UCHAR>(received);
    }
}

}  // namespace

NTSTATUS NTAPI SignalAndHoldCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// For a sender that takes the result from the status block the I/O manager fills afterwards.
NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb) {
    DeviceRecord* record = RecordOf(device);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, record->lowerDevice, nullptr,
                                             0, nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

    // The reference keeps stop and removal waiting while the URB is below the driver.
    AcquireIoReference(record);
    NTSTATUS status = IoCallDriver(record->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    ReleaseIoReference(record);
    return status;
}

// The request is the driver's own and its completion routine keeps it, so it stays valid after a
// time-out until IoCancelIrp has been issued, even when the stack completes it in between; the
// result is read from the request itself before it is freed.
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT device, PURB urb, LONG timeoutMs) {
    DeviceRecord* record = RecordOf(device);
    PIRP irp = IoAllocateIrp(record->lowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SignalAndHoldCompletion, &event, TRUE, TRUE, TRUE);

    AcquireIoReference(record);
    NTSTATUS status = IoCallDriver(record->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(timeoutMs * 10000);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
    }
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ReleaseIoReference(record);
    return status;
}

NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT device, UCHAR index, PVOID buffer, ULONG length) {
    // Index 0 is the list of language IDs, not a string.
    if (index == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    PURB urb = static_cast<PURB>(AllocateZeroedPool(sizeof(URB)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildStringRequest(urb, index, buffer, length);
    NTSTATUS status = SubmitUrbWithTimeout(device, urb, kStringTimeoutMs);
    if (status == STATUS_SUCCESS && length != 0) {
        TrimStringDescriptor(urb, buffer);
    }
    FreePool(urb);
    return status;
}

// Reads the serial number string once; a failed read leaves the cache empty for the next query.
// The read lands in a buffer of its own and only a complete one is stored, under queueLock, so a
// failed or timed-out read never leaves half a descriptor behind, and queries running at the
// same time never see one being written.
VOID CacheSerialNumberDescriptor(PDEVICE_OBJECT device) {
    DeviceRecord* record = RecordOf(device);
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    BOOLEAN cached = record->serialCached != 0;
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    if (record->serialIndex == 0 || cached) {
        return;
    }
    constexpr ULONG kLength = sizeof(record->serialDescriptor);
    auto* descriptor = static_cast<UCHAR*>(AllocateZeroedPool(static_cast<LONG>(kLength)));
    PURB urb = static_cast<PURB>(AllocateZeroedPool(sizeof(URB)));
    if (descriptor != nullptr && urb != nullptr) {
        BuildStringRequest(urb, record->serialIndex, descriptor, kLength);
        if (SubmitUrbWithTimeout(device, urb, kStringTimeoutMs) == STATUS_SUCCESS) {
            TrimStringDescriptor(urb, descriptor);
            oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
            RtlCopyMemory(record->serialDescriptor, descriptor, kLength);
            record->serialCached = 1;
            KeReleaseSpinLock(&record->queueLock, oldIrql);
        }
    }
    if (urb != nullptr) {
        FreePool(urb);
    }
    if (descriptor != nullptr) {
        FreePool(descriptor);
    }
}

NTSTATUS GetPortStatus(PDEVICE_OBJECT device, PULONG portStatus) {
    *portStatus = 0;
    return CallAndWait(RecordOf(device), IOCTL_INTERNAL_USB_GET_PORT_STATUS, portStatus);
}

// A port without a device cannot be reset; that is not a failure of the caller.
NTSTATUS ResetPort(PDEVICE_OBJECT device) {
    ULONG portStatus = 0;
    NTSTATUS status = GetPortStatus(device, &portStatus);
    if (!NT_SUCCESS(status) || (portStatus & USBD_PORT_CONNECTED) == 0) {
        return status;
    }
    return CallAndWait(RecordOf(device), IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

NTSTATUS EnablePort(PDEVICE_OBJECT device) {
    return CallAndWait(RecordOf(device), IOCTL_INTERNAL_USB_ENABLE_PORT, nullptr);
}

NTSTATUS ResetPipe(PDEVICE_OBJECT device, PUSBD_PIPE_INFORMATION pipe) {
    PURB urb = static_cast<PURB>(AllocateZeroedPool(sizeof(URB)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Length = static_cast<USHORT>(sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    NTSTATUS status = SubmitUrbSync(device, urb);
    FreePool(urb);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
