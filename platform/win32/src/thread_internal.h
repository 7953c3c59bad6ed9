// What the module part of the stand-in needs to know of the threads: which are still running
// their own code, and how FreeLibraryAndExitThread ends one.
#ifndef KS_STANDIN_WIN32_THREAD_INTERNAL_H
#define KS_STANDIN_WIN32_THREAD_INTERNAL_H

#include <windows.h>

#include <vector>

namespace win32sim {

// Thrown by FreeLibraryAndExitThread and caught where the thread began, so that nothing of the
// thread's own code runs after the call.
struct ThreadExit {
    DWORD exitCode;
};

// Start routines of the threads created by CreateThread that have neither returned nor
// entered FreeLibraryAndExitThread.
std::vector<LPTHREAD_START_ROUTINE> ThreadsInOwnCode();
// The calling thread has left its own code for good (it is inside FreeLibraryAndExitThread).
void LeaveOwnCode();

}  // namespace win32sim

#endif
