// System and device power requests: the capabilities table, the drain before the device leaves
// D0, the queue state, refusals, failures below and beside the driver, and unplug meanwhile.
#include "power_test_support.h"

#include <cstring>

namespace kestrune_test {
namespace {

using namespace std::chrono_literals;

class SystemDevicePowerTest : public PowerTest {
  protected:
    using Reference = LONG(DeviceRecord*);
    void Acquire() { Routine<Reference>("AcquireIoReference")(record_); }
    void Release() { Routine<Reference>("ReleaseIoReference")(record_); }
};

TEST_F(SystemDevicePowerTest, RequestsGoDownUntouchedBeforeStartAndAreRefusedOnceRemoved) {
    instrument_ = std::make_unique<kstandin::usb::Instrument>(kstandin::usb::BulkInstrument());
    device_ = AddInstrument(*instrument_);
    ASSERT_NE(device_, nullptr);
    record_ = RecordOf(device_);
    pdo_ = instrument_->Pdo();

    // Not started: the bus answers, the driver neither follows nor counts the request.
    EXPECT_EQ(kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3), 1u);
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2), 0u);
    EXPECT_EQ(record_->systemPower, static_cast<ULONG>(PowerSystemWorking));
    EXPECT_TRUE(Idle());

    // Removed: a request that arrives while the removal waits for the last reference is failed
    // without reaching the bus.
    ASSERT_EQ(kstandin::pnp::Start(pdo_), STATUS_SUCCESS);
    Acquire();
    Settle();
    std::thread removal([this] { EXPECT_EQ(kstandin::pnp::Remove(pdo_), STATUS_SUCCESS); });
    ASSERT_TRUE(Eventually(
        [this] { return ReadLocked(&record_->stateLock, &record_->deviceState) == Removed; }));
    size_t before = PowerRequests().size();
    EXPECT_EQ(kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping1), STATUS_DELETE_PENDING);
    EXPECT_EQ(kstandin::power::QueryDevicePower(pdo_, PowerDeviceD1), STATUS_DELETE_PENDING);
    EXPECT_EQ(PowerRequests().size(), before);
    Settle(1); // the removal
    Release();
    removal.join();
    instrument_->DeletePdo();
}

TEST_F(SystemDevicePowerTest, SystemStatesAreFollowedThroughTheCapabilitiesTable) {
    StartInstrument(false); // the bus maps S1-S3 to D2 and S4-S5 to D3
    EXPECT_EQ(kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(record_->systemPower, static_cast<ULONG>(PowerSystemSleeping3));
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2));
    EXPECT_EQ(instrument_->DevicePower(), PowerDeviceD2);
    EXPECT_EQ(kstandin::ReportedDevicePowerState(device_), static_cast<ULONG>(PowerDeviceD2));
    EXPECT_EQ(QueueState(), static_cast<ULONG>(HoldRequests));
    // The system request reached the bus before the device request it led to.
    std::vector<kstandin::usb::RequestRecord> power = PowerRequests();
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(power[0].powerType, static_cast<ULONG>(SystemPowerState));
    EXPECT_EQ(power[1].powerType, static_cast<ULONG>(DevicePowerState));

    // Deeper, then back to work.
    EXPECT_EQ(kstandin::power::SetSystemPower(pdo_, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(kstandin::power::SetSystemPower(pdo_, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(record_->systemPower, static_cast<ULONG>(PowerSystemWorking));
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(kstandin::ReportedDevicePowerState(device_), static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(QueueState(), static_cast<ULONG>(AllowRequests));
    EXPECT_TRUE(Idle());
}

TEST_F(SystemDevicePowerTest, QueriesAreRefusedBeyondTheWakeLevelsOnlyWithRemoteWakeup) {
    StartInstrument(true); // SystemWake S3, DeviceWake D2
    EXPECT_EQ(kstandin::power::QuerySystemPower(pdo_, PowerSystemHibernate),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(CountPower(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate), 0u);
    EXPECT_EQ(kstandin::power::QueryDevicePower(pdo_, PowerDeviceD3), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(CountPower(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3), 0u);
    EXPECT_EQ(kstandin::power::QueryDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(CountPower(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2), 1u);
    // Sets are never refused.
    EXPECT_EQ(kstandin::power::SetSystemPower(pdo_, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_TRUE(Idle());
    Remove();

    // Without remote wake-up the same query goes down and asks the device for DeviceState[S4].
    StartInstrument(false);
    EXPECT_EQ(kstandin::power::QuerySystemPower(pdo_, PowerSystemHibernate), STATUS_SUCCESS);
    std::vector<kstandin::usb::RequestRecord> power = PowerRequests();
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(power[0].powerState, static_cast<ULONG>(PowerSystemHibernate));
    EXPECT_EQ(power[1].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(power[1].powerType, static_cast<ULONG>(DevicePowerState));
    EXPECT_EQ(power[1].powerState, static_cast<ULONG>(PowerDeviceD3));
    // A query changes no power state but holds requests until the device is back in D0.
    EXPECT_EQ(record_->systemPower, static_cast<ULONG>(PowerSystemWorking));
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(QueueState(), static_cast<ULONG>(HoldRequests));
    EXPECT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(QueueState(), static_cast<ULONG>(AllowRequests));
}

TEST_F(SystemDevicePowerTest, TheDeviceLeavesD0OnlyAfterTheRequestsInProgressEnded) {
    StartInstrument(false, [](DEVICE_CAPABILITIES& table) {
        table.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    });
    Acquire(); // two reads in progress
    Acquire();
    auto sleep = kstandin::power::StartSystemRequest(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3);
    ASSERT_TRUE(Eventually([this] {
        return CountPower(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3) == 1;
    }));
    EXPECT_FALSE(sleep->Wait(100ms));
    EXPECT_EQ(QueueState(), static_cast<ULONG>(HoldRequests));
    Release();
    EXPECT_FALSE(sleep->Wait(50ms));
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), 0u);
    EXPECT_EQ(instrument_->DevicePower(), PowerDeviceD0);
    Release();
    ASSERT_TRUE(sleep->Wait(2s));
    EXPECT_EQ(sleep->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), 1u);
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_TRUE(Idle());

    // Back to D0 from D3.
    EXPECT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(kstandin::ReportedDevicePowerState(device_), static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(QueueState(), static_cast<ULONG>(AllowRequests));
    EXPECT_TRUE(Idle());
}

TEST_F(SystemDevicePowerTest, ADeviceRequestOfAnotherDriverDrainsWithItsOwnReferenceOnly) {
    StartInstrument(false);
    Acquire();
    std::thread down([this] {
        EXPECT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    });
    // The device's own reference, the read's and the device request's, waiting in the drain.
    EXPECT_TRUE(Eventually([this] { return OutstandingIo() == 3; }))
        << "the device request never reached the drain";
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(instrument_->DevicePower(), PowerDeviceD0) << "passed down while a request ran";
    // The device's own reference was never given away: the removal has not been signalled.
    EXPECT_EQ(KeReadStateEvent(&record_->removeEvent), 0);
    Release();
    down.join();
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2));
    EXPECT_TRUE(Idle());
    EXPECT_EQ(KeReadStateEvent(&record_->removeEvent), 0);
    // D0 while in D0 lets requests through before the request goes down.
    EXPECT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(kstandin::power::QueryDevicePower(pdo_, PowerDeviceD1), STATUS_SUCCESS);
    EXPECT_EQ(QueueState(), static_cast<ULONG>(HoldRequests));
    EXPECT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(QueueState(), static_cast<ULONG>(AllowRequests));
    EXPECT_TRUE(Idle());
}

// A set-power request must not fail on Windows: every failure below is a lower driver breaking
// that rule (the verifier says so), and the driver must still pass it on and stay consistent.
TEST_F(SystemDevicePowerTest, FailuresBelowTheDriverTravelUpAndChangeNoState) {
    StartInstrument(false);
    NTSTATUS status = STATUS_PENDING;
    auto findings = CaptureFindings([&] {
        instrument_->SetPowerStatus(SystemPowerState, STATUS_UNSUCCESSFUL);
        status = kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping1);
    });
    EXPECT_TRUE(HasRule(findings, kstandin::verifier::Rule::RequestMustNotFail));
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(record_->systemPower, static_cast<ULONG>(PowerSystemWorking));
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2), 0u);
    EXPECT_TRUE(Idle());

    // The device request fails: the system request fails with its status.
    findings = CaptureFindings([&] {
        instrument_->SetPowerStatus(SystemPowerState, STATUS_SUCCESS);
        instrument_->SetPowerStatus(DevicePowerState, STATUS_IO_DEVICE_ERROR);
        status = kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping1);
    });
    EXPECT_TRUE(HasRule(findings, kstandin::verifier::Rule::RequestMustNotFail));
    EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(record_->systemPower, static_cast<ULONG>(PowerSystemSleeping1));
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_TRUE(Idle());
    instrument_->SetPowerStatus(DevicePowerState, STATUS_SUCCESS);
    EXPECT_EQ(kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping1), STATUS_SUCCESS);
    findings = CaptureFindings([&] {
        instrument_->SetPowerStatus(DevicePowerState, STATUS_IO_DEVICE_ERROR);
        status = kstandin::power::SetDevicePower(pdo_, PowerDeviceD0);
    });
    EXPECT_TRUE(HasRule(findings, kstandin::verifier::Rule::RequestMustNotFail));
    EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2)) << "a failed power-up";
    EXPECT_TRUE(Idle());
}

// The driver itself fails a set request when it runs out of memory, as it is built to; Windows
// does not allow that, and the verifier says so each time.
// Windows does not let a set-power request fail: when the driver cannot ask for the device
// request or hold the system request for it, the system request still succeeds (the device stays
// as it is), and a device request that cannot wait for idleness goes down at once. Queries may
// fail.
TEST_F(SystemDevicePowerTest, FailuresInTheDriverNeverFailASetRequest) {
    StartInstrument(false);
    NTSTATUS status = STATUS_PENDING;
    auto findings = CaptureFindings([&] {
        // The device request cannot be requested.
        kstandin::FailNextPowerRequest(STATUS_NO_MEMORY);
        status = kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping2);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(findings.empty());
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_TRUE(Idle());
    // No pool for the held system request.
    unsigned allocations = kstandin::AllocationCount();
    findings = CaptureFindings([&] {
        kstandin::FailAllocationAt(1);
        status = kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping2);
        kstandin::FailAllocationAt(0);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(findings.empty());
    EXPECT_GT(kstandin::AllocationCount(), allocations);
    EXPECT_TRUE(Idle());
    EXPECT_EQ(kstandin::power::QuerySystemPower(pdo_, PowerSystemSleeping2), STATUS_SUCCESS);
    kstandin::FailNextWorkItemAllocation();
    EXPECT_EQ(kstandin::power::QueryDevicePower(pdo_, PowerDeviceD2), STATUS_INSUFFICIENT_RESOURCES)
        << "a query may fail";
    EXPECT_TRUE(Idle());
    // No work item for the drain: the device request goes down at once, requests held.
    findings = CaptureFindings([&] {
        kstandin::FailNextWorkItemAllocation();
        status = kstandin::power::SetDevicePower(pdo_, PowerDeviceD3);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(findings.empty());
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(QueueState(), static_cast<ULONG>(HoldRequests));
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), 1u);
    EXPECT_TRUE(Idle());
    EXPECT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(QueueState(), static_cast<ULONG>(AllowRequests));
}

TEST_F(SystemDevicePowerTest, AnUnplugDuringTheDrainEndsTheTransitionAndTheDeviceGoes) {
    StartInstrument(false, [](DEVICE_CAPABILITIES& table) {
        table.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    });
    // A bulk IN transfer that the device does not answer, sent as the driver's reads are.
    PoolBuffer buffer(64);
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest(
        &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
        record_->interfaceInfo->Pipes[0].PipeHandle, buffer.data(), nullptr, buffer.size(),
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    NTSTATUS readStatus = STATUS_PENDING;
    auto submit = Routine<NTSTATUS(PDEVICE_OBJECT, PURB)>("SubmitUrbSync");
    std::thread read([&] { readStatus = submit(device_, &urb); });
    ASSERT_TRUE(Eventually([this] { return OutstandingIo() == 2; }));

    auto sleep = kstandin::power::StartSystemRequest(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3);
    EXPECT_FALSE(sleep->Wait(100ms));
    instrument_->Unplug();
    read.join();
    EXPECT_EQ(readStatus, STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(sleep->Wait(2s));
    EXPECT_EQ(sleep->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_TRUE(Idle());
    std::u16string name = NameOf(record_->deviceName);
    EXPECT_EQ(kstandin::pnp::SurpriseRemove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(kstandin::power::SetSystemPower(pdo_, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD0));
    Remove();
    EXPECT_FALSE(kstandin::DeviceNameExists(name));
}

// A removal that comes while the device request waits for the device to become idle: the
// request keeps its reference, so the removal waits for it, and the device is deleted only after
// the request went down and came back.
TEST_F(SystemDevicePowerTest, ARemovalDuringTheDrainWaitsForTheDeviceRequest) {
    StartInstrument(false);
    Acquire(); // a read in progress
    std::thread down([this] {
        EXPECT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    });
    // The device's own reference, the read's and the device request's, waiting in the drain.
    EXPECT_TRUE(Eventually([this] { return OutstandingIo() == 3; }))
        << "the device request never reached the drain";
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(instrument_->DevicePower(), PowerDeviceD0) << "passed down while a request ran";

    std::u16string name = NameOf(record_->deviceName);
    PDEVICE_OBJECT pdo = pdo_;
    NTSTATUS removal = STATUS_PENDING;
    std::thread remove([pdo, &removal] { removal = kstandin::pnp::Remove(pdo); });
    // The removal gave up the device's own reference: the device request goes down now.
    down.join();
    EXPECT_EQ(instrument_->DevicePower(), PowerDeviceD2);
    EXPECT_TRUE(kstandin::DeviceNameExists(name)) << "deleted while a read was in progress";
    Release(); // the read ends
    remove.join();
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_FALSE(kstandin::DeviceNameExists(name));
    // The power manager frees the device request after its completion function has run.
    kstandin::WaitUntilQuiet();
    instrument_->DeletePdo();
}

} // namespace
} // namespace kestrune_test
