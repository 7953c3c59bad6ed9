// Create, close and cleanup of device and pipe handles.
//
// A handle opened with an empty file name is a device handle (control codes only); a name that
// ends in a decimal number opens the pipe of that index in the selected interface. The handle's
// file object keeps the pipe's entry of interfaceInfo in FsContext.
#include "kestrune.h"

namespace {

// A file name can address pipes 0 to kMaxPipeIndex only.
constexpr ULONG kMaxPipeIndex = 5;
constexpr LONG kNoPipe = -1;

bool IsDigit(WCHAR unit) {
    return unit >= L'0' && unit <= L'9';
}

// The index spelled by the last run of decimal digits in the name, or kNoPipe. A run worth more
// than kMaxPipeIndex is refused however long it is, so no value wraps back into range.
LONG PipeIndexFromFileName(const DeviceRecord* record, const UNICODE_STRING* name) {
    ULONG units = name->Length / sizeof(WCHAR);
    if (units == 0 || name->Buffer == nullptr) {
        return kNoPipe;
    }
    ULONG last = units;
    while (last > 0 && !IsDigit(name->Buffer[last - 1])) {
        --last;
    }
    if (last == 0) {
        return kNoPipe;
    }
    ULONG first = last - 1;
    while (first > 0 && IsDigit(name->Buffer[first - 1])) {
        --first;
    }
    ULONG value = 0;
    for (ULONG i = first; i < last; ++i) {
        value = value * 10 + static_cast<ULONG>(name->Buffer[i] - L'0');
        if (value > kMaxPipeIndex) {
            return kNoPipe;
        }
    }
    if (record->pipeOpen == nullptr) {
        return kNoPipe;
    }
    return static_cast<LONG>(value);
}

} // namespace

// The pipe entry of a pipe handle, as long as it belongs to the pipe table of the current start.
// A handle opened before a stop points into a table that was released since (and a new table may
// sit at the same address); such a handle, and a device handle, have none. The handle keeps the
// pipe handle of its start in FsContext2, and the entry is only read once it lies in the table.
PUSBD_PIPE_INFORMATION PipeOfHandle(DeviceRecord* record, PFILE_OBJECT file) {
    if (file == nullptr || file->FsContext == nullptr || record->interfaceInfo == nullptr) {
        return nullptr;
    }
    PUSBD_INTERFACE_INFORMATION info = record->interfaceInfo;
    ULONG_PTR first = reinterpret_cast<ULONG_PTR>(&info->Pipes[0]);
    ULONG_PTR end =
        first + static_cast<ULONG_PTR>(info->NumberOfPipes) * sizeof(USBD_PIPE_INFORMATION);
    ULONG_PTR entry = reinterpret_cast<ULONG_PTR>(file->FsContext);
    if (entry < first || entry >= end || (entry - first) % sizeof(USBD_PIPE_INFORMATION) != 0) {
        return nullptr;
    }
    auto pipe = static_cast<PUSBD_PIPE_INFORMATION>(file->FsContext);
    return pipe->PipeHandle == file->FsContext2 ? pipe : nullptr;
}

namespace {

// Opens the handle once the gate is passed; the caller holds an I/O reference, so a stop or
// removal query waits for it before the pipe table can go.
NTSTATUS OpenHandle(DeviceRecord* record, PIRP irp) {
    if (DeviceStateOf(record) != Working || record->interfaceInfo == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    file->FsContext = nullptr;
    file->FsContext2 = nullptr;
    if (file->FileName.Length == 0) {
        InterlockedIncrement(&record->openHandles);
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    LONG index = PipeIndexFromFileName(record, &file->FileName);
    if (index == kNoPipe) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (static_cast<ULONG>(index) >= record->interfaceInfo->NumberOfPipes) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    file->FsContext = &record->interfaceInfo->Pipes[index];
    file->FsContext2 = record->interfaceInfo->Pipes[index].PipeHandle;
    // The byte counts the pipe's open handles, so that closing one of several keeps the pipe
    // marked for the aborts of the removal paths. It sticks at its top instead of wrapping.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    if (record->pipeOpen[index] != 0xFF) {
        ++record->pipeOpen[index];
    }
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    InterlockedIncrement(&record->openHandles);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

}  // namespace

// Every handler takes its I/O reference before it looks at the device state, and drops it on
// refusal: a stop or removal that begins after the look waits for the reference before it
// releases what the handler uses.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    AcquireIoReference(record);
    NTSTATUS status = OpenHandle(record, irp);
    ReleaseIoReference(record);
    return status;
}

// A close may come at any time, also while a stop releases the pipe table or after the removal;
// the table is looked at and the count changed under queueLock, which the release takes too.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    AcquireIoReference(record);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    // Handles of an earlier start, and handles after stop or removal, have no pipe of the
    // current table and change no mark.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    PUSBD_PIPE_INFORMATION pipe = PipeOfHandle(record, file);
    if (pipe != nullptr && record->pipeOpen != nullptr) {
        ULONG index = static_cast<ULONG>(pipe - &record->interfaceInfo->Pipes[0]);
        if (record->pipeOpen[index] != 0 && record->pipeOpen[index] != 0xFF) {
            --record->pipeOpen[index];
        }
    }
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    NTSTATUS status = CompleteRequest(irp, STATUS_SUCCESS, 0);
    InterlockedDecrement(&record->openHandles);
    ReleaseIoReference(record);
    return status;
}

// The closing handle's requests that wait in the driver (held, or waiting for their turn to
// read) end as cancelled, so that the close that follows is not kept waiting. Reads and writes
// with the USB stack stay until they end or are cancelled; the read-ahead buffer keeps its bytes
// for the next reader.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    AcquireIoReference(record);
    CancelRequestsOfFile(record, IoGetCurrentIrpStackLocation(irp)->FileObject);
    NTSTATUS status = CompleteRequest(irp, STATUS_SUCCESS, 0);
    ReleaseIoReference(record);
    return status;
}
