// Test-facing interface of the kernel stand-in: driver loading, the Plug and Play and power
// managers' requests, the I/O manager's requests on behalf of applications, the name space,
// fault injection, and the driver verifier.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kstandin {

// Fresh kernel state for a test: name space, interfaces, links, pool accounting, injected faults,
// version (10.0 build 19045), tick count (0), verifier findings, power-state records. Waits for
// queued work items and the dispatch-level thread to go idle first.
void ResetKernel();
void SetOsVersion(ULONG major, ULONG minor, NTSTATUS result = STATUS_SUCCESS, ULONG build = 19045);
void SetTickCount(ULONGLONG ticks);                  // what KeQueryTickCount returns from now on
bool SystemVersionAtLeast(ULONG major, ULONG minor); // the version SetOsVersion set
void AdvanceTickCount(ULONGLONG ticks);

class LoadedDriver {
  public:
    // Loads a fresh copy of the shared object (copied to a unique temporary file, dlopen with
    // RTLD_NOW | RTLD_LOCAL, so every load has fresh globals), creates the DRIVER_OBJECT with every
    // MajorFunction set to the I/O manager's handler that completes with
    // STATUS_INVALID_DEVICE_REQUEST, and calls DriverEntry(driverObject, &registryPath).
    // Returns null with *error set when the load fails (an unresolved symbol is named in it).
    // A DriverEntry that fails is unloaded at once without DriverUnload, as Windows does, after the
    // unload checks (pool and device objects left behind); null is returned, *entryStatus set.
    static std::unique_ptr<LoadedDriver> Load(const std::string& sharedObjectPath,
                                              const std::u16string& registryPath,
                                              NTSTATUS* entryStatus, std::string* error = nullptr);
    // The same for a driver whose routines live in the test program itself.
    static std::unique_ptr<LoadedDriver>
    FromEntry(PDRIVER_INITIALIZE entry, const std::u16string& registryPath, NTSTATUS* entryStatus);
    ~LoadedDriver(); // Unload() if not yet done
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    PDRIVER_OBJECT Object() const;
    void* Symbol(const char* name) const;   // dlsym in the loaded copy (extern "C" globals)
    NTSTATUS AddDevice(PDEVICE_OBJECT pdo); // the PnP manager's call of DriverExtension->AddDevice
    // Calls DriverUnload if set, checks that the driver left no device object, no pool, no held
    // request and no queued work item behind (verifier findings), then unloads the copy.
    void Unload();
    bool IsUnloaded() const;

    struct Impl;

  private:
    explicit LoadedDriver(std::unique_ptr<Impl> impl);
    static std::unique_ptr<LoadedDriver> Finish(std::unique_ptr<Impl> impl,
                                                PDRIVER_INITIALIZE entry,
                                                const std::u16string& registryPath,
                                                NTSTATUS* entryStatus);
    std::unique_ptr<Impl> impl_;
};

// The physical device object of a test bus driver. By default it completes IRP_MJ_PNP and
// IRP_MJ_POWER (calling PoStartNextPowerIrp) with STATUS_SUCCESS, keeping Information, except that
// IRP_MN_QUERY_CAPABILITIES fills a plausible table and other PnP codes it does not handle keep
// their status; everything else is completed with STATUS_NOT_SUPPORTED. A handler replaces that:
// it must complete or pend the request itself and return the status, as a bus driver's dispatch
// routine does.
struct PdoOptions {
    ULONG flags = 0;     // e.g. DO_POWER_PAGABLE
    std::u16string name; // empty: "\Device\KsBusPdo-<n>"
    // Device instance ID, e.g. "USB\VID_2A4B&PID_0002\KS0001"; empty: "KSBUS\PDO\<n>". Interface
    // links are named from it as Windows names them: "\??\" + the ID with '\' turned into '#',
    // then "#" and the class GUID.
    std::u16string instanceId;
};
using BusDispatch = std::function<NTSTATUS(PDEVICE_OBJECT pdo, PIRP irp)>;
PDEVICE_OBJECT CreateTestPdo(const PdoOptions& options = {});
void SetPdoDispatch(PDEVICE_OBJECT pdo, BusDispatch dispatch);
void SetPdoCapabilities(PDEVICE_OBJECT pdo,
                        const DEVICE_CAPABILITIES& capabilities); // what the default answers
std::vector<std::pair<UCHAR, UCHAR>>
PdoRequests(PDEVICE_OBJECT pdo); // (major, minor) of every request it got
// The default PDO holds IRP_MN_WAIT_WAKE until this completes it (the device signalled wake-up)
// or it is cancelled; returns false when none is held.
bool CompleteWaitWake(PDEVICE_OBJECT pdo, NTSTATUS status = STATUS_SUCCESS);
void DeleteTestPdo(PDEVICE_OBJECT pdo);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device); // the highest device attached above it

// Requests of the I/O manager. StartIrp builds a request with the stack size of `target`, fills
// the first stack location (major, minor, file object, then whatever `fill` sets) and sends it;
// the I/O manager frees it (and the MDL and system buffer it attached) when it completes.
struct IrpResult {
    NTSTATUS returned = STATUS_PENDING; // what IoCallDriver returned
    NTSTATUS status = STATUS_PENDING;   // IoStatus.Status at completion
    ULONG_PTR information = 0;          // IoStatus.Information at completion
    bool completed = false;
};
class IoRequest {
  public:
    virtual ~IoRequest() = default;
    // Waits for completion; false when the time-out passed first (the request stays in flight).
    virtual bool Wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt) = 0;
    virtual bool Cancel() = 0; // IoCancelIrp, if it is still in flight
    virtual IrpResult Result() const = 0;
    virtual PIRP Irp() const = 0; // valid only while in flight
    // Calls `done` once with the final result, in the completing thread (which may be the
    // dispatch-level thread), or at once in this thread if the request has completed already.
    // The I/O manager's part of completing a user-mode request (status block, event).
    virtual void OnCompletion(std::function<void(const IrpResult&)> done) = 0;
};
using IrpFill = std::function<void(PIRP, PIO_STACK_LOCATION)>;
std::shared_ptr<IoRequest> StartIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0,
                                    const IrpFill& fill = {}, PFILE_OBJECT file = nullptr);
// Synchronous form: sends and waits (with no time-out unless one is given; after a time-out the
// result has completed == false and status STATUS_TIMEOUT, and the request stays in flight).
IrpResult SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0, const IrpFill& fill = {},
                  PFILE_OBJECT file = nullptr,
                  std::optional<std::chrono::milliseconds> timeout = std::nullopt);
// Describes `buffer` with a locked MDL in irp->MdlAddress (direct I/O); freed with the request.
void AttachMdl(PIRP irp, void* buffer, ULONG length);

// Files, as the I/O manager opens them for applications. The path is resolved through symbolic
// links ("\??\..." or "\DosDevices\..." and interface links) to a device name; what follows the
// device's name becomes the file object's FileName, and IRP_MJ_CREATE goes to the top of the
// device's stack. CloseFile sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE and releases the file object.
struct OpenResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PFILE_OBJECT file = nullptr;
};
OpenResult OpenFile(const std::u16string& path);
// Sends IRP_MJ_CLEANUP; IRP_MJ_CLOSE follows once the last request on the file has completed,
// as on Windows: at once when none is in flight, else later from a passive-level thread of its
// own (WaitForDeferredCloses waits for those). The file object is released after the close.
void CloseFile(PFILE_OBJECT file);
void WaitForDeferredCloses();
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const std::u16string& fileName); // no IRP sent
void ReleaseFileObject(PFILE_OBJECT file);
// Read, write and device control as the I/O manager builds them for the device's I/O method
// (DO_DIRECT_IO: an MDL unless the length is 0; DO_BUFFERED_IO: a system buffer; else UserBuffer).
std::shared_ptr<IoRequest> StartRead(PFILE_OBJECT file, void* buffer, ULONG length);
std::shared_ptr<IoRequest> StartWrite(PFILE_OBJECT file, const void* buffer, ULONG length);
std::shared_ptr<IoRequest> StartDeviceControl(PFILE_OBJECT file, ULONG code, const void* input,
                                              ULONG inputLength, void* output, ULONG outputLength,
                                              bool internal = false);
IrpResult Read(PFILE_OBJECT file, void* buffer, ULONG length);
IrpResult Write(PFILE_OBJECT file, const void* buffer, ULONG length);
IrpResult DeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                        void* output, ULONG outputLength);

// Plug and Play manager: each call sends the request to the top of the PDO's stack and returns its
// final status. After Remove the stack above the PDO is expected to be gone.
namespace pnp {
NTSTATUS Start(PDEVICE_OBJECT pdo);
NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
NTSTATUS Stop(PDEVICE_OBJECT pdo);
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
NTSTATUS Remove(PDEVICE_OBJECT pdo);
// Fills *capabilities as the PnP manager prepares it (Size 64, Version 1, Address and UINumber
// 0xFFFFFFFF) unless `prepare` changes it, sends the query and returns the structure in
// *capabilities.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities,
                           const std::function<void(DEVICE_CAPABILITIES&)>& prepare = {});
IrpResult Send(PDEVICE_OBJECT pdo, UCHAR minor, const IrpFill& fill = {});
} // namespace pnp

// Power manager: system power requests to the top of the PDO's stack, as the power manager sends
// them (asynchronous forms return the request; synchronous forms wait for its completion).
namespace power {
std::shared_ptr<IoRequest> StartSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor,
                                              SYSTEM_POWER_STATE state);
NTSTATUS SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
NTSTATUS QuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state); // through PoRequestPowerIrp
NTSTATUS QueryDevicePower(PDEVICE_OBJECT pdo,
                          DEVICE_POWER_STATE state); // through PoRequestPowerIrp
} // namespace power

// Name space
bool DeviceNameExists(const std::u16string& name); // e.g. u"\\Device\\trelvousb0"
PDEVICE_OBJECT FindDevice(const std::u16string& name);
std::u16string DeviceName(PDEVICE_OBJECT device);
struct InterfaceRecord {
    std::u16string symbolicLink;
    GUID interfaceClass;
    PDEVICE_OBJECT pdo;
    bool enabled;
};
std::vector<InterfaceRecord> DeviceInterfaces();
// Links as "\??\name" -> target; "\DosDevices\x" and "\??\x" name the same link.
std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks();
std::optional<std::u16string> SymbolicLinkTarget(const std::u16string& link);
ULONG ReportedDevicePowerState(
    PDEVICE_OBJECT device); // last PoSetPowerState(DevicePowerState); 0 if none
ULONG ReportedSystemPowerState(PDEVICE_OBJECT device);

// Fault injection and pool accounting
void FailAllocationAt(
    unsigned n);            // the n-th ExAllocatePoolWithTag from now on (1-based) fails; 0 = off
unsigned AllocationCount(); // allocations since ResetKernel
struct PoolBlock {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
};
std::vector<PoolBlock> OutstandingPool();   // blocks allocated and not freed
std::vector<PoolBlock> AllocationHistory(); // every allocation since ResetKernel
// The same counted over the driver's own allocations only: those made from the code of a driver
// image loaded with LoadedDriver::Load, and those a support routine makes for it under a
// PoolCallerScope. The test's pool and the stand-ins' never shift the numbering, so a run of a
// scenario numbers the driver's allocations alike every time. The n-th from now on (1-based) fails
// once; 0 = off.
void FailDriverAllocationAt(unsigned n);
unsigned DriverAllocationCount();      // the driver's allocations since ResetKernel
bool DriverAllocationFailurePending(); // set with FailDriverAllocationAt and not reached yet
// A support routine that allocates for its caller (USBD_CreateConfigurationRequestEx) names the
// caller for the time it allocates, so that the allocation counts as the caller's.
class PoolCallerScope {
  public:
    explicit PoolCallerScope(const void* caller);
    ~PoolCallerScope();
    PoolCallerScope(const PoolCallerScope&) = delete;
    PoolCallerScope& operator=(const PoolCallerScope&) = delete;

  private:
    const void* previous_;
};
void SetIoCreateDeviceHook(std::function<std::optional<NTSTATUS>(const std::u16string& name)> hook);
void FailNextAttach(); // the next IoAttachDeviceToDeviceStack returns null
void FailInterfaceRegistration(NTSTATUS status); // the next IoRegisterDeviceInterface fails with it
void FailNextIrpAllocation();                    // the next IoAllocateIrp / IoBuild... returns null
void FailNextWorkItemAllocation();               // the next IoAllocateWorkItem returns null
void FailNextMdlMapping();                  // the next MmMapLockedPagesSpecifyCache returns null
void FailNextPowerRequest(NTSTATUS status); // the next PoRequestPowerIrp fails with it
ULONG LastMappingPriority();                // Priority of the last MmMapLockedPagesSpecifyCache
// Long runs that load a driver once and drive it for millions of devices (the fuzzers): forgets
// the allocation history and the addresses of freed blocks, which otherwise grow with every
// allocation. Live blocks, the allocation count and injected faults are kept; a later free of a
// forgotten block is still a finding (an unknown pointer instead of a double free).
void TrimPoolRecords();
// Whether [address, address + length) lies in non-paged system memory: a live non-paged pool
// block, a device extension, or the system mapping of an MDL (mapped and not yet unmapped, or
// built for non-paged pool). Stacks and user buffers are not.
bool IsNonPagedSystemMemory(const void* address, size_t length);

// Threads: run a function on one of the kernel's two dispatch-level threads (two processors) at
// DISPATCH_LEVEL, as a DPC would. Queued routines start in order; two may run at the same time.
void RunAtDispatchLevel(const std::function<void()>& fn); // and wait for it
void QueueAtDispatchLevel(std::function<void()> fn);      // without waiting
void WaitForDispatchQueue();                              // until everything queued has run
// Calls `hook` in every thread that is about to take a spin lock with KeAcquireSpinLockRaiseToDpc,
// before it takes it and at its IRQL, so that a test can stop a routine at a chosen lock (and
// release it later) while it runs other requests beside it. An empty function removes it;
// ResetKernel does too.
void SetSpinLockAcquireHook(std::function<void(PKSPIN_LOCK)> hook);

// Whether the lower stand-ins (the test bus, the USB bus and their cancel routines) complete a
// request inside the call that hands it to them or later from a dispatch-level thread. Random by
// default: each request draws from a generator started at RandomStart(), which comes from the
// environment variable KSTANDIN_RANDOM_START when set (to replay a run) and is printed by the
// test fixture. ResetKernel restarts the generator and sets Random again.
enum class LowerCompletion { Random, AtOnce, Later };
void SetLowerCompletion(LowerCompletion mode);
bool CompleteLater(); // the next choice
uint64_t RandomStart();
void WaitForWorkItems(); // until no work item is queued or running
// Until the dispatch-level threads, work items, the power manager's threads and deferred closes
// are all idle, none of them handing new work to another.
void WaitUntilQuiet();
unsigned OutstandingIrps(); // requests built by the I/O or power manager and not completed yet

namespace verifier {
enum class Rule {
    IrpCompletedTwice,
    IrpTouchedAfterCompletion,
    PendingReturnedWithoutMark,
    PendingMarkedButNotReturned,
    CompletedWithPendingStatus,
    CompletedWithCancelRoutine,
    MoreProcessingNeverCompleted,
    StackLocationOverflow,
    IrqlChangedAcrossDispatch,
    IrqlTooHigh,
    WaitAtRaisedIrql,
    SpinLockReleasedAtWrongIrql,
    SpinLockNotHeld,
    SpinLockReleasedOutOfOrder,
    SpinLockAcquiredRecursively,
    LockOrderInversion,
    PoStartNextPowerIrpMissing,
    PoolWrongTag,
    PoolDoubleFree,
    PoolUnknownPointer,
    PoolZeroSize,
    PoolLeftAtUnload,
    AddDeviceLeftInitializing,
    DeviceDeletedWhileAttached,
    DeletedDeviceStillReferenced,
    DeviceLeftAtUnload,
    ReferenceCountNegative,
    IrpOutstandingAtTeardown,
    WorkItemMisuse,
    MdlMisuse,
    InformationExceedsBuffer,
    UnsupportedOnSystemVersion,
    CancelSpinLockNotReleased,
    PowerIrpNotSentWithPoCallDriver,
    RequestMustNotFail,
    StartCompletedBeforeLowerDrivers,
    IrpOutstandingAtDeletion,
    BufferNotNonPaged,
    InvalidParameter,
    IrpCompletedWhileQueued,
    UrbReservedNotZero,
};
const char* RuleName(Rule rule);
struct Finding {
    Rule rule;
    std::string message;
};
// Default handler: print "driver verifier: <rule>: <message>" to stderr and abort().
void SetHandler(std::function<void(const Finding&)> handler);
std::vector<Finding> Findings();
void ClearFindings();
// Checks what must be quiet between tests: requests held after STATUS_MORE_PROCESSING_REQUIRED or
// still in flight, and freed requests written after they were freed. Reported as findings;
// returns how many.
unsigned CheckTeardown();
// Freed requests are kept poisoned for a while so that late uses are recognised; this releases
// them now, reporting any that was written after it was freed.
void FlushFreedIrps();
// Reports a finding as the kernel's own checks do (for the other stand-ins' rules).
void ReportFinding(Rule rule, const std::string& message);
} // namespace verifier

// Text helpers for tests (WCHAR strings are 16 bits; never hand them to wide libc functions).
std::string Narrow(const std::u16string& text);
std::u16string ToU16(const UNICODE_STRING& text);
std::u16string ToU16(const WCHAR* text);

} // namespace kstandin
