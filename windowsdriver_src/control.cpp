// Control codes for applications: descriptors and strings, version and build date, options and
// chunk sizes, pipe and port resets, and clearing the read-ahead buffer. Every request is finished
// in the caller's thread before the routine returns.
#include "kestrune.h"
#include "kestrune_ioctl.h"

namespace {

constexpr ULONG kDriverVersion = 27010;
// The build stamp applications read; fixed, so that every build of this version reports the same.
const char kBuildDate[21] = "Oct 29 2018 15:54:50";
// Every read-ahead transfer lands behind the data still buffered, so a chunk longer than this
// could not fit next to a full request's worth of buffered data.
constexpr ULONG kMaxReadChunkSize = 65536;
constexpr ULONG kStringBufferSize = 256;

static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x111, METHOD_BUFFERED, FILE_ANY_ACCESS) ==
                  IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR,
              "control code layout");
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x122, METHOD_BUFFERED, FILE_ANY_ACCESS) ==
                  IOCTL_KESTRUNE_CLEAR_READ_BUFFER,
              "control code layout");

struct ControlRequest {
    PVOID buffer;
    ULONG inputLength;
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
};

void WriteWord(ControlRequest* request, ULONG value) {
    if (request->outputLength < sizeof(ULONG)) {
        request->status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    RtlCopyMemory(request->buffer, &value, sizeof(value));
    request->status = STATUS_SUCCESS;
    request->information = sizeof(ULONG);
}

// Takes the input word of a set code. The request reports the 4 bytes, which the I/O manager
// copies back to the caller's output buffer, as far as that buffer goes: an output buffer of 0 to
// 3 bytes gets only what fits, never more than the caller gave.
bool ReadWord(ControlRequest* request, ULONG* value) {
    if (request->inputLength < sizeof(ULONG)) {
        request->status = STATUS_BUFFER_TOO_SMALL;
        return false;
    }
    RtlCopyMemory(value, request->buffer, sizeof(*value));
    request->status = STATUS_SUCCESS;
    request->information =
        request->outputLength < sizeof(ULONG) ? request->outputLength : sizeof(ULONG);
    return true;
}

// The low byte of each UTF-16 unit of a string descriptor, ended by a NUL. The units end at
// bLength, which the string reads have already lowered to the bytes the stack reported, and
// bLength (a byte) never leads past the kStringBufferSize bytes the descriptor lies in.
ULONG UnicodeToNarrow(const UCHAR* descriptor, char* text) {
    static_assert(kStringBufferSize >= 255, "bLength stays inside the descriptor buffer");
    ULONG units = descriptor[0] >= 2 ? (descriptor[0] - 2u) / 2u : 0;
    ULONG length = 0;
    for (ULONG i = 0; i < units; ++i) {
        text[i] = static_cast<char>(descriptor[2 + 2 * i]);
    }
    text[units] = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

void CopyText(ControlRequest* request, const UCHAR* descriptor) {
    char text[kStringBufferSize / 2 + 1];
    ULONG length = UnicodeToNarrow(descriptor, text);
    if (request->outputLength < length + 1) {
        request->status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    RtlCopyMemory(request->buffer, text, length + 1);
    request->status = STATUS_SUCCESS;
    request->information = length + 1;
}

// The cached descriptor is copied out under its lock; the text is made from the copy.
void GetSerialNumber(PDEVICE_OBJECT device, ControlRequest* request) {
    DeviceRecord* record = RecordOf(device);
    CacheSerialNumberDescriptor(device);
    UCHAR descriptor[sizeof(record->serialDescriptor)];
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    RtlCopyMemory(descriptor, record->serialDescriptor, sizeof(descriptor));
    KeReleaseSpinLock(&record->queueLock, oldIrql);
    if (descriptor[0] == 0) {
        request->status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    CopyText(request, descriptor);
}

void GetDeviceString(PDEVICE_OBJECT device, UCHAR index, ControlRequest* request) {
    UCHAR* descriptor = static_cast<UCHAR*>(AllocateZeroedPool(kStringBufferSize));
    if (descriptor == nullptr) {
        request->status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    if (ReadStringDescriptor(device, index, descriptor, kStringBufferSize) == STATUS_SUCCESS) {
        CopyText(request, descriptor);
    } else {
        request->status = STATUS_UNSUCCESSFUL;
    }
    FreePool(descriptor);
}

void GetConfigDescriptor(DeviceRecord* record, ControlRequest* request) {
    if (record->configDescriptor == nullptr) {
        request->status = STATUS_UNSUCCESSFUL;
        return;
    }
    ULONG length = record->configDescriptor->wTotalLength;
    if (request->outputLength < length) {
        request->status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    RtlCopyMemory(request->buffer, record->configDescriptor, length);
    request->status = STATUS_SUCCESS;
    request->information = length;
}

void ClearReadBuffer(DeviceRecord* record, ControlRequest* request) {
    EmptyReadBuffer(record);
    request->status = STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    return DispatchControlRequest(device, irp, FALSE);
}

NTSTATUS DispatchControlRequest(PDEVICE_OBJECT device, PIRP irp, BOOLEAN resumed) {
    DeviceRecord* record = RecordOf(device);
    // The reference first, then the gate: a stop or removal that begins after the look waits
    // for this request. A request held while the device is out of D0 goes on later.
    AcquireIoReference(record);
    if (DeviceStateOf(record) != Working) {
        ReleaseIoReference(record);
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    if (HoldRequestIfNeeded(record, irp, resumed)) {
        ReleaseIoReference(record);
        return STATUS_PENDING;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ControlRequest request;
    request.buffer = irp->AssociatedIrp.SystemBuffer;
    request.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.status = STATUS_UNSUCCESSFUL;
    request.information = 0;
    ULONG value = 0;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR:
        GetConfigDescriptor(record, &request);
        break;
    case IOCTL_KESTRUNE_RESET_PORT:
        request.status = ResetPort(device);
        break;
    case IOCTL_KESTRUNE_RESET_PIPE: {
        PUSBD_PIPE_INFORMATION pipe = PipeOfHandle(record, stack->FileObject);
        request.status = pipe != nullptr ? ResetPipe(device, pipe) : STATUS_INVALID_PARAMETER;
        break;
    }
    case IOCTL_KESTRUNE_SET_OPTIONS:
        if (ReadWord(&request, &value)) {
            StoreWhole(&driverOptions, value);
        }
        break;
    case IOCTL_KESTRUNE_GET_OPTIONS:
        WriteWord(&request, LoadWhole(&driverOptions));
        break;
    case IOCTL_KESTRUNE_GET_VERSION:
        WriteWord(&request, kDriverVersion);
        break;
    case IOCTL_KESTRUNE_GET_BUILD_DATE:
        if (request.outputLength < sizeof(kBuildDate)) {
            request.status = STATUS_BUFFER_TOO_SMALL;
        } else {
            RtlCopyMemory(request.buffer, kBuildDate, sizeof(kBuildDate));
            request.status = STATUS_SUCCESS;
            request.information = sizeof(kBuildDate);
        }
        break;
    case IOCTL_KESTRUNE_GET_MAX_TRANSFER_A:
    case IOCTL_KESTRUNE_GET_MAX_TRANSFER_B:
        WriteWord(&request, kMaxTransferLength);
        break;
    case IOCTL_KESTRUNE_GET_SERIAL_NUMBER:
        GetSerialNumber(device, &request);
        break;
    case IOCTL_KESTRUNE_GET_START_TICK:
        WriteWord(&request, record->startTick);
        break;
    case IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE:
        // A zero-length chunk would never bring data, a longer one would overrun the buffer.
        if (ReadWord(&request, &value)) {
            if (value == 0 || value > kMaxReadChunkSize) {
                request.status = STATUS_INVALID_PARAMETER;
                request.information = 0;
            } else {
                StoreWhole(&record->readChunkSize, value);
            }
        }
        break;
    case IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE:
        if (ReadWord(&request, &value)) {
            StoreWhole(&record->writeChunkSize, value);
        }
        break;
    case IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE:
        WriteWord(&request, LoadWhole(&record->readChunkSize));
        break;
    case IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE:
        WriteWord(&request, LoadWhole(&record->writeChunkSize));
        break;
    case IOCTL_KESTRUNE_GET_MANUFACTURER_STRING:
        GetDeviceString(device, record->deviceDescriptor.iManufacturer, &request);
        break;
    case IOCTL_KESTRUNE_GET_PRODUCT_STRING:
        GetDeviceString(device, record->deviceDescriptor.iProduct, &request);
        break;
    case IOCTL_KESTRUNE_CLEAR_READ_BUFFER:
        ClearReadBuffer(record, &request);
        break;
    default:
        request.status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }

    if (!NT_SUCCESS(request.status)) {
        request.information = 0;
    }
    NTSTATUS status = CompleteRequest(irp, request.status, request.information);
    ReleaseIoReference(record);
    return status;
}
