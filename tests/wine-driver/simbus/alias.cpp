// ksusbsim: pipe alias devices. Windows hands the part of a path after the device's name
// (\\.\trelvousb1\ep01) to the driver as the file object's name; Wine opens the device and drops
// that part. So that a pipe of the function driver above a child can be opened all the same, the
// bus gives every pipe of a child a device of its own, "\\.\KsUsbSim<child>ep<pipe, two
// digits>", which names the file object after the pipe ("\ep01") and passes every request of the
// handle to the top of the child's device stack.
#include "simbus.h"

namespace {

// Deep enough for any stack above a child: the request is passed on, not copied.
constexpr CCHAR kAliasStackSize = 8;

ULONG PutText(WCHAR* text, ULONG units, const WCHAR* part)
{
    while (*part != 0) {
        text[units++] = *part++;
    }
    text[units] = 0;
    return units;
}

ULONG PutNumber(WCHAR* text, ULONG units, ULONG value, ULONG digits)
{
    for (ULONG i = digits; i-- > 0;) {
        ULONG divisor = 1;
        for (ULONG j = 0; j < i; ++j) {
            divisor *= 10;
        }
        text[units++] = WCHAR(L'0' + (value / divisor) % 10);
    }
    text[units] = 0;
    return units;
}

NTSTATUS FreePipeNameOnFailure(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* file = static_cast<PFILE_OBJECT>(context);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (!NT_SUCCESS(irp->IoStatus.Status) && file->FileName.Buffer != nullptr) {
        FreeSimPool(file->FileName.Buffer);
        file->FileName.Buffer = nullptr;
        file->FileName.Length = file->FileName.MaximumLength = 0;
    }
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS FreePipeName(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* file = static_cast<PFILE_OBJECT>(context);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (file != nullptr && file->FileName.Buffer != nullptr) {
        FreeSimPool(file->FileName.Buffer);
        file->FileName.Buffer = nullptr;
        file->FileName.Length = file->FileName.MaximumLength = 0;
    }
    return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

NTSTATUS CreateAliases(ChildRecord* child)
{
    for (ULONG pipe = 0; pipe < child->model->numEndpoints; ++pipe) {
        WCHAR nameText[64], linkText[64];
        ULONG units = PutText(nameText, 0, L"\\Device\\KsUsbSim");
        units = PutNumber(nameText, units, child->index, 1);
        units = PutText(nameText, units, L"Pipe");
        PutNumber(nameText, units, pipe, 1);
        units = PutText(linkText, 0, L"\\DosDevices\\KsUsbSim");
        units = PutNumber(linkText, units, child->index, 1);
        units = PutText(linkText, units, L"ep");
        PutNumber(linkText, units, pipe, 2);
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, nameText);
        RtlInitUnicodeString(&link, linkText);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(SimDriverObject(), sizeof(AliasRecord) + sizeof(linkText), &name,
                                         FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        if (!NT_SUCCESS(status)) {
            DeleteAliases(child);
            return status;
        }
        auto* alias = static_cast<AliasRecord*>(device->DeviceExtension);
        alias->common.kind = DeviceKind::Alias;
        alias->child = child;
        alias->pipe = pipe;
        // The link's name lives behind the record, for its removal.
        auto* kept = reinterpret_cast<WCHAR*>(alias + 1);
        RtlCopyMemory(kept, linkText, sizeof(linkText));
        RtlInitUnicodeString(&alias->dosName, kept);
        device->StackSize = kAliasStackSize;
        // Reads and writes must reach the function driver with their buffers described the way
        // it asked for (direct I/O).
        device->Flags |= DO_DIRECT_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        child->aliases[pipe] = device;
        status = IoCreateSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status)) {
            DeleteAliases(child);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

void DeleteAliases(ChildRecord* child)
{
    for (PDEVICE_OBJECT& device : child->aliases) {
        if (device == nullptr) {
            continue;
        }
        auto* alias = static_cast<AliasRecord*>(device->DeviceExtension);
        IoDeleteSymbolicLink(&alias->dosName);
        IoDeleteDevice(device);
        device = nullptr;
    }
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
    NTSTATUS status;
    PFILE_OBJECT file = stack->FileObject;
    if (stack->MajorFunction == IRP_MJ_CREATE && file != nullptr) {
        // "\epNN": the name the function driver reads its pipe number from.
        constexpr USHORT kBytes = 5 * sizeof(WCHAR);
        auto* text = static_cast<WCHAR*>(AllocateSimPool(kBytes + sizeof(WCHAR)));
        if (text == nullptr) {
            ObDereferenceObject(top);
            return CompleteSimRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        PutNumber(text, PutText(text, 0, L"\\ep"), alias->pipe, 2);
        file->FileName.Buffer = text;
        file->FileName.Length = kBytes;
        file->FileName.MaximumLength = kBytes + sizeof(WCHAR);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, FreePipeNameOnFailure, file, TRUE, TRUE, TRUE);
        status = IoCallDriver(top, irp);
    } else if (stack->MajorFunction == IRP_MJ_CLOSE) {
        // The name goes once the function driver has seen it for the last time.
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, FreePipeName, file, TRUE, TRUE, TRUE);
        status = IoCallDriver(top, irp);
    } else {
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(top, irp);
    }
    ObDereferenceObject(top);
    return status;
}
