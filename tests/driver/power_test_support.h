// A started instrument for the power and wake-up tests, and what its bus saw of power requests.
#pragma once

#include "driver_test_support.h"

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace kestrune_test {

class PowerTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadDriver();
    }
    void TearDown() override {
        if (instrument_ && instrument_->Pdo() != nullptr) {
            Remove();
        }
        DriverTest::TearDown();
    }

    // The power manager lets go of the device it sent a request to only after the requester's
    // completion function has run; wait for that before the device may be deleted. A held
    // wait-wake request stays outstanding, and so do `others` the test still has in flight.
    void Settle(unsigned others = 0) {
        EXPECT_TRUE(Eventually([this, others] {
            return kstandin::OutstandingIrps() <= others + (instrument_->WaitWakeHeld() ? 1u : 0u);
        }));
    }
    void Remove() {
        Settle();
        RemoveInstrument(*instrument_);
    }

    // Plugs in a bulk instrument, lets the PnP manager query its capabilities and starts it.
    void StartInstrument(bool remoteWakeup,
                         const std::function<void(DEVICE_CAPABILITIES&)>& capabilities = {}) {
        kstandin::usb::InstrumentSpec spec = kstandin::usb::BulkInstrument();
        if (remoteWakeup) {
            spec.configurationAttributes |= USB_CONFIG_REMOTE_WAKEUP;
        }
        if (capabilities) {
            DEVICE_CAPABILITIES table{};
            table.Size = sizeof(table);
            table.Version = 1;
            table.DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
                table.DeviceState[s] = PowerDeviceD3;
            }
            table.SystemWake = PowerSystemSleeping3;
            table.DeviceWake = PowerDeviceD2;
            capabilities(table);
            spec.capabilities = table;
        }
        instrument_ = std::make_unique<kstandin::usb::Instrument>(spec);
        device_ = AddInstrument(*instrument_);
        ASSERT_NE(device_, nullptr);
        record_ = RecordOf(device_);
        pdo_ = instrument_->Pdo();
        DEVICE_CAPABILITIES reported{};
        ASSERT_EQ(kstandin::pnp::QueryCapabilities(pdo_, &reported), STATUS_SUCCESS);
        ASSERT_EQ(kstandin::pnp::Start(pdo_), STATUS_SUCCESS);
        // The power manager sends the wait-wake request the start asked for from its own thread.
        kstandin::WaitUntilQuiet();
    }

    // Power requests that reached the bus, in order.
    std::vector<kstandin::usb::RequestRecord> PowerRequests() const {
        std::vector<kstandin::usb::RequestRecord> power;
        for (const auto& each : instrument_->Log()) {
            if (each.major == IRP_MJ_POWER) {
                power.push_back(each);
            }
        }
        return power;
    }
    size_t CountPower(UCHAR minor, ULONG type, ULONG state) const {
        size_t count = 0;
        for (const auto& each : PowerRequests()) {
            if (each.minor == minor && each.powerType == type && each.powerState == state) {
                ++count;
            }
        }
        return count;
    }
    size_t CountWaitWake() const {
        size_t count = 0;
        for (const auto& each : PowerRequests()) {
            count += each.minor == IRP_MN_WAIT_WAKE ? 1 : 0;
        }
        return count;
    }

    // The reference of a request is dropped just after its completion: wait for it briefly.
    bool Idle() {
        return Eventually([this] { return OutstandingIo() == 1; });
    }
    LONG OutstandingIo() { return ReadLocked(&record_->ioCountLock, &record_->outstandingIo); }
    ULONG QueueState() { return ReadLocked(&record_->stateLock, &record_->queueState); }
    LONG Interlocked(LONG* field) { return InterlockedCompareExchange(field, 0, 0); }

    // Polls until `done` holds or two seconds have passed.
    static bool Eventually(const std::function<bool()>& done) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::unique_ptr<kstandin::usb::Instrument> instrument_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    DeviceRecord* record_ = nullptr;
};

} // namespace kestrune_test
