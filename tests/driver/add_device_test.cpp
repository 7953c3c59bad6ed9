// AddDevice: names, the device record, attach and interface registration.
#include "driver_test_support.h"

#include <cstring>

namespace kestrune_test {
namespace {

// {54654E76-DCF7-4A7F-878A-4E8FCA0ACC9A}
const GUID kInterfaceClass = {
    0x54654E76, 0xDCF7, 0x4A7F, {0x87, 0x8A, 0x4E, 0x8F, 0xCA, 0x0A, 0xCC, 0x9A}};

std::u16string DeviceName(unsigned number) {
    std::string digits = std::to_string(number);
    return u"\\Device\\trelvousb" + std::u16string(digits.begin(), digits.end());
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

using AddDeviceTest = DriverTest;

TEST_F(AddDeviceTest, NamesTakeTheLowestFreeNumberAndAreReusedAfterRemoval) {
    LoadDriver();
    PDEVICE_OBJECT pdos[3];
    for (unsigned i = 0; i < 3; ++i) {
        PDEVICE_OBJECT device = AddDevice(&pdos[i]);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(NameOf(RecordOf(device)->deviceName), DeviceName(i));
        EXPECT_EQ(kstandin::FindDevice(DeviceName(i)), device);
    }

    // Each device registered one interface of the class on its own PDO, not yet enabled.
    std::vector<kstandin::InterfaceRecord> interfaces = kstandin::DeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 3u);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_TRUE(SameGuid(interfaces[i].interfaceClass, kInterfaceClass));
        EXPECT_FALSE(interfaces[i].enabled);
        DeviceRecord* record = RecordOf(kstandin::TopOfStack(interfaces[i].pdo));
        std::u16string link(reinterpret_cast<const char16_t*>(record->interfaceName.Buffer),
                            record->interfaceName.Length / 2);
        EXPECT_EQ(link, interfaces[i].symbolicLink);
    }
    EXPECT_NE(interfaces[0].symbolicLink, interfaces[1].symbolicLink);

    RemoveDevice(pdos[0]);
    EXPECT_FALSE(kstandin::DeviceNameExists(DeviceName(0)));
    EXPECT_TRUE(kstandin::DeviceNameExists(DeviceName(1)));

    PDEVICE_OBJECT again = nullptr;
    PDEVICE_OBJECT device = AddDevice(&again);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(NameOf(RecordOf(device)->deviceName), DeviceName(0));
    PDEVICE_OBJECT fourth = nullptr;
    device = AddDevice(&fourth);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(NameOf(RecordOf(device)->deviceName), DeviceName(3));

    for (PDEVICE_OBJECT pdo : {pdos[1], pdos[2], again, fourth}) {
        RemoveDevice(pdo);
    }
}

TEST_F(AddDeviceTest, FailedAttachDeletesTheDeviceAndFreesItsNumber) {
    LoadDriver();
    PDEVICE_OBJECT first = nullptr;
    AddDevice(&first);

    PDEVICE_OBJECT pdo = kstandin::CreateTestPdo();
    kstandin::FailNextAttach();
    EXPECT_EQ(driver_->AddDevice(pdo), STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(kstandin::DeviceNameExists(DeviceName(1)));
    EXPECT_EQ(kstandin::TopOfStack(pdo), pdo);
    EXPECT_EQ(kstandin::DeviceInterfaces().size(), 1u);

    // The same PDO tried again gets the number that was freed.
    ASSERT_EQ(driver_->AddDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(RecordOf(kstandin::TopOfStack(pdo))->deviceName), DeviceName(1));
    RemoveDevice(pdo);
    RemoveDevice(first);
}

TEST_F(AddDeviceTest, FailedInterfaceRegistrationDetachesAndDeletesTheDevice) {
    LoadDriver();
    PDEVICE_OBJECT pdo = kstandin::CreateTestPdo();
    const NTSTATUS refusal = static_cast<NTSTATUS>(0xC0000033);  // STATUS_OBJECT_NAME_INVALID
    kstandin::FailInterfaceRegistration(refusal);
    EXPECT_EQ(driver_->AddDevice(pdo), refusal);
    EXPECT_FALSE(kstandin::DeviceNameExists(DeviceName(0)));
    EXPECT_EQ(kstandin::TopOfStack(pdo), pdo);
    EXPECT_TRUE(kstandin::DeviceInterfaces().empty());

    ASSERT_EQ(driver_->AddDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(RecordOf(kstandin::TopOfStack(pdo))->deviceName), DeviceName(0));
    RemoveDevice(pdo);
}

TEST_F(AddDeviceTest, PowerPagableFlagFollowsThePhysicalDevice) {
    LoadDriver();
    PDEVICE_OBJECT plainPdo = nullptr;
    PDEVICE_OBJECT pagablePdo = nullptr;
    PDEVICE_OBJECT plain = AddDevice(&plainPdo, 0);
    PDEVICE_OBJECT pagable = AddDevice(&pagablePdo, DO_POWER_PAGABLE);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(pagable, nullptr);
    EXPECT_EQ(plain->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_EQ(pagable->Flags & DO_POWER_PAGABLE, ULONG(DO_POWER_PAGABLE));
    RemoveDevice(plainPdo);
    RemoveDevice(pagablePdo);
}

TEST_F(AddDeviceTest, TheLastNumberIsUsedWhenAllOthersAreTaken) {
    LoadDriver();
    // Every name but the last one is refused, whatever the reason.
    kstandin::SetIoCreateDeviceHook([](const std::u16string& name) -> std::optional<NTSTATUS> {
        if (name == u"\\Device\\trelvousb65535") {
            return std::nullopt;
        }
        return name.size() % 2 ? STATUS_OBJECT_NAME_COLLISION : STATUS_INSUFFICIENT_RESOURCES;
    });
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT device = AddDevice(&pdo);
    ASSERT_NE(device, nullptr);
    DeviceRecord* record = RecordOf(device);
    EXPECT_EQ(NameOf(record->deviceName), u"\\Device\\trelvousb65535");
    EXPECT_EQ(NameOf(record->deviceName).size(), 22u);
    EXPECT_EQ(record->deviceName[22], 0);
    kstandin::SetIoCreateDeviceHook({});
    RemoveDevice(pdo);
}

TEST_F(AddDeviceTest, WhenEveryNameFailsTheLastStatusIsReturned) {
    LoadDriver();
    unsigned calls = 0;
    std::u16string lastName;
    kstandin::SetIoCreateDeviceHook([&](const std::u16string& name) -> std::optional<NTSTATUS> {
        ++calls;
        lastName = name;
        return name == u"\\Device\\trelvousb65535" ? STATUS_INSUFFICIENT_RESOURCES
                                                   : STATUS_OBJECT_NAME_COLLISION;
    });
    PDEVICE_OBJECT pdo = kstandin::CreateTestPdo();
    EXPECT_EQ(driver_->AddDevice(pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(calls, 65536u);
    EXPECT_EQ(lastName, u"\\Device\\trelvousb65535");
    EXPECT_EQ(kstandin::TopOfStack(pdo), pdo);
    EXPECT_TRUE(kstandin::DeviceInterfaces().empty());
    kstandin::SetIoCreateDeviceHook({});
    kstandin::DeleteTestPdo(pdo);
}

TEST_F(AddDeviceTest, TheRecordStartsWithItsInitialValues) {
    LoadDriver();
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT device = AddDevice(&pdo);
    ASSERT_NE(device, nullptr);
    DeviceRecord* record = RecordOf(device);

    EXPECT_EQ(record->self, device);
    EXPECT_EQ(record->physicalDevice, pdo);
    EXPECT_EQ(record->lowerDevice, pdo);
    EXPECT_EQ(record->deviceState, ULONG(NotStarted));
    EXPECT_EQ(record->previousState, ULONG(NotStarted));
    EXPECT_EQ(record->queueState, ULONG(HoldRequests));
    EXPECT_TRUE(IsListEmpty(&record->pendingQueue));
    EXPECT_EQ(record->outstandingIo, 1);
    EXPECT_EQ(record->openHandles, 0);
    EXPECT_NE(KeReadStateEvent(&record->stopEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&record->removeEvent), 0);
    EXPECT_EQ(record->devicePower, ULONG(PowerDeviceD0));
    EXPECT_EQ(record->systemPower, ULONG(PowerSystemWorking));
    EXPECT_EQ(record->readChunkSize, 2048u);
    EXPECT_EQ(record->writeChunkSize, 2048u);
    EXPECT_EQ(record->readBufferCount, 0);
    EXPECT_EQ(record->configDescriptor, nullptr);
    EXPECT_EQ(record->interfaceInfo, nullptr);
    EXPECT_EQ(record->pipeOpen, nullptr);
    EXPECT_EQ(record->dosLinkName[0], 0);
    EXPECT_EQ(record->remoteWakeup, 0u);
    EXPECT_EQ(record->waitWakeIrp, nullptr);
    EXPECT_EQ(record->waitWakeArmed, 0);
    EXPECT_EQ(record->serialCached, 0);
    EXPECT_EQ(record->vendorId, 0);
    EXPECT_NE(record->interfaceName.Buffer, nullptr);

    EXPECT_EQ(device->Flags & DO_DIRECT_IO, ULONG(DO_DIRECT_IO));
    EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(kstandin::ReportedDevicePowerState(device), ULONG(PowerDeviceD0));
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    RemoveDevice(pdo);
}

}  // namespace
}  // namespace kestrune_test
