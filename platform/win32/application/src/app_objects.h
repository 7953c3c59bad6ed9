// Kernel objects of the application API: events and device files in one handle table, with one
// dispatcher lock and condition for every wait, as the Windows dispatcher has one lock.
#pragma once

#include <windows.h>

#include "io_bridge.h"

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

namespace kswin32::app {

struct Object {
    virtual ~Object() = default;
    bool signaled = false;   // guarded by Dispatcher().mutex
    bool manualReset = true; // a satisfied wait resets an auto-reset object
};

struct Event : Object {};

struct DeviceFile;

// A read, write or device control in flight on a device file.
struct InFlight {
    std::shared_ptr<bridge::Request> request; // set once the request has been sent
    DWORD thread = 0;                         // the issuing thread, for CancelIo
    LPOVERLAPPED overlapped = nullptr;        // the caller's, for CancelIoEx and completion
    std::shared_ptr<Object> event;            // signalled at completion: hEvent or the file
    bool done = false;
    bridge::Completion completion;
};

struct DeviceFile : Object {
    void* kernelFile = nullptr;
    bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
    bool closed = false;      // CloseHandle ran: IRP_MJ_CLOSE follows the last request
    bool closeSent = false;   // IRP_MJ_CLOSE is on its way
    std::mutex synchronousIo; // a synchronous file carries one request at a time
    std::list<std::shared_ptr<InFlight>> inFlight; // guarded by Dispatcher().mutex
};

struct DispatcherState {
    std::mutex mutex;
    std::condition_variable changed;
};
DispatcherState& Dispatcher();

HANDLE InsertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
std::shared_ptr<Object> RemoveHandle(HANDLE handle);
std::vector<HANDLE> AllHandles();

template <typename T> std::shared_ptr<T> LookupAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Sets an object and wakes its waiters; caller holds Dispatcher().mutex.
void SignalLocked(Object& object);
// Waits until the object is signalled (consuming it when auto-reset); false on time-out.
bool WaitForObject(const std::shared_ptr<Object>& object, DWORD milliseconds);

// Closes a device file once no request of it is in flight: IRP_MJ_CLOSE must not be sent from a
// completing thread, so a closer thread sends it.
void QueueClose(void* kernelFile);

DWORD DosErrorFromNtStatus(uint32_t status);
void SetLastNtError(uint32_t status);

} // namespace kswin32::app
