// Test controls of the application part of the Win32 stand-in.
#pragma once

#include <cstddef>

namespace kswin32::app {

// What process exit does to I/O: cancels every request still in flight, waits for each, closes
// every handle and waits until the last IRP_MJ_CLOSE has been sent.
void EndProcessIo();
// Device handles the process holds.
size_t OpenDeviceHandles();
// Waits until every close deferred behind a request in flight has been sent.
void FinishDeferredCloses();

} // namespace kswin32::app
