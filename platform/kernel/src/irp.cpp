// Requests: allocation, IoCallDriver, completion with its routines, cancel, threaded requests,
// MDLs, and the power manager's requests. The verifier's request rules are checked here.
#include "internal.h"

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KS_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define KS_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define KS_POISON(address, size) ((void)(address), (void)(size))
#define KS_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

using namespace kstandin;
using namespace kstandin::detail;
using Rule = verifier::Rule;

namespace {

constexpr unsigned char kFreedIrpFill = 0xE5;
// What a system buffer holds before the driver writes it: a tail the driver reports but never
// wrote reaches the caller as these bytes, as stale kernel memory would on Windows.
constexpr unsigned char kSystemBufferFill = 0xB9;
constexpr size_t kQuarantineSize = 256;

// RoutineRunning: a completion routine has the request; it may hand it to another thread, which
// may complete it again before the routine has even returned.
enum class IrpState { Idle, InProgress, Completing, RoutineRunning, Held, Done, Freed };

struct Visit {
    CCHAR index;
    PDEVICE_OBJECT device;
    bool walked = false;
    bool markedPending = false;
    bool returned = false;
    NTSTATUS returnedStatus = 0;
};

struct IrpInfo {
    PIRP irp = nullptr;
    size_t size = 0;
    IrpOrigin origin = IrpOrigin::Driver;
    IrpState state = IrpState::Idle;
    unsigned generation = 0; // changes whenever the request is sent or completed
    std::vector<Visit> visits;
    std::set<PDEVICE_OBJECT> poStarted;
    bool power = false;
    std::function<void(PIRP)> onDone;
    unsigned pins = 0; // the I/O manager is cancelling it: its memory must stay
    bool freeWhenUnpinned = false;
    // Threaded requests: where the I/O manager copies the result.
    void* outputBuffer = nullptr;
    ULONG outputLength = 0;
    bool buffered = false; // METHOD_BUFFERED or a buffered read: the output is copied back
    // What the request was when it was first sent, for the rules about its final status.
    bool sent = false;
    UCHAR major = 0;
    UCHAR minor = 0;
    POWER_STATE_TYPE powerType = SystemPowerState;
};

std::mutex irpMutex;
std::unordered_map<PIRP, std::shared_ptr<IrpInfo>> irps;
std::deque<std::shared_ptr<IrpInfo>> quarantine;

std::shared_ptr<IrpInfo> Find(PIRP irp) {
    std::lock_guard<std::mutex> lock(irpMutex);
    auto it = irps.find(irp);
    return it == irps.end() ? nullptr : it->second;
}

PIO_STACK_LOCATION FirstLocation(PIRP irp) {
    // One spare location sits below the first, so that a driver that sets up a next location on
    // the last one writes into the spare instead of into the request.
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1;
}

std::string IrpName(PIRP irp) {
    return "IRP " + Hex(reinterpret_cast<uintptr_t>(irp));
}

std::string MajorName(UCHAR major) {
    static const char* names[] = {"CREATE",
                                  "CREATE_NAMED_PIPE",
                                  "CLOSE",
                                  "READ",
                                  "WRITE",
                                  "QUERY_INFORMATION",
                                  "SET_INFORMATION",
                                  "QUERY_EA",
                                  "SET_EA",
                                  "FLUSH_BUFFERS",
                                  "QUERY_VOLUME_INFORMATION",
                                  "SET_VOLUME_INFORMATION",
                                  "DIRECTORY_CONTROL",
                                  "FILE_SYSTEM_CONTROL",
                                  "DEVICE_CONTROL",
                                  "INTERNAL_DEVICE_CONTROL",
                                  "SHUTDOWN",
                                  "LOCK_CONTROL",
                                  "CLEANUP",
                                  "CREATE_MAILSLOT",
                                  "QUERY_SECURITY",
                                  "SET_SECURITY",
                                  "POWER",
                                  "SYSTEM_CONTROL",
                                  "DEVICE_CHANGE",
                                  "QUERY_QUOTA",
                                  "SET_QUOTA",
                                  "PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? std::string("IRP_MJ_") + names[major]
                                            : "major " + std::to_string(major);
}

void InitializeIrpMemory(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    // Clears the spare location and all stack locations as well (the layout has one more than
    // IoSizeOfIrp counts).
    memset(irp, 0, sizeof(IRP) + (static_cast<size_t>(stackSize) + 1) * sizeof(IO_STACK_LOCATION));
    irp->Type = IO_TYPE_IRP;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = FirstLocation(irp) + stackSize;
}

// The pending check needs both the dispatch routine's result and the mark its stack location
// carried when completion passed it; whichever comes second decides.
void CheckPending(const Visit& visit, PIRP irp,
                  std::vector<std::pair<Rule, std::string>>& findings) {
    if (!visit.walked || !visit.returned)
        return;
    std::string where = Describe(visit.device) + " (" + IrpName(irp) + ")";
    if (visit.returnedStatus == STATUS_PENDING && !visit.markedPending) {
        findings.push_back(
            {Rule::PendingReturnedWithoutMark,
             "the dispatch routine of " + where +
                 " returned STATUS_PENDING but its stack location was not marked pending"});
    } else if (visit.returnedStatus != STATUS_PENDING && visit.markedPending) {
        findings.push_back(
            {Rule::PendingMarkedButNotReturned, "the dispatch routine of " + where +
                                                    " marked the IRP pending but returned " +
                                                    Hex(static_cast<ULONG>(visit.returnedStatus))});
    }
}

// System mappings of MDLs: MDL -> (address, length).
std::mutex mappingMutex;
std::map<PMDL, std::pair<const char*, size_t>> mappings;

void AddMapping(PMDL mdl) {
    std::lock_guard<std::mutex> lock(mappingMutex);
    mappings[mdl] = {static_cast<const char*>(mdl->MappedSystemVa), mdl->ByteCount};
}

void RemoveMapping(PMDL mdl) {
    std::lock_guard<std::mutex> lock(mappingMutex);
    mappings.erase(mdl);
}

// Set by PoCallDriver for the IoCallDriver it makes.
thread_local bool sendingWithPoCallDriver = false;

// Statuses with which a request that must not fail may still end: there is no device any more.
bool DeviceIsGone(NTSTATUS status) {
    return status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING ||
           status == STATUS_DEVICE_NOT_CONNECTED;
}

// Windows lets no driver fail a removal, a surprise removal or the cancel of a stop or removal
// query, nor a set-power request (a driver refuses a power change in the query before it).
void CheckMustNotFail(const IrpInfo& info, NTSTATUS status,
                      std::vector<std::pair<Rule, std::string>>& findings) {
    if (!info.sent || !NT_ERROR(status) || DeviceIsGone(status))
        return;
    std::string what;
    if (info.major == IRP_MJ_PNP) {
        switch (info.minor) {
        case IRP_MN_REMOVE_DEVICE:
            what = "IRP_MN_REMOVE_DEVICE";
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            what = "IRP_MN_SURPRISE_REMOVAL";
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            what = "IRP_MN_CANCEL_STOP_DEVICE";
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            what = "IRP_MN_CANCEL_REMOVE_DEVICE";
            break;
        default:
            return;
        }
    } else if (info.major == IRP_MJ_POWER && info.minor == IRP_MN_SET_POWER) {
        what = info.powerType == SystemPowerState ? "system IRP_MN_SET_POWER"
                                                  : "device IRP_MN_SET_POWER";
    } else {
        return;
    }
    findings.push_back(
        {Rule::RequestMustNotFail,
         what + " (" + IrpName(info.irp) + ") ended with " + Hex(static_cast<ULONG>(status))});
}

// A function or filter driver completes a start only after the drivers below it have started the
// device: the device below the completer must have had the request and finished it.
void CheckStartCompletion(PIRP irp, IrpInfo& info) {
    if (irp->CurrentLocation > irp->StackCount)
        return;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        if (!info.sent || info.major != IRP_MJ_PNP || info.minor != IRP_MN_START_DEVICE)
            return;
    }
    PDEVICE_OBJECT completer = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    PDEVICE_OBJECT below = completer ? completer->DeviceObjectExtension->AttachedTo : nullptr;
    if (!below)
        return;
    bool finishedBelow = false;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        for (const Visit& visit : info.visits)
            finishedBelow = finishedBelow || (visit.device == below && visit.walked);
    }
    if (!finishedBelow) {
        Report(Rule::StartCompletedBeforeLowerDrivers,
               Describe(completer) + " completed IRP_MN_START_DEVICE (" + IrpName(irp) +
                   ") before " + Describe(below) + " below it had finished it");
    }
}

void ReportAll(const std::vector<std::pair<Rule, std::string>>& findings) {
    for (const auto& [rule, message] : findings)
        Report(rule, message);
}

void CheckPowerStarts(IrpInfo& info, std::vector<std::pair<Rule, std::string>>& findings) {
    if (!info.power)
        return;
    std::set<PDEVICE_OBJECT> reported;
    for (const Visit& visit : info.visits) {
        if (info.poStarted.count(visit.device) || !reported.insert(visit.device).second)
            continue;
        findings.push_back({Rule::PoStartNextPowerIrpMissing,
                            "the driver of " + Describe(visit.device) +
                                " completed or passed on power " + IrpName(info.irp) +
                                " without calling PoStartNextPowerIrp"});
    }
}

// Frees a request's memory after poisoning it; the entry stays known for a while so that a later
// use of the stale pointer is recognised as such.
void QuarantineLocked(const std::shared_ptr<IrpInfo>& info) {
    info->state = IrpState::Freed;
    ++info->generation;
    memset(info->irp, kFreedIrpFill, info->size);
    KS_POISON(info->irp, info->size);
    quarantine.push_back(info);
}

std::vector<std::shared_ptr<IrpInfo>> EvictLocked(size_t keep) {
    std::vector<std::shared_ptr<IrpInfo>> evicted;
    while (quarantine.size() > keep) {
        evicted.push_back(quarantine.front());
        quarantine.pop_front();
        irps.erase(evicted.back()->irp);
    }
    return evicted;
}

void ReleaseEvicted(const std::vector<std::shared_ptr<IrpInfo>>& evicted) {
    for (const auto& info : evicted) {
        KS_UNPOISON(info->irp, info->size);
        auto bytes = reinterpret_cast<const unsigned char*>(info->irp);
        bool intact = true;
        for (size_t i = 0; i < info->size && intact; ++i)
            intact = bytes[i] == kFreedIrpFill;
        if (!intact) {
            Report(Rule::IrpTouchedAfterCompletion,
                   IrpName(info->irp) + " was written after it had been completed and freed");
        }
        std::free(info->irp);
    }
}

void Quarantine(const std::shared_ptr<IrpInfo>& info) {
    std::vector<std::shared_ptr<IrpInfo>> evicted;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        QuarantineLocked(info);
        evicted = EvictLocked(kQuarantineSize);
    }
    ReleaseEvicted(evicted);
}

// A request the I/O manager is cancelling is freed when the cancel returns.
void QuarantineUnlessPinned(const std::shared_ptr<IrpInfo>& info) {
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        if (info->pins > 0) {
            info->freeWhenUnpinned = true;
            return;
        }
    }
    Quarantine(info);
}

// What the I/O manager does once a request it built has completed: copy the results for the
// requester, release the buffers it attached, signal, and free the request.
void FinishThreaded(PIRP irp, IrpInfo& info) {
    if (info.buffered)
        CopyBufferedOutput(irp, info.outputBuffer, info.outputLength);
    FreeIrpBuffers(irp);
    if (irp->UserIosb)
        *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent)
        KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
}

void CompletePastTop(PIRP irp, const std::shared_ptr<IrpInfo>& info) {
    std::vector<std::pair<Rule, std::string>> findings;
    std::function<void(PIRP)> onDone;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        info->state = IrpState::Done;
        ++info->generation;
        CheckPowerStarts(*info, findings);
        CheckMustNotFail(*info, irp->IoStatus.Status, findings);
        onDone = info->onDone;
    }
    ReportAll(findings);
    switch (info->origin) {
    case IrpOrigin::Threaded:
        FinishThreaded(irp, *info);
        QuarantineUnlessPinned(info);
        break;
    case IrpOrigin::IoManager:
        if (onDone)
            onDone(irp);
        FreeIrpBuffers(irp);
        QuarantineUnlessPinned(info);
        break;
    case IrpOrigin::Driver:
    case IrpOrigin::Power:
        Report(Rule::InvalidParameter,
               IrpName(irp) + " from IoAllocateIrp completed past its top stack location: "
                              "the allocating driver's completion routine must return "
                              "STATUS_MORE_PROCESSING_REQUIRED and free it");
        break;
    }
}

struct PowerRequest {
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT target;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

} // namespace

namespace kstandin::detail {
void DeliverPowerRequest(PDEVICE_OBJECT target, PIRP irp) {
    if (!(target->Flags & DO_POWER_PAGABLE) && CompleteLater()) {
        QueueAtDispatchLevel([target, irp] { PoCallDriver(target, irp); });
    } else {
        QueueAtPassiveLevel([target, irp] { PoCallDriver(target, irp); });
    }
}
} // namespace kstandin::detail

namespace {

NTSTATUS NTAPI PowerRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto request = static_cast<PowerRequest*>(Context);
    std::vector<std::pair<Rule, std::string>> findings;
    if (std::shared_ptr<IrpInfo> info = Find(Irp)) {
        std::lock_guard<std::mutex> lock(irpMutex);
        CheckPowerStarts(*info, findings);
        CheckMustNotFail(*info, Irp->IoStatus.Status, findings);
    }
    ReportAll(findings);
    ObfDereferenceObject(request->target);
    if (request->completion) {
        request->completion(request->device, request->minor, request->state, request->context,
                            &Irp->IoStatus);
    }
    delete request;
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN CancelLiveIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, static_cast<BOOLEAN>(TRUE), __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                : nullptr;
    routine(device, Irp); // releases the cancel spin lock
    if (HoldsCancelSpinLock()) {
        Report(Rule::CancelSpinLockNotReleased,
               "the cancel routine of " + IrpName(Irp) +
                   " returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

} // namespace

namespace kstandin::detail {

PIRP AllocateIrpInternal(CCHAR stackSize, IrpOrigin origin) {
    if (stackSize < 1)
        stackSize = 1;
    size_t size = sizeof(IRP) + (static_cast<size_t>(stackSize) + 1) * sizeof(IO_STACK_LOCATION);
    auto irp = static_cast<PIRP>(std::aligned_alloc(16, (size + 15) & ~size_t(15)));
    InitializeIrpMemory(irp, IoSizeOfIrp(stackSize), stackSize);
    auto info = std::make_shared<IrpInfo>();
    info->irp = irp;
    info->size = size;
    info->origin = origin;
    std::lock_guard<std::mutex> lock(irpMutex);
    irps[irp] = info;
    return irp;
}

void SetIrpDoneHandler(PIRP irp, std::function<void(PIRP)> handler) {
    std::shared_ptr<IrpInfo> info = Find(irp);
    std::lock_guard<std::mutex> lock(irpMutex);
    info->onDone = std::move(handler);
}

void FreeIrpBuffers(PIRP irp) {
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
        std::free(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        irp->Flags &= ~IRP_DEALLOCATE_BUFFER;
    }
}

void* AllocateSystemBuffer(size_t length, const void* input, size_t inputLength) {
    void* buffer = std::malloc(length ? length : 1);
    memset(buffer, kSystemBufferFill, length);
    if (input && inputLength)
        memcpy(buffer, input, inputLength);
    return buffer;
}

void CopyBufferedOutput(PIRP irp, void* output, size_t outputLength) {
    NTSTATUS status = irp->IoStatus.Status;
    if (NT_ERROR(status))
        return;
    size_t count = irp->IoStatus.Information;
    if (count > outputLength) {
        Report(Rule::InformationExceedsBuffer,
               IrpName(irp) + " completed with status " + Hex(static_cast<ULONG>(status)) +
                   " and Information " + std::to_string(count) + " for a caller's buffer of " +
                   std::to_string(outputLength) + " bytes");
        count = outputLength;
    }
    if (count && output && irp->AssociatedIrp.SystemBuffer)
        memcpy(output, irp->AssociatedIrp.SystemBuffer, count);
}

void ResetIrps() {
    ResetQueuedIrps();
    std::vector<std::shared_ptr<IrpInfo>> evicted;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        evicted = EvictLocked(0);
        // Requests still in flight are forgotten with their memory: the test that left them has
        // been told by its teardown check.
        for (auto& [irp, info] : irps)
            std::free(irp);
        irps.clear();
    }
    ReleaseEvicted(evicted);
}

unsigned CountOutstandingIrps() {
    std::lock_guard<std::mutex> lock(irpMutex);
    unsigned count = 0;
    for (const auto& [irp, info] : irps) {
        if (info->origin != IrpOrigin::Driver && info->state != IrpState::Done &&
            info->state != IrpState::Freed)
            ++count;
    }
    return count;
}

unsigned CheckIrpsAtTeardown() {
    std::vector<std::pair<Rule, std::string>> findings;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        for (const auto& [irp, info] : irps) {
            if (info->state == IrpState::Held) {
                findings.push_back(
                    {Rule::MoreProcessingNeverCompleted,
                     IrpName(irp) + " (" +
                         MajorName(irp->Tail.Overlay.CurrentStackLocation->MajorFunction) +
                         ") was held by a completion routine returning "
                         "STATUS_MORE_PROCESSING_REQUIRED "
                         "and never completed or freed"});
            } else if (info->origin != IrpOrigin::Driver &&
                       (info->state == IrpState::InProgress ||
                        info->state == IrpState::Completing ||
                        info->state == IrpState::RoutineRunning)) {
                PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
                findings.push_back({Rule::IrpOutstandingAtTeardown,
                                    IrpName(irp) + " (" + MajorName(location->MajorFunction) +
                                        " minor " + std::to_string(location->MinorFunction) +
                                        ") is still in flight at " +
                                        Describe(location->DeviceObject)});
            }
        }
    }
    ReportAll(findings);
    return static_cast<unsigned>(findings.size());
}

void CheckIrpsAtDeviceDeletion(PDEVICE_OBJECT device) {
    std::vector<std::pair<Rule, std::string>> findings;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        for (const auto& [irp, info] : irps) {
            if (info->state == IrpState::Idle || info->state == IrpState::Done ||
                info->state == IrpState::Freed)
                continue;
            // The request's owner may be moving it on another thread meanwhile.
            CHAR current = __atomic_load_n(&irp->CurrentLocation, __ATOMIC_ACQUIRE);
            PIO_STACK_LOCATION currentLocation =
                __atomic_load_n(&irp->Tail.Overlay.CurrentStackLocation, __ATOMIC_ACQUIRE);
            bool atDevice = current <= irp->StackCount &&
                            __atomic_load_n(&currentLocation->DeviceObject, __ATOMIC_ACQUIRE) == device;
            bool routineToCome = false;
            for (const Visit& visit : info->visits) {
                if (visit.device != device || visit.walked || visit.index <= 1 ||
                    current >= visit.index)
                    continue;
                // The routine this device's driver set sits in the location below its own.
                PIO_STACK_LOCATION below = FirstLocation(irp) + (visit.index - 2);
                routineToCome = routineToCome || below->CompletionRoutine != nullptr;
            }
            if (atDevice || routineToCome) {
                findings.push_back({Rule::IrpOutstandingAtDeletion,
                                    IrpName(irp) + " (" + MajorName(info->major) +
                                        ") is still in flight " +
                                        (atDevice ? "at " : "with a completion routine for ") +
                                        Describe(device) + ", which is being deleted"});
            }
        }
    }
    ReportAll(findings);
}

void CheckIrpsAtUnload() {
    std::vector<std::pair<Rule, std::string>> findings;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        for (const auto& [irp, info] : irps) {
            if (info->state == IrpState::Freed || info->state == IrpState::Done)
                continue;
            if (info->origin == IrpOrigin::Driver) {
                findings.push_back({Rule::IrpOutstandingAtDeletion,
                                    IrpName(irp) +
                                        " from IoAllocateIrp is still allocated when the driver "
                                        "unloads"});
            } else if (info->origin == IrpOrigin::Power && info->state != IrpState::Idle) {
                findings.push_back({Rule::IrpOutstandingAtDeletion,
                                    "power " + IrpName(irp) + " (minor " +
                                        std::to_string(info->minor) +
                                        ") is still in flight when the driver unloads"});
            }
        }
    }
    ReportAll(findings);
}

bool CancelIrpForIoManager(PIRP irp) {
    std::shared_ptr<IrpInfo> info = Find(irp);
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        if (!info || info->state == IrpState::Done || info->state == IrpState::Freed)
            return false;
        ++info->pins;
    }
    BOOLEAN cancelled = CancelLiveIrp(irp);
    bool free;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        free = --info->pins == 0 && info->freeWhenUnpinned;
    }
    if (free)
        Quarantine(info);
    return cancelled != FALSE;
}

} // namespace kstandin::detail

namespace {
// Requests left in quarantine by the last test are released when the program ends.
struct ReleaseAtExit {
    ~ReleaseAtExit() { kstandin::detail::ResetIrps(); }
} releaseAtExit;
} // namespace

namespace kstandin::verifier {
void FlushFreedIrps() {
    std::vector<std::shared_ptr<IrpInfo>> evicted;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        evicted = EvictLocked(0);
    }
    ReleaseEvicted(evicted);
}
} // namespace kstandin::verifier

namespace kstandin {
unsigned OutstandingIrps() {
    return detail::CountOutstandingIrps();
}
} // namespace kstandin

extern "C" {

void kstandin_CheckNextStackLocation(PIRP Irp) {
    if (Irp->CurrentLocation <= 1) {
        Report(Rule::StackLocationOverflow,
               "a next stack location was set up on the last stack location of " + IrpName(Irp) +
                   " (StackCount " + std::to_string(Irp->StackCount) + ")");
    }
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    {
        std::lock_guard<std::mutex> lock(K().mu);
        if (K().failNextIrpAllocation) {
            K().failNextIrpAllocation = false;
            return nullptr;
        }
    }
    return AllocateIrpInternal(StackSize, IrpOrigin::Driver);
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::shared_ptr<IrpInfo> info = Find(Irp);
    if (!info) {
        Report(Rule::InvalidParameter,
               "IoInitializeIrp on memory the stand-in did not allocate as a request");
        return;
    }
    if (sizeof(IRP) + (static_cast<size_t>(StackSize) + 1) * sizeof(IO_STACK_LOCATION) >
        info->size) {
        Report(Rule::InvalidParameter,
               "IoInitializeIrp with more stack locations than the request was allocated with");
        return;
    }
    InitializeIrpMemory(Irp, PacketSize, StackSize);
    std::lock_guard<std::mutex> lock(irpMutex);
    info->state = IrpState::Idle;
    info->visits.clear();
    info->poStarted.clear();
    info->power = false;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeIrp");
    std::shared_ptr<IrpInfo> info = Find(Irp);
    std::string problem;
    if (!info) {
        problem = "IoFreeIrp of " + IrpName(Irp) + ", which is not a request";
    } else {
        std::lock_guard<std::mutex> lock(irpMutex);
        if (info->state == IrpState::Freed) {
            problem = "IoFreeIrp of " + IrpName(Irp) + ", which was already freed";
        } else if (info->state == IrpState::InProgress) {
            problem = "IoFreeIrp of " + IrpName(Irp) + " while a lower driver still owns it";
        } else if ((info->origin == IrpOrigin::IoManager) ||
                   (info->origin == IrpOrigin::Threaded && info->state != IrpState::Idle)) {
            problem = "IoFreeIrp of " + IrpName(Irp) + ", which belongs to the I/O manager";
        }
    }
    if (!problem.empty()) {
        Report(info ? Rule::IrpTouchedAfterCompletion : Rule::InvalidParameter, problem);
        return;
    }
    Quarantine(info);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    std::shared_ptr<IrpInfo> info = Find(Irp);
    if (!info || info->state == IrpState::Freed) {
        Report(Rule::IrpTouchedAfterCompletion,
               "IoReuseIrp of " + IrpName(Irp) + ", which is not a live request");
        return;
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrpMemory(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    std::lock_guard<std::mutex> lock(irpMutex);
    info->state = IrpState::Idle;
    ++info->generation;
    info->visits.clear();
    info->poStarted.clear();
    info->power = false;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoCallDriver");
    std::shared_ptr<IrpInfo> info = Find(Irp);
    if (!info) {
        Report(Rule::InvalidParameter,
               "IoCallDriver with " + IrpName(Irp) + ", which is not a request");
        return STATUS_INVALID_PARAMETER;
    }
    enum class Verdict { Send, Finished, Overflow } verdict = Verdict::Send;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        if (info->state == IrpState::Done || info->state == IrpState::Freed) {
            verdict = Verdict::Finished;
        } else if (Irp->CurrentLocation <= 1) {
            verdict = Verdict::Overflow;
        } else {
            info->state = IrpState::InProgress;
            ++info->generation;
        }
    }
    if (verdict == Verdict::Finished) {
        Report(Rule::IrpTouchedAfterCompletion, "IoCallDriver to " + Describe(DeviceObject) +
                                                    " with " + IrpName(Irp) +
                                                    ", which was already completed");
        return STATUS_INVALID_PARAMETER;
    }
    if (verdict == Verdict::Overflow) {
        Report(Rule::StackLocationOverflow,
               "IoCallDriver to " + Describe(DeviceObject) + " past the last stack location of " +
                   IrpName(Irp) + " (StackCount " + std::to_string(Irp->StackCount) + ")");
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> lock(K().mu);
        DeviceInfo* device = FindDeviceLocked(DeviceObject);
        if (!device) {
            Report(Rule::InvalidParameter, "IoCallDriver to " +
                                               Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                               ", which is not a device object");
            return STATUS_INVALID_PARAMETER;
        }
    }
    kstandin_MoveStackLocation(Irp, -1);
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    __atomic_store_n(&location->DeviceObject, DeviceObject, __ATOMIC_RELEASE);
    UCHAR major = location->MajorFunction;
    size_t visitIndex;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        info->visits.push_back(Visit{Irp->CurrentLocation, DeviceObject});
        visitIndex = info->visits.size() - 1;
        if (major == IRP_MJ_POWER)
            info->power = true;
    }
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        Report(Rule::InvalidParameter,
               IrpName(Irp) + " sent with major function " + std::to_string(major));
        return STATUS_INVALID_PARAMETER;
    }
    bool viaPoCallDriver = sendingWithPoCallDriver;
    sendingWithPoCallDriver = false;
    if (major == IRP_MJ_POWER && !viaPoCallDriver && !SystemVersionAtLeast(6, 0)) {
        Report(Rule::PowerIrpNotSentWithPoCallDriver,
               IrpName(Irp) + " sent to " + Describe(DeviceObject) +
                   " with IoCallDriver; before system version 6.0 power requests must go "
                   "through PoCallDriver");
    }
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        if (!info->sent) {
            info->sent = true;
            info->major = major;
            info->minor = location->MinorFunction;
            if (major == IRP_MJ_POWER)
                info->powerType = location->Parameters.Power.Type;
        }
    }
    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[major];
    KIRQL irql = CurrentIrql();
    size_t locks = HeldSpinLockCount();
    NTSTATUS status = routine(DeviceObject, Irp);
    if (CurrentIrql() != irql || HeldSpinLockCount() != locks) {
        Report(Rule::IrqlChangedAcrossDispatch,
               "the " + MajorName(major) + " dispatch routine of " + Describe(DeviceObject) +
                   " was entered at IRQL " + std::to_string(irql) + " and returned at IRQL " +
                   std::to_string(CurrentIrql()) +
                   (HeldSpinLockCount() != locks ? " holding a spin lock" : ""));
        SetIrql(irql);
    }
    std::vector<std::pair<Rule, std::string>> findings;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        Visit& visit = info->visits[visitIndex];
        visit.returned = true;
        visit.returnedStatus = status;
        CheckPending(visit, Irp, findings);
    }
    ReportAll(findings);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    CheckIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    std::shared_ptr<IrpInfo> info = Find(Irp);
    if (!info) {
        Report(Rule::InvalidParameter,
               "IoCompleteRequest of " + IrpName(Irp) + ", which is not a request");
        return;
    }
    std::string twice;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        if (info->state == IrpState::Done || info->state == IrpState::Freed) {
            twice = IrpName(Irp) + " completed again after its completion had finished";
        } else if (info->state == IrpState::Completing) {
            twice = IrpName(Irp) + " completed while its completion is still going on";
        } else {
            info->state = IrpState::Completing;
            ++info->generation;
        }
    }
    if (!twice.empty()) {
        Report(Rule::IrpCompletedTwice, twice);
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Report(Rule::CompletedWithPendingStatus,
               IrpName(Irp) + " completed with IoStatus.Status STATUS_PENDING");
    }
    CheckStartCompletion(Irp, *info);
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        Report(Rule::CompletedWithCancelRoutine,
               IrpName(Irp) + " completed while its cancel routine is still set");
    }
    CheckQueuedAtCompletion(Irp);
    PIO_STACK_LOCATION first = FirstLocation(Irp);
    while (Irp->CurrentLocation <= Irp->StackCount) {
        CHAR index = Irp->CurrentLocation;
        PIO_STACK_LOCATION stackPointer = first + (index - 1);
        kstandin_MoveStackLocation(Irp, 1);
        bool marked = (stackPointer->Control & SL_PENDING_RETURNED) != 0;
        Irp->PendingReturned = marked;
        std::vector<std::pair<Rule, std::string>> findings;
        unsigned generation = 0;
        {
            std::lock_guard<std::mutex> lock(irpMutex);
            for (Visit& visit : info->visits) {
                if (visit.index != index || visit.walked)
                    continue;
                visit.walked = true;
                visit.markedPending = marked;
                CheckPending(visit, Irp, findings);
            }
        }
        ReportAll(findings);
        NTSTATUS status = Irp->IoStatus.Status;
        bool cancel = __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) != 0;
        UCHAR control = stackPointer->Control;
        bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                      (cancel && (control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = stackPointer->CompletionRoutine;
        PVOID context = stackPointer->Context;
        stackPointer->MinorFunction = 0;
        stackPointer->Flags = 0;
        stackPointer->Control = 0;
        stackPointer->Parameters.Others = {};
        stackPointer->FileObject = nullptr;
        if (invoke && routine) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            {
                std::lock_guard<std::mutex> lock(irpMutex);
                info->state = IrpState::RoutineRunning;
                generation = info->generation;
            }
            KIRQL irql = CurrentIrql();
            NTSTATUS result = routine(device, Irp, context);
            if (CurrentIrql() != irql) {
                Report(Rule::IrqlChangedAcrossDispatch,
                       "a completion routine of " + IrpName(Irp) + " was entered at IRQL " +
                           std::to_string(irql) + " and returned at IRQL " +
                           std::to_string(CurrentIrql()));
                SetIrql(irql);
            }
            bool reused;
            {
                std::lock_guard<std::mutex> lock(irpMutex);
                reused = info->generation != generation;
                if (!reused) {
                    info->state = result == STATUS_MORE_PROCESSING_REQUIRED ? IrpState::Held
                                                                            : IrpState::Completing;
                }
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            if (reused) {
                Report(Rule::IrpCompletedTwice,
                       "a completion routine of " + IrpName(Irp) +
                           " sent on, completed or freed the request and then returned " +
                           Hex(static_cast<ULONG>(result)) +
                           " instead of STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    CompletePastTop(Irp, info);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoCancelIrp");
    std::shared_ptr<IrpInfo> info = Find(Irp);
    if (!info) {
        Report(Rule::InvalidParameter,
               "IoCancelIrp of " + IrpName(Irp) + ", which is not a request");
        return FALSE;
    }
    bool finished;
    {
        std::lock_guard<std::mutex> lock(irpMutex);
        finished = info->state == IrpState::Done || info->state == IrpState::Freed;
    }
    if (finished) {
        Report(Rule::IrpTouchedAfterCompletion,
               "IoCancelIrp of " + IrpName(Irp) + ", which was already completed");
        return FALSE;
    }
    return CancelLiveIrp(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    CheckIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    {
        std::lock_guard<std::mutex> lock(K().mu);
        if (K().failNextIrpAllocation) {
            K().failNextIrpAllocation = false;
            return nullptr;
        }
    }
    PIRP irp = AllocateIrpInternal(DeviceObject->StackSize, IrpOrigin::Threaded);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    std::shared_ptr<IrpInfo> info = Find(irp);
    switch (IoControlCode & 3) {
    case METHOD_BUFFERED: {
        ULONG length =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length) {
            irp->AssociatedIrp.SystemBuffer =
                AllocateSystemBuffer(length, InputBuffer, InputBuffer ? InputBufferLength : 0);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        info->outputBuffer = OutputBuffer;
        info->outputLength = OutputBuffer ? OutputBufferLength : 0;
        info->buffered = true;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer && InputBufferLength) {
            irp->AssociatedIrp.SystemBuffer =
                AllocateSystemBuffer(InputBufferLength, InputBuffer, InputBufferLength);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer && OutputBufferLength) {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            MmProbeAndLockPages(mdl, KernelMode,
                                (IoControlCode & 3) == METHOD_IN_DIRECT ? IoReadAccess
                                                                        : IoWriteAccess);
        }
        break;
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    CheckIrql(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    {
        std::lock_guard<std::mutex> lock(K().mu);
        if (K().failNextIrpAllocation) {
            K().failNextIrpAllocation = false;
            return nullptr;
        }
    }
    PIRP irp = AllocateIrpInternal(DeviceObject->StackSize, IrpOrigin::Threaded);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        if (StartingOffset)
            next->Parameters.Read.ByteOffset = *StartingOffset;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            bool write = MajorFunction == IRP_MJ_WRITE;
            irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(
                Length ? Length : 1, write ? Buffer : nullptr, write ? Length : 0);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (!write) {
                irp->Flags |= IRP_INPUT_OPERATION;
                std::shared_ptr<IrpInfo> info = Find(irp);
                info->outputBuffer = Buffer;
                info->outputLength = Length;
                info->buffered = true;
            }
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            if (Length) {
                PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp);
                MmProbeAndLockPages(mdl, KernelMode,
                                    MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
            }
        } else {
            irp->UserBuffer = Buffer;
        }
    }
    return irp;
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    (void)ChargeQuota;
    CheckIrql(DISPATCH_LEVEL, "IoAllocateMdl");
    auto mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    if (Irp) {
        if (SecondaryBuffer) {
            PMDL* link = &Irp->MdlAddress;
            while (*link)
                link = &(*link)->Next;
            *link = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeMdl");
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        Report(Rule::MdlMisuse,
               "IoFreeMdl of an MDL whose pages are still locked (MmUnlockPages first)");
    }
    RemoveMapping(Mdl);
    memset(Mdl, 0xDF, sizeof(MDL));
    std::free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    AddMapping(MemoryDescriptorList);
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation) {
    (void)AccessMode;
    CheckIrql(DISPATCH_LEVEL, "MmProbeAndLockPages");
    if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) {
        Report(Rule::MdlMisuse, "MmProbeAndLockPages of an MDL that is already locked");
    }
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess)
        MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        Report(Rule::MdlMisuse, "MmUnlockPages of an MDL that is not locked");
    }
    MemoryDescriptorList->MdlFlags &=
        ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
    MemoryDescriptorList->MappedSystemVa = nullptr;
    RemoveMapping(MemoryDescriptorList);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
    (void)CacheType;
    CheckIrql(AccessMode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL,
              "MmMapLockedPagesSpecifyCache");
    if (AccessMode != KernelMode || RequestedAddress) {
        Report(Rule::InvalidParameter,
               "MmMapLockedPagesSpecifyCache into user space is not modelled");
        return nullptr;
    }
    if (!(MemoryDescriptorList->MdlFlags &
          (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
        Report(Rule::MdlMisuse,
               "MmMapLockedPagesSpecifyCache of an MDL whose pages are not locked");
    }
    if ((Priority & MdlMappingNoExecute) && !SystemVersionAtLeast(6, 2)) {
        Report(Rule::UnsupportedOnSystemVersion,
               "MmMapLockedPagesSpecifyCache with MdlMappingNoExecute, which exists from system "
               "version 6.2 on");
    }
    {
        std::lock_guard<std::mutex> lock(K().mu);
        K().lastMappingPriority = Priority;
        if (K().failNextMdlMapping) {
            K().failNextMdlMapping = false;
            if (BugCheckOnFailure)
                Report(Rule::InvalidParameter, "a failed mapping with BugCheckOnFailure set");
            return nullptr;
        }
    }
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    AddMapping(MemoryDescriptorList);
    return MemoryDescriptorList->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ||
        BaseAddress != MemoryDescriptorList->MappedSystemVa) {
        Report(Rule::MdlMisuse, "MmUnmapLockedPages of an address the MDL is not mapped at");
    }
    MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    RemoveMapping(MemoryDescriptorList);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
    CheckIrql(DISPATCH_LEVEL, "PoRequestPowerIrp");
    {
        std::lock_guard<std::mutex> lock(K().mu);
        if (K().failNextPowerRequest) {
            NTSTATUS status = *K().failNextPowerRequest;
            K().failNextPowerRequest.reset();
            return status;
        }
    }
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE && MinorFunction != IRP_MN_POWER_SEQUENCE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(DeviceObject);
    // The power manager keeps the top stack location for itself; its completion routine calls the
    // requester's function and frees the request.
    PIRP irp = AllocateIrpInternal(static_cast<CCHAR>(target->StackSize + 1), IrpOrigin::Power);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = DeviceObject;
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
    IoGetCurrentIrpStackLocation(irp)->MinorFunction = MinorFunction;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else if (MinorFunction != IRP_MN_POWER_SEQUENCE) {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    auto request = new PowerRequest{DeviceObject,       target, MinorFunction, PowerState,
                                    CompletionFunction, Context};
    IoSetCompletionRoutine(irp, PowerRequestCompletion, request, TRUE, TRUE, TRUE);
    if (Irp)
        *Irp = irp;
    // Never inside the call: the power manager sends the request from a thread of its own, at
    // PASSIVE_LEVEL to a pageable stack, possibly at DISPATCH_LEVEL to a non-pageable one.
    DeliverPowerRequest(target, irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp->CurrentLocation > 1 && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        Report(Rule::InvalidParameter, "PoCallDriver with a request that is not IRP_MJ_POWER");
    }
    sendingWithPoCallDriver = true;
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    std::shared_ptr<IrpInfo> info = Find(Irp);
    bool live = false;
    if (info) {
        // Another thread may be completing the request at this moment.
        std::lock_guard<std::mutex> lock(irpMutex);
        live = info->state != IrpState::Freed && info->state != IrpState::Done;
    }
    if (!live) {
        Report(Rule::IrpTouchedAfterCompletion,
               "PoStartNextPowerIrp with " + IrpName(Irp) + ", which is not a live request");
        return;
    }
    if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount)
        return; // counts for no driver
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->MajorFunction != IRP_MJ_POWER) {
        Report(Rule::InvalidParameter,
               "PoStartNextPowerIrp with " + IrpName(Irp) + ", which is not a power request");
        return;
    }
    std::lock_guard<std::mutex> lock(irpMutex);
    info->poStarted.insert(location->DeviceObject);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    CheckIrql(DISPATCH_LEVEL, "PoSetPowerState");
    POWER_STATE previous{};
    std::lock_guard<std::mutex> lock(K().mu);
    DeviceInfo* info = FindDeviceLocked(DeviceObject);
    if (!info)
        return previous;
    if (Type == DevicePowerState) {
        previous.DeviceState = static_cast<DEVICE_POWER_STATE>(info->devicePower);
        info->devicePower = State.DeviceState;
    } else {
        previous.SystemState = static_cast<SYSTEM_POWER_STATE>(info->systemPower);
        info->systemPower = State.SystemState;
    }
    return previous;
}

} // extern "C"

namespace kstandin {
bool IsNonPagedSystemMemory(const void* address, size_t length) {
    auto begin = static_cast<const char*>(address);
    auto within = [&](const char* start, size_t size) {
        return begin >= start && begin + length <= start + size;
    };
    {
        std::lock_guard<std::mutex> lock(mappingMutex);
        for (const auto& [mdl, range] : mappings) {
            if (within(range.first, range.second))
                return true;
        }
    }
    std::lock_guard<std::mutex> lock(K().mu);
    for (const auto& [block, info] : K().pool) {
        bool paged = (info.type & 1) != 0 && info.type != NonPagedPoolNx;
        if (!paged && within(static_cast<const char*>(block), info.size))
            return true;
    }
    for (const auto& [device, info] : K().devices) {
        auto extension = static_cast<const char*>(device->DeviceExtension);
        if (!extension || info->deletePending)
            continue;
        size_t offset = static_cast<size_t>(extension - reinterpret_cast<const char*>(device));
        if (within(extension, info->storageSize - offset))
            return true;
    }
    return false;
}

ULONG LastMappingPriority() {
    std::lock_guard<std::mutex> lock(detail::K().mu);
    return detail::K().lastMappingPriority;
}
} // namespace kstandin
