// Events, waits, spin locks with the per-thread IRQL, work items, and the dispatch-level thread.
#include "test_stack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using namespace kstandin;
using namespace kstandin::testing;

namespace {

using Clock = std::chrono::steady_clock;

LARGE_INTEGER Relative(int milliseconds) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * milliseconds;
    return timeout;
}

class SyncTest : public KernelTest {};

TEST_F(SyncTest, SynchronizationEventsResetOnWaitNotificationEventsStaySet) {
    KEVENT sync, notification;
    KeInitializeEvent(&sync, SynchronizationEvent, TRUE);
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&sync), 0) << "a satisfied wait resets a synchronization event";
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    KeClearEvent(&notification);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST_F(SyncTest, RelativeTimeOutsExpireAndSetEventsWakeWaiters) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(50);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    timeout = Relative(5000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    setter.join();

    KEVENT other;
    KeInitializeEvent(&other, SynchronizationEvent, FALSE);
    PVOID objects[] = {&other, &event};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       nullptr),
              STATUS_WAIT_1);
    timeout = Relative(10);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout,
                                       nullptr),
              STATUS_TIMEOUT);
}

TEST_F(SyncTest, SpinLocksExcludeEachOtherAndRaiseTheIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0; // deliberately not atomic: the lock must protect it
    std::atomic<bool> irqlWrong{false};
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            if (old != PASSIVE_LEVEL || KeGetCurrentIrql() != DISPATCH_LEVEL)
                irqlWrong = true;
            long value = counter;
            if (i % 1000 == 0)
                std::this_thread::yield();
            counter = value + 1;
            KeReleaseSpinLock(&lock, old);
        }
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            irqlWrong = true;
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_FALSE(irqlWrong);

    // The cancel spin lock is not one of the driver's: holding it with one of them is no finding.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    IoReleaseCancelSpinLock(cancelIrql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SyncTest, WorkItemsRunOnAnotherThreadAtPassiveLevelWithTheDeviceReferenced) {
    PDEVICE_OBJECT pdo = CreateTestPdo();
    struct Context {
        std::thread::id thread;
        KIRQL irql = HIGH_LEVEL;
        LONG references = 0;
        KEVENT done;
    } context;
    KeInitializeEvent(&context.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(pdo);
    ASSERT_NE(item, nullptr);
    RunAtDispatchLevel([&] {
        IoQueueWorkItem(
            item,
            [](PDEVICE_OBJECT device, PVOID raw) {
                auto c = static_cast<Context*>(raw);
                c->thread = std::this_thread::get_id();
                c->irql = KeGetCurrentIrql();
                c->references = device->ReferenceCount;
                KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
            },
            DelayedWorkQueue, &context);
    });
    KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
    WaitForWorkItems();
    EXPECT_NE(context.thread, std::this_thread::get_id());
    EXPECT_EQ(context.irql, PASSIVE_LEVEL);
    EXPECT_EQ(context.references, 1);
    EXPECT_EQ(pdo->ReferenceCount, 0);
    IoFreeWorkItem(item);

    FailNextWorkItemAllocation();
    EXPECT_EQ(IoAllocateWorkItem(pdo), nullptr);
    DeleteTestPdo(pdo);
}

TEST_F(SyncTest, TwoDispatchLevelThreadsRunQueuedRoutinesAtOnce) {
    // Two routines that each wait for the other can only both finish on two processors.
    struct Pair {
        KEVENT first, second;
        std::atomic<int> finished{0};
        std::atomic<int> atDispatch{0};
    } pair;
    KeInitializeEvent(&pair.first, NotificationEvent, FALSE);
    KeInitializeEvent(&pair.second, NotificationEvent, FALSE);
    auto meet = [&pair](PKEVENT mine, PKEVENT other) {
        pair.atDispatch += KeGetCurrentIrql() == DISPATCH_LEVEL;
        KeSetEvent(mine, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER poll{};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (KeWaitForSingleObject(other, Executive, KernelMode, FALSE, &poll) !=
                   STATUS_SUCCESS &&
               std::chrono::steady_clock::now() < deadline) {
        }
        pair.finished += KeReadStateEvent(other) != 0;
    };
    QueueAtDispatchLevel([&] { meet(&pair.first, &pair.second); });
    QueueAtDispatchLevel([&] { meet(&pair.second, &pair.first); });
    WaitForDispatchQueue();
    EXPECT_EQ(pair.finished.load(), 2) << "the two routines never ran at the same time";
    EXPECT_EQ(pair.atDispatch.load(), 2);

    // Asked for from a dispatch-level thread itself, the routine runs in place.
    std::thread::id outer, inner;
    RunAtDispatchLevel([&] {
        outer = std::this_thread::get_id();
        RunAtDispatchLevel([&] { inner = std::this_thread::get_id(); });
        WaitForDispatchQueue();
    });
    EXPECT_EQ(inner, outer);
    EXPECT_NE(outer, std::this_thread::get_id());
}

TEST_F(SyncTest, LowerCompletionFollowsTheRandomStartOrTheTestsChoice) {
    SetLowerCompletion(LowerCompletion::AtOnce);
    EXPECT_FALSE(CompleteLater());
    SetLowerCompletion(LowerCompletion::Later);
    EXPECT_TRUE(CompleteLater());
    // Random: the same start gives the same choices, and both come up.
    ResetKernel();
    std::vector<bool> first, second;
    for (int i = 0; i < 64; ++i)
        first.push_back(CompleteLater());
    ResetKernel();
    for (int i = 0; i < 64; ++i)
        second.push_back(CompleteLater());
    EXPECT_EQ(first, second) << "random start " << RandomStart();
    EXPECT_NE(std::count(first.begin(), first.end(), true), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), false), 0);
}

} // namespace
