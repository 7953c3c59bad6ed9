// Start and stop through the Plug and Play manager, and the pipe aborts of surprise removal and
// removal, against the simulated instrument.
#include "driver_test_support.h"

#include <cstring>

namespace kestrune_test {
namespace {

using kstandin::usb::Instrument;

class StartStopTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadDriver();
        kstandin::usb::InstrumentSpec spec = kstandin::usb::BulkInstrument();
        spec.productId = 0x0002;
        instrument_ = std::make_unique<Instrument>(spec);
        device_ = AddInstrument(*instrument_);
        ASSERT_NE(device_, nullptr);
        record_ = RecordOf(device_);
        pdo_ = instrument_->Pdo();
        poolAtStart_ = DriverPoolBlocks();
    }
    void TearDown() override {
        if (instrument_->Pdo() != nullptr) {
            RemoveInstrument(*instrument_);
        }
        DriverTest::TearDown();
    }

    bool InterfaceEnabled() {
        std::u16string name = kstandin::ToU16(record_->interfaceName);
        for (const auto& each : kstandin::DeviceInterfaces()) {
            if (each.symbolicLink == name) {
                return each.enabled;
            }
        }
        return false;
    }

    // A bulk IN transfer sent straight to the bus, as a read in flight would be.
    std::shared_ptr<kstandin::IoRequest> StartInTransfer(URB* urb, UCHAR* buffer, ULONG length) {
        memset(urb, 0, sizeof(*urb));
        UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               record_->interfaceInfo->Pipes[0].PipeHandle, buffer, nullptr,
                                               length, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                               nullptr);
        return kstandin::StartIrp(pdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [urb](PIRP, PIO_STACK_LOCATION next) {
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = urb;
        });
    }

    std::unique_ptr<Instrument> instrument_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    DeviceRecord* record_ = nullptr;
    size_t poolAtStart_ = 0;
};

TEST_F(StartStopTest, AStartMakesTheDeviceWorkingWithItsInterfaceEnabled) {
    EXPECT_FALSE(InterfaceEnabled());
    ASSERT_EQ(kstandin::pnp::Start(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(record_->deviceState, static_cast<ULONG>(Working));
    EXPECT_EQ(record_->previousState, static_cast<ULONG>(NotStarted));
    EXPECT_EQ(record_->queueState, static_cast<ULONG>(AllowRequests));
    EXPECT_TRUE(InterfaceEnabled());
    EXPECT_TRUE(instrument_->Configured());
    EXPECT_NE(record_->configDescriptor, nullptr);
    EXPECT_NE(record_->interfaceInfo, nullptr);
    EXPECT_NE(record_->pipeOpen, nullptr);
    EXPECT_EQ(record_->outstandingIo, 1);
    EXPECT_EQ(kstandin::SymbolicLinkTarget(u"\\DosDevices\\trelvousb1"), NameOf(record_->deviceName));
    // The lower drivers saw the start before any URB.
    std::vector<kstandin::usb::RequestRecord> log = instrument_->Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().major, IRP_MJ_PNP);
    EXPECT_EQ(log.front().minor, IRP_MN_START_DEVICE);
}

TEST_F(StartStopTest, AStartFailedBelowOrByConfigurationLeavesTheStateAsItWas) {
    instrument_->SetStartStatus(STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(kstandin::pnp::Start(pdo_), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(record_->deviceState, static_cast<ULONG>(NotStarted));
    EXPECT_EQ(record_->queueState, static_cast<ULONG>(HoldRequests));
    EXPECT_EQ(instrument_->CountIoctls(IOCTL_INTERNAL_USB_SUBMIT_URB), 0u) << "nothing is read from the device";

    instrument_->SetStartStatus(STATUS_SUCCESS);
    instrument_->SetSelectConfigurationStatus(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kstandin::pnp::Start(pdo_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(record_->deviceState, static_cast<ULONG>(NotStarted));
    EXPECT_FALSE(InterfaceEnabled());
    EXPECT_NE(record_->configDescriptor, nullptr) << "kept for the removal to release";
    EXPECT_FALSE(kstandin::SymbolicLinkTarget(u"\\DosDevices\\trelvousb1"));

    RemoveInstrument(*instrument_);
    EXPECT_EQ(DriverPoolBlocks(), poolAtStart_) << "the removal released the descriptor";
}

TEST_F(StartStopTest, AStartWhoseInterfaceCannotBeEnabledFailsButStaysConfigured) {
    // A name the I/O manager does not know cannot be enabled.
    USHORT length = record_->interfaceName.Length;
    record_->interfaceName.Length = 4;
    NTSTATUS status = kstandin::pnp::Start(pdo_);
    record_->interfaceName.Length = length;
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(record_->deviceState, static_cast<ULONG>(NotStarted));
    EXPECT_TRUE(instrument_->Configured());
    EXPECT_EQ(kstandin::SymbolicLinkTarget(u"\\DosDevices\\trelvousb1"), NameOf(record_->deviceName));
    RemoveInstrument(*instrument_);
    EXPECT_FALSE(kstandin::SymbolicLinkTarget(u"\\DosDevices\\trelvousb1")) << "the removal deletes the link";
}

TEST_F(StartStopTest, AStopReleasesTheConfigurationAndDeconfiguresTheDevice) {
    ASSERT_EQ(kstandin::pnp::Start(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(kstandin::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(kstandin::pnp::Stop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(record_->deviceState, static_cast<ULONG>(Stopped));
    EXPECT_EQ(record_->previousState, static_cast<ULONG>(PendingStop));
    EXPECT_EQ(record_->configDescriptor, nullptr);
    EXPECT_EQ(record_->interfaceInfo, nullptr);
    EXPECT_EQ(record_->pipeOpen, nullptr);
    EXPECT_EQ(DriverPoolBlocks(), poolAtStart_);
    EXPECT_FALSE(instrument_->Configured());
    std::vector<kstandin::usb::RequestRecord> log = instrument_->Log();
    const kstandin::usb::RequestRecord* deconfigure = nullptr;
    for (const auto& request : log) {
        if (request.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION && request.configurationDescriptorNull) {
            deconfigure = &request;
        }
    }
    ASSERT_NE(deconfigure, nullptr);
    EXPECT_EQ(deconfigure->urbLength, sizeof(URB));
    EXPECT_TRUE(InterfaceEnabled()) << "the stop leaves the interface to the next start";
    EXPECT_EQ(record_->outstandingIo, 1);

    // Without pool for the deconfiguration the stop still goes down, with that status.
    ASSERT_EQ(kstandin::pnp::Start(pdo_), STATUS_OBJECT_NAME_EXISTS) << "the interface was still enabled";
    kstandin::FailAllocationAt(1);
    EXPECT_EQ(kstandin::pnp::Stop(pdo_), STATUS_SUCCESS) << "the bus answers the stop itself";
    EXPECT_EQ(record_->deviceState, static_cast<ULONG>(Stopped));
    EXPECT_EQ(record_->configDescriptor, nullptr);
    EXPECT_TRUE(instrument_->Configured()) << "no deconfiguration was sent";
}

TEST_F(StartStopTest, AStoppedDeviceStartsAgainWithTheSameNames) {
    ASSERT_EQ(kstandin::pnp::Start(pdo_), STATUS_SUCCESS);
    PUSB_CONFIGURATION_DESCRIPTOR firstDescriptor = record_->configDescriptor;
    ASSERT_NE(firstDescriptor, nullptr);
    ASSERT_EQ(kstandin::pnp::Stop(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(NT_SUCCESS(kstandin::pnp::Start(pdo_)));
    EXPECT_EQ(record_->deviceState, static_cast<ULONG>(Working));
    EXPECT_EQ(record_->previousState, static_cast<ULONG>(Stopped));
    ASSERT_NE(record_->interfaceInfo, nullptr);
    EXPECT_EQ(record_->interfaceInfo->NumberOfPipes, 2u);
    EXPECT_TRUE(instrument_->Configured());
    EXPECT_TRUE(InterfaceEnabled());
    EXPECT_EQ(NameOf(record_->dosLinkName), u"\\DosDevices\\trelvousb1") << "the earlier link is kept";
    EXPECT_EQ(DriverPoolBlocks(), poolAtStart_ + 3);

    RemoveInstrument(*instrument_);
    EXPECT_FALSE(kstandin::SymbolicLinkTarget(u"\\DosDevices\\trelvousb1")) << "and deleted at removal";
    EXPECT_FALSE(kstandin::DeviceNameExists(u"\\Device\\trelvousb0"));
}

TEST_F(StartStopTest, SurpriseRemovalAbortsOnlyTheOpenPipesAndTheRemovalDoesNotRepeatIt) {
    ASSERT_EQ(kstandin::pnp::Start(pdo_), STATUS_SUCCESS);
    record_->pipeOpen[0] = 1;  // a handle on the IN pipe
    URB urb;
    PoolBuffer buffer(512);
    auto transfer = StartInTransfer(&urb, buffer.data(), buffer.size());
    EXPECT_FALSE(transfer->Wait(std::chrono::milliseconds(50))) << "no data: the transfer waits";

    EXPECT_EQ(kstandin::pnp::SurpriseRemove(pdo_), STATUS_SUCCESS);
    ASSERT_TRUE(transfer->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(transfer->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(instrument_->PipeAborts(0x81), 1u);
    EXPECT_EQ(instrument_->PipeAborts(0x02), 0u);
    EXPECT_EQ(record_->pipeOpen[0], 0);
    EXPECT_FALSE(InterfaceEnabled());
    for (const auto& request : instrument_->Log()) {
        if (request.urbFunction == URB_FUNCTION_ABORT_PIPE) {
            EXPECT_EQ(request.urbLength, sizeof(URB));
        }
    }

    record_->pipeOpen[0] = 1;
    RemoveInstrument(*instrument_);
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_ABORT_PIPE), 1u) << "the removal leaves it to the surprise removal";
    EXPECT_FALSE(kstandin::SymbolicLinkTarget(u"\\DosDevices\\trelvousb1"));
}

TEST_F(StartStopTest, RemovalAbortsOpenPipesAndAFailedAbortKeepsItsFlag) {
    ASSERT_EQ(kstandin::pnp::Start(pdo_), STATUS_SUCCESS);
    using AbortFn = NTSTATUS(PDEVICE_OBJECT);
    record_->pipeOpen[1] = 1;
    instrument_->Unplug();
    EXPECT_EQ(Routine<AbortFn>("AbortPipes")(device_), STATUS_SUCCESS) << "a failed abort is not reported";
    EXPECT_EQ(record_->pipeOpen[1], 1);
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_ABORT_PIPE), 1u);

    kstandin::FailAllocationAt(1);
    EXPECT_EQ(Routine<AbortFn>("AbortPipes")(device_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_ABORT_PIPE), 1u);

    RemoveInstrument(*instrument_);
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_ABORT_PIPE), 2u) << "the removal aborted the open pipe";
}

}  // namespace
}  // namespace kestrune_test
