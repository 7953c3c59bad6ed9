// A minimal driver for the loader tests: counts its entries in a global, keeps one pool block from
// entry to unload, and leaves a trace of its unload in the name space.
#include <ntddk.h>

extern "C" {
int driverEntryCount = 0;
}

namespace {
PVOID keptBlock;
constexpr ULONG kTag = 0x74736554; // 'Test'

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    ExFreePoolWithTag(keptBlock, kTag);
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\LoaderDriverUnloaded");
    RtlInitUnicodeString(&target, L"\\Device\\Nothing");
    IoCreateSymbolicLink(&link, &target);
}
} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    ++driverEntryCount;
    keptBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    if (!keptBlock)
        return STATUS_INSUFFICIENT_RESOURCES;
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
