// Handle table, CloseHandle and the thread's last error.
#include "handle_table.h"
#include "win32_sim.h"

#include <map>
#include <mutex>

namespace win32sim {
namespace {

std::mutex tableLock;
std::map<HANDLE, std::shared_ptr<KernelObject>> table;  // guarded by tableLock
uintptr_t nextHandle = 0x100;                            // guarded by tableLock
thread_local DWORD lastError = 0;

}  // namespace

bool KernelObject::Read(void*, DWORD, DWORD*)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

bool KernelObject::Size(uint64_t*)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

DWORD KernelObject::Wait(DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object)
{
    std::lock_guard<std::mutex> lock(tableLock);
    // Handle values are multiples of four, as the system's are.
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
    nextHandle += 4;
    table[handle] = std::move(object);
    return handle;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = table.find(handle);
    return it == table.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = table.find(handle);
    if (it == table.end())
        return nullptr;
    auto object = std::move(it->second);
    table.erase(it);
    return object;
}

size_t CountHandles(const std::string& kind)
{
    std::lock_guard<std::mutex> lock(tableLock);
    size_t count = 0;
    for (const auto& entry : table)
        count += entry.second->Kind() == kind ? 1 : 0;
    return count;
}

}  // namespace win32sim

extern "C" {

DWORD WINAPI GetLastError(void) { return win32sim::lastError; }

void WINAPI SetLastError(DWORD errorCode) { win32sim::lastError = errorCode; }

BOOL WINAPI CloseHandle(HANDLE object)
{
    // The object's destructor releases what it holds once the last user lets go.
    if (!win32sim::RemoveHandle(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
}
