// ksusbsim: driver entry, the bus's own Plug and Play, the dispatch by device kind and the
// control device through which tests script the instruments.
#include "simbus.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

PDRIVER_OBJECT driverObject;

NTSTATUS SignalForwarded(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request down and waits for the lower drivers' result; the request stays ours.
NTSTATUS ForwardAndWait(BusRecord* bus, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalForwarded, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(bus->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(BusRecord* bus, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->lowerDevice, irp);
}

NTSTATUS CreateControlDevice(BusRecord* bus) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\KsUsbSimControl");
    RtlInitUnicodeString(&link, L"\\DosDevices\\KsUsbSimControl");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(ControlRecord), &name,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* record = static_cast<ControlRecord*>(device->DeviceExtension);
    record->common.kind = DeviceKind::Control;
    record->bus = bus;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    bus->control = device;
    return STATUS_SUCCESS;
}

void DeleteControlDevice(BusRecord* bus) {
    if (bus->control == nullptr) {
        return;
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\KsUsbSimControl");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(bus->control);
    bus->control = nullptr;
}

NTSTATUS ReportChildren(BusRecord* bus, PIRP irp) {
    ULONG count = 0;
    for (PDEVICE_OBJECT child : bus->children) {
        if (child != nullptr && static_cast<ChildRecord*>(child->DeviceExtension)->present) {
            ++count;
        }
    }
    // The relations go to the PnP manager, which frees them.
    SIZE_T size = sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT) * (count == 0 ? 0 : count - 1);
    auto* relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kSimPoolTag));
    if (relations == nullptr) {
        return CompleteSimRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    relations->Count = 0;
    for (PDEVICE_OBJECT child : bus->children) {
        if (child != nullptr && static_cast<ChildRecord*>(child->DeviceExtension)->present) {
            ObReferenceObject(child);
            relations->Objects[relations->Count++] = child;
        }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return PassDown(bus, irp);
}

NTSTATUS DispatchBusPnp(BusRecord* bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(bus, irp);
        if (NT_SUCCESS(status) && !bus->started) {
            for (ULONG i = 0; i < kInstrumentCount && NT_SUCCESS(status); ++i) {
                status = CreateChild(bus, i);
            }
            if (NT_SUCCESS(status)) {
                status = CreateControlDevice(bus);
            }
            bus->started = NT_SUCCESS(status);
        }
        CompleteSimRequest(irp, status, 0);
        if (bus->started) {
            IoInvalidateDeviceRelations(bus->physicalDevice, BusRelations);
        }
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return ReportChildren(bus, irp);
        }
        return PassDown(bus, irp);
    case IRP_MN_REMOVE_DEVICE: {
        DeleteControlDevice(bus);
        for (PDEVICE_OBJECT& child : bus->children) {
            if (child != nullptr) {
                DeleteChild(static_cast<ChildRecord*>(child->DeviceExtension));
                child = nullptr;
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(bus, irp);
        IoDetachDevice(bus->lowerDevice);
        IoDeleteDevice(bus->self);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, irp);
    default:
        return PassDown(bus, irp);
    }
}

ChildRecord* ChildOf(BusRecord* bus, const void* input, ULONG length) {
    if (input == nullptr || length < sizeof(ULONG)) {
        return nullptr;
    }
    ULONG index = *static_cast<const ULONG*>(input);
    if (index >= kSimMaxInstruments || bus->children[index] == nullptr) {
        return nullptr;
    }
    return static_cast<ChildRecord*>(bus->children[index]->DeviceExtension);
}

NTSTATUS DispatchControl(ControlRecord* control, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return CompleteSimRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ChildRecord* child = ChildOf(control->bus, buffer, inLength);
    if (child == nullptr) {
        return CompleteSimRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KSUSBSIM_QUEUE_IN:
        return CompleteSimRequest(irp, QueueInData(child, buffer + 4, inLength - 4), 0);
    case IOCTL_KSUSBSIM_TAKE_KEPT:
        return CompleteSimRequest(irp, STATUS_SUCCESS, TakeKeptData(child, buffer, outLength));
    case IOCTL_KSUSBSIM_SET_MODES:
        if (inLength < 8) {
            return CompleteSimRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        SetChildModes(child, reinterpret_cast<ULONG*>(buffer)[1]);
        return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
    case IOCTL_KSUSBSIM_GET_COUNTERS:
        if (outLength < sizeof(SimCounters)) {
            return CompleteSimRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        ReadChildCounters(child, reinterpret_cast<SimCounters*>(buffer));
        return CompleteSimRequest(irp, STATUS_SUCCESS, sizeof(SimCounters));
    case IOCTL_KSUSBSIM_UNPLUG:
        UnplugChild(child);
        IoInvalidateDeviceRelations(control->bus->physicalDevice, BusRelations);
        return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
    default:
        return CompleteSimRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS DispatchAny(PDEVICE_OBJECT device, PIRP irp) {
    auto* common = static_cast<CommonRecord*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (common->kind) {
    case DeviceKind::Bus: {
        auto* bus = reinterpret_cast<BusRecord*>(common);
        if (stack->MajorFunction == IRP_MJ_PNP) {
            return DispatchBusPnp(bus, irp);
        }
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(bus->lowerDevice, irp);
        }
        if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE) {
            return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
        }
        return PassDown(bus, irp);
    }
    case DeviceKind::Child: {
        auto* child = reinterpret_cast<ChildRecord*>(common);
        switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return DispatchChildPnp(child, irp);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return DispatchChildInternalControl(child, irp);
        case IRP_MJ_POWER: {
            // Power is not simulated: every set and query succeeds, wait-wake is not supported.
            PoStartNextPowerIrp(irp);
            NTSTATUS status =
                stack->MinorFunction == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
            return CompleteSimRequest(irp, status, 0);
        }
        case IRP_MJ_SYSTEM_CONTROL: {
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        default:
            return CompleteSimRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
    }
    case DeviceKind::Alias:
        return DispatchAlias(reinterpret_cast<AliasRecord*>(common), irp);
    case DeviceKind::Control:
        return DispatchControl(reinterpret_cast<ControlRecord*>(common), irp);
    }
    return CompleteSimRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS AddBusDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(BusRecord), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* bus = static_cast<BusRecord*>(device->DeviceExtension);
    bus->common.kind = DeviceKind::Bus;
    bus->self = device;
    bus->physicalDevice = physicalDevice;
    bus->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    if (bus->lowerDevice == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void UnloadBus(PDRIVER_OBJECT) {}

} // namespace

void* AllocateSimPool(SIZE_T size) {
    return ExAllocatePoolWithTag(NonPagedPool, size, kSimPoolTag);
}

void FreeSimPool(void* block) {
    ExFreePoolWithTag(block, kSimPoolTag);
}

NTSTATUS CompleteSimRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driverObject = driver;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driver->MajorFunction[i] = DispatchAny;
    }
    driver->DriverExtension->AddDevice = AddBusDevice;
    driver->DriverUnload = UnloadBus;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT SimDriverObject() {
    return driverObject;
}
