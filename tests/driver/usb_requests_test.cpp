// Synchronous requests to the USB stack: URBs with and without a time-out, string descriptors and
// the serial-number cache, and the port and pipe resets.
#include "driver_test_support.h"

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace kestrune_test {
namespace {

using kstandin::usb::ControlAnswer;
using kstandin::usb::Instrument;
using Clock = std::chrono::steady_clock;

using SubmitFn = NTSTATUS(PDEVICE_OBJECT, PURB);
using SubmitTimeoutFn = NTSTATUS(PDEVICE_OBJECT, PURB, LONG);
using ReadStringFn = NTSTATUS(PDEVICE_OBJECT, UCHAR, PVOID, ULONG);
using DeviceFn = NTSTATUS(PDEVICE_OBJECT);
using CacheFn = VOID(PDEVICE_OBJECT);
using PortStatusFn = NTSTATUS(PDEVICE_OBJECT, PULONG);
using ResetPipeFn = NTSTATUS(PDEVICE_OBJECT, PUSBD_PIPE_INFORMATION);
using CompletionFn = NTSTATUS NTAPI(PDEVICE_OBJECT, PIRP, PVOID);

class UsbRequestsTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadDriver();
        instrument_ = std::make_unique<Instrument>(kstandin::usb::BulkInstrument(64));
        device_ = AddInstrument(*instrument_);
        ASSERT_NE(device_, nullptr);
        record_ = RecordOf(device_);
        // The routines run as they do during a start, once the lower drivers have started the
        // device: the bus answers only from then on.
        ASSERT_EQ(kstandin::SendIrp(instrument_->Pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE).status,
                  STATUS_SUCCESS);
        instrument_->ClearLog();
        poolAtStart_ = DriverPoolBlocks();
    }
    void TearDown() override {
        if (instrument_ && instrument_->Pdo() != nullptr) {
            RemoveInstrument(*instrument_);
        }
        DriverTest::TearDown();
    }

    NTSTATUS ReadString(UCHAR index, UCHAR* buffer, ULONG length) {
        return Routine<ReadStringFn>("ReadStringDescriptor")(device_, index, buffer, length);
    }
    static URB VendorProbe() {
        URB urb;
        memset(&urb, 0, sizeof(urb));
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 1, 0x40, 0, nullptr,
                              nullptr, 0, nullptr);
        return urb;
    }

    std::unique_ptr<Instrument> instrument_;
    PDEVICE_OBJECT device_ = nullptr;
    DeviceRecord* record_ = nullptr;
    size_t poolAtStart_ = 0;
};

TEST_F(UsbRequestsTest, AStringDescriptorShorterThanItsLengthClaimsEndsAtTheBytesReported) {
    // bLength says 20, the device sends 6 bytes: "A", "B". The rest of the caller's buffer is
    // not part of the descriptor, so bLength comes back as 6. The cached serial number is
    // trimmed alike.
    RemoveInstrument(*instrument_);
    kstandin::usb::InstrumentSpec spec = kstandin::usb::BulkInstrument(64);
    spec.rawStrings[7] = {20, USB_STRING_DESCRIPTOR_TYPE, 'A', 0, 'B', 0};
    spec.rawStrings[spec.serialIndex] = {40, USB_STRING_DESCRIPTOR_TYPE, 'S', 0, 'N', 0, '1', 0};
    instrument_ = std::make_unique<Instrument>(spec);
    device_ = AddInstrument(*instrument_);
    ASSERT_NE(device_, nullptr);
    record_ = RecordOf(device_);
    ASSERT_EQ(kstandin::SendIrp(instrument_->Pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE).status,
              STATUS_SUCCESS);
    record_->serialIndex = spec.serialIndex;

    PoolBuffer buffer(256);
    memset(buffer.data(), 0xAA, buffer.size());
    ASSERT_EQ(ReadString(7, buffer.data(), buffer.size()), STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 6);
    EXPECT_EQ(kstandin::usb::Bytes(buffer.data() + 1, buffer.data() + 6),
              (kstandin::usb::Bytes{USB_STRING_DESCRIPTOR_TYPE, 'A', 0, 'B', 0}));
    EXPECT_EQ(buffer[6], 0xAA) << "nothing beyond what the device sent";

    memset(record_->serialDescriptor, 0xAA, sizeof(record_->serialDescriptor));
    Routine<CacheFn>("CacheSerialNumberDescriptor")(device_);
    ASSERT_EQ(record_->serialCached, 1);
    EXPECT_EQ(record_->serialDescriptor[0], 8);
}

TEST_F(UsbRequestsTest, StringDescriptorsAreReadRawAndIndexZeroIsRefusedWithoutARequest) {
    PoolBuffer buffer(256);
    EXPECT_EQ(ReadString(0, buffer.data(), buffer.size()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 0u);

    memset(buffer.data(), 0xAA, buffer.size());
    ASSERT_EQ(ReadString(2, buffer.data(), buffer.size()), STATUS_SUCCESS);
    kstandin::usb::Bytes expected = kstandin::usb::StringDescriptorBytes(u"Bulk Instrument");
    EXPECT_EQ(kstandin::usb::Bytes(buffer.data(), buffer.data() + expected.size()), expected);
    EXPECT_EQ(buffer[expected.size()], 0xAA) << "nothing beyond what the device sent";

    std::vector<kstandin::usb::RequestRecord> log = instrument_->Log();
    ASSERT_FALSE(log.empty());
    const kstandin::usb::RequestRecord& request = log.back();
    EXPECT_EQ(request.urbFunction, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(request.urbLength, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    EXPECT_EQ(request.descriptorType, USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(request.descriptorIndex, 2);
    EXPECT_EQ(request.languageId, 0);
    EXPECT_EQ(request.transferBufferLength, buffer.size());
    EXPECT_FALSE(request.transferBufferMdl);

    // A string the device does not have: the stall comes back as the request's status.
    EXPECT_EQ(ReadString(9, buffer.data(), buffer.size()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(record_->outstandingIo, 1);
    EXPECT_EQ(DriverPoolBlocks(), poolAtStart_);
}

TEST_F(UsbRequestsTest, AStringThatNeverComesIsCancelledAfterItsTimeOutAndAwaited) {
    instrument_->SetStringAnswer(ControlAnswer::NeverAnswer);
    PoolBuffer buffer(256);
    auto started = Clock::now();
    auto reading = std::async(std::launch::async, [&] { return ReadString(1, buffer.data(), buffer.size()); });
    // While it waits, the request holds an I/O reference, so stop and removal would wait too.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ReadLocked(&record_->ioCountLock, &record_->outstandingIo), 2);
    EXPECT_EQ(instrument_->PendingRequests(), 1u);
    NTSTATUS status = reading.get();
    auto elapsed = Clock::now() - started;

    EXPECT_EQ(status, STATUS_CANCELLED) << "the final status of the cancelled request";
    EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(6000));
    EXPECT_EQ(instrument_->PendingRequests(), 0u) << "the request ended before the routine returned";
    EXPECT_EQ(record_->outstandingIo, 1);
    EXPECT_EQ(DriverPoolBlocks(), poolAtStart_);
}

TEST_F(UsbRequestsTest, ATimeOutThatRacesTheCompletionNeverTouchesAFinishedRequest) {
    // The device answers right around the time-out, so completion and cancel meet; the verifier
    // reports any cancel or read of a request that was already completed and freed.
    instrument_->SetVendorAnswer(ControlAnswer::Succeed);
    auto submit = Routine<SubmitTimeoutFn>("SubmitUrbWithTimeout");
    int succeeded = 0;
    int cancelled = 0;
    for (int round = 0; round < 30; ++round) {
        instrument_->SetDelay(std::chrono::milliseconds(10 + round % 3));
        URB urb = VendorProbe();
        NTSTATUS status = submit(device_, &urb, 11);
        if (status == STATUS_SUCCESS) {
            ++succeeded;
        } else {
            EXPECT_EQ(status, STATUS_CANCELLED);
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
            ++cancelled;
        }
    }
    EXPECT_EQ(succeeded + cancelled, 30);
    EXPECT_EQ(instrument_->PendingRequests(), 0u);
    EXPECT_EQ(record_->outstandingIo, 1);
}

TEST_F(UsbRequestsTest, ALowerDriverThatCompletesAtOnceIsNotWaitedFor) {
    instrument_->SetCompleteAtOnce(true);
    URB urb;
    memset(&urb, 0, sizeof(urb));
    PoolBuffer descriptorBuffer(sizeof(USB_DEVICE_DESCRIPTOR));
    auto& descriptor = *reinterpret_cast<USB_DEVICE_DESCRIPTOR*>(descriptorBuffer.data());
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, &descriptor, nullptr, sizeof(descriptor), nullptr);
    EXPECT_EQ(Routine<SubmitFn>("SubmitUrbSync")(device_, &urb), STATUS_SUCCESS);
    EXPECT_EQ(descriptor.idVendor, 0x2A4B);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);

    instrument_->SetVendorAnswer(ControlAnswer::Stall);
    URB probe = VendorProbe();
    auto started = Clock::now();
    EXPECT_EQ(Routine<SubmitTimeoutFn>("SubmitUrbWithTimeout")(device_, &probe, 1000), STATUS_UNSUCCESSFUL);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(probe.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(record_->outstandingIo, 1);
    for (const auto& request : instrument_->Log()) {
        if (request.urbFunction != 0xFFFF) {
            EXPECT_EQ(request.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
            EXPECT_EQ(request.ioControlCode, IOCTL_INTERNAL_USB_SUBMIT_URB);
        }
    }
}

TEST_F(UsbRequestsTest, WithoutARequestNothingIsSentAndNoReferenceIsTaken) {
    URB probe = VendorProbe();
    kstandin::FailNextIrpAllocation();
    EXPECT_EQ(Routine<SubmitFn>("SubmitUrbSync")(device_, &probe), STATUS_INSUFFICIENT_RESOURCES);
    kstandin::FailNextIrpAllocation();
    EXPECT_EQ(Routine<SubmitTimeoutFn>("SubmitUrbWithTimeout")(device_, &probe, 1000),
              STATUS_INSUFFICIENT_RESOURCES);
    ULONG port = 0xFFFFFFFF;
    kstandin::FailNextIrpAllocation();
    EXPECT_EQ(Routine<PortStatusFn>("GetPortStatus")(device_, &port), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port, 0u) << "the word is cleared before anything else";
    PoolBuffer buffer(256);
    kstandin::FailAllocationAt(1);
    EXPECT_EQ(ReadString(1, buffer.data(), buffer.size()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(instrument_->Log().size(), 0u);
    EXPECT_EQ(record_->outstandingIo, 1);
}

TEST_F(UsbRequestsTest, ThePortIsResetOnlyWhileSomethingIsConnected) {
    ULONG port = 0;
    EXPECT_EQ(Routine<PortStatusFn>("GetPortStatus")(device_, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    instrument_->SetPortEnabled(false);
    EXPECT_EQ(Routine<PortStatusFn>("GetPortStatus")(device_, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, static_cast<ULONG>(USBD_PORT_CONNECTED));
    // The hub of 6.0 and later has no enable request; an earlier one enables the port.
    EXPECT_EQ(Routine<DeviceFn>("EnablePort")(device_), STATUS_NOT_SUPPORTED);
    kstandin::SetOsVersion(5, 2);
    EXPECT_EQ(Routine<DeviceFn>("EnablePort")(device_), STATUS_SUCCESS);
    kstandin::SetOsVersion(10, 0);
    EXPECT_EQ(Routine<PortStatusFn>("GetPortStatus")(device_, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    EXPECT_EQ(Routine<DeviceFn>("ResetPort")(device_), STATUS_SUCCESS);
    EXPECT_EQ(instrument_->PortResets(), 1u);
    instrument_->SetResetPortStatus(STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Routine<DeviceFn>("ResetPort")(device_), STATUS_DEVICE_DATA_ERROR) << "the reset's own status";

    instrument_->Unplug();
    size_t resetsSent = instrument_->CountIoctls(IOCTL_INTERNAL_USB_RESET_PORT);
    EXPECT_EQ(Routine<DeviceFn>("ResetPort")(device_), STATUS_SUCCESS) << "the query's status";
    EXPECT_EQ(instrument_->CountIoctls(IOCTL_INTERNAL_USB_RESET_PORT), resetsSent) << "no reset without a device";
    EXPECT_EQ(instrument_->PortResets(), 1u);
    EXPECT_EQ(record_->outstandingIo, 1) << "port requests take no reference";
}

TEST_F(UsbRequestsTest, AFailedSerialNumberReadIsRetriedAndAGoodOneIsKept) {
    auto cache = Routine<CacheFn>("CacheSerialNumberDescriptor");
    record_->serialIndex = 3;
    instrument_->SetStringAnswer(ControlAnswer::Stall);
    cache(device_);
    EXPECT_EQ(record_->serialCached, 0);
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 1u);

    instrument_->SetStringAnswer(ControlAnswer::Succeed);
    cache(device_);
    EXPECT_EQ(record_->serialCached, 1);
    kstandin::usb::Bytes expected = kstandin::usb::StringDescriptorBytes(u"SN000123");
    EXPECT_EQ(kstandin::usb::Bytes(record_->serialDescriptor, record_->serialDescriptor + expected.size()),
              expected);
    std::vector<kstandin::usb::RequestRecord> log = instrument_->Log();
    EXPECT_EQ(log.back().descriptorIndex, 3);
    EXPECT_EQ(log.back().transferBufferLength, 256u);

    cache(device_);
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 2u) << "a cached serial is not read";

    // A device without a serial number string is never asked.
    record_->serialCached = 0;
    record_->serialIndex = 0;
    cache(device_);
    EXPECT_EQ(instrument_->CountUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 2u);
}

TEST_F(UsbRequestsTest, AHaltedPipeIsResetAndAnUnknownPipeFails) {
    ASSERT_EQ(kstandin::pnp::Start(instrument_->Pdo()), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION inPipe = &record_->interfaceInfo->Pipes[0];
    ASSERT_EQ(inPipe->EndpointAddress, 0x81);
    instrument_->InjectTransferError(0x81);
    URB urb;
    memset(&urb, 0, sizeof(urb));
    PoolBuffer data(64);
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), inPipe->PipeHandle,
                                           data.data(), nullptr, data.size(),
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(Routine<SubmitFn>("SubmitUrbSync")(device_, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(instrument_->Halted(0x81));

    auto resetPipe = Routine<ResetPipeFn>("ResetPipe");
    EXPECT_EQ(resetPipe(device_, inPipe), STATUS_SUCCESS);
    EXPECT_FALSE(instrument_->Halted(0x81));
    EXPECT_EQ(instrument_->PipeResets(0x81), 1u);
    EXPECT_EQ(instrument_->Log().back().urbLength, sizeof(struct _URB_PIPE_REQUEST));

    USBD_PIPE_INFORMATION stale = *inPipe;
    stale.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
    EXPECT_EQ(resetPipe(device_, &stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DriverPoolBlocks(), poolAtStart_ + 3) << "descriptor, interface and pipe flags only";
}

TEST_F(UsbRequestsTest, TheCompletionRoutinesSignalAndEitherKeepOrReleaseTheRequest) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(Routine<CompletionFn>("SignalCompletion")(nullptr, nullptr, &event), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    KeClearEvent(&event);
    EXPECT_EQ(Routine<CompletionFn>("SignalAndHoldCompletion")(nullptr, nullptr, &event),
              STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

}  // namespace
}  // namespace kestrune_test
