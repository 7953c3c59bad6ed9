// ksusbsim: the pipe aliases. Windows hands the part of a path after the device's name
// (\\.\trelvousb1\ep01) to the driver as the file object's name, and the function driver picks
// the pipe from it; Wine refuses such a path (file not found). So that pipes of the driver above
// a child can be opened all the same, each child has a directory "\\.\KsUsbSim<index>" in the
// DOS device names whose entries are small devices of the bus: opening "\\.\KsUsbSim1\ep01"
// reaches the entry "ep01", which names the file object "\ep01", the name Windows would have
// passed, and hands this and every later request of the handle to the top of the child's device
// stack. The entries cover the pipe numbers 0 to 6 and a few spellings of the name rule. Each
// alias takes the buffering method of the device it passes requests to, so that reads and
// writes reach the function driver as they would on Windows.
#include "simbus.h"

namespace {

// Deep enough for any stack above a child: requests are passed on, not copied to new ones.
constexpr CCHAR kAliasStackSize = 8;

// ep4294967296 is 2^32: a number that wraps to pipe 0 where it is added up in 32 bits.
const WCHAR* const kAliasNames[kAliasCount] = {L"ep00",  L"ep01",  L"ep02",        L"ep03",
                                               L"ep04",  L"ep05",  L"ep06",        L"ep",
                                               L"ep01x", L"ep000", L"ep4294967296"};

ULONG PutText(WCHAR* text, ULONG units, const WCHAR* part) {
    while (*part != 0) {
        text[units++] = *part++;
    }
    text[units] = 0;
    return units;
}

void ForgetName(PFILE_OBJECT file) {
    if (file != nullptr && file->FileName.Buffer != nullptr) {
        FreeSimPool(file->FileName.Buffer);
        file->FileName.Buffer = nullptr;
        file->FileName.Length = file->FileName.MaximumLength = 0;
    }
}

// Wine hands out the handle without waiting for the open's result, so the result is kept for
// tests to read.
NTSTATUS AfterCreate(PDEVICE_OBJECT, PIRP irp, PVOID context) {
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
NTSTATUS AfterClose(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    ForgetName(IoGetCurrentIrpStackLocation(irp)->FileObject);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NameFile(PFILE_OBJECT file, const WCHAR* name) {
    USHORT units = 0;
    while (name[units] != 0) {
        ++units;
    }
    // A backslash, then the entry's name.
    auto* text = static_cast<WCHAR*>(AllocateSimPool((units + 2) * sizeof(WCHAR)));
    if (text == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    text[0] = L'\\';
    RtlCopyMemory(text + 1, name, (units + 1) * sizeof(WCHAR));
    file->FileName.Buffer = text;
    file->FileName.Length = USHORT((units + 1) * sizeof(WCHAR));
    file->FileName.MaximumLength = USHORT((units + 2) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS CreateDirectory(ChildRecord* child) {
    WCHAR text[32];
    ULONG units = PutText(text, 0, L"\\??\\KsUsbSim");
    text[units++] = WCHAR(L'0' + child->index);
    text[units] = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    return ZwCreateDirectoryObject(&child->aliasDirectory, DIRECTORY_ALL_ACCESS, &attributes);
}

NTSTATUS CreateAlias(ChildRecord* child, ULONG number) {
    WCHAR nameText[40];
    ULONG units = PutText(nameText, 0, L"\\Device\\KsUsbSimAlias");
    nameText[units++] = WCHAR(L'0' + child->index);
    nameText[units++] = L'_';
    nameText[units++] = WCHAR(L'0' + number / 10);
    nameText[units++] = WCHAR(L'0' + number % 10);
    nameText[units] = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameText);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(SimDriverObject(), sizeof(AliasRecord), &name,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* alias = static_cast<AliasRecord*>(device->DeviceExtension);
    alias->common.kind = DeviceKind::Alias;
    alias->self = device;
    alias->child = child;
    alias->fileName = kAliasNames[number];
    units = PutText(alias->linkText, 0, L"\\??\\KsUsbSim");
    alias->linkText[units++] = WCHAR(L'0' + child->index);
    alias->linkText[units++] = L'\\';
    PutText(alias->linkText, units, kAliasNames[number]);
    RtlInitUnicodeString(&alias->link, alias->linkText);
    device->StackSize = kAliasStackSize;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&alias->link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    child->aliases[number] = device;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS CreateAliases(ChildRecord* child) {
    NTSTATUS status = CreateDirectory(child);
    for (ULONG number = 0; number < kAliasCount && NT_SUCCESS(status); ++number) {
        status = CreateAlias(child, number);
    }
    if (!NT_SUCCESS(status)) {
        DeleteAliases(child);
    }
    return status;
}

void DeleteAliases(ChildRecord* child) {
    for (PDEVICE_OBJECT& device : child->aliases) {
        if (device != nullptr) {
            IoDeleteSymbolicLink(&static_cast<AliasRecord*>(device->DeviceExtension)->link);
            IoDeleteDevice(device);
            device = nullptr;
        }
    }
    if (child->aliasDirectory != nullptr) {
        ZwClose(child->aliasDirectory);
        child->aliasDirectory = nullptr;
    }
}

NTSTATUS DispatchAlias(AliasRecord* alias, PIRP irp) {
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
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        // The I/O manager describes the buffers of a handle's reads and writes by the flags of
        // the handle's device: the alias's here, the function driver's on Windows.
        constexpr ULONG kMethods = DO_BUFFERED_IO | DO_DIRECT_IO;
        alias->self->Flags = (alias->self->Flags & ~kMethods) | (top->Flags & kMethods);
    }
    if (stack->MajorFunction == IRP_MJ_CREATE && file != nullptr) {
        NTSTATUS status = NameFile(file, alias->fileName);
        if (!NT_SUCCESS(status)) {
            ObDereferenceObject(top);
            return CompleteSimRequest(irp, status, 0);
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, AfterCreate, child, TRUE, TRUE, TRUE);
    } else if (stack->MajorFunction == IRP_MJ_CLOSE) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, AfterClose, nullptr, TRUE, TRUE, TRUE);
    } else {
        IoSkipCurrentIrpStackLocation(irp);
    }
    NTSTATUS status = IoCallDriver(top, irp);
    ObDereferenceObject(top);
    return status;
}
