// ksusbsim: the alias devices. Windows hands the part of a path after the device's name
// (\\.\trelvousb1\ep01) to the driver as the file object's name, and the function driver picks
// the pipe from it; Wine opens the device and drops that part. So that pipes of the driver above
// a child can be opened all the same, each child has an alias, "\\.\KsUsbSim<index>", that
// passes every request of its handles to the top of the child's device stack and names the
// file object of each open itself: a test tells it, before a program runs, the names of the
// program's next opens in the order the program makes them ("" for the device, "\ep01", ...).
#include "simbus.h"

namespace {

// Deep enough for any stack above a child: requests are passed on, not copied to new ones.
constexpr CCHAR kAliasStackSize = 8;

void ForgetName(PFILE_OBJECT file)
{
    if (file != nullptr && file->FileName.Buffer != nullptr) {
        FreeSimPool(file->FileName.Buffer);
        file->FileName.Buffer = nullptr;
        file->FileName.Length = file->FileName.MaximumLength = 0;
    }
}

// Wine hands out the handle without waiting for the open's result, so the result is kept for
// tests to read.
NTSTATUS AfterCreate(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* child = static_cast<ChildRecord*>(context);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    child->counters.opens++;
    child->counters.lastOpenStatus = irp->IoStatus.Status;
    KeReleaseSpinLock(&child->lock, irql);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        ForgetName(IoGetCurrentIrpStackLocation(irp)->FileObject);
    }
    return STATUS_CONTINUE_COMPLETION;
}

// The name goes once the function driver has seen it for the last time, at close.
NTSTATUS AfterClose(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    ForgetName(static_cast<PFILE_OBJECT>(context));
    return STATUS_CONTINUE_COMPLETION;
}

// Takes the name for the next open; false when there is none.
bool NextOpenName(ChildRecord* child, WCHAR (&name)[kOpenNameUnits])
{
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    bool any = child->openNameNext < child->openNameCount;
    if (any) {
        RtlCopyMemory(name, child->openNames[child->openNameNext++], sizeof(name));
    }
    KeReleaseSpinLock(&child->lock, irql);
    return any && name[0] != 0;
}

NTSTATUS NameFile(PFILE_OBJECT file, const WCHAR* name)
{
    USHORT units = 0;
    while (name[units] != 0) {
        ++units;
    }
    auto* text = static_cast<WCHAR*>(AllocateSimPool((units + 1) * sizeof(WCHAR)));
    if (text == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(text, name, (units + 1) * sizeof(WCHAR));
    file->FileName.Buffer = text;
    file->FileName.Length = USHORT(units * sizeof(WCHAR));
    file->FileName.MaximumLength = USHORT((units + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreateAlias(ChildRecord* child)
{
    WCHAR nameText[40] = L"\\Device\\KsUsbSimAlias0";
    nameText[21] = WCHAR(L'0' + child->index);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameText);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(SimDriverObject(), sizeof(AliasRecord), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* alias = static_cast<AliasRecord*>(device->DeviceExtension);
    alias->common.kind = DeviceKind::Alias;
    alias->child = child;
    const WCHAR linkText[] = L"\\DosDevices\\KsUsbSim0";
    RtlCopyMemory(alias->dosNameText, linkText, sizeof(linkText));
    alias->dosNameText[20] = WCHAR(L'0' + child->index);
    RtlInitUnicodeString(&alias->dosName, alias->dosNameText);
    device->StackSize = kAliasStackSize;
    // Reads and writes must reach the function driver with their buffers described the way it
    // asked for (direct I/O).
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&alias->dosName, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    child->alias = device;
    return STATUS_SUCCESS;
}

void DeleteAlias(ChildRecord* child)
{
    if (child->alias == nullptr) {
        return;
    }
    auto* alias = static_cast<AliasRecord*>(child->alias->DeviceExtension);
    IoDeleteSymbolicLink(&alias->dosName);
    IoDeleteDevice(child->alias);
    child->alias = nullptr;
}

NTSTATUS SetOpenNames(ChildRecord* child, const WCHAR* names, ULONG units)
{
    WCHAR parsed[kMaxOpenNames][kOpenNameUnits] = {};
    ULONG count = 1, at = 0;
    for (ULONG i = 0; i < units; ++i) {
        if (names[i] == L'|') {
            if (++count > kMaxOpenNames) {
                return STATUS_INVALID_PARAMETER;
            }
            at = 0;
        } else if (at + 1 < kOpenNameUnits) {
            parsed[count - 1][at++] = names[i];
        } else {
            return STATUS_INVALID_PARAMETER;
        }
    }
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    RtlCopyMemory(child->openNames, parsed, sizeof(parsed));
    child->openNameCount = count;
    child->openNameNext = 0;
    KeReleaseSpinLock(&child->lock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchAlias(AliasRecord* alias, PIRP irp)
{
    ChildRecord* child = alias->child;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(child->self);
    if (top == child->self) {
        // No function driver above the child: nothing to open.
        ObDereferenceObject(top);
        if (stack->MajorFunction == IRP_MJ_CLOSE || stack->MajorFunction == IRP_MJ_CLEANUP) {
            return CompleteSimRequest(irp, STATUS_SUCCESS, 0);
        }
        return CompleteSimRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
    }
    PFILE_OBJECT file = stack->FileObject;
    if (stack->MajorFunction == IRP_MJ_CREATE && file != nullptr) {
        WCHAR name[kOpenNameUnits];
        if (NextOpenName(child, name)) {
            NTSTATUS status = NameFile(file, name);
            if (!NT_SUCCESS(status)) {
                ObDereferenceObject(top);
                return CompleteSimRequest(irp, status, 0);
            }
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, AfterCreate, child, TRUE, TRUE, TRUE);
    } else if (stack->MajorFunction == IRP_MJ_CLOSE) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, AfterClose, file, TRUE, TRUE, TRUE);
    } else {
        IoSkipCurrentIrpStackLocation(irp);
    }
    NTSTATUS status = IoCallDriver(top, irp);
    ObDereferenceObject(top);
    return status;
}
