// Threads as kernel objects: CreateThread, waiting for their end, their exit code.
#include "call_faults.h"
#include "handle_table.h"
#include "thread_internal.h"
#include "win32_sim.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace win32sim {
namespace {

std::atomic<int> failingCreateThreads{0};
std::atomic<DWORD> nextThreadId{0x1000};
thread_local DWORD currentThreadId = 0;

std::mutex runningLock;
std::map<DWORD, LPTHREAD_START_ROUTINE> inOwnCode;  // guarded by runningLock

// The thread's state outlives both its handle and the thread itself.
struct ThreadState {
    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;  // guarded by lock
    DWORD exitCode = STILL_ACTIVE;  // guarded by lock
};

class ThreadObject : public KernelObject {
public:
    ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id)
        : state_(std::make_shared<ThreadState>())
    {
        auto state = state_;
        {
            std::lock_guard<std::mutex> lock(runningLock);
            inOwnCode[id] = start;
        }
        thread_ = std::thread([state, start, parameter, id] {
            currentThreadId = id;
            DWORD code;
            try {
                code = start(parameter);
            } catch (const ThreadExit& exit) {
                code = exit.exitCode;
            }
            LeaveOwnCode();
            std::lock_guard<std::mutex> lock(state->lock);
            state->exitCode = code;
            state->finished = true;
            state->ended.notify_all();
        });
    }
    ~ThreadObject() override
    {
        // Closing the last handle does not end the thread; it runs on unattached.
        std::lock_guard<std::mutex> lock(joinLock_);
        if (thread_.joinable())
            thread_.detach();
    }
    std::string Kind() const override { return "thread"; }
    DWORD Wait(DWORD milliseconds) override
    {
        {
            std::unique_lock<std::mutex> lock(state_->lock);
            auto done = [this] { return state_->finished; };
            if (milliseconds == INFINITE)
                state_->ended.wait(lock, done);
            else if (!state_->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), done))
                return WAIT_TIMEOUT;
        }
        std::lock_guard<std::mutex> lock(joinLock_);
        if (thread_.joinable())
            thread_.join();
        return WAIT_OBJECT_0;
    }
    DWORD ExitCode()
    {
        std::lock_guard<std::mutex> lock(state_->lock);
        return state_->exitCode;
    }

private:
    std::shared_ptr<ThreadState> state_;
    std::mutex joinLock_;
    std::thread thread_;  // guarded by joinLock_ once started
};

}  // namespace

void FailCreateThread(int count) { failingCreateThreads = count; }

std::vector<LPTHREAD_START_ROUTINE> ThreadsInOwnCode()
{
    std::lock_guard<std::mutex> lock(runningLock);
    std::vector<LPTHREAD_START_ROUTINE> routines;
    for (const auto& entry : inOwnCode)
        routines.push_back(entry.second);
    return routines;
}

void LeaveOwnCode()
{
    std::lock_guard<std::mutex> lock(runningLock);
    inOwnCode.erase(currentThreadId);
}

}  // namespace win32sim

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE startAddress,
                           LPVOID parameter, DWORD creationFlags, LPDWORD threadId)
{
    using namespace win32sim;
    if (failingCreateThreads.load() > 0) {
        --failingCreateThreads;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    if (!startAddress || (creationFlags & CREATE_SUSPENDED)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return NULL;
    }
    if (FailCountedCall("CreateThread", "", ERROR_NOT_ENOUGH_MEMORY))
        return NULL;
    DWORD id = nextThreadId.fetch_add(4);
    auto object = std::make_shared<ThreadObject>(startAddress, parameter, id);
    if (threadId)
        *threadId = id;
    return InsertHandle(object);
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    auto target = win32sim::LookupHandle(object);
    if (!target) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return target->Wait(milliseconds);
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    auto target = std::dynamic_pointer_cast<win32sim::ThreadObject>(win32sim::LookupHandle(thread));
    if (!target || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = target->ExitCode();
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void)
{
    // Threads the stand-in did not create get an id on first use.
    if (win32sim::currentThreadId == 0)
        win32sim::currentThreadId = win32sim::nextThreadId.fetch_add(4);
    return win32sim::currentThreadId;
}

void WINAPI Sleep(DWORD milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
}
