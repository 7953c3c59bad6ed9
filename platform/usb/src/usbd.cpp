// USBD support routines: descriptor parsing and the select-configuration request, as the
// Windows USB driver stack's support library provides them to function drivers.
#include <kstandin/kernel.h>
#include <usbdlib.h>

namespace {
constexpr ULONG kUsbdTag = 0x44425355; // "USBD" in memory order
}

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
    auto end = static_cast<PUCHAR>(DescriptorBuffer) + TotalLength;
    auto p = static_cast<PUCHAR>(StartPosition);
    // A descriptor is looked at only when its two-byte header lies inside the buffer; a zero
    // length ends the walk rather than looping on the same place.
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (common->bDescriptorType == DescriptorType)
            return common;
        if (common->bLength == 0)
            break;
        p += common->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    PVOID start = StartPosition;
    for (;;) {
        auto found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
            USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                  start, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (!found)
            return nullptr;
        bool matches =
            (InterfaceNumber == -1 || found->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || found->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || found->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || found->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || found->bInterfaceProtocol == InterfaceProtocol);
        if (matches)
            return found;
        if (found->bLength == 0)
            return nullptr;
        start = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0)
        size = sizeof(struct _URB_SELECT_CONFIGURATION);
    PURB urb;
    {
        // The block is the caller's to free: it counts among the caller's allocations.
        kstandin::PoolCallerScope forCaller(__builtin_return_address(0));
        urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag));
    }
    if (!urb)
        return nullptr;
    RtlZeroMemory(urb, size);
    auto information = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = descriptor->bNumEndpoints;
        information->Length =
            static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        for (ULONG pipe = 0; pipe < descriptor->bNumEndpoints; ++pipe) {
            information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            information->Pipes[pipe].PipeFlags = 0;
        }
        entry->Interface = information;
        information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
            reinterpret_cast<PUCHAR>(information) + information->Length);
    }
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);
    return urb;
}

} // extern "C"
