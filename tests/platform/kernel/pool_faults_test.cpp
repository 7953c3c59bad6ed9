// "Fail the n-th allocation of the driver": only allocations made from a loaded driver image (or
// for it, under a PoolCallerScope) are numbered, so the test's own pool never shifts the count.
#include <kstandin/testing.h>

using namespace kstandin;
using namespace kstandin::testing;

namespace {

const std::u16string kRegistry = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\x";
constexpr ULONG kTag = 0x74736554; // 'Test'

class DriverPoolFaultTest : public KernelTest {};

TEST_F(DriverPoolFaultTest, OnlyTheDriversAllocationsAreNumberedAndTheChosenOneFails) {
    // The test's own allocation is not the driver's: it neither counts nor takes the failure.
    FailDriverAllocationAt(1);
    PVOID own = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(DriverAllocationCount(), 0u);
    EXPECT_TRUE(DriverAllocationFailurePending());
    ExFreePoolWithTag(own, kTag); // the unload of a failed load counts every block left as a leak

    // The loader driver allocates once in DriverEntry: that is the first, and it fails.
    NTSTATUS status = STATUS_PENDING;
    std::string error;
    auto driver = LoadedDriver::Load(KS_LOADER_DRIVER, kRegistry, &status, &error);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DriverAllocationCount(), 1u);
    EXPECT_FALSE(DriverAllocationFailurePending()) << "the failure is taken once";

    // The next load allocates again (the second), which succeeds now that the switch is spent.
    driver = LoadedDriver::Load(KS_LOADER_DRIVER, kRegistry, &status, &error);
    ASSERT_NE(driver, nullptr) << error;
    EXPECT_EQ(DriverAllocationCount(), 2u);

    // Numbers count from the call: 1 is the next allocation of the driver, 2 the one after.
    FailDriverAllocationAt(2);
    {
        // An allocation a support routine makes for the driver counts as the driver's.
        PoolCallerScope forDriver(driver->Symbol("driverEntryCount"));
        PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(second, nullptr);
        ExFreePoolWithTag(first, kTag);
    }
    EXPECT_EQ(DriverAllocationCount(), 4u);
    PVOID after = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(after, nullptr);
    EXPECT_EQ(DriverAllocationCount(), 4u) << "outside the scope the test allocates for itself";
    ExFreePoolWithTag(after, kTag);
    driver->Unload();

    // After the unload its image no longer counts, and 0 turns the switch off.
    FailDriverAllocationAt(0);
    EXPECT_FALSE(DriverAllocationFailurePending());
}

TEST_F(DriverPoolFaultTest, ResetKernelStartsTheNumberingAgain) {
    NTSTATUS status = STATUS_PENDING;
    auto driver = LoadedDriver::Load(KS_LOADER_DRIVER, kRegistry, &status);
    ASSERT_NE(driver, nullptr);
    driver->Unload();
    EXPECT_EQ(DriverAllocationCount(), 1u);
    FailDriverAllocationAt(5);
    ResetKernel();
    EXPECT_EQ(DriverAllocationCount(), 0u);
    EXPECT_FALSE(DriverAllocationFailurePending());
}

} // namespace
