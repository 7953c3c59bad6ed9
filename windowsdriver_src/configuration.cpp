// Device configuration at start: descriptors, the selected configuration and its pipe table, the
// read chunk probe and the DOS device name; and the pipe aborts of the removal paths.
//
// Every length the device reports is checked before it is used: a configuration descriptor that
// arrives shorter than its 9-byte header, announces a wTotalLength below 9, comes back with a
// different length the second time, or holds a descriptor that is not whole is refused with
// STATUS_DEVICE_DATA_ERROR.
#include "kestrune.h"

namespace {

// The vendor request that tells whether the device takes large read chunks.
constexpr UCHAR kProbeRequest = 1;
constexpr USHORT kProbeValue = 0x0040;
// Interface numbers are 8 bits: the search for interfaces ends after the last possible one.
constexpr LONG kLastInterfaceNumber = 255;
// Offset of the first interface descriptor's bNumEndpoints in a configuration descriptor.
constexpr ULONG kFirstInterfaceEndpointsOffset = 13;

const WCHAR kDosLinkPrefix[] = L"\\DosDevices\\trelvousb";

void BuildDescriptorRequest(PURB urb, UCHAR type, PVOID buffer, ULONG length) {
    UsbBuildGetDescriptorRequest(urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                 type, 0, 0, buffer, nullptr, length, nullptr);
}

// True when the configuration holds nothing but interface descriptors and the endpoint
// descriptors of the first interface, the layout of the devices that know the probe.
bool HasPlainLayout(PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    ULONG total = descriptor->wTotalLength;
    if (total <= kFirstInterfaceEndpointsOffset) {
        return false;
    }
    ULONG endpoints = reinterpret_cast<PUCHAR>(descriptor)[kFirstInterfaceEndpointsOffset];
    return total == 9 + 9 * static_cast<ULONG>(descriptor->bNumInterfaces) + 7 * endpoints;
}

// True when every descriptor inside wTotalLength is whole: a bLength of at least 2 that ends
// inside the total, and interface and endpoint descriptors no shorter than their fixed fields.
// The parsing routines and the bus driver walk the descriptors by bLength and read those fields
// of each interface and endpoint they meet, so anything else would make them read beyond what
// the device returned.
bool IsWellFormed(PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(descriptor);
    ULONG total = descriptor->wTotalLength;
    ULONG at = 0;
    while (at < total) {
        if (total - at < sizeof(USB_COMMON_DESCRIPTOR)) {
            return false;
        }
        ULONG length = bytes[at];
        UCHAR type = bytes[at + 1];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > total - at) {
            return false;
        }
        if ((type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) ||
            (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR))) {
            return false;
        }
        at += length;
    }
    return true;
}

}  // namespace

NTSTATUS ConfigureDevice(PDEVICE_OBJECT device) {
    DeviceRecord* record = RecordOf(device);
    PURB urb = static_cast<PURB>(AllocateZeroedPool(sizeof(URB)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A device that sends fewer than 18 bytes leaves the rest zero, not what an earlier start read.
    RtlZeroMemory(&record->deviceDescriptor, sizeof(record->deviceDescriptor));
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, &record->deviceDescriptor,
                           sizeof(record->deviceDescriptor));
    NTSTATUS status = SubmitUrbSync(device, urb);
    if (NT_SUCCESS(status)) {
        record->vendorId = record->deviceDescriptor.idVendor;
        record->productId = record->deviceDescriptor.idProduct;
        record->serialIndex = record->deviceDescriptor.iSerialNumber;
        status = ReadConfigurationDescriptor(device);
    }
    FreePool(urb);
    return status;
}

NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT device) {
    DeviceRecord* record = RecordOf(device);
    PUSB_CONFIGURATION_DESCRIPTOR header = nullptr;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status;
    ULONG total;

    PURB urb = static_cast<PURB>(AllocateZeroedPool(sizeof(URB)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
    RtlZeroMemory(record->serialDescriptor, sizeof(record->serialDescriptor));
    record->serialCached = 0;
    KeReleaseSpinLock(&record->queueLock, oldIrql);

    // The 9-byte header first, for the total length.
    header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(sizeof(USB_CONFIGURATION_DESCRIPTOR)));
    if (header == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto cleanup;
    }
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    status = SubmitUrbSync(device, urb);
    if (status != STATUS_SUCCESS) {
        goto cleanup;
    }
    if (urb->UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        header->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        header->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = STATUS_DEVICE_DATA_ERROR;
        goto cleanup;
    }
    total = header->wTotalLength;
    FreePool(header);
    header = nullptr;

    // Then the whole configuration; it must be exactly as long as announced.
    descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(static_cast<LONG>(total)));
    if (descriptor == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto cleanup;
    }
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor, total);
    status = SubmitUrbSync(device, urb);
    if (status != STATUS_SUCCESS) {
        goto cleanup;
    }
    if (urb->UrbControlDescriptorRequest.TransferBufferLength != total || descriptor->wTotalLength != total ||
        descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || !IsWellFormed(descriptor)) {
        status = STATUS_DEVICE_DATA_ERROR;
        goto cleanup;
    }

    // From here on the record owns the descriptor; Plug and Play releases it at stop and removal.
    record->configDescriptor = descriptor;
    descriptor = nullptr;
    record->remoteWakeup = (record->configDescriptor->bmAttributes >> 5) & 1;

    status = SelectConfiguration(device, record->configDescriptor);
    if (status != STATUS_SUCCESS) {
        goto cleanup;
    }
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    record->startTick = ticks.LowPart;

    // Only devices of the plain layout know the probe; a stall or silence changes nothing.
    if (HasPlainLayout(record->configDescriptor)) {
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_INTERFACE,
                              static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)), 0, 0,
                              kProbeRequest, kProbeValue, record->interfaceInfo->InterfaceNumber, nullptr, nullptr,
                              0, nullptr);
        if (SubmitUrbWithTimeout(device, urb, kProbeTimeoutMs) == STATUS_SUCCESS) {
            StoreWhole(&record->readChunkSize, kLargeChunkSize);
        }
    }
    status = STATUS_SUCCESS;

cleanup:
    if (header != nullptr) {
        FreePool(header);
    }
    if (descriptor != nullptr) {
        FreePool(descriptor);
    }
    FreePool(urb);
    return status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    DeviceRecord* record = RecordOf(device);
    ULONG wanted = descriptor->bNumInterfaces;
    ULONG filled = 0;
    PURB urb = nullptr;
    PUSBD_INTERFACE_INFORMATION selected;
    NTSTATUS status;

    PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocatePool(static_cast<LONG>((wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY))));
    if (list == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Every interface at alternate setting 0, skipping missing numbers. A descriptor that holds
    // fewer interfaces than bNumInterfaces says gets those it holds.
    for (LONG number = 0; number <= kLastInterfaceNumber && filled < wanted; ++number) {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
        if (found != nullptr) {
            list[filled].InterfaceDescriptor = found;
            list[filled].Interface = nullptr;
            ++filled;
        }
    }
    list[filled].InterfaceDescriptor = nullptr;
    list[filled].Interface = nullptr;
    // Without a first interface there is nothing to serve.
    if (filled == 0) {
        status = STATUS_DEVICE_DATA_ERROR;
        goto cleanup;
    }

    urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (urb == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto cleanup;
    }
    selected = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < selected->NumberOfPipes; ++i) {
        selected->Pipes[i].MaximumTransferSize = kPipeMaximumTransferSize;
    }
    status = SubmitUrbSync(device, urb);
    if (!NT_SUCCESS(status)) {
        goto cleanup;
    }

    // Keep the first interface as the stack filled it in, and one open flag per pipe.
    record->interfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocatePool(selected->Length));
    if (record->interfaceInfo != nullptr) {
        RtlCopyMemory(record->interfaceInfo, selected, selected->Length);
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    // At least one byte: an interface without endpoints still gets a (never used) flag block.
    record->pipeOpen = static_cast<UCHAR*>(
        AllocateZeroedPool(selected->NumberOfPipes != 0 ? static_cast<LONG>(selected->NumberOfPipes) : 1));
    if (record->pipeOpen == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }

cleanup:
    // The URB is the USB stack's allocation, released the way it documents.
    if (urb != nullptr) {
        ExFreePool(urb);
    }
    FreePool(list);
    return status;
}

namespace {

// Aborts the open pipes (only the IN ones when `inOnly`). The removal paths clear each aborted
// pipe's mark; the power-down keeps them, as the handles stay open.
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT device, BOOLEAN inOnly) {
    DeviceRecord* record = RecordOf(device);
    if (record->interfaceInfo == nullptr || record->pipeOpen == nullptr) {
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < record->interfaceInfo->NumberOfPipes; ++i) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
        UCHAR openCount = record->pipeOpen[i];
        KeReleaseSpinLock(&record->queueLock, oldIrql);
        if (openCount == 0 ||
            (inOnly && !USBD_PIPE_DIRECTION_IN(&record->interfaceInfo->Pipes[i]))) {
            continue;
        }
        PURB urb = static_cast<PURB>(AllocateZeroedPool(sizeof(URB)));
        if (urb == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        urb->UrbHeader.Length = static_cast<USHORT>(sizeof(URB));
        urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb->UrbPipeRequest.PipeHandle = record->interfaceInfo->Pipes[i].PipeHandle;
        NTSTATUS status = SubmitUrbSync(device, urb);
        FreePool(urb);
        if (NT_SUCCESS(status) && !inOnly) {
            oldIrql = KeAcquireSpinLockRaiseToDpc(&record->queueLock);
            record->pipeOpen[i] = 0;
            KeReleaseSpinLock(&record->queueLock, oldIrql);
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS AbortPipes(PDEVICE_OBJECT device) {
    return AbortOpenPipes(device, FALSE);
}

VOID AbortInPipes(PDEVICE_OBJECT device) {
    AbortOpenPipes(device, TRUE);
}

// "\DosDevices\trelvousb" with a suffix from the product ID's low byte: 2 gives "1", 3 gives
// "2", 4 gives "3", anything else none.
VOID CreateDosLink(DeviceRecord* record) {
    if (record->vendorId != kOwnVendorId) {
        return;
    }
    // A start after a stop finds the link of the earlier start still there: keep it, so that the
    // removal deletes it.
    if (record->dosLinkName[0] != 0) {
        return;
    }
    ULONG length = 0;
    for (; kDosLinkPrefix[length] != 0; ++length) {
        record->dosLinkName[length] = kDosLinkPrefix[length];
    }
    UCHAR model = static_cast<UCHAR>(record->productId & 0xFF);
    if (model >= 2 && model <= 4) {
        record->dosLinkName[length++] = static_cast<WCHAR>(L'0' + model - 1);
    }
    record->dosLinkName[length] = 0;

    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, record->dosLinkName);
    RtlInitUnicodeString(&target, record->deviceName);
    if (IoCreateSymbolicLink(&link, &target) != STATUS_SUCCESS) {
        record->dosLinkName[0] = 0;
    }
}
