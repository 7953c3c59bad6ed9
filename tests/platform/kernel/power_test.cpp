// The power manager: PoRequestPowerIrp to the top of the stack with its completion function,
// PoStartNextPowerIrp accounting, PoSetPowerState records, and wait-wake held by the bus.
#include "test_stack.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

using namespace kstandin;
using namespace kstandin::testing;

namespace {

struct Done {
    std::atomic<bool> called{false};
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
    KEVENT event;
};

VOID NTAPI RecordDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                      PIO_STATUS_BLOCK ioStatus) {
    auto done = static_cast<Done*>(context);
    done->device = device;
    done->minor = minor;
    done->state = state;
    done->status = ioStatus->Status;
    done->called = true;
    KeSetEvent(&done->event, IO_NO_INCREMENT, FALSE);
}

// Waits at most 5 s for the completion function.
bool WaitDone(Done& done) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -50000000;
    return KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
}

// Waits at most 5 s until the bus has made the held request cancellable: it logs a request as
// seen before its dispatch routine sets the cancel routine.
bool Cancellable(PIRP irp) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) == nullptr) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits at most 5 s until the PDO has seen `count` requests of the minor function.
bool PdoHasSeen(PDEVICE_OBJECT pdo, UCHAR minor, size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        size_t seen = 0;
        for (auto [major, each] : PdoRequests(pdo))
            seen += major == IRP_MJ_POWER && each == minor;
        if (seen >= count)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class PowerTest : public StackTest {};

TEST_F(PowerTest, RequestedPowerIrpGoesToTheTopAndCallsTheCompletionFunction) {
    std::vector<UCHAR> seenByFunctionDriver;
    SetHandler([&](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        seenByFunctionDriver.push_back(location->MinorFunction);
        if (location->MajorFunction == IRP_MJ_POWER &&
            location->MinorFunction == IRP_MN_SET_POWER &&
            location->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(device, DevicePowerState, location->Parameters.Power.State);
        }
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    });
    Done done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, RecordDone, &done, nullptr),
              STATUS_PENDING);
    ASSERT_TRUE(WaitDone(done)) << "the requested power request never finished";
    EXPECT_EQ(seenByFunctionDriver, std::vector<UCHAR>{IRP_MN_SET_POWER});
    EXPECT_EQ(done.device, pdo)
        << "the completion function gets the device the request was made for";
    EXPECT_EQ(done.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(done.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(ReportedDevicePowerState(fdo), ULONG(PowerDeviceD3));
    EXPECT_EQ(fdo->ReferenceCount, 0) << "the power manager drops its reference on the top device";
    EXPECT_EQ(power::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(ReportedDevicePowerState(fdo), ULONG(PowerDeviceD0));

    FailNextPowerRequest(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, RecordDone, &done, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER + 7, d3, RecordDone, &done, nullptr),
              STATUS_INVALID_PARAMETER_2);
}

TEST_F(PowerTest, WaitWakeIsHeldUntilWakeOrCancel) {
    SetHandler([&](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    });
    Done done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    PIRP waitWake = nullptr;
    PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, s3, RecordDone, &done, &waitWake);
    ASSERT_NE(waitWake, nullptr);
    EXPECT_FALSE(done.called);
    EXPECT_EQ(OutstandingIrps(), 1u);
    ASSERT_TRUE(PdoHasSeen(pdo, IRP_MN_WAIT_WAKE, 1)) << "the wait-wake request never arrived";
    ASSERT_TRUE(Cancellable(waitWake)) << "the bus never set a cancel routine on the wait-wake request";
    EXPECT_TRUE(IoCancelIrp(waitWake));
    ASSERT_TRUE(WaitDone(done)) << "the cancelled wait-wake request never finished";
    EXPECT_EQ(done.status, STATUS_CANCELLED);

    KeClearEvent(&done.event);
    PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, s3, RecordDone, &done, &waitWake);
    ASSERT_TRUE(PdoHasSeen(pdo, IRP_MN_WAIT_WAKE, 2)) << "the wait-wake request never arrived";
    EXPECT_TRUE(CompleteWaitWake(pdo));
    ASSERT_TRUE(WaitDone(done)) << "the wait-wake request never finished";
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(OutstandingIrps(), 0u);
    EXPECT_FALSE(CompleteWaitWake(pdo));
}

// Power requests arrive as Windows sends them: never inside PoRequestPowerIrp, at PASSIVE_LEVEL to
// a pageable stack, and possibly at DISPATCH_LEVEL to a non-pageable one; system requests too.
TEST_F(PowerTest, PowerRequestsArriveFromThePowerManagersThreadsAtTheStacksLevel) {
    std::mutex mutex;
    std::set<KIRQL> levels;
    std::set<std::thread::id> threads;
    SetHandler([&](PDEVICE_OBJECT, PIRP irp) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            levels.insert(KeGetCurrentIrql());
            if (IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type == DevicePowerState)
                threads.insert(std::this_thread::get_id());
        }
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    });
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    auto requestMany = [&] {
        for (int i = 0; i < 16; ++i) {
            Done done;
            KeInitializeEvent(&done.event, NotificationEvent, FALSE);
            PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d0, RecordDone, &done, nullptr);
            ASSERT_TRUE(WaitDone(done)) << "a requested power request never finished";
            EXPECT_EQ(power::SetSystemPower(pdo, PowerSystemWorking), STATUS_SUCCESS);
        }
    };
    SetLowerCompletion(LowerCompletion::Random);
    requestMany();
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u) << "a device request inside the call";
    EXPECT_EQ(levels, (std::set<KIRQL>{PASSIVE_LEVEL, DISPATCH_LEVEL}))
        << "random start " << RandomStart();

    // A pageable stack gets them at PASSIVE_LEVEL only.
    fdo->Flags |= DO_POWER_PAGABLE;
    levels.clear();
    requestMany();
    EXPECT_EQ(levels, (std::set<KIRQL>{PASSIVE_LEVEL}));
}

TEST_F(PowerTest, SystemRequestsAndPlugAndPlayRequestsReachTheStack) {
    std::vector<std::pair<UCHAR, UCHAR>> seen;
    SetHandler([&](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        seen.emplace_back(location->MajorFunction, location->MinorFunction);
        if (location->MajorFunction == IRP_MJ_POWER)
            PoStartNextPowerIrp(irp);
        return PassDown(device, irp);
    });
    EXPECT_EQ(power::QuerySystemPower(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(pnp::Start(pdo), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(pnp::QueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ((std::vector<std::pair<UCHAR, UCHAR>>{{IRP_MJ_POWER, IRP_MN_QUERY_POWER},
                                                    {IRP_MJ_PNP, IRP_MN_START_DEVICE},
                                                    {IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES}}),
              seen);
    EXPECT_EQ(PdoRequests(pdo), seen) << "everything passed down reached the bus";
}

} // namespace
