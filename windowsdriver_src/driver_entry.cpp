// Driver entry, device creation and unload, and the small helpers every other file uses.
#include "kestrune.h"

extern "C" {
ULONG driverOptions = 0;
POOL_TYPE poolType = NonPagedPool;
UNICODE_STRING registryPathCopy = {0, 0, nullptr};
}

namespace {

// {54654E76-DCF7-4A7F-878A-4E8FCA0ACC9A}: the interface class applications look for.
const GUID kDeviceInterfaceGuid = {
    0x54654E76, 0xDCF7, 0x4A7F, {0x87, 0x8A, 0x4E, 0x8F, 0xCA, 0x0A, 0xCC, 0x9A}};

const WCHAR kDeviceNamePrefix[] = L"\\Device\\trelvousb";

// Writes "\Device\trelvousb<number>" with its terminating zero into name (kNameUnits units).
void FormatDeviceName(WCHAR* name, ULONG number) {
    ULONG length = 0;
    for (; kDeviceNamePrefix[length] != 0; ++length) {
        name[length] = kDeviceNamePrefix[length];
    }
    WCHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count != 0) {
        name[length++] = digits[--count];
    }
    name[length] = 0;
}

}  // namespace

PVOID AllocatePool(LONG size) {
    return ExAllocatePoolWithTag(poolType, static_cast<SIZE_T>(static_cast<LONG_PTR>(size)),
                                 kPoolTag);
}

PVOID AllocateZeroedPool(LONG size) {
    PVOID block = AllocatePool(size);
    if (block != nullptr) {
        RtlZeroMemory(block, static_cast<SIZE_T>(static_cast<LONG_PTR>(size)));
    }
    return block;
}

VOID FreePool(PVOID block) {
    ExFreePoolWithTag(block, kPoolTag);
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(RecordOf(device)->lowerDevice, irp);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    // Systems from 6.2 on offer non-executable non-paged pool.
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
        poolType = NonPagedPoolNx;
    }

    // The copy ends with one zero unit, two bytes more than the path, where the 16-bit length
    // has room for them; a path of the longest length is copied without it rather than wrapping
    // the length round to a block too small for the copy.
    registryPathCopy.Length = registryPath->Length;
    registryPathCopy.MaximumLength = registryPath->Length <= 0xFFFF - sizeof(WCHAR)
                                         ? static_cast<USHORT>(registryPath->Length + sizeof(WCHAR))
                                         : registryPath->Length;
    registryPathCopy.Buffer = static_cast<PWCH>(AllocatePool(registryPathCopy.MaximumLength));
    if (registryPathCopy.Buffer == nullptr) {
        registryPathCopy.Length = 0;
        registryPathCopy.MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(registryPathCopy.Buffer, registryPathCopy.MaximumLength);
    RtlCopyMemory(registryPathCopy.Buffer, registryPath->Buffer, registryPath->Length);

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverUnload = DriverUnload;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
    if (registryPathCopy.Buffer != nullptr) {
        FreePool(registryPathCopy.Buffer);
        registryPathCopy.Buffer = nullptr;
    }
}

// The record is set up before any other thread can reach it, so its guarded fields are written
// without their locks here, as a constructor would.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
    NO_THREAD_SAFETY_ANALYSIS {
    // The lowest number whose name is free; any failure moves on to the next number.
    WCHAR nameBuffer[kNameUnits];
    UNICODE_STRING name;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG number = 0; number <= kMaxDeviceNumber; ++number) {
        FormatDeviceName(nameBuffer, number);
        RtlInitUnicodeString(&name, nameBuffer);
        status = IoCreateDevice(driver, sizeof(DeviceRecord), &name, FILE_DEVICE_UNKNOWN, 0,
                                FALSE, &device);
        if (status == STATUS_SUCCESS) {
            break;
        }
    }
    if (status != STATUS_SUCCESS) {
        return status;
    }

    // The extension arrives zero-filled; only the non-zero starting values are set. All of them
    // are set before the attach, since the late failure paths delete the device with its record.
    DeviceRecord* record = RecordOf(device);
    record->self = device;
    record->physicalDevice = physicalDevice;
    record->readChunkSize = kDefaultChunkSize;
    record->writeChunkSize = kDefaultChunkSize;
    device->Flags |= DO_DIRECT_IO;
    for (ULONG i = 0; i < kNameUnits; ++i) {
        record->deviceName[i] = nameBuffer[i];
        if (nameBuffer[i] == 0) {
            break;
        }
    }
    KeInitializeSpinLock(&record->stateLock);
    record->deviceState = NotStarted;
    record->previousState = NotStarted;
    record->openHandles = 0;
    record->queueState = HoldRequests;
    InitializeListHead(&record->pendingQueue);
    KeInitializeSpinLock(&record->queueLock);
    KeInitializeEvent(&record->removeEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&record->stopEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&record->drainEvent, NotificationEvent, FALSE);
    record->outstandingIo = 1;
    KeInitializeSpinLock(&record->ioCountLock);
    KeInitializeSpinLock(&record->readBufferLock);
    InitializeReadQueue(record);
    if ((physicalDevice->Flags & DO_POWER_PAGABLE) != 0) {
        device->Flags |= DO_POWER_PAGABLE;
    }
    record->devicePower = PowerDeviceD0;
    record->systemPower = PowerSystemWorking;
    record->readBufferCount = 0;

    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, powerState);

    record->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    if (record->lowerDevice == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }

    status = IoRegisterDeviceInterface(physicalDevice, &kDeviceInterfaceGuid, nullptr,
                                       &record->interfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(record->lowerDevice);
        IoDeleteDevice(device);
        return status;
    }

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}
