// Objects and names: device objects and stacks, the name space with symbolic links and device
// interfaces, file objects, object references, and pool with tags.
#include "internal.h"

#include <algorithm>
#include <cstdlib>

using namespace kstandin;
using namespace kstandin::detail;
using Rule = verifier::Rule;

namespace kstandin::detail {

Kernel& K() {
    static Kernel kernel;
    return kernel;
}

Kernel::~Kernel() {
    for (auto& [block, info] : pool)
        std::free(block);
    for (PFILE_OBJECT file : files)
        std::free(file);
}

std::u16string FromUnicodeString(PCUNICODE_STRING s) {
    if (!s || !s->Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::u16string NameKey(const std::u16string& name) {
    std::u16string key = NormalizeLinkName(name);
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return key;
}

std::u16string NormalizeLinkName(const std::u16string& name) {
    auto startsWith = [&](const std::u16string& prefix) {
        if (name.size() < prefix.size())
            return false;
        for (size_t i = 0; i < prefix.size(); ++i) {
            char16_t a = name[i], b = prefix[i];
            if (a >= u'a' && a <= u'z')
                a = static_cast<char16_t>(a - u'a' + u'A');
            if (a != b)
                return false;
        }
        return true;
    };
    for (const std::u16string& prefix :
         {std::u16string(u"\\DOSDEVICES\\"), std::u16string(u"\\GLOBAL??\\")}) {
        if (startsWith(prefix))
            return u"\\??\\" + name.substr(prefix.size());
    }
    return name;
}

std::string Describe(PDEVICE_OBJECT device) {
    if (!device)
        return "(null device)";
    std::string text = "device " + Hex(reinterpret_cast<uintptr_t>(device));
    std::lock_guard<std::mutex> lock(K().mu);
    DeviceInfo* info = FindDeviceLocked(device);
    if (info && !info->name.empty())
        text += " (" + Narrow(info->name) + ")";
    return text;
}

DeviceInfo* FindDeviceLocked(PDEVICE_OBJECT device) {
    auto it = K().devices.find(device);
    return it == K().devices.end() ? nullptr : it->second.get();
}

PDEVICE_OBJECT AttachedTopLocked(PDEVICE_OBJECT device) {
    while (device && device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

void FreeDeviceLocked(DeviceInfo* info) {
    // Poison first so a driver that still uses the object or its extension reads garbage.
    memset(info->storage.get(), 0xDD, info->storageSize);
    ForgetLocksIn(info->storage.get(), info->storageSize);
    K().devices.erase(info->device);
}

void* AllocateInternalPool(size_t size, ULONG tag) {
    void* block = std::calloc(1, size ? size : 1);
    std::lock_guard<std::mutex> lock(K().mu);
    K().pool[block] = PoolInfo{size, tag, PagedPool, true};
    K().freedPool.erase(block);
    return block;
}

void ResetPool() {
    std::lock_guard<std::mutex> lock(K().mu);
    for (auto& [block, info] : K().pool)
        std::free(block);
    K().pool.clear();
    K().freedPool.clear();
    K().poolHistory.clear();
    K().allocationCount = 0;
    K().failAllocationAt = 0;
    ResetDriverAllocationFaults();
}

} // namespace kstandin::detail

namespace {

constexpr ULONG kPoolFill = 0xC5; // fresh pool is not zeroed; this makes reliance on zero visible

struct FileInfo {
    std::u16string name;
};

} // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    bool paged = (PoolType & 1) != 0 && PoolType != NonPagedPoolNx;
    CheckIrql(paged ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    if (NumberOfBytes == 0) {
        Report(Rule::PoolZeroSize, "ExAllocatePoolWithTag of 0 bytes with tag " + Hex(Tag));
    }
    if ((PoolType == NonPagedPoolNx || PoolType == NonPagedPoolNxCacheAligned) &&
        !SystemVersionAtLeast(6, 2)) {
        // Before 6.2 the pool type is unknown: Windows stops with BAD_POOL_CALLER.
        Report(
            Rule::UnsupportedOnSystemVersion,
            "ExAllocatePoolWithTag with NonPagedPoolNx, which exists from system version 6.2 on");
        return nullptr;
    }
    if (CountDriverAllocation(__builtin_return_address(0)))
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        unsigned number = ++K().allocationCount;
        if (K().failAllocationAt != 0 && number == K().failAllocationAt) {
            K().failAllocationAt = 0;
            return nullptr;
        }
    }
    void* block = std::malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (!block)
        return nullptr;
    memset(block, kPoolFill, NumberOfBytes);
    std::lock_guard<std::mutex> lock(K().mu);
    K().pool[block] = PoolInfo{NumberOfBytes, Tag, PoolType, false};
    K().freedPool.erase(block);
    K().poolHistory.push_back(PoolBlock{NumberOfBytes, Tag, PoolType});
    return block;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E); // 'None'
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    CheckIrql(DISPATCH_LEVEL, "ExFreePoolWithTag");
    std::unique_lock<std::mutex> lock(K().mu);
    auto it = K().pool.find(P);
    if (it == K().pool.end()) {
        bool twice = K().freedPool.count(P) != 0;
        lock.unlock();
        if (twice) {
            Report(Rule::PoolDoubleFree, "ExFreePoolWithTag of " +
                                             Hex(reinterpret_cast<uintptr_t>(P)) +
                                             ", which was already freed");
        } else {
            Report(Rule::PoolUnknownPointer, "ExFreePoolWithTag of " +
                                                 Hex(reinterpret_cast<uintptr_t>(P)) +
                                                 ", which is not an allocated pool block");
        }
        return;
    }
    PoolInfo info = it->second;
    if (Tag != 0 && Tag != info.tag) {
        lock.unlock();
        Report(Rule::PoolWrongTag, "block of " + std::to_string(info.size) +
                                       " bytes allocated with tag " + Hex(info.tag) +
                                       " freed with tag " + Hex(Tag));
        return;
    }
    K().pool.erase(it);
    K().freedPool.insert(P);
    lock.unlock();
    ForgetLocksIn(P, info.size);
    memset(P, 0xDF, info.size);
    std::free(P);
}

VOID NTAPI ExFreePool(PVOID P) {
    ExFreePoolWithTag(P, 0);
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    CheckIrql(DISPATCH_LEVEL, "ObReferenceObject");
    std::lock_guard<std::mutex> lock(K().mu);
    if (DeviceInfo* info = FindDeviceLocked(static_cast<PDEVICE_OBJECT>(Object))) {
        return __atomic_add_fetch(&info->device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
    }
    // Other objects (file and driver objects) are not reference counted by the stand-in.
    return 1;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    CheckIrql(DISPATCH_LEVEL, "ObDereferenceObject");
    std::unique_lock<std::mutex> lock(K().mu);
    DeviceInfo* info = FindDeviceLocked(static_cast<PDEVICE_OBJECT>(Object));
    if (!info)
        return 0;
    LONG count = __atomic_load_n(&info->device->ReferenceCount, __ATOMIC_SEQ_CST);
    if (count <= 0) {
        std::u16string name = info->name;
        lock.unlock();
        Report(Rule::ReferenceCountNegative,
               "ObDereferenceObject of device " + Hex(reinterpret_cast<uintptr_t>(Object)) + " " +
                   Narrow(name) + " whose reference count is already 0");
        return 0;
    }
    count = __atomic_sub_fetch(&info->device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
    if (count == 0 && info->deletePending)
        FreeDeviceLocked(info);
    return count;
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    CheckIrql(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    std::u16string name = FromUnicodeString(DeviceName);
    std::function<std::optional<NTSTATUS>(const std::u16string&)> hook;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        hook = K().createDeviceHook;
    }
    if (hook && DriverObject != BusDriver()) { // the hook is for drivers, not for test PDOs
        if (std::optional<NTSTATUS> status = hook(name))
            return *status;
    }
    std::lock_guard<std::mutex> lock(K().mu);
    if (!name.empty()) {
        if (name[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (K().names.count(NameKey(name)))
            return STATUS_OBJECT_NAME_COLLISION;
    }
    auto info = std::make_unique<DeviceInfo>();
    size_t objectSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    size_t extensionOffset = objectSize + ((sizeof(DEVOBJ_EXTENSION) + 15) & ~size_t(15));
    info->storageSize = extensionOffset + DeviceExtensionSize;
    info->storage.reset(new unsigned char[info->storageSize]());
    auto device = reinterpret_cast<PDEVICE_OBJECT>(info->storage.get());
    auto devobjExtension = reinterpret_cast<PDEVOBJ_EXTENSION>(info->storage.get() + objectSize);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING | (name.empty() ? 0 : DO_DEVICE_HAS_NAME) |
                    (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? info->storage.get() + extensionOffset : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = devobjExtension;
    devobjExtension->Type = 13;
    devobjExtension->Size = sizeof(DEVOBJ_EXTENSION);
    devobjExtension->DeviceObject = device;
    device->DeviceLock.Header.Type = SynchronizationEvent;
    device->DeviceLock.Header.SignalState = 1;
    InitializeListHead(&device->DeviceLock.Header.WaitListHead);
    info->device = device;
    info->name = name;
    if (!name.empty())
        K().names[NameKey(name)] = device;
    K().devices[device] = std::move(info);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    CheckIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    CheckIrpsAtDeviceDeletion(DeviceObject);
    std::unique_lock<std::mutex> lock(K().mu);
    DeviceInfo* info = FindDeviceLocked(DeviceObject);
    if (!info || info->deletePending) {
        lock.unlock();
        Report(Rule::InvalidParameter, "IoDeleteDevice of " +
                                           Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                           ", which is not an existing device object");
        return;
    }
    std::string what = "IoDeleteDevice of " + Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                       (info->name.empty() ? std::string() : " " + Narrow(info->name));
    std::vector<std::pair<Rule, std::string>> problems;
    if (DeviceObject->AttachedDevice) {
        problems.push_back({Rule::DeviceDeletedWhileAttached,
                            what + ": another device is still attached above it"});
    }
    if (DeviceObject->DeviceObjectExtension->AttachedTo) {
        problems.push_back(
            {Rule::DeviceDeletedWhileAttached,
             what + ": it is still attached to a lower device (IoDetachDevice first)"});
    }
    // Take it out of the name space and the driver's list at once; the memory stays while
    // references, file objects or queued work items still hold it, as on Windows, which defers
    // the deletion until the last reference goes (a leaked one shows at unload).
    if (!info->name.empty())
        K().names.erase(NameKey(info->name));
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    info->deletePending = true;
    if (DeviceObject->ReferenceCount <= 0)
        FreeDeviceLocked(info);
    lock.unlock();
    for (auto& [rule, message] : problems)
        Report(rule, message);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
    CheckIrql(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
    std::unique_lock<std::mutex> lock(K().mu);
    if (K().failNextAttach) {
        K().failNextAttach = false;
        return nullptr;
    }
    DeviceInfo* source = FindDeviceLocked(SourceDevice);
    DeviceInfo* target = FindDeviceLocked(TargetDevice);
    if (!source || !target || SourceDevice->DeviceObjectExtension->AttachedTo) {
        lock.unlock();
        Report(Rule::InvalidParameter,
               "IoAttachDeviceToDeviceStack with an unknown or already attached device");
        return nullptr;
    }
    PDEVICE_OBJECT top = AttachedTopLocked(TargetDevice);
    if (FindDeviceLocked(top)->deletePending)
        return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    CheckIrql(PASSIVE_LEVEL, "IoDetachDevice");
    std::unique_lock<std::mutex> lock(K().mu);
    if (!FindDeviceLocked(TargetDevice) || !TargetDevice->AttachedDevice) {
        lock.unlock();
        Report(Rule::InvalidParameter,
               "IoDetachDevice of a device that has nothing attached to it");
        return;
    }
    TargetDevice->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> lock(K().mu);
    return AttachedTopLocked(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    CheckIrql(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
    CheckIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    std::u16string link;
    {
        std::unique_lock<std::mutex> lock(K().mu);
        DeviceInfo* pdo = FindDeviceLocked(PhysicalDeviceObject);
        if (!pdo || !pdo->isPdo) {
            lock.unlock();
            Report(Rule::InvalidParameter,
                   "IoRegisterDeviceInterface on a device that is not a physical device object");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (K().failInterfaceRegistration) {
            NTSTATUS status = *K().failInterfaceRegistration;
            K().failInterfaceRegistration.reset();
            return status;
        }
        std::u16string reference = FromUnicodeString(ReferenceString);
        UNICODE_STRING guidText{};
        lock.unlock();
        RtlStringFromGUID(*InterfaceClassGuid, &guidText);
        std::u16string guid = FromUnicodeString(&guidText);
        RtlFreeUnicodeString(&guidText);
        for (char16_t& c : guid) {
            if (c >= u'A' && c <= u'F')
                c = static_cast<char16_t>(c - u'A' + u'a');
        }
        lock.lock();
        std::u16string instance = pdo->instanceId;
        if (instance.empty()) {
            instance = u"KSBUS\\PDO\\";
            for (char c : std::to_string(pdo->pdoIndex))
                instance += static_cast<char16_t>(c);
        }
        for (char16_t& c : instance) {
            if (c == u'\\')
                c = u'#';
        }
        link = u"\\??\\" + instance + u"#" + guid +
               (reference.empty() ? u"" : u"\\" + reference);
        // A registration lasts beyond the device, as in the registry: the same instance plugged
        // in again gets the same link, now belonging to its new PDO.
        std::u16string key = NameKey(link);
        auto known = K().interfaceByKey.find(key);
        if (known != K().interfaceByKey.end()) {
            K().interfaces[known->second].pdo = PhysicalDeviceObject;
        } else {
            K().interfaceByKey[key] = K().interfaces.size();
            K().interfaces.push_back(InterfaceInfo{link, key, *InterfaceClassGuid, reference,
                                                   PhysicalDeviceObject, false});
        }
    }
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(AllocateStringBuffer(bytes));
    memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    CheckIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    std::u16string key = NameKey(FromUnicodeString(SymbolicLinkName));
    std::lock_guard<std::mutex> lock(K().mu);
    auto known = K().interfaceByKey.find(key);
    if (known != K().interfaceByKey.end()) {
        InterfaceInfo& record = K().interfaces[known->second];
        if (Enable) {
            if (record.enabled)
                return STATUS_OBJECT_NAME_EXISTS;
            record.enabled = true;
            K().links[key] = {record.link, FindDeviceLocked(record.pdo)->name};
        } else {
            if (!record.enabled)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            record.enabled = false;
            K().links.erase(key);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    CheckIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::u16string link = NormalizeLinkName(FromUnicodeString(SymbolicLinkName));
    if (link.empty() || link[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::lock_guard<std::mutex> lock(K().mu);
    std::u16string key = NameKey(link);
    if (K().links.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    K().links[key] = {link, FromUnicodeString(DeviceName)};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    CheckIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard<std::mutex> lock(K().mu);
    return K().links.erase(NameKey(FromUnicodeString(SymbolicLinkName)))
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    return MajorVersion < 6 || (MajorVersion == 6 && MinorVersion <= 0x30);
}

} // extern "C"

namespace kstandin {

bool DeviceNameExists(const std::u16string& name) {
    return FindDevice(name) != nullptr;
}

PDEVICE_OBJECT FindDevice(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    auto it = detail::K().names.find(detail::NameKey(name));
    return it == detail::K().names.end() ? nullptr : it->second;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::DeviceInfo* info = detail::FindDeviceLocked(device);
    return info ? info->name : std::u16string();
}

std::vector<InterfaceRecord> DeviceInterfaces() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    std::vector<InterfaceRecord> records;
    for (const detail::InterfaceInfo& record : detail::K().interfaces) {
        records.push_back(InterfaceRecord{record.link, record.guid, record.pdo, record.enabled});
    }
    return records;
}

std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    std::vector<std::pair<std::u16string, std::u16string>> links;
    for (const auto& [key, value] : detail::K().links)
        links.push_back(value);
    return links;
}

std::optional<std::u16string> SymbolicLinkTarget(const std::u16string& link) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    auto it = detail::K().links.find(detail::NameKey(link));
    if (it == detail::K().links.end())
        return std::nullopt;
    return it->second.second;
}

ULONG ReportedDevicePowerState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::DeviceInfo* info = detail::FindDeviceLocked(device);
    return info ? info->devicePower : 0;
}

ULONG ReportedSystemPowerState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::DeviceInfo* info = detail::FindDeviceLocked(device);
    return info ? info->systemPower : 0;
}

void FailAllocationAt(unsigned n) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().failAllocationAt = n == 0 ? 0 : detail::K().allocationCount + n;
}

unsigned AllocationCount() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    return detail::K().allocationCount;
}

std::vector<PoolBlock> OutstandingPool() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    std::vector<PoolBlock> blocks;
    for (const auto& [block, info] : detail::K().pool)
        blocks.push_back(PoolBlock{info.size, info.tag, info.type});
    return blocks;
}

void TrimPoolRecords() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().poolHistory.clear();
    detail::K().poolHistory.shrink_to_fit();
    detail::K().freedPool.clear();
}

std::vector<PoolBlock> AllocationHistory() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    return detail::K().poolHistory;
}

void SetIoCreateDeviceHook(
    std::function<std::optional<NTSTATUS>(const std::u16string& name)> hook) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().createDeviceHook = std::move(hook);
}

void FailNextAttach() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().failNextAttach = true;
}

void FailInterfaceRegistration(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().failInterfaceRegistration = status;
}

void FailNextIrpAllocation() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().failNextIrpAllocation = true;
}

void FailNextWorkItemAllocation() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().failNextWorkItemAllocation = true;
}

void FailNextMdlMapping() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().failNextMdlMapping = true;
}

void FailNextPowerRequest(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    detail::K().failNextPowerRequest = status;
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const std::u16string& fileName) {
    auto file = static_cast<PFILE_OBJECT>(
        std::calloc(1, sizeof(FILE_OBJECT) + (fileName.size() + 1) * sizeof(WCHAR)));
    auto name = reinterpret_cast<PWSTR>(file + 1);
    memcpy(name, fileName.c_str(), (fileName.size() + 1) * sizeof(WCHAR));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->FileName.Buffer = name;
    file->FileName.Length = static_cast<USHORT>(fileName.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = static_cast<USHORT>((fileName.size() + 1) * sizeof(WCHAR));
    file->Event.Header.Type = NotificationEvent;
    file->Lock.Header.Type = SynchronizationEvent;
    ObfReferenceObject(device);
    std::lock_guard<std::mutex> lock(detail::K().mu);
    if (detail::DeviceInfo* info = detail::FindDeviceLocked(device))
        ++info->fileReferences;
    detail::K().files.insert(file);
    return file;
}

void ReleaseFileObject(PFILE_OBJECT file) {
    PDEVICE_OBJECT device = file->DeviceObject;
    {
        std::lock_guard<std::mutex> lock(detail::K().mu);
        if (!detail::K().files.erase(file))
            return;
        if (detail::DeviceInfo* info = detail::FindDeviceLocked(device))
            --info->fileReferences;
    }
    ObfDereferenceObject(device);
    memset(file, 0xDF, sizeof(FILE_OBJECT));
    std::free(file);
}

} // namespace kstandin
