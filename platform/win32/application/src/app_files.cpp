// Device files: CreateFileW, ReadFile, WriteFile, DeviceIoControl, GetOverlappedResult, CancelIo,
// CancelIoEx and CloseHandle, each turned into requests of the kernel stand-in's I/O manager with
// the results and last errors that kernel32 gives.
#include "app_objects.h"

#include "win32_app_sim.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace kswin32::app {
namespace {

constexpr uint32_t kStatusPending = bridge::kStatusPending;

bool IsError(uint32_t status) {
    return (status >> 30) == 3;
}
bool IsWarning(uint32_t status) {
    return (status >> 30) == 2;
}
bool IsSuccess(uint32_t status) {
    return (status >> 31) == 0;
}

// "\\.\name" and "\\?\name" are the Win32 forms of the NT name "\??\name".
bool ToNtPath(LPCWSTR path, std::u16string* ntPath) {
    std::u16string text;
    for (const WCHAR* unit = path; *unit; ++unit)
        text.push_back(static_cast<char16_t>(*unit));
    if (text.size() > 4 && text[0] == u'\\' && text[1] == u'\\' &&
        (text[2] == u'.' || text[2] == u'?') && text[3] == u'\\') {
        *ntPath = u"\\??\\" + text.substr(4);
        return true;
    }
    return false;
}

enum class Operation { Read, Write, Control };

struct Call {
    Operation operation;
    void* buffer = nullptr;
    DWORD length = 0;
    DWORD code = 0;
    void* input = nullptr;
    DWORD inputLength = 0;
};

std::shared_ptr<bridge::Request> Start(DeviceFile& file, const Call& call) {
    switch (call.operation) {
    case Operation::Read:
        return bridge::StartRead(file.kernelFile, call.buffer, call.length);
    case Operation::Write:
        return bridge::StartWrite(file.kernelFile, call.buffer, call.length);
    case Operation::Control:
        return bridge::StartDeviceControl(file.kernelFile, call.code, call.input, call.inputLength,
                                          call.buffer, call.length);
    }
    return nullptr;
}

// What the I/O manager does at completion for a user-mode request: the status block (the
// OVERLAPPED's Internal fields) first, then the event; the file's last request lets its close go.
void Complete(const std::shared_ptr<DeviceFile>& file, const std::shared_ptr<InFlight>& entry,
              const bridge::Completion& completion) {
    bool closeNow = false;
    {
        std::lock_guard<std::mutex> lock(Dispatcher().mutex);
        entry->done = true;
        entry->completion = completion;
        if (LPOVERLAPPED overlapped = entry->overlapped) {
            __atomic_store_n(&overlapped->InternalHigh,
                             static_cast<ULONG_PTR>(completion.information), __ATOMIC_SEQ_CST);
            __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(completion.status),
                             __ATOMIC_SEQ_CST);
        }
        SignalLocked(*entry->event);
        file->inFlight.remove(entry);
        closeNow = file->closed && file->inFlight.empty() && !file->closeSent;
        file->closeSent = file->closeSent || closeNow;
    }
    if (closeNow)
        QueueClose(file->kernelFile);
}

// Sends one request. Returns the entry; `returned` is what the dispatch routine returned.
std::shared_ptr<InFlight> Issue(const std::shared_ptr<DeviceFile>& file, const Call& call,
                                LPOVERLAPPED overlapped, const std::shared_ptr<Object>& event) {
    auto entry = std::make_shared<InFlight>();
    entry->thread = GetCurrentThreadId();
    entry->overlapped = overlapped;
    entry->event = event;
    {
        std::lock_guard<std::mutex> lock(Dispatcher().mutex);
        if (overlapped) {
            __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(kStatusPending),
                             __ATOMIC_SEQ_CST);
            __atomic_store_n(&overlapped->InternalHigh, static_cast<ULONG_PTR>(0),
                             __ATOMIC_SEQ_CST);
        }
        event->signaled = false; // the I/O manager clears the event when the request starts
        file->inFlight.push_back(entry);
    }
    std::shared_ptr<bridge::Request> request = Start(*file, call);
    {
        std::lock_guard<std::mutex> lock(Dispatcher().mutex);
        entry->request = request;
    }
    request->OnCompletion(
        [file, entry](const bridge::Completion& completion) { Complete(file, entry, completion); });
    return entry;
}

bridge::Completion WaitForEntry(const std::shared_ptr<InFlight>& entry) {
    std::unique_lock<std::mutex> lock(Dispatcher().mutex);
    Dispatcher().changed.wait(lock, [&] { return entry->done; });
    return entry->completion;
}

// Resolves the event an overlapped request signals: its hEvent (the low bit only asks not to
// post to a completion port) or else the file itself.
std::shared_ptr<Object> EventFor(const std::shared_ptr<DeviceFile>& file, LPOVERLAPPED overlapped,
                                 bool* valid) {
    *valid = true;
    if (overlapped && overlapped->hEvent) {
        HANDLE handle = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) &
                                                 ~static_cast<uintptr_t>(1));
        std::shared_ptr<Event> event = LookupAs<Event>(handle);
        *valid = event != nullptr;
        return event;
    }
    return file;
}

// ReadFile, WriteFile and DeviceIoControl share everything but the request they send and the
// byte count they report when a synchronous request fails.
BOOL Transfer(HANDLE handle, const Call& call, LPDWORD bytes, LPOVERLAPPED overlapped) {
    std::shared_ptr<DeviceFile> file = LookupAs<DeviceFile>(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool valid;
    std::shared_ptr<Object> event = EventFor(file, overlapped, &valid);
    if (!valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (file->overlapped && overlapped) {
        if (bytes)
            *bytes = 0;
        std::shared_ptr<InFlight> entry = Issue(file, call, overlapped, event);
        uint32_t returned = entry->request->Returned();
        if (returned == kStatusPending) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        // Completed in the dispatch routine: the status block is final.
        bridge::Completion completion = WaitForEntry(entry);
        if (IsError(completion.status)) {
            SetLastNtError(completion.status);
            return FALSE;
        }
        if (bytes)
            *bytes = static_cast<DWORD>(completion.information);
        if (IsWarning(completion.status)) {
            SetLastNtError(completion.status);
            return FALSE;
        }
        return TRUE;
    }
    // Synchronous: one request at a time on a synchronous file, and the caller waits for it.
    std::unique_lock<std::mutex> serial(file->synchronousIo, std::defer_lock);
    if (!file->overlapped)
        serial.lock();
    if (bytes)
        *bytes = 0;
    std::shared_ptr<InFlight> entry = Issue(file, call, overlapped, event);
    bridge::Completion completion = WaitForEntry(entry);
    if (IsSuccess(completion.status)) {
        if (bytes)
            *bytes = static_cast<DWORD>(completion.information);
        return TRUE;
    }
    // kernel32 reports the byte count of a failed synchronous read or write only for a warning
    // status; a cancelled read's bytes are in the buffer but the count says 0. DeviceIoControl
    // reports the count in every case.
    if (bytes && (IsWarning(completion.status) || call.operation == Operation::Control))
        *bytes = static_cast<DWORD>(completion.information);
    SetLastNtError(completion.status);
    return FALSE;
}

} // namespace

void SetLastNtError(uint32_t status) {
    SetLastError(DosErrorFromNtStatus(status));
}

} // namespace kswin32::app

using namespace kswin32::app;

namespace kswin32::app {

size_t OpenDeviceHandles() {
    size_t count = 0;
    for (HANDLE handle : AllHandles()) {
        if (LookupAs<DeviceFile>(handle))
            ++count;
    }
    return count;
}

void EndProcessIo() {
    // As at process exit: every request still in flight is cancelled and waited for, then every
    // handle is closed.
    std::vector<HANDLE> handles = AllHandles();
    for (HANDLE handle : handles) {
        std::shared_ptr<DeviceFile> file = LookupAs<DeviceFile>(handle);
        if (!file)
            continue;
        CancelIoEx(handle, nullptr);
        // Windows waits for such requests too; a request that ignores its cancel is reported
        // rather than waited for without end.
        std::unique_lock<std::mutex> lock(Dispatcher().mutex);
        if (!Dispatcher().changed.wait_for(lock, std::chrono::seconds(10),
                                           [&] { return file->inFlight.empty(); })) {
            std::fprintf(stderr,
                         "process exit: %zu request(s) of a device file did not end "
                         "within 10 s of being cancelled\n",
                         file->inFlight.size());
        }
    }
    for (HANDLE handle : handles)
        CloseHandle(handle);
    FinishDeferredCloses();
}

} // namespace kswin32::app

namespace kswin32::app {
namespace {
// Cancels the file's requests that `select` picks; returns how many were found.
template <typename Select> size_t CancelWhere(HANDLE handle, Select select, bool* validHandle) {
    std::shared_ptr<DeviceFile> file = LookupAs<DeviceFile>(handle);
    *validHandle = file != nullptr;
    if (!file)
        return 0;
    std::vector<std::shared_ptr<bridge::Request>> requests;
    {
        std::lock_guard<std::mutex> lock(Dispatcher().mutex);
        for (const std::shared_ptr<InFlight>& entry : file->inFlight) {
            if (entry->request && !entry->done && select(*entry))
                requests.push_back(entry->request);
        }
    }
    // Outside the lock: a cancel routine may complete the request in this thread.
    for (const std::shared_ptr<bridge::Request>& request : requests)
        request->Cancel();
    return requests.size();
}
} // namespace
} // namespace kswin32::app

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                          DWORD flagsAndAttributes, HANDLE) {
    std::u16string ntPath;
    if (!fileName || !ToNtPath(fileName, &ntPath)) {
        // Only devices ("\\.\" and "\\?\" names) are modelled here.
        SetLastError(fileName ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    bridge::Opened opened = bridge::Open(ntPath);
    if (!IsSuccess(opened.status) || !opened.file) {
        SetLastNtError(opened.status);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<DeviceFile>();
    file->kernelFile = opened.file;
    file->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(file);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
    Call call{Operation::Read};
    call.buffer = buffer;
    call.length = bytesToRead;
    return Transfer(file, call, bytesRead, overlapped);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
    Call call{Operation::Write};
    call.buffer = const_cast<LPVOID>(buffer);
    call.length = bytesToWrite;
    return Transfer(file, call, bytesWritten, overlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped) {
    Call call{Operation::Control};
    call.code = ioControlCode;
    call.input = inBuffer;
    call.inputLength = inBuffer ? inBufferSize : 0;
    call.buffer = outBuffer;
    call.length = outBuffer ? outBufferSize : 0;
    if (!overlapped && !bytesReturned) {
        // kernel32 needs somewhere to put the count of a synchronous call.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Transfer(device, call, bytesReturned, overlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                                BOOL wait) {
    if (__atomic_load_n(&overlapped->Internal, __ATOMIC_SEQ_CST) == kStatusPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Waits on the request's event, or on the file when the request has none.
        HANDLE waitOn =
            overlapped->hEvent
                ? reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) &
                                           ~static_cast<uintptr_t>(1))
                : handle;
        if (WaitForSingleObject(waitOn, INFINITE) != WAIT_OBJECT_0)
            return FALSE;
    }
    ULONG_PTR status = __atomic_load_n(&overlapped->Internal, __ATOMIC_SEQ_CST);
    *bytesTransferred =
        static_cast<DWORD>(__atomic_load_n(&overlapped->InternalHigh, __ATOMIC_SEQ_CST));
    if (IsSuccess(static_cast<uint32_t>(status)))
        return TRUE;
    SetLastNtError(static_cast<uint32_t>(status));
    return FALSE;
}

BOOL WINAPI CancelIo(HANDLE file) {
    DWORD thread = GetCurrentThreadId();
    bool valid;
    CancelWhere(
        file, [thread](const InFlight& entry) { return entry.thread == thread; }, &valid);
    if (!valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    bool valid;
    size_t found = CancelWhere(
        file,
        [overlapped](const InFlight& entry) {
            return overlapped == nullptr || entry.overlapped == overlapped;
        },
        &valid);
    if (!valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (found == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    std::shared_ptr<Object> object = RemoveHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto file = std::dynamic_pointer_cast<DeviceFile>(object);
    if (!file)
        return TRUE;
    // The last handle of the file object: cleanup now; close once no request of the file is in
    // flight any more (requests hold references on the file object).
    bridge::Cleanup(file->kernelFile);
    bool closeNow;
    {
        std::lock_guard<std::mutex> lock(Dispatcher().mutex);
        file->closed = true;
        closeNow = file->inFlight.empty() && !file->closeSent;
        file->closeSent = file->closeSent || closeNow;
    }
    if (closeNow)
        bridge::CloseAndRelease(file->kernelFile);
    return TRUE;
}

} // extern "C"
