// GoogleTest support for tests that run driver code on the kernel stand-in.
#pragma once

#include <gtest/gtest.h>
#include <kstandin/kernel.h>

namespace kstandin::testing {

// SetUp resets the kernel and turns every verifier finding into a test failure naming the rule;
// TearDown waits for the dispatch-level thread and work items, then fails the test if a request
// the I/O or power manager built is still in flight or one is held after
// STATUS_MORE_PROCESSING_REQUIRED.
class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `fn` with findings collected instead of failing the test, and returns them.
    static std::vector<verifier::Finding> CaptureFindings(const std::function<void()>& fn);
    // True when `findings` holds one of `rule`.
    static bool HasRule(const std::vector<verifier::Finding>& findings, verifier::Rule rule);
};

} // namespace kstandin::testing
