// The wait-wake request: armed at start and before deeper system states, completed by the
// device's wake-up signal and re-armed, cancelled at stop, surprise removal and removal, and the
// hand-over between a cancel and a completion that meet.
#include "power_test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>

namespace kestrune_test {
namespace {

class WaitWakeTest : public PowerTest {
  protected:
    NTSTATUS Arm() { return Routine<NTSTATUS(DeviceRecord*)>("ArmWaitWake")(record_); }
    void Cancel() { Routine<VOID(DeviceRecord*)>("CancelWaitWake")(record_); }
    PIRP WaitWakeIrp() {
        return static_cast<PIRP>(InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile*>(&record_->waitWakeIrp), nullptr, nullptr));
    }
    bool Disarmed() {
        return Interlocked(&record_->waitWakeArmed) == 0 && WaitWakeIrp() == nullptr &&
               !instrument_->WaitWakeHeld();
    }
};

TEST_F(WaitWakeTest, OnlyADeviceWithRemoteWakeupIsArmedAtStart) {
    StartInstrument(true);
    EXPECT_TRUE(instrument_->WaitWakeHeld());
    EXPECT_EQ(record_->waitWakeArmed, 1);
    EXPECT_NE(WaitWakeIrp(), nullptr);
    ASSERT_EQ(CountWaitWake(), 1u);
    EXPECT_EQ(CountPower(IRP_MN_WAIT_WAKE, 0, PowerSystemSleeping3), 1u) << "at SystemWake";
    EXPECT_TRUE(Idle()) << "a waiting wake request holds no reference";
    // Armed already: nothing more is requested.
    EXPECT_EQ(Arm(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(CountWaitWake(), 1u);
    Remove();

    StartInstrument(false);
    EXPECT_FALSE(instrument_->WaitWakeHeld());
    EXPECT_EQ(record_->waitWakeArmed, 0);
    EXPECT_EQ(CountWaitWake(), 0u);
    Remove();

    // A wait-wake request that cannot be made does not fail the start.
    kstandin::FailNextPowerRequest(STATUS_NO_MEMORY);
    StartInstrument(true);
    EXPECT_EQ(record_->deviceState, static_cast<ULONG>(Working));
    EXPECT_TRUE(Disarmed());
}

// Occupies both dispatch-level threads until Release(), at most 5 s: what the bus queues for
// later waits meanwhile.
class DispatchLevelBlock {
  public:
    DispatchLevelBlock() {
        for (int i = 0; i < 2; ++i) {
            kstandin::QueueAtDispatchLevel([this] {
                ++running_;
                auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (!released_ && std::chrono::steady_clock::now() < deadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        }
        while (running_ < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~DispatchLevelBlock() { Release(); }
    void Release() { released_ = true; }

  private:
    std::atomic<int> running_{0};
    std::atomic<bool> released_{false};
};

// The bus ends a cancelled wait-wake request later, on a dispatch-level thread: stop, surprise
// removal and removal return only after it has finished, so that no completion routine of the
// driver runs for a device that is gone.
TEST_F(WaitWakeTest, ACancelEndedLaterByTheBusIsAwaitedBeforeTheDeviceGoes) {
    kstandin::SetLowerCompletion(kstandin::LowerCompletion::Later);
    for (UCHAR minor : {IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}) {
        SCOPED_TRACE(static_cast<int>(minor));
        StartInstrument(true);
        ASSERT_TRUE(instrument_->WaitWakeHeld());
        auto block = std::make_unique<DispatchLevelBlock>();
        PDEVICE_OBJECT top = kstandin::TopOfStack(pdo_);
        auto request = std::async(
            std::launch::async, [top, minor] { return kstandin::SendIrp(top, IRP_MJ_PNP, minor); });
        EXPECT_EQ(request.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
            << "returned while the cancelled wait-wake request was still with the bus";
        block->Release();
        ASSERT_EQ(request.wait_for(std::chrono::seconds(5)), std::future_status::ready)
            << "the PnP request never finished";
        EXPECT_EQ(request.get().status, STATUS_SUCCESS);
        kstandin::WaitForDispatchQueue();
        if (minor == IRP_MN_REMOVE_DEVICE) {
            instrument_->DeletePdo();
            instrument_.reset();
        } else {
            Remove();
        }
    }
}

TEST_F(WaitWakeTest, ASystemQueryForSleepArmsAnUnarmedWorkingDevice) {
    kstandin::FailNextPowerRequest(STATUS_NO_MEMORY);
    StartInstrument(true);
    ASSERT_EQ(CountWaitWake(), 0u);
    EXPECT_EQ(kstandin::power::QuerySystemPower(pdo_, PowerSystemSleeping3), STATUS_SUCCESS);
    kstandin::WaitUntilQuiet(); // the power manager sends the wait-wake from its own thread
    EXPECT_TRUE(instrument_->WaitWakeHeld());
    EXPECT_EQ(CountWaitWake(), 1u);
    // The wait-wake request was asked for before the query went down; the power manager may
    // deliver it before or after the query.
    std::vector<kstandin::usb::RequestRecord> power = PowerRequests();
    ASSERT_GE(power.size(), 2u);
    EXPECT_EQ(std::count_if(power.begin(), power.end(),
                            [](const auto& each) { return each.minor == IRP_MN_QUERY_POWER; }),
              2);
    EXPECT_EQ(kstandin::power::QuerySystemPower(pdo_, PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(CountWaitWake(), 1u);
    EXPECT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);

    // A stopped device is not armed: the next start would lose track of the request.
    ASSERT_EQ(kstandin::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::pnp::Stop(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(Disarmed());
    EXPECT_EQ(kstandin::power::QuerySystemPower(pdo_, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_FALSE(instrument_->WaitWakeHeld());
    EXPECT_EQ(CountWaitWake(), 1u);
    ASSERT_TRUE(NT_SUCCESS(kstandin::pnp::Start(pdo_)));
    kstandin::WaitUntilQuiet();
    EXPECT_EQ(CountWaitWake(), 2u);
    EXPECT_EQ(instrument_->PendingRequests(), 1u);
}

TEST_F(WaitWakeTest, AWakeSignalBringsASleepingDeviceToD0AndArmsAgain) {
    StartInstrument(true);
    ASSERT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2));
    ASSERT_TRUE(instrument_->SignalWakeup());
    ASSERT_TRUE(Eventually([this] {
        return __atomic_load_n(&record_->devicePower, __ATOMIC_SEQ_CST) == PowerDeviceD0;
    }));
    kstandin::WaitUntilQuiet(); // the re-armed request comes from the power manager's thread
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), 1u);
    EXPECT_EQ(QueueState(), static_cast<ULONG>(AllowRequests));
    EXPECT_TRUE(instrument_->WaitWakeHeld());
    EXPECT_EQ(CountWaitWake(), 2u);
    EXPECT_EQ(Interlocked(&record_->waitWakeArmed), 1);
    ASSERT_TRUE(Idle());

    // In D0 a wake signal neither requests power nor arms again.
    ASSERT_TRUE(instrument_->SignalWakeup());
    kstandin::WaitUntilQuiet();
    EXPECT_TRUE(Disarmed());
    EXPECT_EQ(CountWaitWake(), 2u);
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), 1u);
    // Nothing outstanding: the cancel does nothing.
    Cancel();
    EXPECT_TRUE(Disarmed());
    EXPECT_EQ(Interlocked(&record_->waitWakeCancelFlag), 0);
    EXPECT_TRUE(Idle());
}

TEST_F(WaitWakeTest, StopSurpriseRemovalAndRemovalCancelTheRequest) {
    StartInstrument(true);
    ASSERT_EQ(kstandin::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::pnp::Stop(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(Disarmed());
    EXPECT_EQ(Interlocked(&record_->waitWakeCancelFlag), 1) << "the cancel took the request";
    ASSERT_TRUE(NT_SUCCESS(kstandin::pnp::Start(pdo_)));
    kstandin::WaitUntilQuiet();
    EXPECT_TRUE(instrument_->WaitWakeHeld());

    EXPECT_EQ(kstandin::pnp::SurpriseRemove(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(Disarmed());
    Remove();

    // A removal without surprise cancels before it waits for the last reference.
    StartInstrument(true);
    ASSERT_TRUE(instrument_->WaitWakeHeld());
    auto acquire = Routine<LONG(DeviceRecord*)>("AcquireIoReference");
    auto release = Routine<LONG(DeviceRecord*)>("ReleaseIoReference");
    acquire(record_);
    Settle();
    std::thread removal([this] { EXPECT_EQ(kstandin::pnp::Remove(pdo_), STATUS_SUCCESS); });
    ASSERT_TRUE(Eventually(
        [this] { return ReadLocked(&record_->stateLock, &record_->deviceState) == Removed; }));
    EXPECT_TRUE(Disarmed());
    Settle(1); // the removal
    release(record_);
    removal.join();
    instrument_->DeletePdo();
}

// Both orders of the hand-over, made deterministic by doing the canceller's first exchange from
// the test: whichever of cancel and completion comes second completes the request, as cancelled.
TEST_F(WaitWakeTest, TheSecondOfCancelAndCompletionFinishesTheRequestAsCancelled) {
    StartInstrument(true);
    ASSERT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    PVOID volatile* slot = reinterpret_cast<PVOID volatile*>(&record_->waitWakeIrp);

    // The canceller has taken the request and made its flag exchange when the wake-up signal
    // completes it: the completion routine finishes it, and the wake-up is not acted on.
    ASSERT_NE(InterlockedExchangePointer(slot, nullptr), nullptr);
    ASSERT_EQ(InterlockedExchange(&record_->waitWakeCancelFlag, 1), 0);
    ASSERT_TRUE(instrument_->SignalWakeup());
    kstandin::WaitUntilQuiet();
    EXPECT_TRUE(Disarmed());
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2));
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), 0u);
    EXPECT_EQ(CountWaitWake(), 1u);

    // The completion routine runs first and holds the request; the canceller then finishes it.
    ASSERT_EQ(Arm(), STATUS_PENDING);
    kstandin::WaitUntilQuiet(); // until the power manager has delivered it
    PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(slot, nullptr));
    ASSERT_NE(irp, nullptr);
    ASSERT_TRUE(instrument_->SignalWakeup());
    kstandin::WaitUntilQuiet();
    EXPECT_EQ(Interlocked(&record_->waitWakeArmed), 1) << "held by the completion routine";
    EXPECT_EQ(Interlocked(&record_->waitWakeCancelFlag), 1);
    InterlockedExchangePointer(slot, irp);
    Cancel();
    EXPECT_TRUE(Disarmed());
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2));
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), 0u);
    EXPECT_TRUE(Idle());
}

// Cancel and wake-up meet: whichever comes second completes the request, exactly once (the
// verifier fails the test otherwise), and a request the cancel took ends cancelled, so a
// sleeping device is neither powered up nor armed again behind the canceller's back.
TEST_F(WaitWakeTest, CancelAndWakeupRaceHandsTheRequestOverOnce) {
    StartInstrument(true);
    int cancelled = 0;
    int woken = 0;
    int delayUs = 0;
    for (int round = 0; round < 300; ++round) {
        ASSERT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
        kstandin::WaitUntilQuiet();
        if (!instrument_->WaitWakeHeld()) {
            ASSERT_EQ(Arm(), STATUS_PENDING) << "round " << round;
            kstandin::WaitUntilQuiet();
        }
        ASSERT_TRUE(instrument_->WaitWakeHeld());
        size_t powerUps = CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
        size_t arms = CountWaitWake();
        // Both sides start together; the cancel's delay follows the outcomes so that the rounds
        // hover around the moment where either side may win.
        std::atomic<bool> go{false};
        std::thread wake([this, &go] {
            while (!go.load()) {
            }
            instrument_->SignalWakeup();
        });
        go.store(true);
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delayUs);
        while (std::chrono::steady_clock::now() < until) {
        }
        Cancel();
        wake.join();
        kstandin::WaitUntilQuiet(); // a power-up the wake-up asked for comes from its own thread
        if (CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0) == powerUps) {
            // The cancel took the request.
            ++cancelled;
            delayUs = std::min(delayUs + 10, 5000);
            ASSERT_TRUE(Disarmed()) << "round " << round;
            ASSERT_EQ(Interlocked(&record_->waitWakeCancelFlag), 1);
            ASSERT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2));
            ASSERT_EQ(CountWaitWake(), arms) << "round " << round;
        } else {
            // The wake-up took it: D0 was requested and the next request armed, which the
            // cancel may have taken in turn.
            ++woken;
            delayUs = std::max(delayUs - 25, 0);
            ASSERT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD0));
            ASSERT_EQ(CountWaitWake(), arms + 1) << "round " << round;
            Cancel();
            ASSERT_TRUE(Disarmed()) << "round " << round;
        }
        ASSERT_TRUE(Idle());
        ASSERT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    }
    EXPECT_EQ(cancelled + woken, 300);
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(woken, 0);
    std::printf("cancel took the request %d times, the wake-up %d times\n", cancelled, woken);
}

} // namespace
} // namespace kestrune_test
