// "Fail the n-th request": the bus numbers the function driver's internal device-control requests
// and fails the chosen one with an error, a stall or no answer at all.
#include <kstandin/testing.h>
#include <kstandin/usb.h>

#include <cstring>

using namespace kstandin;
using namespace kstandin::testing;
using kstandin::usb::Instrument;
using kstandin::usb::RequestFault;

namespace {

constexpr ULONG kTestTag = 0x74736554; // "Test"

class RequestFaultTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        instrument_ = std::make_unique<Instrument>(usb::BulkInstrument(64));
        pdo_ = instrument_->PlugIn();
        ASSERT_NE(pdo_, nullptr);
        ASSERT_EQ(SendIrp(pdo_, IRP_MJ_PNP, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        buffer_ = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 512, kTestTag));
    }
    void TearDown() override {
        instrument_.reset();
        ExFreePoolWithTag(buffer_, kTestTag);
        KernelTest::TearDown();
    }

    std::shared_ptr<IoRequest> Send(ULONG code, void* argument) {
        return StartIrp(pdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                        [code, argument](PIRP, PIO_STACK_LOCATION next) {
                            next->Parameters.DeviceIoControl.IoControlCode = code;
                            next->Parameters.Others.Argument1 = argument;
                        });
    }
    NTSTATUS SendAndWait(ULONG code, void* argument) {
        auto request = Send(code, argument);
        EXPECT_TRUE(request->Wait(std::chrono::seconds(5))) << "request to the bus never ended";
        return request->Result().status;
    }
    void BuildDeviceDescriptorRequest(URB* urb) {
        memset(urb, 0, sizeof(*urb));
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer_, nullptr, 18,
                                     nullptr);
    }
    // Selects the configuration and returns the handle of bulk IN 0x81.
    USBD_PIPE_HANDLE Configure() {
        config_ = usb::ConfigurationBytes(usb::BulkInstrument(64));
        auto descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1),
             nullptr},
            {}};
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
        EXPECT_EQ(SendAndWait(IOCTL_INTERNAL_USB_SUBMIT_URB, urb), STATUS_SUCCESS);
        USBD_PIPE_HANDLE in = list[0].Interface->Pipes[0].PipeHandle;
        ExFreePool(urb);
        return in;
    }

    std::unique_ptr<Instrument> instrument_;
    PDEVICE_OBJECT pdo_ = nullptr;
    UCHAR* buffer_ = nullptr;
    usb::Bytes config_;
};

TEST_F(RequestFaultTest, TheChosenRequestFailsWithTheErrorAndTheOthersAreAnsweredAsUsual) {
    URB urb;
    instrument_->FailRequestAt(2, RequestFault::Error, STATUS_IO_DEVICE_ERROR);
    for (int number = 1; number <= 3; ++number) {
        BuildDeviceDescriptorRequest(&urb);
        NTSTATUS status = SendAndWait(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
        if (number == 2) {
            EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
            EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u) << "nothing moved";
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS) << "request " << number;
            EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
        }
    }
    EXPECT_EQ(instrument_->RequestCount(), 3u);
    ASSERT_TRUE(instrument_->FailedRequest());
    // The start request is logged too: the failed one is the second descriptor request.
    auto log = instrument_->Log();
    ASSERT_LT(*instrument_->FailedRequest(), log.size());
    EXPECT_EQ(log[*instrument_->FailedRequest()].urbFunction,
              URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(*instrument_->FailedRequest(), 2u);
}

TEST_F(RequestFaultTest, AStalledTransferHaltsItsEndpointAndPortRequestsCannotStall) {
    USBD_PIPE_HANDLE in = Configure();
    // A port request is answered by the hub: a stall aimed at it is not applied.
    instrument_->FailRequestAt(1, RequestFault::Stall);
    ULONG port = 0;
    EXPECT_EQ(SendAndWait(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    EXPECT_FALSE(instrument_->FailedRequest());

    instrument_->QueueIn(0x81, usb::Bytes(10, 7));
    instrument_->FailRequestAt(1, RequestFault::Stall);
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest(
        &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in, buffer_, nullptr, 64,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(SendAndWait(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_TRUE(instrument_->Halted(0x81));
    EXPECT_EQ(instrument_->PendingInBytes(0x81), 10u) << "the device's data stays queued";
    EXPECT_TRUE(instrument_->FailedRequest());
}

TEST_F(RequestFaultTest, AnUnansweredRequestWaitsUntilItIsCancelledOrTheDeviceGoes) {
    URB first;
    URB second;
    BuildDeviceDescriptorRequest(&first);
    instrument_->FailRequestAt(1, RequestFault::NeverAnswer);
    auto held = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, &first);
    BuildDeviceDescriptorRequest(&second);
    EXPECT_EQ(SendAndWait(IOCTL_INTERNAL_USB_SUBMIT_URB, &second), STATUS_SUCCESS)
        << "later requests are answered";
    EXPECT_FALSE(held->Wait(std::chrono::milliseconds(100))) << "the chosen one is not";
    EXPECT_TRUE(held->Cancel());
    ASSERT_TRUE(held->Wait(std::chrono::seconds(5))) << "a cancelled held request never ended";
    EXPECT_EQ(held->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_CANCELED);

    BuildDeviceDescriptorRequest(&first);
    instrument_->FailRequestAt(1, RequestFault::NeverAnswer);
    held = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, &first);
    EXPECT_FALSE(held->Wait(std::chrono::milliseconds(50)));
    instrument_->Unplug();
    ASSERT_TRUE(held->Wait(std::chrono::seconds(5))) << "a held request outlived the unplug";
    EXPECT_EQ(held->Result().status, STATUS_DEVICE_NOT_CONNECTED);
}

} // namespace
