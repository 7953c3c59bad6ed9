// The request gate of every dispatch routine, and the Plug and Play requests that do not need a
// configured device: queries and their cancellation, capabilities, and what is passed down.
#include "driver_test_support.h"

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace kestrune_test {
namespace {


const ULONG kAllStates[] = {NotStarted, Stopped,       Working,         PendingStop,
                            PendingRemove, SurpriseRemoved, Removed};

class RequestGateTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadDriver();
        device_ = AddDevice(&pdo_);
        ASSERT_NE(device_, nullptr);
        record_ = RecordOf(device_);
        // The bus driver below: records what reaches it and completes it.
        kstandin::SetPdoDispatch(pdo_, [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++seen_[{stack->MajorFunction, stack->MinorFunction}];
            }
            if (stack->MajorFunction == IRP_MJ_POWER) {
                PoStartNextPowerIrp(irp);
            }
            NTSTATUS status = lowerStatus_;
            if (stack->MajorFunction == IRP_MJ_PNP &&
                stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES && NT_SUCCESS(status)) {
                PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
                caps->SurpriseRemovalOK = FALSE;
                caps->DeviceWake = PowerDeviceD2;
                caps->SystemWake = PowerSystemSleeping3;
            } else if (stack->MajorFunction == IRP_MJ_PNP &&
                       (stack->MinorFunction == IRP_MN_REMOVE_DEVICE ||
                        stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL ||
                        stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
                        stack->MinorFunction == IRP_MN_QUERY_STOP_DEVICE)) {
                status = STATUS_SUCCESS;
            }
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = lowerInformation_;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        });
    }
    void TearDown() override {
        if (pdo_ != nullptr) {
            record_->deviceState = NotStarted;
            RemoveDevice(pdo_);
        }
        DriverTest::TearDown();
    }

    int Seen(UCHAR major, UCHAR minor = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_[{major, minor}];
    }

    kstandin::IrpResult Send(UCHAR major, UCHAR minor = 0) {
        return kstandin::SendIrp(device_, major, minor, {}, &fileObject_);
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    DeviceRecord* record_ = nullptr;
    FILE_OBJECT fileObject_{};
    std::mutex mutex_;
    std::map<std::pair<int, int>, int> seen_;
    NTSTATUS lowerStatus_ = STATUS_SUCCESS;
    ULONG_PTR lowerInformation_ = 0;
};

TEST_F(RequestGateTest, ApplicationRequestsAreRefusedOutsideWorking) {
    // Requests allowed, as a start leaves them: the gate alone decides.
    record_->queueState = AllowRequests;
    for (ULONG state : kAllStates) {
        SCOPED_TRACE("state " + std::to_string(state));
        record_->deviceState = state;
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL}) {
            SCOPED_TRACE("major " + std::to_string(major));
            kstandin::IrpResult result = Send(major);
            EXPECT_TRUE(result.completed);
            if (state != Working) {
                EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
            } else if (major == IRP_MJ_CREATE) {
                // A create also needs the selected interface.
                EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
            } else {
                EXPECT_NE(result.status, STATUS_INVALID_DEVICE_STATE);
            }
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(record_->outstandingIo, 1);
            EXPECT_EQ(record_->openHandles, 0);
        }
    }
    // In Working with the interface selected, a create passes the gate.
    record_->deviceState = Working;
    record_->interfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
        Routine<PVOID(LONG)>("AllocateZeroedPool")(sizeof(USBD_INTERFACE_INFORMATION)));
    ASSERT_NE(record_->interfaceInfo, nullptr);
    EXPECT_NE(Send(IRP_MJ_CREATE).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(record_->outstandingIo, 1);
    // Nothing of these reached the bus driver.
    EXPECT_EQ(Seen(IRP_MJ_CREATE) + Seen(IRP_MJ_READ) + Seen(IRP_MJ_WRITE) +
                  Seen(IRP_MJ_DEVICE_CONTROL),
              0);
}

TEST_F(RequestGateTest, CloseCleanupAndSystemControlAreNeverRefused) {
    lowerStatus_ = STATUS_NOT_SUPPORTED;
    lowerInformation_ = 7;
    int systemControls = 0;
    for (ULONG state : kAllStates) {
        SCOPED_TRACE("state " + std::to_string(state));
        record_->deviceState = state;
        EXPECT_EQ(Send(IRP_MJ_CLEANUP).status, STATUS_SUCCESS);
        EXPECT_EQ(Send(IRP_MJ_CLOSE).status, STATUS_SUCCESS);
        // Management requests go to the bus driver untouched, whatever the state.
        kstandin::IrpResult wmi = Send(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA);
        EXPECT_EQ(wmi.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(wmi.information, 7u);
        EXPECT_EQ(Seen(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA), ++systemControls);
        EXPECT_EQ(record_->outstandingIo, 1);
    }
}

TEST_F(RequestGateTest, PlugAndPlayAndPowerAreRefusedOnlyOnceRemoved) {
    lowerStatus_ = STATUS_NOT_SUPPORTED;
    for (ULONG state : kAllStates) {
        SCOPED_TRACE("state " + std::to_string(state));
        record_->deviceState = state;
        int pnpBefore = Seen(IRP_MJ_PNP, IRP_MN_QUERY_ID);
        int powerBefore = Seen(IRP_MJ_POWER, IRP_MN_QUERY_POWER);
        kstandin::IrpResult pnp = Send(IRP_MJ_PNP, IRP_MN_QUERY_ID);
        kstandin::IrpResult power = Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER);
        if (state == Removed) {
            EXPECT_EQ(pnp.status, STATUS_DELETE_PENDING);
            EXPECT_EQ(power.status, STATUS_DELETE_PENDING);
            EXPECT_EQ(Seen(IRP_MJ_PNP, IRP_MN_QUERY_ID), pnpBefore);
            EXPECT_EQ(Seen(IRP_MJ_POWER, IRP_MN_QUERY_POWER), powerBefore);
        } else {
            // Passed down with the lower driver's status untouched.
            EXPECT_EQ(pnp.status, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(Seen(IRP_MJ_PNP, IRP_MN_QUERY_ID), pnpBefore + 1);
            EXPECT_EQ(Seen(IRP_MJ_POWER, IRP_MN_QUERY_POWER), powerBefore + 1);
        }
        EXPECT_EQ(record_->outstandingIo, 1);
    }
}

TEST_F(RequestGateTest, UnhandledPlugAndPlayCodesPassDownUntouched) {
    lowerStatus_ = STATUS_NOT_SUPPORTED;
    lowerInformation_ = 0x1234;
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_ID), UCHAR(IRP_MN_QUERY_PNP_DEVICE_STATE), UCHAR(0x18),
                        UCHAR(0x20)}) {
        kstandin::IrpResult result = Send(IRP_MJ_PNP, minor);
        EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << int(minor);
        EXPECT_EQ(result.information, 0x1234u) << int(minor);
        EXPECT_EQ(Seen(IRP_MJ_PNP, minor), 1) << int(minor);
    }
    EXPECT_EQ(record_->deviceState, ULONG(NotStarted));
    EXPECT_EQ(record_->outstandingIo, 1);
}

kstandin::IrpResult QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* caps) {
    return kstandin::SendIrp(device, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                             [caps](PIRP irp, PIO_STACK_LOCATION stack) {
                                 irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
                                 stack->Parameters.DeviceCapabilities.Capabilities = caps;
                             });
}

TEST_F(RequestGateTest, CapabilityQueryAllowsSurpriseRemovalAndKeepsTheLowerAnswer) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps) - 1;
    caps.Version = 1;
    EXPECT_EQ(QueryCapabilities(device_, &caps).status, STATUS_UNSUCCESSFUL);
    caps.Size = sizeof(caps);
    caps.Version = 0;
    EXPECT_EQ(QueryCapabilities(device_, &caps).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Seen(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), 0);
    EXPECT_EQ(record_->capabilities.DeviceWake, 0);

    caps.Version = 1;
    EXPECT_EQ(QueryCapabilities(device_, &caps).status, STATUS_SUCCESS);
    EXPECT_EQ(Seen(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), 1);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(record_->capabilities.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(record_->capabilities.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(record_->capabilities.Size, sizeof(caps));

    // A lower failure is returned and leaves the kept capabilities alone.
    lowerStatus_ = STATUS_DEVICE_NOT_CONNECTED;
    record_->capabilities.DeviceWake = PowerDeviceD1;
    EXPECT_EQ(QueryCapabilities(device_, &caps).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(record_->capabilities.DeviceWake, PowerDeviceD1);
    EXPECT_EQ(record_->outstandingIo, 1);
}

TEST_F(RequestGateTest, StopQueryWaitsForRequestsInProgressAndCancelRestoresTheState) {
    auto acquire = Routine<LONG(DeviceRecord*)>("AcquireIoReference");
    auto release = Routine<LONG(DeviceRecord*)>("ReleaseIoReference");
    record_->deviceState = Working;
    record_->queueState = AllowRequests;
    ASSERT_EQ(acquire(record_), 2);  // a request in progress
    PDEVICE_OBJECT pdo = pdo_;
    std::future<NTSTATUS> query = std::async(std::launch::async, [pdo] {
        return kstandin::SendIrp(kstandin::TopOfStack(pdo), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE)
            .status;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(query.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_EQ(ReadLocked(&record_->stateLock, &record_->deviceState), ULONG(PendingStop));
    EXPECT_EQ(ReadLocked(&record_->stateLock, &record_->queueState), ULONG(HoldRequests));
    EXPECT_EQ(Seen(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), 0);
    EXPECT_EQ(Send(IRP_MJ_READ).status, STATUS_INVALID_DEVICE_STATE);

    release(record_);
    ASSERT_EQ(query.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(query.get(), STATUS_SUCCESS);
    EXPECT_EQ(Seen(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), 1);

    EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(record_->deviceState, ULONG(Working));
    EXPECT_EQ(record_->previousState, ULONG(Working));
    EXPECT_EQ(record_->queueState, ULONG(AllowRequests));

    // A cancel that finds no pending stop changes nothing and still goes down.
    EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(record_->deviceState, ULONG(Working));
    EXPECT_EQ(Seen(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE), 2);
    EXPECT_EQ(record_->outstandingIo, 1);
}

TEST_F(RequestGateTest, FailedCancelRemoveLeavesThePendingRemoval) {
    record_->deviceState = Working;
    EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(record_->deviceState, ULONG(PendingRemove));
    // The lower driver breaks the rule that a cancel never fails (the verifier says so); the
    // driver passes its status on and stays pending removal.
    lowerStatus_ = STATUS_UNSUCCESSFUL;
    NTSTATUS cancelStatus = STATUS_PENDING;
    auto findings = CaptureFindings(
        [&] { cancelStatus = Send(IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE).status; });
    EXPECT_EQ(cancelStatus, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(HasRule(findings, kstandin::verifier::Rule::RequestMustNotFail));
    EXPECT_EQ(record_->deviceState, ULONG(PendingRemove));
    lowerStatus_ = STATUS_SUCCESS;
    EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(record_->deviceState, ULONG(Working));
    EXPECT_EQ(record_->outstandingIo, 1);
}

TEST_F(RequestGateTest, SurpriseRemovalFailsRequestsAndTheRemovalStillTearsDown) {
    record_->deviceState = Working;
    EXPECT_EQ(Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(record_->deviceState, ULONG(SurpriseRemoved));
    EXPECT_EQ(record_->previousState, ULONG(Working));
    EXPECT_EQ(record_->queueState, ULONG(FailRequests));
    EXPECT_EQ(Send(IRP_MJ_CREATE).status, STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(kstandin::DeviceInterfaces().size(), 1u);
    EXPECT_FALSE(kstandin::DeviceInterfaces()[0].enabled);

    EXPECT_EQ(kstandin::pnp::Remove(pdo_), STATUS_SUCCESS);
    EXPECT_FALSE(kstandin::DeviceNameExists(u"\\Device\\trelvousb0"));
    EXPECT_EQ(Seen(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1);
    kstandin::DeleteTestPdo(pdo_);
    pdo_ = nullptr;
}

}  // namespace
}  // namespace kestrune_test
