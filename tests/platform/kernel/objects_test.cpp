// Device objects and stacks, the name space (device names, symbolic links, device interfaces),
// files opened through it, pool with tags, versions and the tick count.
#include "test_stack.h"

#include <initguid.h>

#include <ntstrsafe.h>

using namespace kstandin;
using namespace kstandin::testing;

DEFINE_GUID(kTestInterface, 0x54654E76, 0xDCF7, 0x4A7F, 0x87, 0x8A, 0x4E, 0x8F, 0xCA, 0x0A, 0xCC,
            0x9A);

namespace {

constexpr ULONG kBulkTag = 0x6B6C7542; // "Bulk" in memory order

NTSTATUS NTAPI EmptyEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

class ObjectsTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        NTSTATUS status;
        driver = LoadedDriver::FromEntry(EmptyEntry, u"\\Registry\\x", &status);
    }
    void TearDown() override {
        driver.reset();
        KernelTest::TearDown();
    }
    NTSTATUS Create(const WCHAR* name, ULONG extensionSize, PDEVICE_OBJECT* device) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        return IoCreateDevice(driver->Object(), extensionSize, name ? &text : nullptr,
                              FILE_DEVICE_UNKNOWN, 0, FALSE, device);
    }
    std::unique_ptr<LoadedDriver> driver;
};

TEST_F(ObjectsTest, CreateDeviceZeroesTheExtensionAndNamesCollideUntilDeleted) {
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(Create(L"\\Device\\trelvousb0", 300, &first), STATUS_SUCCESS);
    auto bytes = static_cast<UCHAR*>(first->DeviceExtension);
    bool zero = true;
    for (int i = 0; i < 300; ++i)
        zero = zero && bytes[i] == 0;
    EXPECT_TRUE(zero);
    EXPECT_TRUE(first->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(first->DriverObject, driver->Object());
    EXPECT_TRUE(DeviceNameExists(u"\\Device\\trelvousb0"));
    EXPECT_EQ(FindDevice(u"\\device\\TRELVOUSB0"), first) << "object names compare without case";

    EXPECT_EQ(Create(L"\\Device\\trelvousb0", 0, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    IoDeleteDevice(first);
    EXPECT_FALSE(DeviceNameExists(u"\\Device\\trelvousb0"));
    EXPECT_EQ(Create(L"\\Device\\trelvousb0", 0, &second), STATUS_SUCCESS);

    SetIoCreateDeviceHook([](const std::u16string& name) -> std::optional<NTSTATUS> {
        if (name == u"\\Device\\trelvousb1")
            return STATUS_INSUFFICIENT_RESOURCES;
        return std::nullopt;
    });
    PDEVICE_OBJECT third = nullptr;
    EXPECT_EQ(Create(L"\\Device\\trelvousb1", 0, &third), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Create(L"\\Device\\trelvousb2", 0, &third), STATUS_SUCCESS);
    IoDeleteDevice(third);
    IoDeleteDevice(second);
}

TEST_F(ObjectsTest, AttachBuildsTheStackAndDetachUndoesIt) {
    PdoOptions options;
    options.flags = DO_POWER_PAGABLE;
    PDEVICE_OBJECT pdo = CreateTestPdo(options);
    PDEVICE_OBJECT fdo = nullptr, filter = nullptr;
    ASSERT_EQ(Create(nullptr, 0, &fdo), STATUS_SUCCESS);
    ASSERT_EQ(Create(nullptr, 0, &filter), STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), fdo)
        << "attaching to a stack attaches to its top";
    EXPECT_EQ(filter->StackSize, 3);
    EXPECT_EQ(TopOfStack(pdo), filter);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(top, filter);
    EXPECT_EQ(filter->ReferenceCount, 1);
    ObDereferenceObject(top);
    IoDetachDevice(fdo);
    IoDeleteDevice(filter);
    FailNextAttach();
    PDEVICE_OBJECT again = nullptr;
    ASSERT_EQ(Create(nullptr, 0, &again), STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(again, pdo), nullptr);
    IoDeleteDevice(again);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    EXPECT_EQ(TopOfStack(pdo), pdo);
    DeleteTestPdo(pdo);
}

TEST_F(ObjectsTest, InterfacesAndLinksResolveWhenOpeningFiles) {
    PDEVICE_OBJECT pdo = CreateTestPdo();
    PDEVICE_OBJECT fdo = nullptr;
    ASSERT_EQ(Create(L"\\Device\\trelvousb0", 0, &fdo), STATUS_SUCCESS);
    IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->Object()->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };

    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &link), STATUS_SUCCESS);
    std::u16string linkText = ToU16(link);
    EXPECT_EQ(linkText.rfind(u"\\??\\", 0), 0u);
    EXPECT_NE(linkText.find(u"{54654e76-dcf7-4a7f-878a-4e8fca0acc9a}"), std::u16string::npos);
    ASSERT_EQ(DeviceInterfaces().size(), 1u);
    EXPECT_FALSE(DeviceInterfaces()[0].enabled);
    EXPECT_EQ(OpenFile(linkText + u"\\ep01").status, STATUS_OBJECT_NAME_NOT_FOUND)
        << "not enabled yet";

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(DeviceInterfaces()[0].enabled);
    OpenResult opened = OpenFile(linkText + u"\\ep01");
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_EQ(ToU16(opened.file->FileName), u"\\ep01");
    EXPECT_EQ(opened.file->DeviceObject, pdo) << "the interface link names the physical device";
    EXPECT_EQ(pdo->ReferenceCount, 1);
    CloseFile(opened.file);
    EXPECT_EQ(pdo->ReferenceCount, 0);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(OpenFile(linkText).status, STATUS_OBJECT_NAME_NOT_FOUND);

    UNICODE_STRING dosName, target;
    RtlInitUnicodeString(&dosName, L"\\DosDevices\\trelvousb1");
    RtlInitUnicodeString(&target, L"\\Device\\trelvousb0");
    EXPECT_EQ(IoCreateSymbolicLink(&dosName, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&dosName, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(SymbolicLinkTarget(u"\\??\\trelvousb1"),
              std::optional<std::u16string>(u"\\Device\\trelvousb0"));
    opened = OpenFile(u"\\??\\trelvousb1\\3");
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_EQ(ToU16(opened.file->FileName), u"\\3");
    EXPECT_EQ(opened.file->DeviceObject, fdo);
    CloseFile(opened.file);
    EXPECT_EQ(IoDeleteSymbolicLink(&dosName), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&dosName), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenFile(u"\\Device\\nothing").status, STATUS_OBJECT_NAME_NOT_FOUND);

    FailInterfaceRegistration(STATUS_INVALID_DEVICE_REQUEST);
    UNICODE_STRING other{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &other),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(other.Buffer, nullptr);
    RtlFreeUnicodeString(&link);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    DeleteTestPdo(pdo);
}

TEST_F(ObjectsTest, AnInstancePluggedInAgainGetsItsLinkBackForTheNewDevice) {
    PdoOptions options;
    options.instanceId = u"USB\\VID_2A4B&PID_0002\\KS0001";
    UNICODE_STRING first{}, second{};
    PDEVICE_OBJECT pdo = CreateTestPdo(options);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &first), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&first, FALSE), STATUS_SUCCESS);
    PDEVICE_OBJECT old = pdo;
    DeleteTestPdo(pdo);

    PDEVICE_OBJECT spacer = CreateTestPdo(); // so the new device does not reuse the old memory
    pdo = CreateTestPdo(options);
    ASSERT_NE(pdo, old);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &second), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(second), ToU16(first));
    ASSERT_EQ(DeviceInterfaces().size(), 1u) << "one registration per instance";
    EXPECT_EQ(DeviceInterfaces()[0].pdo, pdo);
    ASSERT_EQ(IoSetDeviceInterfaceState(&second, TRUE), STATUS_SUCCESS)
        << "enabling resolves the device plugged in now, not the deleted one";
    EXPECT_EQ(SymbolicLinkTarget(ToU16(second)), std::optional<std::u16string>(DeviceName(pdo)));
    EXPECT_EQ(IoSetDeviceInterfaceState(&second, FALSE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
    DeleteTestPdo(pdo);
    DeleteTestPdo(spacer);
}

TEST_F(ObjectsTest, PoolKeepsTagsAndTypesAndFailsTheInjectedAllocation) {
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kBulkTag);
    FailAllocationAt(2);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 20, kBulkTag);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 30, kBulkTag);
    void* d = ExAllocatePoolWithTag(NonPagedPool, 40, kBulkTag);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr) << "the second allocation from the injection on fails";
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(AllocationCount(), 4u);
    std::vector<PoolBlock> history = AllocationHistory();
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].type, NonPagedPoolNx);
    EXPECT_EQ(history[0].tag, kBulkTag);
    EXPECT_EQ(OutstandingPool().size(), 3u);
    ExFreePoolWithTag(a, kBulkTag);
    ExFreePoolWithTag(b, kBulkTag);
    ExFreePool(d);
    EXPECT_TRUE(OutstandingPool().empty());
}

TEST_F(ObjectsTest, VersionTickCountAndStringsAreTheTestsToSet) {
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_EQ(RtlGetVersion(&version), STATUS_SUCCESS);
    EXPECT_EQ(version.dwMajorVersion, 10u);
    EXPECT_EQ(version.dwBuildNumber, 19045u);
    SetOsVersion(6, 1);
    RtlGetVersion(&version);
    EXPECT_EQ(version.dwMajorVersion, 6u);
    EXPECT_EQ(version.dwMinorVersion, 1u);
    SetOsVersion(6, 2, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RtlGetVersion(&version), STATUS_UNSUCCESSFUL);

    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 0);
    SetTickCount(0x1'0000'0005ULL);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.LowPart, 5u);
    EXPECT_EQ(ticks.HighPart, 1);

    WCHAR name[32];
    EXPECT_EQ(RtlStringCbPrintfW(name, sizeof name, L"\\Device\\trelvousb%u", 65535u),
              STATUS_SUCCESS);
    EXPECT_EQ(ToU16(name), u"\\Device\\trelvousb65535");
    EXPECT_EQ(RtlStringCchPrintfW(name, 32, L"\\DosDevices\\trelvousb%s", L"1"), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(name), u"\\DosDevices\\trelvousb1");
    EXPECT_EQ(RtlStringCchPrintfW(name, 8, L"%08X-%ls", 0xABCu, L"tail"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ToU16(name), u"00000AB") << "truncated and terminated";

    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, L"Bulk");
    RtlInitUnicodeString(&b, L"BULK");
    EXPECT_EQ(a.Length, 8);
    EXPECT_EQ(a.MaximumLength, 10);
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    WCHAR copy[3];
    UNICODE_STRING small{0, sizeof copy, copy};
    RtlCopyUnicodeString(&small, &a);
    EXPECT_EQ(small.Length, 6) << "the copy is cut to the destination";
}

} // namespace
