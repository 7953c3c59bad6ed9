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
// What an application can rely on:
// - a cancelled read ends with STATUS_CANCELLED and every buffered byte, up to its length;
// - a failed transfer ends with the USB stack's status; buffered bytes stay for the next read;
// - an IN transfer lands in a receive area of its own and is appended to the read-ahead buffer
//   under readBufferLock when it completes, so reads in flight at the same time (and a clear of
//   the buffer) never move bytes underneath a transfer, and the buffer never overflows.
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
    ULONG receiveCapacity;       // bytes of the receive area that follows the context (read)
};

PUCHAR ReceiveAreaOf(TransferContext* context) {
    return reinterpret_cast<PUCHAR>(context + 1);
}

// The length an IN transfer asks for: readChunkSize, kept between 1 and kMaxTransferLength.
ULONG ReadChunkLength(const DeviceRecord* record) {
    ULONG chunk = record->readChunkSize;
    if (chunk == 0) {
        return kDefaultChunkSize;
    }
    return chunk > kMaxTransferLength ? kMaxTransferLength : chunk;
}

// Copies up to `wanted` bytes from the front of the buffer; the caller holds readBufferLock.
LONG TakeLocked(DeviceRecord* record, PUCHAR destination, LONG wanted)
    REQUIRES(record->readBufferLock) {
    if ((driverOptions & kOptionPartialReads) != 0 && wanted > record->readBufferCount) {
        wanted = record->readBufferCount;
    }
    if (wanted <= 0 || wanted > record->readBufferCount) {
        return 0;
    }
    RtlCopyMemory(destination, record->readBuffer, static_cast<SIZE_T>(wanted));
    record->readBufferCount -= wanted;
    RtlMoveMemory(record->readBuffer, record->readBuffer + wanted,
                  static_cast<SIZE_T>(record->readBufferCount));
    return wanted;
}

// Appends received bytes as far as the buffer has room; returns how many it took.
ULONG AppendLocked(DeviceRecord* record, const UCHAR* source, ULONG length)
    REQUIRES(record->readBufferLock) {
    ULONG room = kReadBufferSize - static_cast<ULONG>(record->readBufferCount);
    if (length > room) {
        length = room;
    }
    RtlCopyMemory(record->readBuffer + record->readBufferCount, source, length);
    record->readBufferCount += static_cast<LONG>(length);
    return length;
}

// Length of the next IN transfer: the chunk, but no more whole packets than the read still lacks,
// no more than the receive area and no more than the room the buffer has now. A transfer longer
// than what is missing would keep a read waiting when the device sends exactly the bytes asked
// for in full packets with no zero-length packet after them.
ULONG NextReadLength(TransferContext* context) EXCLUDES(context->deviceRecord->readBufferLock) {
    DeviceRecord* record = context->deviceRecord;
    ULONG length = ReadChunkLength(record);
    if (length > context->receiveCapacity) {
        length = context->receiveCapacity;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    LONG buffered = record->readBufferCount;
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    ULONG room = kReadBufferSize - static_cast<ULONG>(buffered);
    ULONG packet = context->packetSize != 0 ? context->packetSize : 1;
    ULONG missing =
        context->remaining > buffered ? static_cast<ULONG>(context->remaining - buffered) : 1;
    ULONG wholePackets = (missing + packet - 1) / packet * packet;
    if (length > wholePackets) {
        length = wholePackets;
    }
    if (length > room) {
        length = room >= packet ? room - room % packet : room;
    }
    return length;
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

VOID SetUpNextLocation(PIRP irp, TransferContext* context, PIO_COMPLETION_ROUTINE routine) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &context->urb;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
}

// Ends a request that went down: the context goes, then the reference, after which the device
// may be deleted.
NTSTATUS FinishTransfer(PIRP irp, TransferContext* context) {
    DeviceRecord* record = context->deviceRecord;
    FreePool(context);
    ReleaseIoReference(record);
    return irp->IoStatus.Status;
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

} // namespace

extern "C" {

LONG TakeBufferedData(DeviceRecord* record, PVOID destination, LONG wanted) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    LONG taken = TakeLocked(record, static_cast<PUCHAR>(destination), wanted);
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    return taken;
}

NTSTATUS NTAPI OnReadComplete(PDEVICE_OBJECT device, PIRP irp, PVOID contextPointer) {
    UNREFERENCED_PARAMETER(device);
    auto* context = static_cast<TransferContext*>(contextPointer);
    DeviceRecord* record = context->deviceRecord;
    NTSTATUS status = irp->IoStatus.Status;

    if (status == STATUS_CANCELLED) {
        // The caller gave up: hand over what is buffered, never more than it asked for.
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
        LONG wanted = record->readBufferCount < context->remaining ? record->readBufferCount
                                                                   : context->remaining;
        LONG taken = wanted > 0 ? TakeLocked(record, context->callerBuffer, wanted) : 0;
        KeReleaseSpinLock(&record->readBufferLock, oldIrql);
        irp->IoStatus.Information = static_cast<ULONG_PTR>(taken);
        return FinishTransfer(irp, context);
    }
    if (!NT_SUCCESS(status)) {
        // The failed transfer's bytes are dropped; the buffer keeps what it had.
        return FinishTransfer(irp, context);
    }

    // The stack reports what it moved; it cannot be more than the area it was given.
    ULONG received = context->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received > static_cast<ULONG>(context->chunkLength)) {
        received = static_cast<ULONG>(context->chunkLength);
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->readBufferLock);
    ULONG appended = AppendLocked(record, ReceiveAreaOf(context), received);
    LONG taken = TakeLocked(record, context->callerBuffer, context->remaining);
    if (appended < received) {
        // Only several reads in flight side by side can fill the buffer; the take made room
        // again. Whatever still does not fit has no place to go and is dropped.
        AppendLocked(record, ReceiveAreaOf(context) + appended, received - appended);
    }
    KeReleaseSpinLock(&record->readBufferLock, oldIrql);
    context->remaining -= taken;

    if (taken > 0) {
        irp->IoStatus.Information = static_cast<ULONG_PTR>(taken);
        return FinishTransfer(irp, context);
    }

    // Not enough yet (or a zero-length packet): the same request goes down again.
    ULONG length = NextReadLength(context);
    if (length == 0) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = 0;
        return FinishTransfer(irp, context);
    }
    context->chunkLength = static_cast<LONG>(length);
    BuildTransfer(context, ReceiveAreaOf(context), length,
                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    SetUpNextLocation(irp, context, OnReadComplete);
    IofCallDriver(record->lowerDevice, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT device, PIRP irp, PVOID contextPointer) {
    UNREFERENCED_PARAMETER(device);
    auto* context = static_cast<TransferContext*>(contextPointer);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        return FinishTransfer(irp, context);
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
    return FinishTransfer(irp, context);
}

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp, ULONG isRead) {
    DeviceRecord* record = RecordOf(device);

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
        LONG taken = TakeBufferedData(record, callerBuffer, static_cast<LONG>(length));
        if (taken > 0) {
            return CompleteRequest(irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(taken));
        }
    }

    ULONG receiveCapacity = isRead != 0 ? ReadChunkLength(record) : 0;
    auto* context = static_cast<TransferContext*>(
        AllocateZeroedPool(static_cast<LONG>(sizeof(TransferContext) + receiveCapacity)));
    if (context == nullptr) {
        return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    context->remaining = static_cast<LONG>(length);
    context->transferred = 0;
    context->deviceRecord = record;
    context->callerBuffer = callerBuffer;
    context->pipeHandle = pipe->PipeHandle;
    context->packetSize = pipe->MaximumPacketSize;
    context->receiveCapacity = receiveCapacity;

    // A copy for the recovery below: the pipe table may be released once the transfer is over.
    USBD_PIPE_INFORMATION pipeCopy = *pipe;

    if (isRead != 0) {
        ULONG chunk = NextReadLength(context);
        if (chunk == 0) {
            FreePool(context);
            return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        context->chunkLength = static_cast<LONG>(chunk);
        BuildTransfer(context, ReceiveAreaOf(context), chunk,
                      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    } else {
        context->chunkLength = static_cast<LONG>(length);
        BuildTransfer(context, callerBuffer, length, 0);
    }

    IoMarkIrpPending(irp);
    // One reference for the transfer, dropped by its completion routine, and one for this
    // routine, which still talks to the lower device after the request may have completed.
    AcquireIoReference(record);
    AcquireIoReference(record);
    SetUpNextLocation(irp, context, isRead != 0 ? OnReadComplete : OnWriteComplete);
    NTSTATUS status = IofCallDriver(record->lowerDevice, irp);
    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED &&
        status != STATUS_DEVICE_NOT_CONNECTED) {
        // The request has already been completed with the failure; repair the pipe for later ones.
        if (!NT_SUCCESS(ResetPipe(device, &pipeCopy))) {
            ResetPort(device);
        }
    }
    ReleaseIoReference(record);
    return STATUS_PENDING;
}

} // extern "C"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    return DispatchReadWrite(device, irp, 1);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    return DispatchReadWrite(device, irp, 0);
}
