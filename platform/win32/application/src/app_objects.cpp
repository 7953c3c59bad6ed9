// Handle table, events, waits, the last error, thread IDs, time, and the closer thread.
#include "app_objects.h"

#include "win32_app_sim.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <thread>

namespace kswin32::app {
namespace {

std::mutex tableLock;
std::map<uintptr_t, std::shared_ptr<Object>> table; // guarded by tableLock
uintptr_t nextHandle = 0x1000;                      // guarded by tableLock
thread_local DWORD lastError = 0;
std::atomic<DWORD> nextThreadId{0x100};
thread_local DWORD threadId = 0;

struct Closer {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<void*> files; // guarded by mutex
    unsigned busy = 0;       // guarded by mutex: closes being sent
    std::thread thread;      // guarded by mutex
};
Closer& TheCloser() {
    static Closer closer;
    return closer;
}

void CloserLoop() {
    Closer& closer = TheCloser();
    std::unique_lock<std::mutex> lock(closer.mutex);
    while (!closer.files.empty()) {
        void* file = closer.files.front();
        closer.files.pop_front();
        ++closer.busy;
        lock.unlock();
        bridge::CloseAndRelease(file);
        lock.lock();
        --closer.busy;
        closer.changed.notify_all();
    }
}

} // namespace

DispatcherState& Dispatcher() {
    static DispatcherState state;
    return state;
}

HANDLE InsertHandle(std::shared_ptr<Object> object) {
    std::lock_guard<std::mutex> lock(tableLock);
    // Handle values are multiples of four, as the system's are.
    uintptr_t value = nextHandle;
    nextHandle += 4;
    table[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = table.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.end() ? nullptr : it->second;
}

std::shared_ptr<Object> RemoveHandle(HANDLE handle) {
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.end())
        return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    table.erase(it);
    return object;
}

std::vector<HANDLE> AllHandles() {
    std::lock_guard<std::mutex> lock(tableLock);
    std::vector<HANDLE> handles;
    for (const auto& entry : table)
        handles.push_back(reinterpret_cast<HANDLE>(entry.first));
    return handles;
}

void SignalLocked(Object& object) {
    object.signaled = true;
    Dispatcher().changed.notify_all();
}

bool WaitForObject(const std::shared_ptr<Object>& object, DWORD milliseconds) {
    DispatcherState& dispatcher = Dispatcher();
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    auto ready = [&] { return object->signaled; };
    if (milliseconds == INFINITE) {
        dispatcher.changed.wait(lock, ready);
    } else if (!dispatcher.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return false;
    }
    if (!object->manualReset)
        object->signaled = false;
    return true;
}

void QueueClose(void* kernelFile) {
    Closer& closer = TheCloser();
    std::lock_guard<std::mutex> lock(closer.mutex);
    closer.files.push_back(kernelFile);
    if (closer.thread.joinable() && closer.busy == 0 && closer.files.size() == 1) {
        closer.thread.join(); // the previous run has ended
    }
    if (!closer.thread.joinable())
        closer.thread = std::thread(CloserLoop);
    closer.changed.notify_all();
}

void FinishDeferredCloses() {
    Closer& closer = TheCloser();
    std::unique_lock<std::mutex> lock(closer.mutex);
    closer.changed.wait(lock, [&] { return closer.files.empty() && closer.busy == 0; });
    if (closer.thread.joinable()) {
        std::thread thread = std::move(closer.thread);
        lock.unlock();
        thread.join();
    }
}

} // namespace kswin32::app

using namespace kswin32::app;

extern "C" {

DWORD WINAPI GetLastError(void) {
    return lastError;
}

void WINAPI SetLastError(DWORD errorCode) {
    lastError = errorCode;
}

DWORD WINAPI GetCurrentThreadId(void) {
    if (threadId == 0)
        threadId = nextThreadId.fetch_add(4);
    return threadId;
}

void WINAPI Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
    if (name) { // named objects are not modelled
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = std::make_shared<Event>();
    event->manualReset = manualReset != FALSE;
    event->signaled = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(event);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
    if (name) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return CreateEventW(attributes, manualReset, initialState, nullptr);
}

BOOL WINAPI SetEvent(HANDLE handle) {
    std::shared_ptr<Event> event = LookupAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Dispatcher().mutex);
    SignalLocked(*event);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle) {
    std::shared_ptr<Event> event = LookupAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Dispatcher().mutex);
    event->signaled = false;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<Object> object = LookupHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WaitForObject(object, milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(GetTickCount64());
}

ULONGLONG WINAPI GetTickCount64(void) {
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
}

// 10 MHz, the frequency current Windows versions report.
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 10000000;
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count() /
                      100;
    return TRUE;
}

} // extern "C"
