// DriverEntry, DriverUnload and the pool helpers.
#include "driver_test_support.h"

#include <tuple>

namespace kestrune_test {
namespace {

struct VersionCase {
    ULONG major;
    ULONG minor;
    NTSTATUS result;
    POOL_TYPE expected;
};

class PoolTypeTest : public DriverTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PoolTypeTest, EveryAllocationUsesThePoolTypeOfTheSystemVersion) {
    const VersionCase& param = GetParam();
    kstandin::SetOsVersion(param.major, param.minor, param.result);
    LoadDriver();
    EXPECT_EQ(*Global<POOL_TYPE>("poolType"), param.expected);

    // The pool helpers allocate from the same type, zeroed or not.
    auto allocate = Routine<PVOID(LONG)>("AllocatePool");
    auto allocateZeroed = Routine<PVOID(LONG)>("AllocateZeroedPool");
    auto freePool = Routine<VOID(PVOID)>("FreePool");
    PVOID plain = allocate(48);
    auto* zeroed = static_cast<unsigned char*>(allocateZeroed(300));
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(zeroed[i], 0) << "byte " << i;
    }
    freePool(plain);
    freePool(zeroed);

    int driverBlocks = 0;
    for (const kstandin::PoolBlock& block : kstandin::AllocationHistory()) {
        if (block.tag == kPoolTag) {
            ++driverBlocks;
            EXPECT_EQ(block.type, param.expected);
        }
    }
    EXPECT_EQ(driverBlocks, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PoolTypeTest,
    ::testing::Values(VersionCase{6, 1, STATUS_SUCCESS, NonPagedPool},
                      VersionCase{6, 2, STATUS_SUCCESS, NonPagedPoolNx},
                      VersionCase{6, 3, STATUS_SUCCESS, NonPagedPoolNx},
                      VersionCase{10, 0, STATUS_SUCCESS, NonPagedPoolNx},
                      VersionCase{5, 2, STATUS_SUCCESS, NonPagedPool},
                      VersionCase{10, 0, STATUS_UNSUCCESSFUL, NonPagedPool}),
    [](const ::testing::TestParamInfo<VersionCase>& info) {
        return "v" + std::to_string(info.param.major) + "_" + std::to_string(info.param.minor) +
               (NT_SUCCESS(info.param.result) ? "" : "_failing");
    });

using DriverEntryTest = DriverTest;

TEST_F(DriverEntryTest, RegistryPathIsCopiedWithOneTerminatingZero) {
    for (const std::u16string& path : {kRegistryPath, std::u16string()}) {
        SCOPED_TRACE(Narrow(path));
        kstandin::ResetKernel();
        LoadDriver(path);
        auto* copy = Global<UNICODE_STRING>("registryPathCopy");
        ASSERT_EQ(copy->Length, path.size() * 2);
        ASSERT_EQ(copy->MaximumLength, path.size() * 2 + 2);
        ASSERT_NE(copy->Buffer, nullptr);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(copy->Buffer), path.size()),
                  path);
        EXPECT_EQ(copy->Buffer[path.size()], 0);

        std::vector<kstandin::PoolBlock> pool = kstandin::OutstandingPool();
        ASSERT_EQ(pool.size(), 1u);
        EXPECT_EQ(pool[0].size, path.size() * 2 + 2);
        EXPECT_EQ(pool[0].tag, kPoolTag);

        // Unloading releases the copy; a second unload call finds nothing left to free.
        driver_->Object()->DriverUnload(driver_->Object());
        EXPECT_EQ(copy->Buffer, nullptr);
        EXPECT_TRUE(kstandin::OutstandingPool().empty());
        driver_->Unload();
        driver_.reset();
    }
}

TEST_F(DriverEntryTest, FillsTheDispatchTableAndLeavesTheRestToTheSystem) {
    LoadDriver();
    PDRIVER_OBJECT object = driver_->Object();
    // IRP_MJ_FLUSH_BUFFERS keeps the system's default handler.
    PDRIVER_DISPATCH systemDefault = object->MajorFunction[IRP_MJ_FLUSH_BUFFERS];
    const std::pair<int, const char*> routines[] = {
        {IRP_MJ_CREATE, "DispatchCreate"},
        {IRP_MJ_CLOSE, "DispatchClose"},
        {IRP_MJ_READ, "DispatchRead"},
        {IRP_MJ_WRITE, "DispatchWrite"},
        {IRP_MJ_DEVICE_CONTROL, "DispatchDeviceControl"},
        {IRP_MJ_CLEANUP, "DispatchCleanup"},
        {IRP_MJ_POWER, "DispatchPower"},
        {IRP_MJ_SYSTEM_CONTROL, "DispatchSystemControl"},
        {IRP_MJ_PNP, "DispatchPnp"},
    };
    int filled = 0;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        bool expected = false;
        for (const auto& routine : routines) {
            if (routine.first == major) {
                expected = true;
                EXPECT_EQ(reinterpret_cast<void*>(object->MajorFunction[major]),
                          driver_->Symbol(routine.second))
                    << routine.second;
            }
        }
        if (!expected) {
            EXPECT_EQ(object->MajorFunction[major], systemDefault) << "major " << major;
        } else {
            ++filled;
        }
    }
    EXPECT_EQ(filled, 9);
    EXPECT_EQ(reinterpret_cast<void*>(object->DriverUnload), driver_->Symbol("DriverUnload"));
    EXPECT_EQ(reinterpret_cast<void*>(object->DriverExtension->AddDevice),
              driver_->Symbol("AddDevice"));

    // A request the driver does not handle is refused by the system's handler.
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT device = AddDevice(&pdo);
    kstandin::IrpResult result = kstandin::SendIrp(device, IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    RemoveDevice(pdo);
}

TEST_F(DriverEntryTest, WithoutPoolForTheCopyTheLoadFailsAndLeavesNothing) {
    kstandin::FailAllocationAt(1);
    NTSTATUS status = STATUS_SUCCESS;
    std::string error;
    driver_ = kstandin::LoadedDriver::Load(KESTRUNE_DRIVER_PATH, kRegistryPath, &status, &error);
    EXPECT_FALSE(driver_);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kstandin::AllocationCount(), 1u);
    EXPECT_TRUE(kstandin::OutstandingPool().empty());
}

// Every allocation made while loading and adding a device fails once in turn: each failure is
// reported, and nothing is left behind.
TEST_F(DriverEntryTest, AllocationFailureAtEachStepLeavesNothingBehind) {
    unsigned failures = 0;
    for (unsigned n = 1; n < 64; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        kstandin::ResetKernel();
        kstandin::FailAllocationAt(n);
        NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
        std::string error;
        driver_ = kstandin::LoadedDriver::Load(KESTRUNE_DRIVER_PATH, kRegistryPath, &entryStatus,
                                               &error);
        bool injected = kstandin::AllocationCount() >= n;
        if (entryStatus != STATUS_SUCCESS) {
            // A failed DriverEntry is unloaded at once, as the system does.
            EXPECT_FALSE(driver_);
            EXPECT_EQ(entryStatus, STATUS_INSUFFICIENT_RESOURCES);
            ++failures;
        } else {
            ASSERT_TRUE(driver_) << error;
            PDEVICE_OBJECT pdo = kstandin::CreateTestPdo();
            NTSTATUS status = driver_->AddDevice(pdo);
            injected = kstandin::AllocationCount() >= n;
            if (NT_SUCCESS(status)) {
                EXPECT_TRUE(kstandin::DeviceNameExists(u"\\Device\\trelvousb0"));
                EXPECT_EQ(kstandin::pnp::Remove(pdo), STATUS_SUCCESS);
            } else {
                ++failures;
                EXPECT_FALSE(kstandin::DeviceNameExists(u"\\Device\\trelvousb0"));
                EXPECT_EQ(kstandin::TopOfStack(pdo), pdo);
            }
            kstandin::DeleteTestPdo(pdo);
            driver_->Unload();
            driver_.reset();
        }
        EXPECT_TRUE(kstandin::OutstandingPool().empty());
        if (!injected) {
            break;
        }
    }
    // At least the registry path copy can fail.
    EXPECT_GE(failures, 1u);
}

}  // namespace
}  // namespace kestrune_test
