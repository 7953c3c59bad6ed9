// Failure injection by call number: while counting, the stand-in numbers the library's calls
// that can fail on Windows, in the order they are made (from any thread), and makes one of
// them fail the way Windows fails it.
//
// Counted, with what a failed call does:
// - CreateFileA: INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION (another program holds the
//   file); no handle.
// - ReadFile: FALSE, 0 bytes read, ERROR_READ_FAULT; the file position stays.
// - GetFileSize: INVALID_FILE_SIZE, ERROR_NOT_ENOUGH_MEMORY.
// - CreateThread: NULL, ERROR_NOT_ENOUGH_MEMORY; no thread.
// - LoadLibraryA: NULL, ERROR_NOT_ENOUGH_MEMORY; no reference taken.
// - DialogBoxParamA: -1, ERROR_NOT_ENOUGH_MEMORY; no window is created and the owner stays
//   enabled.
// - PostMessageA: FALSE, ERROR_NOT_ENOUGH_QUOTA; nothing queued.
// - SendMessageA (also as SendDlgItemMessageA, SetDlgItemTextA, SetWindowTextA): a message
//   sent to another thread's window is not delivered and the call returns 0 with
//   ERROR_NOT_ENOUGH_MEMORY; on the caller's own thread only the messages whose control can fail
//   are counted: CB_ADDSTRING and CB_INSERTSTRING (CB_ERRSPACE, nothing added) and WM_SETTEXT
//   (FALSE, text unchanged).
// Not counted, as they do not fail on Windows for the valid arguments the library passes:
// CloseHandle, WaitForSingleObject, FreeLibrary, FreeLibraryAndExitThread, EndDialog,
// GetModuleFileNameA, IsWindow, messages a control handles without allocating (CB_RESETCONTENT,
// CB_SETITEMDATA, the progress bar's on its own thread), the string functions and
// InitCommonControls. Calls the stand-in makes itself (a button's click notification, the
// dialog's close box turned into Cancel, PressButton) are not counted.
#ifndef KS_STANDIN_WIN32_FAULTS_H
#define KS_STANDIN_WIN32_FAULTS_H

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#define ERROR_READ_FAULT 30
#define ERROR_SHARING_VIOLATION 32

namespace win32sim {

struct CountedCall {
    std::string function;  // the API the caller called
    std::string detail;    // the file name, or the message's name and its text argument
    bool failed = false;
    DWORD error = 0;  // the last error set when failed
};

// Starts counting afresh; the failAt-th call (1-based) fails, none when failAt is 0.
void CountCalls(size_t failAt);
// Ends counting and failing; Reset does the same.
void StopCountingCalls();
// The calls counted since CountCalls, in order.
std::vector<CountedCall> CountedCalls();

}  // namespace win32sim

#endif
