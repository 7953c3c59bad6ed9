// The process's kernel-object handle table. Each kind of object (file, thread, and what other
// parts of the stand-in add) derives from KernelObject and overrides what it supports.
#ifndef KS_STANDIN_WIN32_HANDLE_TABLE_H
#define KS_STANDIN_WIN32_HANDLE_TABLE_H

#include <windows.h>

#include <memory>
#include <string>

namespace win32sim {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual std::string Kind() const = 0;
    // Each returns false with the last error set when the object does not support the call.
    virtual bool Read(void* buffer, DWORD length, DWORD* bytesRead);
    virtual bool Size(uint64_t* size);
    // Waits up to milliseconds (INFINITE) for the object to be signalled.
    virtual DWORD Wait(DWORD milliseconds);
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Removes the handle; the object lives on while others hold it.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

}  // namespace win32sim

#endif
