// Failure injection by call number: while counting, the stand-in numbers the D2XX calls in the
// order they are made (from any thread) and makes one of them fail as the library fails it.
//
// Counted are FT_ListDevices and FT_Open, and every other call made on an open handle (a call
// on a handle that names no device fails with FT_INVALID_HANDLE and is not counted). A failed
// call returns FT_DEVICE_NOT_OPENED for FT_Open and FT_IO_ERROR for the others, and does
// nothing else: FT_ListDevices leaves the count alone, FT_Open gives no handle, FT_Read and
// FT_Write move no byte and report 0, FT_GetDeviceInfo fills nothing, FT_Purge drops nothing
// and the settings set nothing. FT_Close is the exception: the handle is released all the
// same, as for a bridge pulled out, and only the status tells of the failure.
#ifndef KS_STANDIN_D2XX_FAULTS_H
#define KS_STANDIN_D2XX_FAULTS_H

#include "ftd2xx.h"

#include <cstddef>
#include <string>
#include <vector>

namespace d2xxsim {

struct CountedCall {
    std::string function;
    int device = -1;  // the device number opened or named by the handle
    bool failed = false;
    FT_STATUS status = FT_OK;  // the injected status when failed
};

// Starts counting afresh; the failAt-th call (1-based) fails, none when failAt is 0. With
// andLater every later call fails as well, as when the bridge has gone for good.
void CountCalls(size_t failAt, bool andLater = false);
// Ends counting and failing; Reset does the same.
void StopCountingCalls();
// The calls counted since CountCalls, in order.
std::vector<CountedCall> CountedCalls();
// The status a failed call of the named function returns.
FT_STATUS InjectedFailureOf(const std::string& function);

}  // namespace d2xxsim

#endif
