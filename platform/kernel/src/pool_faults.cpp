// "Fail the n-th pool allocation of the driver": the allocations counted are those a loaded driver
// image makes itself, and those a support library makes on its behalf (PoolCallerScope), so that
// the test's own pool and the stand-ins' bookkeeping never shift the numbering.
#include "internal.h"

#include <dlfcn.h>

namespace kstandin {

namespace {

std::mutex faultMutex;
std::set<const void*> driverImages;  // load addresses of the loaded driver images
unsigned driverAllocations = 0;      // counted since the last reset
unsigned failDriverAllocationAt = 0; // absolute number to fail; 0 = off
thread_local const void* attributedCaller = nullptr;

const void* ImageOf(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0)
        return nullptr;
    return info.dli_fbase;
}

} // namespace

namespace detail {

void RegisterDriverImage(const void* someAddressInIt) {
    const void* base = ImageOf(someAddressInIt);
    std::lock_guard<std::mutex> lock(faultMutex);
    if (base != nullptr)
        driverImages.insert(base);
}

void UnregisterDriverImage(const void* someAddressInIt) {
    const void* base = ImageOf(someAddressInIt);
    std::lock_guard<std::mutex> lock(faultMutex);
    driverImages.erase(base);
}

bool CountDriverAllocation(const void* caller) {
    if (attributedCaller != nullptr)
        caller = attributedCaller;
    const void* base = ImageOf(caller);
    std::lock_guard<std::mutex> lock(faultMutex);
    if (base == nullptr || driverImages.count(base) == 0)
        return false;
    unsigned number = ++driverAllocations;
    if (failDriverAllocationAt != 0 && number == failDriverAllocationAt) {
        failDriverAllocationAt = 0;
        return true;
    }
    return false;
}

void ResetDriverAllocationFaults() {
    std::lock_guard<std::mutex> lock(faultMutex);
    driverAllocations = 0;
    failDriverAllocationAt = 0;
}

} // namespace detail

PoolCallerScope::PoolCallerScope(const void* caller) : previous_(attributedCaller) {
    if (attributedCaller == nullptr)
        attributedCaller = caller;
}

PoolCallerScope::~PoolCallerScope() {
    attributedCaller = previous_;
}

void FailDriverAllocationAt(unsigned n) {
    std::lock_guard<std::mutex> lock(faultMutex);
    failDriverAllocationAt = n == 0 ? 0 : driverAllocations + n;
}

unsigned DriverAllocationCount() {
    std::lock_guard<std::mutex> lock(faultMutex);
    return driverAllocations;
}

bool DriverAllocationFailurePending() {
    std::lock_guard<std::mutex> lock(faultMutex);
    return failDriverAllocationAt != 0;
}

} // namespace kstandin
