// The loader: each load is a fresh copy with fresh globals, DriverUnload runs at unload, and a
// kernel routine the stand-in lacks fails the load like a missing import.
#include <kstandin/testing.h>

using namespace kstandin;
using namespace kstandin::testing;

namespace {

class LoaderTest : public KernelTest {};

TEST_F(LoaderTest, EveryLoadHasFreshGlobalsAndUnloadCallsDriverUnload) {
    for (int round = 0; round < 2; ++round) {
        NTSTATUS status = STATUS_PENDING;
        std::string error;
        auto driver = LoadedDriver::Load(
            KS_LOADER_DRIVER, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\x",
            &status, &error);
        ASSERT_NE(driver, nullptr) << error;
        EXPECT_EQ(status, STATUS_SUCCESS);
        auto count = static_cast<int*>(driver->Symbol("driverEntryCount"));
        ASSERT_NE(count, nullptr);
        EXPECT_EQ(*count, 1) << "round " << round
                             << ": the globals of an earlier load must not survive";
        EXPECT_EQ(OutstandingPool().size(), 1u);
        EXPECT_NE(driver->Object()->DriverUnload, nullptr);
        EXPECT_NE(driver->Object()->MajorFunction[IRP_MJ_READ], nullptr)
            << "preset to the I/O manager's default";
        EXPECT_FALSE(SymbolicLinkTarget(u"\\??\\LoaderDriverUnloaded"));
        driver->Unload();
        EXPECT_TRUE(SymbolicLinkTarget(u"\\??\\LoaderDriverUnloaded")) << "DriverUnload ran";
        EXPECT_TRUE(OutstandingPool().empty());
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, L"\\??\\LoaderDriverUnloaded");
        IoDeleteSymbolicLink(&link);
    }
}

TEST_F(LoaderTest, AMissingKernelRoutineFailsTheLoadNamingIt) {
    NTSTATUS status = STATUS_PENDING;
    std::string error;
    auto driver = LoadedDriver::Load(KS_MISSING_IMPORT_DRIVER, u"\\Registry\\x", &status, &error);
    EXPECT_EQ(driver, nullptr);
    EXPECT_NE(error.find("IoImaginaryRoutine"), std::string::npos) << error;
    EXPECT_EQ(status, STATUS_PENDING) << "DriverEntry never ran";

    driver = LoadedDriver::Load("no-such-driver.so", u"\\Registry\\x", &status, &error);
    EXPECT_EQ(driver, nullptr);
    EXPECT_FALSE(error.empty());
}

TEST_F(LoaderTest, AFailedDriverEntryIsUnloadedAtOnceWithoutDriverUnload) {
    FailAllocationAt(1);
    NTSTATUS status = STATUS_PENDING;
    auto driver = LoadedDriver::Load(KS_LOADER_DRIVER, u"\\Registry\\x", &status);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(SymbolicLinkTarget(u"\\??\\LoaderDriverUnloaded")) << "DriverUnload is not called";
}

} // namespace
