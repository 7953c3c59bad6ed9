// The simulated bus driver and instrument: requests sent straight to the PDO, as a function
// driver would send them, and what the bus answers.
#include <kstandin/testing.h>
#include <kstandin/usb.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace kstandin;
using namespace kstandin::testing;
using kstandin::usb::Bytes;
using kstandin::usb::ControlAnswer;
using kstandin::usb::Instrument;

namespace {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

// Polls `condition` for at most 5 s.
template <typename Condition> bool Eventually(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class BusTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        instrument_ = std::make_unique<Instrument>(usb::BulkInstrument(64));
        pdo_ = instrument_->PlugIn();
        ASSERT_NE(pdo_, nullptr);
        ASSERT_EQ(SendIrp(pdo_, IRP_MJ_PNP, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    }
    void TearDown() override {
        instrument_.reset();
        for (UCHAR* block : pool_) ExFreePoolWithTag(block, kTestTag);
        KernelTest::TearDown();
    }

    std::shared_ptr<IoRequest> Submit(URB* urb) {
        return StartIrp(pdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [urb](PIRP, PIO_STACK_LOCATION next) {
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = urb;
        });
    }
    NTSTATUS SubmitAndWait(URB* urb) {
        auto request = Submit(urb);
        request->Wait();
        return request->Result().status;
    }

    // Selects the instrument's configuration; returns the pipe handles of interface 0.
    std::vector<USBD_PIPE_HANDLE> Configure() {
        config_ = usb::ConfigurationBytes(usb::BulkInstrument(64));
        auto descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr}, {}};
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
        EXPECT_EQ(SubmitAndWait(urb), STATUS_SUCCESS);
        std::vector<USBD_PIPE_HANDLE> handles;
        for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) handles.push_back(list[0].Interface->Pipes[i].PipeHandle);
        ExFreePool(urb);
        return handles;
    }

    static void BuildTransfer(URB* urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags) {
        memset(urb, 0, sizeof(*urb));
        UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                               nullptr, length, flags, nullptr);
    }

    // Non-paged pool for transfer buffers, as a driver hands the USB stack; freed at teardown.
    UCHAR* Pool(size_t size) {
        auto block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kTestTag));
        pool_.push_back(block);
        return block;
    }

    std::unique_ptr<Instrument> instrument_;
    PDEVICE_OBJECT pdo_ = nullptr;
    Bytes config_;
    std::vector<UCHAR*> pool_;
};

TEST_F(BusTest, DescriptorsComeAsRequestedAndMissingStringsStall) {
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UCHAR* buffer = Pool(256);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                 0, 0, buffer, nullptr, 9, nullptr);
    ASSERT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    EXPECT_EQ(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer)->wTotalLength, 32);

    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 7,
                                 0, buffer, nullptr, 256, nullptr);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

    UsbBuildGetDescriptorRequest(&urb, 8, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 18, nullptr);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_INVALID_PARAMETER) << "a header length too small for the function";
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 3u);
}

TEST_F(BusTest, InDataArrivesInPacketsAndEndsAtAShortOrZeroLengthPacket) {
    std::vector<USBD_PIPE_HANDLE> pipes = Configure();
    ASSERT_EQ(pipes.size(), 2u);
    Bytes data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(i);
    instrument_->QueueIn(0x81, data);  // 64 + 36: the second packet is short
    UCHAR* buffer = Pool(512);
    URB urb;
    BuildTransfer(&urb, pipes[0], buffer, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
    EXPECT_EQ(Bytes(buffer, buffer + 100), data);

    // An exact multiple of the packet size does not end the transfer until more comes.
    instrument_->QueueIn(0x81, Bytes(128, 0x5A));
    BuildTransfer(&urb, pipes[0], buffer, 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto request = Submit(&urb);
    EXPECT_FALSE(request->Wait(std::chrono::milliseconds(50)));
    instrument_->QueueZeroLengthPacket(0x81);
    ASSERT_TRUE(request->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(request->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 128u);

    // A full buffer ends it as well, and what is left stays for the next transfer.
    instrument_->QueueIn(0x81, Bytes(200, 1));
    BuildTransfer(&urb, pipes[0], buffer, 128, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 128u);
    EXPECT_EQ(instrument_->PendingInBytes(0x81), 72u);

    // A packet larger than the room left is babble: the endpoint halts until it is reset.
    BuildTransfer(&urb, pipes[0], buffer, 10, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_TRUE(instrument_->Halted(0x81));
}

TEST_F(BusTest, OutTransfersAreRecordedOneByOne) {
    std::vector<USBD_PIPE_HANDLE> pipes = Configure();
    UCHAR* first = Pool(3);
    first[0] = 1, first[1] = 2, first[2] = 3;
    UCHAR* second = Pool(1);
    second[0] = 9;
    URB urb;
    BuildTransfer(&urb, pipes[1], first, 3, 0);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    BuildTransfer(&urb, pipes[1], second, 1, 0);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    EXPECT_EQ(instrument_->OutData(0x02), (usb::OutTransfers{{1, 2, 3}, {9}}));

    // After deconfiguration the handles are gone.
    memset(&urb, 0, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    EXPECT_FALSE(instrument_->Configured());
    BuildTransfer(&urb, pipes[1], first, 3, 0);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// Records the IRQL its completion routine ran at.
NTSTATUS NTAPI RecordIrql(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<std::atomic<int>*>(context)->store(KeGetCurrentIrql());
    return STATUS_SUCCESS;
}

TEST_F(BusTest, RequestsCompleteAtDispatchLevelAndCanBeCancelledWhileWaiting) {
    std::vector<USBD_PIPE_HANDLE> pipes = Configure();
    std::atomic<int> irql{-1};
    UCHAR* buffer = Pool(64);
    URB urb;
    BuildTransfer(&urb, pipes[0], buffer, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    // A two-location request: the completion routine sits above the bus.
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo_, nullptr, 0, nullptr, 0, TRUE, nullptr,
                                             nullptr);
    ASSERT_NE(irp, nullptr);
    irp->UserIosb = nullptr;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, RecordIrql, &irql, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo_, irp), STATUS_PENDING);
    EXPECT_EQ(instrument_->PendingRequests(), 1u);
    instrument_->QueueIn(0x81, {1, 2, 3});
    WaitForDispatchQueue();
    EXPECT_EQ(irql.load(), DISPATCH_LEVEL);

    BuildTransfer(&urb, pipes[0], buffer, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto request = Submit(&urb);
    EXPECT_FALSE(request->Wait(std::chrono::milliseconds(20)));
    EXPECT_TRUE(request->Cancel());
    ASSERT_TRUE(request->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(instrument_->PendingRequests(), 0u);
}

TEST_F(BusTest, AnInjectedErrorHaltsThePipeUntilItIsReset) {
    std::vector<USBD_PIPE_HANDLE> pipes = Configure();
    instrument_->InjectTransferError(0x02, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC);
    UCHAR* data = Pool(4);
    URB urb;
    BuildTransfer(&urb, pipes[1], data, 4, 0);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CRC);
    BuildTransfer(&urb, pipes[1], data, 4, 0);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

    memset(&urb, 0, sizeof(urb));
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = pipes[1];
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    BuildTransfer(&urb, pipes[1], data, 4, 0);
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    EXPECT_EQ(instrument_->OutData(0x02).size(), 1u);
}

TEST_F(BusTest, UnplugEndsWaitingRequestsAndEmptiesThePort) {
    std::vector<USBD_PIPE_HANDLE> pipes = Configure();
    instrument_->SetVendorAnswer(ControlAnswer::NeverAnswer);
    URB vendor;
    memset(&vendor, 0, sizeof(vendor));
    UsbBuildVendorRequest(&vendor, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0,
                          0, 5, 1, 2, nullptr, nullptr, 0, nullptr);
    auto waiting = Submit(&vendor);
    EXPECT_FALSE(waiting->Wait(std::chrono::milliseconds(20)));
    EXPECT_EQ(instrument_->Log().back().setup.bmRequestType, 0x40);

    instrument_->Unplug();
    ASSERT_TRUE(waiting->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(waiting->Result().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    ULONG port = 0xFF;
    IrpResult result = SendIrp(pdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&port](PIRP, PIO_STACK_LOCATION next) {
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        next->Parameters.Others.Argument1 = &port;
    });
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);
    UCHAR* data = Pool(1);
    URB transfer;
    BuildTransfer(&transfer, pipes[1], data, 1, 0);
    EXPECT_EQ(SubmitAndWait(&transfer), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(BusTest, WaitWakeIsHeldUntilWakeUpOrCancel) {
    auto wake = StartIrp(pdo_, IRP_MJ_POWER, IRP_MN_WAIT_WAKE, [](PIRP, PIO_STACK_LOCATION next) {
        next->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    });
    EXPECT_FALSE(wake->Wait(std::chrono::milliseconds(20)));
    EXPECT_TRUE(instrument_->WaitWakeHeld());
    EXPECT_TRUE(instrument_->SignalWakeup());
    ASSERT_TRUE(wake->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(wake->Result().status, STATUS_SUCCESS);
    EXPECT_FALSE(instrument_->SignalWakeup()) << "nothing held any more";

    auto cancelled = StartIrp(pdo_, IRP_MJ_POWER, IRP_MN_WAIT_WAKE);
    EXPECT_TRUE(cancelled->Cancel());
    ASSERT_TRUE(cancelled->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(cancelled->Result().status, STATUS_CANCELLED);
    EXPECT_FALSE(instrument_->WaitWakeHeld());
}

TEST_F(BusTest, DelayedAnswersArriveLaterAndStartCanFail) {
    instrument_->SetDelay(std::chrono::milliseconds(100));
    URB urb;
    memset(&urb, 0, sizeof(urb));
    auto& descriptor = *reinterpret_cast<USB_DEVICE_DESCRIPTOR*>(Pool(sizeof(USB_DEVICE_DESCRIPTOR)));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, &descriptor, nullptr, sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(95));
    EXPECT_EQ(descriptor.idVendor, 0x2A4B);

    instrument_->SetStartStatus(STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(SendIrp(pdo_, IRP_MJ_PNP, IRP_MN_START_DEVICE).status, STATUS_DEVICE_POWER_FAILURE);
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(pnp::QueryCapabilities(pdo_, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
}

// The device answers only where a real one would: started, not stopped or removed, in D0 or D1.
TEST_F(BusTest, TheDeviceAnswersOnlyWhileStartedAndPoweredUp) {
    auto descriptor = [this] {
        URB urb;
        memset(&urb, 0, sizeof(urb));
        auto buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 18, kTestTag));
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                     0, 0, buffer, nullptr, 18, nullptr);
        NTSTATUS status = SubmitAndWait(&urb);
        ExFreePoolWithTag(buffer, kTestTag);
        return status;
    };
    auto setPower = [this](DEVICE_POWER_STATE state) {
        SendIrp(pdo_, IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIRP, PIO_STACK_LOCATION next) {
            next->Parameters.Power.Type = DevicePowerState;
            next->Parameters.Power.State.DeviceState = state;
        });
    };
    EXPECT_EQ(descriptor(), STATUS_SUCCESS);
    setPower(PowerDeviceD2);
    EXPECT_EQ(descriptor(), STATUS_DEVICE_NOT_READY) << "suspended";
    setPower(PowerDeviceD3);
    EXPECT_EQ(descriptor(), STATUS_DEVICE_NOT_READY);
    setPower(PowerDeviceD1);
    EXPECT_EQ(descriptor(), STATUS_SUCCESS);
    setPower(PowerDeviceD0);
    SendIrp(pdo_, IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
    EXPECT_EQ(descriptor(), STATUS_DEVICE_NOT_READY) << "stopped";
    SendIrp(pdo_, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_EQ(descriptor(), STATUS_SUCCESS) << "started again";
    SendIrp(pdo_, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(descriptor(), STATUS_NO_SUCH_DEVICE) << "gone";

    // A fresh device has not been started yet.
    Instrument fresh(usb::BulkInstrument(64));
    PDEVICE_OBJECT pdo = fresh.PlugIn();
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(SendIrp(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&urb](PIRP, PIO_STACK_LOCATION next) {
                  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                  next->Parameters.Others.Argument1 = &urb;
              }).status,
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_NOT_ACCESSED);
}

// Every transfer buffer must be non-paged system memory; a stack or user buffer is a finding.
TEST_F(BusTest, TransferBuffersMustBeNonPagedSystemMemory) {
    std::vector<USBD_PIPE_HANDLE> pipes = Configure();
    auto send = [&](PVOID buffer, PMDL mdl) {
        URB urb;
        BuildTransfer(&urb, pipes[1], buffer, 4, 0);
        urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
        if (mdl) urb.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr;
        return CaptureFindings([&] { SubmitAndWait(&urb); });
    };
    using verifier::Rule;
    UCHAR onStack[4] = {};
    EXPECT_TRUE(HasRule(send(onStack, nullptr), Rule::BufferNotNonPaged));
    std::vector<UCHAR> userMemory(4);
    EXPECT_TRUE(HasRule(send(userMemory.data(), nullptr), Rule::BufferNotNonPaged));
    UCHAR* pool = Pool(8);
    EXPECT_TRUE(send(pool, nullptr).empty());
    EXPECT_TRUE(HasRule(send(pool + 6, nullptr), Rule::BufferNotNonPaged)) << "runs past the block";
    auto paged = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 4, kTestTag));
    EXPECT_TRUE(HasRule(send(paged, nullptr), Rule::BufferNotNonPaged));
    ExFreePoolWithTag(paged, kTestTag);

    // An MDL: locked pages are fine as they are; their system mapping is fine as an address.
    PMDL mdl = IoAllocateMdl(userMemory.data(), 4, FALSE, FALSE, nullptr);
    EXPECT_TRUE(HasRule(send(nullptr, mdl), Rule::BufferNotNonPaged)) << "pages not locked";
    MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
    EXPECT_TRUE(send(nullptr, mdl).empty());
    PVOID mapped = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
    EXPECT_TRUE(send(mapped, nullptr).empty());
    MmUnlockPages(mdl);
    EXPECT_TRUE(HasRule(send(mapped, nullptr), Rule::BufferNotNonPaged)) << "no longer mapped";
    IoFreeMdl(mdl);

    // A device extension is non-paged.
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(pdo_->DriverObject, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_TRUE(send(device->DeviceExtension, nullptr).empty());
    IoDeleteDevice(device);
}

// As a host controller moves them: IN data lands packet by packet while the transfer waits, a
// transfer that ends early reports the bytes already moved, and completion never comes inside
// the submitting call.
TEST_F(BusTest, TransfersMovePacketByPacketAndReportWhatTheyMovedWhenCutShort) {
    std::vector<USBD_PIPE_HANDLE> pipes = Configure();
    UCHAR* buffer = Pool(256);
    memset(buffer, 0, 256);
    URB urb;
    const ULONG in = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

    // Data already there still completes later, on a dispatch-level thread.
    instrument_->QueueIn(0x81, Bytes(10, 7));
    BuildTransfer(&urb, pipes[0], buffer, 256, in);
    auto request = Submit(&urb);
    EXPECT_EQ(request->Result().returned, STATUS_PENDING);
    ASSERT_TRUE(request->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);

    // Two full packets land while the transfer waits for more; a cancel reports them.
    BuildTransfer(&urb, pipes[0], buffer, 256, in);
    request = Submit(&urb);
    instrument_->QueueIn(0x81, Bytes(128, 0x42));
    // The bus has moved the queued bytes into the waiting transfer once none is left queued.
    ASSERT_TRUE(Eventually([&] { return instrument_->PendingInBytes(0x81) == 0; })) << "the packets never landed";
    EXPECT_FALSE(request->Wait(std::chrono::milliseconds(20)));
    EXPECT_TRUE(request->Cancel());
    ASSERT_TRUE(request->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 128u);

    // An abort of the pipe reports them as well.
    URB abort;
    BuildTransfer(&urb, pipes[0], buffer, 256, in);
    request = Submit(&urb);
    instrument_->QueueIn(0x81, Bytes(64, 1));
    ASSERT_TRUE(Eventually([&] { return instrument_->PendingInBytes(0x81) == 0; }));
    memset(&abort, 0, sizeof(abort));
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = pipes[0];
    EXPECT_EQ(SubmitAndWait(&abort), STATUS_SUCCESS);
    ASSERT_TRUE(request->Wait(std::chrono::seconds(5)));
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);

    // A full packet that does not fit in what remains is babble, after what did fit.
    BuildTransfer(&urb, pipes[0], buffer, 100, in);
    instrument_->QueueIn(0x81, Bytes(128, 3));
    EXPECT_EQ(SubmitAndWait(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    EXPECT_TRUE(instrument_->Halted(0x81));
}

TEST_F(BusTest, EnablePortExistsOnlyBeforeVersion60) {
    auto enable = [this] {
        return SendIrp(pdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [](PIRP, PIO_STACK_LOCATION next) {
                   next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_ENABLE_PORT;
               }).status;
    };
    instrument_->SetPortEnabled(false);
    EXPECT_EQ(enable(), STATUS_NOT_SUPPORTED);  // default: 10.0
    SetOsVersion(6, 0);
    EXPECT_EQ(enable(), STATUS_NOT_SUPPORTED);
    SetOsVersion(5, 2);
    EXPECT_EQ(enable(), STATUS_SUCCESS);
    ULONG port = 0;
    SendIrp(pdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&port](PIRP, PIO_STACK_LOCATION next) {
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        next->Parameters.Others.Argument1 = &port;
    });
    EXPECT_EQ(port, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(BusTest, TheConfigurationRequestIsTheStacksPoolAndAWrongTagIsFound) {
    Bytes config = usb::ConfigurationBytes(usb::BulkInstrument());
    auto descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr}, {}};
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    ASSERT_NE(urb, nullptr);
    auto findings = CaptureFindings([&] { ExFreePoolWithTag(urb, 0x6B6C7542); });
    EXPECT_TRUE(HasRule(findings, verifier::Rule::PoolWrongTag));
    ExFreePool(urb);
    EXPECT_TRUE(OutstandingPool().empty());
}

}  // namespace
