// State of the one download a process may run at a time, shared by the download call, its
// dialog and the sender thread.
#ifndef AMBRIX_MODULE_STATE_H
#define AMBRIX_MODULE_STATE_H

#include <windows.h>
#include "ftd2xx.h"
#include "ambrix.h"

// Posted by the sender to the dialog as its last act; wParam carries the DownloadResult.
#define WM_DOWNLOAD_END (WM_USER + 0x1000)

// No lock guards this state, and none is needed: the interlocked flag of D2xxXmodem admits one
// download at a time; the download call sets the file and the device before the dialog creates
// the sender thread, and closes them only after the dialog has waited for that thread to end, so
// the two threads never change them at the same time.
extern HINSTANCE moduleInstance;  // saved by DllMain; the dialog template is loaded from it
extern LPCSTR displayName;        // file-name part of the caller's path, valid during the call
extern HANDLE sourceFile;         // the firmware file being sent
extern FT_HANDLE deviceHandle;    // the instrument being written to
extern HANDLE senderThread;       // the running XmodemSendThread
// The module reference the sender holds while it runs; it drops it as it exits.
extern HMODULE senderModule;
// The sender's result, recorded before senderFinished is set to 1 and the end message posted;
// the dialog sets senderFinished to 2 when it takes the result.
extern volatile LONG senderResult;
extern volatile LONG senderFinished;
// Set to 1 by the dialog's Cancel; read by the sender on every pass of its loop. Written and read
// only with interlocked operations, which also order it with the sender's other reads.
extern volatile LONG cancelRequested;

#endif
