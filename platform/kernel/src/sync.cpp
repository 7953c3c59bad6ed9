// IRQL per thread, spin locks, events and waits, work items, and the dispatch-level thread.
#include "internal.h"

#include <chrono>
#include <cstdlib>
#include <list>
#include <random>
#include <sched.h>

using namespace kstandin;
using namespace kstandin::detail;
using Rule = verifier::Rule;

namespace {

struct HeldLock {
    PKSPIN_LOCK lock;
    bool driverLock;
};

thread_local KIRQL threadIrql = PASSIVE_LEVEL;
thread_local std::vector<HeldLock> heldLocks;
thread_local bool onDispatchThread = false;

KSPIN_LOCK cancelSpinLock = 0;

// The test's hook on spin-lock acquisitions: it runs in the acquiring thread, at that thread's
// IRQL and before the lock is taken, so a test can hold a routine at a chosen point.
std::mutex acquireHookMutex;
std::shared_ptr<const std::function<void(PKSPIN_LOCK)>> acquireHook;

void RunAcquireHook(PKSPIN_LOCK lock) {
    std::shared_ptr<const std::function<void(PKSPIN_LOCK)>> hook;
    {
        std::lock_guard<std::mutex> guard(acquireHookMutex);
        hook = acquireHook;
    }
    if (hook) {
        (*hook)(lock);
    }
}

std::string LockName(PKSPIN_LOCK lock) {
    return "spin lock at " + Hex(reinterpret_cast<uintptr_t>(lock));
}

// The order in which locks have been seen nested, across all threads: (outer, inner). Nesting
// is legal as long as every thread keeps one order; the first pair seen both ways is the
// deadlock waiting to happen on two processors.
std::mutex lockOrderMutex;
std::set<std::pair<PKSPIN_LOCK, PKSPIN_LOCK>> lockOrder;

void CheckLockOrder(PKSPIN_LOCK lock) {
    std::vector<PKSPIN_LOCK> inverted;
    {
        std::lock_guard<std::mutex> guard(lockOrderMutex);
        for (const HeldLock& held : heldLocks) {
            if (lockOrder.count({lock, held.lock}))
                inverted.push_back(held.lock);
            lockOrder.insert({held.lock, lock});
        }
    }
    for (PKSPIN_LOCK outer : inverted) {
        Report(Rule::LockOrderInversion, LockName(lock) + " acquired while " + LockName(outer) +
                                             " is held, and earlier the other way round");
    }
}

void AcquireRaw(PKSPIN_LOCK lock, bool driverLock) {
    for (const HeldLock& held : heldLocks) {
        if (held.lock == lock) {
            Report(Rule::SpinLockAcquiredRecursively,
                   LockName(lock) + " is already held by this thread");
            return; // taking it again would deadlock
        }
    }
    CheckLockOrder(lock);
    while (__atomic_exchange_n(lock, static_cast<KSPIN_LOCK>(1), __ATOMIC_ACQUIRE) != 0) {
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0)
            sched_yield();
    }
    heldLocks.push_back({lock, driverLock});
}

// Returns false when the lock was not held by this thread (nothing is released then).
bool ReleaseRaw(PKSPIN_LOCK lock) {
    for (size_t i = heldLocks.size(); i-- > 0;) {
        if (heldLocks[i].lock != lock)
            continue;
        if (i + 1 != heldLocks.size()) {
            Report(Rule::SpinLockReleasedOutOfOrder, LockName(lock) + " released before " +
                                                         LockName(heldLocks.back().lock) +
                                                         ", taken after it");
        }
        heldLocks.erase(heldLocks.begin() + static_cast<std::ptrdiff_t>(i));
        __atomic_store_n(lock, static_cast<KSPIN_LOCK>(0), __ATOMIC_RELEASE);
        return true;
    }
    Report(Rule::SpinLockNotHeld, LockName(lock) + " released by a thread that does not hold it");
    return false;
}

// --- dispatcher objects: one mutex and condition for all of them keeps the model simple.
std::mutex dispatcherMutex;
std::condition_variable dispatcherCondition;

LONG SignalState(PDISPATCHER_HEADER header) {
    return __atomic_load_n(&header->SignalState, __ATOMIC_ACQUIRE);
}
void SetSignalState(PDISPATCHER_HEADER header, LONG value) {
    __atomic_store_n(&header->SignalState, value, __ATOMIC_RELEASE);
}

using Clock = std::chrono::steady_clock;

// A KeWait time-out: negative is relative in 100 ns units, positive an absolute system time.
std::optional<Clock::time_point> Deadline(PLARGE_INTEGER timeout) {
    if (!timeout)
        return std::nullopt;
    LONGLONG value = timeout->QuadPart;
    if (value <= 0)
        return Clock::now() + std::chrono::nanoseconds(-value * 100);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LONGLONG remaining = value > now.QuadPart ? value - now.QuadPart : 0;
    return Clock::now() + std::chrono::nanoseconds(remaining * 100);
}

bool CheckWaitIrql(PLARGE_INTEGER timeout, const char* routine) {
    bool poll = timeout && timeout->QuadPart == 0;
    KIRQL irql = threadIrql;
    if ((irql > APC_LEVEL && !poll) || irql > DISPATCH_LEVEL) {
        Report(Rule::WaitAtRaisedIrql, std::string(routine) + " at IRQL " + std::to_string(irql) +
                                           (poll      ? " with a zero time-out"
                                            : timeout ? " with a time-out"
                                                      : " without a time-out"));
        return false;
    }
    return true;
}

bool TryConsume(PDISPATCHER_HEADER header) {
    if (SignalState(header) == 0)
        return false;
    if (header->Type == SynchronizationEvent)
        SetSignalState(header, 0);
    return true;
}

// --- work items
struct WorkItem {
    PDEVICE_OBJECT device = nullptr;
    enum class State { Idle, Queued, Running } state = State::Idle;
    bool freed = false;
};
std::mutex workMutex;
std::condition_variable workCondition;
std::map<PIO_WORKITEM, std::shared_ptr<WorkItem>> workItems;
std::list<std::thread> workThreads;
unsigned activeWork = 0;

// --- the dispatch-level threads: two processors, so that two routines can run at once
constexpr int kProcessors = 2;

class DispatchThread {
  public:
    ~DispatchThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        condition_.notify_all();
        for (std::thread& thread : threads_) {
            if (thread.joinable())
                thread.join();
        }
    }
    void Queue(std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (threads_.empty()) {
            for (int i = 0; i < kProcessors; ++i)
                threads_.emplace_back([this] { Run(); });
        }
        queue_.push_back(std::move(fn));
        condition_.notify_all();
    }
    bool Idle() {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.empty() && busy_ == 0;
    }
    void WaitIdle() {
        if (onDispatchThread) {
            return; // it cannot wait for itself
        }
        std::unique_lock<std::mutex> lock(mutex_);
        condition_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
    }

  private:
    void Run() {
        onDispatchThread = true;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            condition_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            std::function<void()> fn = std::move(queue_.front());
            queue_.pop_front();
            ++busy_;
            lock.unlock();
            threadIrql = DISPATCH_LEVEL;
            fn();
            if (threadIrql != DISPATCH_LEVEL || !heldLocks.empty()) {
                Report(Rule::IrqlChangedAcrossDispatch,
                       "a routine run at DISPATCH_LEVEL returned at IRQL " +
                           std::to_string(threadIrql) + " holding " +
                           std::to_string(heldLocks.size()) + " spin lock(s)");
                heldLocks.clear();
            }
            threadIrql = PASSIVE_LEVEL;
            lock.lock();
            --busy_;
            condition_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable condition_;
    std::deque<std::function<void()>> queue_;
    int busy_ = 0;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

// --- the choice between completing a request inside the call and completing it later
std::mutex choiceMutex;
std::mt19937_64 choices;
LowerCompletion lowerCompletion = LowerCompletion::Random;

uint64_t ComputeRandomStart() {
    if (const char* text = std::getenv("KSTANDIN_RANDOM_START")) {
        char* end = nullptr;
        unsigned long long value = std::strtoull(text, &end, 0);
        if (end != text)
            return value;
    }
    return (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}() ^
           static_cast<uint64_t>(Clock::now().time_since_epoch().count());
}

DispatchThread& Dpc() {
    static DispatchThread thread;
    return thread;
}

} // namespace

namespace kstandin::detail {
KIRQL CurrentIrql() {
    return threadIrql;
}
void SetIrql(KIRQL irql) {
    threadIrql = irql;
}
size_t HeldSpinLockCount() {
    return heldLocks.size();
}

bool HoldsCancelSpinLock() {
    for (const HeldLock& held : heldLocks) {
        if (held.lock == &cancelSpinLock)
            return true;
    }
    return false;
}

void ForgetLocksIn(const void* begin, size_t size) {
    auto inside = [&](PKSPIN_LOCK lock) {
        auto address = reinterpret_cast<const char*>(lock);
        auto start = static_cast<const char*>(begin);
        return address >= start && address < start + size;
    };
    std::lock_guard<std::mutex> guard(lockOrderMutex);
    for (auto it = lockOrder.begin(); it != lockOrder.end();) {
        if (inside(it->first) || inside(it->second)) {
            it = lockOrder.erase(it);
        } else {
            ++it;
        }
    }
}

void QueueAtPassiveLevel(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(workMutex);
    ++activeWork;
    workThreads.emplace_back([fn = std::move(fn)] {
        threadIrql = PASSIVE_LEVEL;
        fn();
        std::lock_guard<std::mutex> again(workMutex);
        --activeWork;
        workCondition.notify_all();
    });
}

void ResetThreads() {
    SetSpinLockAcquireHook({});
    WaitForDispatchQueue();
    WaitForWorkItems();
    {
        std::lock_guard<std::mutex> lock(choiceMutex);
        choices = std::mt19937_64(RandomStart());
        lowerCompletion = LowerCompletion::Random;
    }
    {
        std::lock_guard<std::mutex> guard(lockOrderMutex);
        lockOrder.clear();
    }
    std::lock_guard<std::mutex> lock(workMutex);
    for (auto it = workItems.begin(); it != workItems.end();) {
        if (it->second->freed) {
            it = workItems.erase(it);
        } else {
            ++it;
        }
    }
}
} // namespace kstandin::detail

namespace kstandin {
void SetSpinLockAcquireHook(std::function<void(PKSPIN_LOCK)> hook) {
    std::lock_guard<std::mutex> guard(acquireHookMutex);
    acquireHook = hook ? std::make_shared<const std::function<void(PKSPIN_LOCK)>>(std::move(hook))
                       : nullptr;
}

uint64_t RandomStart() {
    static const uint64_t start = ComputeRandomStart();
    return start;
}

void SetLowerCompletion(LowerCompletion mode) {
    std::lock_guard<std::mutex> lock(choiceMutex);
    lowerCompletion = mode;
}

bool CompleteLater() {
    std::lock_guard<std::mutex> lock(choiceMutex);
    switch (lowerCompletion) {
    case LowerCompletion::AtOnce:
        return false;
    case LowerCompletion::Later:
        return true;
    case LowerCompletion::Random:
        break;
    }
    return (choices() & 1) != 0;
}

void RunAtDispatchLevel(const std::function<void()>& fn) {
    if (onDispatchThread) { // already there: run in place rather than wait for itself
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        fn();
        KeLowerIrql(old);
        return;
    }
    std::mutex m;
    std::condition_variable c;
    bool done = false;
    Dpc().Queue([&] {
        fn();
        std::lock_guard<std::mutex> lock(m);
        done = true;
        c.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    c.wait(lock, [&] { return done; });
}

void QueueAtDispatchLevel(std::function<void()> fn) {
    Dpc().Queue(std::move(fn));
}
void WaitForDispatchQueue() {
    Dpc().WaitIdle();
}

bool DispatchQueueIdle();

void WaitUntilQuiet() {
    // Each kind of thread may hand work to the others: repeat until a round finds all idle.
    for (int round = 0; round < 100; ++round) {
        WaitForDispatchQueue();
        WaitForWorkItems();
        WaitForDeferredCloses();
        bool idle;
        {
            std::lock_guard<std::mutex> lock(workMutex);
            idle = activeWork == 0;
        }
        if (idle && DispatchQueueIdle())
            return;
    }
}

bool DispatchQueueIdle() {
    return Dpc().Idle();
}

void WaitForWorkItems() {
    std::list<std::thread> finished;
    {
        std::unique_lock<std::mutex> lock(workMutex);
        if (!workCondition.wait_for(lock, std::chrono::seconds(30),
                                    [] { return activeWork == 0; })) {
            lock.unlock();
            Report(Rule::WorkItemMisuse, "a work item routine is still running after 30 s");
            return;
        }
        finished.swap(workThreads);
    }
    for (std::thread& thread : finished)
        thread.join();
}
} // namespace kstandin

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return threadIrql;
}

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = threadIrql;
    if (NewIrql < old) {
        Report(Rule::InvalidParameter, "KeRaiseIrql to " + std::to_string(NewIrql) +
                                           " below the current IRQL " + std::to_string(old));
    }
    threadIrql = NewIrql;
    return old;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > threadIrql) {
        Report(Rule::InvalidParameter, "KeLowerIrql to " + std::to_string(NewIrql) +
                                           " above the current IRQL " + std::to_string(threadIrql));
    }
    threadIrql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    return KfRaiseIrql(DISPATCH_LEVEL);
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    CheckIrql(DISPATCH_LEVEL, "KeAcquireSpinLock");
    RunAcquireHook(SpinLock);
    KIRQL old = threadIrql;
    threadIrql = DISPATCH_LEVEL;
    AcquireRaw(SpinLock, true);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (threadIrql != DISPATCH_LEVEL) {
        Report(Rule::SpinLockReleasedAtWrongIrql, "KeReleaseSpinLock of " + LockName(SpinLock) +
                                                      " at IRQL " + std::to_string(threadIrql));
    }
    ReleaseRaw(SpinLock);
    if (NewIrql > DISPATCH_LEVEL) {
        Report(Rule::SpinLockReleasedAtWrongIrql,
               "KeReleaseSpinLock restoring IRQL " + std::to_string(NewIrql));
    }
    threadIrql = NewIrql;
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (threadIrql != DISPATCH_LEVEL) {
        Report(Rule::IrqlTooHigh, "KeAcquireSpinLockAtDpcLevel of " + LockName(SpinLock) +
                                      " at IRQL " + std::to_string(threadIrql) +
                                      " (must be DISPATCH_LEVEL)");
    }
    AcquireRaw(SpinLock, true);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (threadIrql != DISPATCH_LEVEL) {
        Report(Rule::SpinLockReleasedAtWrongIrql, "KeReleaseSpinLockFromDpcLevel of " +
                                                      LockName(SpinLock) + " at IRQL " +
                                                      std::to_string(threadIrql));
    }
    ReleaseRaw(SpinLock);
}

BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (__atomic_exchange_n(SpinLock, static_cast<KSPIN_LOCK>(1), __ATOMIC_ACQUIRE) != 0)
        return FALSE;
    heldLocks.push_back({SpinLock, true});
    return TRUE;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    CheckIrql(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
    *Irql = threadIrql;
    threadIrql = DISPATCH_LEVEL;
    AcquireRaw(&cancelSpinLock, false);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    if (threadIrql != DISPATCH_LEVEL) {
        Report(Rule::SpinLockReleasedAtWrongIrql,
               "IoReleaseCancelSpinLock at IRQL " + std::to_string(threadIrql));
    }
    ReleaseRaw(&cancelSpinLock);
    threadIrql = Irql;
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> lock(dispatcherMutex);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Signalling = 0;
    Event->Header.Reserved1 = 0;
    InitializeListHead(&Event->Header.WaitListHead);
    SetSignalState(&Event->Header, State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    CheckIrql(DISPATCH_LEVEL, "KeSetEvent");
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(dispatcherMutex);
        previous = SignalState(&Event->Header);
        SetSignalState(&Event->Header, 1);
    }
    dispatcherCondition.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    CheckIrql(DISPATCH_LEVEL, "KeClearEvent");
    std::lock_guard<std::mutex> lock(dispatcherMutex);
    SetSignalState(&Event->Header, 0);
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    CheckIrql(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> lock(dispatcherMutex);
    LONG previous = SignalState(&Event->Header);
    SetSignalState(&Event->Header, 0);
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    return SignalState(&Event->Header);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    CheckWaitIrql(Timeout, "KeWaitForSingleObject");
    auto header = static_cast<PDISPATCHER_HEADER>(Object);
    if (header->Type != NotificationEvent && header->Type != SynchronizationEvent) {
        Report(Rule::InvalidParameter,
               "KeWaitForSingleObject on an object that is not an initialised event");
        return STATUS_INVALID_PARAMETER;
    }
    std::optional<Clock::time_point> deadline = Deadline(Timeout);
    std::unique_lock<std::mutex> lock(dispatcherMutex);
    for (;;) {
        if (TryConsume(header))
            return STATUS_SUCCESS;
        if (deadline) {
            if (dispatcherCondition.wait_until(lock, *deadline) == std::cv_status::timeout) {
                return TryConsume(header) ? STATUS_SUCCESS : STATUS_TIMEOUT;
            }
        } else {
            dispatcherCondition.wait(lock);
        }
    }
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    CheckWaitIrql(Timeout, "KeWaitForMultipleObjects");
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)) {
        Report(Rule::InvalidParameter, "KeWaitForMultipleObjects with " + std::to_string(Count) +
                                           " objects and no wait block array for more than three");
        return STATUS_INVALID_PARAMETER;
    }
    std::optional<Clock::time_point> deadline = Deadline(Timeout);
    std::unique_lock<std::mutex> lock(dispatcherMutex);
    for (;;) {
        if (WaitType == WaitAny) {
            for (ULONG i = 0; i < Count; ++i) {
                if (TryConsume(static_cast<PDISPATCHER_HEADER>(Object[i])))
                    return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        } else {
            bool all = true;
            for (ULONG i = 0; i < Count; ++i)
                all = all && SignalState(static_cast<PDISPATCHER_HEADER>(Object[i])) != 0;
            if (all) {
                for (ULONG i = 0; i < Count; ++i)
                    TryConsume(static_cast<PDISPATCHER_HEADER>(Object[i]));
                return STATUS_SUCCESS;
            }
        }
        if (deadline) {
            if (dispatcherCondition.wait_until(lock, *deadline) == std::cv_status::timeout &&
                Clock::now() >= *deadline) {
                return STATUS_TIMEOUT;
            }
        } else {
            dispatcherCondition.wait(lock);
        }
    }
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    CheckIrql(APC_LEVEL, "KeDelayExecutionThread");
    std::optional<Clock::time_point> deadline = Deadline(Interval);
    if (deadline)
        std::this_thread::sleep_until(*deadline);
    return STATUS_SUCCESS;
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    CheckIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    {
        std::lock_guard<std::mutex> lock(K().mu);
        if (K().failNextWorkItemAllocation) {
            K().failNextWorkItemAllocation = false;
            return nullptr;
        }
    }
    auto item = std::make_shared<WorkItem>();
    item->device = DeviceObject;
    auto handle = reinterpret_cast<PIO_WORKITEM>(item.get());
    std::lock_guard<std::mutex> lock(workMutex);
    workItems[handle] = item;
    return handle;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeWorkItem");
    std::unique_lock<std::mutex> lock(workMutex);
    auto it = workItems.find(IoWorkItem);
    if (it == workItems.end() || it->second->freed) {
        lock.unlock();
        Report(Rule::WorkItemMisuse, "IoFreeWorkItem of an unknown or already freed work item");
        return;
    }
    if (it->second->state == WorkItem::State::Queued) {
        lock.unlock();
        Report(Rule::WorkItemMisuse,
               "IoFreeWorkItem of a work item that is queued and has not run yet");
        return;
    }
    it->second->freed = true;
    if (it->second->state == WorkItem::State::Idle)
        workItems.erase(it);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
    (void)QueueType;
    CheckIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    std::shared_ptr<WorkItem> item;
    {
        std::unique_lock<std::mutex> lock(workMutex);
        auto it = workItems.find(IoWorkItem);
        if (it == workItems.end() || it->second->freed) {
            lock.unlock();
            Report(Rule::WorkItemMisuse, "IoQueueWorkItem of an unknown or freed work item");
            return;
        }
        item = it->second;
        if (item->state == WorkItem::State::Queued) {
            lock.unlock();
            Report(Rule::WorkItemMisuse, "IoQueueWorkItem of a work item that is already queued");
            return;
        }
        item->state = WorkItem::State::Queued;
        ++activeWork;
    }
    PDEVICE_OBJECT device = item->device;
    ObfReferenceObject(device); // the device stays while the routine is queued or running
    {
        std::lock_guard<std::mutex> lock(K().mu);
        if (DeviceInfo* info = FindDeviceLocked(device))
            ++info->workItemReferences;
    }
    std::lock_guard<std::mutex> lock(workMutex);
    workThreads.emplace_back([item, device, WorkerRoutine, Context, IoWorkItem] {
        {
            std::lock_guard<std::mutex> lock(workMutex);
            item->state = WorkItem::State::Running;
        }
        threadIrql = PASSIVE_LEVEL;
        WorkerRoutine(device, Context);
        if (threadIrql != PASSIVE_LEVEL || !heldLocks.empty()) {
            Report(Rule::IrqlChangedAcrossDispatch,
                   "a work item routine returned at IRQL " + std::to_string(threadIrql) +
                       " holding " + std::to_string(heldLocks.size()) + " spin lock(s)");
        }
        {
            std::lock_guard<std::mutex> lock(K().mu);
            if (DeviceInfo* info = FindDeviceLocked(device))
                --info->workItemReferences;
        }
        ObfDereferenceObject(device);
        std::lock_guard<std::mutex> lock(workMutex);
        item->state = WorkItem::State::Idle;
        if (item->freed)
            workItems.erase(IoWorkItem);
        --activeWork;
        workCondition.notify_all();
    });
}

} // extern "C"
