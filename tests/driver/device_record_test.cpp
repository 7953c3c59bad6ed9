// I/O references with their two events, the removal's wait for them, and the pending queue.
#include "driver_test_support.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace kestrune_test {
namespace {

using Counter = LONG(DeviceRecord*);


NTSTATUS Poll(KEVENT* event, LONGLONG timeout100ns = 0) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -timeout100ns;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

class DeviceRecordTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadDriver();
        device_ = AddDevice(&pdo_);
        ASSERT_NE(device_, nullptr);
        record_ = RecordOf(device_);
        acquire_ = Routine<Counter>("AcquireIoReference");
        release_ = Routine<Counter>("ReleaseIoReference");
    }
    void TearDown() override {
        if (pdo_ != nullptr) {
            RemoveDevice(pdo_);
        }
        DriverTest::TearDown();
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    DeviceRecord* record_ = nullptr;
    Counter* acquire_ = nullptr;
    Counter* release_ = nullptr;
};

TEST_F(DeviceRecordTest, AFreshRecordIsIdle) {
    EXPECT_EQ(record_->outstandingIo, 1);
    // The stop event is signalled: a wait returns at once and, being auto-reset, consumes it.
    EXPECT_EQ(Poll(&record_->stopEvent), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&record_->stopEvent), 0);
    EXPECT_EQ(Poll(&record_->removeEvent, 200000), STATUS_TIMEOUT);
}

TEST_F(DeviceRecordTest, ReferencesMoveTheStopEvent) {
    EXPECT_EQ(acquire_(record_), 2);
    EXPECT_EQ(KeReadStateEvent(&record_->stopEvent), 0);
    EXPECT_EQ(release_(record_), 1);
    EXPECT_NE(KeReadStateEvent(&record_->stopEvent), 0);

    EXPECT_EQ(acquire_(record_), 2);
    EXPECT_EQ(acquire_(record_), 3);
    EXPECT_EQ(release_(record_), 2);
    EXPECT_EQ(record_->outstandingIo, 2);
    EXPECT_EQ(KeReadStateEvent(&record_->stopEvent), 0);
    EXPECT_EQ(release_(record_), 1);
    EXPECT_NE(KeReadStateEvent(&record_->stopEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&record_->removeEvent), 0);
}

TEST_F(DeviceRecordTest, ReferencesFromManyThreadsBalance) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 5000; ++i) {
                acquire_(record_);
                release_(record_);
            }
        });
    }
    // Completion routines release references at dispatch level.
    for (int i = 0; i < 200; ++i) {
        acquire_(record_);
        kstandin::RunAtDispatchLevel([this] { release_(record_); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(record_->outstandingIo, 1);
    EXPECT_NE(KeReadStateEvent(&record_->stopEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&record_->removeEvent), 0);
}

TEST_F(DeviceRecordTest, RemovalWaitsForTheLastRequestInProgress) {
    // A transfer still holds its reference when the removal comes.
    ASSERT_EQ(acquire_(record_), 2);
    PDEVICE_OBJECT pdo = pdo_;
    std::future<NTSTATUS> removal =
        std::async(std::launch::async, [pdo] { return kstandin::pnp::Remove(pdo); });

    // The removal has dropped its own and the device's reference and waits for the last one.
    for (int i = 0; i < 200 && ReadLocked(&record_->stateLock, &record_->deviceState) != Removed;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(removal.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_EQ(ReadLocked(&record_->stateLock, &record_->deviceState), ULONG(Removed));
    EXPECT_EQ(ReadLocked(&record_->ioCountLock, &record_->outstandingIo), 1);
    EXPECT_TRUE(kstandin::DeviceNameExists(u"\\Device\\trelvousb0"));

    // The transfer's completion releases it, at dispatch level as completion routines run.
    DeviceRecord* record = record_;
    Counter* release = release_;
    kstandin::RunAtDispatchLevel([record, release] { EXPECT_EQ(release(record), 0); });
    ASSERT_EQ(removal.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_FALSE(kstandin::DeviceNameExists(u"\\Device\\trelvousb0"));
    EXPECT_EQ(kstandin::TopOfStack(pdo_), pdo_);
    kstandin::DeleteTestPdo(pdo_);
    pdo_ = nullptr;
}

TEST_F(DeviceRecordTest, ThePendingQueueHoldsNothingInAnyQueueState) {
    auto process = Routine<VOID(DeviceRecord*)>("ProcessPendingQueue");
    for (ULONG state : {HoldRequests, AllowRequests, FailRequests}) {
        record_->queueState = state;
        process(record_);
        EXPECT_EQ(record_->queueState, state);
        EXPECT_TRUE(IsListEmpty(&record_->pendingQueue));
        EXPECT_EQ(record_->outstandingIo, 1);
    }
    record_->queueState = HoldRequests;
}

}  // namespace
}  // namespace kestrune_test
