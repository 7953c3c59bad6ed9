// D2xxXmodem: opens file and device, runs the progress dialog whose sender thread performs the
// transfer, and returns the transfer's result. DllMain keeps the module for the dialog template.
#include <windows.h>
#include <commctrl.h>
#include "ftd2xx.h"
#include "ambrix.h"
#include "module_state.h"
#include "resource.h"
#include "xmodem_sender.h"

namespace {

const DWORD kBlockSize = 1024;

// Guards the module state against a second download entered while one runs.
volatile LONG downloadRunning = 0;
// Set once the dialog has run its WM_INITDIALOG; only the caller's thread touches it.
BOOL dialogStarted = FALSE;

// The part of path after its last backslash. Walking by characters of the ANSI code page keeps
// a double-byte character whose trail byte is 0x5C from being taken for a separator.
LPCSTR FindDisplayName(LPCSTR path)
{
    LPCSTR name = path;
    for (LPCSTR p = path; *p; p = CharNextA(p)) {
        if (*p == '\\')
            name = p + 1;
    }
    return name;
}

void SetProgressRange(HWND dialog, DWORD blockCount)
{
    // The 16-bit range of PBM_SETRANGE serves most files; larger ones need the 32-bit message.
    if (blockCount <= 0xFFFF)
        SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, blockCount));
    else
        SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETRANGE32, 0, (LPARAM)blockCount);
}

// Makes the sender stop, waits for it and releases its handle. The sender notices the flag
// within a read time-out and the write in progress.
void StopSender()
{
    if (senderThread == NULL)
        return;
    InterlockedExchange(&cancelRequested, 1);
    WaitForSingleObject(senderThread, INFINITE);
    CloseHandle(senderThread);
    senderThread = NULL;
}

BOOL InitDownloadDialog(HWND dialog)
{
    SetDlgItemTextA(dialog, IDC_FILENAME, displayName);
    DWORD size = GetFileSize(sourceFile, NULL);
    DWORD blockCount = size / kBlockSize + (size % kBlockSize != 0 ? 1 : 0);
    SetProgressRange(dialog, blockCount);
    SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETSTEP, 1, 0);
    SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, 0, 0);

    dialogStarted = TRUE;
    InterlockedExchange(&cancelRequested, 0);
    InterlockedExchange(&senderFinished, 0);
    InterlockedExchange(&senderResult, DownloadDeviceError);
    // The sender holds a reference to this module for as long as it runs, so that a host
    // freeing the library meanwhile does not unmap the sender's code.
    char modulePath[MAX_PATH];
    DWORD length = GetModuleFileNameA(moduleInstance, modulePath, sizeof modulePath);
    senderModule = length > 0 && length < sizeof modulePath ? LoadLibraryA(modulePath) : NULL;
    senderThread = CreateThread(NULL, 0, XmodemSendThread, dialog, 0, NULL);
    // Without a sender nothing would post WM_DOWNLOAD_END, so the dialog ends here.
    if (senderThread == NULL) {
        if (senderModule != NULL)
            FreeLibrary(senderModule);
        EndDialog(dialog, DownloadDeviceError);
    }
    return TRUE;
}

INT_PTR CALLBACK DownloadDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        return InitDownloadDialog(dialog);
    case WM_COMMAND:
        // Cancel, Esc and the close box only raise the flag; the sender ends the dialog.
        if (LOWORD(wParam) == IDCANCEL) {
            InterlockedExchange(&cancelRequested, 1);
            return TRUE;
        }
        return FALSE;
    case WM_DOWNLOAD_END:
        // Only the sender's own message, sent once its result is recorded, ends the dialog; a
        // stray message of the same value must not make it wait on a sender that runs on.
        // Marking the result as taken also stops the sender from posting again.
        if (InterlockedCompareExchange(&senderFinished, 2, 1) == 0)
            return TRUE;
        StopSender();
        EndDialog(dialog, (INT_PTR)InterlockedCompareExchange(&senderResult, 0, 0));
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR RunDownload(HWND parent, LPCSTR firmwarePath, DWORD deviceNumber, DWORD baudRate)
{
    InitCommonControls();
    displayName = FindDisplayName(firmwarePath);

    sourceFile = CreateFileA(firmwarePath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (sourceFile == INVALID_HANDLE_VALUE)
        return DownloadFileError;

    INT_PTR result = DownloadDeviceError;
    if (FT_Open((int)deviceNumber, &deviceHandle) != FT_OK) {
        deviceHandle = NULL;
    } else {
        if (ConfigurePort(baudRate) == 0) {
            dialogStarted = FALSE;
            senderThread = NULL;
            DialogBoxParamA(moduleInstance, MAKEINTRESOURCEA(IDD_DOWNLOAD), parent,
                            DownloadDialogProc, 0);
            // The dialog can also end without the sender's end message: its owner was
            // destroyed or a quit message reached the modal loop. The sender is stopped before
            // anything it uses is closed, and its result says what happened. A dialog that
            // never ran (invalid owner, no template) is no download.
            StopSender();
            if (dialogStarted)
                result = (INT_PTR)InterlockedCompareExchange(&senderResult, 0, 0);
        }
        FT_Close(deviceHandle);
        deviceHandle = NULL;
    }
    CloseHandle(sourceFile);
    sourceFile = INVALID_HANDLE_VALUE;
    displayName = NULL;
    return result;
}

}  // namespace

extern "C" DownloadResult WINAPI D2xxXmodem(HWND parent, LPCSTR firmwarePath, DWORD deviceNumber,
                                            DWORD baudRate)
{
    if (firmwarePath == NULL)
        return DownloadFileError;
    if (InterlockedCompareExchange(&downloadRunning, 1, 0) != 0)
        return DownloadDeviceError;
    INT_PTR result = RunDownload(parent, firmwarePath, deviceNumber, baudRate);
    InterlockedExchange(&downloadRunning, 0);
    return (DownloadResult)result;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reason;
    (void)reserved;
    moduleInstance = instance;
    return TRUE;
}
