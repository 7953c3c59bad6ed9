// The platform types keep their Windows x64 sizes and offsets, and the URB-building macros fill
// the fields a USB stack reads.
#include <ntddk.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <gtest/gtest.h>

#include <cstddef>

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32 bits on Windows");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(ULONG_PTR) == 8 && sizeof(PVOID) == 8, "pointers are 64 bits");
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(UNICODE_STRING) == 16 &&
                  sizeof(LIST_ENTRY) == 16,
              "");
static_assert(sizeof(KEVENT) == 24, "KEVENT is 24 bytes on x64");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceState) == 16 &&
                  offsetof(DEVICE_CAPABILITIES, SystemWake) == 44,
              "");
static_assert(sizeof(OSVERSIONINFOW) == 276 && sizeof(RTL_OSVERSIONINFOEXW) == 284, "");
static_assert(sizeof(POWER_STATE) == 4, "");
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8, "");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16 &&
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 32,
              "");

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 &&
                  sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7,
              "descriptors are packed as on the wire");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8 &&
                  offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber) == 16,
              "");
static_assert(offsetof(USB_STRING_DESCRIPTOR, bString) == 2, "");
static_assert(sizeof(struct _URB_HEADER) == 24, "");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128,
              "bulk transfer URB is 128 bytes on x64");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24 &&
                  offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8,
              "");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48 &&
                  offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24,
              "");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40, "");

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003 &&
                  IOCTL_INTERNAL_USB_RESET_PORT == 0x220007 &&
                  IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013 &&
                  IOCTL_INTERNAL_USB_ENABLE_PORT == 0x220017 &&
                  IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001F,
              "internal USB control codes");
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x111, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x220444,
              "");
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2) == 88 + 24, "");
static_assert(STATUS_INVALID_DEVICE_REQUEST == (NTSTATUS)0xC0000010 &&
                  STATUS_DELETE_PENDING == (NTSTATUS)0xC0000056 &&
                  STATUS_INVALID_DEVICE_STATE == (NTSTATUS)0xC0000184 &&
                  STATUS_MORE_PROCESSING_REQUIRED == (NTSTATUS)0xC0000016,
              "");

TEST(Layout, UrbMacrosFillTheFieldsTheStackReads) {
    URB urb;
    memset(&urb, 0xAB, sizeof urb);
    UCHAR buffer[18];
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, buffer, nullptr,
                                 sizeof buffer, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(urb.UrbHeader.Length, 136);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.Index, 3);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0x0409);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, buffer);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, sizeof buffer);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.UrbLink, nullptr);

    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 1, 0x0040, 2,
                          nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_VENDOR_INTERFACE);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, 1);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Value, 0x0040);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Index, 2);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferFlags, 0u);

    int handle;
    UsbBuildInterruptOrBulkTransferRequest(
        &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), &handle, buffer, nullptr, 10,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(urb.UrbHeader.Length, 128);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, &handle);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, 3u);
}

TEST(Layout, ListAndInterlockedHelpersBehaveAsOnWindows) {
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
    EXPECT_EQ(RemoveHeadList(&head), &a);
    EXPECT_TRUE(RemoveEntryList(&b)); // the list became empty
    EXPECT_TRUE(IsListEmpty(&head));

    volatile LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9); // no exchange: returns the old value
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedOr(&value, 0x10), 9);
    EXPECT_EQ(value, 0x19);
    PVOID volatile pointer = nullptr;
    int target;
    EXPECT_EQ(InterlockedExchangePointer(&pointer, &target), nullptr);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, nullptr, &target), &target);
    EXPECT_EQ(pointer, nullptr);
}
