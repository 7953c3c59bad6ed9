#include <kstandin/testing.h>

#include <cstdio>
#include <mutex>

namespace kstandin::testing {
namespace {

void FailTest(const verifier::Finding& finding) {
    ADD_FAILURE() << "driver verifier: " << verifier::RuleName(finding.rule) << ": "
                  << finding.message;
}

} // namespace

void KernelTest::SetUp() {
    // Which requests the lower stand-ins complete later follows from this number; setting it
    // again replays the choices of a failed run.
    std::printf("kernel stand-in: random start %llu (KSTANDIN_RANDOM_START=%llu repeats it)\n",
                static_cast<unsigned long long>(RandomStart()),
                static_cast<unsigned long long>(RandomStart()));
    verifier::SetHandler(FailTest);
    ResetKernel();
}

void KernelTest::TearDown() {
    WaitUntilQuiet();
    verifier::CheckTeardown();
    // No reset here: fixtures may still unload drivers from their destructors, and that must
    // find the kernel as the test left it. The next SetUp resets.
}

std::vector<verifier::Finding> KernelTest::CaptureFindings(const std::function<void()>& fn) {
    auto mutex = std::make_shared<std::mutex>();
    auto captured = std::make_shared<std::vector<verifier::Finding>>();
    verifier::SetHandler([mutex, captured](const verifier::Finding& finding) {
        std::lock_guard<std::mutex> lock(*mutex);
        captured->push_back(finding);
    });
    fn();
    WaitForDispatchQueue();
    verifier::SetHandler(FailTest);
    std::lock_guard<std::mutex> lock(*mutex);
    return *captured;
}

bool KernelTest::HasRule(const std::vector<verifier::Finding>& findings, verifier::Rule rule) {
    for (const verifier::Finding& finding : findings) {
        if (finding.rule == rule)
            return true;
    }
    return false;
}

} // namespace kstandin::testing
