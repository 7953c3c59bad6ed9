// The USBD support routines: interface search in a configuration descriptor, malformed
// descriptors, and the select-configuration request built from an interface list.
#include <kstandin/testing.h>
#include <usbdlib.h>

using namespace kstandin;
using namespace kstandin::testing;

namespace {

// Configuration: interface 0 (two bulk endpoints), a class-specific descriptor, interface 1
// alternate 0 and 1, and interface 1 alt 0 has one endpoint.
std::vector<UCHAR> Configuration() {
    std::vector<UCHAR> bytes = {
        9, 2,    0,    0, 2,    1,    0,  0xA0, 50, // configuration, wTotalLength patched below
        9, 4,    0,    0, 2,    0xFF, 0,  0,    0,  // interface 0 alt 0, 2 endpoints
        7, 5,    0x81, 2, 0x40, 0,    0,            // bulk IN
        7, 5,    0x02, 2, 0x40, 0,    0,            // bulk OUT
        5, 0x24, 1,    2, 3,                        // class-specific
        9, 4,    1,    0, 1,    0xFF, 1,  2,    0,  // interface 1 alt 0, 1 endpoint
        7, 5,    0x83, 3, 0x08, 0,    10,           // interrupt IN
        9, 4,    1,    1, 0,    0xFF, 1,  2,    0,  // interface 1 alt 1, no endpoints
    };
    bytes[2] = static_cast<UCHAR>(bytes.size());
    return bytes;
}

class UsbdTest : public KernelTest {};

TEST_F(UsbdTest, ParsingFindsInterfacesByNumberAndSettingAndSkipsOtherDescriptors) {
    std::vector<UCHAR> bytes = Configuration();
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    PUSB_INTERFACE_DESCRIPTOR first =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(first) - bytes.data(), 9);
    PUSB_INTERFACE_DESCRIPTOR second =
        USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(second) - bytes.data(), 37);
    PUSB_INTERFACE_DESCRIPTOR alternate =
        USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1);
    ASSERT_NE(alternate, nullptr);
    EXPECT_EQ(alternate->bAlternateSetting, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, 1, 3), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, second, 0, 0, -1, -1, -1), nullptr)
        << "the search starts at the given position";

    // A zero length ends the walk; a wTotalLength short of the interface hides it.
    bytes[25] = 0; // the second endpoint of interface 0 claims length 0
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr);
    bytes = Configuration();
    config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    config->wTotalLength = 10;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr);
}

TEST_F(UsbdTest, ConfigurationRequestHoldsOneInterfaceInformationPerListEntry) {
    std::vector<UCHAR> bytes = Configuration();
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(list[0].Interface->Pipes[1].MaximumTransferSize,
              ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface) -
                  reinterpret_cast<PUCHAR>(list[0].Interface),
              static_cast<long>(GET_USBD_INTERFACE_SIZE(2)));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    ASSERT_EQ(OutstandingPool().size(), 1u) << "the request comes from pool; the caller frees it";
    ExFreePool(urb);

    FailAllocationAt(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
}

} // namespace
