// The test-facing side: driver loading, the test bus driver and its PDOs, the I/O manager's
// requests for applications, and the Plug and Play and power managers' requests.
#include "internal.h"

#include <dlfcn.h>
#include <algorithm>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

using namespace kstandin;
using namespace kstandin::detail;
using Rule = verifier::Rule;

namespace {

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct DriverObjectStorage {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
};

std::unique_ptr<DriverObjectStorage> MakeDriverObject(const std::u16string& name) {
    auto storage = std::make_unique<DriverObjectStorage>();
    storage->name = name;
    DRIVER_OBJECT& object = storage->object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &storage->extension;
    storage->extension.DriverObject = &object;
    object.DriverName.Buffer = reinterpret_cast<PWSTR>(storage->name.data());
    object.DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    object.DriverName.MaximumLength = object.DriverName.Length;
    for (PDRIVER_DISPATCH& entry : object.MajorFunction)
        entry = InvalidDeviceRequest;
    return storage;
}

// --- the test bus driver

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completes now or, as CompleteLater() chooses, later from a dispatch-level thread; a dispatch
// routine returns what this returns.
NTSTATUS CompleteNowOrLater(PIRP irp, NTSTATUS status) {
    if (!CompleteLater())
        return CompleteWith(irp, status);
    IoMarkIrpPending(irp);
    QueueAtDispatchLevel([irp, status] { CompleteWith(irp, status); });
    return STATUS_PENDING;
}

VOID NTAPI CancelWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        if (DeviceInfo* info = FindDeviceLocked(DeviceObject)) {
            auto& pending = info->pendingWaitWake;
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (*it == Irp) {
                    pending.erase(it);
                    found = true;
                    break;
                }
            }
        }
    }
    if (!found)
        return;
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    // The request is pending already: later means after IoCancelIrp has returned.
    if (CompleteLater()) {
        QueueAtDispatchLevel([Irp] { CompleteWith(Irp, STATUS_CANCELLED); });
    } else {
        CompleteWith(Irp, STATUS_CANCELLED);
    }
}

void DefaultCapabilities(DEVICE_CAPABILITIES& caps) {
    caps.DeviceD2 = 1;
    caps.WakeFromD2 = 1;
    caps.Removable = 1;
    caps.UniqueID = 1;
    caps.Address = 1;
    caps.UINumber = 1;
    caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
        caps.DeviceState[s] = PowerDeviceD3;
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.SystemWake = PowerSystemSleeping3;
    caps.DeviceWake = PowerDeviceD2;
}

NTSTATUS DefaultBusDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_PNP) {
        switch (location->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
            std::optional<DEVICE_CAPABILITIES> configured;
            {
                std::lock_guard<std::mutex> lock(K().mu);
                configured = FindDeviceLocked(pdo)->capabilities;
            }
            USHORT size = caps->Size, version = caps->Version;
            if (configured) {
                *caps = *configured;
            } else {
                DefaultCapabilities(*caps);
            }
            caps->Size = size;
            caps->Version = version;
            return CompleteNowOrLater(irp, STATUS_SUCCESS);
        }
        case IRP_MN_REMOVE_DEVICE: {
            std::vector<PIRP> waiting;
            {
                std::lock_guard<std::mutex> lock(K().mu);
                waiting.swap(FindDeviceLocked(pdo)->pendingWaitWake);
            }
            for (PIRP wake : waiting) {
                if (IoSetCancelRoutine(wake, nullptr)) {
                    PoStartNextPowerIrp(wake);
                    CompleteWith(wake, STATUS_NO_SUCH_DEVICE);
                }
            }
            return CompleteNowOrLater(irp, STATUS_SUCCESS);
        }
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            return CompleteNowOrLater(irp, STATUS_SUCCESS);
        default:
            // Not handled: the status stays as it came.
            return CompleteNowOrLater(irp, irp->IoStatus.Status);
        }
    }
    if (location->MajorFunction == IRP_MJ_POWER) {
        if (location->MinorFunction == IRP_MN_WAIT_WAKE) {
            IoMarkIrpPending(irp);
            {
                std::lock_guard<std::mutex> lock(K().mu);
                FindDeviceLocked(pdo)->pendingWaitWake.push_back(irp);
            }
            IoSetCancelRoutine(irp, CancelWaitWake);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
                IoSetCancelRoutine(irp, nullptr)) {
                {
                    std::lock_guard<std::mutex> lock(K().mu);
                    auto& pending = FindDeviceLocked(pdo)->pendingWaitWake;
                    pending.erase(std::remove(pending.begin(), pending.end(), irp), pending.end());
                }
                PoStartNextPowerIrp(irp);
                CompleteWith(irp, STATUS_CANCELLED);
            }
            return STATUS_PENDING;
        }
        PoStartNextPowerIrp(irp);
        if (location->MinorFunction == IRP_MN_SET_POWER ||
            location->MinorFunction == IRP_MN_QUERY_POWER) {
            return CompleteNowOrLater(irp, STATUS_SUCCESS);
        }
        return CompleteNowOrLater(irp, irp->IoStatus.Status);
    }
    irp->IoStatus.Information = 0;
    return CompleteWith(irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS NTAPI BusDispatchEntry(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BusDispatch handler;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        DeviceInfo* info = FindDeviceLocked(DeviceObject);
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        info->received.emplace_back(location->MajorFunction, location->MinorFunction);
        handler = info->busDispatch;
    }
    return handler ? handler(DeviceObject, Irp) : DefaultBusDispatch(DeviceObject, Irp);
}

std::unique_ptr<DriverObjectStorage>& BusDriverStorage() {
    static std::unique_ptr<DriverObjectStorage> storage;
    return storage;
}

// --- requests of the I/O manager

class Request : public IoRequest {
  public:
    bool Wait(std::optional<std::chrono::milliseconds> timeout) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!timeout) {
            condition_.wait(lock, [this] { return result_.completed; });
            return true;
        }
        return condition_.wait_for(lock, *timeout, [this] { return result_.completed; });
    }
    bool Cancel() override {
        PIRP irp;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (result_.completed)
                return false;
            irp = irp_;
        }
        return CancelIrpForIoManager(irp);
    }
    IrpResult Result() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return result_;
    }
    PIRP Irp() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return result_.completed ? nullptr : irp_;
    }

    void OnCompletion(std::function<void(const IrpResult&)> done) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!result_.completed) {
            onCompletion_ = std::move(done);
            return;
        }
        IrpResult result = result_;
        lock.unlock();
        done(result);
    }

    void Done(PIRP irp) {
        if (copyBack_)
            CopyBufferedOutput(irp, copyTo_, copyLength_);
        std::function<void(const IrpResult&)> onCompletion;
        IrpResult result;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            result_.status = irp->IoStatus.Status;
            result_.information = irp->IoStatus.Information;
            result_.completed = true;
            condition_.notify_all();
            onCompletion = std::move(onCompletion_);
            result = result_;
        }
        if (onCompletion)
            onCompletion(result);
    }
    void SetReturned(NTSTATUS status) {
        std::lock_guard<std::mutex> lock(mutex_);
        result_.returned = status;
    }
    void SetIrp(PIRP irp) { irp_ = irp; }
    void CopyBackTo(void* buffer, size_t length) {
        copyBack_ = true;
        copyTo_ = buffer;
        copyLength_ = length;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable condition_;
    IrpResult result_;
    PIRP irp_ = nullptr;
    bool copyBack_ = false;
    void* copyTo_ = nullptr;
    size_t copyLength_ = 0;
    std::function<void(const IrpResult&)> onCompletion_;
};

// --- files: every request on a file holds it; IRP_MJ_CLOSE goes out when the last one is done.
struct FileState {
    unsigned inFlight = 0;
    bool closePending = false;
};
std::mutex filesMutex;
std::condition_variable filesCondition;
std::map<PFILE_OBJECT, FileState> fileStates;
std::vector<std::thread> closeThreads;
unsigned closesRunning = 0;

void SendClose(PFILE_OBJECT file);

void FileRequestStarted(PFILE_OBJECT file) {
    std::lock_guard<std::mutex> lock(filesMutex);
    ++fileStates[file].inFlight;
}

// The I/O manager drops the request's reference on the file object; the last one after the
// cleanup sends the close, at passive level, in a thread of its own.
void FileRequestDone(PFILE_OBJECT file) {
    std::lock_guard<std::mutex> lock(filesMutex);
    FileState& state = fileStates[file];
    if (--state.inFlight != 0 || !state.closePending)
        return;
    state.closePending = false;
    ++closesRunning;
    closeThreads.emplace_back([file] {
        SendClose(file);
        std::lock_guard<std::mutex> again(filesMutex);
        --closesRunning;
        filesCondition.notify_all();
    });
}

std::shared_ptr<Request> Build(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, PFILE_OBJECT file,
                               PIRP* irpOut) {
    auto request = std::make_shared<Request>();
    PIRP irp = AllocateIrpInternal(target->StackSize, IrpOrigin::IoManager);
    request->SetIrp(irp);
    if (file && major != IRP_MJ_CLOSE) {
        FileRequestStarted(file);
        // The file's count drops before the requester hears of the completion, so that a
        // close the requester sends next finds no request in flight.
        SetIrpDoneHandler(irp, [request, file](PIRP done) {
            FileRequestDone(file);
            request->Done(done);
        });
    } else {
        SetIrpDoneHandler(irp, [request](PIRP done) { request->Done(done); });
    }
    bool application = major == IRP_MJ_CREATE || major == IRP_MJ_READ || major == IRP_MJ_WRITE ||
                       major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_CLEANUP ||
                       major == IRP_MJ_CLOSE;
    irp->RequestorMode = application ? UserMode : KernelMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER)
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->MinorFunction = minor;
    location->FileObject = file;
    *irpOut = irp;
    return request;
}

std::shared_ptr<IoRequest> Send(PDEVICE_OBJECT target, const std::shared_ptr<Request>& request,
                                PIRP irp) {
    KIRQL irql = CurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        Report(Rule::IrqlTooHigh, "an application request sent at IRQL " + std::to_string(irql));
    }
    bool power = IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
    request->SetReturned(power ? PoCallDriver(target, irp) : IofCallDriver(target, irp));
    return request;
}

PDEVICE_OBJECT RelatedDevice(PFILE_OBJECT file) {
    return IoGetAttachedDevice(file->DeviceObject);
}

void SendClose(PFILE_OBJECT file) {
    kstandin::SendIrp(RelatedDevice(file), IRP_MJ_CLOSE, 0, {}, file);
    {
        std::lock_guard<std::mutex> lock(filesMutex);
        fileStates.erase(file);
    }
    kstandin::ReleaseFileObject(file);
}

void AttachUserBuffer(PIRP irp, PDEVICE_OBJECT device, void* buffer, ULONG length, bool toDevice,
                      const std::shared_ptr<Request>& request) {
    if (device->Flags & DO_BUFFERED_IO) {
        irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(
            length ? length : 1, toDevice ? buffer : nullptr, toDevice ? length : 0);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (!toDevice) {
            irp->Flags |= IRP_INPUT_OPERATION;
            request->CopyBackTo(buffer, length);
        }
    } else if (device->Flags & DO_DIRECT_IO) {
        if (length)
            AttachMdl(irp, buffer, length);
    } else {
        irp->UserBuffer = buffer;
    }
}

} // namespace

namespace kstandin::detail {
PDRIVER_OBJECT BusDriver() {
    auto& storage = BusDriverStorage();
    if (!storage) {
        storage = MakeDriverObject(u"\\Driver\\KsBus");
        for (PDRIVER_DISPATCH& entry : storage->object.MajorFunction)
            entry = BusDispatchEntry;
    }
    return &storage->object;
}
} // namespace kstandin::detail

// ---------------------------------------------------------------------------------------------

namespace kstandin {

struct LoadedDriver::Impl {
    std::unique_ptr<DriverObjectStorage> driver;
    void* handle = nullptr;
    std::filesystem::path copyDirectory;
    std::u16string registryPath;
    UNICODE_STRING registryString{};
    bool entrySucceeded = false;
    bool unloaded = false;
    const void* entryAddress = nullptr; // inside the image: names it for the pool fault counter
};

LoadedDriver::LoadedDriver(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

LoadedDriver::~LoadedDriver() {
    if (impl_ && !impl_->unloaded)
        Unload();
}

namespace {
std::unique_ptr<LoadedDriver::Impl> Enter(std::unique_ptr<LoadedDriver::Impl> impl,
                                          PDRIVER_INITIALIZE entry,
                                          const std::u16string& registryPath,
                                          NTSTATUS* entryStatus) {
    impl->registryPath = registryPath;
    impl->registryString.Buffer = reinterpret_cast<PWSTR>(impl->registryPath.data());
    impl->registryString.Length = static_cast<USHORT>(registryPath.size() * sizeof(WCHAR));
    impl->registryString.MaximumLength =
        static_cast<USHORT>(impl->registryString.Length + sizeof(WCHAR));
    impl->driver->object.DriverInit = entry;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        K().drivers.insert(&impl->driver->object);
    }
    KIRQL irql = CurrentIrql();
    NTSTATUS status = entry(&impl->driver->object, &impl->registryString);
    if (CurrentIrql() != irql) {
        Report(Rule::IrqlChangedAcrossDispatch,
               "DriverEntry returned at IRQL " + std::to_string(CurrentIrql()));
        SetIrql(irql);
    }
    impl->entrySucceeded = NT_SUCCESS(status);
    if (entryStatus)
        *entryStatus = status;
    return impl;
}
} // namespace

std::unique_ptr<LoadedDriver> LoadedDriver::Load(const std::string& sharedObjectPath,
                                                 const std::u16string& registryPath,
                                                 NTSTATUS* entryStatus, std::string* error) {
    namespace fs = std::filesystem;
    auto impl = std::make_unique<Impl>();
    std::string pattern = (fs::temp_directory_path() / "kstandin-driver-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        if (error)
            *error = "cannot create a temporary directory for the driver copy";
        return nullptr;
    }
    impl->copyDirectory = pattern;
    fs::path copy = impl->copyDirectory / fs::path(sharedObjectPath).filename();
    std::error_code copyError;
    fs::copy_file(sharedObjectPath, copy, copyError);
    if (copyError) {
        if (error)
            *error = "cannot copy " + sharedObjectPath + ": " + copyError.message();
        fs::remove_all(impl->copyDirectory);
        return nullptr;
    }
    impl->handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!impl->handle) {
        // A kernel routine the stand-in lacks shows up here as "undefined symbol: <name>".
        if (error)
            *error = dlerror();
        fs::remove_all(impl->copyDirectory);
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(impl->handle, "DriverEntry"));
    if (!entry) {
        if (error)
            *error = "the driver exports no DriverEntry";
        dlclose(impl->handle);
        fs::remove_all(impl->copyDirectory);
        return nullptr;
    }
    std::u16string name = u"\\Driver\\";
    for (char c : fs::path(sharedObjectPath).stem().string())
        name += static_cast<char16_t>(c);
    impl->driver = MakeDriverObject(name);
    impl->driver->object.DriverStart = impl->handle;
    impl->entryAddress = reinterpret_cast<const void*>(entry);
    detail::RegisterDriverImage(impl->entryAddress);
    return Finish(std::move(impl), entry, registryPath, entryStatus);
}

std::unique_ptr<LoadedDriver> LoadedDriver::FromEntry(PDRIVER_INITIALIZE entry,
                                                      const std::u16string& registryPath,
                                                      NTSTATUS* entryStatus) {
    auto impl = std::make_unique<Impl>();
    impl->driver = MakeDriverObject(u"\\Driver\\KsTestDriver");
    return Finish(std::move(impl), entry, registryPath, entryStatus);
}

std::unique_ptr<LoadedDriver> LoadedDriver::Finish(std::unique_ptr<Impl> impl,
                                                   PDRIVER_INITIALIZE entry,
                                                   const std::u16string& registryPath,
                                                   NTSTATUS* entryStatus) {
    std::unique_ptr<LoadedDriver> driver(
        new LoadedDriver(Enter(std::move(impl), entry, registryPath, entryStatus)));
    if (!driver->impl_->entrySucceeded) {
        driver->Unload();
        return nullptr;
    }
    return driver;
}

PDRIVER_OBJECT LoadedDriver::Object() const {
    return &impl_->driver->object;
}

void* LoadedDriver::Symbol(const char* name) const {
    return impl_->handle ? dlsym(impl_->handle, name) : nullptr;
}

bool LoadedDriver::IsUnloaded() const {
    return impl_->unloaded;
}

NTSTATUS LoadedDriver::AddDevice(PDEVICE_OBJECT pdo) {
    PDRIVER_OBJECT driver = Object();
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (!addDevice)
        return STATUS_NOT_SUPPORTED;
    std::set<PDEVICE_OBJECT> before;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
            before.insert(d);
    }
    KIRQL irql = CurrentIrql();
    NTSTATUS status = addDevice(driver, pdo);
    if (CurrentIrql() != irql) {
        Report(Rule::IrqlChangedAcrossDispatch,
               "AddDevice returned at IRQL " + std::to_string(CurrentIrql()));
        SetIrql(irql);
    }
    std::vector<PDEVICE_OBJECT> initializing;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) {
            if (!before.count(d) && (d->Flags & DO_DEVICE_INITIALIZING))
                initializing.push_back(d);
        }
    }
    if (NT_SUCCESS(status)) {
        for (PDEVICE_OBJECT d : initializing) {
            Report(Rule::AddDeviceLeftInitializing, "AddDevice returned success but " +
                                                        Describe(d) +
                                                        " still has DO_DEVICE_INITIALIZING set");
        }
    }
    return status;
}

void LoadedDriver::Unload() {
    if (impl_->unloaded)
        return;
    impl_->unloaded = true;
    PDRIVER_OBJECT driver = Object();
    WaitUntilQuiet();
    if (impl_->entrySucceeded && driver->DriverUnload) {
        driver->DriverUnload(driver);
        WaitForWorkItems();
    }
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<std::pair<PDEVICE_OBJECT, LONG>> referenced;
    std::vector<PoolBlock> pool;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
            devices.push_back(d);
        for (const auto& [d, info] : K().devices) {
            LONG references = d->ReferenceCount - info->fileReferences - info->workItemReferences;
            if (info->deletePending && d->DriverObject == driver && references > 0)
                referenced.emplace_back(d, references);
        }
        for (const auto& [block, info] : K().pool)
            pool.push_back(PoolBlock{info.size, info.tag, info.type});
    }
    for (PDEVICE_OBJECT d : devices) {
        Report(Rule::DeviceLeftAtUnload,
               "the driver unloads while " + Describe(d) + " still exists");
    }
    for (const auto& [d, references] : referenced) {
        Report(Rule::DeletedDeviceStillReferenced,
               "the driver unloads while its deleted device " +
                   Hex(reinterpret_cast<uintptr_t>(d)) + " still has " +
                   std::to_string(references) +
                   " reference(s) from ObReferenceObject or IoGetAttachedDeviceReference");
    }
    for (const PoolBlock& block : pool) {
        Report(Rule::PoolLeftAtUnload, "a block of " + std::to_string(block.size) +
                                           " bytes with tag " + Hex(block.tag) +
                                           " is still allocated when the driver unloads");
    }
    CheckIrpsAtUnload();
    verifier::CheckTeardown();
    {
        std::lock_guard<std::mutex> lock(K().mu);
        K().drivers.erase(driver);
    }
    if (impl_->handle) {
        detail::UnregisterDriverImage(impl_->entryAddress);
        dlclose(impl_->handle);
        impl_->handle = nullptr;
        std::error_code ignored;
        std::filesystem::remove_all(impl_->copyDirectory, ignored);
    }
}

void ResetKernel() {
    WaitUntilQuiet();
    {
        std::lock_guard<std::mutex> lock(filesMutex);
        fileStates.clear();
    }
    detail::ResetThreads();
    detail::ResetIrps();
    detail::ResetPool();
    {
        std::lock_guard<std::mutex> lock(K().mu);
        for (PFILE_OBJECT file : K().files)
            std::free(file);
        K().files.clear();
        K().devices.clear();
        K().names.clear();
        K().links.clear();
        K().interfaces.clear();
        K().interfaceByKey.clear();
        K().nextPdoIndex = 0;
        K().versionMajor = 10;
        K().versionMinor = 0;
        K().versionBuild = 19045;
        K().versionResult = STATUS_SUCCESS;
        K().tickCount = 0;
        K().createDeviceHook = nullptr;
        K().failNextAttach = false;
        K().failInterfaceRegistration.reset();
        K().failNextIrpAllocation = false;
        K().failNextWorkItemAllocation = false;
        K().failNextMdlMapping = false;
        K().failNextPowerRequest.reset();
        K().lastMappingPriority = 0;
        for (PDRIVER_OBJECT driver : K().drivers)
            driver->DeviceObject = nullptr;
    }
    BusDriver()->DeviceObject = nullptr;
    verifier::ClearFindings();
}

PDEVICE_OBJECT CreateTestPdo(const PdoOptions& options) {
    unsigned index;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        index = K().nextPdoIndex++;
    }
    std::u16string name = options.name;
    if (name.empty()) {
        name = u"\\Device\\KsBusPdo-";
        for (char c : std::to_string(index))
            name += static_cast<char16_t>(c);
    }
    UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                        reinterpret_cast<PWSTR>(name.data())};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(BusDriver(), 0, &text, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return nullptr;
    pdo->Flags |= options.flags | DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> lock(K().mu);
    DeviceInfo* info = FindDeviceLocked(pdo);
    info->isPdo = true;
    info->pdoIndex = index;
    info->instanceId = options.instanceId;
    return pdo;
}

void SetPdoDispatch(PDEVICE_OBJECT pdo, BusDispatch dispatch) {
    std::lock_guard<std::mutex> lock(K().mu);
    if (DeviceInfo* info = FindDeviceLocked(pdo))
        info->busDispatch = std::move(dispatch);
}

void SetPdoCapabilities(PDEVICE_OBJECT pdo, const DEVICE_CAPABILITIES& capabilities) {
    std::lock_guard<std::mutex> lock(K().mu);
    if (DeviceInfo* info = FindDeviceLocked(pdo))
        info->capabilities = capabilities;
}

std::vector<std::pair<UCHAR, UCHAR>> PdoRequests(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(K().mu);
    DeviceInfo* info = FindDeviceLocked(pdo);
    return info ? info->received : std::vector<std::pair<UCHAR, UCHAR>>{};
}

bool CompleteWaitWake(PDEVICE_OBJECT pdo, NTSTATUS status) {
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        DeviceInfo* info = FindDeviceLocked(pdo);
        if (!info || info->pendingWaitWake.empty())
            return false;
        irp = info->pendingWaitWake.front();
        info->pendingWaitWake.erase(info->pendingWaitWake.begin());
    }
    if (!IoSetCancelRoutine(irp, nullptr))
        return false; // being cancelled: the cancel routine finishes it
    RunAtDispatchLevel([&] {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Information = 0;
        CompleteWith(irp, status);
    });
    return true;
}

void DeleteTestPdo(PDEVICE_OBJECT pdo) {
    IoDeleteDevice(pdo);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    return IoGetAttachedDevice(device);
}

std::shared_ptr<IoRequest> StartIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                                    const IrpFill& fill, PFILE_OBJECT file) {
    PIRP irp;
    auto request = Build(target, major, minor, file, &irp);
    if (fill)
        fill(irp, IoGetNextIrpStackLocation(irp));
    return Send(target, request, irp);
}

IrpResult SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, const IrpFill& fill,
                  PFILE_OBJECT file, std::optional<std::chrono::milliseconds> timeout) {
    std::shared_ptr<IoRequest> request = StartIrp(target, major, minor, fill, file);
    if (!request->Wait(timeout)) {
        IrpResult result = request->Result();
        result.status = STATUS_TIMEOUT;
        return result;
    }
    return request->Result();
}

void AttachMdl(PIRP irp, void* buffer, ULONG length) {
    PMDL mdl = IoAllocateMdl(buffer, length, irp->MdlAddress != nullptr, FALSE, irp);
    MmProbeAndLockPages(mdl, UserMode, IoModifyAccess);
}

OpenResult OpenFile(const std::u16string& path) {
    std::u16string name = NormalizeLinkName(path);
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    {
        std::lock_guard<std::mutex> lock(K().mu);
        // Follow symbolic links on the longest matching prefix, then find the device.
        for (int depth = 0; depth < 8; ++depth) {
            bool replaced = false;
            for (size_t end = name.size(); end > 0; --end) {
                if (end != name.size() && name[end] != u'\\')
                    continue;
                auto it = K().links.find(NameKey(name.substr(0, end)));
                if (it == K().links.end())
                    continue;
                name = NormalizeLinkName(it->second.second) + name.substr(end);
                replaced = true;
                break;
            }
            if (!replaced)
                break;
        }
        for (size_t end = name.size(); end > 0; --end) {
            if (end != name.size() && name[end] != u'\\')
                continue;
            auto it = K().names.find(NameKey(name.substr(0, end)));
            if (it == K().names.end())
                continue;
            device = it->second;
            remainder = name.substr(end);
            break;
        }
        if (device && FindDeviceLocked(device)->deletePending)
            return {STATUS_DELETE_PENDING, nullptr};
        if (device && (AttachedTopLocked(device)->Flags & DO_DEVICE_INITIALIZING))
            return {STATUS_NO_SUCH_DEVICE, nullptr};
    }
    if (!device)
        return {STATUS_OBJECT_NAME_NOT_FOUND, nullptr};
    PFILE_OBJECT file = CreateFileObject(device, remainder);
    IrpResult result = SendIrp(RelatedDevice(file), IRP_MJ_CREATE, 0, {}, file);
    if (!NT_SUCCESS(result.status)) {
        ReleaseFileObject(file);
        return {result.status, nullptr};
    }
    return {result.status, file};
}

void CloseFile(PFILE_OBJECT file) {
    SendIrp(RelatedDevice(file), IRP_MJ_CLEANUP, 0, {}, file);
    {
        std::lock_guard<std::mutex> lock(filesMutex);
        FileState& state = fileStates[file];
        if (state.inFlight != 0) {
            state.closePending = true;
            return;
        }
    }
    SendClose(file);
}

void WaitForDeferredCloses() {
    std::vector<std::thread> finished;
    {
        std::unique_lock<std::mutex> lock(filesMutex);
        if (!filesCondition.wait_for(lock, std::chrono::seconds(30),
                                     [] { return closesRunning == 0; })) {
            lock.unlock();
            Report(Rule::IrpOutstandingAtTeardown,
                   "a deferred IRP_MJ_CLOSE is still running after 30 s");
            return;
        }
        finished.swap(closeThreads);
    }
    for (std::thread& thread : finished)
        thread.join();
}

std::shared_ptr<IoRequest> StartRead(PFILE_OBJECT file, void* buffer, ULONG length) {
    PDEVICE_OBJECT target = RelatedDevice(file);
    PIRP irp;
    auto request = Build(target, IRP_MJ_READ, 0, file, &irp);
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    AttachUserBuffer(irp, target, buffer, length, false, request);
    return Send(target, request, irp);
}

std::shared_ptr<IoRequest> StartWrite(PFILE_OBJECT file, const void* buffer, ULONG length) {
    PDEVICE_OBJECT target = RelatedDevice(file);
    PIRP irp;
    auto request = Build(target, IRP_MJ_WRITE, 0, file, &irp);
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = length;
    AttachUserBuffer(irp, target, const_cast<void*>(buffer), length, true, request);
    return Send(target, request, irp);
}

std::shared_ptr<IoRequest> StartDeviceControl(PFILE_OBJECT file, ULONG code, const void* input,
                                              ULONG inputLength, void* output, ULONG outputLength,
                                              bool internal) {
    PDEVICE_OBJECT target = RelatedDevice(file);
    PIRP irp;
    auto request = Build(target, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL,
                         0, file, &irp);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->Parameters.DeviceIoControl.IoControlCode = code;
    location->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    location->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    switch (code & 3) {
    case METHOD_BUFFERED: {
        ULONG length = inputLength > outputLength ? inputLength : outputLength;
        if (length) {
            irp->AssociatedIrp.SystemBuffer =
                AllocateSystemBuffer(length, input, input ? inputLength : 0);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (output && outputLength)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        // Checked even without an output buffer: Information says how much would be copied.
        request->CopyBackTo(output, output ? outputLength : 0);
        irp->UserBuffer = output;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (input && inputLength) {
            irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(inputLength, input, inputLength);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (output && outputLength)
            AttachMdl(irp, output, outputLength);
        break;
    default:
        location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        irp->UserBuffer = output;
        break;
    }
    return Send(target, request, irp);
}

namespace {
IrpResult WaitFor(const std::shared_ptr<IoRequest>& request) {
    request->Wait();
    return request->Result();
}
} // namespace

IrpResult Read(PFILE_OBJECT file, void* buffer, ULONG length) {
    return WaitFor(StartRead(file, buffer, length));
}
IrpResult Write(PFILE_OBJECT file, const void* buffer, ULONG length) {
    return WaitFor(StartWrite(file, buffer, length));
}
IrpResult DeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                        void* output, ULONG outputLength) {
    return WaitFor(StartDeviceControl(file, code, input, inputLength, output, outputLength));
}

namespace pnp {
IrpResult Send(PDEVICE_OBJECT pdo, UCHAR minor, const IrpFill& fill) {
    return SendIrp(TopOfStack(pdo), IRP_MJ_PNP, minor, fill);
}
namespace {
NTSTATUS Simple(PDEVICE_OBJECT pdo, UCHAR minor) {
    return Send(pdo, minor).status;
}
} // namespace
NTSTATUS Start(PDEVICE_OBJECT pdo) {
    return Simple(pdo, IRP_MN_START_DEVICE);
}
NTSTATUS QueryStop(PDEVICE_OBJECT pdo) {
    return Simple(pdo, IRP_MN_QUERY_STOP_DEVICE);
}
NTSTATUS CancelStop(PDEVICE_OBJECT pdo) {
    return Simple(pdo, IRP_MN_CANCEL_STOP_DEVICE);
}
NTSTATUS Stop(PDEVICE_OBJECT pdo) {
    return Simple(pdo, IRP_MN_STOP_DEVICE);
}
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) {
    return Simple(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
}
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) {
    return Simple(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
}
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) {
    return Simple(pdo, IRP_MN_SURPRISE_REMOVAL);
}
NTSTATUS Remove(PDEVICE_OBJECT pdo) {
    return Simple(pdo, IRP_MN_REMOVE_DEVICE);
}
NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities,
                           const std::function<void(DEVICE_CAPABILITIES&)>& prepare) {
    memset(capabilities, 0, sizeof *capabilities);
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;
    if (prepare)
        prepare(*capabilities);
    return Send(pdo, IRP_MN_QUERY_CAPABILITIES,
                [capabilities](PIRP, PIO_STACK_LOCATION location) {
                    location->Parameters.DeviceCapabilities.Capabilities = capabilities;
                })
        .status;
}
} // namespace pnp

namespace power {
std::shared_ptr<IoRequest> StartSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor,
                                              SYSTEM_POWER_STATE state) {
    PDEVICE_OBJECT top = TopOfStack(pdo);
    PIRP irp;
    auto request = Build(top, IRP_MJ_POWER, minor, nullptr, &irp);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->Parameters.Power.Type = SystemPowerState;
    location->Parameters.Power.State.SystemState = state;
    location->Parameters.Power.ShutdownType =
        state == PowerSystemWorking
            ? PowerActionNone
            : (state >= PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep);
    if (minor == IRP_MN_SET_POWER)
        location->Parameters.Power.SystemPowerStateContext.TargetSystemState = state;
    // A non-pageable stack may get its system power requests at DISPATCH_LEVEL.
    if (!(top->Flags & DO_POWER_PAGABLE) && CompleteLater()) {
        QueueAtDispatchLevel([top, irp, request] { request->SetReturned(PoCallDriver(top, irp)); });
        return request;
    }
    return Send(top, request, irp);
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    auto request = StartSystemRequest(pdo, IRP_MN_SET_POWER, state);
    request->Wait();
    return request->Result().status;
}
NTSTATUS QuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    auto request = StartSystemRequest(pdo, IRP_MN_QUERY_POWER, state);
    request->Wait();
    return request->Result().status;
}
namespace {
struct DeviceRequestWait {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
};
VOID NTAPI DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context,
                             PIO_STATUS_BLOCK IoStatus) {
    auto wait = static_cast<DeviceRequestWait*>(Context);
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->status = IoStatus->Status;
    wait->done = true;
    wait->condition.notify_all();
}
NTSTATUS DeviceRequest(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state) {
    DeviceRequestWait wait;
    POWER_STATE powerState;
    powerState.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(pdo, minor, powerState, DeviceRequestDone, &wait, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    std::unique_lock<std::mutex> lock(wait.mutex);
    wait.condition.wait(lock, [&] { return wait.done; });
    return wait.status;
}
} // namespace
NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    return DeviceRequest(pdo, IRP_MN_SET_POWER, state);
}
NTSTATUS QueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    return DeviceRequest(pdo, IRP_MN_QUERY_POWER, state);
}
} // namespace power

} // namespace kstandin
