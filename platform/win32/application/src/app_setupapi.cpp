// The SetupDi calls that list a device interface class: a snapshot of the kernel stand-in's
// registered interfaces, with the "\\?\" paths that CreateFileW opens.
#include "app_objects.h"

#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>

namespace kswin32::app {
namespace {

struct InterfaceEntry {
    GUID interfaceClass;
    std::u16string path; // "\\?\..."
    bool active;
};

struct DeviceInfoSet {
    std::vector<InterfaceEntry> interfaces;
};

std::mutex setsLock;
std::set<DeviceInfoSet*> sets; // guarded by setsLock

DeviceInfoSet* Lookup(HDEVINFO handle) {
    std::lock_guard<std::mutex> lock(setsLock);
    auto set = static_cast<DeviceInfoSet*>(handle);
    return sets.count(set) ? set : nullptr;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace
} // namespace kswin32::app

using namespace kswin32::app;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND, DWORD flags) {
    // Only the interface listing of one class is modelled.
    if (!(flags & DIGCF_DEVICEINTERFACE) || (flags & DIGCF_ALLCLASSES) || !classGuid ||
        enumerator) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = new DeviceInfoSet;
    for (const bridge::Interface& entry : bridge::Interfaces()) {
        GUID interfaceClass;
        std::memcpy(&interfaceClass, entry.interfaceClass, sizeof(GUID));
        if (!SameGuid(interfaceClass, *classGuid))
            continue;
        // Present devices only: an interface that is not enabled has no link to open.
        if ((flags & DIGCF_PRESENT) && !entry.enabled)
            continue;
        std::u16string path = entry.link;
        if (path.compare(0, 4, u"\\??\\") == 0)
            path = u"\\\\?\\" + path.substr(4);
        set->interfaces.push_back(InterfaceEntry{interfaceClass, path, entry.enabled});
    }
    std::lock_guard<std::mutex> lock(setsLock);
    sets.insert(set);
    SetLastError(ERROR_SUCCESS);
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA deviceInfo,
                                        const GUID* interfaceClassGuid, DWORD memberIndex,
                                        PSP_DEVICE_INTERFACE_DATA interfaceData) {
    DeviceInfoSet* set = Lookup(handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (deviceInfo || !interfaceClassGuid || !interfaceData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD index = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const InterfaceEntry& entry = set->interfaces[i];
        if (!SameGuid(entry.interfaceClass, *interfaceClassGuid))
            continue;
        if (index++ != memberIndex)
            continue;
        interfaceData->InterfaceClassGuid = entry.interfaceClass;
        interfaceData->Flags = entry.active ? SPINT_ACTIVE : 0;
        interfaceData->Reserved = i + 1; // which entry of the set
        return TRUE;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO handle,
                                             PSP_DEVICE_INTERFACE_DATA interfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                             DWORD detailSize, PDWORD requiredSize,
                                             PSP_DEVINFO_DATA deviceInfo) {
    DeviceInfoSet* set = Lookup(handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        interfaceData->Reserved == 0 || interfaceData->Reserved > set->interfaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (deviceInfo) {
        SetLastError(ERROR_INVALID_PARAMETER); // device information elements are not modelled
        return FALSE;
    }
    const std::u16string& path = set->interfaces[interfaceData->Reserved - 1].path;
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                      (path.size() + 1) * sizeof(WCHAR));
    if (requiredSize)
        *requiredSize = needed;
    if (!detail) {
        SetLastError(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    // cbSize is the fixed part's size (8 on x64, 6 on x86), not the buffer's.
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    WCHAR* out = detail->DevicePath; // runs on past the declared single unit
    for (size_t i = 0; i < path.size(); ++i)
        out[i] = static_cast<WCHAR>(path[i]);
    out[path.size()] = 0;
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    DeviceInfoSet* set = nullptr;
    {
        std::lock_guard<std::mutex> lock(setsLock);
        auto candidate = static_cast<DeviceInfoSet*>(handle);
        if (sets.erase(candidate))
            set = candidate;
    }
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete set;
    return TRUE;
}

} // extern "C"
