// A driver that imports a kernel routine the stand-in does not provide: loading it must fail.
#include <ntddk.h>

extern "C" NTSTATUS NTAPI IoImaginaryRoutine(PDRIVER_OBJECT DriverObject);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    return IoImaginaryRoutine(DriverObject);
}
