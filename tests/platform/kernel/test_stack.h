// A two-device stack for the self-tests: a test PDO and above it a function device of a driver
// whose dispatch routines are the test's own lambdas.
#pragma once

#include <kstandin/testing.h>

#include <functional>
#include <memory>

namespace kstandin::testing {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct FunctionExtension {
    PDEVICE_OBJECT lower;
};

class StackTest : public KernelTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Routes every major function of the function device to `handler` (default: skip and pass
    // down).
    void SetHandler(Handler handler);
    // Detaches and deletes the function device (as a removal would) and unloads its driver.
    void TearDownStack();

    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::unique_ptr<LoadedDriver> driver;
};

// The pass-down a filter does: skip the stack location and call the lower device.
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp);

} // namespace kstandin::testing
