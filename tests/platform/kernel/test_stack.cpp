#include "test_stack.h"

namespace kstandin::testing {
namespace {

Handler currentHandler;

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return currentHandler(device, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto extension = static_cast<FunctionExtension*>(fdo->DeviceExtension);
    extension->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_DIRECT_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(static_cast<FunctionExtension*>(device->DeviceExtension)->lower, irp);
}

void StackTest::SetUp() {
    KernelTest::SetUp();
    currentHandler = PassDown;
    pdo = CreateTestPdo();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver = LoadedDriver::FromEntry(
        Entry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\test", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(driver->AddDevice(pdo), STATUS_SUCCESS);
    fdo = TopOfStack(pdo);
    lower = static_cast<FunctionExtension*>(fdo->DeviceExtension)->lower;
}

void StackTest::SetHandler(Handler handler) {
    currentHandler = std::move(handler);
}

void StackTest::TearDownStack() {
    if (fdo) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        fdo = nullptr;
    }
    if (driver)
        driver->Unload();
}

void StackTest::TearDown() {
    TearDownStack();
    driver.reset();
    if (pdo)
        DeleteTestPdo(pdo);
    KernelTest::TearDown();
}

} // namespace kstandin::testing
