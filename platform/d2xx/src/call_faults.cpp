// Counting the D2XX calls and failing the chosen one.
#include "call_faults.h"

#include <mutex>

namespace d2xxsim {
namespace {

std::mutex faultsLock;
bool counting = false;             // guarded by faultsLock
size_t failingCall = 0;            // 1-based; 0: none; guarded by faultsLock
bool laterFail = false;            // the calls after it fail too; guarded by faultsLock
std::vector<CountedCall> counted;  // guarded by faultsLock

}  // namespace

FT_STATUS InjectedFailureOf(const std::string& function)
{
    // A device another program holds, or one just pulled out, is what makes FT_Open fail; every
    // other call fails as the driver's request underneath fails.
    return function == "FT_Open" ? static_cast<FT_STATUS>(FT_DEVICE_NOT_OPENED)
                                 : static_cast<FT_STATUS>(FT_IO_ERROR);
}

void CountCalls(size_t failAt, bool andLater)
{
    std::lock_guard<std::mutex> lock(faultsLock);
    counting = true;
    failingCall = failAt;
    laterFail = andLater;
    counted.clear();
}

void StopCountingCalls()
{
    std::lock_guard<std::mutex> lock(faultsLock);
    counting = false;
    failingCall = 0;
    laterFail = false;
    counted.clear();
}

std::vector<CountedCall> CountedCalls()
{
    std::lock_guard<std::mutex> lock(faultsLock);
    return counted;
}

FT_STATUS CountCall(const char* function, int device)
{
    std::lock_guard<std::mutex> lock(faultsLock);
    if (!counting)
        return FT_OK;
    CountedCall call;
    call.function = function;
    call.device = device;
    size_t number = counted.size() + 1;
    call.failed =
        failingCall != 0 && (number == failingCall || (laterFail && number > failingCall));
    call.status = call.failed ? InjectedFailureOf(function) : static_cast<FT_STATUS>(FT_OK);
    counted.push_back(call);
    return call.status;
}

}  // namespace d2xxsim
