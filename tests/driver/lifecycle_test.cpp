// Where Plug and Play, power and applications meet: references taken before the gate, bounded
// drains, requests held while the device is out of D0, the serial-number cache, and what the
// driver hands the USB stack and takes from DriverEntry.
#include "power_test_support.h"
#include "transfer_support.h"

#include "kestrune_ioctl.h"

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace kestrune_test {
namespace {

// Stops the threads that mark themselves (pauseHere) at the first acquisition of one spin lock
// until the test lets them go.
thread_local bool pauseHere = false;

class LockGate {
  public:
    explicit LockGate(PKSPIN_LOCK lock) {
        kstandin::SetSpinLockAcquireHook([this, lock](PKSPIN_LOCK taken) {
            if (taken != lock || !pauseHere) {
                return;
            }
            pauseHere = false;
            std::unique_lock<std::mutex> guard(mutex_);
            reached_ = true;
            changed_.notify_all();
            changed_.wait(guard, [this] { return open_; });
        });
    }
    ~LockGate() {
        Open();
        kstandin::SetSpinLockAcquireHook({});
    }
    bool WaitReached() {
        std::unique_lock<std::mutex> guard(mutex_);
        return changed_.wait_for(guard, 2s, [this] { return reached_; });
    }
    void Open() {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool reached_ = false;
    bool open_ = false;
};

constexpr auto kDrain = std::chrono::milliseconds(kDrainTimeoutMs);

// Polls until `done` holds or two seconds have passed.
bool Eventually(const std::function<bool()>& done) {
    auto until = std::chrono::steady_clock::now() + 2s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class LifecycleTest : public StartedDeviceTest {
  protected:
    ULONG QueueState() { return ReadLocked(&record_->stateLock, &record_->queueState); }
    ULONG DeviceState() { return ReadLocked(&record_->stateLock, &record_->deviceState); }

    // Device power requests that reached the bus for `state`.
    size_t DevicePowerSets(DEVICE_POWER_STATE state) {
        size_t count = 0;
        for (const auto& each : instrument_->Log()) {
            count += each.major == IRP_MJ_POWER && each.minor == IRP_MN_SET_POWER &&
                             each.powerType == DevicePowerState && each.powerState == state
                         ? 1
                         : 0;
        }
        return count;
    }

    // Puts the system to sleep in S3 (the device in D2) and waits for the whole transition.
    void Sleep() {
        ASSERT_EQ(kstandin::power::SetSystemPower(instrument_->Pdo(), PowerSystemSleeping3),
                  STATUS_SUCCESS);
        kstandin::WaitUntilQuiet();
        ASSERT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2));
    }
    void Wake() {
        ASSERT_EQ(kstandin::power::SetSystemPower(instrument_->Pdo(), PowerSystemWorking),
                  STATUS_SUCCESS);
        kstandin::WaitUntilQuiet();
        ASSERT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD0));
    }

    void SetUp() override {
        StartedDeviceTest::SetUp();
        // The capabilities the PnP manager asks for before the start: S3 maps to D2.
        DEVICE_CAPABILITIES reported{};
        ASSERT_EQ(kstandin::pnp::QueryCapabilities(instrument_->Pdo(), &reported), STATUS_SUCCESS);
    }
};

// A create that has passed the gate holds its reference while it works on the pipe table, so a
// stop query agreed to meanwhile cannot let the stop free the table under it.
TEST_F(LifecycleTest, AStopQueryWaitsForACreateThatPassedTheGate) {
    LockGate gate(&record_->queueLock);
    std::future<kstandin::OpenResult> open = std::async(std::launch::async, [this] {
        pauseHere = true;
        return kstandin::OpenFile(kstandin::ToU16(record_->interfaceName) + u"\\0");
    });
    ASSERT_TRUE(gate.WaitReached()) << "the create never reached the pipe count";
    std::future<NTSTATUS> query = std::async(std::launch::async, [this] {
        return kstandin::pnp::QueryStop(instrument_->Pdo());
    });
    EXPECT_EQ(query.wait_for(200ms), std::future_status::timeout)
        << "the stop query was agreed to while a create was inside the driver";
    gate.Open();
    ASSERT_EQ(open.wait_for(2s), std::future_status::ready) << "the create never ended";
    kstandin::OpenResult opened = open.get();
    EXPECT_EQ(opened.status, STATUS_SUCCESS);
    ASSERT_EQ(query.wait_for(2s), std::future_status::ready) << "the stop query never ended";
    EXPECT_EQ(query.get(), STATUS_SUCCESS);
    EXPECT_EQ(kstandin::pnp::CancelStop(instrument_->Pdo()), STATUS_SUCCESS);
    if (opened.file != nullptr) {
        kstandin::CloseFile(opened.file);
    }
    ExpectIdle();
}

// A read that waits for data an instrument never sends keeps neither a stop or remove query nor
// a sleep waiting for ever: the queries are refused once the drain time has passed, and the
// device goes on as after a cancelled query; the power-down aborts the read, which ends as a
// cancelled read with the bytes that had come, and the system sleeps.
TEST_F(LifecycleTest, ARequestThatNeverEndsBoundsTheQueriesAndTheSleep) {
    PFILE_OBJECT in = OpenPipe(u"\\0");
    std::vector<UCHAR> buffer(100);
    auto read = kstandin::StartRead(in, buffer.data(), static_cast<ULONG>(buffer.size()));
    instrument_->QueueIn(kInEndpoint, Pattern(10));
    ASSERT_TRUE(Eventually([this] { return Buffered() == 10; }))
        << "the first 10 bytes never reached the buffer";

    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
        SCOPED_TRACE("minor " + std::to_string(minor));
        auto started = std::chrono::steady_clock::now();
        std::future<kstandin::IrpResult> query = std::async(std::launch::async, [this, minor] {
            return kstandin::pnp::Send(instrument_->Pdo(), minor);
        });
        if (query.wait_for(kDrain + 3s) != std::future_status::ready) {
            read->Cancel();  // lets the query go on so that the test can end
            FAIL() << "the query never ended while a read waited for data";
        }
        EXPECT_EQ(query.get().status, STATUS_DEVICE_BUSY);
        EXPECT_GE(std::chrono::steady_clock::now() - started, kDrain - 100ms);
        EXPECT_EQ(DeviceState(), static_cast<ULONG>(Working));
        EXPECT_EQ(QueueState(), static_cast<ULONG>(AllowRequests));
        EXPECT_FALSE(read->Wait(0ms));
    }

    std::shared_ptr<kstandin::IoRequest> sleep =
        kstandin::power::StartSystemRequest(instrument_->Pdo(), IRP_MN_SET_POWER, PowerSystemSleeping3);
    if (!sleep->Wait(kDrain * 2 + 3s)) {
        read->Cancel();
        sleep->Wait(5s);
        FAIL() << "the sleep request never ended while a read waited for data";
    }
    EXPECT_EQ(sleep->Result().status, STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait(2s)) << "the aborted read never ended";
    EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
    ASSERT_EQ(read->Result().information, 10u);
    EXPECT_EQ(kstandin::usb::Bytes(buffer.begin(), buffer.begin() + 10), Pattern(10));
    kstandin::WaitUntilQuiet();
    EXPECT_EQ(record_->devicePower, static_cast<ULONG>(PowerDeviceD2));
    EXPECT_EQ(record_->abortingReads, 0);
    Wake();
    // The pipe still works after the wake-up.
    instrument_->QueueIn(kInEndpoint, Pattern(20, 2));
    std::vector<UCHAR> again(20);
    kstandin::IrpResult next = kstandin::Read(in, again.data(), 20);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(kstandin::usb::Bytes(again.begin(), again.end()), Pattern(20, 2));
    ExpectIdle();
}

// Reads, writes and control codes that arrive while the device is out of D0 wait, pending and
// cancellable, without holding the device busy; they go on at the wake-up. A held request of a
// closing handle ends at its cleanup, and one still held when the device goes away fails.
TEST_F(LifecycleTest, RequestsArrivingOutOfD0AreHeldUntilTheWakeUp) {
    PFILE_OBJECT out = OpenPipe(u"\\1");
    PFILE_OBJECT in = OpenPipe(u"\\0");
    PFILE_OBJECT device = OpenPipe(u"");
    Sleep();
    instrument_->ClearLog();

    kstandin::usb::Bytes data = Pattern(300, 3);
    auto write = kstandin::StartWrite(out, data.data(), static_cast<ULONG>(data.size()));
    char serial[64] = {};
    auto control = kstandin::StartDeviceControl(device, IOCTL_KESTRUNE_GET_SERIAL_NUMBER, nullptr,
                                                0, serial, sizeof(serial));
    std::vector<UCHAR> readBuffer(300);
    auto read = kstandin::StartRead(in, readBuffer.data(), 300);
    std::vector<UCHAR> cancelledBuffer(8);
    auto cancelled = kstandin::StartRead(in, cancelledBuffer.data(), 8);
    EXPECT_FALSE(write->Wait(100ms)) << "a write reached a device in D2";
    EXPECT_FALSE(control->Wait(0ms)) << "a control code reached a device in D2";
    EXPECT_FALSE(read->Wait(0ms));
    EXPECT_EQ(instrument_->Log().size(), 0u) << "a request reached the bus while the device was in D2";
    EXPECT_EQ(IoCount(), 1) << "held requests keep the device busy";
    ASSERT_TRUE(cancelled->Cancel());
    ASSERT_TRUE(cancelled->Wait(2s));
    EXPECT_EQ(cancelled->Result().status, STATUS_CANCELLED);

    instrument_->SetLoopback(kOutEndpoint, kInEndpoint);
    Wake();
    ASSERT_TRUE(write->Wait(2s)) << "the held write never went on";
    EXPECT_EQ(write->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(write->Result().information, data.size());
    ASSERT_TRUE(control->Wait(2s)) << "the held control code never went on";
    EXPECT_EQ(control->Result().status, STATUS_SUCCESS);
    EXPECT_STREQ(serial, "SN000123");
    ASSERT_TRUE(read->Wait(2s)) << "the held read never went on";
    EXPECT_EQ(read->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(kstandin::usb::Bytes(readBuffer.begin(), readBuffer.end()), data);

    // The cleanup of a handle ends its held requests; the device's going fails the others.
    Sleep();
    auto closing = kstandin::StartRead(in, readBuffer.data(), 4);
    auto left = kstandin::StartWrite(out, data.data(), 4);
    EXPECT_FALSE(closing->Wait(50ms));
    Close(in);
    ASSERT_TRUE(closing->Wait(2s)) << "the cleanup left a held read of its handle";
    EXPECT_EQ(closing->Result().status, STATUS_CANCELLED);
    EXPECT_FALSE(left->Wait(0ms));
    ASSERT_EQ(kstandin::pnp::SurpriseRemove(instrument_->Pdo()), STATUS_SUCCESS);
    ASSERT_TRUE(left->Wait(2s)) << "a held write outlived the surprise removal";
    EXPECT_EQ(left->Result().status, STATUS_INVALID_DEVICE_STATE);
}

// Reads queued behind the one with the turn, on an instrument that is unplugged and whose stack
// now fails every transfer inside the call: each failed read passes the turn to the next. That
// must not nest one read's completion inside the previous one's, or the kernel stack (a few
// pages) overflows with a long queue. The stack extent each thread reaches at its spin locks is
// measured.
TEST_F(LifecycleTest, FailingReadsPassTheTurnOnWithoutNesting) {
    PFILE_OBJECT in = OpenPipe(u"\\0");
    constexpr int kQueued = 300;
    std::vector<std::vector<UCHAR>> buffers(kQueued + 1, std::vector<UCHAR>(16));
    std::vector<std::shared_ptr<kstandin::IoRequest>> reads;
    for (auto& buffer : buffers) {
        reads.push_back(kstandin::StartRead(in, buffer.data(), 16));
    }
    ASSERT_TRUE(Eventually([this] { return BulkTransfers() == 1; })) << "the first read never went down";

    static std::atomic<uintptr_t> deepest{0};
    deepest = 0;
    kstandin::SetSpinLockAcquireHook([](PKSPIN_LOCK) {
        thread_local uintptr_t highest = 0;
        thread_local uintptr_t lowest = UINTPTR_MAX;
        char marker;
        auto here = reinterpret_cast<uintptr_t>(&marker);
        highest = std::max(highest, here);
        lowest = std::min(lowest, here);
        uintptr_t extent = highest - lowest;
        uintptr_t seen = deepest.load();
        while (extent > seen && !deepest.compare_exchange_weak(seen, extent)) {
        }
    });
    instrument_->SetCompleteAtOnce(true);
    instrument_->Unplug();
    for (auto& read : reads) {
        ASSERT_TRUE(read->Wait(5s)) << "a queued read never ended after the unplug";
        EXPECT_FALSE(NT_SUCCESS(read->Result().status));
    }
    kstandin::SetSpinLockAcquireHook({});
    EXPECT_LT(deepest.load(), 64u * 1024) << "the reads' completions nested " << deepest.load()
                                          << " bytes of stack deep";
}

// A serial-number read that fails after part of the descriptor came leaves no half descriptor to
// be handed out with success; the next query reads it again.
TEST_F(LifecycleTest, AFailedSerialNumberReadLeavesNothingCached) {
    PFILE_OBJECT device = OpenPipe(u"");
    instrument_->SetStringAnswer(kstandin::usb::ControlAnswer::FailAfterData);
    char serial[64] = {};
    kstandin::IrpResult failed =
        kstandin::DeviceControl(device, IOCTL_KESTRUNE_GET_SERIAL_NUMBER, nullptr, 0, serial, sizeof(serial));
    EXPECT_FALSE(NT_SUCCESS(failed.status)) << "handed out: " << serial;
    EXPECT_EQ(failed.information, 0u);
    instrument_->SetStringAnswer(kstandin::usb::ControlAnswer::Succeed);
    kstandin::IrpResult good =
        kstandin::DeviceControl(device, IOCTL_KESTRUNE_GET_SERIAL_NUMBER, nullptr, 0, serial, sizeof(serial));
    EXPECT_EQ(good.status, STATUS_SUCCESS);
    EXPECT_STREQ(serial, "SN000123");
}

// Serial-number queries on several threads at once, while the first read is still on the bus:
// each gets the whole text (under TSan, the cache's lock is checked too).
TEST_F(LifecycleTest, SerialNumberQueriesAtOnceEachGetTheWholeText) {
    instrument_->SetDelay(5ms);
    PFILE_OBJECT device = OpenPipe(u"");
    std::vector<std::future<std::string>> queries;
    for (int i = 0; i < 4; ++i) {
        queries.push_back(std::async(std::launch::async, [device] {
            std::string texts;
            for (int round = 0; round < 5; ++round) {
                char serial[64] = {};
                kstandin::IrpResult result = kstandin::DeviceControl(
                    device, IOCTL_KESTRUNE_GET_SERIAL_NUMBER, nullptr, 0, serial, sizeof(serial));
                texts += (result.status == STATUS_SUCCESS ? std::string(serial) : "failed") + ";";
            }
            return texts;
        }));
    }
    for (auto& query : queries) {
        EXPECT_EQ(query.get(), "SN000123;SN000123;SN000123;SN000123;SN000123;");
    }
}

// A wake signal whose completion is decided while a surprise removal begins: the removal either
// comes first, and then nothing asks the bus for D0, or waits for the D0 request asked for before
// it. Here the completion routine is stopped at its first lock until the removal has begun.
class WakeDuringRemovalTest : public PowerTest {};

TEST_F(WakeDuringRemovalTest, NoD0IsRequestedOnceTheSurpriseRemovalHasBegun) {
    StartInstrument(true);
    ASSERT_EQ(kstandin::power::SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    kstandin::WaitUntilQuiet();
    size_t d0Before = CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);

    std::mutex mutex;
    std::condition_variable changed;
    bool reached = false;
    bool open = false;
    std::thread::id testThread = std::this_thread::get_id();
    kstandin::SetSpinLockAcquireHook([&](PKSPIN_LOCK lock) {
        if ((lock != &record_->stateLock && lock != &record_->ioCountLock) ||
            std::this_thread::get_id() == testThread) {
            return;
        }
        std::unique_lock<std::mutex> guard(mutex);
        if (reached) {
            return;  // only the first: the wake signal's completion
        }
        reached = true;
        changed.notify_all();
        changed.wait(guard, [&] { return open; });
    });
    // The bus completes the wait-wake request on a dispatch-level thread and waits for it.
    std::future<bool> signal =
        std::async(std::launch::async, [this] { return instrument_->SignalWakeup(); });
    {
        std::unique_lock<std::mutex> guard(mutex);
        ASSERT_TRUE(changed.wait_for(guard, 2s, [&] { return reached; }))
            << "the wake signal's completion never reached the record";
    }
    std::future<NTSTATUS> removal =
        std::async(std::launch::async, [this] { return kstandin::pnp::SurpriseRemove(pdo_); });
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard<std::mutex> guard(mutex);
        open = true;
        changed.notify_all();
    }
    ASSERT_EQ(signal.wait_for(5s), std::future_status::ready) << "the wake signal never ended";
    EXPECT_TRUE(signal.get());
    ASSERT_EQ(removal.wait_for(5s), std::future_status::ready) << "the surprise removal never ended";
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    kstandin::SetSpinLockAcquireHook({});
    kstandin::WaitUntilQuiet();
    EXPECT_EQ(CountPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), d0Before)
        << "a D0 request was asked for after the surprise removal had begun";
    EXPECT_EQ(Interlocked(&record_->waitWakeArmed), 0);
}

} // namespace

// DriverEntry with a registry path of the longest length a UNICODE_STRING holds: the copy's
// terminator does not fit, and the length must not wrap round to a block too small for the copy.
TEST_F(DriverTest, TheLongestRegistryPathIsCopiedWhole) {
    std::u16string path(0xFFFE / 2, u'k');
    LoadDriver(path);
    auto* copy = Global<UNICODE_STRING>("registryPathCopy");
    ASSERT_NE(copy->Buffer, nullptr);
    EXPECT_EQ(copy->Length, 0xFFFE);
    EXPECT_GE(copy->MaximumLength, copy->Length);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(copy->Buffer), copy->Length / 2), path);
    driver_->Unload();
}

} // namespace kestrune_test
