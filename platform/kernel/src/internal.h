// Internal state shared by the parts of the kernel stand-in.
#pragma once

#include <kstandin/kernel.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kstandin::detail {

// --- verifier
void Report(verifier::Rule rule, const std::string& message);
// Reports IrqlTooHigh when the caller's IRQL is above `max`; returns false then.
bool CheckIrql(KIRQL max, const char* routine);
std::string Hex(uint64_t value);
std::string Describe(PDEVICE_OBJECT device);

// --- per-thread IRQL and spin locks held
KIRQL CurrentIrql();
void SetIrql(KIRQL irql);
size_t HeldSpinLockCount();
bool HoldsCancelSpinLock();
// Memory that held spin locks is freed: the order seen between them no longer says anything.
void ForgetLocksIn(const void* begin, size_t size);

// --- names: case-insensitive keys; "\DosDevices\" and "\GLOBAL??\" become "\??\"
std::u16string NameKey(const std::u16string& name);
std::u16string NormalizeLinkName(const std::u16string& name);
std::u16string FromUnicodeString(PCUNICODE_STRING s);

// --- devices
struct DeviceInfo {
    std::unique_ptr<unsigned char[]> storage;
    size_t storageSize = 0;
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;
    bool deletePending = false;
    bool isPdo = false;
    unsigned pdoIndex = 0;
    std::u16string instanceId; // test PDOs: device instance ID, interface links are named from it
    BusDispatch busDispatch;
    std::optional<DEVICE_CAPABILITIES> capabilities;
    std::vector<std::pair<UCHAR, UCHAR>> received; // test PDOs: requests that reached them
    std::vector<PIRP> pendingWaitWake;
    LONG fileReferences = 0;
    LONG workItemReferences = 0;
    ULONG devicePower = 0;
    ULONG systemPower = 0;
};

struct InterfaceInfo {
    std::u16string link; // "\??\..."
    std::u16string key;  // NameKey(link), kept so lookups need not rebuild it
    GUID guid;
    std::u16string referenceString;
    PDEVICE_OBJECT pdo;
    bool enabled = false;
};

struct PoolInfo {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    bool internal;
};

struct Kernel {
    ~Kernel();     // releases what the last test left, when the program ends
    std::mutex mu; // guards everything below; never held while driver code runs
    std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceInfo>> devices;
    std::map<std::u16string, PDEVICE_OBJECT> names; // key -> device
    std::map<std::u16string, std::pair<std::u16string, std::u16string>>
        links; // key -> (link, target)
    std::vector<InterfaceInfo> interfaces;          // in the order of registration
    std::map<std::u16string, size_t> interfaceByKey; // key -> index in interfaces
    std::set<PFILE_OBJECT> files;
    std::set<PDRIVER_OBJECT> drivers;
    unsigned nextPdoIndex = 0;

    std::unordered_map<void*, PoolInfo> pool;
    std::set<void*> freedPool;
    std::vector<PoolBlock> poolHistory;
    unsigned allocationCount = 0;
    unsigned failAllocationAt = 0; // absolute allocation number, 0 = off

    ULONG versionMajor = 10, versionMinor = 0, versionBuild = 19045;
    NTSTATUS versionResult = STATUS_SUCCESS;
    std::atomic<ULONGLONG> tickCount{0};

    std::function<std::optional<NTSTATUS>(const std::u16string&)> createDeviceHook;
    bool failNextAttach = false;
    std::optional<NTSTATUS> failInterfaceRegistration;
    bool failNextIrpAllocation = false;
    bool failNextWorkItemAllocation = false;
    bool failNextMdlMapping = false;
    std::optional<NTSTATUS> failNextPowerRequest;
    ULONG lastMappingPriority = 0;
};
Kernel& K();

DeviceInfo* FindDeviceLocked(PDEVICE_OBJECT device);
void FreeDeviceLocked(DeviceInfo* info);
PDEVICE_OBJECT AttachedTopLocked(PDEVICE_OBJECT device);
PDRIVER_OBJECT BusDriver();

// --- pool used by the stand-in itself for blocks it hands to drivers (interface names, strings)
void* AllocateInternalPool(size_t size, ULONG tag);
void ResetPool();
// Driver allocations (pool_faults.cpp): images whose allocations count, and the count itself.
void RegisterDriverImage(const void* someAddressInIt);
void UnregisterDriverImage(const void* someAddressInIt);
// Counts an allocation whose caller lies in a driver image; true when it is the one to fail.
bool CountDriverAllocation(const void* caller);
void ResetDriverAllocationFaults();

// --- requests
enum class IrpOrigin { Driver, Threaded, IoManager, Power };
PIRP AllocateIrpInternal(CCHAR stackSize, IrpOrigin origin);
void SetIrpDoneHandler(PIRP irp, std::function<void(PIRP)> handler);
void ResetIrps();
unsigned CountOutstandingIrps();
unsigned CheckIrpsAtTeardown();
// A device is deleted: requests that sit at it, or that will call a completion routine of its
// driver with it, are findings.
void CheckIrpsAtDeviceDeletion(PDEVICE_OBJECT device);
// The driver unloads: requests it allocated and never freed, and power requests still in flight,
// are findings.
void CheckIrpsAtUnload();
void FreeIrpBuffers(PIRP irp);
// The system buffer of a buffered request: not zeroed, as pool is not; the input is copied over
// the start. Freed with the request.
void* AllocateSystemBuffer(size_t length, const void* input, size_t inputLength);
// The I/O manager's copy back of a buffered request: Information bytes whenever the status is not
// an error; more than the caller's buffer holds is a finding (and only what fits is copied).
void CopyBufferedOutput(PIRP irp, void* output, size_t outputLength);
// IoCancelIrp on behalf of an application; the request stays valid until the call returns.
bool CancelIrpForIoManager(PIRP irp); // system buffer and MDL chain the I/O manager attached

// --- cancel-safe queues: completing a request still queued is a finding
void CheckQueuedAtCompletion(PIRP irp);
void ResetQueuedIrps();

// --- threads
void ResetThreads();
// Runs fn at PASSIVE_LEVEL on a thread of its own; WaitForWorkItems waits for it.
void QueueAtPassiveLevel(std::function<void()> fn);
// Sends a power request to the top of a stack as the power manager does: later, at PASSIVE_LEVEL
// to a pageable stack (DO_POWER_PAGABLE at its top), at either level to a non-pageable one.
void DeliverPowerRequest(PDEVICE_OBJECT target, PIRP irp);

// --- strings
void* AllocateStringBuffer(size_t bytes);

} // namespace kstandin::detail
