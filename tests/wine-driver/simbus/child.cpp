// ksusbsim: the child devices. Each one is a USB device on the simulated bus: it answers the
// Plug and Play requests of a physical device object with USB identifiers, and the USB stack's
// internal requests (URBs and port requests) from its instrument model. Bulk IN data is sent
// in packets of the endpoint's size: a transfer ends when its buffer is full or on a short
// packet, and otherwise waits for more data (or, where the model says so, for the zero-length
// packet that follows data ending on a full packet).
#include "simbus.h"

#include <stddef.h>

#ifndef KESTRUNE_OWN_VENDOR_ID
#error "KESTRUNE_OWN_VENDOR_ID must be set by the build"
#endif

constexpr USHORT kVendorId = KESTRUNE_OWN_VENDOR_ID;

const InstrumentModel kInstruments[] = {
    // 0: returns on its bulk IN pipe what it receives on its bulk OUT pipe, takes 64 KiB chunks.
    {0x0002,
     0x0100,
     L"LOOP0001",
     L"Trelvo",
     L"Loopback instrument",
     2,
     {{0x01, 2, 512, 0}, {0x81, 2, 512, 0}},
     true,
     true,
     true},
    // 1: sends what the test queued, keeps what it receives, stalls the vendor probe, has an
    //    interrupt pipe besides its bulk pipes and sends no zero-length packets.
    {0x0001,
     0x0210,
     L"SCRIPT02",
     L"Trelvo",
     L"Scripted instrument",
     3,
     {{0x81, 2, 512, 0}, {0x02, 2, 512, 0}, {0x83, 3, 8, 10}},
     false,
     false,
     false},
};
const ULONG kInstrumentCount = sizeof(kInstruments) / sizeof(kInstruments[0]);

namespace {

constexpr UCHAR kManufacturerIndex = 1;
constexpr UCHAR kProductIndex = 2;
constexpr UCHAR kSerialIndex = 3;

ULONG WideLength(const WCHAR* text) {
    ULONG n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

constexpr ULONG kNoClass = 0x100;

ULONG AppendText(WCHAR* text, ULONG units, const WCHAR* part) {
    while (*part != 0) {
        text[units++] = *part++;
    }
    return units;
}

ULONG AppendHex(WCHAR* text, ULONG units, ULONG value, ULONG digits) {
    for (ULONG i = digits; i-- > 0;) {
        ULONG digit = (value >> (4 * i)) & 0xF;
        text[units++] = WCHAR(digit < 10 ? L'0' + digit : L'A' + digit - 10);
    }
    return units;
}

ULONG BuildDeviceDescriptor(const InstrumentModel* model, UCHAR* out) {
    const UCHAR bytes[18] = {18,
                             USB_DEVICE_DESCRIPTOR_TYPE,
                             0x00,
                             0x02,
                             0xFF,
                             0x00,
                             0x00,
                             64,
                             UCHAR(kVendorId & 0xFF),
                             UCHAR(kVendorId >> 8),
                             UCHAR(model->productId & 0xFF),
                             UCHAR(model->productId >> 8),
                             UCHAR(model->bcdDevice & 0xFF),
                             UCHAR(model->bcdDevice >> 8),
                             kManufacturerIndex,
                             kProductIndex,
                             kSerialIndex,
                             1};
    RtlCopyMemory(out, bytes, sizeof(bytes));
    return sizeof(bytes);
}

// Configuration 1: one vendor-specific interface with the model's endpoints; bus-powered,
// no remote wake-up (power is not simulated).
ULONG BuildConfigurationDescriptor(const InstrumentModel* model, UCHAR* out) {
    ULONG total = 9 + 9 + 7 * model->numEndpoints;
    const UCHAR head[18] = {9,
                            USB_CONFIGURATION_DESCRIPTOR_TYPE,
                            UCHAR(total & 0xFF),
                            UCHAR(total >> 8),
                            1,
                            1,
                            0,
                            0x80,
                            50,
                            9,
                            USB_INTERFACE_DESCRIPTOR_TYPE,
                            0,
                            0,
                            model->numEndpoints,
                            0xFF,
                            0x00,
                            0x00,
                            0};
    RtlCopyMemory(out, head, sizeof(head));
    UCHAR* p = out + sizeof(head);
    for (ULONG i = 0; i < model->numEndpoints; ++i) {
        const EndpointModel& e = model->endpoints[i];
        const UCHAR endpoint[7] = {7,
                                   USB_ENDPOINT_DESCRIPTOR_TYPE,
                                   e.address,
                                   e.attributes,
                                   UCHAR(e.maxPacket & 0xFF),
                                   UCHAR(e.maxPacket >> 8),
                                   e.interval};
        RtlCopyMemory(p, endpoint, sizeof(endpoint));
        p += sizeof(endpoint);
    }
    return total;
}

// Returns the descriptor's length, or 0 for a string the device does not have.
ULONG BuildStringDescriptor(const InstrumentModel* model, UCHAR index, UCHAR* out) {
    if (index == 0) {
        const UCHAR languages[4] = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
        RtlCopyMemory(out, languages, sizeof(languages));
        return sizeof(languages);
    }
    const WCHAR* text = index == kManufacturerIndex ? model->manufacturer
                        : index == kProductIndex    ? model->product
                        : index == kSerialIndex     ? model->serial
                                                    : nullptr;
    if (text == nullptr) {
        return 0;
    }
    ULONG units = WideLength(text);
    out[0] = UCHAR(2 + 2 * units);
    out[1] = USB_STRING_DESCRIPTOR_TYPE;
    for (ULONG i = 0; i < units; ++i) {
        out[2 + 2 * i] = UCHAR(text[i] & 0xFF);
        out[3 + 2 * i] = UCHAR(text[i] >> 8);
    }
    return out[0];
}

NTSTATUS CompleteUrb(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbStatus) {
    urb->UrbHeader.Status = usbStatus;
    return CompleteSimRequest(irp, status, 0);
}

NTSTATUS AnswerDescriptorRequest(ChildRecord* child, PIRP irp, PURB urb) {
    auto& request = urb->UrbControlDescriptorRequest;
    UCHAR descriptor[256];
    ULONG length = 0;
    switch (request.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        length = BuildDeviceDescriptor(child->model, descriptor);
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        length = request.Index == 0 ? BuildConfigurationDescriptor(child->model, descriptor) : 0;
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        length = BuildStringDescriptor(child->model, request.Index, descriptor);
        break;
    }
    if (length == 0) {
        return CompleteUrb(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    void* buffer = request.TransferBuffer;
    if (buffer == nullptr && request.TransferBufferMDL != nullptr) {
        buffer = MmGetSystemAddressForMdlSafe(request.TransferBufferMDL, NormalPagePriority);
    }
    if (buffer == nullptr) {
        return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    ULONG copied = request.TransferBufferLength < length ? request.TransferBufferLength : length;
    RtlCopyMemory(buffer, descriptor, copied);
    request.TransferBufferLength = copied;
    return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS SelectConfiguration(ChildRecord* child, PIRP irp, PURB urb) {
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    child->counters.selects++;
    KeReleaseSpinLock(&child->lock, irql);
    auto& select = urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) {
        return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    select.ConfigurationHandle = child;
    auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
    auto* iface = &select.Interface;
    const ULONG header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    while (reinterpret_cast<UCHAR*>(iface) + header <= end && iface->Length >= header) {
        if (iface->InterfaceNumber != 0 || iface->AlternateSetting != 0) {
            return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        ULONG room = (iface->Length - header) / sizeof(USBD_PIPE_INFORMATION);
        const InstrumentModel* model = child->model;
        if (room < model->numEndpoints) {
            return CompleteUrb(irp, urb, STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL);
        }
        iface->Class = 0xFF;
        iface->SubClass = 0;
        iface->Protocol = 0;
        iface->InterfaceHandle = &child->pipes[0];
        iface->NumberOfPipes = model->numEndpoints;
        for (ULONG i = 0; i < model->numEndpoints; ++i) {
            const EndpointModel& e = model->endpoints[i];
            USBD_PIPE_INFORMATION& pipe = iface->Pipes[i];
            pipe.MaximumPacketSize = e.maxPacket;
            pipe.EndpointAddress = e.address;
            pipe.Interval = e.interval;
            pipe.PipeType = e.attributes == 3 ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk;
            pipe.PipeHandle = &child->pipes[i];
        }
        iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(iface) +
                                                              iface->Length);
    }
    return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

PipeRecord* PipeOf(ChildRecord* child, USBD_PIPE_HANDLE handle) {
    for (ULONG i = 0; i < child->model->numEndpoints; ++i) {
        if (handle == &child->pipes[i]) {
            return &child->pipes[i];
        }
    }
    return nullptr;
}

bool Append(ByteQueue& queue, const UCHAR* bytes, ULONG length) {
    if (length > kMaxQueueBytes - queue.count) {
        return false;
    }
    if (queue.start + queue.count + length > queue.capacity) {
        ULONG needed = queue.count + length;
        if (needed > queue.capacity) {
            ULONG grown = queue.capacity == 0 ? 65536 : queue.capacity;
            while (grown < needed) {
                grown *= 2;
            }
            auto* bigger = static_cast<UCHAR*>(AllocateSimPool(grown));
            if (bigger == nullptr) {
                return false;
            }
            if (queue.count != 0) {
                RtlCopyMemory(bigger, queue.data + queue.start, queue.count);
            }
            if (queue.data != nullptr) {
                FreeSimPool(queue.data);
            }
            queue.data = bigger;
            queue.capacity = grown;
        } else {
            RtlMoveMemory(queue.data, queue.data + queue.start, queue.count);
        }
        queue.start = 0;
    }
    RtlCopyMemory(queue.data + queue.start + queue.count, bytes, length);
    queue.count += length;
    return true;
}

// Copies up to `length` bytes from the front of the queue and removes them; returns the count.
ULONG Take(ByteQueue& queue, UCHAR* destination, ULONG length) {
    ULONG n = queue.count < length ? queue.count : length;
    if (n != 0) {
        RtlCopyMemory(destination, queue.data + queue.start, n);
    }
    queue.start += n;
    queue.count -= n;
    if (queue.count == 0) {
        queue.start = 0;
    }
    return n;
}

void Release(ByteQueue& queue) {
    if (queue.data != nullptr) {
        FreeSimPool(queue.data);
    }
    queue = {};
}

// Per waiting IN transfer, in the request's driver context: its buffer and what it received.
struct InProgress {
    UCHAR* buffer;
    ULONG_PTR received;
};

InProgress* ProgressOf(PIRP irp) {
    static_assert(sizeof(InProgress) <= sizeof(irp->Tail.Overlay.DriverContext),
                  "driver context too small");
    return reinterpret_cast<InProgress*>(irp->Tail.Overlay.DriverContext);
}

PURB UrbOf(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

// Moves data into a waiting IN transfer, packet by packet; true when the transfer is over.
// The child's lock is held.
bool FeedInTransfer(ChildRecord* child, PIRP irp) {
    PURB urb = UrbOf(irp);
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    InProgress* progress = ProgressOf(irp);
    auto* pipe = static_cast<PipeRecord*>(transfer.PipeHandle);
    ULONG packet = pipe->endpoint->maxPacket;
    ULONG capacity = transfer.TransferBufferLength;
    for (;;) {
        ULONG room = capacity - ULONG(progress->received);
        if (room == 0) {
            return true;
        }
        if (child->modes & KSUSBSIM_MODE_ENDLESS_IN) {
            for (ULONG i = 0; i < room; ++i) {
                progress->buffer[progress->received + i] = UCHAR(child->patternNext);
                child->patternNext = (child->patternNext + 1) % 251;
            }
            progress->received = capacity;
            return true;
        }
        if (child->in.count == 0) {
            // Data that ended on a full packet: the device follows it with a zero-length packet
            // or leaves the transfer waiting.
            return progress->received != 0 && child->model->zeroLengthPackets;
        }
        ULONG size = child->in.count < packet ? child->in.count : packet;
        if (size > room) {
            // A packet larger than the space left: the host controller reports babble.
            return true;
        }
        progress->received += Take(child->in, progress->buffer + progress->received, size);
        if (size < packet) {
            return true;
        }
    }
}

void FinishInTransfer(ChildRecord* child, PIRP irp, NTSTATUS status, USBD_STATUS usbStatus) {
    PURB urb = UrbOf(irp);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = ULONG(ProgressOf(irp)->received);
    urb->UrbHeader.Status = usbStatus;
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    child->counters.inTransfers++;
    if (status == STATUS_CANCELLED) {
        child->counters.cancelledIn++;
    }
    KeReleaseSpinLock(&child->lock, irql);
    CompleteSimRequest(irp, status, 0);
}

void CancelInTransfer(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* child = static_cast<ChildRecord*>(device->DeviceExtension);
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&child->lock, irql);
    FinishInTransfer(child, irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

bool IsBulk(PIRP irp) {
    auto* pipe = static_cast<PipeRecord*>(UrbOf(irp)->UrbBulkOrInterruptTransfer.PipeHandle);
    return pipe->endpoint->attributes == 2;
}

// Gives queued data to the waiting bulk IN transfers in order, and completes those that are
// over. (The interrupt endpoint never has data.) Completion happens outside the lock: the
// function driver may send the next transfer from its completion routine, straight back into
// this child.
void ServeWaitingTransfers(ChildRecord* child) {
    for (;;) {
        PIRP done = nullptr;
        KIRQL irql;
        KeAcquireSpinLock(&child->lock, &irql);
        for (PLIST_ENTRY entry = child->pendingIn.Flink; entry != &child->pendingIn;
             entry = entry->Flink) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            if (!IsBulk(irp)) {
                continue;
            }
            if (FeedInTransfer(child, irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                RemoveEntryList(entry);
                done = irp;
            }
            break;
        }
        KeReleaseSpinLock(&child->lock, irql);
        if (done == nullptr) {
            return;
        }
        FinishInTransfer(child, done, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
}

// Ends the waiting IN transfers of one pipe, or of all pipes when pipe is null, with the given
// status: an abort or an unplug.
void EndWaitingTransfers(ChildRecord* child, PipeRecord* pipe, NTSTATUS status,
                         USBD_STATUS usbStatus) {
    for (;;) {
        PIRP done = nullptr;
        KIRQL irql;
        KeAcquireSpinLock(&child->lock, &irql);
        for (PLIST_ENTRY entry = child->pendingIn.Flink; entry != &child->pendingIn;
             entry = entry->Flink) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            if (pipe != nullptr && UrbOf(irp)->UrbBulkOrInterruptTransfer.PipeHandle != pipe) {
                continue;
            }
            if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
                RemoveEntryList(entry);
                done = irp;
                break;
            }
        }
        KeReleaseSpinLock(&child->lock, irql);
        if (done == nullptr) {
            return;
        }
        FinishInTransfer(child, done, status, usbStatus);
    }
}

NTSTATUS BulkTransfer(ChildRecord* child, PIRP irp, PURB urb) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    PipeRecord* pipe = PipeOf(child, transfer.PipeHandle);
    if (pipe == nullptr) {
        return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    if (!child->present) {
        return CompleteUrb(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    auto* buffer = static_cast<UCHAR*>(transfer.TransferBuffer);
    if (buffer == nullptr && transfer.TransferBufferMDL != nullptr) {
        buffer = static_cast<UCHAR*>(
            MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, NormalPagePriority));
    }
    ULONG length = transfer.TransferBufferLength;
    if (buffer == nullptr && length != 0) {
        return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    bool in = (pipe->endpoint->address & 0x80) != 0;
    KIRQL irql;
    if (!in) {
        KeAcquireSpinLock(&child->lock, &irql);
        bool kept = true;
        child->counters.outTransfers++;
        child->counters.outBytesTotal += length;
        if (child->model->loopback) {
            kept = Append(child->in, buffer, length);
        } else if (!(child->modes & KSUSBSIM_MODE_DISCARD_OUT)) {
            kept = Append(child->kept, buffer, length);
        }
        KeReleaseSpinLock(&child->lock, irql);
        NTSTATUS status = kept ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        CompleteUrb(irp, urb, status,
                    kept ? USBD_STATUS_SUCCESS : USBD_STATUS_INSUFFICIENT_RESOURCES);
        if (child->model->loopback) {
            ServeWaitingTransfers(child);
        }
        return status;
    }
    // IN: queued behind the transfers already waiting, so the data stays in order.
    InProgress* progress = ProgressOf(irp);
    progress->buffer = buffer;
    progress->received = 0;
    IoMarkIrpPending(irp);
    KeAcquireSpinLock(&child->lock, &irql);
    if (length > child->counters.largestInRequest) {
        child->counters.largestInRequest = length;
    }
    InsertTailList(&child->pendingIn, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelInTransfer);
    bool cancelNow = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
    if (cancelNow) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&child->lock, irql);
    if (cancelNow) {
        FinishInTransfer(child, irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    } else {
        ServeWaitingTransfers(child);
    }
    return STATUS_PENDING;
}

NTSTATUS SubmitUrb(ChildRecord* child, PIRP irp) {
    PURB urb = UrbOf(irp);
    if (urb == nullptr) {
        return CompleteSimRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return AnswerDescriptorRequest(child, irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(child, irp, urb);
    case URB_FUNCTION_VENDOR_INTERFACE: {
        KIRQL irql;
        KeAcquireSpinLock(&child->lock, &irql);
        child->counters.vendorProbes++;
        KeReleaseSpinLock(&child->lock, irql);
        if (child->model->acceptsVendorProbe) {
            return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        }
        return CompleteUrb(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkTransfer(child, irp, urb);
    case URB_FUNCTION_ABORT_PIPE: {
        PipeRecord* pipe = PipeOf(child, urb->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) {
            return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        EndWaitingTransfers(child, pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    default:
        return CompleteUrb(irp, urb, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS AnswerQueryId(ChildRecord* child, PIRP irp) {
    const InstrumentModel* model = child->model;
    WCHAR text[128];
    ULONG units = 0;
    // Each identifier ends with a zero; a list ends with one more zero.
    auto put = [&](const WCHAR* prefix, ULONG klass, ULONG revision, bool withRevision) {
        units = AppendText(text, units, prefix);
        if (klass != kNoClass) {
            units = AppendText(text, units, L"USB\\Class_");
            units = AppendHex(text, units, klass, 2);
            if (revision == 1) {
                units = AppendText(text, units, L"&SubClass_00&Prot_00");
            }
        } else {
            units = AppendText(text, units, L"USB\\VID_");
            units = AppendHex(text, units, kVendorId, 4);
            units = AppendText(text, units, L"&PID_");
            units = AppendHex(text, units, model->productId, 4);
            if (withRevision) {
                units = AppendText(text, units, L"&REV_");
                units = AppendHex(text, units, model->bcdDevice, 4);
            }
        }
        text[units++] = 0;
    };
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        put(L"", kNoClass, 0, false);
        break;
    case BusQueryHardwareIDs:
        put(L"", kNoClass, 0, true);
        put(L"", kNoClass, 0, false);
        text[units++] = 0;
        break;
    case BusQueryCompatibleIDs:
        put(L"", 0xFF, 1, false);
        put(L"", 0xFF, 0, false);
        text[units++] = 0;
        break;
    case BusQueryInstanceID: {
        ULONG n = WideLength(model->serial);
        RtlCopyMemory(text, model->serial, (n + 1) * sizeof(WCHAR));
        units = n + 1;
        break;
    }
    default: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
    auto* copy =
        static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), kSimPoolTag));
    if (copy == nullptr) {
        return CompleteSimRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlCopyMemory(copy, text, units * sizeof(WCHAR));
    return CompleteSimRequest(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}

NTSTATUS AnswerCapabilities(ChildRecord* child, PIRP irp) {
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = TRUE;
    caps->Address = child->index + 1;
    caps->UINumber = child->index + 1;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = PowerDeviceD3;
    }
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
    return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
}

} // namespace

NTSTATUS CreateChild(BusRecord* bus, ULONG index) {
    WCHAR nameText[64];
    ULONG units = AppendText(nameText, 0, L"\\Device\\KsUsbSimPdo");
    units = AppendHex(nameText, units, index, 1);
    nameText[units] = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameText);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(SimDriverObject(), sizeof(ChildRecord), &name,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* child = static_cast<ChildRecord*>(device->DeviceExtension);
    child->common.kind = DeviceKind::Child;
    child->self = device;
    child->bus = bus;
    child->index = index;
    child->model = &kInstruments[index];
    child->present = true;
    KeInitializeSpinLock(&child->lock);
    InitializeListHead(&child->pendingIn);
    for (ULONG i = 0; i < kMaxPipes; ++i) {
        child->pipes[i].endpoint = &child->model->endpoints[i];
        child->pipes[i].child = child;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    bus->children[index] = device;
    status = CreateAliases(child);
    if (!NT_SUCCESS(status)) {
        bus->children[index] = nullptr;
        IoDeleteDevice(device);
    }
    return status;
}

void DeleteChild(ChildRecord* child) {
    EndWaitingTransfers(child, nullptr, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    DeleteAliases(child);
    Release(child->in);
    Release(child->kept);
    IoDeleteDevice(child->self);
}

NTSTATUS DispatchChildPnp(ChildRecord* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
        EndWaitingTransfers(child, nullptr, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE:
        EndWaitingTransfers(child, nullptr, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        if (!child->present) {
            // Unplugged: the bus forgets the device; the object goes with this request.
            BusRecord* bus = child->bus;
            bus->children[child->index] = nullptr;
            CompleteSimRequest(irp, STATUS_SUCCESS, 0);
            DeleteChild(child);
            return STATUS_SUCCESS;
        }
        return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_ID:
        return AnswerQueryId(child, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return AnswerCapabilities(child, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kSimPoolTag));
            if (relations == nullptr) {
                return CompleteSimRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            }
            ObReferenceObject(child->self);
            relations->Count = 1;
            relations->Objects[0] = child->self;
            return CompleteSimRequest(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
        }
        break;
    default:
        break;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchChildInternalControl(ChildRecord* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(child, irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* word = static_cast<ULONG*>(stack->Parameters.Others.Argument1);
        if (word != nullptr) {
            *word = child->present ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        }
        return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
        return CompleteSimRequest(irp,
                                  child->present ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED, 0);
    default:
        return CompleteSimRequest(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

NTSTATUS QueueInData(ChildRecord* child, const UCHAR* data, ULONG length) {
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    bool queued = Append(child->in, data, length);
    KeReleaseSpinLock(&child->lock, irql);
    if (!queued) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ServeWaitingTransfers(child);
    return STATUS_SUCCESS;
}

ULONG TakeKeptData(ChildRecord* child, UCHAR* destination, ULONG length) {
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    ULONG n = Take(child->kept, destination, length);
    KeReleaseSpinLock(&child->lock, irql);
    return n;
}

void SetChildModes(ChildRecord* child, ULONG modes) {
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    child->modes = modes;
    child->patternNext = 0;
    KeReleaseSpinLock(&child->lock, irql);
    ServeWaitingTransfers(child);
}

void ReadChildCounters(ChildRecord* child, SimCounters* counters) {
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    *counters = child->counters;
    counters->inQueued = child->in.count;
    counters->keptBytes = child->kept.count;
    counters->inPending = 0;
    for (PLIST_ENTRY e = child->pendingIn.Flink; e != &child->pendingIn; e = e->Flink) {
        counters->inPending++;
    }
    KeReleaseSpinLock(&child->lock, irql);
}

void UnplugChild(ChildRecord* child) {
    child->present = false;
    EndWaitingTransfers(child, nullptr, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}
